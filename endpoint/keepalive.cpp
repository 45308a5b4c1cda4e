#include "keepalive.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pelk {

void applyKeepAlive(int fd, const KeepAlive &keepAlive)
{
    // The user timeout and interval first: setting the idle time re-arms the
    // keepalive timer, which should find the rest in place.
    const int on = 1;
    const unsigned int unanswered = unsigned(keepAlive.unansweredMs);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unanswered, sizeof unanswered);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepAlive.intervalS, sizeof keepAlive.intervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive.idleS, sizeof keepAlive.idleS);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

} // namespace pelk
