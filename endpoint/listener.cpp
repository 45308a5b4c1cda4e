#include "endpoint.h"
#include "porttext.h"
#include "socketcalls.h"

#include <QNetworkInterface>
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
    return QStringLiteral("%1 port %2").arg(address.toString()).arg(port);
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
    if (target.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&target), length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Endpoint::Listen()
{
    if (!isFree()) {
        m_lastError = {NotClosedError, socketErrorText(NotClosedError),
                       QStringLiteral("The listening socket is already open.")};
        return false;
    }
    if (m_localPort < 0 || m_localPort > 65535) {
        m_lastError = {BadPortError, portProblemText(PortText::OutOfRange),
                       QStringLiteral("Port %1 is outside 0-65535.").arg(m_localPort)};
        return false;
    }

    // Loopback takes two sockets on one port: a port the system chose for
    // the first may be taken on the other family, then both are chosen again.
    const int askedPort = m_localPort;
    constexpr int MaxPortChoices = 8;
    int err = 0;
    int first = -1;
    int second = -1;
    for (int choice = 0; choice < MaxPortChoices && first < 0; ++choice) {
        m_localPort = askedPort;
        switch (m_listenScope) {
        case ListenScope::Loopback: {
            first = openListener(QHostAddress::LocalHostIPv6, false, err);
            if (first < 0 && !familyMissing(err))
                break;
            if (first >= 0)
                m_localPort = localPortOf(first);
            second = openListener(QHostAddress::LocalHost, false, err);
            if (second < 0 && first >= 0 && !familyMissing(err))
                ::close(std::exchange(first, -1)); // the IPv4 side cannot be had
            if (first < 0)
                first = std::exchange(second, -1);
            break;
        }
        case ListenScope::Everywhere:
            // One dual-stack socket takes IPv6 and IPv4 clients; plain IPv4
            // where the machine has no IPv6.
            first = openListener(QHostAddress::AnyIPv6, true, err);
            if (first < 0 && familyMissing(err))
                first = openListener(QHostAddress::AnyIPv4, false, err);
            break;
        case ListenScope::OneAddress:
            first = openListener(m_listenAddress, false, err);
            break;
        }
        if (first >= 0 || askedPort != 0 || err != EADDRINUSE)
            break;
    }
    if (first < 0) {
        m_localPort = askedPort;
        m_lastError = {err, socketErrorText(err),
                       QStringLiteral("Cannot listen on %1: %2.")
                           .arg(placeText(m_listenScope, m_listenAddress, m_localPort), systemMessage(err))};
        return false;
    }

    m_localPort = localPortOf(first);
    for (int fd : {first, second}) {
        if (fd < 0)
            continue;
        if (const int err = m_loop.reactor().watch(fd, this, Reactor::Read)) {
            for (int opened : {first, second}) {
                if (opened >= 0) {
                    m_loop.reactor().unwatch(opened);
                    ::close(opened);
                }
            }
            m_lastError = {err, socketErrorText(err),
                           QStringLiteral("Cannot watch the socket listening on port %1: %2.")
                               .arg(m_localPort)
                               .arg(systemMessage(err))};
            return false;
        }
    }
    m_fd = first;
    m_secondListenFd = second;
    m_listenAddresses = {localAddressOf(first)};
    if (second >= 0)
        m_listenAddresses << localAddressOf(second);
    m_state = SocketState::Listening;
    m_lastError = {};
    m_loop.addListener(this);
    return true;
}

void Endpoint::stopListening()
{
    m_loop.removeListener(this);
    m_listenAddresses.clear();
    for (int *fd : {&m_fd, &m_secondListenFd}) {
        if (*fd >= 0) {
            m_loop.reactor().unwatch(*fd);
            ::close(std::exchange(*fd, -1));
        }
    }
}

void EndpointLoop::addListener(const Endpoint *listener)
{
    for (const QHostAddress &address : listener->listeningAddresses()) {
        m_listening.push_back({listener, address, quint16(listener->LocalPort()),
                               listener->m_listenScope == ListenScope::Everywhere});
        if (address == QHostAddress::AnyIPv6 || address == QHostAddress::AnyIPv4) {
            m_ownAddresses.clear();
            for (QHostAddress own : QNetworkInterface::allAddresses()) {
                own.setScopeId(QString());
                m_ownAddresses << own;
            }
        }
    }
}

