#include "processsetup.h"

#include <QByteArray>
#include <QtGlobal>

#include <csignal>
#include <sys/resource.h>

namespace pelk {

void useProgramEventLoop()
{
    qputenv("QT_NO_GLIB", "1");
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
