#pragma once

#include "streamstage.h"
#include "tlsbio.h"

#include <QString>

typedef struct ssl_st SSL;
typedef struct x509_st X509;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace pelk {

class TlsContext;

// TLS over the stage below it: as the client of a "+N" server, or as the
// server of a client of a TLS listen port. Its handshake is the TLS one;
// after it, read() and write() carry plaintext, sendFin() sends
// close_notify and then the FIN below, and the peer's close_notify, or its
// FIN after a whole record, is the end of the stream. A FIN inside a record
// is a failure (TlsError): the peer must not take the part for the whole.
//
// A client checks the server's certificate against the system's trust store
// and the host (sent as SNI; an address is checked as an address), unless
// the context pins it. Failures: CertificateError or TlsHandshakeError in
// the handshake, TlsError in the stream, the socket's own errno as it is.
class TlsStage final : public StreamStage
{
public:
    enum class Role { Client, Server };

    // host and port name the peer in messages; a client also checks the
    // server's certificate against host and sends it as SNI.
    TlsStage(TlsContext &context, QString host, quint16 port, Role role = Role::Client);
    ~TlsStage() override;

    Handshake handshake() override;
    ssize_t read(char *buffer, size_t size) override;
    ssize_t write(const char *data, size_t size) override;
    bool sendFin() override;
    unsigned interest(bool wantRead, bool wantWrite) const override;
    bool readCanGo(bool readable, bool writable) const override;
    bool writeCanGo(bool readable, bool writable) const override;
    // OpenSSL holds bytes (decrypted or not) that the socket will not signal.
    bool holdsInput() const override;
    EndpointError failure() const override { return m_failure; }
    EndpointError handshakeTimedOut(int limitMs) const override;

    // The protocol version agreed ("TLSv1.3"), once the handshake is done;
    // empty before.
    QString version() const;

    // OpenSSL's verify callback, set on each client session.
    static int verifyPeer(int preverified, X509_STORE_CTX *store);

private:
    bool begin();
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
    TlsTransport m_transport;
    bool m_handshakeDone = false;
    bool m_handshakeWantsRead;
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
