#include "endpoint.h"
#include "tls.h" // EndpointLoop owns the TLS context

#include <QTimer>

#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

namespace pelk {

// A socket after Close(): delivers what was still queued, sends FIN, then
// reads and discards until the peer's FIN before closing. Closing while the
// peer's data sits unread would make the kernel answer with a reset, and a
// reset can destroy data the peer has received but not yet read.
class EndpointLoop::Lingerer final : public LingeringSocket
{
public:
    Lingerer(EndpointLoop &loop, int fd, QByteArray queued, bool peerFinished, bool finSent)
        : LingeringSocket(loop, fd)
        , m_queue(std::move(queued))
        , m_peerFin(peerFinished)
        , m_finSent(finSent)
    {
    }

    bool start() override
    {
        return !advance() && watch(interest());
    }

    void onReady(int, bool readable, bool writable, bool failed) override
    {
        if ((writable || failed) && m_head < m_queue.size()) {
            if (!sendQueued())
                return finish(true);
        }
        if ((readable || failed) && !m_peerFin) {
            if (!discardInput())
                return finish(true);
        }
        if (advance())
            return finish(false);
        if (m_loop.reactor().setInterest(m_fd, interest()) != 0)
            return finish(true);
    }

private:
    unsigned interest() const
    {
        return (m_head < m_queue.size() ? Reactor::Write : 0u) | (m_peerFin ? 0u : Reactor::Read);
    }

    // Sends FIN once the queue is out; true when nothing is left to wait for.
    bool advance()
    {
        if (m_head < m_queue.size())
            return false;
        if (!m_finSent) {
            ::shutdown(m_fd, SHUT_WR);
            m_finSent = true;
            m_queue = QByteArray();
        }
        return m_peerFin;
    }

    bool sendQueued()
    {
        while (m_head < m_queue.size()) {
            const ssize_t n = ::send(m_fd, m_queue.constData() + m_head,
                                     size_t(m_queue.size() - m_head), MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            m_head += n;
        }
        return true;
    }

    bool discardInput()
    {
        // Bounded per wake-up; a peer that keeps sending is cut at the deadline.
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = ::recv(m_fd, m_loop.readBuffer(), size_t(ReadBufferBytes), 0);
            if (n == 0) {
                m_peerFin = true;
                return true;
            }
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        return true;
    }

    QByteArray m_queue;
    qsizetype m_head = 0;
    bool m_peerFin;
    bool m_finSent;
};

LingeringSocket::LingeringSocket(EndpointLoop &loop, int fd)
    : m_loop(loop)
    , m_fd(fd)
    , m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(EndpointLoop::LingerTimeoutMs))
{
}

bool LingeringSocket::watch(unsigned interest)
{
    if (m_loop.reactor().watch(m_fd, this, interest) == 0)
        return true;
    m_loop.reactor().unwatch(m_fd);
    return false;
}

void LingeringSocket::finish(bool reset)
{
    m_loop.finishLinger(m_fd, reset); // deletes this
}

EndpointLoop::EndpointLoop(ReactorKind kind, QObject *parent)
    : QObject(parent)
    , m_reactor(kind == ReactorKind::Portable ? Reactor::createNotifierReactor() : Reactor::create())
    , m_sweepTimer(std::make_unique<QTimer>())
    , m_readBuffer(std::make_unique<char[]>(size_t(ReadBufferBytes)))
{
    // Runs only while sockets linger: an idle relay has no timer running.
    m_sweepTimer->setInterval(1000);
    connect(m_sweepTimer.get(), &QTimer::timeout, this, &EndpointLoop::sweep);
}

EndpointLoop::~EndpointLoop()
{
    for (auto &[fd, lingerer] : m_lingering) {
        m_reactor->unwatch(fd);
        ::close(fd);
    }
    m_lingering.clear();
}

void EndpointLoop::linger(int fd, QByteArray queued, bool peerFinished, bool finSent)
{
    adopt(std::make_unique<Lingerer>(*this, fd, std::move(queued), peerFinished, finSent));
}

void EndpointLoop::adopt(std::unique_ptr<LingeringSocket> socket)
{
    const int fd = socket->fd();
    if (!socket->start()) {
        ::close(fd);
        return;
    }
    m_lingering[fd] = std::move(socket);
    if (!m_sweepTimer->isActive())
        m_sweepTimer->start();
}

void EndpointLoop::finishLinger(int fd, bool reset)
{
    m_reactor->unwatch(fd);
    if (reset) {
        struct ::linger zeroLinger{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
    }
    ::close(fd);
    m_lingering.erase(fd);
    if (m_lingering.empty())
        m_sweepTimer->stop();
}

void EndpointLoop::sweep()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> expired;
    for (const auto &[fd, lingerer] : m_lingering) {
        if (lingerer->deadline() <= now)
            expired.push_back(fd);
    }
    for (int fd : expired)
        finishLinger(fd, true);
}

} // namespace pelk
