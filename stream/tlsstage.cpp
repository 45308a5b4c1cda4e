#include "tlsstage.h"
#include "fingerprint.h"
#include "opensslerrors.h"
#include "porttext.h"
#include "socketcalls.h"
#include "tlscontext.h"

#include <QHostAddress>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace pelk {

namespace {

int clampToInt(size_t size)
{
    return int(std::min(size, size_t(INT_MAX)));
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

} // namespace

TlsStage::TlsStage(TlsContext &context, QString host, quint16 port, Role role)
    : m_context(context)
    , m_host(std::move(host))
    , m_port(port)
    , m_role(role)
    , m_handshakeWantsRead(role == Role::Server) // awaits the ClientHello
{
    m_transport.below = &m_below;
}

TlsStage::~TlsStage()
{
    X509_free(m_leaf);
    SSL_free(m_ssl);
}

bool TlsStage::begin()
{
    QString error = QStringLiteral("The listener's TLS context is gone.");
    SSL_CTX *context = m_role == Role::Server ? m_context.serverContext() : m_context.context(&error);
    if (!context) {
        m_failure = failureOf(TlsHandshakeError, error);
        return false;
    }
    m_ssl = SSL_new(context);
    BIO *bio = m_ssl ? newTransportBio(&m_transport) : nullptr;
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
    SSL_set_verify(m_ssl, SSL_VERIFY_PEER, &TlsStage::verifyPeer);

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
        m_failure = failureOf(TlsHandshakeError,
                              QStringLiteral("Cannot check the certificate of %1: the %2 cannot be used for TLS.")
                                  .arg(quotedInput(m_host), named ? QStringLiteral("name") : QStringLiteral("address")));
        return false;
    }
    // Names only from subjectAltName: a certificate that names its host only
    // in the subject's CN is refused, as RFC 6125 and browsers do.
    SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return true;
}

// Called by OpenSSL for each certificate of the chain, and once more for the
// host check. A pinned certificate is taken whatever else is wrong; a
// server pins its clients' and takes no other.
int TlsStage::verifyPeer(int preverified, X509_STORE_CTX *store)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *session = ssl ? static_cast<TlsStage *>(SSL_get_app_data(ssl)) : nullptr;
    if (!session)
        return 0;
    if (X509 *leaf = X509_STORE_CTX_get0_cert(store))
        session->noteCertificate(leaf);
    if (session->m_pinned) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (session->m_role == Role::Server) {
        session->m_verifyError = X509_V_ERR_CERT_REJECTED;
        return 0;
    }
    if (!preverified && session->m_verifyError == X509_V_OK) {
        session->m_verifyError = X509_STORE_CTX_get_error(store);
        session->m_verifyDepth = X509_STORE_CTX_get_error_depth(store);
    }
    return preverified;
}

void TlsStage::noteCertificate(X509 *leaf)
{
    if (m_leaf)
        return;
    X509_up_ref(leaf);
    m_leaf = leaf;
    // The digests cost two hashes a handshake: only worth it with pins.
    if (m_role == Role::Server)
        m_pinned = m_context.isClientPinned(certificateDigest(leaf)) || m_context.isClientPinned(publicKeyDigest(leaf));
    else
        m_pinned = m_context.hasPins()
                   && (m_context.isPinned(certificateDigest(leaf)) || m_context.isPinned(publicKeyDigest(leaf)));
}

StreamStage::Handshake TlsStage::handshake()
{
    if (!m_ssl && !begin())
        return Handshake::Failed;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        m_handshakeDone = true;
        X509_free(std::exchange(m_leaf, nullptr));
        SSL_free_buffers(m_ssl);
        return Handshake::Done;
    }
    const int savedErrno = errno;
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        m_handshakeWantsRead = error == SSL_ERROR_WANT_READ;
        return Handshake::Pending;
    }
    failHandshake(error, savedErrno);
    return Handshake::Failed;
}

QString TlsStage::version() const
{
    return m_handshakeDone ? QString::fromLatin1(SSL_get_version(m_ssl)) : QString();
}

