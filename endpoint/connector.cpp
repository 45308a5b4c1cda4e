#include "connector.h"
#include "porttext.h"
#include "socketcalls.h"
#include "socketerrors.h"

#include <QHostInfo>

#include <algorithm>
#include <utility>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

namespace pelk {

namespace {

int familyOf(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
}

// Turns a QHostAddress into a sockaddr for connect(); 0 when its scope names
// no interface of this machine.
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
    // A scope is an interface index ("fe80::1%2") or name ("fe80::1%eth0").
    const QString scope = address.scopeId();
    if (!scope.isEmpty()) {
        bool numeric = false;
        sin6->sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric)
            sin6->sin6_scope_id = if_nametoindex(scope.toLocal8Bit().constData());
        if (sin6->sin6_scope_id == 0)
            return 0;
    }
    return sizeof(sockaddr_in6);
}

} // namespace

Connector::Connector(Reactor &reactor, QObject *parent)
    : QObject(parent)
    , m_reactor(reactor)
{
    m_deadline.setSingleShot(true);
    QObject::connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_cancelled)
            return;
        fail(Endpoint::TimedOutError, QStringLiteral("No answer from %1 port %2 within %3 seconds.")
                                          .arg(quotedInput(m_host))
                                          .arg(m_port)
                                          .arg(ConnectTimeoutMs / 1000));
    });
}

Connector::~Connector()
{
    cancel();
}

bool Connector::readTarget(const QString &host, const QString &portText, QString &name,
                           quint16 &port, EndpointError &error, bool *tls)
{
    const PortText parsed = parseUpstreamPortText(portText);
    if (!parsed.ok()) {
        error = {Endpoint::BadPortError, portProblemText(parsed.problem),
                 QStringLiteral("Cannot connect to port %1: %2.")
                     .arg(quotedInput(portText), portProblemText(parsed.problem).toLower())};
        return false;
    }
    name = host.trimmed();
    if (name.size() > 2 && name.startsWith(u'[') && name.endsWith(u']'))
        name = name.mid(1, name.size() - 2);
    if (name.isEmpty()) {
        error = {Endpoint::BadHostError, socketErrorText(Endpoint::BadHostError),
                 QStringLiteral("No server host name is given.")};
        return false;
    }
    port = quint16(parsed.port);
    if (tls)
        *tls = parsed.tls;
    return true;
}

void Connector::start(const QString &name, quint16 port)
{
    m_host = name;
    m_port = port;
    m_deadline.start(ConnectTimeoutMs);

    const bool unprintable = std::any_of(name.cbegin(), name.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control;
    });
    if (unprintable) {
        // No host name holds control characters; and QHostAddress would
        // read "127.0.0.1\0junk" as the address before the NUL.
        m_phase = SocketState::ResolvingHost;
        QMetaObject::invokeMethod(this, [this] {
            if (!m_cancelled)
                fail(Endpoint::HostNotFoundError,
                     QStringLiteral("Cannot find host %1: the name holds control characters.")
                         .arg(quotedInput(m_host)));
        }, Qt::QueuedConnection);
        return;
    }

    QHostAddress literal;
    if (literal.setAddress(name)) {
        startWith(name, port, {literal});
        return;
    }

    m_phase = SocketState::ResolvingHost;
    reserve(AF_UNSPEC);
    m_lookupId = QHostInfo::lookupHost(name, this, [this](const QHostInfo &info) {
        if (m_cancelled)
            return;
        m_lookupId = -1;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            fail(Endpoint::HostNotFoundError, QStringLiteral("Cannot find host %1: %2.")
                                                  .arg(quotedInput(m_host), info.errorString()));
            return;
        }
        m_addresses = info.addresses();
        m_phase = SocketState::HostResolved;
        tryNextAddress();
    });
}

void Connector::startWith(const QString &host, quint16 port, const QList<QHostAddress> &addresses)
{
    m_host = host;
    m_port = port;
    m_addresses = addresses;
    m_next = 0;
    if (!m_deadline.isActive())
        m_deadline.start(ConnectTimeoutMs);
    m_phase = SocketState::Connecting;
    if (m_reserve < 0 && !addresses.isEmpty())
        reserve(familyOf(addresses.first()));
    // Even a known address connects from the loop: start() itself never
    // raises an event.
    QMetaObject::invokeMethod(this, [this] {
        if (!m_cancelled)
            tryNextAddress();
    }, Qt::QueuedConnection);
}

void Connector::cancel()
{
    m_cancelled = true;
    m_deadline.stop();
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    closeAttempt();
    releaseReserve();
}

// Holds the descriptor the first attempt will use from start() on, so that a
// descriptor free when the caller started is still there when the loop gets
// to the attempt: the socket itself when its family is known, else a
// stand-in given back just before the socket is opened.
void Connector::reserve(int family)
{
    m_reserve = family == AF_UNSPEC ? ::open("/dev/null", O_RDONLY | O_CLOEXEC)
                                    : ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_reserveFamily = m_reserve < 0 ? AF_UNSPEC : family;
}

void Connector::releaseReserve()
{
    if (m_reserve >= 0)
        ::close(m_reserve);
    m_reserve = -1;
}

int Connector::openSocket(int family)
{
    if (m_reserve >= 0 && m_reserveFamily == family)
        return std::exchange(m_reserve, -1);
    releaseReserve();
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void Connector::closeAttempt()
{
    if (m_fd < 0)
        return;
    m_reactor.unwatch(m_fd);
    ::close(m_fd);
    m_fd = -1;
}

// Tries the addresses in order until one connects or none is left.
void Connector::tryNextAddress()
{
    while (m_next < m_addresses.size()) {
        const QHostAddress &address = m_addresses.at(m_next++);
        sockaddr_storage target;
        const socklen_t length = toSockaddr(address, m_port, target);
        if (length == 0) {
            m_lastErrno = ENODEV;
            continue;
        }
        const int fd = openSocket(target.ss_family);
        if (fd < 0) {
            m_lastErrno = errno;
            continue;
        }
        setNoDelay(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&target), length) == 0 || errno == EINPROGRESS) {
            m_lastErrno = m_reactor.watch(fd, this, Reactor::Write);
            if (m_lastErrno == 0) {
                m_fd = fd;
                m_phase = SocketState::Connecting;
                return;
            }
            m_reactor.unwatch(fd);
        } else {
            m_lastErrno = errno;
        }
        ::close(fd);
    }
    const int code = m_lastErrno ? m_lastErrno : ECONNREFUSED;
    fail(code, QStringLiteral("Cannot connect to %1 port %2: %3.")
                   .arg(quotedInput(m_host))
                   .arg(m_port)
                   .arg(systemMessage(code)));
}

void Connector::onReady(int fd, bool, bool, bool)
{
    int err = 0;
    socklen_t length = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    sockaddr_storage peer{};
    if (err == 0) {
        socklen_t peerLength = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
            err = errno == ENOTCONN ? ECONNREFUSED : errno; // spurious wake-up shows as not connected
    }
    if (err != 0) {
        closeAttempt();
        m_lastErrno = err;
        tryNextAddress();
        return;
    }
    // Done: the socket goes to the caller, and nothing of this connector runs
    // after the callback, which may drop it.
    m_fd = -1;
    m_cancelled = true;
    m_deadline.stop();
    onConnected(fd, peer);
}

void Connector::fail(int code, const QString &detail)
{
    closeAttempt();
    releaseReserve();
    m_cancelled = true;
    m_deadline.stop();
    onFailed({code, socketErrorText(code), detail});
}

} // namespace pelk
