#include "tls.h"
#include "porttext.h"
#include "socketcalls.h"
#include "socketerrors.h"

#include <QHostAddress>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/socket.h>
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

TlsContext &EndpointLoop::tls()
{
    if (!m_tls)
        m_tls = std::make_unique<TlsContext>();
    return *m_tls;
}

void TlsContext::setPins(const QList<QByteArray> &sha256)
{
    m_pins = sha256;
}

SSL_CTX *TlsContext::context(QString *error)
{
    if (m_context)
        return m_context;
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1
        || SSL_CTX_set_default_verify_paths(context) != 1) {
        *error = QStringLiteral("Cannot set up TLS: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &TlsSession::verifyPeer);
    // Partial writes with a buffer that may move: the endpoint's queue keeps
    // what OpenSSL has not taken and grows while it waits. Record buffers are
    // given back whenever they are empty, so an idle connection holds none.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                                  | SSL_MODE_RELEASE_BUFFERS);
    // Many IRC servers close with a plain FIN and no close_notify: after a
    // whole record that ends the stream, as in plaintext. A FIN inside a
    // record is told apart by the socket BIO and is a broken stream.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Whole socket reads of several records at once rather than a header and
    // then a body per record. The buffer is given back once drained, so its
    // size costs an idle connection nothing.
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, ReadAheadBytes);
    // Sessions are not resumed, so the tickets servers send need not be kept.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    m_context = context;
    return m_context;
}

// ---------------------------------------------------------------------------

TlsSession::TlsSession(TlsContext &context, QString host, quint16 port)
    : m_context(context)
    , m_host(std::move(host))
    , m_port(port)
{
}

TlsSession::~TlsSession()
{
    X509_free(m_leaf);
    SSL_free(m_ssl);
}

bool TlsSession::begin(int fd)
{
    QString error;
    SSL_CTX *context = m_context.context(&error);
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
    const int result = SSL_connect(m_ssl);
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
    const QString server = QStringLiteral("%1 port %2").arg(quotedInput(m_host)).arg(m_port);
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
                             QStringLiteral("The TLS stream from %1 port %2 was cut off inside a record.")
                                 .arg(quotedInput(m_host))
                                 .arg(m_port)};
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
                 QStringLiteral("The TLS stream from %1 port %2 failed: %3.")
                     .arg(quotedInput(m_host))
                     .arg(m_port)
                     .arg(failureReason(sslError, savedErrno))};
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
}

} // namespace pelk
