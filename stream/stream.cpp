#include "stream.h"
#include "tlsstage.h"

#include <unistd.h>
#include <utility>

namespace pelk {

Stream &Stream::operator=(Stream &&other) noexcept
{
    if (this != &other) {
        close();
        m_socket.take(other.m_socket.release());
        for (int i = 0; i < MaxStages - 1; ++i)
            m_upper[i] = std::move(other.m_upper[i]);
        m_count = std::exchange(other.m_count, 1);
        m_handshaken = std::exchange(other.m_handshaken, 1);
        m_finSent = std::exchange(other.m_finSent, false);
        link();
    }
    return *this;
}

Stream::~Stream()
{
    close();
}

// Each stage above the socket reads and writes through the one below it,
// which for the first is the socket, held by value: set again after a move.
void Stream::link()
{
    for (int i = 1; i < m_count; ++i)
        stage(i).m_below = &stage(i - 1);
}

bool Stream::push(std::unique_ptr<StreamStage> stage)
{
    if (m_count >= MaxStages)
        return false;
    m_upper[m_count - 1] = std::move(stage);
    ++m_count;
    link();
    return true;
}

StreamStage::Handshake Stream::handshake()
{
    while (m_handshaken < m_count) {
        const StreamStage::Handshake step = stage(m_handshaken).handshake();
        if (step != StreamStage::Handshake::Done)
            return step;
        ++m_handshaken;
    }
    return StreamStage::Handshake::Done;
}

unsigned Stream::interest(bool wantRead, bool wantWrite) const
{
    if (m_handshaken < m_count)
        return stage(m_handshaken).interest(false, false);
    return top().interest(wantRead, wantWrite);
}

bool Stream::sendFin()
{
    if (m_finSent)
        return true;
    if (!top().sendFin())
        return false;
    m_finSent = true;
    return true;
}

// The stage whose handshake is under way, or the top one, says why.
EndpointError Stream::failure() const
{
    return current().failure();
}

EndpointError Stream::handshakeTimedOut(int limitMs) const
{
    return current().handshakeTimedOut(limitMs);
}

// TLS, when used, is the top stage: every other stage runs below it.
QString Stream::tlsVersion() const
{
    const auto *tls = dynamic_cast<const TlsStage *>(&top());
    return tls ? tls->version() : QString();
}

bool Stream::handshakingTls() const
{
    return m_handshaken < m_count && dynamic_cast<const TlsStage *>(&stage(m_handshaken));
}

// The stages go before the socket they write through.
void Stream::dropStages()
{
    for (int i = MaxStages - 2; i >= 0; --i)
        m_upper[i].reset();
    m_count = 1;
    m_handshaken = 1;
    m_finSent = false;
}

void Stream::close()
{
    dropStages();
    if (m_socket.fd() >= 0)
        ::close(m_socket.release());
}

void Stream::reset()
{
    dropStages();
    if (m_socket.fd() >= 0)
        resetAndClose(m_socket.release());
}

void Stream::closeAfterPeerFin()
{
    if (m_count > 1 && !m_finSent)
        (void)top().sendFin(); // no room for close_notify: the FIN goes all the same
    close();
}

} // namespace pelk
