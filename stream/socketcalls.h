#pragma once

// Small helpers around the native socket calls, shared by the stream and
// endpoint files; not part of any library's interface.

#include <QHostAddress>
#include <QtEndian>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pelk {

inline bool wouldBlock(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

inline void setNoDelay(int fd)
{
    // The relay passes on what it gets at once; batching is the peers' call.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

inline QString systemMessage(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Turns a QHostAddress into a sockaddr for connect() or bind(); its length,
// or 0 when its scope names no interface of this machine.
inline socklen_t toSockaddr(const QHostAddress &address, quint16 port, sockaddr_storage &out)
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

// An IPv4 address from its four bytes, in network order.
inline QHostAddress ipv4FromBytes(const quint8 *bytes)
{
    return QHostAddress(qFromBigEndian<quint32>(bytes));
}

// An address as compared with another: without its scope, and an IPv4
// address mapped into IPv6 ("::ffff:127.0.0.1", as a dual-stack socket sees
// an IPv4 peer) as plain IPv4. Only the mapped form: QHostAddress would also
// read "::" as 0.0.0.0.
inline QHostAddress plainAddress(QHostAddress address)
{
    address.setScopeId(QString());
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 0; i < 10; ++i) {
        if (bytes[i] != 0)
            return address;
    }
    if (bytes[10] != 0xff || bytes[11] != 0xff)
        return address;
    return ipv4FromBytes(bytes.c + 12);
}

// The port of an IPv4 or IPv6 socket address.
inline quint16 portOf(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
                                         : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
}

// "192.0.2.7:6667" or "[2001:db8::7]:6667"; "" for anything but IPv4 and IPv6.
inline QString addressText(const sockaddr_storage &peer)
{
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)
        return {};
    QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
    if (const QHostAddress plain = plainAddress(address); plain.protocol() == QAbstractSocket::IPv4Protocol)
        address = plain; // an IPv4 peer of a dual-stack socket
    const quint16 port = portOf(peer);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

// The local address a socket is bound to (null when it cannot be read).
inline QHostAddress localAddressOf(int fd)
{
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr *>(&bound));
}

// The local port a socket is bound to (0 when it cannot be read).
inline quint16 localPortOf(int fd)
{
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0 ? portOf(bound) : 0;
}

} // namespace pelk
