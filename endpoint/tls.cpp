#include "tls.h"
#include "endpoint.h"
#include "porttext.h"
#include "socketcalls.h"
#include "socketerrors.h"

#include <QFile>
#include <QHostAddress>
#include <QScopeGuard>
#include <QSysInfo>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pelk {

namespace {

constexpr int Sha256Bytes = 32;
constexpr size_t ReadAheadBytes = 64 * 1024;

int clampToInt(size_t size)
{
    return int(std::min(size, size_t(INT_MAX)));
}

QByteArray certificateDigest(X509 *cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}

// Over the whole DER SubjectPublicKeyInfo, not just the key bits that
// X509_pubkey_digest() hashes: that is the form other tools print and pin.
QByteArray publicKeyDigest(X509 *cert)
{
    unsigned char *der = nullptr;
    const int derLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    if (derLength <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = EVP_Digest(der, size_t(derLength), digest, &length, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    return ok ? QByteArray(reinterpret_cast<const char *>(digest), int(length)) : QByteArray();
}

QString nameText(const X509_NAME *name)
{
    BIO *out = BIO_new(BIO_s_mem());
    if (!out)
        return {};
    X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char *data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    const QString text = QString::fromUtf8(data, qsizetype(length));
    BIO_free(out);
    return text;
}

// The earliest error OpenSSL queued, as its own words; or what the socket said.
QString failureReason(int sslError, int savedErrno)
{
    unsigned long first = 0;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        if (first == 0)
            first = code;
    }
    if (first != 0) {
        const char *reason = ERR_reason_error_string(first);
        if (reason)
            return QString::fromUtf8(reason);
        char text[256];
        ERR_error_string_n(first, text, sizeof text);
        return QString::fromUtf8(text);
    }
    if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return QStringLiteral("the server closed the connection");
}

} // namespace

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the
// peer has gone and so would end the whole program for one closed server.
// This one sends with MSG_NOSIGNAL, and notes the record framing of what it
// reads.
namespace {

TlsSocket *socketOf(BIO *bio)
{
    return static_cast<TlsSocket *>(BIO_get_data(bio));
}

int socketBioWrite(BIO *bio, const char *data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(socketOf(bio)->fd, data, size_t(size), MSG_NOSIGNAL);
    if (n < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return int(n);
}

int socketBioRead(BIO *bio, char *buffer, int size)
{
    TlsSocket *socket = socketOf(bio);
    BIO_clear_retry_flags(bio);
    ssize_t n = 0;
    if (!socket->early.isEmpty()) {
        n = std::min<ssize_t>(size, socket->early.size());
        std::memcpy(buffer, socket->early.constData(), size_t(n));
        socket->early.remove(0, n);
    } else {
        n = ::recv(socket->fd, buffer, size_t(size), 0);
    }
    if (n > 0)
        socket->follow(reinterpret_cast<const unsigned char *>(buffer), size_t(n));
    else if (n == 0)
        socket->eof = true;
    else if (wouldBlock(errno))
        BIO_set_retry_read(bio);
    return int(n);
}

long socketBioControl(BIO *bio, int command, long, void *)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return socketOf(bio)->eof ? 1 : 0;
    default:
        return 0;
    }
}

int socketBioCreate(BIO *)
{
    return 1;
}

BIO *newSocketBio(TlsSocket *socket)
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pelk socket");
        if (m) {
            BIO_meth_set_write(m, socketBioWrite);
            BIO_meth_set_read(m, socketBioRead);
            BIO_meth_set_ctrl(m, socketBioControl);
            BIO_meth_set_create(m, socketBioCreate);
        }
        return m;
    }();
    BIO *bio = method ? BIO_new(method) : nullptr;
    if (bio) {
        BIO_set_data(bio, socket);
        BIO_set_init(bio, 1);
    }
    return bio;
}

} // namespace

