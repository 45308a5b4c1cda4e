#include "addresswatch.h"

#include "socketcalls.h"

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelk {

std::unique_ptr<AddressWatch> AddressWatch::open(Reactor &reactor, std::function<void(const QHostAddress &)> onRemoved)
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
    std::unique_ptr<AddressWatch> watch(new AddressWatch(reactor, fd, std::move(onRemoved)));
    if (reactor.watch(fd, watch.get(), Reactor::Read) != 0) {
        reactor.unwatch(fd);
        return nullptr; // its destructor closes the socket
    }
    return watch;
}

AddressWatch::AddressWatch(Reactor &reactor, int fd, std::function<void(const QHostAddress &)> onRemoved)
    : m_reactor(reactor)
    , m_fd(fd)
    , m_onRemoved(std::move(onRemoved))
{
}

AddressWatch::~AddressWatch()
{
    m_reactor.forget(m_fd);
    ::close(m_fd);
}

void AddressWatch::onReady(int, bool, bool, bool)
{
    // Bounded per wake-up; what is left wakes the loop again.
    alignas(nlmsghdr) char buffer[8192];
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == ENOBUFS)
                m_onRemoved({}); // messages were lost: any address may be gone
            return;
        }
        unsigned int left = unsigned(n); // as NLMSG_OK compares it with the message's length
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type != RTM_DELADDR)
                continue;
            const auto *info = static_cast<const ifaddrmsg *>(NLMSG_DATA(message));
            int attributesLeft = int(IFA_PAYLOAD(message));
            for (auto *attribute = IFA_RTA(info); RTA_OK(attribute, attributesLeft);
                 attribute = RTA_NEXT(attribute, attributesLeft)) {
                // IFA_LOCAL is the address itself; IFA_ADDRESS the peer's on a
                // point-to-point link, and the same as IFA_LOCAL elsewhere.
                const bool ipv4 = info->ifa_family == AF_INET && RTA_PAYLOAD(attribute) == 4;
                const bool ipv6 = info->ifa_family == AF_INET6 && RTA_PAYLOAD(attribute) == 16;
                const bool local = attribute->rta_type == IFA_LOCAL
                                   || (attribute->rta_type == IFA_ADDRESS && info->ifa_family == AF_INET6);
                if (!local || !(ipv4 || ipv6))
                    continue;
                const auto *bytes = static_cast<const quint8 *>(RTA_DATA(attribute));
                m_onRemoved(ipv4 ? ipv4FromBytes(bytes) : QHostAddress(bytes));
            }
        }
    }
}

} // namespace pelk
