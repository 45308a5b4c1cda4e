#pragma once

#include "socketerrors.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

namespace pelk {

class AddressWatch;

// Addresses as a person writes them for --allow: "192.168.1.0/24",
// "2001:db8::/48", "10.0.0.7", several with commas between, or "any".
struct AllowedAddresses
{
    bool any = false;
    QList<std::pair<QHostAddress, int>> ranges; // network and prefix length

    bool contains(const QHostAddress &address) const;
    // Adds the ranges of typed; false, with *error naming the one that is
    // not an address or a range, when one cannot be read.
    bool add(const QString &typed, QString *error);
};

// Who may use the relay, asked by the relay for each client the listener
// accepts, before anything is read from it or sent to it.
//
// This computer's own addresses are always served. Others are served when
// allowed: by the addresses given (setAllowed), or by default when they are
// on one of the networks this computer's interfaces are on, as those are
// now (the loop's address watch). A client with a pinned certificate is
// the TLS stage's to tell; a refused one is counted here too (refuse()).
// At most maxPerAddress() clients at once come from one address other than
// this computer's own; the next is refused and counted.
//
// Whether Start may go ahead is asked here as well (startProblem()): a
// listen port beyond this computer must not lend the user's login (a client
// certificate, a proxy login) to whoever reaches it.
class AccessPolicy
{
public:
    static constexpr int DefaultMaxPerAddress = 10;

    void setAddressWatch(const AddressWatch *watch) { m_addressWatch = watch; }
    // None: this computer's own networks.
    void setAllowed(const std::optional<AllowedAddresses> &allowed) { m_allowed = allowed; }
    void setMaxPerAddress(int count) { m_maxPerAddress = count; }
    int maxPerAddress() const { return m_maxPerAddress; }
    // Clients of a TLS listen port are asked for a pinned certificate.
    void setPinsClients(bool on) { m_pinsClients = on; }

    // Why a listen port cannot start with these settings; none when it can.
    // beyondThisComputer: it admits other computers; tls: it speaks TLS;
    // lendsLogin: the relay presents the user's certificate or proxy login
    // for every client.
    std::optional<EndpointError> startProblem(bool beyondThisComputer, bool tls, bool lendsLogin) const;

    // Who is served beyond this computer, in a sentence or two for a tooltip.
    QString servedText() const;

    // Whether a client from peer is served; a refusal is counted. Nothing
    // is kept for a served client until take().
    bool admit(const QHostAddress &peer);
    // A served client now holds a place until release().
    void take(const QHostAddress &peer);
    void release(const QHostAddress &peer);
    // A client turned away elsewhere (a TLS client without a pinned
    // certificate), with the words of why.
    void refuse(const QHostAddress &peer, const QString &why);

    // "Refused 3 clients; last 203.0.113.5: not in the allowed addresses";
    // empty while none has been refused.
    QString refusalSummary() const;
    quint64 refusals() const { return m_refusals; }
    // "203.0.113.5: not in the allowed addresses"; empty when none.
    QString lastRefusal() const;

private:
    bool onOwnNetwork(const QHostAddress &plain) const;

    const AddressWatch *m_addressWatch = nullptr;
    std::optional<AllowedAddresses> m_allowed;
    int m_maxPerAddress = DefaultMaxPerAddress;
    bool m_pinsClients = false;
    QHash<QHostAddress, int> m_clientsFrom; // other computers' clients being served
    quint64 m_refusals = 0;
    QHostAddress m_lastRefused;
    QString m_lastReason;
};

} // namespace pelk
