#pragma once

#include "porttext.h"
#include "reactor.h"
#include "socketerrors.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;

#include <memory>
#include <optional>
#include <sys/types.h>
#include <sys/socket.h>
#include <unordered_map>
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

struct EndpointError
{
    int code = 0;        // errno, or one of the Endpoint::*Error codes
    QString text;        // short phrase
    QString detail;      // the full reason, for a tooltip
};

class Connector;
class EndpointArray;
class EndpointLoop;
class ProxyHandshake;
struct ProxyUrl;
class TlsContext;
class TlsSession;

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
// once the queue is out. Close() is graceful: State reads 0 at once, queued
// data is still delivered and the socket is shut down in order in the
// background. Abort() resets the connection and drops the queue.
//
// TLS: Connect() to a port "+N" speaks TLS to port N (tls.h). Connect fires
// only once the handshake is done and the server's certificate accepted;
// until then nothing is sent. Error then carries CertificateError or
// TlsHandshakeError. After that the calls above work the same: data is
// plaintext to the owner, FIN is sent as close_notify and FIN, and the
// server's close_notify raises Close.
//
// Proxy: when the loop has one (EndpointLoop::setProxy), Connect() reaches
// the proxy (its name looked up and raced as a server's would be) and asks
// it for the host and port, which are never looked up here (proxy.h). The
// TLS handshake follows once the proxy has said yes; Connect fires only then,
// and what the server sent right after the proxy's reply is the first
// DataArrival. Error then carries one of the Proxy*Error codes.
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
                 ProxyProtocolError = -15 };

    static constexpr int ConnectTimeoutMs = 30 * 1000; // the whole Connect(), lookup included

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

    // Listens on the port and addresses set. False (and lastError()) when
    // the port is out of range, or an address cannot be bound (not one of
    // this machine's, the port in use).
    bool Listen();

    // While listening: the addresses bound (an unspecified one stands for
    // every address of its family; "::" for both when dual-stack).
    QList<QHostAddress> listeningAddresses() const { return m_listenAddresses; }

    // Takes the connection offered by ConnectionRequest; only valid on a
    // closed endpoint, with the requestID of the request being handled.
    bool Accept(qintptr requestID);

    // Starts an outgoing connection and returns at once. host may be a name,
    // an IPv4 or an IPv6 literal (with or without brackets); port a decimal
    // text. False when either cannot be used; otherwise Connect or Error
    // fires later (Error also after ConnectTimeoutMs without an answer).
    bool Connect(const QString &host, const QString &portText);

    void SendData(QByteArrayView chunk);
    QByteArrayView GetData();

    void ShutdownSend();
    void Close();
    void Abort();

    void setReading(bool on);
    bool isReading() const { return m_wantRead; }
    qsizetype BytesQueued() const { return m_queue.size() - m_queueHead; }
    bool sendShutdown() const { return m_shutdownSent || m_shutdownPending; }
    bool peerFinished() const { return m_peerFin; }

    EndpointError lastError() const { return m_lastError; }

    // The address and port of the remote side, as text ("" when closed); kept
    // from when the connection was made, so it is still known after a reset.
    QString remoteAddressText() const;

