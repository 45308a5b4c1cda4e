#pragma once

// Small helpers around the native socket calls, shared by the endpoint's
// files; not part of the library's interface.

#include <QHostAddress>
#include <QString>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pelk {

inline bool wouldBlock(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

inline void setNoDelay(int fd)
{
    // The relay passes on what it gets at once; batching is the peers' call.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

inline QString systemMessage(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace pelk
