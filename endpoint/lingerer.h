#pragma once

#include "alarmclock.h"
#include "reactor.h"
#include "readbuffer.h"
#include "sendqueue.h"
#include "stream.h"

#include <memory>
#include <unordered_map>

namespace pelk {

class LingerSet;

// A socket after its endpoint's Close(): delivers what was still queued,
// sends FIN (close_notify first through TLS), then reads and discards until
// the peer's FIN before closing. Closing while the peer's data sits unread
// would make the kernel answer with a reset, and a reset can destroy data
// the peer has received but not yet read.
//
// Owned by its LingerSet; its alarm resets it at the set's limit. It ends
// itself through LingerSet::finish(), which deletes it.
class Lingerer final : public ReadyHandler
{
public:
    Lingerer(LingerSet &set, Stream stream, SendQueue queued, bool peerFinished);
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
    bool discardInput();

    LingerSet &m_set;
    Stream m_stream;
    LoopAlarm m_deadline; // resets the socket when it fires
    SendQueue m_queue;
    bool m_peerFin;
};

// The sockets of one loop lingering after their endpoints' Close().
class LingerSet
{
public:
    static constexpr int TimeoutMs = 30 * 1000;

    LingerSet(Reactor &reactor, AlarmClock &clock, ReadBuffer &discard);
    ~LingerSet();
    LingerSet(const LingerSet &) = delete;
    LingerSet &operator=(const LingerSet &) = delete;

    // Takes over a stream (unwatched by its endpoint) with what was still
    // queued for it. A socket that has not finished within the limit
    // (timeoutMs(); tests shorten it) is reset.
    void linger(Stream stream, SendQueue queued, bool peerFinished);
    int count() const { return int(m_lingering.size()); }
    int timeoutMs() const { return m_timeoutMs; }
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }

    // Calls f(fd) for each lingering socket.
    template <typename F> void forEach(F f) const
    {
        for (const auto &[fd, lingerer] : m_lingering)
            f(fd);
    }
    // Ends the one on fd at once, with a reset.
    void reset(int fd);

private:
    friend class Lingerer;
    void finish(int fd); // by its Lingerer, whose socket it was; deletes it

    Reactor &m_reactor;
    AlarmClock &m_clock;
    ReadBuffer &m_discard;
    int m_timeoutMs;
    std::unordered_map<int, std::unique_ptr<Lingerer>> m_lingering;
};

} // namespace pelk
