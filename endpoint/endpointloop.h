#pragma once

#include "reactor.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>


namespace pelk {

class Connector;
class Endpoint;
class EndpointLoop;
class Lingerer;
struct ProxyUrl;
class SocketStream;
class TlsContext;

// A call the loop makes at a set time, for its owner (a connect's time limit,
// the delay before a connect's next attempt). Kept in one of the loop's lists
// through the alarms themselves, in the order they are due, with one timer
// for the earliest: arming one allocates nothing. The owner disarms it before
// it goes; it is disarmed when it fires.
class LoopAlarm
{
public:
    explicit LoopAlarm(std::function<void()> fire)
        : m_fire(std::move(fire))
    {
    }
    LoopAlarm(const LoopAlarm &) = delete;
    LoopAlarm &operator=(const LoopAlarm &) = delete;

    bool isArmed() const { return m_list != nullptr; }
    std::optional<std::chrono::steady_clock::time_point> due() const
    {
        return isArmed() ? std::optional(m_due) : std::nullopt;
    }

private:
    friend class EndpointLoop;
    struct List;

    std::function<void()> m_fire;
    std::chrono::steady_clock::time_point m_due;
    List *m_list = nullptr;
    LoopAlarm *m_prev = nullptr;
    LoopAlarm *m_next = nullptr;
};

struct LoopAlarm::List
{
    LoopAlarm *first = nullptr;
    LoopAlarm *last = nullptr;
};

// What all endpoints of one relay share: the reactor, the read buffer, the
// TLS context, the sockets still being shut down after Close(), the alarms
// of the connects under way, and where its listeners listen.
//
// Timers run only while there is something to time: an idle loop has none.
class EndpointLoop : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype ReadBufferBytes = 1024 * 1024;
    static constexpr int LingerTimeoutMs = 30 * 1000;
    static constexpr int AcceptRetryFirstMs = 50;
    static constexpr int AcceptRetryMaxMs = 1000;

    enum class ReactorKind { Best, Portable };

    explicit EndpointLoop(ReactorKind kind = ReactorKind::Best, QObject *parent = nullptr);
    ~EndpointLoop() override;

    Reactor &reactor() { return *m_reactor; }
    char *readBuffer() { return m_readBuffer.get(); }

    // Takes over a stream after its endpoint's Close() (see Lingerer): sends
    // what is still queued, then FIN, reads until the peer's FIN, then
    // closes. A socket that has not finished within the linger limit
    // (LingerTimeoutMs; tests shorten it) is reset.
    void linger(SocketStream stream, QByteArray queued, bool peerFinished);
    void setLingerTimeoutMs(int ms) { m_lingerTimeoutMs = ms; }
    int lingeringCount() const { return int(m_lingering.size()); }
    void finishLinger(int fd); // by its Lingerer, whose socket it was

    // The TLS context of every endpoint of this loop, made on first use.
    TlsContext &tls();

    // The proxy every Connect() of this loop's endpoints goes through, from
    // the next Connect() on; none (the default) connects directly.
    void setProxy(const std::optional<ProxyUrl> &proxy);
    const ProxyUrl *proxy() const { return m_proxy.get(); }

    // The limit on one whole connect, from Connect() to its Connect event
    // (lookup, racing and TLS included). Tests shorten it.
    int connectTimeoutMs() const { return m_connectTimeoutMs; }
    void setConnectTimeoutMs(int ms) { m_connectTimeoutMs = ms; }

    // Whether a connection to address and port would reach a socket that
    // listens through this loop: a relay pointed at itself would otherwise
    // relay each client back to itself without end.
    bool leadsToListener(const QHostAddress &address, quint16 port) const;

    // Arms an alarm for the connect limit from now, or for the linger limit
    // (every one of a kind the same length), or for a short delay;
    // re-arming moves it. Each kind's list is kept in order by adding at
    // the back.
    void armDeadline(LoopAlarm &alarm);
    void armLingerDeadline(LoopAlarm &alarm);
    void armSoon(LoopAlarm &alarm, int delayMs);
    void disarm(LoopAlarm &alarm);

    // Connectors for Endpoint::Connect(), kept for reuse once done, so that a
    // connect allocates none and an idle endpoint holds none.
    std::unique_ptr<Connector> takeConnector();
    void returnConnector(std::unique_ptr<Connector> connector);

    // Offers fd as the connection request being handled while handle() runs
    // (a listener's ConnectionRequest, or a test's stand-in for one); true
    // when an endpoint's Accept() took it, else the caller still owns fd.
    // tls: the client speaks TLS to this side first; peer: its address, when
    // accept() gave it.
    bool offerConnection(qintptr fd, const std::function<void()> &handle, bool tls = false,
                         const sockaddr_storage *peer = nullptr);

private:
    friend class Endpoint;

    // Accept(): takes the connection being offered, once; *tls says whether
    // it speaks TLS, *peer is its address or null when not known.
    bool takeOffered(qintptr fd, bool *tls, const sockaddr_storage **peer);

    struct Listening
    {
        const Endpoint *owner;
        QHostAddress address;
        quint16 port;
        bool dualStack;
    };
    void addListener(const Endpoint &listener, bool dualStack);
    void removeListener(const Endpoint &listener);

    void arm(LoopAlarm::List &list, LoopAlarm &alarm, int delayMs);
    LoopAlarm *firstAlarm() const;
    void expireAlarms();
    void scheduleAlarms();
    void timerEvent(QTimerEvent *event) override;

    std::unique_ptr<Reactor> m_reactor;
    std::unique_ptr<char[]> m_readBuffer;
    std::unordered_map<int, std::unique_ptr<Lingerer>> m_lingering;
    std::unique_ptr<TlsContext> m_tls; // goes before the reactor it uses
    std::shared_ptr<const ProxyUrl> m_proxy;

    int m_connectTimeoutMs;
    int m_lingerTimeoutMs = LingerTimeoutMs;
    // Connect limits, linger limits and short delays; one timer for the
    // earliest of all.
    LoopAlarm::List m_deadlines;
    LoopAlarm::List m_lingerDeadlines;
    LoopAlarm::List m_soon;
    QBasicTimer m_alarmTimer;
    std::chrono::steady_clock::time_point m_alarmTimerDue;

    std::vector<std::unique_ptr<Connector>> m_spareConnectors;
    std::vector<Listening> m_listening;
    QList<QHostAddress> m_ownAddresses; // this machine's, as of the last Listen() on every address

    qintptr m_offered = -1; // the request being offered right now
    bool m_offeredTaken = false;
    bool m_offeredTls = false;
    const sockaddr_storage *m_offeredPeer = nullptr;
};

} // namespace pelk
