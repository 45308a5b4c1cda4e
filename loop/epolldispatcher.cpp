#include "epolldispatcher.h"

#include <QMetaMethod>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pelk {

namespace {

uint64_t eventData(int fd, uint32_t generation)
{
    return uint64_t(uint32_t(fd)) | (uint64_t(generation) << 32);
}

} // namespace

std::unique_ptr<EpollEventDispatcher> EpollEventDispatcher::create()
{
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0)
        return nullptr;
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = eventData(wakeFd, 0);
    if (wakeFd < 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) {
        const int err = errno;
        if (wakeFd >= 0)
            ::close(wakeFd);
        ::close(epfd);
        errno = err;
        return nullptr;
    }
    return std::unique_ptr<EpollEventDispatcher>(new EpollEventDispatcher(epfd, wakeFd));
}

EpollEventDispatcher::EpollEventDispatcher(int epfd, int wakeFd)
    : m_epfd(epfd)
    , m_wakeFd(wakeFd)
{
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    ::close(m_wakeFd);
    ::close(m_epfd);
}

EpollEventDispatcher *EpollEventDispatcher::current()
{
    return qobject_cast<EpollEventDispatcher *>(QAbstractEventDispatcher::instance());
}

void EpollEventDispatcher::setClient(int fd, EpollClient *client)
{
    if (fd < 0)
        return;
    if (fd >= int(m_clients.size())) {
        if (!client)
            return;
        m_clients.resize(size_t(fd) + 1);
    }
    m_clients[size_t(fd)] = client;
}

// Whether awake() and aboutToBlock() have receivers, so that a pass does not
// go through Qt's signal machinery for nobody.
void EpollEventDispatcher::connectNotify(const QMetaMethod &signal)
{
    countReceivers(signal, 1);
}

void EpollEventDispatcher::disconnectNotify(const QMetaMethod &signal)
{
    countReceivers(signal, -1);
}

// A disconnect of every signal at once (an invalid signal) leaves the counts
// as they are: too high only costs an emission nobody receives.
void EpollEventDispatcher::countReceivers(const QMetaMethod &signal, int change)
{
    if (signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::awake))
        m_awakeReceivers.fetch_add(change, std::memory_order_relaxed);
    else if (signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::aboutToBlock))
        m_aboutToBlockReceivers.fetch_add(change, std::memory_order_relaxed);
}

void EpollEventDispatcher::prepareBeforeWait(EpollClient *client)
{
    m_preparing.push_back(client);
}

void EpollEventDispatcher::cancelPrepare(EpollClient *client)
{
    std::erase(m_preparing, client);
    std::replace(m_preparingNow.begin(), m_preparingNow.end(), client, static_cast<EpollClient *>(nullptr));
}

// Until none asks again: a client's preparing may lead to more changes.
void EpollEventDispatcher::prepareClients()
{
    while (!m_preparing.empty()) {
        m_preparingNow.swap(m_preparing);
        for (size_t i = 0; i < m_preparingNow.size(); ++i) {
            if (EpollClient *client = m_preparingNow[i])
                client->epollPrepare();
        }
        m_preparingNow.clear();
    }
}

