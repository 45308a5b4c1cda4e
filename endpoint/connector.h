#pragma once

#include "alarmclock.h"
#include "reactor.h"
#include "socketerrors.h"
#include "socketstate.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace pelk {

// The connect path of one outgoing connection: the name lookup, the order of
// the addresses and the attempts on them. The time limit over all of it is
// its owner's, who calls timeOut() when it runs out.
//
// A name with several addresses is raced: the families take turns, starting
// with the family of the first address the resolver gave; the next attempt
// starts when the last one started fails, or after AttemptDelayMs without an
// answer, and the earlier ones keep running. The first to connect wins and
// every other is closed at once, with a reset if it has connected too.
//
// start() returns at once, the first attempt on a known address already
// under way; later, always from the event loop, exactly one of onConnected
// (with the connected socket and its peer's address, still watched by the
// reactor, whose new owner takes it with Reactor::setHandler) or onFailed
// fires, and the connector is then done. cancel() stops it, closing any
// socket it holds, and nothing fires after it. A connector may be cancelled,
// and started again, from inside its own callbacks; it is reused from one
// connect to the next, and its delays are the loop's alarms, so that a
// connect to a known address allocates nothing of its own.
class Connector final : private ReadyHandler
{
public:
    static constexpr int AttemptDelayMs = 250;

    Connector(Reactor &reactor, AlarmClock &clock);
    ~Connector();
    Connector(const Connector &) = delete;
    Connector &operator=(const Connector &) = delete;

    // Connects to a host as parseServerTarget() gives it: looks up a name,
    // or uses a literal address as it is.
    void start(const QString &name, quint16 port);

    // Connects to addresses already known (host names them in messages).
    void startWith(const QString &host, quint16 port, const QList<QHostAddress> &addresses);

    void cancel();

    // The failure of a connect to host and port that leads back to the
    // caller's own listener, in words a person can act on.
    static EndpointError selfConnectError(const QString &host, quint16 port);

    // The owner's time limit ran out (limit: its length in seconds, for the
    // message): fails with TimedOutError and what each address did.
    void timeOut(const QString &limit);

    // For tests; set before start().
    void setAttemptDelay(int attemptDelayMs) { m_attemptDelayMs = attemptDelayMs; }

    // From start() until it has connected, failed or been cancelled.
    bool isRunning() const { return !m_done; }

    // ResolvingHost, HostResolved or Connecting while running.
    SocketState phase() const { return m_phase; }

    // Asked before each attempt: true when the address and port lead back to
    // the caller's own listener, and the attempt fails with SelfConnectError
    // without connecting. Unset: every address is tried.
    std::function<bool(const QHostAddress &address, quint16 port)> leadsBack;

    std::function<void(int fd, const sockaddr_storage &peer)> onConnected;
    std::function<void(const EndpointError &error)> onFailed;

private:
    struct Attempt
    {
        int fd;
        QHostAddress address;
    };
    struct Outcome
    {
        QHostAddress address;
        int code; // errno, or TimedOutError when it never answered
    };

    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int fd, int err) override;
    void begin(const QString &host, quint16 port);
    void onAlarm();
    void startNextAttempt();
    int startAttempt(const QHostAddress &address);
    void dropAttempt(std::size_t i, int code);
    void closeAttempts();
    void reserve();
    void releaseReserve();
    int openSocket(int family);
    void failAll(const QString &timeLimit);
    void fail(int code, const QString &detail);
    void finish();

    Reactor &m_reactor;
    AlarmClock &m_clock;

    // What to connect to: the addresses in the order they are tried.
    QString m_host;
    quint16 m_port = 0;
    QList<QHostAddress> m_addresses;
    qsizetype m_next = 0;

    // The attempts under way, and how the others ended, for the detail.
    std::vector<Attempt> m_attempts;
    std::vector<Outcome> m_outcomes;
    int m_reserve = -1; // held during the lookup for the first attempt

    // Where it stands, and the delay between attempts; inside start(), a
    // failure waits for the alarm to be raised from the loop.
    int m_lookupId = -1;
    std::unique_ptr<QObject> m_lookupContext; // only while a name is looked up
    bool m_done = true; // connected, failed or cancelled: nothing of it runs any more
    bool m_starting = false;
    SocketState m_phase = SocketState::Closed;
    int m_attemptDelayMs = AttemptDelayMs;
    LoopAlarm m_alarm;
    int m_failCode = 0; // a failure found in start(), raised by the alarm
    QString m_failDetail;
};

} // namespace pelk
