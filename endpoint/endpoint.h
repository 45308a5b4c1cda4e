#pragma once

#include "endpointloop.h"
#include "listener.h"
#include "porttext.h"
#include "reactor.h"
#include "sendqueue.h"
#include "socketerrors.h"
#include "socketstate.h"
#include "stream.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <sys/socket.h>

namespace pelk {

class Connector;

// Where an endpoint's events go (its EndpointArray), each with the
// endpoint's index; always raised from the event loop, never from inside
// one of the endpoint's calls.
class EndpointEvents
{
public:
    virtual void connectionRequest(int index, qintptr requestID) = 0;
    virtual void dataArrived(int index, qint64 bytesTotal) = 0;
    virtual void connected(int index) = 0;
    virtual void peerFinished(int index) = 0;
    virtual void failed(int index, const EndpointError &error) = 0;
    virtual void sendComplete(int index) = 0;
    virtual void acceptPaused(int index, const QString &text) = 0;
    virtual void acceptResumed(int index) = 0;
    // Whether Connect() must refuse a server that is one of the loop's own
    // listeners (SelfConnectError), as a relay must.
    virtual bool refusingOwnListeners() const = 0;

protected:
    ~EndpointEvents() = default;
};

// A TCP endpoint: one connection's life, on a Stream (the socket and the
// proxy and TLS stages it needs), or a listener.
//
// Receiving: when data arrives, DataArrival fires and GetData() inside the
// handler returns the chunk (read into the loop's read buffer; the view is
// valid until the handler returns). Data the handler does not take is kept
// and reading pauses until GetData() takes it. setReading(false) stops
// reading from the kernel, so TCP flow control holds the peer back.
//
// Sending: SendData() writes straight to the stream when nothing is queued
// and queues only the rest (a large rest of a chunk read by this loop by
// sharing the read buffer, without a copy); SendComplete fires when a
// non-empty queue has drained. BytesQueued() tells how much waits.
//
// Ending: the peer's FIN raises Close (State 8; sending still works); a reset
// or any other failure raises Error (State 9). ShutdownSend() sends our FIN
// once the queue is out; after that, a peer that sends nothing for the
// loop's half-close limit while we are ready to read, and does not finish
// either, raises Error (HalfCloseTimeoutError). Close()
// is graceful: State reads 0 at once, queued data is still delivered and
// the socket is shut down in order in the background (LingerSet). Abort()
// resets the connection and drops the queue.
//
// Dead paths: every connection has the loop's keepalive, so one whose peer
// stopped answering, idle or with data unacknowledged, raises Error with
// ETIMEDOUT; one whose local address the computer no longer has raises
// Error with AddressRemovedError.
//
// Proxy: when the loop has one (EndpointLoop::setProxy), Connect() reaches
// the proxy (its name looked up and raced as a server's would be) and its
// stream gets a proxy stage that asks for the host and port, which are never
// looked up here (proxystage.h). A proxy on this computer asked for the
// loop's own listener is refused (SelfConnectError). Error then carries one
// of the Proxy*Error codes.
//
// TLS: Connect() to a port "+N" speaks TLS to port N, through the proxy if
// any (tlsstage.h). Connect fires only once every stage's handshake is done
// and the server's certificate accepted; until then nothing is sent. Error
// then carries CertificateError or TlsHandshakeError. After that the calls
// above work the same: data is plaintext to the owner, FIN is sent as
// close_notify and FIN, and the server's close_notify raises Close.
class Endpoint final : private ReadyHandler, private LoopConnection
{
public:
    // The whole Connect(), lookup, racing and handshakes included, unless
    // the loop is given another limit.
    static constexpr int ConnectTimeoutMs = EndpointLoop::ConnectTimeoutMs;
    // The codes of errors (socketerrors.h), as Endpoint::TlsError and so on.
    using enum ErrorCode;

    Endpoint(EndpointLoop &loop, EndpointEvents &events, int index);
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
    void setListenAddress(ListenScope scope, const QHostAddress &address = {})
    {
        m_listenScope = scope;
        m_listenAddress = address;
    }

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

