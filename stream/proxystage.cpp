#include "proxystage.h"
#include "socketcalls.h"

#include <algorithm>
#include <cstring>

namespace pelk {

ProxyStage::ProxyStage(const ProxyUrl &proxy, const QString &host, quint16 port)
    : m_exchange(proxy, host, port)
    , m_proxyText(proxy.description())
{
}

// Queues what the step has to send; false when the exchange has failed.
bool ProxyStage::take(ProxyExchange::Step step)
{
    // Bytes the proxy sent ahead of the next request are in the exchange
    // already: feed it nothing until it wants more.
    while (step.kind == ProxyExchange::Step::Write) {
        m_out.append(step.bytes);
        step = m_exchange.feed({});
    }
    if (step.kind == ProxyExchange::Step::Failed) {
        m_failure = step.error;
        return false;
    }
    if (step.kind == ProxyExchange::Step::Done) {
        m_rest = step.bytes;
        m_done = true;
    }
    return true;
}

StreamStage::Handshake ProxyStage::socketFailed(int code)
{
    m_failure = failureOf(code, QStringLiteral("The connection to %1 failed: %2.").arg(m_proxyText, systemMessage(code)));
    return Handshake::Failed;
}

StreamStage::Handshake ProxyStage::handshake()
{
    if (!m_started) {
        m_started = true;
        if (!take(m_exchange.start()))
            return Handshake::Failed;
    }
    // Ends: every pass sends, or reads at least a byte into an exchange that
    // is over after a bounded number of them.
    for (;;) {
        if (const int err = m_out.writeTo(*m_below))
            return socketFailed(err);
        if (!m_out.isEmpty())
            return Handshake::Pending;
        if (m_done)
            return Handshake::Done;
        char buffer[ReadChunkBytes];
        const ssize_t n = m_below->read(buffer, sizeof buffer);
        if (n < 0)
            return wouldBlock(errno) ? Handshake::Pending : socketFailed(errno);
        if (!take(n == 0 ? m_exchange.endOfStream() : m_exchange.feed(QByteArrayView(buffer, n))))
            return Handshake::Failed;
    }
}

ssize_t ProxyStage::read(char *buffer, size_t size)
{
    if (m_rest.isEmpty())
        return m_below->read(buffer, size);
    const qsizetype n = std::min(qsizetype(size), m_rest.size());
    std::memcpy(buffer, m_rest.constData(), size_t(n));
    m_rest.remove(0, n);
    if (m_rest.isEmpty())
        m_rest = QByteArray();
    return ssize_t(n);
}

unsigned ProxyStage::interest(bool wantRead, bool wantWrite) const
{
    const bool waitsToWrite = !m_out.isEmpty();
    if (!m_done || waitsToWrite)
        return m_below->interest(!waitsToWrite, waitsToWrite);
    return m_below->interest(wantRead, wantWrite);
}

bool ProxyStage::readCanGo(bool readable, bool writable) const
{
    return !m_rest.isEmpty() || m_below->readCanGo(readable, writable);
}

EndpointError ProxyStage::handshakeTimedOut(int limitMs) const
{
    return failureOf(TimedOutError,
                     QStringLiteral("No answer from %1 within %2 seconds.").arg(m_proxyText, QString::number(limitMs / 1000)));
}

EndpointError ProxyStage::unreachable(const ProxyUrl &proxy, const EndpointError &error)
{
    return failureOf(ProxyUnreachableError, QStringLiteral("Cannot reach %1. %2").arg(proxy.description(), error.detail));
}

} // namespace pelk
