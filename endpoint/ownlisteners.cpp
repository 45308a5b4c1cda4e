#include "ownlisteners.h"
#include "addresswatch.h"
#include "socketcalls.h"

#include <QFile>
#include <QHostInfo>

#include <algorithm>

namespace pelk {

namespace {

// The addresses /etc/hosts gives name, read as the C library reads it:
// "ADDRESS NAME [ALIAS...]", blanks or tabs between, a comment from '#' to
// the end of the line, IPv4 and IPv6 alike.
QList<QHostAddress> hostsFileAddresses(const QString &name)
{
    QList<QHostAddress> addresses;
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (!hosts.open(QIODevice::ReadOnly | QIODevice::Text))
        return addresses;
    constexpr int MaxHostsLines = 10000;
    for (int i = 0; i < MaxHostsLines && !hosts.atEnd(); ++i) {
        QByteArray line = hosts.readLine(4096);
        if (const qsizetype comment = line.indexOf('#'); comment >= 0)
            line.truncate(comment);
        const QList<QByteArray> fields = line.simplified().split(' ');
        QHostAddress address;
        if (fields.size() < 2 || !address.setAddress(QString::fromLatin1(fields.at(0))))
            continue;
        for (qsizetype f = 1; f < fields.size(); ++f) {
            if (QString::fromLatin1(fields.at(f)).compare(name, Qt::CaseInsensitive) == 0) {
                addresses << address;
                break;
            }
        }
    }
    return addresses;
}

} // namespace

void OwnListeners::add(const void *owner, const QList<QHostAddress> &addresses, quint16 port, bool dualStack)
{
    for (const QHostAddress &address : addresses)
        m_listening.push_back({owner, address, port, dualStack});
}

void OwnListeners::remove(const void *owner)
{
    std::erase_if(m_listening, [owner](const Listening &l) { return l.owner == owner; });
}

bool OwnListeners::listenOnPort(quint16 port) const
{
    return std::any_of(m_listening.cbegin(), m_listening.cend(),
                       [port](const Listening &listening) { return listening.port == port; });
}

bool OwnListeners::leadsToListener(const QHostAddress &target, quint16 port) const
{
    // Nearly every connect goes to another port: that is settled before any
    // address is looked at.
    if (!listenOnPort(port))
        return false;
    // "::ffff:127.0.0.1" reaches the IPv4 side.
    QHostAddress address = plainAddress(target);
    const bool isIPv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    // A connect to the unspecified address reaches this machine's loopback.
    if (address == QHostAddress::AnyIPv4)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (address == QHostAddress::AnyIPv6)
        address = QHostAddress(QHostAddress::LocalHostIPv6);
    const bool own = isOwnAddress(address);
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

bool OwnListeners::isOwnAddress(const QHostAddress &address) const
{
    return isThisComputer(m_addressWatch, address);
}

QList<QHostAddress> OwnListeners::ownAddresses() const
{
    QList<QHostAddress> own;
    for (const LocalAddress &entry : localAddresses(m_addressWatch))
        own << entry.address;
    return own;
}

bool OwnListeners::proxyLeadsToListener(const QHostAddress &proxyAddress, const QString &host, quint16 port) const
{
    if (!listenOnPort(port) || !isOwnAddress(proxyAddress))
        return false;
    QHostAddress literal;
    if (literal.setAddress(host))
        return leadsToListener(literal, port);

    QString name = host.toLower();
    if (name.endsWith(u'.'))
        name.chop(1);
    QList<QHostAddress> addresses;
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")))
        addresses << QHostAddress(QHostAddress::LocalHost) << QHostAddress(QHostAddress::LocalHostIPv6);
    const QString hostName = QHostInfo::localHostName().toLower();
    if (!hostName.isEmpty() && (name == hostName || name == hostName.section(u'.', 0, 0)))
        addresses << ownAddresses();
    addresses << hostsFileAddresses(name);
    return std::any_of(addresses.cbegin(), addresses.cend(),
                       [this, port](const QHostAddress &address) { return leadsToListener(address, port); });
}

} // namespace pelk
