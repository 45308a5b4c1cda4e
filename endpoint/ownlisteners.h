#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <vector>

namespace pelk {

class AddressWatch;

// Where the listeners of one loop listen, so that a connect can tell whether
// it would lead back to one of them: a relay pointed at itself would relay
// each client back to itself without end.
class OwnListeners
{
public:
    // Where this computer's addresses are known from, as they change; none:
    // they are listed when asked.
    void setAddressWatch(const AddressWatch *watch) { m_addressWatch = watch; }

    // A listener (owner, for remove()) listening on addresses and port;
    // dualStack: an IPv6 socket of it takes IPv4 clients as well.
    void add(const void *owner, const QList<QHostAddress> &addresses, quint16 port, bool dualStack);
    void remove(const void *owner);

    // Whether a connection to address and port would reach one of them.
    bool leadsToListener(const QHostAddress &address, quint16 port) const;

    // The same for a server reached through a proxy at proxyAddress: only a
    // proxy on this computer can lead back, to a host that names this
    // computer (an address of it, a localhost name, its host name, or a
    // name /etc/hosts gives one of its addresses). DNS is never asked: the
    // name is the proxy's to look up.
    bool proxyLeadsToListener(const QHostAddress &proxyAddress, const QString &host, quint16 port) const;

    // Loopback, or an address one of this computer's interfaces has now.
    bool isOwnAddress(const QHostAddress &address) const;

private:
    struct Listening
    {
        const void *owner;
        QHostAddress address;
        quint16 port;
        bool dualStack;
    };
    bool listenOnPort(quint16 port) const;
    // The addresses of this computer's interfaces, as plainAddress() gives them.
    QList<QHostAddress> ownAddresses() const;

    std::vector<Listening> m_listening;
    const AddressWatch *m_addressWatch = nullptr;
};

} // namespace pelk
