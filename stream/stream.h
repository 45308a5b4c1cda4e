#pragma once

#include "socketstage.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace pelk {

// A connection's byte stream: its connected socket, and over it the stages
// it needs, stacked bottom first (a proxy's request, then TLS; see
// StreamStage). Its calls are those of the top stage, so its owner reads and
// writes plaintext whatever lies below; handshake() runs every stage's
// handshake in order and says once that all are done.
//
// Owns the socket and the stages, and is handed whole from the endpoint to
// the lingerer. Destroying or reassigning it closes the socket in order;
// reset() closes it with a reset. Whoever watches the descriptor must stop
// before it is closed.
class Stream
{
public:
    // The socket and the stages over it: a proxy's and TLS, and room for one
    // more (a test's stand-in for the socket's peer).
    static constexpr int MaxStages = 4;

    Stream() = default;
    explicit Stream(int fd) : m_socket(fd) {}
    Stream(Stream &&other) noexcept { *this = std::move(other); }
    Stream &operator=(Stream &&other) noexcept;
    ~Stream();

    int fd() const { return m_socket.fd(); }
    bool isOpen() const { return m_socket.fd() >= 0; }

    // Stacks a stage on top, before the handshake starts; false when the
    // stack is full.
    bool push(std::unique_ptr<StreamStage> stage);

    // Every stage's handshake in turn, bottom first: Pending while one waits
    // for the socket (interest() says for what), Failed when one failed
    // (failure() says why), Done once all are done.
    StreamStage::Handshake handshake();

    ssize_t read(char *buffer, size_t size) { return top().read(buffer, size); }
    ssize_t write(const char *data, size_t size) { return top().write(data, size); }
    // Ends our direction once; see StreamStage::sendFin().
    bool sendFin();
    bool finSent() const { return m_finSent; }

    // While a handshake runs, what that stage waits for.
    unsigned interest(bool wantRead, bool wantWrite) const;
    bool readCanGo(bool readable, bool writable) const { return top().readCanGo(readable, writable); }
    bool writeCanGo(bool readable, bool writable) const { return top().writeCanGo(readable, writable); }
    bool holdsInput() const { return top().holdsInput(); }
    EndpointError failure() const;
    EndpointError handshakeTimedOut(int limitMs) const;

    // For a person to see: the TLS version its TLS stage agreed ("TLSv1.3"),
    // empty without one or before its handshake is done; and whether the
    // handshake under way is that stage's.
    QString tlsVersion() const;
    bool handshakingTls() const;

    void close();
    void reset();
    // Closes after the peer's FIN, when all it sent has been read: our end
    // goes with it (close_notify first through TLS, if there is room), so no
    // shutdown() is needed before the close.
    void closeAfterPeerFin();

private:
    StreamStage &stage(int i) { return i == 0 ? static_cast<StreamStage &>(m_socket) : *m_upper[i - 1]; }
    const StreamStage &stage(int i) const
    {
        return i == 0 ? static_cast<const StreamStage &>(m_socket) : *m_upper[i - 1];
    }
    StreamStage &top() { return stage(m_count - 1); }
    const StreamStage &top() const { return stage(m_count - 1); }
    // The stage whose handshake is under way, or the top one once all are done.
    const StreamStage &current() const { return stage(std::min(m_handshaken, m_count - 1)); }
    void link();
    void dropStages();

    SocketStage m_socket;
    std::unique_ptr<StreamStage> m_upper[MaxStages - 1];
    int m_count = 1;      // stages, the socket included
    int m_handshaken = 1; // stages whose handshake is done, from the bottom (the socket has none)
    bool m_finSent = false;
};

} // namespace pelk
