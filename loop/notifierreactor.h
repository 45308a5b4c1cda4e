#pragma once

#include "reactor.h"

#include <QSocketNotifier>

#include <memory>
#include <vector>

namespace pelk {

// Per-descriptor QSocketNotifiers: works wherever Qt does, but Qt's
// dispatchers poll every registered notifier on every pass, so its cost
// grows with the number of idle sockets.
class NotifierReactor final : public Reactor
{
public:
    ~NotifierReactor() override = default;

    int watch(int fd, ReadyHandler *handler, unsigned interest) override;
    int setInterest(int fd, unsigned interest) override;
    void setHandler(int fd, ReadyHandler *handler) override;
    void unwatch(int fd) override;

private:
    struct Watch
    {
        ReadyHandler *handler = nullptr;
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    void dispatch(int fd, bool readable, bool writable);

    std::vector<Watch> m_watches;
};

} // namespace pelk
