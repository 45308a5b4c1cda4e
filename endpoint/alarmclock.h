#pragma once

#include <QBasicTimer>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

namespace pelk {

class AlarmClock;

// A call made at a set time, for its owner (a connect's time limit, the
// delay before a connect's next attempt, a lingering socket's limit). The
// owner disarms it before it goes; it is disarmed when it fires, and its
// handler may delete it.
class LoopAlarm
{
public:
    explicit LoopAlarm(std::function<void()> fire)
        : m_fire(std::move(fire))
    {
    }
    LoopAlarm(const LoopAlarm &) = delete;
    LoopAlarm &operator=(const LoopAlarm &) = delete;

    bool isArmed() const { return m_lane != nullptr; }
    std::optional<std::chrono::steady_clock::time_point> due() const
    {
        return isArmed() ? std::optional(m_due) : std::nullopt;
    }

private:
    friend class AlarmClock;
    struct Lane;

    std::function<void()> m_fire;
    std::chrono::steady_clock::time_point m_due;
    Lane *m_lane = nullptr;
    LoopAlarm *m_prev = nullptr;
    LoopAlarm *m_next = nullptr;
};

struct LoopAlarm::Lane
{
    LoopAlarm *first = nullptr;
    LoopAlarm *last = nullptr;
};

// The alarms of one loop, kept through the alarms themselves in lanes in
// the order they are due, with one timer for the earliest: arming one
// allocates nothing, and an idle clock has no timer. Alarms of one length
// share a lane (each kind of limit), so that arming one adds it at the back.
class AlarmClock : public QObject
{
public:
    enum Lane { Soon, ConnectLimit, LingerLimit, HalfCloseLimit, Lanes };

    AlarmClock() = default;

    // Arms alarm delayMs from now in a lane; re-arming moves it.
    void arm(LoopAlarm &alarm, int delayMs, Lane lane = Soon);
    void disarm(LoopAlarm &alarm);

private:
    LoopAlarm *firstAlarm() const;
    void expire();
    void schedule();
    void timerEvent(QTimerEvent *event) override;

    LoopAlarm::Lane m_lanes[Lanes];
    QBasicTimer m_timer;
    std::chrono::steady_clock::time_point m_timerDue;
};

} // namespace pelk