    // The TLS version agreed with the peer ("TLSv1.3"), empty without TLS or
    // until its handshake is done; and whether a TLS handshake is under way
    // (an accepted client's, or a server's after any proxy's step).
    QString tlsVersion() const { return m_c.stream.tlsVersion(); }
    bool tlsHandshaking() const
    {
        return (m_c.handshaking || m_c.state == SocketState::Connecting) && m_c.stream.handshakingTls();
    }

    // Listens on the port and addresses set. False (and lastError()) when
    // the port is out of range, or an address cannot be bound (not one of
    // this machine's, the port in use).
    bool Listen();

    // While listening: the addresses bound (an unspecified one stands for
    // every address of its family; "::" for both when dual-stack).
    QList<QHostAddress> listeningAddresses() const
    {
        return m_listener ? m_listener->addresses() : QList<QHostAddress>();
    }

    // Takes the connection offered by ConnectionRequest; only valid on a
    // closed endpoint, with the requestID of the request being handled.
    bool Accept(qintptr requestID);

    // Starts an outgoing connection and returns at once. host may be a name,
    // an IPv4 or an IPv6 literal (with or without brackets); port a decimal
    // text, "+N" for TLS. False when either cannot be used; otherwise
    // Connect or Error fires later (Error also when the loop's connect
    // limit runs out first).
    bool Connect(const QString &host, const QString &portText);

    void SendData(QByteArrayView chunk);
    QByteArrayView GetData();

    void ShutdownSend();
    void Close();
    void Abort();

    void setReading(bool on);
    bool isReading() const { return m_c.wantRead; }
    qsizetype BytesQueued() const { return m_c.queue.size(); }
    bool sendShutdown() const { return m_c.stream.finSent() || m_c.finPending; }
    bool peerFinished() const { return m_c.peerFin; }

    EndpointError lastError() const { return m_lastError; }

    // When the connect (or an accepted client's TLS handshake) under way
    // must be done by, or, after our FIN, when a peer that stays quiet is
    // given up; nothing when none is under way.
    std::optional<std::chrono::steady_clock::time_point> connectDeadline() const { return m_deadline.due(); }

    // The address and port of the remote side, as text ("" when closed); kept
    // from when the connection was made, so it is still known after a reset.
    QString remoteAddressText() const;
    // The same address alone, as plainAddress() gives it (null when closed).
    QHostAddress remoteAddress() const;

private:
    // One connection's state, reset as a whole when the endpoint closes, so
    // that a reused element starts clean.
    struct Connection
    {
        SocketState state = SocketState::Closed;
        Stream stream;             // once connected, and during the handshakes
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
        // Sending: what the stream has not taken yet, and the FIN after it.
        SendQueue queue;
        bool finPending = false;

        bool isOpen() const { return state == SocketState::Connected || state == SocketState::Closing; }
        bool wantsRead() const { return wantRead && !peerFin && unread.isEmpty() && !handshaking; }
    };

    // ReadyHandler and LoopConnection
    void onReady(int fd, bool readable, bool writable, bool failed) override;
    void onWatchFailed(int, int err) override { watchFailed(err); }
    int socket() const override { return m_c.stream.fd(); }
    void addressRemoved() override;

    void receive();
    void flushQueue();
    void sendFin();
    void connected(int fd, const sockaddr_storage &peer);
    void continueHandshake();
    void handshakeDone();
    void connectFailed(const EndpointError &error);
    void fail(const EndpointError &error);
    void deadlinePassed();
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
    bool awaitingPeerFin() const;
    void armQuietLimit();
    bool refuseUnlessFree();
    bool acceptRequest(int fd, const sockaddr_storage &peer);

    EndpointLoop &m_loop;
    EndpointEvents &m_events;
    const int m_index;

    Connection m_c;
    quint32 m_generation = 0; // bumped by Close(): callbacks of an earlier life stop there
    std::unique_ptr<Connector> m_connector; // the loop's, while Connect() looks up and connects
    std::unique_ptr<Listener> m_listener;   // while listening
    // The server asked for, until the stream is up: its host and port, and
    // whether TLS is spoken to it.
    QString m_targetHost;
    quint16 m_targetPort = 0;
    bool m_targetTls = false;
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

} // namespace pelk
