#pragma once

#include "socketerrors.h"

#include <sys/types.h>

namespace pelk {

// One stage of a connection's byte stream: the connected socket at the
// bottom, and over it the stages that speak a protocol through the one
// below (a proxy's request, TLS). Every stage offers the same calls, so that
// the owner of a connection sees one stream, whatever it is made of (see
// Stream); a stage knows nothing of the stages above it.
//
// read() and write() work like recv() and send(): a count of bytes, 0 at the
// end of the stream, or -1 with errno: EAGAIN when the stage waits for the
// socket (interest() says for what), TlsError when the stage's protocol
// failed (failure() says why), or the socket's own errno. A peer that has
// gone is EPIPE, never a signal.
class StreamStage
{
public:
    enum class Handshake { Done, Pending, Failed };

    StreamStage() = default;
    StreamStage(const StreamStage &) = delete;
    StreamStage &operator=(const StreamStage &) = delete;
    virtual ~StreamStage() = default;

    // The stage's own opening exchange, as far as the socket lets it go;
    // Done at once for a stage that has none. Failed: failure() says why.
    virtual Handshake handshake() = 0;

    virtual ssize_t read(char *buffer, size_t size) = 0;
    virtual ssize_t write(const char *data, size_t size) = 0;
    // Ends our direction (close_notify first through TLS, then FIN). False
    // with errno EAGAIN when there is no room yet (call again when
    // writable), or with the errno of a failure.
    virtual bool sendFin() = 0;

    // The readiness to watch the socket for: while the handshake runs, what
    // it waits for; after it, given what the owner wants to do.
    virtual unsigned interest(bool wantRead, bool wantWrite) const = 0;
    // Which readiness lets a read or a write go on (through TLS a read may
    // wait for writable, and a write for readable), and whether the stage
    // holds input that the socket will not signal.
    virtual bool readCanGo(bool readable, bool writable) const = 0;
    virtual bool writeCanGo(bool readable, bool writable) const = 0;
    virtual bool holdsInput() const = 0;

    virtual EndpointError failure() const { return {}; }
    // The handshake did not finish within limitMs: the failure to report.
    virtual EndpointError handshakeTimedOut(int limitMs) const;

protected:
    friend class Stream;
    StreamStage *m_below = nullptr; // set by the Stream that stacks it
};

} // namespace pelk
