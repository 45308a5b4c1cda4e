#include "endpoint.h"
#include "connector.h"
#include "porttext.h"
#include "proxy.h"
#include "socketcalls.h"
#include "tls.h"

#include <QHostAddress>
#include <QMetaMethod>

#include <arpa/inet.h>
#include <unistd.h>
#include <utility>

namespace pelk {

QString stateText(SocketState state)
{
    switch (state) {
    case SocketState::Closed: return QStringLiteral("closed");
    case SocketState::Open: return QStringLiteral("open");
    case SocketState::Listening: return QStringLiteral("listening");
    case SocketState::ConnectionPending: return QStringLiteral("connection pending");
    case SocketState::ResolvingHost: return QStringLiteral("resolving host");
    case SocketState::HostResolved: return QStringLiteral("host resolved");
    case SocketState::Connecting: return QStringLiteral("connecting");
    case SocketState::Connected: return QStringLiteral("connected");
    case SocketState::Closing: return QStringLiteral("peer closed");
    case SocketState::Error: return QStringLiteral("error");
    }
    return QStringLiteral("unknown");
}

Endpoint::Endpoint(EndpointArray &array, int index)
    : m_array(array)
    , m_loop(array.loop())
    , m_index(index)
    , m_deadline([this] { deadlinePassed(); })
{
}

Endpoint::~Endpoint()
{
    m_loop.disarm(m_deadline);
    m_connector.reset();
    if (m_c.state == SocketState::Listening)
        stopListening();
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
    m_lastError = {NotClosedError, socketErrorText(NotClosedError),
                   m_c.state == SocketState::Listening
                       ? QStringLiteral("The listening socket is already open.")
                       : QStringLiteral("Endpoint %1 is not closed.").arg(m_index)};
    return true;
}

SocketState Endpoint::State() const
{
    return connecting() ? m_connector->phase() : m_c.state;
}

bool Endpoint::Connect(const QString &host, const QString &portText)
{
    if (refuseUnlessFree())
        return false;
    const ServerTarget target = parseServerTarget(host, portText);
    if (!target.ok()) {
        m_lastError = target.problem == ServerTarget::NoHost
                          ? EndpointError{BadHostError, socketErrorText(BadHostError),
                                          QStringLiteral("No server host name is given.")}
                          : EndpointError{BadPortError, portProblemText(target.port.problem),
                                          QStringLiteral("Cannot connect to port %1: %2.")
                                              .arg(quotedInput(portText),
                                                   portProblemText(target.port.problem).toLower())};
        return false;
    }

    resetConnection();
    m_lastError = {};
    const auto port = quint16(target.port.port);
    if (target.port.tls)
        m_pendingTls = std::make_unique<TlsSession>(m_loop.tls(), target.host, port);
    const ProxyUrl *proxy = m_loop.proxy();
    if (proxy)
        m_proxy = std::make_unique<ProxyHandshake>(*proxy, target.host, port);
    m_loop.armDeadline(m_deadline);
    dropConnector();
    m_connector = m_loop.takeConnector();
    m_connector->leadsBack = [this](const QHostAddress &address, quint16 to) {
        return m_array.refusingOwnListeners() && m_loop.leadsToListener(address, to);
    };
    m_connector->onConnected = [this](int fd, const sockaddr_storage &peer) { connected(fd, peer); };
    m_connector->onFailed = [this](const EndpointError &error) {
        connectFailed(m_proxy ? m_proxy->unreachable(error) : error);
    };
    m_connector->start(proxy ? proxy->host : target.host, proxy ? proxy->port : port);
    return true;
}

void Endpoint::connected(int fd, const sockaddr_storage &peer)
{
    dropConnector();
    m_c.stream = SocketStream(fd, std::move(m_pendingTls));
    m_c.peer = peer;
    m_loop.reactor().setHandler(fd, this);
    applyKeepAlive(fd, m_loop.keepAlive());
    if (m_proxy && m_array.refusingOwnListeners()
        && m_loop.proxyLeadsToListener(QHostAddress(reinterpret_cast<const sockaddr *>(&peer)), m_proxy->host(),
                                       m_proxy->port())) {
        // The proxy is on this computer, and would connect back to the relay.
        connectFailed(Connector::selfConnectError(m_proxy->host(), m_proxy->port()));
        return;
    }
    if (m_c.stream.tls() || m_proxy) {
        m_c.state = SocketState::Connecting;
        continueTls();
        return;
    }
    m_loop.disarm(m_deadline);
    m_c.state = SocketState::Connected;
    updateInterest();
    emit m_array.Connect(m_index);
}

// Both sides' handshakes. Upstream, the TCP connection is up, and Connect
// fires only once the handshake is done and the server's certificate
// accepted, so no client byte goes out before. For an accepted client, what
// was sent to it meanwhile goes out once its handshake is done, and reading
// starts then.
void Endpoint::continueTls()
{
    if (m_proxy && !continueProxy())
        return;
    TlsSession &tls = *m_c.stream.tls();
    switch (tls.handshake(m_c.stream.fd())) {
    case TlsSession::Handshake::Done:
        m_loop.disarm(m_deadline);
        if (!m_c.handshaking) {
            m_c.state = SocketState::Connected;
            updateInterest();
            emit m_array.Connect(m_index);
            return;
        }
        m_c.handshaking = false;
        if (m_c.queued() > 0) {
            const quint32 generation = m_generation;
            flushQueue(); // raises its own events, and re-arms
            if (generation != m_generation || !m_c.isOpen())
                return;
        } else {
            if (m_c.finPending)
                sendFin();
            updateInterest();
        }
        if (m_c.finPending || m_c.stream.finSent())
            m_loop.armHalfCloseDeadline(m_deadline);
        emit m_array.Connect(m_index);
        return;
    case TlsSession::Handshake::Pending:
        updateInterest();
        return;
    case TlsSession::Handshake::Failed:
        if (m_c.handshaking)
            fail(tls.failure());
        else
            connectFailed(tls.failure());
        return;
    }
}

// The proxy's step comes first: true once it is over and the TLS handshake
// may start. Without TLS the connection is up when the proxy says yes, and
// the bytes that came after its reply are offered at once.
bool Endpoint::continueProxy()
{
    switch (m_proxy->handshake(m_c.stream.fd())) {
    case ProxyHandshake::Result::Pending:
        updateInterest();
        return false;
    case ProxyHandshake::Result::Failed:
        connectFailed(m_proxy->failure());
        return false;
    case ProxyHandshake::Result::Done:
        break;
    }
    QByteArray rest = m_proxy->takeRest();
    m_proxy.reset();
    if (TlsSession *tls = m_c.stream.tls()) {
        tls->setReceived(std::move(rest));
        return true;
    }
    m_loop.disarm(m_deadline);
    const quint32 generation = m_generation;
    m_c.state = SocketState::Connected;
    m_c.unread = std::move(rest); // reading waits until it is taken
    updateInterest();
    emit m_array.Connect(m_index);
    if (generation == m_generation && !m_c.unread.isEmpty())
        m_array.dataArrived(m_index, m_c.unread.size());
    return false;
}

void Endpoint::connectFailed(const EndpointError &error)
{
    m_proxy.reset();
    m_loop.disarm(m_deadline);
    dropConnector();
    if (m_c.stream.isOpen()) {
        m_loop.reactor().forget(m_c.stream.fd());
        m_c.stream.close();
    }
    m_pendingTls.reset();
    m_c.state = SocketState::Error;
    m_lastError = error;
    emit m_array.Error(m_index, error.code, error.text, error.detail);
}

// The loop's connect limit ran out, in whatever step the connect was; or
// the peer has not finished within the half-close limit after our FIN.
void Endpoint::deadlinePassed()
{
    const QString limit = QString::number(m_loop.connectTimeoutMs() / 1000.0);
    if (m_c.isOpen() && !m_c.handshaking && sendShutdown() && !m_c.peerFin) {
        fail({HalfCloseTimeoutError, socketErrorText(HalfCloseTimeoutError),
              QStringLiteral("%1 did not finish sending within %2 seconds after this side had finished.")
                  .arg(remoteAddressText(), QString::number(m_loop.halfCloseTimeoutMs() / 1000.0))});
        return;
    }
    if (connecting()) {
        m_connector->timeOut(limit);
        return;
    }
    if (m_c.handshaking && m_c.state == SocketState::Connected) {
        fail({TlsHandshakeError, socketErrorText(TlsHandshakeError),
              QStringLiteral("The TLS handshake with the client at %1 did not finish within %2 seconds.")
                  .arg(remoteAddressText(), limit)});
        return;
    }
    if (m_proxy && m_c.state == SocketState::Connecting) {
        connectFailed(m_proxy->timedOut(m_loop.connectTimeoutMs()));
        return;
    }
    if (m_c.state == SocketState::Connecting && m_c.stream.tls()) {
        connectFailed({TimedOutError, socketErrorText(TimedOutError),
                       QStringLiteral("The TLS handshake with %1 did not finish within %2 seconds of the "
                                      "connect's start.")
                           .arg(remoteAddressText(), limit)});
    }
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

void Endpoint::SendData(QByteArrayView chunk)
{
    if (chunk.isEmpty() || !canSend())
        return;
    qsizetype sent = 0;
    if (m_c.queued() == 0 && m_c.pendingErrno == 0 && !m_c.handshaking) {
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
    m_c.queue.append(chunk.data() + sent, chunk.size() - sent);
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
    updateInterest();
}

void Endpoint::ShutdownSend()
{
    if (!canSend())
        return;
    if (!m_c.peerFin && !m_c.handshaking)
        m_loop.armHalfCloseDeadline(m_deadline);
    if (m_c.queued() > 0 || m_c.handshaking) {
        m_c.finPending = true;
        return;
    }
    sendFin();
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

// OpenSSL may hold decrypted bytes while the socket stays quiet, and the loop
// would never wake for them: read them from a queued call.
void Endpoint::readHeldInput()
{
    if (m_c.heldReadQueued || !m_c.wantsRead() || !m_c.stream.holdsInput())
        return;
    m_c.heldReadQueued = true;
    QMetaObject::invokeMethod(&m_array, [this, generation = m_generation] {
        if (generation != m_generation)
            return;
        m_c.heldReadQueued = false;
        if (m_c.isOpen() && m_c.wantsRead())
            receive();
    }, Qt::QueuedConnection);
}

// What Close() and Abort() both end first: the connect under way, its
// deadline, listening, and every queued call of the connection so far.
void Endpoint::stopActivity()
{
    ++m_generation;
    m_loop.disarm(m_deadline);
    dropConnector();
    if (m_c.state == SocketState::Listening)
        stopListening();
}

void Endpoint::Close()
{
    stopActivity();
    if (m_c.stream.isOpen()) {
        if (!m_c.isOpen() || m_c.pendingErrno != 0 || m_c.handshaking || (m_c.peerFin && m_c.queued() == 0)) {
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
            m_loop.linger(std::move(m_c.stream), m_c.queue.mid(m_c.queueHead), m_c.peerFin);
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
    m_c = Connection();
    m_pendingTls.reset();
    m_proxy.reset();
}

QString Endpoint::remoteAddressText() const
{
    return m_c.stream.isOpen() ? addressText(m_c.peer) : QString();
}

void Endpoint::updateInterest()
{
    int fd = m_c.stream.fd();
    unsigned interest = Reactor::None;
    switch (m_c.state) {
    case SocketState::Listening:
        interest = m_c.acceptPaused ? Reactor::None : Reactor::Read;
        fd = m_c.listenFds[0];
        if (m_c.listenFds[1] >= 0) {
            if (const int err = m_loop.reactor().setInterest(m_c.listenFds[1], interest))
                watchFailed(err);
        }
        break;
    case SocketState::Connecting: // the proxy's step, then the TLS handshake
        interest = m_proxy            ? m_proxy->interest()
                   : m_c.stream.tls() ? m_c.stream.tls()->handshakeInterest()
                                      : unsigned(Reactor::None);
        break;
    case SocketState::Connected:
    case SocketState::Closing:
        if (m_c.handshaking) {
            interest = m_c.stream.tls()->handshakeInterest() | (m_c.pendingErrno != 0 ? Reactor::Write : 0u);
            break;
        }
        interest = m_c.stream.interest(m_c.wantsRead(), m_c.queued() > 0 || m_c.pendingErrno != 0);
        readHeldInput();
        break;
    default:
        break;
    }
    if (fd < 0)
        return;
    if (const int err = m_loop.reactor().setInterest(fd, interest))
        watchFailed(err);
}

// An unwatched socket would hang unnoticed: its failure is raised from the
// loop like any other, and only this connection ends.
void Endpoint::watchFailed(int code)
{
    if (m_c.pendingErrno == 0)
        m_c.pendingErrno = code;
    QMetaObject::invokeMethod(&m_array, [this, generation = m_generation] {
        if (generation == m_generation && m_c.pendingErrno != 0 && m_c.state != SocketState::Error)
            raiseError(m_c.pendingErrno);
    }, Qt::QueuedConnection);
}

void Endpoint::onReady(int fd, bool readable, bool writable, bool failed)
{
    switch (m_c.state) {
    case SocketState::Listening:
        acceptPending(fd);
        return;
    case SocketState::Connecting:
        if (m_c.stream.tls() || m_proxy)
            continueTls();
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
        continueTls();
        return;
    }
    const bool reading = m_c.wantsRead();
    if (failed && !reading && m_c.queued() == 0) {
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
    if (canWrite && m_c.queued() > 0) {
        flushQueue();
        if (generation != m_generation || m_c.state == SocketState::Error)
            return;
    } else if (canWrite && m_c.finPending) {
        sendFin(); // a close_notify that found no room
    }
    if (canRead && reading)
        receive();
}

void Endpoint::receive()
{
    char *buffer = m_loop.readBuffer();
    const ssize_t n = m_c.stream.read(buffer, size_t(EndpointLoop::ReadBufferBytes));
    if (n > 0) {
        const quint32 generation = m_generation;
        m_c.current = QByteArrayView(buffer, n);
        m_c.currentTaken = false;
        m_c.inArrival = true;
        m_array.dataArrived(m_index, qint64(n));
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
        m_loop.disarm(m_deadline); // a half-close limit is met
        m_c.peerFin = true;
        m_c.state = SocketState::Closing;
        updateInterest();
        emit m_array.Close(m_index);
        return;
    }
    if (!wouldBlock(errno))
        raiseError(errno);
}

void Endpoint::flushQueue()
{
    while (m_c.queued() > 0) {
        const ssize_t n = m_c.stream.write(m_c.queue.constData() + m_c.queueHead, size_t(m_c.queued()));
        if (n < 0) {
            if (wouldBlock(errno))
                break;
            raiseError(errno);
            return;
        }
        m_c.queueHead += n;
    }
    if (m_c.queued() > 0) {
        // Drop what was sent once it is most of the buffer, so a long-lived
        // queue does not keep its whole history.
        if (m_c.queueHead > EndpointLoop::ReadBufferBytes && m_c.queueHead * 2 > m_c.queue.size()) {
            m_c.queue.remove(0, m_c.queueHead);
            m_c.queueHead = 0;
        }
        return;
    }
    m_c.queue = QByteArray(); // an idle connection keeps no buffer
    m_c.queueHead = 0;
    if (m_c.finPending)
        sendFin();
    updateInterest();
    emit m_array.SendComplete(m_index);
}

void Endpoint::raiseError(int code)
{
    if (code == TlsError && m_c.stream.tls()) {
        fail(m_c.stream.tls()->failure());
        return;
    }
    if (code == ETIMEDOUT) {
        fail({code, socketErrorText(code),
              QStringLiteral("%1 stopped answering: keepalive probes, or data sent to it, went unanswered.")
                  .arg(remoteAddressText())});
        return;
    }
    fail({code, socketErrorText(code),
          QStringLiteral("Connection to %1 failed: %2.").arg(remoteAddressText(), systemMessage(code))});
}

void Endpoint::addressRemoved()
{
    fail({AddressRemovedError, socketErrorText(AddressRemovedError),
          QStringLiteral("The connection with %1 went out from %2, which this computer no longer has.")
              .arg(remoteAddressText(), localAddressOf(m_c.stream.fd()).toString())});
}

// The connection is over: what was queued either way goes, and Error fires.
void Endpoint::fail(const EndpointError &error)
{
    m_loop.disarm(m_deadline);
    m_c.pendingErrno = 0;
    m_c.state = SocketState::Error;
    m_c.queue = QByteArray();
    m_c.queueHead = 0;
    m_c.unread = QByteArray();
    (void)m_loop.reactor().setInterest(m_c.stream.fd(), Reactor::None); // failing or not, it is done
    m_lastError = error;
    emit m_array.Error(m_index, error.code, error.text, error.detail);
}

EndpointArray::EndpointArray(EndpointLoop &loop, QObject *parent)
    : QObject(parent)
    , m_loop(loop)
{
    m_items.push_back(std::make_unique<Endpoint>(*this, 0));
    m_loop.addArray(this);
}

EndpointArray::~EndpointArray()
{
    m_loop.removeArray(this);
}

void EndpointArray::dataArrived(int index, qint64 bytesTotal)
{
    if (m_dataArrivalHandler)
        m_dataArrivalHandler(index, bytesTotal);
    if (m_dataArrivalReceivers.load(std::memory_order_relaxed) > 0)
        emit DataArrival(index, bytesTotal);
}

// Counts the connections of DataArrival, so that it is emitted only when
// someone listens. A disconnect of every signal at once (an invalid signal)
// leaves the count as it is: too high only costs an emission nobody receives.
void EndpointArray::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&EndpointArray::DataArrival))
        m_dataArrivalReceivers.fetch_add(1, std::memory_order_relaxed);
}

void EndpointArray::disconnectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&EndpointArray::DataArrival))
        m_dataArrivalReceivers.fetch_sub(1, std::memory_order_relaxed);
}

bool EndpointArray::Load(int index)
{
    if (index != UBound() + 1 || index > MaxIndex)
        return false;
    m_items.push_back(std::make_unique<Endpoint>(*this, index));
    return true;
}

} // namespace pelk
