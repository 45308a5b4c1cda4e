#pragma once

#include "tlsidentity.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

typedef struct ssl_ctx_st SSL_CTX;

namespace pelk {

// What every TLS connection of one loop shares: one OpenSSL client context,
// made on first use (so a relay that never speaks TLS never reads the trust
// store), the pinned fingerprints and the client certificate; and the
// server context of a listener that speaks TLS.
//
// The client context trusts the system's store (SSL_CERT_FILE and
// SSL_CERT_DIR when set) and speaks TLS 1.2 or later; each session checks
// the server's host, and accepts a certificate whose SHA-256, or the SHA-256
// of whose public key, is pinned, even when the store or the host name
// would refuse it (TlsStage). The server context speaks TLS 1.2 or later and
// asks clients for no certificate, unless clients are pinned: then every
// client must present a certificate whose SHA-256, or its public key's, is
// one of the client pins.
class TlsContext
{
public:
    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // SHA-256 digests (32 bytes each) of certificates or public keys.
    void setPins(const QList<QByteArray> &sha256) { m_pins = sha256; }
    bool isPinned(const QByteArray &sha256) const { return m_pins.contains(sha256); }
    bool hasPins() const { return !m_pins.isEmpty(); }

    // The same for the clients of a TLS listener, from its next Listen() on.
    void setClientPins(const QList<QByteArray> &sha256) { m_clientPins = sha256; }
    bool isClientPinned(const QByteArray &sha256) const { return m_clientPins.contains(sha256); }
    bool pinsClients() const { return !m_clientPins.isEmpty(); }

    // Presented to every "+N" server (CertFP, SASL EXTERNAL); set before
    // the first connect.
    void setClientIdentity(const TlsIdentity &identity) { m_clientIdentity = identity; }
    const TlsIdentity &clientIdentity() const { return m_clientIdentity; }

    // The certificate a TLS listener presents; without one, prepareServer()
    // makes a fresh one each time.
    void setServerIdentity(const TlsIdentity &identity) { m_configuredServerIdentity = identity; }

    // The OpenSSL client context; null when it cannot be made (*error says why).
    SSL_CTX *context(QString *error);

    // Makes the server context anew for a listener that starts listening on
    // listenAddress (null when not on one address alone); false when it
    // cannot be made (*error says why).
    bool prepareServer(const QHostAddress &listenAddress, QString *error);
    SSL_CTX *serverContext() const { return m_serverContext; }
    const TlsIdentity &serverIdentity() const { return m_serverIdentity; }

private:
    SSL_CTX *m_context = nullptr;
    SSL_CTX *m_serverContext = nullptr;
    QList<QByteArray> m_pins;
    QList<QByteArray> m_clientPins;
    TlsIdentity m_clientIdentity;
    TlsIdentity m_configuredServerIdentity;
    TlsIdentity m_serverIdentity;
};

} // namespace pelk
