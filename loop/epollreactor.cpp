#include "epollreactor.h"

#include <QEvent>

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace pelk {

namespace {

uint32_t eventsFor(unsigned interest)
{
    // With no interest the descriptor stays in the set with no events: epoll
    // still reports an error or hang-up, so a reset on a paused connection is
    // not missed.
    return ((interest & Reactor::Read) ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u)
           | ((interest & Reactor::Write) ? uint32_t(EPOLLOUT) : 0u);
}

} // namespace

std::unique_ptr<EpollReactor> EpollReactor::open()
{
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0)
        return nullptr;
    return std::unique_ptr<EpollReactor>(new EpollReactor(epfd));
}

EpollReactor::EpollReactor(int epfd)
    : m_epfd(epfd)
    , m_notifier(std::make_unique<SetNotifier>(epfd, *this))
{
}

EpollReactor::~EpollReactor()
{
    m_notifier.reset();
    ::close(m_epfd);
}

bool EpollReactor::SetNotifier::event(QEvent *event)
{
    if (event->type() != QEvent::SockAct)
        return QSocketNotifier::event(event);
    m_reactor.dispatch();
    return true;
}

int EpollReactor::watch(int fd, ReadyHandler *handler, unsigned interest)
{
    if (fd >= int(m_watches.size()))
        m_watches.resize(size_t(fd) + 1);
    Watch &w = m_watches[size_t(fd)];
    if (w.handler)
        unwatch(fd); // which leaves it as forget() does, as a new watch is
    w.handler = handler;
    return setInterest(fd, interest);
}

int EpollReactor::setInterest(int fd, unsigned interest)
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
    if (w.registered && m_dispatching) {
        if (!w.changed) {
            w.changed = true;
            m_changed.push_back(fd);
        }
        return 0;
    }
    return apply(fd, w);
}

void EpollReactor::setHandler(int fd, ReadyHandler *handler)
{
    if (fd >= 0 && fd < int(m_watches.size()) && m_watches[size_t(fd)].handler)
        m_watches[size_t(fd)].handler = handler;
}

void EpollReactor::unwatch(int fd)
{
    if (fd >= 0 && fd < int(m_watches.size()) && m_watches[size_t(fd)].registered)
        epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
    forget(fd);
}

// Closing the descriptor takes it out of the set, so no call is made here.
void EpollReactor::forget(int fd)
{
    if (fd < 0 || fd >= int(m_watches.size()))
        return;
    Watch &w = m_watches[size_t(fd)];
    w.handler = nullptr;
    w.registered = false;
    w.quiet = false;
    w.changed = false;
    w.interest = None;
    ++w.generation; // stale readiness from this pass must not reach a new owner
}

// Puts the descriptor in the set, or changes its events there: 0, or the
// errno, with the descriptor out of the set.
int EpollReactor::apply(int fd, Watch &w)
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
    w.registered = true;
    w.events = ev.events;
    return 0;
}

// The end of a pass: the changes noted during it are made now. A failure
// reaches the handler, which may change others: until none is left.
void EpollReactor::applyChanges()
{
    while (!m_changed.empty()) {
        const int fd = m_changed.back();
        m_changed.pop_back();
        Watch &w = m_watches[size_t(fd)];
        if (!w.changed)
            continue; // unwatched since
        w.changed = false;
        if (!w.handler || !w.registered)
            continue;
        if (const int err = apply(fd, w))
            w.handler->onWatchFailed(fd, err);
    }
}

void EpollReactor::dispatch()
{
    epoll_event events[MaxEventsPerPass];
    const int n = epoll_wait(m_epfd, events, MaxEventsPerPass, 0);
    m_dispatching = true;
    for (int i = 0; i < n; ++i)
        deliver(events[i].data.u64, events[i].events);
    m_dispatching = false;
    applyChanges();
}

void EpollReactor::deliver(uint64_t data, uint32_t e)
{
    const int fd = int(uint32_t(data));
    const uint32_t generation = uint32_t(data >> 32);
    if (fd >= int(m_watches.size()))
        return;
    Watch &w = m_watches[size_t(fd)];
    if (!w.handler || w.generation != generation)
        return; // unwatched (and perhaps reused) earlier in this pass
    if (w.interest == None && (e & (EPOLLERR | EPOLLHUP))) {
        // Level-triggered, a hang-up would be reported on every pass until
        // the owner acts: report it once.
        epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
        w.registered = false;
        w.changed = false;
        w.quiet = true;
    }
    w.handler->onReady(fd, e & (EPOLLIN | EPOLLRDHUP), e & EPOLLOUT, e & (EPOLLERR | EPOLLHUP));
}

} // namespace pelk
