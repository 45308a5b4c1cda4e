#pragma once

#include "endpointloop.h"
#include "porttext.h"
#include "reactor.h"
#include "socketerrors.h"
#include "socketstream.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace pelk {

// State codes as the relay tests them: 0 closed, 7 connected; the others are
// neither.
enum class SocketState : int {
    Closed = 0,
    Open = 1,
    Listening = 2,
    ConnectionPending = 3,
    ResolvingHost = 4,
    HostResolved = 5,
    Connecting = 6,
    Connected = 7,
    Closing = 8, // the peer has sent FIN; we may still send
    Error = 9,
};

// One place that turns a state into words, for the window and for tests.
QString stateText(SocketState state);


class Connector;
class EndpointArray;
class ProxyHandshake;

// A TCP endpoint on a non-blocking native socket.
//
// Events are raised by the owning EndpointArray with this endpoint's Index,
// always from the event loop, never from inside one of the calls below.
//
// Receiving: when data arrives, DataArrival fires and GetData() inside the
// handler returns the chunk (read into a buffer shared by all endpoints; the
// view is valid until the handler returns). Data the handler does not take is
// kept and reading pauses until GetData() takes it. setReading(false) stops
// reading from the kernel, so TCP flow control holds the peer back.
//
// Sending: SendData() writes straight to the kernel when nothing is queued
// and queues only the rest; SendComplete fires when a non-empty queue has
// drained. BytesQueued() tells how much waits.
//
// Ending: the peer's FIN raises Close (State 8; sending still works); a reset
// or any other failure raises Error (State 9). ShutdownSend() sends our FIN
// once the queue is out; a peer that has not finished within the loop's
// half-close limit after that raises Error (HalfCloseTimeoutError). Close()
// is graceful: State reads 0 at once, queued data is still delivered and
// the socket is shut down in order in the background. Abort() resets the
// connection and drops the queue.
//
// Dead paths: every connection has the loop's keepalive (EndpointLoop::
// KeepAlive), so one whose peer stopped answering, idle or with data
// unacknowledged, raises Error with ETIMEDOUT; one whose local address the
// computer no longer has raises Error with AddressRemovedError.
//
// Proxy: when the loop has one (EndpointLoop::setProxy), Connect() reaches
// the proxy (its name looked up and raced as a server's would be) and asks
// it for the host and port, which are never looked up here (proxy.h). The
// TLS handshake follows once the proxy has said yes; Connect fires only then,
// and what the server sent right after the proxy's reply is the first
// DataArrival. Error then carries one of the Proxy*Error codes.
//
// TLS: Connect() to a port "+N" speaks TLS to port N (tls.h). Connect fires
// only once the handshake is done and the server's certificate accepted;
// until then nothing is sent. Error then carries CertificateError or
// TlsHandshakeError. After that the calls above work the same: data is
// plaintext to the owner, FIN is sent as close_notify and FIN, and the
// server's close_notify raises Close.
class Endpoint final : private ReadyHandler
{
public:
    // Codes for failures that have no errno.
    enum : int { BadPortError = -1, BadHostError = -2, HostNotFoundError = -3,
                 TimedOutError = -4, NotClosedError = -5, BadRequestError = -6,
                 CertificateError = -7, TlsHandshakeError = -8, TlsError = -9,
                 ConnectFailedError = -10, // the addresses of a name failed in different ways
                 SelfConnectError = -11, // the server is this loop's own listener
                 ProxyUnreachableError = -12, ProxyRefusedError = -13, ProxyLoginError = -14,
                 ProxyProtocolError = -15,
                 HalfCloseTimeoutError = -16, // the peer did not finish in time after our FIN
                 AddressRemovedError = -17 }; // the computer no longer has the connection's address

    // The whole Connect(), lookup, racing and TLS included, unless the loop
    // is given another limit.
    static constexpr int ConnectTimeoutMs = 30 * 1000;

    Endpoint(EndpointArray &array, int index);
    ~Endpoint();
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;

    int Index() const { return m_index; }
    SocketState State() const;

    // Free text kept for the owner; never touched by the endpoint.
    QString Tag;

    // Port for the next Listen(); after a successful Listen(), the port bound.
    int LocalPort() const { return m_localPort; }
    void setLocalPort(int port) { m_localPort = port; }

    // Where the next Listen() listens: this computer only (127.0.0.1 and
    // ::1, the default), every address, or the one address given.
    void setListenAddress(ListenScope scope, const QHostAddress &address = {});

