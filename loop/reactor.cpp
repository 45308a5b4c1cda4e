#include "reactor.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <cstdint>
#include <vector>

#ifdef __linux__
#include "epolldispatcher.h"
#include <sys/epoll.h>
#include <unistd.h>
#endif

namespace pelk {

namespace {

// Per-descriptor QSocketNotifiers: works wherever Qt does, but Qt's
// dispatchers poll every registered notifier on every pass, so its cost
// grows with the number of idle sockets.
class NotifierReactor final : public Reactor
{
public:
    ~NotifierReactor() override
    {
        for (auto &w : m_watches)
            w = {};
    }

    int watch(int fd, ReadyHandler *handler, unsigned interest) override
    {
        if (fd >= int(m_watches.size()))
            m_watches.resize(size_t(fd) + 1);
        Watch &w = m_watches[size_t(fd)];
        w = {};
        w.handler = handler;
        w.read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        w.write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        QObject::connect(w.read.get(), &QSocketNotifier::activated, w.read.get(),
                         [this, fd] { dispatch(fd, true, false); });
        QObject::connect(w.write.get(), &QSocketNotifier::activated, w.write.get(),
                         [this, fd] { dispatch(fd, false, true); });
        return setInterest(fd, interest);
    }

    int setInterest(int fd, unsigned interest) override
    {
        if (fd < 0 || fd >= int(m_watches.size()) || !m_watches[size_t(fd)].handler)
            return 0;
        Watch &w = m_watches[size_t(fd)];
        w.read->setEnabled(interest & Read);
        w.write->setEnabled(interest & Write);
        return 0;
    }

    void setHandler(int fd, ReadyHandler *handler) override
    {
        if (fd >= 0 && fd < int(m_watches.size()) && m_watches[size_t(fd)].handler)
            m_watches[size_t(fd)].handler = handler;
    }

    void unwatch(int fd) override
    {
        if (fd < 0 || fd >= int(m_watches.size()))
            return;
        Watch &w = m_watches[size_t(fd)];
        // The notifiers may be the ones whose signal is being delivered right
        // now: disable them at once, delete them once control is back in the
        // event loop.
        for (auto *n : {w.read.release(), w.write.release()}) {
            if (n) {
                n->setEnabled(false);
                n->deleteLater();
            }
        }
        w.handler = nullptr;
    }

private:
    struct Watch
    {
        ReadyHandler *handler = nullptr;
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    void dispatch(int fd, bool readable, bool writable)
    {
        if (ReadyHandler *h = m_watches[size_t(fd)].handler)
            h->onReady(fd, readable, writable, false);
    }

    std::vector<Watch> m_watches;
};

#ifdef __linux__

// All descriptors in one level-triggered epoll set. Under an
// EpollEventDispatcher that set is the dispatcher's own, and its one
// epoll_wait() delivers the events; under any other dispatcher the reactor
// has a set of its own, which Qt watches as one descriptor. A pass costs in
// proportion to the descriptors that are ready.
//
// A descriptor with no interest stays in the set with no events, so that an
// error or hang-up on a paused connection is still seen, once.
//
// Under the dispatcher a change of interest is made just before the loop
// next waits: changes that undo each other in one pass cost nothing, nor
// does one for a descriptor closed in the same pass.
class EpollReactor final : public Reactor, private EpollClient
{
public:
    static constexpr int MaxEventsPerPass = 256;

    // Null, with errno set, when no epoll set can be made.
    static std::unique_ptr<EpollReactor> open()
    {
        if (EpollEventDispatcher *dispatcher = EpollEventDispatcher::current())
            return std::unique_ptr<EpollReactor>(new EpollReactor(dispatcher));
        const int epfd = epoll_create1(EPOLL_CLOEXEC);
        if (epfd < 0)
            return nullptr;
        return std::unique_ptr<EpollReactor>(new EpollReactor(epfd));
    }

    explicit EpollReactor(EpollEventDispatcher *dispatcher)
        : m_epfd(dispatcher->epollFd())
        , m_dispatcher(dispatcher)
    {
    }

    explicit EpollReactor(int epfd)
        : m_epfd(epfd)
    {
        m_notifier = std::make_unique<QSocketNotifier>(m_epfd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                         [this] { dispatch(); });
    }

    ~EpollReactor() override
    {
        if (m_notifier) {
            m_notifier.reset();
            ::close(m_epfd);
        } else if (m_dispatcher) {
            m_dispatcher->cancelPrepare(this);
            for (size_t fd = 0; fd < m_watches.size(); ++fd) {
                if (m_watches[fd].handler)
                    unwatch(int(fd));
            }
        }
    }

    int watch(int fd, ReadyHandler *handler, unsigned interest) override
    {
        if (fd >= int(m_watches.size()))
            m_watches.resize(size_t(fd) + 1);
        Watch &w = m_watches[size_t(fd)];
        if (w.handler)
            unwatch(fd);
        w.handler = handler;
        w.generation = m_dispatcher ? m_dispatcher->newGeneration() : w.generation + 1;
        w.interest = None;
        w.registered = false;
        w.changed = false;
        return setInterest(fd, interest);
    }

