#include "endpoint.h"
#include "porttext.h"
#include "socketcalls.h"
#include "tls.h"

#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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

void Endpoint::setListenAddress(ListenScope scope, const QHostAddress &address)
{
    m_listenScope = scope;
    m_listenAddress = address;
}

// A bound, listening, non-blocking socket on address and m_localPort, or -1
// with err set. dualStack lets an IPv6 socket take IPv4 clients as well; an
// IPv6 socket is IPv6-only otherwise.
int Endpoint::openListener(const QHostAddress &address, bool dualStack, int &err)
{
    sockaddr_storage target;
    const socklen_t length = toSockaddr(address, quint16(m_localPort), target);
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
    applyKeepAlive(fd, m_loop.keepAlive());
    if (target.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&target), length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens the listening sockets for the scope set, on m_localPort: fds[0],
// and fds[1] beside it for loopback. 0, or the errno of the failure.
int Endpoint::openListeners(int (&fds)[2])
{
    int err = 0;
    switch (m_listenScope) {
    case ListenScope::Loopback:
        fds[0] = openListener(QHostAddress::LocalHostIPv6, false, err);
        if (fds[0] < 0 && !familyMissing(err))
            return err;
        if (fds[0] >= 0)
            m_localPort = localPortOf(fds[0]); // the IPv4 side takes the same port
        fds[1] = openListener(QHostAddress::LocalHost, false, err);
        if (fds[1] < 0 && fds[0] >= 0 && !familyMissing(err))
            ::close(std::exchange(fds[0], -1)); // the IPv4 side cannot be had
        if (fds[0] < 0)
            fds[0] = std::exchange(fds[1], -1);
        break;
    case ListenScope::Everywhere:
        // One dual-stack socket takes IPv6 and IPv4 clients; plain IPv4
        // where the machine has no IPv6.
        fds[0] = openListener(QHostAddress::AnyIPv6, true, err);
        if (fds[0] < 0 && familyMissing(err))
            fds[0] = openListener(QHostAddress::AnyIPv4, false, err);
        break;
    case ListenScope::OneAddress:
        fds[0] = openListener(m_listenAddress, false, err);
        break;
    }
    return fds[0] >= 0 ? 0 : err;
}

bool Endpoint::Listen()
{
    if (refuseUnlessFree())
        return false;
    if (m_localPort < 0 || m_localPort > 65535) {
        m_lastError = {BadPortError, portProblemText(PortText::OutOfRange),
                       QStringLiteral("Port %1 is outside 0-65535.").arg(m_localPort)};
        return false;
    }
    if (QString why; m_listenTls
                     && !m_loop.tls().prepareServer(
                             m_listenScope == ListenScope::OneAddress ? m_listenAddress : QHostAddress(), &why)) {
        m_lastError = {TlsError, socketErrorText(TlsError), why};
        return false;
    }

    // A port the system chose for one loopback socket may be taken on the
    // other family: then both are chosen again.
    constexpr int MaxPortChoices = 8;
    const int askedPort = m_localPort;
    int fds[2] = {-1, -1};
    int err = 0;
    for (int choice = 0; choice < MaxPortChoices; ++choice) {
        m_localPort = askedPort;
        err = openListeners(fds);
        if (err == 0 || askedPort != 0 || err != EADDRINUSE)
            break;
    }
    if (err != 0) {
        m_localPort = askedPort;
        m_lastError = {err, socketErrorText(err),
                       QStringLiteral("Cannot listen on %1: %2.")
                           .arg(placeText(m_listenScope, m_listenAddress, m_localPort), systemMessage(err))};
        return false;
    }

    m_localPort = localPortOf(fds[0]);
    m_c.state = SocketState::Listening;
    for (int i : {0, 1}) {
        m_c.listenFds[i] = fds[i];
        if (fds[i] >= 0)
            m_c.listenAddresses << localAddressOf(fds[i]);
    }
    for (int fd : m_c.listenFds) {
        if (fd < 0)
            continue;
        if (const int watchErr = m_loop.reactor().watch(fd, this, Reactor::Read)) {
            stopListening();
            resetConnection();
            m_lastError = {watchErr, socketErrorText(watchErr),
                           QStringLiteral("Cannot watch the socket listening on port %1: %2.")
                               .arg(m_localPort)
                               .arg(systemMessage(watchErr))};
            return false;
        }
    }
    m_lastError = {};
    m_loop.addListener(*this, m_listenScope == ListenScope::Everywhere);
    return true;
}

void Endpoint::stopListening()
{
    m_loop.removeListener(*this);
    for (int &fd : m_c.listenFds) {
        if (fd >= 0) {
            m_loop.reactor().unwatch(fd);
            ::close(std::exchange(fd, -1));
        }
    }
}

bool Endpoint::Accept(qintptr requestID)
{
    if (refuseUnlessFree())
        return false;
    bool tls = false;
    const sockaddr_storage *peer = nullptr;
    if (!m_loop.takeOffered(requestID, &tls, &peer)) {
        m_lastError = {BadRequestError, socketErrorText(BadRequestError),
                       QStringLiteral("No connection request %1 is being offered.").arg(requestID)};
        return false;
    }
    resetConnection();
    const int fd = int(requestID);
    socklen_t length = sizeof m_c.peer;
    if (peer)
        m_c.peer = *peer;
    else if (getpeername(fd, reinterpret_cast<sockaddr *>(&m_c.peer), &length) != 0)
        m_c.peer = {};
    std::unique_ptr<TlsSession> session;
    if (tls) {
        session = std::make_unique<TlsSession>(m_loop.tls(), addressText(m_c.peer), 0, TlsSession::Role::Server);
        m_c.handshaking = true;
        m_loop.armDeadline(m_deadline);
    }
    m_c.stream = SocketStream(fd, std::move(session));
    m_c.state = SocketState::Connected;
    m_lastError = {};
    if (const int err = m_loop.reactor().watch(fd, this, Reactor::Read))
        watchFailed(err);
    return true;
}

void Endpoint::acceptPending(int listenFd)
{
    // A bounded batch per wake-up, so one busy listener cannot starve the
    // connections already being served.
    constexpr int MaxAcceptsPerWakeup = 64;
    const quint32 generation = m_generation;
    for (int i = 0; i < MaxAcceptsPerWakeup; ++i) {
        // A client is taken from the backlog only when the handler can open
        // one more descriptor for it (a relayed client's upstream): hold one
        // while accepting and hand it back for the handler. Otherwise the
        // client waits in the backlog, where nothing it sends is lost.
        const int spare = fcntl(listenFd, F_DUPFD_CLOEXEC, 0);
        if (spare < 0) {
            const int err = errno;
            if (clientWaiting())
                pauseAccept(err);
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
                pauseAccept(err);
            return;
        }
        m_c.acceptRetryMs = 0;
        // A client reset while it waited in the backlog has nothing to
        // relay; opening its upstream anyway would carry a loop between two
        // relays on after the last real client has left.
        int pendingError = 0;
        socklen_t errorLength = sizeof pendingError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &errorLength) == 0 && pendingError != 0) {
            ::close(fd);
            continue;
        }
        const bool taken = m_loop.offerConnection(
                fd, [&] { emit m_array.ConnectionRequest(m_index, qintptr(fd)); }, m_listenTls, &peer);
        if (!taken)
            ::close(fd);
        if (generation != m_generation)
            return; // the listener was closed by the handler
    }
}