    // Whether the next Listen() speaks TLS to its clients, with the loop's
    // server certificate (made afresh at each Listen() unless one is set).
    // An accepted client is Connected (State 7) at once, but nothing is read
    // from it or sent to it before its handshake is done: what is sent
    // meanwhile is queued. Connect fires on the accepted endpoint once the
    // handshake is done. A handshake that fails, or is not done within the
    // loop's connect limit, raises Error (TlsHandshakeError) and
    // handshaking() stays true until Close().
    void setListenTls(bool on) { m_listenTls = on; }
    bool listenTls() const { return m_listenTls; }

    // Port, address and TLS for the next Listen(), as a listen text typed
    // by a person names them (one that parsed without a problem).
    void setListenPlace(const ListenText &place)
    {
        setLocalPort(place.port.port);
        setListenAddress(place.scope, QHostAddress(place.address));
        setListenTls(place.port.tls);
    }
    bool handshaking() const { return m_c.handshaking; }

    // Listens on the port and addresses set. False (and lastError()) when
    // the port is out of range, or an address cannot be bound (not one of
    // this machine's, the port in use).
    bool Listen();

    // While listening: the addresses bound (an unspecified one stands for
    // every address of its family; "::" for both when dual-stack).
    QList<QHostAddress> listeningAddresses() const { return m_c.listenAddresses; }

    // Takes the connection offered by ConnectionRequest; only valid on a
    // closed endpoint, with the requestID of the request being handled.
    bool Accept(qintptr requestID);

    // Starts an outgoing connection and returns at once. host may be a name,
    // an IPv4 or an IPv6 literal (with or without brackets); port a decimal
    // text. False when either cannot be used; otherwise Connect or Error
    // fires later (Error also when the loop's connect limit runs out first).
    bool Connect(const QString &host, const QString &portText);

    void SendData(QByteArrayView chunk);
    QByteArrayView GetData();

    void ShutdownSend();
    void Close();
    void Abort();

    void setReading(bool on);
    bool isReading() const { return m_c.wantRead; }
    qsizetype BytesQueued() const { return m_c.queued(); }
    bool sendShutdown() const { return m_c.stream.finSent() || m_c.finPending; }
    bool peerFinished() const { return m_c.peerFin; }

    EndpointError lastError() const { return m_lastError; }

    // When the connect (or an accepted client's TLS handshake) under way
    // must be done by; nothing when none is under way.
    std::optional<std::chrono::steady_clock::time_point> connectDeadline() const
    {
        return m_deadline.due();
    }

    // The address and port of the remote side, as text ("" when closed); kept
    // from when the connection was made, so it is still known after a reset.
    QString remoteAddressText() const;

private:
    friend class EndpointArray;
    friend class EndpointLoop;

    // One connection's state (or one listener's), reset as a whole when the
    // endpoint closes, so that a reused element starts clean.
    struct Connection
    {
        SocketState state = SocketState::Closed;
        SocketStream stream;       // while connected, and during the TLS handshake
        sockaddr_storage peer{};   // the remote side, for error details
        int pendingErrno = 0;      // a failure waiting to be raised from the loop

        // Receiving.
        bool wantRead = true;
        bool peerFin = false;
        QByteArray unread;         // data a DataArrival handler left untaken
        QByteArray taken;          // keeps what GetData() returned outside a handler
        QByteArrayView current;    // the chunk being offered to DataArrival
        bool currentTaken = false;
        bool inArrival = false;
        bool heldReadQueued = false;
        bool handshaking = false;  // an accepted client's TLS handshake
        // Sending: bytes the kernel has not taken yet, from queueHead on, and
        // the FIN that follows them.
        QByteArray queue;
        qsizetype queueHead = 0;
        bool finPending = false;

        // Listening: the sockets (IPv4 beside IPv6 on loopback), where they
        // are bound, and the pause while descriptors run out.
        int listenFds[2] = {-1, -1};
        QList<QHostAddress> listenAddresses;
        bool acceptPaused = false;
        int acceptRetryMs = 0;

        bool isOpen() const { return state == SocketState::Connected || state == SocketState::Closing; }
        bool wantsRead() const { return wantRead && !peerFin && unread.isEmpty() && !handshaking; }
        qsizetype queued() const { return queue.size() - queueHead; }
    };

