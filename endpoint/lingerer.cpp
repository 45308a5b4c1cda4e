#include "endpoint.h"
#include "socketcalls.h"
#include "tls.h"

#include <QTimer>

#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

namespace pelk {

// A socket after Close(): delivers what was still queued, sends FIN (after
// close_notify on a TLS connection, whose bytes all go through its session),
// then reads and discards until the peer's FIN before closing. Closing while
// the peer's data sits unread would make the kernel answer with a reset, and a
// reset can destroy data the peer has received but not yet read. Owned by the
// loop; finish() closes the socket (with a reset if asked) and deletes this.
// The loop resets it at its deadline.
class EndpointLoop::Lingerer final : public ReadyHandler
{
public:
    Lingerer(EndpointLoop &loop, int fd, std::unique_ptr<TlsSession> tls, QByteArray queued,
             bool peerFinished, bool finSent)
        : m_loop(loop)
        , m_fd(fd)
        , m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(LingerTimeoutMs))
        , m_tls(std::move(tls))
        , m_queue(std::move(queued))
        , m_peerFin(peerFinished)
        , m_finSent(finSent)
    {
    }

    std::chrono::steady_clock::time_point deadline() const { return m_deadline; }

    // Starts watching; false when the socket is already done with, or cannot
    // be watched (then it is closed without waiting).
    bool start()
    {
        if (!advance() || (m_finSent && m_peerFin))
            return false;
        if (m_loop.reactor().watch(m_fd, this, interest()) != 0) {
            m_loop.reactor().unwatch(m_fd);
            return false;
        }
        return true;
    }

    void onReady(int, bool readable, bool writable, bool failed) override
    {
        // Through TLS a write may wait for readable and a read for writable,
        // and decrypted bytes may wait in OpenSSL with the socket quiet.
        const bool canWrite = failed || (m_tls ? m_tls->writeCanGo(readable, writable) : writable);
        const bool canRead = failed || (m_tls ? m_tls->readCanGo(readable, writable) || m_tls->hasPending()
                                              : readable);
        if (canWrite && m_head < m_queue.size() && !sendQueued())
            return finish(true);
        if (canRead && !m_peerFin && !discardInput())
            return finish(true);
        if (!advance())
            return finish(true);
        if (m_finSent && m_peerFin)
            return finish(false);
        if (m_loop.reactor().setInterest(m_fd, interest()) != 0)
            return finish(true);
    }

private:
    unsigned interest() const
    {
        return (m_head < m_queue.size() ? unsigned(Reactor::Write) : 0u)
               | (m_peerFin ? 0u : unsigned(Reactor::Read)) | (m_tls ? m_tls->extraInterest() : 0u);
    }

    // Sends FIN once the queue is out; false on failure.
    bool advance()
    {
        if (m_head < m_queue.size() || m_finSent)
            return true;
        if (m_tls && !m_tls->closeNotify())
            return wouldBlock(errno); // no room for it yet: sent when writable
        ::shutdown(m_fd, SHUT_WR);
        m_finSent = true;
        m_queue = QByteArray();
        return true;
    }

    bool sendQueued()
    {
        while (m_head < m_queue.size()) {
            const char *data = m_queue.constData() + m_head;
            const size_t size = size_t(m_queue.size() - m_head);
            const ssize_t n = m_tls ? m_tls->write(data, size) : ::send(m_fd, data, size, MSG_NOSIGNAL);
            if (n < 0)
                return wouldBlock(errno);
            m_head += n;
        }
        return true;
    }

    bool discardInput()
    {
        // Bounded per wake-up; a peer that keeps sending is cut at the deadline.
        char *buffer = m_loop.readBuffer();
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = m_tls ? m_tls->read(buffer, size_t(ReadBufferBytes))
                                    : ::recv(m_fd, buffer, size_t(ReadBufferBytes), 0);
            if (n == 0) {
                m_peerFin = true;
                return true;
            }
            if (n < 0)
                return wouldBlock(errno);
        }
        return true;
    }

    void finish(bool reset)
    {
        m_loop.finishLinger(m_fd, reset); // deletes this
    }

    EndpointLoop &m_loop;
    const int m_fd;
    const std::chrono::steady_clock::time_point m_deadline;
    std::unique_ptr<TlsSession> m_tls; // never closes the socket
    QByteArray m_queue;
    qsizetype m_head = 0;
    bool m_peerFin;
    bool m_finSent;
};

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

void EndpointLoop::linger(int fd, std::unique_ptr<TlsSession> tls, QByteArray queued, bool peerFinished,
                          bool finSent)
{
    auto lingerer = std::make_unique<Lingerer>(*this, fd, std::move(tls), std::move(queued), peerFinished,
                                               finSent);
    if (!lingerer->start()) {
        ::close(fd);
        return;
    }
    m_lingering[fd] = std::move(lingerer);
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
