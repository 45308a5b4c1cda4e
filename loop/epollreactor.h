#pragma once

#include "reactor.h"

#include <QSocketNotifier>

#include <cstdint>
#include <memory>
#include <vector>

namespace pelk {

// All descriptors in one level-triggered epoll set of the reactor's own,
// which the event loop watches as one descriptor: a pass costs in proportion
// to the descriptors that are ready, not to those watched.
//
// A descriptor with no interest stays in the set with no events, so that an
// error or hang-up on a paused connection is still seen, once.
//
// While the ready descriptors of a pass are handled, changes of interest are
// noted and made at the end of the pass: changes that undo each other cost
// nothing, nor does one for a descriptor closed in the same pass. Outside a
// pass a change is made at once.
class EpollReactor final : public Reactor
{
public:
    static constexpr int MaxEventsPerPass = 256;

    // Null, with errno set, when no epoll set can be made.
    static std::unique_ptr<EpollReactor> open();
    ~EpollReactor() override;

    int watch(int fd, ReadyHandler *handler, unsigned interest) override;
    int setInterest(int fd, unsigned interest) override;
    void setHandler(int fd, ReadyHandler *handler) override;
    void unwatch(int fd) override;
    void forget(int fd) override;
    bool reportsFailures() const override { return true; }

private:
    struct Watch
    {
        ReadyHandler *handler = nullptr;
        uint32_t generation = 0;
        unsigned interest = None;
        bool registered = false;
        bool quiet = false;   // out of the set after reporting a hang-up while idle
        bool changed = false; // interest to be made at the end of the pass
        uint32_t events = 0;  // as the set has them
    };

    // The loop's view of the set: readable when something in it is ready.
    // Delivers straight to the reactor, not through a signal.
    class SetNotifier final : public QSocketNotifier
    {
    public:
        SetNotifier(int epfd, EpollReactor &reactor)
            : QSocketNotifier(epfd, QSocketNotifier::Read)
            , m_reactor(reactor)
        {
        }

    protected:
        bool event(QEvent *event) override;

    private:
        EpollReactor &m_reactor;
    };

    explicit EpollReactor(int epfd);
    int apply(int fd, Watch &w);
    void applyChanges();
    void dispatch();
    void deliver(uint64_t data, uint32_t events);

    const int m_epfd;
    std::unique_ptr<SetNotifier> m_notifier;
    std::vector<Watch> m_watches;
    std::vector<int> m_changed; // descriptors whose interest is to be made
    bool m_dispatching = false;
};

} // namespace pelk
