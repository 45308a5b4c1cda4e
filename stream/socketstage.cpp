#include "socketstage.h"
#include "reactor.h"

#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace pelk {

void resetAndClose(int fd)
{
    struct ::linger zeroLinger{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
    ::close(fd);
}

ssize_t SocketStage::read(char *buffer, size_t size)
{
    return ::recv(m_fd, buffer, size, 0);
}

ssize_t SocketStage::write(const char *data, size_t size)
{
    return ::send(m_fd, data, size, MSG_NOSIGNAL);
}

bool SocketStage::sendFin()
{
    ::shutdown(m_fd, SHUT_WR);
    return true;
}

unsigned SocketStage::interest(bool wantRead, bool wantWrite) const
{
    return (wantRead ? unsigned(Reactor::Read) : 0u) | (wantWrite ? unsigned(Reactor::Write) : 0u);
}

int SocketStage::release()
{
    return std::exchange(m_fd, -1);
}

} // namespace pelk
