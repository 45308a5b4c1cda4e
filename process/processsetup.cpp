#include "processsetup.h"

#ifdef __linux__
#include "epolldispatcher.h"
#endif

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace pelk {

void useLeanEventDispatcher()
{
    qputenv("QT_NO_GLIB", "1");
}

void useEpollEventDispatcher()
{
#ifdef __linux__
    if (auto dispatcher = EpollEventDispatcher::create()) {
        QCoreApplication::setEventDispatcher(dispatcher.release()); // the application owns it
        return;
    }
    qWarning("No epoll set for the event loop (%s); using Qt's own dispatcher.", std::strerror(errno));
#endif
    useLeanEventDispatcher();
}

void ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

long raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return long(limit.rlim_cur);
}

} // namespace pelk