// ---------------------------------------------------------------------------
// The pass

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_loopThread.store(QThread::currentThreadId(), std::memory_order_relaxed);
    m_interrupted.store(false, std::memory_order_relaxed);
    const Pass pass(m_depth, m_nestedPassRan);
    if (m_awakeReceivers.load(std::memory_order_relaxed) > 0)
        emit awake();
    // Every posted event wakes the dispatcher, so the posted events are sent
    // only after a wake-up, and after a nested loop, whose end may let
    // deferred deletes through that it held back. The flag is cleared before
    // they are sent: whatever is posted from now on sets it again, and the
    // loop does not block while it is set.
    if (m_wakeUps.exchange(0, std::memory_order_seq_cst) != 0 || std::exchange(m_nestedPassRan, false))
        QCoreApplication::sendPostedEvents();
    prepareClients();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load(std::memory_order_relaxed)
                         && m_wakeUps.load() == 0 && !(includeNotifiers && m_alwaysReadyCount > 0);
    if (canWait && m_aboutToBlockReceivers.load(std::memory_order_relaxed) > 0) {
        emit aboutToBlock();
        prepareClients(); // again, for what its receivers changed
    }
    if (m_interrupted.load(std::memory_order_relaxed))
        return false;
    int timeoutMs = 0;
    if (canWait)
        timeoutMs = includeTimers && !m_timers.empty() ? timerWaitMs(Clock::now()) : -1;
    if (m_wakeUps.load() != 0)
        timeoutMs = 0;

    epoll_event events[MaxEventsPerPass];
    int n = epoll_wait(m_epfd, events, MaxEventsPerPass, timeoutMs);
    if (n < 0) {
        if (errno != EINTR)
            qErrnoWarning("epoll_wait");
        n = 0;
    }
    int handled = 0;
    for (int i = 0; i < n; ++i) {
        const int fd = int(uint32_t(events[i].data.u64));
        if (fd == m_wakeFd) {
            eventfd_t count;
            (void)eventfd_read(m_wakeFd, &count);
            ++handled;
            continue;
        }
        if (!includeNotifiers || fd >= int(m_clients.size()))
            continue;
        if (EpollClient *client = m_clients[size_t(fd)]) {
            client->epollEvent(events[i].data.u64, events[i].events);
            ++handled;
        }
    }
    if (includeNotifiers && m_alwaysReadyCount > 0)
        handled += activateAlwaysReady();
    if (includeTimers && !m_timers.empty())
        handled += activateTimers();
    return handled > 0;
}

void EpollEventDispatcher::wakeUp()
{
    if (m_wakeUps.exchange(1) != 0)
        return; // already on its way
    // The loop's own thread is not waiting now, and looks at the flag before
    // it does: no system call needed.
    if (QThread::currentThreadId() == m_loopThread.load(std::memory_order_relaxed))
        return;
    (void)eventfd_write(m_wakeFd, 1);
}

void EpollEventDispatcher::interrupt()
{
    m_interrupted.store(true, std::memory_order_relaxed);
    wakeUp();
}

// ---------------------------------------------------------------------------
// Socket notifiers

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Notifiers &entry = m_notifiers[fd];
    switch (notifier->type()) {
    case QSocketNotifier::Read: entry.read = notifier; break;
    case QSocketNotifier::Write: entry.write = notifier; break;
    case QSocketNotifier::Exception: entry.exception = notifier; break;
    }
    updateNotifiers(fd);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const auto it = m_notifiers.find(fd);
    if (it == m_notifiers.end())
        return;
    for (QSocketNotifier **slot : {&it->second.read, &it->second.write, &it->second.exception}) {
        if (*slot == notifier)
            *slot = nullptr;
    }
    updateNotifiers(fd);
}

void EpollEventDispatcher::updateNotifiers(int fd)
{
    const auto it = m_notifiers.find(fd);
    if (it == m_notifiers.end())
        return;
    Notifiers &entry = it->second;
    const uint32_t wanted = (entry.read ? uint32_t(EPOLLIN) : 0u) | (entry.write ? uint32_t(EPOLLOUT) : 0u)
                            | (entry.exception ? uint32_t(EPOLLPRI) : 0u);
    const bool ours = fd < int(m_clients.size()) && m_clients[size_t(fd)] == this;
    if (wanted == 0) {
        // A descriptor closed and reused meanwhile may be another client's now.
        if (entry.inSet && ours) {
            epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
            setClient(fd, nullptr);
        }
        if (entry.alwaysReady)
            --m_alwaysReadyCount;
        m_notifiers.erase(it);
        return;
    }
    if (entry.alwaysReady)
        return;
    if (!entry.inSet || !ours)
        entry.generation = newGeneration();
    epoll_event ev{};
    ev.events = wanted;
    ev.data.u64 = eventData(fd, entry.generation);
    int rc = epoll_ctl(m_epfd, entry.inSet && ours ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    if (rc != 0 && errno == ENOENT) // closed and opened again: out of the set
        rc = epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd, &ev);
    if (rc == 0) {
        entry.inSet = true;
        setClient(fd, this);
        return;
    }
    entry.inSet = false;
    if (errno == EPERM) {
        // A regular file: poll() calls it ready for anything, always.
        entry.alwaysReady = true;
        ++m_alwaysReadyCount;
        return;
    }
    qWarning("QSocketNotifier: cannot watch descriptor %d: %s", fd, std::strerror(errno));
}

