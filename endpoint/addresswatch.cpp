#include "addresswatch.h"

#include "socketcalls.h"

#include <QNetworkInterface>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelk {

namespace {

// The first list comes at once from the kernel; this only bounds a wait
// that should never happen.
constexpr int FirstListWaitMs = 2000;
// Datagrams read per wake-up; what is left wakes the loop again.
constexpr int ReadsPerWakeup = 16;

// The address an RTM_NEWADDR or RTM_DELADDR message is about; none for
// another family or a message cut short.
std::optional<LocalAddress> addressIn(const nlmsghdr *message)
{
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return std::nullopt;
    const auto *info = static_cast<const ifaddrmsg *>(NLMSG_DATA(message));
    const unsigned int size = info->ifa_family == AF_INET ? 4 : info->ifa_family == AF_INET6 ? 16 : 0;
    if (size == 0)
        return std::nullopt;
    // IFA_LOCAL is the address itself where it is given; IFA_ADDRESS is the
    // peer's on a point-to-point link, and the address itself elsewhere.
    QHostAddress local;
    QHostAddress prefixBase;
    int attributesLeft = int(IFA_PAYLOAD(message));
    for (auto *attribute = IFA_RTA(info); RTA_OK(attribute, attributesLeft);
         attribute = RTA_NEXT(attribute, attributesLeft)) {
        if (RTA_PAYLOAD(attribute) != size || (attribute->rta_type != IFA_LOCAL && attribute->rta_type != IFA_ADDRESS))
            continue;
        const auto *bytes = static_cast<const quint8 *>(RTA_DATA(attribute));
        const QHostAddress address = size == 4 ? ipv4FromBytes(bytes) : QHostAddress(bytes);
        (attribute->rta_type == IFA_LOCAL ? local : prefixBase) = address;
    }
    if (local.isNull())
        local = prefixBase;
    if (prefixBase.isNull())
        prefixBase = local;
    if (local.isNull())
        return std::nullopt;
    return LocalAddress{int(info->ifa_index), plainAddress(local), plainAddress(prefixBase), info->ifa_prefixlen};
}

bool hasAddress(const std::vector<LocalAddress> &list, const QHostAddress &address)
{
    return std::any_of(list.cbegin(), list.cend(), [&](const LocalAddress &entry) { return entry.address == address; });
}

void put(std::vector<LocalAddress> &list, const LocalAddress &entry)
{
    const auto same = std::find_if(list.begin(), list.end(), [&](const LocalAddress &e) { return e.sameEntry(entry); });
    if (same != list.end())
        *same = entry; // its flags or lifetimes changed
    else
        list.push_back(entry);
}

void remove(std::vector<LocalAddress> &list, const LocalAddress &entry)
{
    std::erase_if(list, [&](const LocalAddress &e) { return e.sameEntry(entry); });
}

} // namespace

std::unique_ptr<AddressWatch> AddressWatch::open(Reactor &reactor,
                                                 std::function<void(const QList<QHostAddress> &)> onGone)
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ::close(fd);
        return nullptr;
    }
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<AddressWatch> watch(new AddressWatch(reactor, fd, local.nl_pid, std::move(onGone)));
    // The first list, before anyone asks: changes made meanwhile come after
    // it on the same socket.
    if (!watch->requestList())
        return nullptr; // its destructor closes the socket
    QList<QHostAddress> gone;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(FirstListWaitMs);
    while (watch->m_listSequence != 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, int(left.count())) < 0 || !watch->readMessages(1, gone))
            return nullptr;
    }
    if (!watch->m_haveList)
        return nullptr;
    if (reactor.watch(fd, watch.get(), Reactor::Read) != 0) {
        reactor.unwatch(fd);
        return nullptr;
    }
    return watch;
}

AddressWatch::AddressWatch(Reactor &reactor, int fd, quint32 portId,
                           std::function<void(const QList<QHostAddress> &)> onGone)
    : m_reactor(reactor)
    , m_fd(fd)
    , m_portId(portId)
    , m_onGone(std::move(onGone))
{
}

AddressWatch::~AddressWatch()
{
    m_reactor.forget(m_fd);
    ::close(m_fd);
}

std::vector<LocalAddress> localAddresses(const AddressWatch *watch)
{
    if (watch)
        return watch->addresses();
    std::vector<LocalAddress> all;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            const QHostAddress address = plainAddress(entry.ip());
            all.push_back({interface.index(), address, address, entry.prefixLength()});
        }
    }
    return all;
}

