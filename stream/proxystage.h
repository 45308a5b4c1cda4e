#pragma once

#include "proxyexchange.h"
#include "sendqueue.h"
#include "streamstage.h"

#include <QByteArray>
#include <QString>

namespace pelk {

// A proxy's stage, over the connection to the proxy: its handshake asks the
// proxy for a connection to the server (ProxyExchange); after it, bytes pass
// through to the stage below, and the bytes the server sent right after the
// proxy's reply are read first. A failure of the exchange is one of the
// Proxy*Error codes, or HostNotFoundError for a name no proxy can be asked.
class ProxyStage final : public StreamStage
{
public:
    ProxyStage(const ProxyUrl &proxy, const QString &host, quint16 port);

    Handshake handshake() override;
    ssize_t read(char *buffer, size_t size) override;
    ssize_t write(const char *data, size_t size) override { return m_below->write(data, size); }
    bool sendFin() override { return m_below->sendFin(); }
    unsigned interest(bool wantRead, bool wantWrite) const override;
    bool readCanGo(bool readable, bool writable) const override;
    bool writeCanGo(bool readable, bool writable) const override { return m_below->writeCanGo(readable, writable); }
    bool holdsInput() const override { return !m_rest.isEmpty() || m_below->holdsInput(); }
    EndpointError failure() const override { return m_failure; }
    EndpointError handshakeTimedOut(int limitMs) const override;

    // A failure to connect to the proxy itself, told as such.
    static EndpointError unreachable(const ProxyUrl &proxy, const EndpointError &error);

private:
    static constexpr qsizetype ReadChunkBytes = 4096;

    bool take(ProxyExchange::Step step);
    Handshake socketFailed(int code);

    ProxyExchange m_exchange;
    const QString m_proxyText;
    bool m_started = false;
    bool m_done = false;
    SendQueue m_out;
    QByteArray m_rest; // after the proxy's reply: the server's first bytes
    EndpointError m_failure;
};

} // namespace pelk
