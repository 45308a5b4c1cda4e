#include "endpoint.h"
#include "connector.h"
#include "proxystage.h"
#include "socketcalls.h"
#include "tlscontext.h"
#include "tlsstage.h"

#include <QHostAddress>

#include <utility>

namespace pelk {

Endpoint::Endpoint(EndpointLoop &loop, EndpointEvents &events, int index)
    : m_loop(loop)
    , m_events(events)
    , m_index(index)
    , m_deadline([this] { deadlinePassed(); })
{
}

Endpoint::~Endpoint()
{
    m_loop.disarm(m_deadline);
    m_connector.reset();
    m_listener.reset();
    m_loop.removeOpen(*this);
    if (m_c.stream.isOpen())
        m_loop.reactor().forget(m_c.stream.fd()); // closed with m_c
}

bool Endpoint::canSend() const
{
    return m_c.isOpen() && !m_c.finPending && !m_c.stream.finSent();
}

bool Endpoint::isFree() const
{
    return m_c.state == SocketState::Closed && !m_c.stream.isOpen() && !connecting();
}

// False, with the error set, when the endpoint is in use.
bool Endpoint::refuseUnlessFree()
{
    if (isFree())
        return false;
    m_lastError = failureOf(NotClosedError, m_c.state == SocketState::Listening
                                                ? QStringLiteral("The listening socket is already open.")
                                                : QStringLiteral("Endpoint %1 is not closed.").arg(m_index));
    return true;
}

SocketState Endpoint::State() const
{
    return connecting() ? m_connector->phase() : m_c.state;
}

// ---------------------------------------------------------------------------
// Listening and accepting

bool Endpoint::Listen()
{
    if (refuseUnlessFree())
        return false;
    if (m_localPort < 0 || m_localPort > 65535) {
        m_lastError = {BadPortError, portProblemText(PortText::OutOfRange),
                       QStringLiteral("Port %1 is outside 0-65535.").arg(m_localPort)};
        return false;
    }
    const QHostAddress oneAddress = m_listenScope == ListenScope::OneAddress ? m_listenAddress : QHostAddress();
    if (QString why; m_listenTls && !m_loop.tls().prepareServer(oneAddress, &why)) {
        m_lastError = failureOf(TlsError, why);
        return false;
    }
    auto listener = std::make_unique<Listener>(m_loop.reactor(), m_loop.clock(), m_loop.ownListeners());
    if (!listener->open(m_listenScope, m_listenAddress, m_localPort, m_loop.keepAlive(), &m_lastError))
        return false;
    listener->onRequest = [this](int fd, const sockaddr_storage &peer) { return acceptRequest(fd, peer); };
    listener->onPaused = [this](const QString &text) { m_events.acceptPaused(m_index, text); };
    listener->onResumed = [this] { m_events.acceptResumed(m_index); };
    m_localPort = listener->port();
    m_listener = std::move(listener);
    m_c.state = SocketState::Listening;
    m_lastError = {};
    return true;
}

bool Endpoint::acceptRequest(int fd, const sockaddr_storage &peer)
{
    return m_loop.offerConnection(fd, [&] { m_events.connectionRequest(m_index, qintptr(fd)); }, m_listenTls, &peer);
}

bool Endpoint::Accept(qintptr requestID)
{
    if (refuseUnlessFree())
        return false;
    bool tls = false;
    const sockaddr_storage *peer = nullptr;
    if (!m_loop.takeOffered(requestID, &tls, &peer)) {
        m_lastError = failureOf(BadRequestError,
                                QStringLiteral("No connection request %1 is being offered.").arg(requestID));
        return false;
    }
    resetConnection();
    const int fd = int(requestID);
    socklen_t length = sizeof m_c.peer;
    if (peer)
        m_c.peer = *peer;
    else if (getpeername(fd, reinterpret_cast<sockaddr *>(&m_c.peer), &length) != 0)
        m_c.peer = {};
    // A listener's clients inherit TCP_NODELAY and the keepalive from it.
    m_c.stream = Stream(fd);
    if (tls) {
        m_c.stream.push(std::make_unique<TlsStage>(m_loop.tls(), addressText(m_c.peer), 0, TlsStage::Role::Server));
        m_c.handshaking = true;
        m_loop.armDeadline(m_deadline);
    }
    m_c.state = SocketState::Connected;
    m_lastError = {};
    m_loop.addOpen(*this);
    if (const int err = m_loop.reactor().watch(fd, this, m_c.stream.interest(true, false)))
        watchFailed(err);
    return true;
}

// ---------------------------------------------------------------------------
// Connecting

bool Endpoint::Connect(const QString &host, const QString &portText)
{
    if (refuseUnlessFree())
        return false;
    const ServerTarget target = parseServerTarget(host, portText);
    if (!target.ok()) {
        m_lastError = target.problem == ServerTarget::NoHost
                          ? failureOf(BadHostError, QStringLiteral("No server host name is given."))
                          : EndpointError{BadPortError, portProblemText(target.port.problem),
                                          QStringLiteral("Cannot connect to port %1: %2.")
                                              .arg(quotedInput(portText),
                                                   portProblemText(target.port.problem).toLower())};
        return false;
    }

    resetConnection();
    m_lastError = {};
    m_targetHost = target.host;
    m_targetPort = quint16(target.port.port);
    m_targetTls = target.port.tls;
    const ProxyUrl *proxy = m_loop.proxy();
    m_loop.armDeadline(m_deadline);
    dropConnector();
    m_connector = m_loop.takeConnector();
    m_connector->leadsBack = [this](const QHostAddress &address, quint16 to) {
        return m_events.refusingOwnListeners() && m_loop.ownListeners().leadsToListener(address, to);
    };
    m_connector->onConnected = [this](int fd, const sockaddr_storage &peer) { connected(fd, peer); };
    m_connector->onFailed = [this](const EndpointError &error) {
        const ProxyUrl *proxy = m_loop.proxy();
        connectFailed(proxy ? ProxyStage::unreachable(*proxy, error) : error);
    };
    m_connector->start(proxy ? proxy->host : m_targetHost, proxy ? proxy->port : m_targetPort);
    return true;
}

// The socket is up: the stream gets the stages the connection needs, and
// their handshakes run before Connect fires, so no client byte goes out
// before the proxy has said yes and the server's certificate is accepted.
void Endpoint::connected(int fd, const sockaddr_storage &peer)
{
    dropConnector();
    m_c.stream = Stream(fd);
    m_c.peer = peer;
    m_loop.reactor().setHandler(fd, this);
    m_loop.addOpen(*this);
    applyKeepAlive(fd, m_loop.keepAlive());
    if (const ProxyUrl *proxy = m_loop.proxy()) {
        if (m_events.refusingOwnListeners()
            && m_loop.ownListeners().proxyLeadsToListener(QHostAddress(reinterpret_cast<const sockaddr *>(&peer)),
                                                          m_targetHost, m_targetPort)) {
            // The proxy is on this computer, and would connect back to the relay.
            connectFailed(Connector::selfConnectError(m_targetHost, m_targetPort));
            return;
        }
        m_c.stream.push(std::make_unique<ProxyStage>(*proxy, m_targetHost, m_targetPort));
    }
    if (m_targetTls)
        m_c.stream.push(std::make_unique<TlsStage>(m_loop.tls(), m_targetHost, m_targetPort));
    m_c.state = SocketState::Connecting;
    continueHandshake();
}

// The stream's handshakes, upstream or for an accepted TLS client, as far as
// the socket lets them go.
void Endpoint::continueHandshake()
{
    switch (m_c.stream.handshake()) {
    case StreamStage::Handshake::Done:
        handshakeDone();
        return;
    case StreamStage::Handshake::Pending:
        updateInterest();
        return;
    case StreamStage::Handshake::Failed:
        if (m_c.handshaking)
            fail(m_c.stream.failure());
        else
            connectFailed(m_c.stream.failure());
        return;
    }
}

// Upstream, the connection is up. For an accepted client, what was sent to it
// meanwhile goes out now, and reading starts.
void Endpoint::handshakeDone()
{
    m_loop.disarm(m_deadline);
    if (!m_c.handshaking) {
        m_c.state = SocketState::Connected;
        m_targetHost.clear();
        updateInterest();
        m_events.connected(m_index);
        return;
    }
    m_c.handshaking = false;
    if (!m_c.queue.isEmpty()) {
        const quint32 generation = m_generation;
        flushQueue(); // raises its own events, and re-arms
        if (generation != m_generation || !m_c.isOpen())
            return;
    } else {
        if (m_c.finPending)
            sendFin();
        updateInterest();
    }
    armQuietLimit();
    m_events.connected(m_index);
}

void Endpoint::connectFailed(const EndpointError &error)
{
    m_loop.disarm(m_deadline);
    dropConnector();
    if (m_c.stream.isOpen()) {
        m_loop.reactor().forget(m_c.stream.fd());
        m_c.stream.close();
    }
    m_loop.removeOpen(*this);
    m_c.state = SocketState::Error;
    m_lastError = error;
    m_events.failed(m_index, error);
}

// The loop's connect limit ran out, in whatever step the connect was; or,
// after our FIN, the peer has sent nothing for the half-close limit while we
// were ready to read, and has not finished either.
void Endpoint::deadlinePassed()
{
    if (awaitingPeerFin()) {
        fail(failureOf(HalfCloseTimeoutError,
                       QStringLiteral("%1 sent nothing for %2 seconds after this side had finished, and did not "
                                      "finish either.")
                           .arg(remoteAddressText(), QString::number(m_loop.halfCloseTimeoutMs() / 1000.0))));
        return;
    }
    if (connecting()) {
        m_connector->timeOut(QString::number(m_loop.connectTimeoutMs() / 1000.0));
        return;
    }
    if (m_c.handshaking && m_c.state == SocketState::Connected) {
        fail(m_c.stream.handshakeTimedOut(m_loop.connectTimeoutMs()));
        return;
    }
    if (m_c.state == SocketState::Connecting)
        connectFailed(m_c.stream.handshakeTimedOut(m_loop.connectTimeoutMs()));
}

// The connector may be the caller: it is stopped, and goes back to the loop
// for the next Connect() of any endpoint.
void Endpoint::dropConnector()
{
    if (!m_connector)
        return;
    m_connector->cancel();
    m_loop.returnConnector(std::move(m_connector));
}

bool Endpoint::connecting() const
{
    return m_connector && m_connector->isRunning();
}

// ---------------------------------------------------------------------------
// Sending and receiving

void Endpoint::SendData(QByteArrayView chunk)
{
    if (chunk.isEmpty() || !canSend())
        return;
    qsizetype sent = 0;
    if (m_c.queue.isEmpty() && m_c.pendingErrno == 0 && !m_c.handshaking) {
        const ssize_t n = m_c.stream.write(chunk.data(), size_t(chunk.size()));
        if (n == chunk.size())
            return;
        if (n >= 0) {
            sent = n;
        } else if (!wouldBlock(errno)) {
            // Raised from the loop: an operation never raises an event itself.
            m_c.pendingErrno = errno;
            updateInterest();
            return;
        }
    }
    // A large rest of what this loop read keeps the read buffer, uncopied.
    const ReadBuffer &buffer = m_loop.readBuffer();
    if (buffer.holds(chunk)) {
        const qsizetype from = chunk.data() - buffer.bytes().constData();
        m_c.queue.appendShared(buffer.bytes(), from + sent, from + chunk.size());
    } else {
        m_c.queue.append(chunk.sliced(sent));
    }
    updateInterest();
}

QByteArrayView Endpoint::GetData()
{
    if (m_c.inArrival && !m_c.currentTaken) {
        m_c.currentTaken = true;
        return m_c.current;
    }
    if (!m_c.unread.isEmpty()) {
        m_c.taken = std::exchange(m_c.unread, QByteArray());
        updateInterest();
        return m_c.taken;
    }
    return {};
}

void Endpoint::setReading(bool on)
{
    if (m_c.wantRead == on)
        return;
    m_c.wantRead = on;
    armQuietLimit();
    updateInterest();
}

void Endpoint::ShutdownSend()
{
    if (!canSend())
        return;
    if (!m_c.queue.isEmpty() || m_c.handshaking)
        m_c.finPending = true;
    else
        sendFin();
    armQuietLimit();
}

bool Endpoint::awaitingPeerFin() const
{
    return m_c.isOpen() && !m_c.handshaking && sendShutdown() && !m_c.peerFin;
}

// Once our FIN is on its way, a peer that neither sends nor finishes is
// stuck: the half-close limit runs from the last data it sent, and only
// while we are ready to read (a peer held back by our flow control is not
// stuck). A busy stream goes on for as long as it is busy.
void Endpoint::armQuietLimit()
{
    if (!awaitingPeerFin())
        return; // the deadline is a connect's, or none
    if (m_c.wantsRead())
        m_loop.armHalfCloseDeadline(m_deadline);
    else
        m_loop.disarm(m_deadline);
}

void Endpoint::sendFin()
{
    if (m_c.stream.sendFin()) {
        m_c.finPending = false;
        return;
    }
    // No room for close_notify yet: sent when the socket is writable.
    m_c.finPending = true;
    if (!wouldBlock(errno))
        m_c.pendingErrno = errno;
    updateInterest();
}

// The stream may hold input while the socket stays quiet (what OpenSSL has
// decrypted, what came after a proxy's reply), and the loop would never wake
// for it: read it from a queued call.
void Endpoint::readHeldInput()
{
    if (m_c.heldReadQueued || !m_c.wantsRead() || !m_c.stream.holdsInput())
        return;
    m_c.heldReadQueued = true;
    QMetaObject::invokeMethod(&m_loop, [this, generation = m_generation] {
        if (generation != m_generation)
            return;
        m_c.heldReadQueued = false;
        if (m_c.isOpen() && m_c.wantsRead())
            receive();
    }, Qt::QueuedConnection);
}

void Endpoint::receive()
{
    char *buffer = m_loop.readBuffer().data();
    const ssize_t n = m_c.stream.read(buffer, size_t(ReadBuffer::size()));
    if (n > 0) {
        armQuietLimit();
        const quint32 generation = m_generation;
        m_c.current = QByteArrayView(buffer, n);
        m_c.currentTaken = false;
        m_c.inArrival = true;
        m_events.dataArrived(m_index, qint64(n));
        if (generation != m_generation)
            return; // closed by the handler: what it did not take goes with it
        m_c.inArrival = false;
        if (!m_c.currentTaken) {
            // Keep what the handler left, and read no more until it is taken.
            m_c.unread = m_c.current.toByteArray();
            updateInterest();
        }
        m_c.current = {};
        readHeldInput();
        return;
    }
    if (n == 0) {
        m_loop.disarm(m_deadline); // the half-close limit is met
        m_c.peerFin = true;
        m_c.state = SocketState::Closing;
        updateInterest();
        m_events.peerFinished(m_index);
        return;
    }
    if (!wouldBlock(errno))
        raiseError(errno);
}

void Endpoint::flushQueue()
{
    if (const int err = m_c.queue.writeTo(m_c.stream)) {
        raiseError(err);
        return;
    }
    if (!m_c.queue.isEmpty())
        return;
    if (m_c.finPending)
        sendFin();
    updateInterest();
    m_events.sendComplete(m_index);
}

// ---------------------------------------------------------------------------
// Ending

// What Close() and Abort() both end first: the connect under way, its
// deadline, listening, and every queued call of the connection so far.
void Endpoint::stopActivity()
{
    ++m_generation;
    m_loop.disarm(m_deadline);
    dropConnector();
    m_listener.reset();
}

void Endpoint::Close()
{
    stopActivity();
    if (m_c.stream.isOpen()) {
        if (!m_c.isOpen() || m_c.pendingErrno != 0 || m_c.handshaking || (m_c.peerFin && m_c.queue.isEmpty())) {
            // Nothing more can reach the peer, or nothing more will come from
            // it; close_notify is not written into a connection known broken,
            // nor into a handshake.
            m_loop.reactor().forget(m_c.stream.fd());
            if (m_c.isOpen() && m_c.pendingErrno == 0 && !m_c.handshaking)
                m_c.stream.closeAfterPeerFin();
            else
                m_c.stream.close();
        } else {
            m_loop.reactor().unwatch(m_c.stream.fd());
            m_loop.lingering().linger(std::move(m_c.stream), std::move(m_c.queue), m_c.peerFin);
        }
    }
    resetConnection();
}

void Endpoint::Abort()
{
    stopActivity();
    if (m_c.stream.isOpen()) {
        m_loop.reactor().forget(m_c.stream.fd());
        m_c.stream.reset();
    }
    resetConnection();
}

// Every descriptor has been closed or handed on by now.
void Endpoint::resetConnection()
{
    m_loop.removeOpen(*this);
    m_c = Connection();
    m_targetHost.clear();
}

QString Endpoint::remoteAddressText() const
{
    return m_c.stream.isOpen() ? addressText(m_c.peer) : QString();
}

QHostAddress Endpoint::remoteAddress() const
{
    return m_c.stream.isOpen() ? plainAddress(QHostAddress(reinterpret_cast<const sockaddr *>(&m_c.peer)))
                               : QHostAddress();
}

void Endpoint::updateInterest()
{
    const int fd = m_c.stream.fd();
    if (fd < 0)
        return;
    unsigned interest = Reactor::None;
    switch (m_c.state) {
    case SocketState::Connecting: // the proxy's step, then the TLS handshake
        interest = m_c.stream.interest(false, false);
        break;
    case SocketState::Connected:
    case SocketState::Closing:
        if (m_c.handshaking) {
            interest = m_c.stream.interest(false, false) | (m_c.pendingErrno != 0 ? Reactor::Write : 0u);
            break;
        }
        interest = m_c.stream.interest(m_c.wantsRead(), !m_c.queue.isEmpty() || m_c.pendingErrno != 0);
        readHeldInput();
        break;
    default:
        break;
    }
    if (const int err = m_loop.reactor().setInterest(fd, interest))
        watchFailed(err);
}

// An unwatched socket would hang unnoticed: its failure is raised from the
// loop like any other, and only this connection ends.
void Endpoint::watchFailed(int code)
{
    if (m_c.pendingErrno == 0)
        m_c.pendingErrno = code;
    QMetaObject::invokeMethod(&m_loop, [this, generation = m_generation] {
        if (generation == m_generation && m_c.pendingErrno != 0 && m_c.state != SocketState::Error)
            raiseError(m_c.pendingErrno);
    }, Qt::QueuedConnection);
}

void Endpoint::onReady(int fd, bool readable, bool writable, bool failed)
{
    switch (m_c.state) {
    case SocketState::Connecting:
        continueHandshake();
        return;
    case SocketState::Connected:
    case SocketState::Closing:
        break;
    default:
        return;
    }
    const quint32 generation = m_generation;
    if (m_c.pendingErrno != 0) {
        raiseError(m_c.pendingErrno);
        return;
    }
    if (m_c.handshaking) {
        continueHandshake();
        return;
    }
    const bool reading = m_c.wantsRead();
    if (failed && !reading && m_c.queue.isEmpty()) {
        // Neither a read nor a send would surface it: ask for the error.
        int err = 0;
        socklen_t length = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) == 0 && err != 0) {
            raiseError(err);
            return;
        }
    }
    const bool canWrite = failed || m_c.stream.writeCanGo(readable, writable);
    const bool canRead = failed || m_c.stream.readCanGo(readable, writable);
    if (canWrite && !m_c.queue.isEmpty()) {
        flushQueue();
        if (generation != m_generation || m_c.state == SocketState::Error)
            return;
    } else if (canWrite && m_c.finPending) {
        sendFin(); // a close_notify that found no room
    }
    if (canRead && reading)
        receive();
}

