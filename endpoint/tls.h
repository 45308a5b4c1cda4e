#pragma once

#include "socketerrors.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>
#include <vector>
#include <sys/types.h>
#include <utility>

typedef struct bio_st BIO;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace pelk {

// Reads a certificate pin as a person types it: the 64 hex digits of a
// SHA-256, in any case, with or without colons between them. Returns the 32
// bytes, or nothing and a short reason in *error.
std::optional<QByteArray> parseFingerprint(QStringView text, QString *error = nullptr);

// "AB:CD:...": how fingerprints are shown, and one of the forms
// parseFingerprint() reads.
QString fingerprintText(const QByteArray &sha256);

class TlsSession;

// A certificate, the chain certificates sent after it, and its private key:
// what this side presents in a handshake. A value; copies share the keys.
class TlsIdentity
{
public:
    // Reads a PEM certificate file, and the key from keyFile (from certFile
    // when keyFile is empty). False, with *error naming the file and saying
    // exactly what is wrong: unreadable, no certificate, no key, an
    // encrypted key (not supported: the program has nobody to ask for a
    // passphrase when started from a menu or at login), a key that does not
    // match the certificate. Only regular files of at most 1 MiB are read.
    bool load(const QString &certFile, const QString &keyFile, QString *error);

    // A fresh self-signed certificate on a new EC P-256 key, in memory, for
    // a server: its subjectAltName holds localhost, this computer's host
    // name, 127.0.0.1, ::1 and listenAddress unless that is null.
    bool generate(const QHostAddress &listenAddress, QString *error);

    bool isNull() const { return !m_cert; }
    QByteArray sha256() const; // of the certificate's DER, as services show CertFP
    bool applyTo(SSL_CTX *context) const;

private:
    std::shared_ptr<X509> m_cert;
    std::vector<std::shared_ptr<X509>> m_chain;
    std::shared_ptr<EVP_PKEY> m_key;
};

// What every TLS connection of one EndpointLoop shares: one OpenSSL client
// context, made on first use (so a relay that never speaks TLS never reads
// the trust store), the pinned fingerprints and the client certificate; and
// the server context of a listener that speaks TLS.
//
// The client context trusts the system's store (SSL_CERT_FILE and
// SSL_CERT_DIR when set), checks the server's host, speaks TLS 1.2 or later,
// and accepts a certificate whose SHA-256, or the SHA-256 of whose public
// key, is pinned, even when the store or the host name would refuse it. The
// server context speaks TLS 1.2 or later and asks clients for no certificate.
class TlsContext
{
public:
    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // SHA-256 digests (32 bytes each) of certificates or public keys.
    void setPins(const QList<QByteArray> &sha256);
    bool isPinned(const QByteArray &sha256) const { return m_pins.contains(sha256); }
    bool hasPins() const { return !m_pins.isEmpty(); }

    // Presented to every "+N" server (CertFP, SASL EXTERNAL); set before
    // the first connect.
    void setClientIdentity(const TlsIdentity &identity) { m_clientIdentity = identity; }
    const TlsIdentity &clientIdentity() const { return m_clientIdentity; }

    // The certificate a TLS listener presents; without one, prepareServer()
    // makes a fresh one each time.
    void setServerIdentity(const TlsIdentity &identity) { m_configuredServerIdentity = identity; }

    // The OpenSSL client context; null when it cannot be made (*error says why).
    SSL_CTX *context(QString *error);

    // Makes the server context anew for a listener that starts listening;
    // false when it cannot be made (*error says why). listenAddress, when
    // not null, is named in a certificate made here.
    bool prepareServer(const QHostAddress &listenAddress, QString *error);
    SSL_CTX *serverContext() const { return m_serverContext; }
    const TlsIdentity &serverIdentity() const { return m_serverIdentity; }

private:
    SSL_CTX *m_context = nullptr;
    SSL_CTX *m_serverContext = nullptr;
    QList<QByteArray> m_pins;
    TlsIdentity m_clientIdentity;
    TlsIdentity m_configuredServerIdentity;
    TlsIdentity m_serverIdentity;
};

// The socket under one TLS session, as OpenSSL's reads and writes reach it
// (through a BIO of tls.cpp). The record framing of what arrives is
// followed, so that an end of stream inside a record can be told from one
// between records.
struct TlsSocket
{
    int fd = -1;
    bool eof = false;
    QByteArray early; // read from the socket before the session began; OpenSSL reads it first
    unsigned char header[5] = {};
    int headerBytes = 0;   // of the next record's header, read so far
    size_t recordLeft = 0; // bytes of the current record still to come

    void follow(const unsigned char *data, size_t size);
    bool insideRecord() const { return headerBytes > 0 || recordLeft > 0; }
};

// One TLS connection on an endpoint's non-blocking socket, as the client of
// a "+N" server or as the server of a client of a TLS listener; driven by
// the endpoint from its readiness callbacks. Never closes the socket.
//
// read() and write() work like recv() and send(): a count of bytes, 0 at the
// end of the stream (the server's close_notify, or its FIN after a whole
// record), or -1 with errno: EAGAIN when OpenSSL waits for the socket
// (readCanGo() and writeCanGo() then say which readiness lets it go on, and
// extraInterest() what to watch for), Endpoint::TlsError when the TLS stream
// failed (failure() says why; a FIN inside a record is such a failure), or
// the socket's own errno. The socket is written with send(MSG_NOSIGNAL), so a
// peer that has gone is EPIPE, never a signal.
class TlsSession
{
public:
    enum class Handshake { Done, Pending, Failed };
    enum class Role { Client, Server };

    // host and port name the peer in messages; a client also checks the
    // server's certificate against host and sends it as SNI.
    TlsSession(TlsContext &context, QString host, quint16 port, Role role = Role::Client);
    ~TlsSession();
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;

    // Starts or continues the handshake on fd, a connected TCP socket.
    // Failed: failure() holds CertificateError or TlsHandshakeError.
    Handshake handshake(int fd);
    unsigned handshakeInterest() const { return m_handshakeInterest; }

    // Bytes the socket gave before the handshake began (those after a
    // proxy's reply): the session reads them before the socket.
    void setReceived(QByteArray bytes) { m_socket.early = std::move(bytes); }

    ssize_t read(char *buffer, size_t size);
    ssize_t write(const char *data, size_t size);

    // Sends close_notify; false with errno EAGAIN when the socket has no room
    // yet (try again when writable), or with another errno on failure.
    bool closeNotify();

    bool readCanGo(bool readable, bool writable) const
    {
        return m_readWantsWrite ? writable : readable;
    }
    bool writeCanGo(bool readable, bool writable) const
    {
        return m_writeWantsRead ? readable : writable;
    }
    unsigned extraInterest() const;

    // OpenSSL holds bytes (decrypted or not) that the socket will not signal.
    bool hasPending() const;

    EndpointError failure() const { return m_failure; }

    // OpenSSL's verify callback, set on the context.
    static int verifyPeer(int preverified, X509_STORE_CTX *store);

private:
    bool begin(int fd);
    void noteCertificate(X509 *leaf);
    void failHandshake(int sslError, int savedErrno);
    ssize_t failStream(int sslError, int savedErrno);
    QString certificateText() const;
    QString peerText() const;

    TlsContext &m_context;
    const QString m_host;
    const quint16 m_port;
    const Role m_role;
    SSL *m_ssl = nullptr;
    TlsSocket m_socket;
    unsigned m_handshakeInterest = 0;
    bool m_readWantsWrite = false;
    bool m_writeWantsRead = false;
    bool m_closeWantsWrite = false;

    // An end or failure met after bytes that read() returned first.
    enum class Deferred { None, End, Failure } m_deferred = Deferred::None;
    int m_deferredErrno = 0;

    // The server's certificate while the handshake runs, for the message.
    X509 *m_leaf = nullptr;
    bool m_pinned = false;
    int m_verifyError = 0;
    int m_verifyDepth = 0;

    EndpointError m_failure;
};

} // namespace pelk
