#include "socketstream.h"
#include "reactor.h"
#include "socketcalls.h"

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

SocketStream::SocketStream(int fd, std::unique_ptr<TlsSession> tls)
    : m_fd(fd)
    , m_tls(std::move(tls))
{
}

SocketStream::SocketStream(SocketStream &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_tls(std::move(other.m_tls))
    , m_finSent(std::exchange(other.m_finSent, false))
{
}

SocketStream &SocketStream::operator=(SocketStream &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_tls = std::move(other.m_tls);
        m_finSent = std::exchange(other.m_finSent, false);
    }
    return *this;
}

SocketStream::~SocketStream()
{
    close();
}

ssize_t SocketStream::read(char *buffer, size_t size)
{
    return m_tls ? m_tls->read(buffer, size) : ::recv(m_fd, buffer, size, 0);
}

ssize_t SocketStream::write(const char *data, size_t size)
{
    return m_tls ? m_tls->write(data, size) : ::send(m_fd, data, size, MSG_NOSIGNAL);
}

bool SocketStream::sendFin()
{
    if (m_finSent)
        return true;
    if (m_tls && !m_tls->closeNotify())
        return false;
    ::shutdown(m_fd, SHUT_WR);
    m_finSent = true;
    return true;
}

bool SocketStream::readCanGo(bool readable, bool writable) const
{
    return m_tls ? m_tls->readCanGo(readable, writable) || m_tls->hasPending() : readable;
}

bool SocketStream::writeCanGo(bool readable, bool writable) const
{
    return m_tls ? m_tls->writeCanGo(readable, writable) : writable;
}

bool SocketStream::holdsInput() const
{
    return m_tls && m_tls->hasPending();
}

unsigned SocketStream::interest(bool wantRead, bool wantWrite) const
{
    return (wantRead ? unsigned(Reactor::Read) : 0u) | (wantWrite ? unsigned(Reactor::Write) : 0u)
           | (m_tls ? m_tls->extraInterest() : 0u);
}

void SocketStream::close()
{
    m_tls.reset();
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
    m_finSent = false;
}

void SocketStream::closeAfterPeerFin()
{
    if (m_tls && !m_finSent)
        (void)m_tls->closeNotify(); // no room for it: the FIN goes all the same
    close();
}

void SocketStream::reset()
{
    m_tls.reset();
    if (m_fd >= 0)
        resetAndClose(std::exchange(m_fd, -1));
    m_finSent = false;
}

} // namespace pelk
