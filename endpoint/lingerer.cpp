#include "lingerer.h"
#include "endpointloop.h"
#include "socketcalls.h"

#include <utility>

namespace pelk {

Lingerer::Lingerer(EndpointLoop &loop, SocketStream stream, QByteArray queued, bool peerFinished)
    : m_loop(loop)
    , m_stream(std::move(stream))
    , m_deadline([this] { finish(true); })
    , m_queue(std::move(queued))
    , m_peerFin(peerFinished)
{
}

Lingerer::~Lingerer()
{
    m_loop.disarm(m_deadline);
}

bool Lingerer::start()
{
    if (!advance() || (m_stream.finSent() && m_peerFin))
        return false;
    if (m_loop.reactor().watch(fd(), this, interest()) != 0) {
        m_loop.reactor().unwatch(fd());
        return false;
    }
    m_loop.armLingerDeadline(m_deadline);
    return true;
}

void Lingerer::onReady(int, bool readable, bool writable, bool failed)
{
    const bool canWrite = failed || m_stream.writeCanGo(readable, writable);
    const bool canRead = failed || m_stream.readCanGo(readable, writable);
    if (canWrite && m_head < m_queue.size() && !sendQueued())
        return finish(true);
    if (canRead && !m_peerFin && !discardInput())
        return finish(true);
    if (!advance())
        return finish(true);
    if (m_stream.finSent() && m_peerFin)
        return finish(false);
    if (m_loop.reactor().setInterest(fd(), interest()) != 0)
        return finish(true);
}

void Lingerer::finish(bool reset)
{
    const int socket = fd(); // the loop knows it by its descriptor, which a reset closes
    m_loop.reactor().forget(socket); // the stream closes with this
    if (reset)
        m_stream.reset();
    m_loop.finishLinger(socket); // deletes this
}

unsigned Lingerer::interest() const
{
    return m_stream.interest(!m_peerFin, m_head < m_queue.size());
}

// Sends FIN once the queue is out; false on failure.
bool Lingerer::advance()
{
    if (m_head < m_queue.size() || m_stream.finSent())
        return true;
    if (!m_stream.sendFin())
        return wouldBlock(errno); // no room for close_notify yet: sent when writable
    m_queue = QByteArray();
    return true;
}

bool Lingerer::sendQueued()
{
    while (m_head < m_queue.size()) {
        const ssize_t n = m_stream.write(m_queue.constData() + m_head, size_t(m_queue.size() - m_head));
        if (n < 0)
            return wouldBlock(errno);
        m_head += n;
    }
    return true;
}

bool Lingerer::discardInput()
{
    // Bounded per wake-up; a peer that keeps sending is cut at the deadline.
    char *buffer = m_loop.readBuffer();
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = m_stream.read(buffer, size_t(EndpointLoop::ReadBufferBytes));
        if (n == 0) {
            m_peerFin = true;
            return true;
        }
        if (n < 0)
            return wouldBlock(errno);
    }
    return true;
}

} // namespace pelk
