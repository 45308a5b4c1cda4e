#pragma once

#include <QObject>

#include <functional>

namespace pelk {

// Calls onResume each time the computer wakes from sleep, as logind says on
// the system bus (org.freedesktop.login1.Manager's PrepareForSleep(false)).
// With no system bus, or no logind on it, it never calls and says nothing.
class ResumeWatch final : public QObject
{
    Q_OBJECT
public:
    explicit ResumeWatch(std::function<void()> onResume, QObject *parent = nullptr);

private slots:
    void prepareForSleep(bool goingToSleep);

private:
    std::function<void()> m_onResume;
};

} // namespace pelk
