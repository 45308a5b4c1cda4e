#pragma once

#include "endpoint.h"
#include "reactor.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

namespace pelk {

// The connect path of one outgoing connection: the check of the host and port
// texts, the name lookup, the order of the addresses, the attempts on them,
// and the time limit over all of it.
//
// A name with several addresses is raced: the families take turns, starting
// with the family of the first address the resolver gave; the next attempt
// starts when the last one started fails, or after AttemptDelayMs without an
// answer, and the earlier ones keep running. The first to connect wins and
// every other is closed at once, with a reset if it has connected too.
//
// start() returns at once; later, always from the event loop, exactly one of
// onConnected (with the connected socket and its peer's address, still watched by the reactor, whose
// new owner takes it with Reactor::setHandler) or onFailed fires, and the
// connector is then done. cancel() stops it, closing any socket it holds, and
// nothing fires after it. A connector may be cancelled and dropped (with
// deleteLater()) from inside its own callbacks.
class Connector final : public QObject, private ReadyHandler
{
public:
    static constexpr int ConnectTimeoutMs = Endpoint::ConnectTimeoutMs;
    static constexpr int AttemptDelayMs = 250;

    explicit Connector(Reactor &reactor, QObject *parent = nullptr);
    ~Connector() override;

    // Reads a host text (a name, or an IPv4 or IPv6 literal with or without
    // brackets) and a port text ("+N": TLS to port N, then *tls is set);
    // false, with the reason in error, when either cannot be used.
    static bool readTarget(const QString &host, const QString &portText, QString &name,
                           quint16 &port, EndpointError &error, bool *tls = nullptr);

    // Connects to a host read by readTarget(): looks up a name, or uses a
    // literal address as it is.
    void start(const QString &name, quint16 port);

    // Connects to addresses already known (host names them in messages).
    void startWith(const QString &host, quint16 port, const QList<QHostAddress> &addresses);

    void cancel();

    // Both limits, for tests; set before start().
    void setTimings(int connectTimeoutMs, int attemptDelayMs);

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
        int code; // errno, or Endpoint::TimedOutError when it never answered
    };

    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void startNextAttempt();
    int startAttempt(const QHostAddress &address);
    void dropAttempt(std::size_t i, int code);
    void closeAttempts();
    void reserve(int family);
    void releaseReserve();
    int openSocket(int family);
    void failAll(bool timedOut);
    void fail(int code, const QString &detail);
    void finish();

    Reactor &m_reactor;

    // What to connect to: the addresses in the order they are tried.
    QString m_host;
    quint16 m_port = 0;
    QList<QHostAddress> m_addresses;
    qsizetype m_next = 0;

    // The attempts under way, and how the others ended, for the detail.
    std::vector<Attempt> m_attempts;
    std::vector<Outcome> m_outcomes;
    int m_reserve = -1;      // held from start() for the first attempt
    int m_reserveFamily = 0; // AF_INET or AF_INET6: m_reserve is that socket; else a stand-in

    // Where it stands, and its clocks.
    int m_lookupId = -1;
    bool m_cancelled = false;
    SocketState m_phase = SocketState::Closed;
    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_attemptDelayMs = AttemptDelayMs;
    QTimer m_deadline;
    QTimer m_attemptDelay;
};

} // namespace pelk
