#include "resumewatch.h"

#include <QDBusConnection>

namespace pelk {

ResumeWatch::ResumeWatch(std::function<void()> onResume, QObject *parent)
    : QObject(parent)
    , m_onResume(std::move(onResume))
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                SLOT(prepareForSleep(bool)));
}

void ResumeWatch::prepareForSleep(bool goingToSleep)
{
    if (!goingToSleep && m_onResume)
        m_onResume();
}

} // namespace pelk
