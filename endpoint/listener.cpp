#include "listener.h"
#include "keepalive.h"
#include "socketcalls.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace pelk {

namespace {

// "127.0.0.1 and ::1 port 6667", "every address port 6667": for messages.
QString placeText(ListenScope scope, const QHostAddress &address, int port)
{
    switch (scope) {
    case ListenScope::Loopback:
        return QStringLiteral("127.0.0.1 and ::1 port %1").arg(port);
    case ListenScope::Everywhere:
        return QStringLiteral("every address, port %1").arg(port);
    case ListenScope::OneAddress:
        break;
    }
    return QStringLiteral("%1 port %2").arg(address.toString(), QString::number(port));
}

// The failures that mean "this machine has no such family or address".
bool familyMissing(int err)
{
    return err == EAFNOSUPPORT || err == EADDRNOTAVAIL;
}

} // namespace

Listener::Listener(Reactor &reactor, AlarmClock &clock, OwnListeners &own)
    : m_reactor(reactor)
    , m_clock(clock)
    , m_own(own)
    , m_retry([this] { retry(); })
{
}

Listener::~Listener()
{
    if (m_alive)
        *m_alive = false;
    m_clock.disarm(m_retry);
    m_own.remove(this);
    for (int &fd : m_fds) {
        if (fd >= 0) {
            m_reactor.forget(fd);
            ::close(std::exchange(fd, -1));
        }
    }
}

// A bound, listening, non-blocking socket on address and m_port, or -1
// with err set. dualStack lets an IPv6 socket take IPv4 clients as well; an
// IPv6 socket is IPv6-only otherwise.
int Listener::openSocket(const QHostAddress &address, bool dualStack, const KeepAlive &keepAlive, int &err)
{
    sockaddr_storage target;
    const socklen_t length = toSockaddr(address, quint16(m_port), target);
    if (length == 0) {
        err = ENODEV;
        return -1;
    }
    const int fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    int one = 1;
    int v6only = dualStack ? 0 : 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted clients inherit these from the listener: no call per client.
    setNoDelay(fd);
    applyKeepAlive(fd, keepAlive);
    if (target.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&target), length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens the listening sockets for the scope, on m_port: m_fds[0], and
// m_fds[1] beside it for loopback. 0, or the errno of the failure.
int Listener::openSockets(ListenScope scope, const QHostAddress &address, const KeepAlive &keepAlive)
{
    int (&fds)[2] = m_fds;
    int err = 0;
    switch (scope) {
    case ListenScope::Loopback:
        fds[0] = openSocket(QHostAddress::LocalHostIPv6, false, keepAlive, err);
        if (fds[0] < 0 && !familyMissing(err))
            return err;
        if (fds[0] >= 0)
            m_port = localPortOf(fds[0]); // the IPv4 side takes the same port
        fds[1] = openSocket(QHostAddress::LocalHost, false, keepAlive, err);
        if (fds[1] < 0 && fds[0] >= 0 && !familyMissing(err))
            ::close(std::exchange(fds[0], -1)); // the IPv4 side cannot be had
        if (fds[0] < 0)
            fds[0] = std::exchange(fds[1], -1);
        break;
    case ListenScope::Everywhere:
        // One dual-stack socket takes IPv6 and IPv4 clients; plain IPv4
        // where the machine has no IPv6.
        fds[0] = openSocket(QHostAddress::AnyIPv6, true, keepAlive, err);
        if (fds[0] < 0 && familyMissing(err))
            fds[0] = openSocket(QHostAddress::AnyIPv4, false, keepAlive, err);
        break;
    case ListenScope::OneAddress:
        fds[0] = openSocket(address, false, keepAlive, err);
        break;
    }
    return fds[0] >= 0 ? 0 : err;
}

bool Listener::open(ListenScope scope, const QHostAddress &address, int port, const KeepAlive &keepAlive,
                    EndpointError *error)
{
    // A port the system chose for one loopback socket may be taken on the
    // other family: then both are chosen again.
    constexpr int MaxPortChoices = 8;
    int err = 0;
    for (int choice = 0; choice < MaxPortChoices; ++choice) {
        m_port = port;
        err = openSockets(scope, address, keepAlive);
        if (err == 0 || port != 0 || err != EADDRINUSE)
            break;
    }
    if (err != 0) {
        m_port = port;
        *error = failureOf(err, QStringLiteral("Cannot listen on %1: %2.")
                                    .arg(placeText(scope, address, port), systemMessage(err)));
        return false;
    }
    m_port = localPortOf(m_fds[0]);
    for (int fd : m_fds) {
        if (fd < 0)
            continue;
        m_addresses << localAddressOf(fd);
        if (const int watchErr = m_reactor.watch(fd, this, Reactor::Read)) {
            *error = failureOf(watchErr, QStringLiteral("Cannot watch the socket listening on port %1: %2.")
                                             .arg(QString::number(m_port), systemMessage(watchErr)));
            return false; // the destructor closes what is open
        }
    }
    m_own.add(this, m_addresses, quint16(m_port), scope == ListenScope::Everywhere);
    return true;
}

// 0, or the errno of a socket that cannot be watched.
int Listener::setWatching(bool on)
{
    for (int fd : m_fds) {
        if (fd < 0)
            continue;
        if (const int err = m_reactor.setInterest(fd, on ? Reactor::Read : Reactor::None))
            return err;
    }
    return 0;
}

// A listening socket the reactor could not watch any more is as good as
// none: look again later, as when descriptors run out.
void Listener::onWatchFailed(int, int err)
{
    pause(err);
}

void Listener::onReady(int fd, bool, bool, bool)
{
    if (!paused())
        acceptPending(fd);
}

void Listener::acceptPending(int listenFd)
{
    // The handlers called from here may close the listener, which ends this.
    bool alive = true;
    m_alive = &alive;
    acceptBatch(listenFd, alive);
    if (alive)
        m_alive = nullptr;
}

// A bounded batch per wake-up, so one busy listener cannot starve the
// connections already being served.
void Listener::acceptBatch(int listenFd, const bool &alive)
{
    for (int i = 0; i < MaxAcceptsPerWakeup; ++i) {
        // A client is taken from the backlog only when the handler can open
        // one more descriptor for it (a relayed client's upstream): hold one
        // while accepting and hand it back for the handler. Otherwise the
        // client waits in the backlog, where nothing it sends is lost.
        const int spare = fcntl(listenFd, F_DUPFD_CLOEXEC, 0);
        if (spare < 0) {
            const int err = errno;
            if (clientWaiting())
                pause(err);
            return; // else the next client wakes the listener and finds out
        }
        sockaddr_storage peer;
        socklen_t peerLength = sizeof peer;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &peerLength,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        const int acceptErrno = errno;
        ::close(spare);
        if (fd < 0) {
            const int err = acceptErrno;
            if (err == EINTR || err == ECONNABORTED || err == EPROTO)
                continue;
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
                pause(err);
            return;
        }
        // A client reset while it waited in the backlog has nothing to
        // relay; opening its upstream anyway would carry a loop between two
        // relays on after the last real client has left.
        int pendingError = 0;
        socklen_t errorLength = sizeof pendingError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &errorLength) == 0 && pendingError != 0) {
            ::close(fd);
            continue;
        }
        if (!onRequest(fd, peer))
            ::close(fd);
        if (!alive)
            return; // the handler closed the listener
    }
}

