#include "alarmclock.h"

#include <QTimerEvent>

#include <algorithm>

namespace pelk {

void AlarmClock::arm(LoopAlarm &alarm, int delayMs, Lane laneIndex)
{
    disarm(alarm);
    LoopAlarm::Lane &lane = m_lanes[laneIndex];
    alarm.m_due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    // At the back, unless one armed before is due later (the limit changed,
    // or a shorter delay).
    LoopAlarm *before = lane.last;
    while (before && before->m_due > alarm.m_due)
        before = before->m_prev;
    alarm.m_prev = before;
    alarm.m_next = before ? before->m_next : lane.first;
    (alarm.m_next ? alarm.m_next->m_prev : lane.last) = &alarm;
    (before ? before->m_next : lane.first) = &alarm;
    alarm.m_lane = &lane;
    if (lane.first == &alarm)
        schedule();
}

void AlarmClock::disarm(LoopAlarm &alarm)
{
    LoopAlarm::Lane *lane = alarm.m_lane;
    if (!lane)
        return;
    (alarm.m_prev ? alarm.m_prev->m_next : lane->first) = alarm.m_next;
    (alarm.m_next ? alarm.m_next->m_prev : lane->last) = alarm.m_prev;
    alarm.m_prev = alarm.m_next = nullptr;
    alarm.m_lane = nullptr;
    if (!firstAlarm())
        m_timer.stop(); // else it fires for the old first and waits again
}

// The earliest alarm of all lanes; null when none is armed.
LoopAlarm *AlarmClock::firstAlarm() const
{
    LoopAlarm *first = nullptr;
    for (const LoopAlarm::Lane &lane : m_lanes) {
        if (lane.first && (!first || lane.first->m_due < first->m_due))
            first = lane.first;
    }
    return first;
}

// Sets the timer for the earliest alarm, unless it is set for then already.
void AlarmClock::schedule()
{
    const LoopAlarm *first = firstAlarm();
    if (!first) {
        m_timer.stop();
        return;
    }
    if (m_timer.isActive() && m_timerDue <= first->m_due)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->m_due - std::chrono::steady_clock::now());
    m_timerDue = first->m_due;
    m_timer.start(std::max<int>(0, int(wait.count())), Qt::PreciseTimer, this);
}

void AlarmClock::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timer.timerId())
        expire();
    else
        QObject::timerEvent(event);
}

void AlarmClock::expire()
{
    m_timer.stop();
    const auto now = std::chrono::steady_clock::now();
    // Each one may end a connect or a lingering socket, which may arm or
    // disarm others, or delete the alarm itself: take the first again every
    // time, and call a copy of its handler.
    for (LoopAlarm *due = firstAlarm(); due && due->m_due <= now; due = firstAlarm()) {
        disarm(*due);
        const std::function<void()> fire = due->m_fire;
        fire();
    }
    schedule();
}

} // namespace pelk
