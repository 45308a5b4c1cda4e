#pragma once

#include "reactor.h"

#include <QHostAddress>

#include <functional>

namespace pelk {

// Tells when an address is removed from the computer (a new Wi-Fi network, a
// lease that ended), from the kernel's rtnetlink messages: no polling, and
// the loop wakes only when addresses change. When the kernel had to drop
// messages, every address it may have missed is reported as null, and the
// receiver checks what is left.
class AddressWatch final : private ReadyHandler
{
public:
    // Null when rtnetlink cannot be had (no descriptor, a system without
    // it): then removed addresses go unnoticed, as before.
    static std::unique_ptr<AddressWatch> open(Reactor &reactor, std::function<void(const QHostAddress &)> onRemoved);
    ~AddressWatch();
    AddressWatch(const AddressWatch &) = delete;
    AddressWatch &operator=(const AddressWatch &) = delete;

private:
    AddressWatch(Reactor &reactor, int fd, std::function<void(const QHostAddress &)> onRemoved);
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int, int) override {}

    Reactor &m_reactor;
    const int m_fd;
    std::function<void(const QHostAddress &)> m_onRemoved;
};

} // namespace pelk
