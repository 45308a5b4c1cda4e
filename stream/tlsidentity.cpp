#include "tlsidentity.h"
#include "fingerprint.h"
#include "opensslerrors.h"
#include "porttext.h"
#include "socketcalls.h"

#include <QFile>
#include <QScopeGuard>
#include <QSysInfo>
#include <QUrl>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pelk {

namespace {

// Only a regular file is read. Its type is checked before it is opened, so
// that no device is ever opened (opening some has effects of its own), and
// again on what was opened, so that a file swapped in between is caught;
// opened without blocking and without taking a terminal.
bool readFile(const QString &path, QByteArray *contents, QString *error)
{
    const QString name = quotedInput(path);
    const auto refuse = [error](const QString &why) {
        *error = why;
        return false;
    };
    const QByteArray encoded = QFile::encodeName(path);
    struct stat named;
    if (::stat(encoded.constData(), &named) != 0)
        return refuse(QStringLiteral("cannot read %1: %2").arg(name, systemMessage(errno)));
    if (!S_ISREG(named.st_mode))
        return refuse(QStringLiteral("%1 is not a regular file").arg(name));
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse(QStringLiteral("cannot read %1: %2").arg(name, systemMessage(errno)));
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return refuse(QStringLiteral("cannot read %1: %2").arg(name, systemMessage(errno)));
    if (!S_ISREG(status.st_mode) || status.st_dev != named.st_dev || status.st_ino != named.st_ino)
        return refuse(QStringLiteral("%1 is not a regular file, or was replaced while it was read").arg(name));
    const QString tooLarge = QStringLiteral("%1 is larger than %2 MiB")
                                     .arg(name, QString::number(TlsIdentity::MaxFileBytes / (1024 * 1024)));
    if (status.st_size > TlsIdentity::MaxFileBytes)
        return refuse(tooLarge);
    // One byte over the bound tells a file that has grown since fstat().
    QByteArray text(TlsIdentity::MaxFileBytes + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, size_t(text.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return refuse(QStringLiteral("cannot read %1: %2").arg(name, systemMessage(errno)));
        if (n == 0)
            break;
        got += n;
    }
    if (got > TlsIdentity::MaxFileBytes)
        return refuse(tooLarge);
    text.truncate(got);
    text.squeeze();
    *contents = std::move(text);
    return true;
}

struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};

std::unique_ptr<BIO, BioFree> memoryBio(const QByteArray &data)
{
    return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(data.constData(), int(data.size())));
}

// Called by OpenSSL for an encrypted key's passphrase: there is none to give.
int noPassphrase(char *, int, int, void *encrypted)
{
    *static_cast<bool *>(encrypted) = true;
    return -1;
}

std::shared_ptr<X509> sharedCertificate(X509 *cert)
{
    return std::shared_ptr<X509>(cert, X509_free);
}

// The names a client may reach a listener of this computer by, as
// subjectAltName, so that a client that checks the host against the
// certificate (once it trusts or pins it) finds it there; and the marks of
// a server's certificate that is no certificate authority.
bool addServerExtensions(X509 *cert, const QHostAddress &listenAddress)
{
    GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
    bool added = names != nullptr;
    const auto addName = [&](int type, const QByteArray &value) {
        GENERAL_NAME *entry = added ? a2i_GENERAL_NAME(nullptr, nullptr, nullptr, type, value.constData(), 0) : nullptr;
        added = entry && sk_GENERAL_NAME_push(names, entry) > 0;
        if (!added)
            GENERAL_NAME_free(entry);
    };
    addName(GEN_DNS, "localhost");
    const QByteArray hostName = QUrl::toAce(QSysInfo::machineHostName());
    if (!hostName.isEmpty() && hostName.compare("localhost", Qt::CaseInsensitive) != 0)
        addName(GEN_DNS, hostName);
    QList<QHostAddress> addresses{QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    if (QHostAddress address = listenAddress; !address.isNull()) {
        address.setScopeId(QString()); // an interface of this computer, not part of the address
        if (!addresses.contains(address))
            addresses << address;
    }
    for (const QHostAddress &address : std::as_const(addresses))
        addName(GEN_IPADD, address.toString().toLatin1());
    added = added && X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1;
    GENERAL_NAMES_free(names);

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    for (const auto &[nid, value] : {std::pair{NID_basic_constraints, "critical,CA:FALSE"},
                                     std::pair{NID_ext_key_usage, "serverAuth"}}) {
        X509_EXTENSION *extension = added ? X509V3_EXT_conf_nid(nullptr, &context, nid, value) : nullptr;
        added = extension && X509_add_ext(cert, extension, -1) == 1;
        X509_EXTENSION_free(extension);
    }
    return added;
}

} // namespace

