// Which reactor a loop gets: the epoll one on Linux, else (or when no epoll
// set can be had) one notifier per descriptor.
#include "reactor.h"
#include "notifierreactor.h"

#include <QtGlobal>

#include <cerrno>
#include <cstring>

#ifdef __linux__
#include "epollreactor.h"
#endif

namespace pelk {

std::unique_ptr<Reactor> Reactor::create()
{
#ifdef __linux__
    if (auto epoll = EpollReactor::open())
        return epoll;
    qWarning("No epoll set (%s); watching each socket with its own notifier instead.", std::strerror(errno));
#endif
    return createNotifierReactor();
}

std::unique_ptr<Reactor> Reactor::createNotifierReactor()
{
    return std::make_unique<NotifierReactor>();
}

} // namespace pelk
