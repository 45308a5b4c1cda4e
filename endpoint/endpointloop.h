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

class AddressWatch;
class Connector;
class Endpoint;
class EndpointArray;
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

// When a connection's path counts as dead, as the kernel applies it to the
// socket: keepalive probes once the connection has been quiet for idleS, then
// every intervalS; probes, or sent data, left unanswered for unansweredMs
// end the connection with ETIMEDOUT (TCP_USER_TIMEOUT, which Linux then
// uses instead of a probe count). Probes carry no data, and the waiting is
// the kernel's: an idle connection costs the loop no timer and no wake-up.
struct KeepAlive
{
    int idleS;
    int intervalS;
    int unansweredMs;
};

// Sets keepalive on a TCP socket; a socket that refuses it keeps what it had.
void applyKeepAlive(int fd, const KeepAlive &keepAlive);

// What all endpoints of one relay share: the reactor, the read buffer, the
// TLS context, the sockets still being shut down after Close(), the alarms
// of the connects under way, where its listeners listen, and what ends a
// connection whose path has died.
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
    // A dead path, idle or with data unacknowledged, ends within 90 s.
    static constexpr KeepAlive DeadPathKeepAlive{60, 10, 90 * 1000};
    // After the computer resumes, one round of quick probes: a path that
    // died meanwhile ends within about 12 s, a live one answers at once.
    static constexpr KeepAlive ResumeKeepAlive{1, 3, 10 * 1000};
    static constexpr int ResumeRoundMs = 15 * 1000;
    // Once our FIN has gone, the peer must finish within this, or the
    // connection fails (HalfCloseTimeoutError).
    static constexpr int HalfCloseTimeoutMs = 60 * 1000;

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

    // The keepalive of every connection, and of the round after a resume;
    // tests shorten them. Applied to listeners (whose clients inherit it)
    // and to connections as they come up.
    void setKeepAlive(const KeepAlive &normal, const KeepAlive &resume, int resumeRoundMs);
    const KeepAlive &keepAlive() const { return m_keepAlive; }
    int halfCloseTimeoutMs() const { return m_halfCloseTimeoutMs; }
    void setHalfCloseTimeoutMs(int ms) { m_halfCloseTimeoutMs = ms; }

    // The computer has resumed from sleep: every connection of the loop is
    // probed at once (ResumeKeepAlive), so that one whose path died while
    // it slept fails soon; after the round the usual keepalive applies again.
    void probeConnections();

    // Ends, with AddressRemovedError, every connection that goes out from
    // address: the computer no longer has it, and nothing would ever come
    // back on them. The loop calls it when the system says so.
    void endConnectionsFrom(const QHostAddress &address);

    // Whether a connection to address and port would reach a socket that
    // listens through this loop: a relay pointed at itself would otherwise
    // relay each client back to itself without end.
    bool leadsToListener(const QHostAddress &address, quint16 port) const;

    // The same for a server reached through a proxy at proxyAddress: only a
    // proxy on this computer can lead back, to a host that names this
    // computer (an address of it, a localhost name, its host name, or a
    // name /etc/hosts gives one of its addresses). DNS is never asked: the
    // name is the proxy's to look up.
    bool proxyLeadsToListener(const QHostAddress &proxyAddress, const QString &host, quint16 port) const;

    // Arms an alarm for the connect limit from now, or for the linger limit
    // (every one of a kind the same length), or for a short delay;
    // re-arming moves it. Each kind's list is kept in order by adding at
    // the back.
    void armDeadline(LoopAlarm &alarm);
    void armLingerDeadline(LoopAlarm &alarm);
    void armHalfCloseDeadline(LoopAlarm &alarm);
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
    friend class EndpointArray;

    void addArray(EndpointArray *array) { m_arrays.push_back(array); }
    void removeArray(EndpointArray *array) { std::erase(m_arrays, array); }
    // Calls f for every endpoint of the loop's arrays whose socket is open.
    template <typename F> void forEachOpenEndpoint(F f);
    void endResumeRound();

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
    bool listensOnPort(quint16 port) const;
    bool isOwnAddress(const QHostAddress &address) const;
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
    int m_halfCloseTimeoutMs = HalfCloseTimeoutMs;
    KeepAlive m_keepAlive = DeadPathKeepAlive;
    KeepAlive m_resumeKeepAlive = ResumeKeepAlive;
    int m_resumeRoundMs = ResumeRoundMs;
    LoopAlarm m_resumeRound;
    std::vector<EndpointArray *> m_arrays;
    std::unique_ptr<AddressWatch> m_addressWatch; // null where rtnetlink cannot be had
    // Connect limits, linger limits, half-close limits and short delays; one
    // timer for the earliest of all.
    LoopAlarm::List m_deadlines;
    LoopAlarm::List m_lingerDeadlines;
    LoopAlarm::List m_halfCloseDeadlines;
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