bool isThisComputer(const AddressWatch *watch, const QHostAddress &address)
{
    const QHostAddress plain = plainAddress(address);
    if (plain.isLoopback())
        return true;
    if (watch)
        return watch->has(plain);
    const std::vector<LocalAddress> all = localAddresses(nullptr);
    return hasAddress(all, plain);
}

bool AddressWatch::has(const QHostAddress &address) const
{
    return hasAddress(m_addresses, plainAddress(address));
}

// Asks the kernel for every address of every interface; the answer comes
// on the socket like any message. False when the request cannot be sent now.
bool AddressWatch::requestList()
{
    struct
    {
        nlmsghdr header;
        ifaddrmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    if (++m_lastSequence == 0)
        ++m_lastSequence; // 0 stands for none
    request.header.nlmsg_seq = m_lastSequence;
    request.body.ifa_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0) {
        m_listWanted = true; // asked again at the next wake-up
        return false;
    }
    m_listWanted = false;
    m_listSequence = request.header.nlmsg_seq;
    m_listed.clear();
    m_listInterrupted = false;
    return true;
}

void AddressWatch::onReady(int, bool, bool, bool)
{
    QList<QHostAddress> gone;
    if (m_listWanted)
        requestList();
    readMessages(ReadsPerWakeup, gone);
    if (!gone.isEmpty())
        m_onGone(gone);
}

// Reads up to maxReads datagrams; false on a failure other than "nothing
// more now" and "messages were lost" (which asks for the whole list).
bool AddressWatch::readMessages(int maxReads, QList<QHostAddress> &gone)
{
    alignas(nlmsghdr) char buffer[16 * 1024];
    for (int i = 0; i < maxReads; ++i) {
        sockaddr_nl sender{};
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(m_fd, &header, 0);
        if (n < 0) {
            if (errno == ENOBUFS) {
                // Messages were lost: what the computer has now is asked
                // for, and nothing is taken as gone before it comes.
                requestList();
                continue;
            }
            return wouldBlock(errno);
        }
        // Anyone with the right may send to the group; only the kernel
        // tells the truth about addresses.
        if (sender.nl_pid != 0)
            continue;
        if (header.msg_flags & MSG_TRUNC) {
            requestList();
            continue;
        }
        unsigned int left = unsigned(n); // as NLMSG_OK compares it with the message's length
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            take(message, gone);
        }
    }
    return true;
}

void AddressWatch::take(const nlmsghdr *message, QList<QHostAddress> &gone)
{
    // The list's parts answer our request; a change carries the number and
    // port of whoever asked for it.
    const bool listed = m_listSequence != 0 && message->nlmsg_seq == m_listSequence && message->nlmsg_pid == m_portId;
    if (listed) {
        if (message->nlmsg_flags & NLM_F_DUMP_INTR)
            m_listInterrupted = true;
        switch (message->nlmsg_type) {
        case NLMSG_DONE:
            listDone(gone);
            return;
        case NLMSG_ERROR:
            // The list cannot be had: what was known stays, and nothing ends.
            m_listSequence = 0;
            m_listed.clear();
            return;
        case RTM_NEWADDR:
            if (const auto entry = addressIn(message))
                put(m_listed, *entry);
            return;
        default:
            return;
        }
    }
    if (message->nlmsg_type != RTM_NEWADDR && message->nlmsg_type != RTM_DELADDR)
        return;
    const auto entry = addressIn(message);
    if (!entry)
        return;
    // A change while the list is coming applies to it as well, whichever
    // way the list has it.
    const bool added = message->nlmsg_type == RTM_NEWADDR;
    for (std::vector<LocalAddress> *list : {&m_addresses, &m_listed}) {
        if (added)
            put(*list, *entry);
        else
            remove(*list, *entry);
    }
    if (!added && !hasAddress(m_addresses, entry->address) && !gone.contains(entry->address))
        gone << entry->address;
}

// The whole list has come: it replaces what was known, and what it does not
// hold is gone. A list the kernel marked as changed while it was made is
// asked for again.
void AddressWatch::listDone(QList<QHostAddress> &gone)
{
    if (m_listInterrupted) {
        requestList();
        return;
    }
    m_listSequence = 0;
    m_haveList = true;
    for (const LocalAddress &known : m_addresses) {
        if (!hasAddress(m_listed, known.address) && !gone.contains(known.address))
            gone << known.address;
    }
    m_addresses = std::exchange(m_listed, {});
}

} // namespace pelk
