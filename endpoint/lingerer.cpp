#include "lingerer.h"
#include "socketcalls.h"

#include <utility>

namespace pelk {

Lingerer::Lingerer(LingerSet &set, Stream stream, SendQueue queued, bool peerFinished)
    : m_set(set)
    , m_stream(std::move(stream))
    , m_deadline([this] { finish(true); })
    , m_queue(std::move(queued))
    , m_peerFin(peerFinished)
{
}

Lingerer::~Lingerer()
{
    m_set.m_clock.disarm(m_deadline);
}

bool Lingerer::start()
{
    if (!advance() || (m_stream.finSent() && m_peerFin))
        return false;
    if (m_set.m_reactor.watch(fd(), this, interest()) != 0) {
        m_set.m_reactor.unwatch(fd());
        return false;
    }
    m_set.m_clock.arm(m_deadline, m_set.m_timeoutMs, AlarmClock::LingerLimit);
    return true;
}

void Lingerer::onReady(int, bool readable, bool writable, bool failed)
{
    const bool canWrite = failed || m_stream.writeCanGo(readable, writable);
    const bool canRead = failed || m_stream.readCanGo(readable, writable);
    if (canWrite && !m_queue.isEmpty() && m_queue.writeTo(m_stream) != 0)
        return finish(true);
    if (canRead && !m_peerFin && !discardInput())
        return finish(true);
    if (!advance())
        return finish(true);
    if (m_stream.finSent() && m_peerFin)
        return finish(false);
    if (m_set.m_reactor.setInterest(fd(), interest()) != 0)
        return finish(true);
}

void Lingerer::finish(bool reset)
{
    const int socket = fd(); // the set knows it by its descriptor, which a reset closes
    m_set.m_reactor.forget(socket); // the stream closes with this
    if (reset)
        m_stream.reset();
    m_set.finish(socket); // deletes this
}

unsigned Lingerer::interest() const
{
    return m_stream.interest(!m_peerFin, !m_queue.isEmpty());
}

// Sends FIN once the queue is out; false on failure.
bool Lingerer::advance()
{
    if (!m_queue.isEmpty() || m_stream.finSent())
        return true;
    if (!m_stream.sendFin())
        return wouldBlock(errno); // no room for close_notify yet: sent when writable
    return true;
}

bool Lingerer::discardInput()
{
    // Bounded per wake-up; a peer that keeps sending is cut at the deadline.
    char *buffer = m_set.m_discard.data();
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = m_stream.read(buffer, size_t(ReadBuffer::size()));
        if (n == 0) {
            m_peerFin = true;
            return true;
        }
        if (n < 0)
            return wouldBlock(errno);
    }
    return true;
}

LingerSet::LingerSet(Reactor &reactor, AlarmClock &clock, ReadBuffer &discard)
    : m_reactor(reactor)
    , m_clock(clock)
    , m_discard(discard)
    , m_timeoutMs(TimeoutMs)
{
}

LingerSet::~LingerSet()
{
    for (auto &[fd, lingerer] : m_lingering)
        m_reactor.unwatch(fd);
    m_lingering.clear(); // their streams close the sockets
}

void LingerSet::linger(Stream stream, SendQueue queued, bool peerFinished)
{
    auto lingerer = std::make_unique<Lingerer>(*this, std::move(stream), std::move(queued), peerFinished);
    if (!lingerer->start())
        return; // its stream closes the socket
    const int fd = lingerer->fd();
    m_lingering[fd] = std::move(lingerer);
}

void LingerSet::reset(int fd)
{
    if (const auto found = m_lingering.find(fd); found != m_lingering.end())
        found->second->finish(true);
}

void LingerSet::finish(int fd)
{
    m_lingering.erase(fd);
}

} // namespace pelk
