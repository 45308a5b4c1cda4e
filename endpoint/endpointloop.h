#pragma once

#include "alarmclock.h"
#include "keepalive.h"
#include "lingerer.h"
#include "ownlisteners.h"
#include "proxyurl.h"
#include "reactor.h"
#include "readbuffer.h"

#include <QHostAddress>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <vector>

namespace pelk {

class AddressWatch;
class Connector;
class TlsContext;

// An open connection of a loop, as the loop keeps it: its socket, probed
// when the computer resumes, and told when the computer no longer has the
// address it goes out from.
class LoopConnection
{
public:
    virtual int socket() const = 0;
    virtual void addressRemoved() = 0;

protected:
    ~LoopConnection() = default;

private:
    friend class EndpointLoop;
    LoopConnection *m_prevOpen = nullptr;
    LoopConnection *m_nextOpen = nullptr;
    bool m_open = false;
};

// What the connections of one relay share, and what ends them when nobody
// else would: the reactor, the read buffer, the alarms of their connects and
// limits, the sockets lingering after Close(), where their listeners
// listen, the TLS context and the proxy; and the keepalive that ends a
// connection whose path died, a probe round on resume, and the end of
// connections whose address the computer no longer has (rtnetlink).
//
// Timers run only while there is something to time: an idle loop has none.
class EndpointLoop : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype ReadBufferBytes = ReadBuffer::Bytes;
    // The whole Connect(), lookup, racing and handshakes included, unless
    // the loop is given another limit.
    static constexpr int ConnectTimeoutMs = 30 * 1000;
    // A dead path, idle or with data unacknowledged, ends within about 50 s;
    // data sent onto a path that had died already waits its own 50 s, so
    // the end comes at most about 100 s after the path died.
    static constexpr KeepAlive DeadPathKeepAlive{30, 10, 50 * 1000};
    // After the computer resumes, one round of quick probes: a path that
    // died meanwhile ends within about 12 s, a live one answers at once.
    static constexpr KeepAlive ResumeKeepAlive{1, 3, 10 * 1000};
    static constexpr int ResumeRoundMs = 15 * 1000;
    // Once our FIN has gone, a peer that sends nothing for this long, and
    // does not finish, is stuck: the connection fails (HalfCloseTimeoutError).
    static constexpr int HalfCloseTimeoutMs = 60 * 1000;

    enum class ReactorKind { Best, Portable };

    explicit EndpointLoop(ReactorKind kind = ReactorKind::Best, QObject *parent = nullptr);
    ~EndpointLoop() override;

    Reactor &reactor() { return *m_reactor; }
    AlarmClock &clock() { return m_clock; }
    ReadBuffer &readBuffer() { return m_readBuffer; }
    OwnListeners &ownListeners() { return m_ownListeners; }
    const OwnListeners &ownListeners() const { return m_ownListeners; }
    LingerSet &lingering() { return m_lingering; }
    // This computer's addresses as the loop knows them; null where rtnetlink
    // cannot be had.
    const AddressWatch *addressWatch() const { return m_addressWatch.get(); }

    void setLingerTimeoutMs(int ms) { m_lingering.setTimeoutMs(ms); }
    int lingeringCount() const { return m_lingering.count(); }

    // The TLS context of every endpoint of this loop, made on first use.
    TlsContext &tls();

    // The proxy every Connect() of this loop's endpoints goes through, from
    // the next Connect() on; none (the default) connects directly.
    void setProxy(const std::optional<ProxyUrl> &proxy);
    const ProxyUrl *proxy() const { return m_proxy.get(); }

    // The limit on one whole connect, from Connect() to its Connect event
    // (lookup, racing, proxy and TLS included). Tests shorten it.
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

    // Ends (LoopConnection::addressRemoved()) every connection that goes out
    // from one of the addresses gone, and resets every lingering socket that
    // does: the computer no longer has them, and nothing would ever come
    // back on them. The loop calls it when the system says so.
    void endConnectionsFrom(const QList<QHostAddress> &gone);

    // The open connections, kept by their endpoints.
    void addOpen(LoopConnection &connection);
    void removeOpen(LoopConnection &connection);

    // Arms an alarm for the connect limit from now, or for the half-close
    // limit (from the peer's last data); re-arming moves it.
    void armDeadline(LoopAlarm &alarm) { m_clock.arm(alarm, m_connectTimeoutMs, AlarmClock::ConnectLimit); }
    void armHalfCloseDeadline(LoopAlarm &alarm) { m_clock.arm(alarm, m_halfCloseTimeoutMs, AlarmClock::HalfCloseLimit); }
    void disarm(LoopAlarm &alarm) { m_clock.disarm(alarm); }

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
    // The address of the connection request being offered, null when none
    // is or its address is not known.
    QHostAddress offeredAddress() const;
    // Accept(): takes the connection being offered, once; *tls says whether
    // it speaks TLS, *peer is its address or null when not known.
    bool takeOffered(qintptr fd, bool *tls, const sockaddr_storage **peer);

private:
    void endResumeRound();
    void applyKeepAliveToAll(const KeepAlive &keepAlive);

    std::unique_ptr<Reactor> m_reactor;
    AlarmClock m_clock;
    ReadBuffer m_readBuffer;
    LingerSet m_lingering;
    OwnListeners m_ownListeners;
    std::unique_ptr<TlsContext> m_tls;
    std::shared_ptr<const ProxyUrl> m_proxy;

    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_halfCloseTimeoutMs = HalfCloseTimeoutMs;
    KeepAlive m_keepAlive = DeadPathKeepAlive;
    KeepAlive m_resumeKeepAlive = ResumeKeepAlive;
    int m_resumeRoundMs = ResumeRoundMs;
    LoopAlarm m_resumeRound;
    LoopConnection *m_firstOpen = nullptr;
    std::unique_ptr<AddressWatch> m_addressWatch; // null where rtnetlink cannot be had
    std::vector<std::unique_ptr<Connector>> m_spareConnectors;

    qintptr m_offered = -1; // the request being offered right now
    bool m_offeredTaken = false;
    bool m_offeredTls = false;
    const sockaddr_storage *m_offeredPeer = nullptr;
};

} // namespace pelk
