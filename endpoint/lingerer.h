#pragma once

#include "endpointloop.h"
#include "reactor.h"
#include "socketstream.h"

#include <QByteArray>

namespace pelk {

// A socket after its endpoint's Close(): delivers what was still queued,
// sends FIN (close_notify first through TLS), then reads and discards until
// the peer's FIN before closing. Closing while the peer's data sits unread
// would make the kernel answer with a reset, and a reset can destroy data
// the peer has received but not yet read.
//
// Owned by the loop; an alarm of the loop resets it at the linger limit. It
// ends itself through EndpointLoop::finishLinger(), which deletes it.
class Lingerer final : public ReadyHandler
{
public:
    Lingerer(EndpointLoop &loop, SocketStream stream, QByteArray queued, bool peerFinished);
    ~Lingerer();

    int fd() const { return m_stream.fd(); }

    // Starts watching; false when the socket is already done with, or cannot
    // be watched (the caller then closes it without waiting).
    bool start();
    void finish(bool reset);

private:
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int, int) override { finish(true); }
    unsigned interest() const;
    bool advance();
    bool sendQueued();
    bool discardInput();

    EndpointLoop &m_loop;
    SocketStream m_stream;
    LoopAlarm m_deadline; // resets the socket when it fires
    QByteArray m_queue;
    qsizetype m_head = 0;
    bool m_peerFin;
};

} // namespace pelk