private:
    friend class EndpointArray;
    friend class EndpointLoop;

    // Listening (listener.cpp)
    int openListener(const QHostAddress &address, bool dualStack, int &err);
    void stopListening();
    void acceptPending(int listenFd);
    void pauseAccept(int code);
    void retryAccept(quint32 generation);
    bool clientWaiting() const;

    // The connection (endpoint.cpp)
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void receive();
    void flushQueue();
    void connected(int fd, const sockaddr_storage &peer);
    void connectFailed(const EndpointError &error);
    void raiseError(int code);
    void updateInterest();
    void watchFailed(int code);
    void dropConnector();
    void resetForClose();
    bool canSend() const;
    bool isFree() const;

    // The socket's byte stream, plain or through TLS, as recv()/send() and
    // shutdown(SHUT_WR) see it.
    ssize_t readSome(char *buffer, size_t size);
    ssize_t writeSome(const char *data, size_t size);
    void sendFin();
    void continueTls();
    bool continueProxy();
    void tlsFailed(const EndpointError &error);
    void readHeldTls();

    EndpointArray &m_array;
    EndpointLoop &m_loop;
    const int m_index;

    // The connection: its socket, its state, and what reads from it.
    int m_fd = -1;
    SocketState m_state = SocketState::Closed;
    quint32 m_generation = 0; // bumped by Close(): callbacks of an earlier life stop there
    std::unique_ptr<Connector> m_connector; // while Connect() is under way
    bool m_wantRead = true;
    bool m_peerFin = false;
    QByteArray m_unread;      // data a DataArrival handler left untaken
    QByteArray m_taken;       // keeps what GetData() returned outside a handler
    QByteArrayView m_current; // the chunk being offered to DataArrival
    bool m_currentTaken = false;
    bool m_inArrival = false;

    // The send queue, and the FIN that follows it.
    QByteArray m_queue;       // bytes the kernel has not taken yet, from m_queueHead on
    qsizetype m_queueHead = 0;
    bool m_shutdownPending = false;
    bool m_shutdownSent = false;

    // Listening: where, the second socket (IPv4 beside IPv6 on loopback),
    // and the pause while descriptors run out.
    int m_localPort = 0;
    ListenScope m_listenScope = ListenScope::Loopback;
    QHostAddress m_listenAddress;            // for ListenScope::OneAddress
    QList<QHostAddress> m_listenAddresses;   // bound, while listening
    int m_secondListenFd = -1;
    bool m_acceptPaused = false;
    int m_acceptRetryMs = 0;

    // Reporting: a failure waiting to be raised from the loop, and the last one.
    int m_pendingErrno = 0;
    EndpointError m_lastError;
    sockaddr_storage m_peer{}; // the remote side, for error details

    std::unique_ptr<TlsSession> m_tls; // for a "+N" connection, from Connect() on
    std::unique_ptr<ProxyHandshake> m_proxy; // through a proxy: from Connect() until it said yes
    QDeadlineTimer m_connectDeadline;         // the whole Connect(), proxy and handshake included
    bool m_tlsReadQueued = false;
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

signals:
    // Offered only while one descriptor more than the connection's own is
    // free, so that the handler can open one for it; otherwise the listener
    // pauses (AcceptPaused) and the client waits in the backlog.
    void ConnectionRequest(int Index, qintptr requestID);
    void DataArrival(int Index, qint64 bytesTotal);
    void Connect(int Index);
    void Close(int Index);           // the peer finished sending (FIN)
    void Error(int Index, int code, const QString &text, const QString &detail);
    void SendComplete(int Index);    // a non-empty send queue has drained
    void AcceptPaused(int Index, const QString &text); // out of descriptors
    void AcceptResumed(int Index);

private:
    EndpointLoop &m_loop;
    std::vector<std::unique_ptr<Endpoint>> m_items;
    bool m_refusingOwnListeners = false;
};

// What all endpoints of one relay share: the reactor, the read buffer, and
// the sockets still being shut down after Close().
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

    // Takes over a socket after Close(), with its TLS session if it has one:
    // sends what is still queued, sends FIN (close_notify first through TLS),
    // reads and discards until the peer's FIN, then closes. A socket that has
    // not finished within LingerTimeoutMs is reset.
    void linger(int fd, std::unique_ptr<TlsSession> tls, QByteArray queued, bool peerFinished,
                bool finSent);
    int lingeringCount() const { return int(m_lingering.size()); }

    // The TLS context of every endpoint of this loop, made on first use.
    TlsContext &tls();

    // The proxy every Connect() of this loop's endpoints goes through, from
    // the next Connect() on; none (the default) connects directly.
    void setProxy(const std::optional<ProxyUrl> &proxy);
    const ProxyUrl *proxy() const { return m_proxy.get(); }

    // Whether a connection to address and port would reach a socket that
    // listens through this loop: a relay pointed at itself would otherwise
    // relay each client back to itself without end.
    bool leadsToListener(const QHostAddress &address, quint16 port) const;

    // The request being offered by a ConnectionRequest right now (-1: none).
    qintptr offeredRequest = -1;
    bool offeredTaken = false;

private:
    friend class Endpoint;
    class Lingerer;
    void finishLinger(int fd, bool reset);
    void addListener(const Endpoint *listener);
    void removeListener(const Endpoint *listener);

    struct Listening
    {
        const Endpoint *owner;
        QHostAddress address;
        quint16 port;
        bool dualStack;
    };
    std::vector<Listening> m_listening;
    QList<QHostAddress> m_ownAddresses; // this machine's, as of the last Listen() on every address
    void sweep();

    std::unique_ptr<Reactor> m_reactor;
    std::unique_ptr<QTimer> m_sweepTimer;
    std::unique_ptr<char[]> m_readBuffer;
    std::unordered_map<int, std::unique_ptr<Lingerer>> m_lingering;
    std::unique_ptr<TlsContext> m_tls; // goes before the reactor it uses
    std::shared_ptr<const ProxyUrl> m_proxy;
};

} // namespace pelk