void EpollEventDispatcher::epollEvent(uint64_t data, uint32_t events)
{
    activateNotifiers(int(uint32_t(data)), uint32_t(data >> 32), events);
}

// Each notifier of the descriptor that the events concern, looked up afresh
// before each: an earlier one's handler may have disabled or deleted it.
void EpollEventDispatcher::activateNotifiers(int fd, uint32_t generation, uint32_t events)
{
    constexpr uint32_t failed = EPOLLHUP | EPOLLERR;
    const uint32_t masks[] = {EPOLLIN | failed, EPOLLOUT | failed, EPOLLPRI | failed};
    for (int type = 0; type < 3; ++type) {
        if (!(events & masks[type]))
            continue;
        const auto it = m_notifiers.find(fd);
        if (it == m_notifiers.end() || it->second.generation != generation)
            return;
        QSocketNotifier *notifier = type == 0 ? it->second.read : type == 1 ? it->second.write : it->second.exception;
        if (!notifier)
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
    }
}

int EpollEventDispatcher::activateAlwaysReady()
{
    QVarLengthArray<std::pair<int, uint32_t>, 8> ready;
    for (const auto &[fd, entry] : m_notifiers) {
        if (entry.alwaysReady)
            ready.append({fd, entry.generation});
    }
    for (const auto &[fd, generation] : ready)
        activateNotifiers(fd, generation, EPOLLIN | EPOLLOUT);
    return int(ready.size());
}

// ---------------------------------------------------------------------------
// Timers: a plain list, as a loop has only a few.

EpollEventDispatcher::Timer *EpollEventDispatcher::findTimer(int timerId)
{
    const auto it = std::find_if(m_timers.begin(), m_timers.end(), [timerId](const Timer &t) { return t.id == timerId; });
    return it == m_timers.end() ? nullptr : &*it;
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    m_timers.push_back({timerId, interval, timerType, object, Clock::now() + std::chrono::milliseconds(interval), false});
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    return std::erase_if(m_timers, [timerId](const Timer &t) { return t.id == timerId; }) > 0;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    return std::erase_if(m_timers, [object](const Timer &t) { return t.object == object; }) > 0;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> timers;
    for (const Timer &t : m_timers) {
        if (t.object == object)
            timers.append(TimerInfo(t.id, int(t.intervalMs), t.type));
    }
    return timers;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const Timer *t = findTimer(timerId);
    if (!t)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->due - Clock::now());
    return std::max(0, int(left.count()));
}

// Milliseconds until the first timer is due (rounded up, so that it is due
// when the wait ends); -1 for none.
int EpollEventDispatcher::timerWaitMs(Clock::time_point now) const
{
    int wait = -1;
    for (const Timer &t : m_timers) {
        if (t.firing)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(t.due - now);
        const int ms = std::max(0, int(std::min<qint64>(left.count(), INT_MAX)));
        if (wait < 0 || ms < wait)
            wait = ms;
    }
    return wait;
}

// Fires the timers due when the pass looked, in the order they were due; a
// timer registered or made due by a handler waits for the next pass.
int EpollEventDispatcher::activateTimers()
{
    const Clock::time_point now = Clock::now();
    QVarLengthArray<std::pair<Clock::time_point, int>, 16> due;
    for (const Timer &t : m_timers) {
        if (!t.firing && t.due <= now)
            due.append({t.due, t.id});
    }
    std::sort(due.begin(), due.end());
    int fired = 0;
    for (const auto &[when, id] : due) {
        Timer *t = findTimer(id);
        if (!t || t->firing)
            continue;
        // The next time is set before delivery, so the handler may restart
        // or kill the timer; one that has fallen behind does not catch up.
        const auto interval = std::chrono::milliseconds(t->intervalMs);
        t->due += interval;
        if (t->due <= now)
            t->due = now + interval;
        t->firing = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(t->object, &event);
        if (Timer *still = findTimer(id))
            still->firing = false;
        ++fired;
    }
    return fired;
}

} // namespace pelk
