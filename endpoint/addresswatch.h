#pragma once

#include "reactor.h"

#include <QHostAddress>
#include <QList>

#include <functional>
#include <memory>
#include <vector>

struct nlmsghdr;

namespace pelk {

// One address of one of this computer's interfaces, and the network it puts
// the interface on (the on-link prefix).
struct LocalAddress
{
    int interfaceIndex = 0;
    QHostAddress address;    // as plainAddress() gives it
    QHostAddress prefixBase; // the address of the prefix: the peer's on a point-to-point link
    int prefixLength = 0;

    bool sameEntry(const LocalAddress &other) const
    {
        return interfaceIndex == other.interfaceIndex && address == other.address
               && prefixLength == other.prefixLength;
    }
};

// The addresses of this computer's interfaces, kept current from the
// kernel's rtnetlink messages: read once when opened, then changed as the
// kernel reports addresses added and removed. No polling: the loop wakes
// only when addresses change.
//
// onGone fires, from the loop, with the addresses that no interface has any
// more (one removed from one interface while another still has it is not
// gone). When the kernel had to drop messages, the whole list is asked for
// again on the same socket (no descriptor needed), and what it no longer
// holds is gone; until it has come, nothing is. Only the kernel's messages
// are taken.
class AddressWatch final : private ReadyHandler
{
public:
    // Null when rtnetlink cannot be had (no descriptor, a system without
    // it) or does not list the addresses in time.
    static std::unique_ptr<AddressWatch> open(Reactor &reactor,
                                              std::function<void(const QList<QHostAddress> &gone)> onGone);
    ~AddressWatch();
    AddressWatch(const AddressWatch &) = delete;
    AddressWatch &operator=(const AddressWatch &) = delete;

    const std::vector<LocalAddress> &addresses() const { return m_addresses; }
    // Whether an interface has address (compared as plainAddress()).
    bool has(const QHostAddress &address) const;

private:
    AddressWatch(Reactor &reactor, int fd, quint32 portId, std::function<void(const QList<QHostAddress> &)> onGone);
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int, int) override {}

    bool requestList();
    bool readMessages(int maxReads, QList<QHostAddress> &gone);
    void take(const nlmsghdr *message, QList<QHostAddress> &gone);
    void listDone(QList<QHostAddress> &gone);

    Reactor &m_reactor;
    const int m_fd;
    const quint32 m_portId; // the socket's own, in the answers to its requests
    std::function<void(const QList<QHostAddress> &)> m_onGone;
    std::vector<LocalAddress> m_addresses;
    bool m_haveList = false;
    // The list asked for: its sequence number (0: none asked), what has come
    // of it so far, whether the kernel says it changed meanwhile, and
    // whether one must be asked for as soon as the socket lets us.
    quint32 m_listSequence = 0;
    quint32 m_lastSequence = 0;
    std::vector<LocalAddress> m_listed;
    bool m_listInterrupted = false;
    bool m_listWanted = false;
};

// The addresses of this computer's interfaces: the watch's, or, without
// one, as the system lists them now.
std::vector<LocalAddress> localAddresses(const AddressWatch *watch);
// Whether address is this computer's: loopback, or one of its interfaces has
// it (compared as plainAddress()).
bool isThisComputer(const AddressWatch *watch, const QHostAddress &address);

} // namespace pelk