void Endpoint::raiseError(int code)
{
    if (code == TlsError) {
        fail(m_c.stream.failure());
        return;
    }
    if (code == ETIMEDOUT) {
        fail(failureOf(code, QStringLiteral("%1 stopped answering: keepalive probes, or data sent to it, went "
                                            "unanswered.")
                                 .arg(remoteAddressText())));
        return;
    }
    fail(failureOf(code, QStringLiteral("Connection to %1 failed: %2.").arg(remoteAddressText(), systemMessage(code))));
}

void Endpoint::addressRemoved()
{
    fail(failureOf(AddressRemovedError,
                   QStringLiteral("The connection with %1 went out from %2, which this computer no longer has.")
                       .arg(remoteAddressText(), localAddressOf(m_c.stream.fd()).toString())));
}

// The connection is over: what was queued either way goes, and Error fires.
void Endpoint::fail(const EndpointError &error)
{
    m_loop.disarm(m_deadline);
    m_loop.removeOpen(*this);
    m_c.pendingErrno = 0;
    m_c.state = SocketState::Error;
    m_c.queue.clear();
    m_c.unread = QByteArray();
    (void)m_loop.reactor().setInterest(m_c.stream.fd(), Reactor::None); // failing or not, it is done
    m_lastError = error;
    m_events.failed(m_index, error);
}

} // namespace pelk