// A record is a 5-byte header whose last two bytes give the length of the
// body that follows.
void TlsSocket::follow(const unsigned char *data, size_t size)
{
    while (size > 0) {
        if (recordLeft > 0) {
            const size_t body = std::min(size, recordLeft);
            recordLeft -= body;
            data += body;
            size -= body;
            continue;
        }
        header[headerBytes++] = *data++;
        --size;
        if (headerBytes == int(sizeof header)) {
            recordLeft = size_t(header[3]) << 8 | header[4];
            headerBytes = 0;
        }
    }
}

std::optional<QByteArray> parseFingerprint(QStringView text, QString *error)
{
    QString digits = text.trimmed().toString();
    digits.remove(u':');
    const auto fail = [error](const QString &why) -> std::optional<QByteArray> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const bool hex = std::all_of(digits.cbegin(), digits.cend(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    });
    if (!hex)
        return fail(QStringLiteral("a SHA-256 fingerprint holds only hex digits and colons"));
    if (digits.size() != 2 * Sha256Bytes)
        return fail(QStringLiteral("a SHA-256 fingerprint has 64 hex digits, not %1").arg(digits.size()));
    return QByteArray::fromHex(digits.toLatin1());
}

QString fingerprintText(const QByteArray &sha256)
{
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

// ---------------------------------------------------------------------------

void TlsContext::setPins(const QList<QByteArray> &sha256)
{
    m_pins = sha256;
}

namespace {

// What both sides' contexts share: TLS 1.2 or later, partial writes with a
// buffer that may move (the endpoint's queue keeps what OpenSSL has not
// taken and grows while it waits), record buffers given back whenever they
// are empty (an idle connection holds none), and whole socket reads of
// several records at once, whose buffer is given back once drained.
SSL_CTX *newContext(const SSL_METHOD *method, QString *error)
{
    SSL_CTX *context = SSL_CTX_new(method);
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
        *error = QStringLiteral("Cannot set up TLS: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                                  | SSL_MODE_RELEASE_BUFFERS);
    // Many peers close with a plain FIN and no close_notify: after a whole
    // record that ends the stream, as in plaintext. A FIN inside a record is
    // told apart by the socket BIO and is a broken stream.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, ReadAheadBytes);
    // Sessions are not resumed, so no tickets are kept or sent.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    return context;
}

} // namespace

SSL_CTX *TlsContext::context(QString *error)
{
    if (m_context)
        return m_context;
    SSL_CTX *context = newContext(TLS_client_method(), error);
    if (context && (SSL_CTX_set_default_verify_paths(context) != 1
                    || (!m_clientIdentity.isNull() && !m_clientIdentity.applyTo(context)))) {
        *error = QStringLiteral("Cannot set up TLS: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(std::exchange(context, nullptr));
    }
    if (!context)
        return nullptr;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &TlsSession::verifyPeer);
    m_context = context;
    return m_context;
}

bool TlsContext::prepareServer(const QHostAddress &listenAddress, QString *error)
{
    TlsIdentity identity = m_configuredServerIdentity;
    if (identity.isNull() && !identity.generate(listenAddress, error))
        return false;
    SSL_CTX *context = newContext(TLS_server_method(), error);
    if (!context)
        return false;
    if (!identity.applyTo(context)) {
        *error = QStringLiteral("Cannot use the listen certificate: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(context);
        return false;
    }
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    // Sessions still under way keep a reference to the context they began on.
    SSL_CTX_free(std::exchange(m_serverContext, context));
    m_serverIdentity = identity;
    return true;
}

// ---------------------------------------------------------------------------

namespace {

// A PEM file of certificates and a key is a few KiB; the bound keeps a
// wrong name (a device, a log) from being read into memory.
constexpr qsizetype MaxIdentityFileBytes = 1024 * 1024;

// Opened without blocking, so that a FIFO with no writer is refused at once
// rather than waited on; only a regular file is read.
bool readFile(const QString &path, QByteArray *contents, QString *error)
{
    const QString name = quotedInput(path);
    const auto refuse = [error](const QString &why) {
        *error = why;
        return false;
    };
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(QStringLiteral("cannot read %1: %2").arg(name, systemMessage(errno)));
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return refuse(QStringLiteral("cannot read %1: %2").arg(name, systemMessage(errno)));
    if (!S_ISREG(status.st_mode))
        return refuse(QStringLiteral("%1 is not a regular file").arg(name));
    const QString tooLarge = QStringLiteral("%1 is larger than %2 MiB")
                                     .arg(name, QString::number(MaxIdentityFileBytes / (1024 * 1024)));
    if (status.st_size > MaxIdentityFileBytes)
        return refuse(tooLarge);
    // One byte over the bound tells a file that has grown since fstat().
    QByteArray text(MaxIdentityFileBytes + 1, Qt::Uninitialized);
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
    if (got > MaxIdentityFileBytes)
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

bool TlsIdentity::load(const QString &certFile, const QString &keyFile, QString *error)
{
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

// ---------------------------------------------------------------------------

TlsSession::TlsSession(TlsContext &context, QString host, quint16 port, Role role)
    : m_context(context)
    , m_host(std::move(host))
    , m_port(port)
    , m_role(role)
    , m_handshakeInterest(role == Role::Server ? Reactor::Read : Reactor::None) // awaits the ClientHello
{
}

TlsSession::~TlsSession()
{
    X509_free(m_leaf);
    SSL_free(m_ssl);
}

bool TlsSession::begin(int fd)
{
    QString error = QStringLiteral("The listener's TLS context is gone.");
    SSL_CTX *context = m_role == Role::Server ? m_context.serverContext() : m_context.context(&error);
    if (!context) {
        m_failure = {Endpoint::TlsHandshakeError, socketErrorText(Endpoint::TlsHandshakeError), error};
        return false;
    }
    m_ssl = SSL_new(context);
    m_socket.fd = fd;
    BIO *bio = m_ssl ? newSocketBio(&m_socket) : nullptr;
    if (!bio) {
        failHandshake(SSL_ERROR_SSL, 0);
        return false;
    }
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_app_data(m_ssl, this);
    if (m_role == Role::Server) {
        SSL_set_accept_state(m_ssl);
        return true;
    }
    SSL_set_connect_state(m_ssl);

    // An address is checked as an address and gets no SNI; a name is checked
    // as a DNS name (in its ASCII form) and sent as SNI.
    bool named = false;
    QHostAddress literal;
    bool set = false;
    if (literal.setAddress(m_host)) {
        literal.setScopeId(QString());
        set = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), literal.toString().toLatin1().constData()) == 1;
    } else {
        const QByteArray ascii = QUrl::toAce(m_host);
        named = true;
        set = !ascii.isEmpty() && SSL_set_tlsext_host_name(m_ssl, ascii.constData()) == 1
              && SSL_set1_host(m_ssl, ascii.constData()) == 1;
    }
    if (!set) {
        m_failure = {Endpoint::TlsHandshakeError, socketErrorText(Endpoint::TlsHandshakeError),
                     QStringLiteral("Cannot check the certificate of %1: the %2 cannot be used for TLS.")
                         .arg(quotedInput(m_host), named ? QStringLiteral("name") : QStringLiteral("address"))};
        return false;
    }
    // Names only from subjectAltName: a certificate that names its host only
    // in the subject's CN is refused, as RFC 6125 and browsers do.
    SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return true;
}

// Called by OpenSSL for each certificate of the chain, and once more for the
// host check. A pinned server certificate is taken whatever else is wrong.
int TlsSession::verifyPeer(int preverified, X509_STORE_CTX *store)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *session = ssl ? static_cast<TlsSession *>(SSL_get_app_data(ssl)) : nullptr;
    if (!session)
        return 0;
    if (X509 *leaf = X509_STORE_CTX_get0_cert(store))
        session->noteCertificate(leaf);
    if (session->m_pinned) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (!preverified && session->m_verifyError == X509_V_OK) {
        session->m_verifyError = X509_STORE_CTX_get_error(store);
        session->m_verifyDepth = X509_STORE_CTX_get_error_depth(store);
    }
    return preverified;
}

void TlsSession::noteCertificate(X509 *leaf)
{
    if (m_leaf)
        return;
    X509_up_ref(leaf);
    m_leaf = leaf;
    // The digests cost two hashes a handshake: only worth it with pins.
    m_pinned = m_context.hasPins()
               && (m_context.isPinned(certificateDigest(leaf)) || m_context.isPinned(publicKeyDigest(leaf)));
}

TlsSession::Handshake TlsSession::handshake(int fd)
{
    if (!m_ssl && !begin(fd))
        return Handshake::Failed;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        X509_free(std::exchange(m_leaf, nullptr));
        SSL_free_buffers(m_ssl);
        return Handshake::Done;
    }
    const int savedErrno = errno;
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        m_handshakeInterest = error == SSL_ERROR_WANT_READ ? Reactor::Read : Reactor::Write;
        return Handshake::Pending;
    }
    failHandshake(error, savedErrno);
    return Handshake::Failed;
}

void TlsSession::failHandshake(int sslError, int savedErrno)
{
    const QString reason = failureReason(sslError, savedErrno);
    if (m_role == Role::Server) {
        m_failure = {Endpoint::TlsHandshakeError, socketErrorText(Endpoint::TlsHandshakeError),
                     QStringLiteral("The TLS handshake with %1 failed: %2.").arg(peerText(), reason)};
        return;
    }
    const QString server = peerText();
    if (m_verifyError != X509_V_OK) {
        m_failure.code = Endpoint::CertificateError;
        m_failure.detail = QStringLiteral("The certificate of %1 is not trusted: %2 (certificate %3 of the chain).")
                               .arg(server, QString::fromUtf8(X509_verify_cert_error_string(m_verifyError)))
                               .arg(m_verifyDepth);
    } else {
        m_failure.code = Endpoint::TlsHandshakeError;
        m_failure.detail = QStringLiteral("The TLS handshake with %1 failed: %2.").arg(server, reason);
    }
    m_failure.text = socketErrorText(m_failure.code);
    m_failure.detail += certificateText();
}

// "\"irc.example\" port 6697", or "the client at 192.0.2.7:50000".
QString TlsSession::peerText() const
{
    return m_role == Role::Server ? QStringLiteral("the client at %1").arg(m_host)
                                  : QStringLiteral("%1 port %2").arg(quotedInput(m_host), QString::number(m_port));
}

// What a person needs to judge the certificate, and to pin it.
QString TlsSession::certificateText() const
{
    const QString host = QStringLiteral("\nHost checked: %1").arg(quotedInput(m_host));
    if (!m_leaf)
        return host + QStringLiteral("\nThe server sent no certificate.");
    return host
           + QStringLiteral("\nSubject: %1\nIssuer: %2\nSHA-256 of the certificate: %3\n"
                            "SHA-256 of its public key: %4\n"
                            "To trust it anyway, start the program with --trust-certificate and one of these.")
                 .arg(nameText(X509_get_subject_name(m_leaf)), nameText(X509_get_issuer_name(m_leaf)),
                      fingerprintText(certificateDigest(m_leaf)), fingerprintText(publicKeyDigest(m_leaf)));
}

ssize_t TlsSession::read(char *buffer, size_t size)
{
    m_readWantsWrite = false;
    size_t got = 0;
    // Until OpenSSL has nothing left: what it has decrypted, or read ahead,
    // would not wake the loop again.
    while (got < size && m_deferred == Deferred::None) {
        ERR_clear_error();
        const int n = SSL_read(m_ssl, buffer + got, clampToInt(size - got));
        if (n > 0) {
            got += size_t(n);
            continue;
        }
        const int savedErrno = errno;
        const int error = SSL_get_error(m_ssl, n);
        if (error == SSL_ERROR_WANT_READ) {
            // Drained: the record buffers go back until the next record, so a
            // connection that now falls idle holds none. This fails, harmlessly,
            // while a record is half read or half sent.
            SSL_free_buffers(m_ssl);
            break;
        }
        if (error == SSL_ERROR_WANT_WRITE) {
            m_readWantsWrite = true;
            break;
        }
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && savedErrno == 0)) {
            m_deferred = Deferred::End;
            if (m_socket.insideRecord()) {
                // Cut off: the peer must not take the part for the whole.
                m_deferred = Deferred::Failure;
                m_failure = {Endpoint::TlsError, socketErrorText(Endpoint::TlsError),
                             QStringLiteral("The TLS stream from %1 was cut off inside a record.").arg(peerText())};
                m_deferredErrno = Endpoint::TlsError;
            }
        } else {
            m_deferred = Deferred::Failure;
            failStream(error, savedErrno);
            m_deferredErrno = errno;
        }
    }
    if (got > 0)
        return ssize_t(got);
    switch (m_deferred) {
    case Deferred::End:
        return 0;
    case Deferred::Failure:
        errno = m_deferredErrno;
        return -1;
    case Deferred::None:
        break;
    }
    errno = EAGAIN;
    return -1;
}

