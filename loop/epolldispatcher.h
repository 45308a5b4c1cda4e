#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace pelk {

// Receives the epoll events of the descriptors it added to a dispatcher's
// set (see EpollEventDispatcher::setClient).
class EpollClient
{
public:
    virtual void epollEvent(uint64_t data, uint32_t events) = 0;
    // Asked for with EpollEventDispatcher::prepareBeforeWait().
    virtual void epollPrepare() {}

protected:
    ~EpollClient() = default;
};

// A Qt event dispatcher for Linux that waits in one epoll_wait() on one epoll
// set, which the epoll reactor shares: a wake-up for a relayed socket costs
// that one system call, where Qt's own dispatcher polls the reactor's set and
// the reactor then asks it again. Serves everything else Qt asks of a
// dispatcher: timers, socket notifiers, posted events, interrupt(), and
// wakeUp() from any thread (an eventfd, written only by other threads).
//
// Qt Core only: a GUI platform delivers window-system events through its own
// dispatcher, so a program with a window keeps that one.
//
// Sharing the set: a client adds descriptors to epollFd() itself, with the
// descriptor in the low 32 bits of epoll_event.data.u64 and a generation from
// newGeneration() in the high ones, and names itself with setClient(); its
// events reach it from processEvents(). Generations are unique across the
// dispatcher's clients, so an event collected for a descriptor that changed
// hands in the same pass is recognised as stale by the new owner.
class EpollEventDispatcher final : public QAbstractEventDispatcher, private EpollClient
{
    Q_OBJECT
public:
    static constexpr int MaxEventsPerPass = 256;

    // Null, with errno set, when no epoll set or eventfd can be made.
    static std::unique_ptr<EpollEventDispatcher> create();
    ~EpollEventDispatcher() override;

    // The calling thread's dispatcher when it is one of these, else null.
    static EpollEventDispatcher *current();

    int epollFd() const { return m_epfd; }
    uint32_t newGeneration() { return ++m_generation; }
    // client null: events for fd are dropped from now on.
    void setClient(int fd, EpollClient *client);
    // client->epollPrepare() once before the loop next waits, for changes to
    // the set it holds back until then; a client that goes first cancels.
    void prepareBeforeWait(EpollClient *client);
    void cancelPrepare(EpollClient *client);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    using Clock = std::chrono::steady_clock;

    EpollEventDispatcher(int epfd, int wakeFd);

    struct Timer
    {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject *object;
        Clock::time_point due;
        bool firing; // its event is being delivered (a nested loop must not fire it again)
    };

    // The notifiers of one descriptor; alwaysReady when epoll refuses it (a
    // regular file), which poll() would report ready on every pass.
    struct Notifiers
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        uint32_t generation = 0;
        bool inSet = false;
        bool alwaysReady = false;
    };

    void epollEvent(uint64_t data, uint32_t events) override;
    void updateNotifiers(int fd);
    void activateNotifiers(int fd, uint32_t generation, uint32_t events);
    int activateAlwaysReady();
    int activateTimers();
    int timerWaitMs(Clock::time_point now) const;
    void prepareClients();
    Timer *findTimer(int timerId);
    void countReceivers(const QMetaMethod &signal, int change);

    // Counts the passes under way, and notes when a nested one has ended.
    struct Pass
    {
        Pass(int &passDepth, bool &nestedEnded)
            : depth(++passDepth), nestedPassRan(nestedEnded)
        {
        }
        ~Pass()
        {
            if (--depth > 0)
                nestedPassRan = true;
        }
        int &depth;
        bool &nestedPassRan;
    };

    const int m_epfd;
    const int m_wakeFd;
    uint32_t m_generation = 0;
    std::vector<EpollClient *> m_clients; // by descriptor
    std::vector<EpollClient *> m_preparing;
    std::vector<EpollClient *> m_preparingNow;
    std::unordered_map<int, Notifiers> m_notifiers;
    int m_alwaysReadyCount = 0;
    std::vector<Timer> m_timers;

    // Set by wakeUp() until the loop has taken notice; the eventfd is
    // written only when it was clear and the caller is another thread.
    // Set at first, so that the first pass sends what was posted before.
    std::atomic<int> m_wakeUps{1};
    std::atomic<bool> m_interrupted{false};
    std::atomic<Qt::HANDLE> m_loopThread{nullptr};
    int m_depth = 0;
    bool m_nestedPassRan = false;
    std::atomic<int> m_awakeReceivers{0};
    std::atomic<int> m_aboutToBlockReceivers{0};
};

} // namespace pelk