// Whether a connection waits in the backlog, asked without a descriptor.
bool Listener::clientWaiting() const
{
    pollfd listeners[] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
    return ::poll(listeners, 2, 0) > 0
           && ((listeners[0].revents | listeners[1].revents) & POLLIN); // a negative fd is skipped
}

// Out of descriptors: the pending connection stays in the backlog, where it
// would wake the loop again at once. Stop watching the listener and look
// again after a growing pause.
void Listener::pause(int code)
{
    const bool first = !paused();
    m_retryMs = m_retryMs == 0 ? RetryFirstMs : std::min(m_retryMs * 2, RetryMaxMs);
    (void)setWatching(false); // failing or not, it is paused
    m_clock.arm(m_retry, m_retryMs);
    if (first && onPaused)
        onPaused(socketErrorText(code)); // last: it may close the listener
}

void Listener::retry()
{
    // Two descriptors to spare (a client and its upstream) mean accepting can
    // go on; say so even when no client is waiting, so that the status clears.
    const int probe = fcntl(m_fds[0], F_DUPFD_CLOEXEC, 0);
    const int second = probe < 0 ? -1 : fcntl(m_fds[0], F_DUPFD_CLOEXEC, 0);
    const int err = errno;
    for (int fd : {probe, second}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (second < 0) {
        pause(err);
        return;
    }
    if (const int watchErr = setWatching(true)) {
        pause(watchErr);
        return;
    }
    m_retryMs = 0;
    if (onResumed)
        onResumed(); // last: it may close the listener
}

} // namespace pelk