bool TlsIdentity::load(const QString &certFile, const QString &keyFile, QString *error, bool *aboutKey)
{
    bool keyFault = false;
    const auto reportKey = qScopeGuard([&] {
        if (aboutKey)
            *aboutKey = keyFault;
    });
    QByteArray certText;
    if (!readFile(certFile, &certText, error))
        return false;
    auto bio = memoryBio(certText);
    std::shared_ptr<X509> cert = sharedCertificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(quotedInput(certFile));
        return false;
    }
    std::vector<std::shared_ptr<X509>> chain;
    while (X509 *next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        chain.push_back(sharedCertificate(next));
    ERR_clear_error(); // the end of the file, read as a failed certificate

    const QString keyPath = keyFile.isEmpty() ? certFile : keyFile;
    keyFault = true; // from here on, what is wrong is the key's
    QByteArray keyText = certText;
    if (!keyFile.isEmpty() && !readFile(keyFile, &keyText, error))
        return false;
    bool encrypted = false;
    auto keyBio = memoryBio(keyText);
    std::shared_ptr<EVP_PKEY> key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassphrase, &encrypted)
                                         : nullptr,
                                  EVP_PKEY_free);
    ERR_clear_error();
    if (!key) {
        *error = encrypted
                     ? QStringLiteral("the private key in %1 is encrypted; give it without a passphrase "
                                      "(openssl pkey -in KEY -out PLAIN_KEY)")
                           .arg(quotedInput(keyPath))
                     : QStringLiteral("%1 holds no PEM private key").arg(quotedInput(keyPath));
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("the private key in %1 does not match the certificate in %2")
                     .arg(quotedInput(keyPath), quotedInput(certFile));
        return false;
    }
    keyFault = false;
    m_cert = std::move(cert);
    m_chain = std::move(chain);
    m_key = std::move(key);
    return true;
}

bool TlsIdentity::generate(const QHostAddress &listenAddress, QString *error)
{
    constexpr long ValidSeconds = 365L * 24 * 60 * 60;
    std::shared_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::shared_ptr<X509> cert = sharedCertificate(X509_new());
    unsigned char serial[16];
    BIGNUM *number = nullptr;
    bool made = key && cert && RAND_bytes(serial, sizeof serial) == 1;
    if (made) {
        serial[0] &= 0x7f; // a positive serial number
        number = BN_bin2bn(serial, sizeof serial, nullptr);
        X509_NAME *name = X509_get_subject_name(cert.get());
        made = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()))
               && X509_set_version(cert.get(), 2) == 1
               && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60 * 60)
               && X509_gmtime_adj(X509_getm_notAfter(cert.get()), ValidSeconds)
               && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                             reinterpret_cast<const unsigned char *>("pelk-bouncer"), -1, -1, 0) == 1
               && X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1
               && addServerExtensions(cert.get(), listenAddress)
               && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    }
    BN_free(number);
    if (!made) {
        *error = QStringLiteral("Cannot make a certificate for the listen port: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        return false;
    }
    m_cert = std::move(cert);
    m_chain.clear();
    m_key = std::move(key);
    return true;
}

QByteArray TlsIdentity::sha256() const
{
    return m_cert ? certificateDigest(m_cert.get()) : QByteArray();
}

bool TlsIdentity::applyTo(SSL_CTX *context) const
{
    if (SSL_CTX_use_certificate(context, m_cert.get()) != 1 || SSL_CTX_use_PrivateKey(context, m_key.get()) != 1)
        return false;
    for (const auto &cert : m_chain) {
        if (SSL_CTX_add1_chain_cert(context, cert.get()) != 1)
            return false;
    }
    return true;
}

} // namespace pelk
