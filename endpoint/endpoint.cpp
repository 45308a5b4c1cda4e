#include "endpoint.h"
#include "porttext.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace pelk {

namespace {

bool wouldBlock(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

void setNoDelay(int fd)
{
    // The relay passes on what it gets at once; batching is the peers' call.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

QString systemMessage(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Turns a QHostAddress into a sockaddr for connect().
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
    sin6->sin6_scope_id = address.scopeId().toUInt();
    return sizeof(sockaddr_in6);
}

} // namespace

QString stateText(SocketState state)
{
    switch (state) {
    case SocketState::Closed: return QStringLiteral("closed");
    case SocketState::Open: return QStringLiteral("open");
    case SocketState::Listening: return QStringLiteral("listening");
    case SocketState::ConnectionPending: return QStringLiteral("connection pending");
    case SocketState::ResolvingHost: return QStringLiteral("resolving host");
    case SocketState::HostResolved: return QStringLiteral("host resolved");
    case SocketState::Connecting: return QStringLiteral("connecting");
    case SocketState::Connected: return QStringLiteral("connected");
    case SocketState::Closing: return QStringLiteral("peer closed");
    case SocketState::Error: return QStringLiteral("error");
    }
    return QStringLiteral("unknown");
}

QString socketErrorText(int code)
{
    switch (code) {
    case Endpoint::BadPortError: return QStringLiteral("Bad port");
    case Endpoint::BadHostError: return QStringLiteral("Host is empty");
    case Endpoint::HostNotFoundError: return QStringLiteral("Host not found");
    case Endpoint::TimedOutError: return QStringLiteral("Connect timed out");
    case Endpoint::NotClosedError: return QStringLiteral("Socket in use");
    case Endpoint::BadRequestError: return QStringLiteral("No such request");
    case EADDRINUSE: return QStringLiteral("Port in use");
    case EACCES:
    case EPERM: return QStringLiteral("Permission denied");
    case ECONNREFUSED: return QStringLiteral("Connection refused");
    case ECONNRESET: return QStringLiteral("Connection reset");
    case ECONNABORTED: return QStringLiteral("Connection aborted");
    case EPIPE: return QStringLiteral("Connection closed");
    case ETIMEDOUT: return QStringLiteral("Connect timed out");
    case ENETUNREACH:
    case ENETDOWN: return QStringLiteral("Network unreachable");
    case EHOSTUNREACH:
    case EHOSTDOWN: return QStringLiteral("Host unreachable");
    case EADDRNOTAVAIL: return QStringLiteral("Address not available");
    case EAFNOSUPPORT: return QStringLiteral("Address not supported");
    case EMFILE:
    case ENFILE: return QStringLiteral("Out of descriptors");
    case ENOBUFS:
    case ENOMEM: return QStringLiteral("Out of memory");
    default: return QStringLiteral("Socket error %1").arg(code);
    }
}

QStringList socketErrorPhrases()
{
    QStringList phrases;
    for (int code : {int(Endpoint::BadPortError), int(Endpoint::BadHostError),
                     int(Endpoint::HostNotFoundError), int(Endpoint::TimedOutError),
                     int(Endpoint::NotClosedError), int(Endpoint::BadRequestError), EADDRINUSE,
                     EACCES, ECONNREFUSED, ECONNRESET, ECONNABORTED, EPIPE, ENETUNREACH,
                     EHOSTUNREACH, EADDRNOTAVAIL, EAFNOSUPPORT, EMFILE, ENOBUFS, 99999}) {
        phrases << socketErrorText(code);
    }
    return phrases;
}

void useLeanEventDispatcher()
{
    qputenv("QT_NO_GLIB", "1");
}

long raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return long(limit.rlim_cur);
}

// Name lookup, address list and time limit of one Connect(). Deleted with
// deleteLater(), since it may be dropped from inside one of its own callbacks.
class Endpoint::ConnectAttempt : public QObject
{
public:
    QString host;
    quint16 port = 0;
    QList<QHostAddress> addresses;
    qsizetype next = 0;
    int lastErrno = 0;
    int lookupId = -1;
    bool cancelled = false;
    QTimer deadline;