void TlsStage::failHandshake(int sslError, int savedErrno)
{
    // A server that pins its clients refuses one without a pinned
    // certificate, and shows the certificate so that it can be pinned.
    if (m_role == Role::Server && m_context.pinsClients()
        && (m_verifyError != X509_V_OK || ERR_GET_REASON(ERR_peek_error()) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)) {
        m_failure = failureOf(ClientNotPinnedError,
                              m_leaf ? QStringLiteral("its certificate is not pinned%1").arg(certificateText())
                                     : QStringLiteral("it presented no certificate, and only clients with a "
                                                      "pinned one are served"));
        return;
    }
    // Only a client checks its peer's certificate against the trust store,
    // and only a client has one to show.
    if (m_verifyError != X509_V_OK) {
        m_failure = failureOf(CertificateError,
                              QStringLiteral("The certificate of %1 is not trusted: %2 (certificate %3 of the chain).")
                                  .arg(peerText(), QString::fromUtf8(X509_verify_cert_error_string(m_verifyError)))
                                  .arg(m_verifyDepth));
    } else {
        m_failure = failureOf(TlsHandshakeError, QStringLiteral("The TLS handshake with %1 failed: %2.")
                                                     .arg(peerText(), failureReason(sslError, savedErrno)));
    }
    if (m_role == Role::Client)
        m_failure.detail += certificateText();
}

// "\"irc.example\" port 6697", or "the client at 192.0.2.7:50000".
QString TlsStage::peerText() const
{
    return m_role == Role::Server ? QStringLiteral("the client at %1").arg(m_host)
                                  : QStringLiteral("%1 port %2").arg(quotedInput(m_host), QString::number(m_port));
}

// What a person needs to judge the certificate, and to pin it.
QString TlsStage::certificateText() const
{
    const bool server = m_role == Role::Server;
    const QString host = server ? QString() : QStringLiteral("\nHost checked: %1").arg(quotedInput(m_host));
    if (!m_leaf)
        return host + QStringLiteral("\nThe server sent no certificate.");
    return host
           + QStringLiteral("\nSubject: %1\nIssuer: %2\nSHA-256 of the certificate: %3\n"
                            "SHA-256 of its public key: %4\n"
                            "To %5, start the program with %6 and one of these.")
                 .arg(nameText(X509_get_subject_name(m_leaf)), nameText(X509_get_issuer_name(m_leaf)),
                      fingerprintText(certificateDigest(m_leaf)), fingerprintText(publicKeyDigest(m_leaf)),
                      server ? QStringLiteral("serve it") : QStringLiteral("trust it anyway"),
                      server ? QStringLiteral("--allow-client") : QStringLiteral("--trust-certificate"));
}

ssize_t TlsStage::read(char *buffer, size_t size)
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
            if (m_transport.insideRecord()) {
                // Cut off: the peer must not take the part for the whole.
                m_deferred = Deferred::Failure;
                m_failure = failureOf(TlsError, QStringLiteral("The TLS stream from %1 was cut off inside a record.")
                                                    .arg(peerText()));
                m_deferredErrno = TlsError;
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

ssize_t TlsStage::write(const char *data, size_t size)
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
ssize_t TlsStage::failStream(int sslError, int savedErrno)
{
    if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0 && !wouldBlock(savedErrno)) {
        ERR_clear_error();
        errno = savedErrno;
        return -1;
    }
    m_failure = failureOf(TlsError, QStringLiteral("The TLS stream from %1 failed: %2.")
                                        .arg(peerText(), failureReason(sslError, savedErrno)));
    errno = TlsError;
    return -1;
}

// close_notify, then the FIN below.
bool TlsStage::sendFin()
{
    m_closeWantsWrite = false;
    ERR_clear_error();
    const int result = SSL_shutdown(m_ssl);
    if (result >= 0)
        return m_below->sendFin(); // sent; the peer's own close_notify is not waited for
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

unsigned TlsStage::interest(bool wantRead, bool wantWrite) const
{
    if (!m_handshakeDone)
        return m_below->interest(m_handshakeWantsRead, !m_handshakeWantsRead && m_ssl);
    return m_below->interest(wantRead || m_writeWantsRead, wantWrite || m_readWantsWrite || m_closeWantsWrite);
}

bool TlsStage::readCanGo(bool readable, bool writable) const
{
    return (m_readWantsWrite ? writable : readable) || holdsInput();
}

bool TlsStage::writeCanGo(bool readable, bool writable) const
{
    return m_writeWantsRead ? readable : writable;
}

bool TlsStage::holdsInput() const
{
    return m_ssl && (m_deferred != Deferred::None || SSL_has_pending(m_ssl) == 1 || m_below->holdsInput());
}

EndpointError TlsStage::handshakeTimedOut(int limitMs) const
{
    const QString limit = QString::number(limitMs / 1000.0);
    if (m_role == Role::Server) {
        return failureOf(TlsHandshakeError, QStringLiteral("The TLS handshake with %1 did not finish within %2 seconds.")
                                                .arg(peerText(), limit));
    }
    return failureOf(TimedOutError, QStringLiteral("The TLS handshake with %1 did not finish within %2 seconds of "
                                                   "the connect's start.")
                                        .arg(peerText(), limit));
}


} // namespace pelk
