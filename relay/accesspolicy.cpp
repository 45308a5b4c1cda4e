#include "accesspolicy.h"

#include "addresswatch.h"
#include "porttext.h"
#include "socketcalls.h"

#include <QStringList>

#include <algorithm>

namespace pelk {

bool AllowedAddresses::contains(const QHostAddress &address) const
{
    return any || std::any_of(ranges.cbegin(), ranges.cend(), [&](const std::pair<QHostAddress, int> &range) {
               return address.isInSubnet(range.first, range.second);
           });
}

bool AllowedAddresses::add(const QString &typed, QString *error)
{
    for (const QString &part : typed.split(u',')) {
        const QString text = part.trimmed();
        if (text.compare(QLatin1String("any"), Qt::CaseInsensitive) == 0) {
            any = true;
            continue;
        }
        QHostAddress address;
        std::pair<QHostAddress, int> range;
        if (!text.contains(u'/') && !text.contains(u'%') && address.setAddress(text)) {
            range = {plainAddress(address), address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
        } else {
            range = QHostAddress::parseSubnet(text);
            if (range.first.isNull() || text.contains(u'%')) {
                *error = QStringLiteral("%1 is not an address or an address range such as 192.168.1.0/24 or "
                                        "2001:db8::/48")
                             .arg(quotedInput(text));
                return false;
            }
            range.first = plainAddress(range.first);
        }
        ranges << range;
    }
    return true;
}

std::optional<EndpointError> AccessPolicy::startProblem(bool beyondThisComputer, bool tls, bool lendsLogin) const
{
    if (m_pinsClients && !tls) {
        return failureOf(PinsNeedTlsError,
                         QStringLiteral("--allow-client admits clients by their certificates, which only a TLS "
                                        "listen port asks for: write the listen port with a + before the port, "
                                        "as in +6697 or *:+6697."));
    }
    if (beyondThisComputer && lendsLogin && !m_pinsClients && !m_allowed) {
        return failureOf(LendsLoginError,
                         QStringLiteral("This listen port admits other computers, and the relay presents your "
                                        "client certificate or proxy login for every client: anyone on this "
                                        "computer's networks would be logged in as you. Add --allow-client "
                                        "SHA256 to serve only clients with a pinned certificate (on a TLS listen "
                                        "port), or --allow RANGES to name who may connect, or listen on this "
                                        "computer only."));
    }
    return std::nullopt;
}

QString AccessPolicy::servedText() const
{
    const auto rangeText = [](const QHostAddress &base, int length) {
        const auto network = QHostAddress::parseSubnet(base.toString() + u'/' + QString::number(length));
        return network.first.toString() + u'/' + QString::number(network.second);
    };
    QString text;
    if (m_allowed && m_allowed->any) {
        text = QStringLiteral("Anyone who can reach it may connect.");
    } else if (m_allowed) {
        QStringList ranges;
        for (const auto &[network, length] : m_allowed->ranges)
            ranges << rangeText(network, length);
        text = QStringLiteral("This computer and %1 may connect.").arg(ranges.join(QStringLiteral(", ")));
    } else {
        QStringList networks;
        for (const LocalAddress &entry : localAddresses(m_addressWatch)) {
            const QString range = rangeText(entry.prefixBase, entry.prefixLength);
            if (!entry.address.isLoopback() && !networks.contains(range))
                networks << range;
        }
        text = QStringLiteral("This computer and its networks may connect (%1).")
                   .arg(networks.isEmpty() ? QStringLiteral("it is on none now") : networks.join(QStringLiteral(", ")));
    }
    if (m_pinsClients)
        text += QStringLiteral(" Only clients with a pinned certificate are served.");
    if (m_maxPerAddress > 0)
        text += QStringLiteral(" At most %1 clients at once come from one other computer.").arg(m_maxPerAddress);
    return text;
}


bool AccessPolicy::onOwnNetwork(const QHostAddress &plain) const
{
    const std::vector<LocalAddress> own = localAddresses(m_addressWatch);
    return std::any_of(own.cbegin(), own.cend(), [&](const LocalAddress &entry) {
        return plain.isInSubnet(entry.prefixBase, entry.prefixLength);
    });
}

bool AccessPolicy::admit(const QHostAddress &peer)
{
    const QHostAddress plain = plainAddress(peer);
    // Loopback first: nearly every client of a relay is on this computer.
    if (isThisComputer(m_addressWatch, plain))
        return true;
    if (m_allowed ? !m_allowed->contains(plain) : !onOwnNetwork(plain)) {
        refuse(plain, m_allowed ? QStringLiteral("not in the allowed addresses")
                                : QStringLiteral("not on a network of this computer"));
        return false;
    }
    if (m_maxPerAddress > 0 && m_clientsFrom.value(plain) >= m_maxPerAddress) {
        refuse(plain, QStringLiteral("already has %1 clients here (--max-per-address)").arg(m_maxPerAddress));
        return false;
    }
    return true;
}

void AccessPolicy::take(const QHostAddress &peer)
{
    const QHostAddress plain = plainAddress(peer);
    if (!isThisComputer(m_addressWatch, plain))
        ++m_clientsFrom[plain];
}

void AccessPolicy::release(const QHostAddress &peer)
{
    const auto found = m_clientsFrom.find(plainAddress(peer));
    if (found != m_clientsFrom.end() && --*found <= 0)
        m_clientsFrom.erase(found);
}

void AccessPolicy::refuse(const QHostAddress &peer, const QString &why)
{
    ++m_refusals;
    m_lastRefused = plainAddress(peer);
    m_lastReason = why;
}

QString AccessPolicy::refusalSummary() const
{
    if (m_refusals == 0)
        return {};
    return QStringLiteral("Refused %1 %2; last %3")
        .arg(QString::number(m_refusals), m_refusals == 1 ? QStringLiteral("client") : QStringLiteral("clients"),
             lastRefusal());
}

QString AccessPolicy::lastRefusal() const
{
    return m_refusals == 0 ? QString() : m_lastRefused.toString() + QStringLiteral(": ") + m_lastReason;
}

} // namespace pelk