    void cancel()
    {
        cancelled = true;
        deadline.stop();
        if (lookupId >= 0)
            QHostInfo::abortHostLookup(lookupId);
        lookupId = -1;
    }
};

Endpoint::Endpoint(EndpointArray &array, int index)
    : m_array(array)
    , m_loop(array.loop())
    , m_index(index)
{
}

Endpoint::~Endpoint()
{
    if (m_attempt)
        m_attempt->cancel();
    m_attempt.reset();
    if (m_fd >= 0) {
        m_loop.reactor().unwatch(m_fd);
        ::close(m_fd);
    }
}

bool Endpoint::canSend() const
{
    return (m_state == SocketState::Connected || m_state == SocketState::Closing)
           && !m_shutdownPending && !m_shutdownSent;
}

bool Endpoint::Listen()
{
    if (m_state != SocketState::Closed) {
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
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&address);
            sin6->sin6_family = AF_INET6;
            sin6->sin6_addr = in6addr_any;
            sin6->sin6_port = htons(quint16(m_localPort));
            length = sizeof(sockaddr_in6);
        } else {
            auto *sin = reinterpret_cast<sockaddr_in *>(&address);
            sin->sin_family = AF_INET;
            sin->sin_addr.s_addr = htonl(INADDR_ANY);
            sin->sin_port = htons(quint16(m_localPort));
            length = sizeof(sockaddr_in);
        }
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
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0) {
        m_localPort = bound.ss_family == AF_INET6
                          ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                          : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    }
    m_fd = fd;
    m_state = SocketState::Listening;
    m_lastError = {};
    m_loop.reactor().watch(m_fd, this, Reactor::Read);
    return true;
}

bool Endpoint::Accept(qintptr requestID)
{
    if (m_state != SocketState::Closed || m_fd >= 0) {
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
    setNoDelay(m_fd);
    m_state = SocketState::Connected;
    m_lastError = {};
    m_loop.reactor().watch(m_fd, this, Reactor::Read);
    return true;
}

bool Endpoint::Connect(const QString &host, const QString &portText)
{
    if (m_state != SocketState::Closed || m_fd >= 0) {
        m_lastError = {NotClosedError, socketErrorText(NotClosedError),
                       QStringLiteral("Endpoint %1 is not closed.").arg(m_index)};
        return false;
    }
    const PortText port = parsePortText(portText, 1);
    if (!port.ok()) {
        m_lastError = {BadPortError, portProblemText(port.problem),
                       QStringLiteral("Cannot connect to port %1: %2.")
                           .arg(quotedInput(portText), portProblemText(port.problem).toLower())};
        return false;
    }
    QString name = host.trimmed();
    if (name.size() > 2 && name.startsWith(u'[') && name.endsWith(u']'))
        name = name.mid(1, name.size() - 2);
    if (name.isEmpty()) {
        m_lastError = {BadHostError, socketErrorText(BadHostError),
                       QStringLiteral("No server host name is given.")};
        return false;
    }

    resetForClose();
    m_lastError = {};
    m_attempt = std::make_unique<ConnectAttempt>();
    ConnectAttempt *attempt = m_attempt.get();
    attempt->host = name;
    attempt->port = quint16(port.port);
    attempt->deadline.setSingleShot(true);
    QObject::connect(&attempt->deadline, &QTimer::timeout, attempt, [this, attempt] {
        if (attempt->cancelled)
            return;
        connectFailed(TimedOutError, socketErrorText(TimedOutError),
                      QStringLiteral("No answer from %1 port %2 within %3 seconds.")
                          .arg(quotedInput(attempt->host))
                          .arg(attempt->port)
                          .arg(ConnectTimeoutMs / 1000));
    });
    attempt->deadline.start(ConnectTimeoutMs);

    const bool unprintable = std::any_of(name.cbegin(), name.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control;
    });
    if (unprintable) {
        // No host name holds control characters; and QHostAddress would
        // read "127.0.0.1\0junk" as the address before the NUL.
        m_state = SocketState::ResolvingHost;
        QMetaObject::invokeMethod(attempt, [this, attempt] {
            if (!attempt->cancelled)
                connectFailed(HostNotFoundError, socketErrorText(HostNotFoundError),
                              QStringLiteral("Cannot find host %1: the name holds control characters.")
                                  .arg(quotedInput(attempt->host)));
        }, Qt::QueuedConnection);
        return true;
    }

    QHostAddress literal;
    if (literal.setAddress(name)) {
        attempt->addresses = {literal};
        m_state = SocketState::Connecting;
        // Even a literal address connects from the loop: Connect() itself
        // never raises an event.
        QMetaObject::invokeMethod(attempt, [this, attempt] {
            if (!attempt->cancelled)
                tryNextAddress();
        }, Qt::QueuedConnection);
        return true;
    }

    m_state = SocketState::ResolvingHost;
    attempt->lookupId = QHostInfo::lookupHost(name, attempt, [this, attempt](const QHostInfo &info) {
        if (attempt->cancelled)
            return;
        attempt->lookupId = -1;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            connectFailed(HostNotFoundError, socketErrorText(HostNotFoundError),
                          QStringLiteral("Cannot find host %1: %2.")
                              .arg(quotedInput(attempt->host), info.errorString()));
            return;
        }
        attempt->addresses = info.addresses();
        m_state = SocketState::HostResolved;
        tryNextAddress();
    });
    return true;
}