void EndpointLoop::removeListener(const Endpoint *listener)
{
    std::erase_if(m_listening, [listener](const Listening &l) { return l.owner == listener; });
}

bool EndpointLoop::leadsToListener(const QHostAddress &target, quint16 port) const
{
    if (m_listening.empty())
        return false;
    QHostAddress address = target;
    address.setScopeId(QString());
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4); // "::ffff:127.0.0.1" reaches the IPv4 side
    // A connect to the unspecified address reaches this machine's loopback.
    if (address == QHostAddress::AnyIPv4)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (address == QHostAddress::AnyIPv6)
        address = QHostAddress(QHostAddress::LocalHostIPv6);
    const bool own = address.isLoopback() || m_ownAddresses.contains(address);
    for (const Listening &listening : m_listening) {
        if (listening.port != port)
            continue;
        if (listening.address == QHostAddress::AnyIPv6) {
            if (own && (listening.dualStack || !isIPv4))
                return true;
        } else if (listening.address == QHostAddress::AnyIPv4) {
            if (own && isIPv4)
                return true;
        } else if (listening.address == address) {
            return true;
        }
    }
    return false;
}

bool Endpoint::Accept(qintptr requestID)
{
    if (!isFree()) {
        m_lastError = {NotClosedError, socketErrorText(NotClosedError),
                       QStringLiteral("Endpoint %1 is not closed.").arg(m_index)};
        return false;
    }
    if (requestID < 0 || requestID != m_loop.offeredRequest || m_loop.offeredTaken) {
        m_lastError = {BadRequestError, socketErrorText(BadRequestError),
                       QStringLiteral("No connection request %1 is being offered.").arg(requestID)};
        return false;
    }
    m_loop.offeredTaken = true;
    resetForClose();
    m_fd = int(requestID);
    socklen_t length = sizeof m_peer;
    if (getpeername(m_fd, reinterpret_cast<sockaddr *>(&m_peer), &length) != 0)
        m_peer = {};
    setNoDelay(m_fd);
    m_state = SocketState::Connected;
    m_lastError = {};
    if (const int err = m_loop.reactor().watch(m_fd, this, Reactor::Read))
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
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
        m_acceptRetryMs = 0;
        m_loop.offeredRequest = fd;
        m_loop.offeredTaken = false;
        emit m_array.ConnectionRequest(m_index, qintptr(fd));
        const bool taken = m_loop.offeredTaken;
        m_loop.offeredRequest = -1;
        m_loop.offeredTaken = false;
        if (!taken)
            ::close(fd);
        if (generation != m_generation)
            return; // the listener was closed by the handler
    }
}

// Whether a connection waits in the backlog, asked without a descriptor.
bool Endpoint::clientWaiting() const
{
    pollfd listeners[] = {{m_fd, POLLIN, 0}, {m_secondListenFd, POLLIN, 0}};
    return ::poll(listeners, 2, 0) > 0
           && ((listeners[0].revents | listeners[1].revents) & POLLIN); // a negative fd is skipped
}

// Out of descriptors: the pending connection stays in the backlog, where it
// would wake the loop again at once. Stop watching the listener and look
// again after a growing pause.
void Endpoint::pauseAccept(int code)
{
    const bool first = !m_acceptPaused && m_acceptRetryMs == 0;
    m_acceptPaused = true;
    m_acceptRetryMs = m_acceptRetryMs == 0
                          ? EndpointLoop::AcceptRetryFirstMs
                          : std::min(m_acceptRetryMs * 2, EndpointLoop::AcceptRetryMaxMs);
    updateInterest();
    const quint32 generation = m_generation;
    QTimer::singleShot(m_acceptRetryMs, &m_array, [this, generation] { retryAccept(generation); });
    if (first) {
        emit m_array.AcceptPaused(m_index, socketErrorText(code));
    }
}

void Endpoint::retryAccept(quint32 generation)
{
    if (generation != m_generation || m_state != SocketState::Listening)
        return;
    // Two descriptors to spare (a client and its upstream) mean accepting can
    // go on; say so even when no client is waiting, so that the status clears.
    const int probe = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    const int second = probe < 0 ? -1 : fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    const int err = errno;
    for (int fd : {probe, second}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (second < 0) {
        pauseAccept(err);
        return;
    }
    m_acceptPaused = false;
    m_acceptRetryMs = 0;
    updateInterest();
    emit m_array.AcceptResumed(m_index);
}

} // namespace pelk