    // Listening (listener.cpp)
    int openListener(const QHostAddress &address, bool dualStack, int &err);
    int openListeners(int (&fds)[2]);
    void stopListening();
    void acceptPending(int listenFd);
    void pauseAccept(int code);
    void retryAccept(quint32 generation);
    bool clientWaiting() const;

    // The connection (endpoint.cpp)
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int, int err) override { watchFailed(err); }
    void receive();
    void flushQueue();
    void sendFin();
    void connected(int fd, const sockaddr_storage &peer);
    void continueTls();
    bool continueProxy();
    void connectFailed(const EndpointError &error);
    void fail(const EndpointError &error);
    void deadlinePassed();
    void addressRemoved();
    void raiseError(int code);
    void updateInterest();
    void watchFailed(int code);
    void readHeldInput();
    void dropConnector();
    bool connecting() const;
    void stopActivity();
    void resetConnection();
    bool canSend() const;
    bool isFree() const;
    bool refuseUnlessFree();

    EndpointArray &m_array;
    EndpointLoop &m_loop;
    const int m_index;

    Connection m_c;
    quint32 m_generation = 0; // bumped by Close(): callbacks of an earlier life stop there
    std::unique_ptr<Connector> m_connector; // the loop's, while Connect() looks up and connects
    std::unique_ptr<TlsSession> m_pendingTls; // for a "+N" connect, until the socket is up
    std::unique_ptr<ProxyHandshake> m_proxy;  // through a proxy: from Connect() until it said yes
    EndpointError m_lastError;

    // Where the next Listen() listens.
    int m_localPort = 0;
    ListenScope m_listenScope = ListenScope::Loopback;
    QHostAddress m_listenAddress; // for ListenScope::OneAddress
    bool m_listenTls = false;

    // The loop's limit on the connect or handshake under way, or on the
    // peer's FIN after ours.
    LoopAlarm m_deadline;
};

// An indexed, growing set of endpoints sharing one EndpointLoop, and the
// source of their events. Element 0 exists from construction; elements are
// created with Load() and never removed. Index is 16-bit signed, so the
// highest index is MaxIndex.
class EndpointArray : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxIndex = 32767;

    // Registers with the loop, which it must not outlive.
    explicit EndpointArray(EndpointLoop &loop, QObject *parent = nullptr);
    ~EndpointArray() override;

    Endpoint &operator()(int index) { return *m_items.at(index); }
    const Endpoint &operator()(int index) const { return *m_items.at(index); }
    int UBound() const { return int(m_items.size()) - 1; }

    // Creates the element at index UBound() + 1; false past MaxIndex.
    bool Load(int index);

    EndpointLoop &loop() { return m_loop; }

    // When set, Connect() on these endpoints refuses (SelfConnectError) a
    // host and port that lead to one of the loop's own listeners, as a relay
    // must; off by default, so that a loop may connect to itself on purpose.
    void setRefusingOwnListeners(bool on) { m_refusingOwnListeners = on; }
    bool refusingOwnListeners() const { return m_refusingOwnListeners; }

    // The data path's own receiver of DataArrival, called directly, before
    // the signal reaches any receiver connected to it: a forwarding step
    // then costs no trip through Qt's signal machinery.
    void setDataArrivalHandler(std::function<void(int Index, qint64 bytesTotal)> handler)
    {
        m_dataArrivalHandler = std::move(handler);
    }

signals:
    // Offered only while one descriptor more than the connection's own is
    // free, so that the handler can open one for it; otherwise the listener
    // pauses (AcceptPaused) and the client waits in the backlog.
    void ConnectionRequest(int Index, qintptr requestID);
    void DataArrival(int Index, qint64 bytesTotal);
    void Connect(int Index);         // connected; or an accepted client's TLS handshake is done
    void Close(int Index);           // the peer finished sending (FIN)
    void Error(int Index, int code, const QString &text, const QString &detail);
    void SendComplete(int Index);    // a non-empty send queue has drained
    void AcceptPaused(int Index, const QString &text); // out of descriptors
    void AcceptResumed(int Index);

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    friend class Endpoint;
    void dataArrived(int index, qint64 bytesTotal);

    EndpointLoop &m_loop;
    std::vector<std::unique_ptr<Endpoint>> m_items;
    bool m_refusingOwnListeners = false;
    std::function<void(int, qint64)> m_dataArrivalHandler;
    std::atomic<int> m_dataArrivalReceivers{0}; // connections of DataArrival, or more
};

} // namespace pelk