// Whether a connection waits in the backlog, asked without a descriptor.
bool Endpoint::clientWaiting() const
{
    pollfd listeners[] = {{m_c.listenFds[0], POLLIN, 0}, {m_c.listenFds[1], POLLIN, 0}};
    return ::poll(listeners, 2, 0) > 0
           && ((listeners[0].revents | listeners[1].revents) & POLLIN); // a negative fd is skipped
}

// Out of descriptors: the pending connection stays in the backlog, where it
// would wake the loop again at once. Stop watching the listener and look
// again after a growing pause.
void Endpoint::pauseAccept(int code)
{
    const bool first = !m_c.acceptPaused && m_c.acceptRetryMs == 0;
    m_c.acceptPaused = true;
    m_c.acceptRetryMs = m_c.acceptRetryMs == 0
                          ? EndpointLoop::AcceptRetryFirstMs
                          : std::min(m_c.acceptRetryMs * 2, EndpointLoop::AcceptRetryMaxMs);
    updateInterest();
    const quint32 generation = m_generation;
    QTimer::singleShot(m_c.acceptRetryMs, &m_array, [this, generation] { retryAccept(generation); });
    if (first) {
        emit m_array.AcceptPaused(m_index, socketErrorText(code));
    }
}

void Endpoint::retryAccept(quint32 generation)
{
    if (generation != m_generation || m_c.state != SocketState::Listening)
        return;
    // Two descriptors to spare (a client and its upstream) mean accepting can
    // go on; say so even when no client is waiting, so that the status clears.
    const int probe = fcntl(m_c.listenFds[0], F_DUPFD_CLOEXEC, 0);
    const int second = probe < 0 ? -1 : fcntl(m_c.listenFds[0], F_DUPFD_CLOEXEC, 0);
    const int err = errno;
    for (int fd : {probe, second}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (second < 0) {
        pauseAccept(err);
        return;
    }
    m_c.acceptPaused = false;
    m_c.acceptRetryMs = 0;
    updateInterest();
    emit m_array.AcceptResumed(m_index);
}

} // namespace pelk
