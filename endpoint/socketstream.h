#pragma once

#include "tls.h"

#include <memory>
#include <sys/types.h>

namespace pelk {

// Closes fd with a reset: SO_LINGER 0, so that the peer sees RST at once and
// nothing is left behind in TIME_WAIT. The one place that asks for it.
void resetAndClose(int fd);

// A connected socket and its byte stream, plain or through a TLS session:
// reads and writes as recv() and send() see them (a peer gone is EPIPE,
// never a signal), the end of our direction, and which readiness lets each
// go on. Owns the descriptor and the session, and is handed whole from the
// endpoint to the lingerer. Destroying or reassigning it closes the socket
// in order; reset() closes it with a reset. Who watches the descriptor must
// stop before it is closed.
class SocketStream
{
public:
    SocketStream() = default;
    explicit SocketStream(int fd, std::unique_ptr<TlsSession> tls = {});
    SocketStream(SocketStream &&other) noexcept;
    SocketStream &operator=(SocketStream &&other) noexcept;
    ~SocketStream();

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    TlsSession *tls() const { return m_tls.get(); }

    // As recv() and send(); through TLS see TlsSession::read() and write().
    ssize_t read(char *buffer, size_t size);
    ssize_t write(const char *data, size_t size);

    // Ends our direction: close_notify first through TLS, then FIN. False
    // with errno EAGAIN when close_notify found no room yet (call again when
    // writable), or with the errno of a failure.
    bool sendFin();
    bool finSent() const { return m_finSent; }

    // Through TLS a read may wait for writable and a write for readable; and
    // bytes OpenSSL holds (holdsInput()) are there to read whatever the
    // socket says, though it will not signal them.
    bool readCanGo(bool readable, bool writable) const;
    bool writeCanGo(bool readable, bool writable) const;
    bool holdsInput() const;

    // The readiness to watch for, given what the owner wants to do.
    unsigned interest(bool wantRead, bool wantWrite) const;

    void close();
    void reset();
    // Closes after the peer's FIN, when all it sent has been read: close()
    // then sends our FIN itself (close_notify first through TLS), so no
    // shutdown() is needed before it.
    void closeAfterPeerFin();

private:
    int m_fd = -1;
    std::unique_ptr<TlsSession> m_tls; // never closes the socket
    bool m_finSent = false;
};

} // namespace pelk
