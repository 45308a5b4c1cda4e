#pragma once

#include "alarmclock.h"
#include "keepalive.h"
#include "ownlisteners.h"
#include "porttext.h"
#include "reactor.h"
#include "socketerrors.h"

#include <QHostAddress>
#include <QList>

#include <functional>
#include <sys/socket.h>

namespace pelk {

// The listening sockets of one listening endpoint: one, or IPv6 beside IPv4
// on loopback, bound to a port, with TCP_NODELAY and the loop's keepalive
// for the clients to inherit. Accepts in bounded batches and offers each
// client to onRequest, which takes it (true) or leaves it to be closed.
//
// A client is taken from the backlog only while one descriptor more than
// its own is free (for a relayed client's upstream); else the listener
// pauses (onPaused, with the phrase for the reason) and looks again after a
// growing pause, and onResumed says when accepting goes on. A client reset
// while it waited in the backlog is closed, never offered.
class Listener final : private ReadyHandler
{
public:
    static constexpr int RetryFirstMs = 50;
    static constexpr int RetryMaxMs = 1000;
    static constexpr int MaxAcceptsPerWakeup = 64;

    Listener(Reactor &reactor, AlarmClock &clock, OwnListeners &own);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Listens on port (0: the system chooses one) at the scope's addresses;
    // false with *error when the port or an address cannot be had.
    bool open(ListenScope scope, const QHostAddress &address, int port, const KeepAlive &keepAlive,
              EndpointError *error);

    int port() const { return m_port; }
    QList<QHostAddress> addresses() const { return m_addresses; }

    std::function<bool(int fd, const sockaddr_storage &peer)> onRequest;
    std::function<void(const QString &text)> onPaused;
    std::function<void()> onResumed;

private:
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int, int err) override;
    int openSocket(const QHostAddress &address, bool dualStack, const KeepAlive &keepAlive, int &err);
    int openSockets(ListenScope scope, const QHostAddress &address, const KeepAlive &keepAlive);
    void acceptPending(int listenFd);
    void acceptBatch(int listenFd, const bool &alive);
    bool clientWaiting() const;
    bool paused() const { return m_retryMs != 0; }
    void pause(int code);
    void retry();
    int setWatching(bool on);

    Reactor &m_reactor;
    AlarmClock &m_clock;
    OwnListeners &m_own;
    int m_fds[2] = {-1, -1};
    int m_port = 0;
    QList<QHostAddress> m_addresses;
    int m_retryMs = 0; // the pause before the next look; 0 while not paused
    LoopAlarm m_retry;
    bool *m_alive = nullptr; // while a handler runs: set false if it destroys the listener
};

} // namespace pelk