    int setInterest(int fd, unsigned interest) override
    {
        if (fd < 0 || fd >= int(m_watches.size()))
            return 0;
        Watch &w = m_watches[size_t(fd)];
        if (!w.handler || (w.registered && w.interest == interest))
            return 0;
        if (interest == None && w.interest == None && w.quiet)
            return 0; // its hang-up was reported; wait for the owner to act
        w.interest = interest;
        w.quiet = false;
        if (w.registered && m_dispatcher) {
            if (!w.changed) {
                w.changed = true;
                if (m_changed.empty())
                    m_dispatcher->prepareBeforeWait(this);
                m_changed.push_back(fd);
            }
            return 0;
        }
        return apply(fd, w);
    }

    void setHandler(int fd, ReadyHandler *handler) override
    {
        if (fd >= 0 && fd < int(m_watches.size()) && m_watches[size_t(fd)].handler)
            m_watches[size_t(fd)].handler = handler;
    }

    void unwatch(int fd) override
    {
        if (fd >= 0 && fd < int(m_watches.size()) && m_watches[size_t(fd)].registered)
            epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
        forget(fd);
    }

    bool reportsFailures() const override { return true; }

    void forget(int fd) override
    {
        if (fd < 0 || fd >= int(m_watches.size()))
            return;
        Watch &w = m_watches[size_t(fd)];
        if (m_dispatcher && w.handler)
            m_dispatcher->setClient(fd, nullptr);
        w.handler = nullptr;
        w.registered = false;
        w.quiet = false;
        w.changed = false;
        w.interest = None;
        ++w.generation; // stale readiness from this pass must not reach a new owner
    }

private:
    struct Watch
    {
        ReadyHandler *handler = nullptr;
        uint32_t generation = 0;
        unsigned interest = None;
        bool registered = false;
        bool quiet = false; // out of the set after reporting a hang-up while idle
        bool changed = false; // interest to be made before the loop waits
        uint32_t events = 0;  // as the set has them
    };

    static uint32_t eventsFor(unsigned interest)
    {
        // With no interest the descriptor stays in the set with no events:
        // epoll still reports an error or hang-up, so a reset on a paused
        // connection is not missed.
        return ((interest & Read) ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u)
               | ((interest & Write) ? uint32_t(EPOLLOUT) : 0u);
    }

    // Puts the descriptor in the set, or changes its events there: 0, or
    // the errno, with the descriptor out of the set.
    int apply(int fd, Watch &w)
    {
        epoll_event ev{};
        ev.events = eventsFor(w.interest);
        ev.data.u64 = uint64_t(uint32_t(fd)) | (uint64_t(w.generation) << 32);
        if (w.registered && ev.events == w.events)
            return 0;
        if (epoll_ctl(m_epfd, w.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) {
            const int err = errno;
            if (w.registered)
                epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
            w.registered = false;
            w.interest = None;
            return err;
        }
        if (!w.registered && m_dispatcher)
            m_dispatcher->setClient(fd, this);
        w.registered = true;
        w.events = ev.events;
        return 0;
    }

    // The dispatcher is about to wait: the changes of interest are made now.
    void epollPrepare() override
    {
        m_applying.swap(m_changed);
        for (const int fd : m_applying) {
            Watch &w = m_watches[size_t(fd)];
            if (!w.changed)
                continue; // unwatched since
            w.changed = false;
            if (!w.handler || !w.registered)
                continue;
            if (const int err = apply(fd, w))
                w.handler->onWatchFailed(fd, err);
        }
        m_applying.clear();
    }

    // Under another dispatcher: the reactor's own set has something ready.
    void dispatch()
    {
        epoll_event events[MaxEventsPerPass];
        const int n = epoll_wait(m_epfd, events, MaxEventsPerPass, 0);
        for (int i = 0; i < n; ++i)
            epollEvent(events[i].data.u64, events[i].events);
    }

    void epollEvent(uint64_t data, uint32_t e) override
    {
        const int fd = int(uint32_t(data));
        const uint32_t generation = uint32_t(data >> 32);
        if (fd >= int(m_watches.size()))
            return;
        Watch &w = m_watches[size_t(fd)];
        if (!w.handler || w.generation != generation)
            return; // unwatched (and perhaps reused) earlier in this pass
        if (w.interest == None && (e & (EPOLLERR | EPOLLHUP))) {
            // Level-triggered, a hang-up would be reported on every pass
            // until the owner acts: report it once.
            epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
            w.registered = false;
            w.changed = false;
            w.quiet = true;
        }
        w.handler->onReady(fd, e & (EPOLLIN | EPOLLRDHUP), e & EPOLLOUT, e & (EPOLLERR | EPOLLHUP));
    }

    const int m_epfd;
    QPointer<EpollEventDispatcher> m_dispatcher; // when the set is the dispatcher's
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<Watch> m_watches;
    std::vector<int> m_changed; // descriptors whose interest is to be made
    std::vector<int> m_applying;
};

#endif

} // namespace

std::unique_ptr<Reactor> Reactor::create()
{
#ifdef __linux__
    if (auto epoll = EpollReactor::open())
        return epoll;
    qWarning("No epoll set (%s); watching each socket with its own notifier instead.",
             std::strerror(errno));
    return createNotifierReactor();
#else
    return createNotifierReactor();
#endif
}

std::unique_ptr<Reactor> Reactor::createNotifierReactor()
{
    return std::make_unique<NotifierReactor>();
}

} // namespace pelk