// Tries the resolved addresses in order until one connects or none is left.
void Endpoint::tryNextAddress()
{
    ConnectAttempt *attempt = m_attempt.get();
    while (attempt->next < attempt->addresses.size()) {
        const QHostAddress &address = attempt->addresses.at(attempt->next++);
        sockaddr_storage target;
        const socklen_t length = toSockaddr(address, attempt->port, target);
        const int fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            attempt->lastErrno = errno;
            continue;
        }
        setNoDelay(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&target), length) == 0 || errno == EINPROGRESS) {
            m_fd = fd;
            m_state = SocketState::Connecting;
            m_loop.reactor().watch(m_fd, this, Reactor::Write);
            return;
        }
        attempt->lastErrno = errno;
        ::close(fd);
    }
    const int code = attempt->lastErrno ? attempt->lastErrno : ECONNREFUSED;
    connectFailed(code, socketErrorText(code),
                  QStringLiteral("Cannot connect to %1 port %2: %3.")
                      .arg(quotedInput(attempt->host))
                      .arg(attempt->port)
                      .arg(systemMessage(code)));
}

void Endpoint::finishConnect()
{
    int err = 0;
    socklen_t length = sizeof err;
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    if (err == 0) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        if (getpeername(m_fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
            err = errno == ENOTCONN ? ECONNREFUSED : errno; // spurious wake-up shows as not connected
    }
    if (err != 0) {
        m_loop.reactor().unwatch(m_fd);
        ::close(m_fd);
        m_fd = -1;
        m_attempt->lastErrno = err;
        tryNextAddress();
        return;
    }
    dropAttempt();
    m_state = SocketState::Connected;
    updateInterest();
    emit m_array.Connect(m_index);
}

void Endpoint::connectFailed(int code, const QString &text, const QString &detail)
{
    dropAttempt();
    if (m_fd >= 0) {
        m_loop.reactor().unwatch(m_fd);
        ::close(m_fd);
        m_fd = -1;
    }
    m_state = SocketState::Error;
    m_lastError = {code, text, detail};
    emit m_array.Error(m_index, code, text, detail);
}

void Endpoint::dropAttempt()
{
    if (!m_attempt)
        return;
    m_attempt->cancel();
    m_attempt.release()->deleteLater();
}

void Endpoint::SendData(QByteArrayView chunk)
{
    if (chunk.isEmpty() || !canSend())
        return;
    qsizetype sent = 0;
    if (BytesQueued() == 0 && m_pendingErrno == 0) {
        const ssize_t n = ::send(m_fd, chunk.data(), size_t(chunk.size()), MSG_NOSIGNAL);
        if (n == chunk.size())
            return;
        if (n >= 0) {
            sent = n;
        } else if (!wouldBlock(errno)) {
            // Raised from the loop: an operation never raises an event itself.
            m_pendingErrno = errno;
            updateInterest();
            return;
        }
    }
    m_queue.append(chunk.data() + sent, chunk.size() - sent);
    updateInterest();
}

QByteArrayView Endpoint::GetData()
{
    if (m_inArrival && !m_currentTaken) {
        m_currentTaken = true;
        return m_current;
    }
    if (!m_unread.isEmpty()) {
        m_taken = std::exchange(m_unread, QByteArray());
        updateInterest();
        return m_taken;
    }
    return {};
}

void Endpoint::setReading(bool on)
{
    if (m_wantRead == on)
        return;
    m_wantRead = on;
    updateInterest();
}

void Endpoint::ShutdownSend()
{
    if (!canSend())
        return;
    if (BytesQueued() > 0) {
        m_shutdownPending = true;
        return;
    }
    ::shutdown(m_fd, SHUT_WR);
    m_shutdownSent = true;
}

void Endpoint::Close()
{
    ++m_generation;
    dropAttempt();
    if (m_fd >= 0) {
        const int fd = std::exchange(m_fd, -1);
        m_loop.reactor().unwatch(fd);
        const bool open = m_state == SocketState::Connected || m_state == SocketState::Closing;
        if (!open || m_pendingErrno != 0 || (m_peerFin && BytesQueued() == 0)) {
            // Nothing more can reach the peer, or nothing more will come from it.
            ::close(fd);
        } else {
            m_loop.linger(fd, m_queue.mid(m_queueHead), m_peerFin, m_shutdownSent);
        }
    }
    resetForClose();
}

void Endpoint::Abort()
{
    ++m_generation;
    dropAttempt();
    if (m_fd >= 0) {
        const int fd = std::exchange(m_fd, -1);
        m_loop.reactor().unwatch(fd);
        struct ::linger zeroLinger{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
        ::close(fd);
    }
    resetForClose();
}

void Endpoint::resetForClose()
{
    m_state = SocketState::Closed;
    m_queue = QByteArray();
    m_queueHead = 0;
    m_unread = QByteArray();
    m_taken = QByteArray();
    m_current = {};
    m_currentTaken = false;
    m_inArrival = false;
    m_wantRead = true;
    m_peerFin = false;
    m_shutdownPending = false;
    m_shutdownSent = false;
    m_acceptPaused = false;
    m_acceptRetryMs = 0;
    m_pendingErrno = 0;
}

QString Endpoint::remoteAddressText() const
{
    if (m_fd < 0)
        return {};
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(m_fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return {};
    QHostAddress address(reinterpret_cast<sockaddr *>(&peer));
    const quint16 port = peer.ss_family == AF_INET6
                             ? ntohs(reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port)
                             : ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

void Endpoint::updateInterest()
{
    if (m_fd < 0)
        return;
    unsigned interest = Reactor::None;
    switch (m_state) {
    case SocketState::Listening:
        interest = m_acceptPaused ? Reactor::None : Reactor::Read;
        break;
    case SocketState::Connecting:
        interest = Reactor::Write;
        break;
    case SocketState::Connected:
    case SocketState::Closing:
        if (m_wantRead && !m_peerFin && m_unread.isEmpty())
            interest |= Reactor::Read;
        if (BytesQueued() > 0 || m_pendingErrno != 0)
            interest |= Reactor::Write;
        break;
    default:
        break;
    }
    m_loop.reactor().setInterest(m_fd, interest);
}

void Endpoint::onReady(int, bool readable, bool writable, bool failed)
{
    switch (m_state) {
    case SocketState::Listening:
        acceptPending();
        return;
    case SocketState::Connecting:
        finishConnect();
        return;
    case SocketState::Connected:
    case SocketState::Closing:
        break;
    default:
        return;
    }
    const quint32 generation = m_generation;
    if (m_pendingErrno != 0) {
        raiseError(m_pendingErrno);
        return;
    }
    const bool reading = m_wantRead && !m_peerFin && m_unread.isEmpty();
    if (failed && !reading && BytesQueued() == 0) {
        // Neither a read nor a send would surface it: ask for the error.
        int err = 0;
        socklen_t length = sizeof err;
        if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &length) == 0 && err != 0) {
            raiseError(err);
            return;
        }
    }
    if ((writable || failed) && BytesQueued() > 0) {
        flushQueue();
        if (generation != m_generation || m_state == SocketState::Error)
            return;
    }
    if ((readable || failed) && reading)
        receive();
}

void Endpoint::receive()
{
    char *buffer = m_loop.readBuffer();
    const ssize_t n = ::recv(m_fd, buffer, size_t(EndpointLoop::ReadBufferBytes), 0);
    if (n > 0) {
        const quint32 generation = m_generation;
        m_current = QByteArrayView(buffer, n);
        m_currentTaken = false;
        m_inArrival = true;
        emit m_array.DataArrival(m_index, qint64(n));
        if (generation != m_generation)
            return; // closed by the handler: what it did not take goes with it
        m_inArrival = false;
        if (!m_currentTaken) {
            // Keep what the handler left, and read no more until it is taken.
            m_unread = m_current.toByteArray();
            updateInterest();
        }
        m_current = {};
        return;
    }
    if (n == 0) {
        m_peerFin = true;
        m_state = SocketState::Closing;
        updateInterest();
        emit m_array.Close(m_index);
        return;
    }
    if (!wouldBlock(errno))
        raiseError(errno);
}

void Endpoint::flushQueue()
{
    while (BytesQueued() > 0) {
        const ssize_t n = ::send(m_fd, m_queue.constData() + m_queueHead, size_t(BytesQueued()),
                                 MSG_NOSIGNAL);
        if (n < 0) {
            if (wouldBlock(errno))
                break;
            raiseError(errno);
            return;
        }
        m_queueHead += n;
    }
    if (BytesQueued() > 0) {
        // Drop what was sent once it is most of the buffer, so a long-lived
        // queue does not keep its whole history.
        if (m_queueHead > EndpointLoop::ReadBufferBytes && m_queueHead * 2 > m_queue.size()) {
            m_queue.remove(0, m_queueHead);
            m_queueHead = 0;
        }
        return;
    }
    m_queue = QByteArray(); // an idle connection keeps no buffer
    m_queueHead = 0;
    if (m_shutdownPending) {
        ::shutdown(m_fd, SHUT_WR);
        m_shutdownPending = false;
        m_shutdownSent = true;
    }
    updateInterest();
    emit m_array.SendComplete(m_index);
}

void Endpoint::raiseError(int code)
{
    m_pendingErrno = 0;
    m_state = SocketState::Error;
    m_queue = QByteArray();
    m_queueHead = 0;
    m_unread = QByteArray();
    m_loop.reactor().setInterest(m_fd, Reactor::None);
    m_lastError = {code, socketErrorText(code),
                   QStringLiteral("Connection to %1 failed: %2.")
                       .arg(remoteAddressText(), systemMessage(code))};
    emit m_array.Error(m_index, code, m_lastError.text, m_lastError.detail);
}

void Endpoint::acceptPending()
{
    // A bounded batch per wake-up, so one busy listener cannot starve the
    // connections already being served.
    constexpr int MaxAcceptsPerWakeup = 64;
    const quint32 generation = m_generation;
    for (int i = 0; i < MaxAcceptsPerWakeup; ++i) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
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
    // A descriptor to spare means accepting can go on; say so even when no
    // client is waiting, so that the status clears.
    const int probe = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (probe < 0) {
        pauseAccept(errno);
        return;
    }
    ::close(probe);
    m_acceptPaused = false;
    m_acceptRetryMs = 0;
    updateInterest();
    emit m_array.AcceptResumed(m_index);
}

EndpointArray::EndpointArray(EndpointLoop &loop, QObject *parent)
    : QObject(parent)
    , m_loop(loop)
{
    m_items.push_back(std::make_unique<Endpoint>(*this, 0));
}

EndpointArray::~EndpointArray() = default;

bool EndpointArray::Load(int index)
{
    if (index != UBound() + 1 || index > MaxIndex)
        return false;
    m_items.push_back(std::make_unique<Endpoint>(*this, index));
    return true;
}

} // namespace pelk
