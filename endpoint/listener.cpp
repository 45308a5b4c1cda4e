#include "endpoint.h"
#include "porttext.h"
#include "socketcalls.h"

#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace pelk {

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

    // One dual-stack socket takes IPv6 and IPv4 clients; plain IPv4 where the
    // machine has no IPv6.
    int err = 0;
    int fd = -1;
    for (int family : {AF_INET6, AF_INET}) {
        fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int one = 1;
        int zero = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_storage address;
        const socklen_t length = toSockaddr(QHostAddress(family == AF_INET6 ? QHostAddress::AnyIPv6
                                                                            : QHostAddress::AnyIPv4),
                                            quint16(m_localPort), address);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0
            && ::listen(fd, SOMAXCONN) == 0) {
            break;
        }
        err = errno;
        ::close(fd);
        fd = -1;
        if (err != EAFNOSUPPORT && err != EADDRNOTAVAIL)
            break; // a real failure (port in use, no permission): IPv4 would fail alike
    }
    if (fd < 0) {
        m_lastError = {err, socketErrorText(err),
                       QStringLiteral("Cannot listen on port %1: %2.")
                           .arg(m_localPort)
                           .arg(systemMessage(err))};
        return false;
    }

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0)
        m_localPort = portOf(bound);
    if (const int err = m_loop.reactor().watch(fd, this, Reactor::Read)) {
        m_loop.reactor().unwatch(fd);
        ::close(fd);
        m_lastError = {err, socketErrorText(err),
                       QStringLiteral("Cannot watch the socket listening on port %1: %2.")
                           .arg(m_localPort)
                           .arg(systemMessage(err))};
        return false;
    }
    m_fd = fd;
    m_state = SocketState::Listening;
    m_lastError = {};
    return true;
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

void Endpoint::acceptPending()
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
        const int spare = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
        if (spare < 0) {
            const int err = errno;
            if (clientWaiting())
                pauseAccept(err);
            return; // else the next client wakes the listener and finds out
        }
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
    pollfd listener{m_fd, POLLIN, 0};
    return ::poll(&listener, 1, 0) > 0 && (listener.revents & POLLIN);
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