ssize_t TlsSession::write(const char *data, size_t size)
{
    m_writeWantsRead = false;
    size_t sent = 0;
    // With partial writes each SSL_write sends one record: go on until the
    // socket is full, so the caller queues only what it could not take.
    // Bounded by the size, which every pass shrinks.
    while (sent < size) {
        ERR_clear_error();
        const int n = SSL_write(m_ssl, data + sent, clampToInt(size - sent));
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        const int savedErrno = errno;
        const int error = SSL_get_error(m_ssl, n);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return failStream(error, savedErrno); // the stream is broken: what went before is moot
        // The record OpenSSL has begun stays its own: the next write starts
        // with the bytes after `sent`, as OpenSSL requires of a retry.
        m_writeWantsRead = error == SSL_ERROR_WANT_READ;
        if (sent > 0)
            break;
        errno = EAGAIN;
        return -1;
    }
    return ssize_t(sent);
}

// A socket error stays that error (a reset is a reset); anything else is a
// failed TLS stream: a bad record, a fatal alert.
ssize_t TlsSession::failStream(int sslError, int savedErrno)
{
    if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0 && !wouldBlock(savedErrno)) {
        ERR_clear_error();
        errno = savedErrno;
        return -1;
    }
    m_failure = {Endpoint::TlsError, socketErrorText(Endpoint::TlsError),
                 QStringLiteral("The TLS stream from %1 failed: %2.").arg(peerText(), failureReason(sslError, savedErrno))};
    errno = Endpoint::TlsError;
    return -1;
}

bool TlsSession::closeNotify()
{
    m_closeWantsWrite = false;
    ERR_clear_error();
    const int result = SSL_shutdown(m_ssl);
    if (result >= 0)
        return true; // sent; the server's own close_notify is not waited for
    const int savedErrno = errno;
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        m_closeWantsWrite = true;
        errno = EAGAIN;
        return false;
    }
    failStream(error, savedErrno);
    return false;
}

unsigned TlsSession::extraInterest() const
{
    return (m_readWantsWrite || m_closeWantsWrite ? Reactor::Write : 0u)
           | (m_writeWantsRead ? Reactor::Read : 0u);
}

bool TlsSession::hasPending() const
{
    return m_ssl && (m_deferred != Deferred::None || SSL_has_pending(m_ssl) == 1 || !m_socket.early.isEmpty());
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_context);
    SSL_CTX_free(m_serverContext);
}

} // namespace pelk
