#include "peer.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelktest {

namespace {

bool wouldBlock(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

socklen_t toSockaddr(const QHostAddress &address, quint16 port, sockaddr_storage &out)
{
    std::memset(&out, 0, sizeof out);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&out);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        sin->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof(sockaddr_in);
    }
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&out);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&sin6->sin6_addr, bytes.c, 16);
    return sizeof(sockaddr_in6);
}

quint16 boundPort(int fd)
{
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        return 0;
    return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
}

// Turns a notifier off and deletes it once control is back in the event
// loop: this may run inside its own activated() signal.
void retire(std::unique_ptr<QSocketNotifier> &notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier.release()->deleteLater();
}

} // namespace

std::unique_ptr<Connection> Connection::connectTo(const QHostAddress &address, quint16 port, int fd)
{
    sockaddr_storage target;
    const socklen_t length = toSockaddr(address, port, target);
    if (fd < 0)
        fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        auto failed = std::make_unique<Connection>(-1);
        failed->m_error = errno;
        return failed;
    }
    const int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&target), length);
    if (rc != 0 && errno != EINPROGRESS) {
        const int code = errno;
        ::close(fd);
        auto failed = std::make_unique<Connection>(-1);
        failed->m_error = code;
        return failed;
    }
    return std::make_unique<Connection>(fd, rc != 0);
}

Connection::Connection(int fd, bool connecting)
    : m_fd(fd)
    , m_connecting(connecting)
    , m_connected(fd >= 0 && !connecting)
{
    if (m_fd < 0)
        return;
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_localPort = boundPort(m_fd);
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    QObject::connect(m_readNotifier.get(), &QSocketNotifier::activated, m_readNotifier.get(),
                     [this] { onReadable(); });
    QObject::connect(m_writeNotifier.get(), &QSocketNotifier::activated, m_writeNotifier.get(),
                     [this] { onWritable(); });
    updateInterest();
}

Connection::~Connection()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void Connection::send(const QByteArray &data)
{
    if (data.isEmpty() || m_fd < 0 || m_finPending || m_finSent)
        return;
    m_queue.push_back(data);
    m_queuedBytes += data.size();
    if (m_connected)
        flush();
    updateInterest();
}

void Connection::shutdownSend()
{
    if (m_fd < 0 || m_finSent)
        return;
    m_finPending = true;
    if (m_connected)
        flush();
    updateInterest();
}

void Connection::reset()
{
    if (m_fd >= 0)
        release(true);
}

void Connection::setReading(bool on)
{
    m_reading = on;
    updateInterest();
}

void Connection::onWritable()
{
    if (m_connecting) {
        finishConnect();
        return;
    }
    flush();
    updateInterest();
    if (m_fd >= 0 && m_queue.empty() && onDrained)
        onDrained();
}

void Connection::finishConnect()
{
    int err = 0;
    socklen_t length = sizeof err;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    if (err != 0) {
        fail(err);
        return;
    }
    m_connecting = false;
    m_connected = true;
    m_localPort = boundPort(m_fd);
    flush();
    updateInterest();
    if (m_fd >= 0 && onConnected)
        onConnected();
}

void Connection::flush()
{
    while (m_fd >= 0 && !m_queue.empty()) {
        const QByteArray &front = m_queue.front();
        const ssize_t n = ::send(m_fd, front.constData() + m_queueHead, size_t(front.size() - m_queueHead),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (!wouldBlock(errno))
                fail(errno);
            return;
        }
        m_bytesSent += n;
        m_queuedBytes -= n;
        m_queueHead += n;
        if (m_queueHead == front.size()) {
            m_queue.pop_front();
            m_queueHead = 0;
        }
    }
    if (m_fd >= 0 && m_queue.empty() && m_finPending) {
        ::shutdown(m_fd, SHUT_WR);
        m_finPending = false;
        m_finSent = true;
        releaseIfDone();
    }
}

void Connection::onReadable()
{
    static char buffer[ReadChunkBytes];
    for (int i = 0; i < MaxReadsPerWakeup && m_fd >= 0 && m_reading && !m_peerFinished; ++i) {
        if (echo && m_queuedBytes > EchoHighWaterBytes)
            break;
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            const QByteArrayView chunk(buffer, n);
            m_bytesReceived += n;
            m_hash.addData(chunk);
            if (keepReceived)
                m_received.append(chunk);
            if (echo)
                send(chunk);
            if (onData)
                onData(chunk);
            continue;
        }
        if (n == 0) {
            m_peerFinished = true;
            if (closeOnFin)
                shutdownSend();
            releaseIfDone();
            break;
        }
        if (!wouldBlock(errno))
            fail(errno);
        break;
    }
    updateInterest();
}

void Connection::fail(int code)
{
    m_error = code;
    release(false);
    if (onEnded)
        onEnded();
}

void Connection::releaseIfDone()
{
    if (m_fd >= 0 && m_peerFinished && m_finSent) {
        release(false);
        if (onEnded)
            onEnded();
    }
}

void Connection::release(bool reset)
{
    retire(m_readNotifier);
    retire(m_writeNotifier);
    if (reset) {
        struct ::linger zeroLinger{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
    }
    ::close(m_fd);
    m_fd = -1;
    m_connecting = false;
    m_connected = false;
    m_queue.clear();
    m_queueHead = 0;
    m_queuedBytes = 0;
}

void Connection::updateInterest()
{
    if (m_fd < 0 || !m_readNotifier)
        return;
    const bool echoFull = echo && m_queuedBytes > EchoHighWaterBytes;
    m_readNotifier->setEnabled(!m_connecting && m_reading && !m_peerFinished && !echoFull);
    m_writeNotifier->setEnabled(m_connecting || !m_queue.empty() || m_finPending);
}

int listenSocket(const QHostAddress &address, int backlog, quint16 *port, int receiveBufferBytes)
{
    sockaddr_storage local;
    const socklen_t length = toSockaddr(address, 0, local);
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Set before listen(): accepted sockets inherit it, and the window they
    // offer is sized from it.
    if (receiveBufferBytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), length) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    *port = boundPort(fd);
    return fd;
}

Server::Server(const QHostAddress &address, int receiveBufferBytes)
    : m_address(address)
{
    m_fd = listenSocket(address, SOMAXCONN, &m_port, receiveBufferBytes);
    if (m_fd < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { acceptPending(); });
}

Server::~Server()
{
    connections.clear();
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void Server::acceptPending()
{
    constexpr int MaxAcceptsPerWakeup = 64;
    for (int i = 0; i < MaxAcceptsPerWakeup; ++i) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto connection = std::make_unique<Connection>(fd);
        connection->echo = echo;
        connection->closeOnFin = closeOnFin;
        connection->keepReceived = keepReceived;
        connection->setReading(reading);
        Connection &added = *connection;
        connections.push_back(std::move(connection));
        if (onAccepted)
            onAccepted(added);
    }
}

void Server::dropReleased()
{
    std::erase_if(connections, [](const std::unique_ptr<Connection> &c) { return !c->isOpen(); });
}

} // namespace pelktest
