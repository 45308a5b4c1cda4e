#pragma once

#include "streamstage.h"

namespace pelk {

// Closes fd with a reset: SO_LINGER 0, so that the peer sees RST at once and
// nothing is left behind in TIME_WAIT. The one place that asks for it.
void resetAndClose(int fd);

// The bottom of every stream: a connected non-blocking socket, read with
// recv() and written with send(MSG_NOSIGNAL) (the only place that calls
// them), its FIN sent with shutdown() (once: the Stream keeps count). It has
// no handshake. It owns the descriptor only as far as close() and reset()
// go: the Stream holding it decides when.
class SocketStage final : public StreamStage
{
public:
    SocketStage() = default;
    explicit SocketStage(int fd) : m_fd(fd) {}

    int fd() const { return m_fd; }

    Handshake handshake() override { return Handshake::Done; }
    ssize_t read(char *buffer, size_t size) override;
    ssize_t write(const char *data, size_t size) override;
    bool sendFin() override;
    unsigned interest(bool wantRead, bool wantWrite) const override;
    bool readCanGo(bool readable, bool) const override { return readable; }
    bool writeCanGo(bool, bool writable) const override { return writable; }
    bool holdsInput() const override { return false; }

    // Hands the descriptor over (-1 left behind), or takes one.
    int release();
    void take(int fd) { m_fd = fd; }

private:
    int m_fd = -1;
};

} // namespace pelk
