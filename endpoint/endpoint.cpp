#include "endpoint.h"
#include "connector.h"
#include "proxy.h"
#include "socketcalls.h"
#include "tls.h"

#include <QHostAddress>

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
{
}

Endpoint::~Endpoint()
{
    m_connector.reset();
    if (m_state == SocketState::Listening)
        stopListening();
    if (m_fd >= 0) {
        m_loop.reactor().unwatch(m_fd);
        ::close(m_fd);
    }
}

bool Endpoint::canSend() const
{
    return (m_state == SocketState::Connected || m_state == SocketState::Closing)
           && !m_shutdownPending && !m_shutdownSent;
}

bool Endpoint::isFree() const
{
    return m_state == SocketState::Closed && m_fd < 0 && !m_connector;
}

SocketState Endpoint::State() const
{
    return m_connector ? m_connector->phase() : m_state;
}

bool Endpoint::Connect(const QString &host, const QString &portText)
{
    if (!isFree()) {
        m_lastError = {NotClosedError, socketErrorText(NotClosedError),
                       QStringLiteral("Endpoint %1 is not closed.").arg(m_index)};
        return false;
    }
    QString name;
    quint16 port = 0;
    bool tls = false;
    if (!Connector::readTarget(host, portText, name, port, m_lastError, &tls))
        return false;

    resetForClose();
    m_lastError = {};
    m_connectDeadline.setRemainingTime(Connector::ConnectTimeoutMs);
    if (tls)
        m_tls = std::make_unique<TlsSession>(m_loop.tls(), name, port);
    const ProxyUrl *proxy = m_loop.proxy();
    if (proxy)
        m_proxy = std::make_unique<ProxyHandshake>(*proxy, name, port);
    m_connector = std::make_unique<Connector>(m_loop.reactor());
    if (m_array.refusingOwnListeners()) {
        m_connector->leadsBack = [this](const QHostAddress &address, quint16 port) {
            return m_loop.leadsToListener(address, port);
        };
    }
    m_connector->onConnected = [this](int fd, const sockaddr_storage &peer) { connected(fd, peer); };
    m_connector->onFailed = [this](const EndpointError &error) {
        connectFailed(m_proxy ? m_proxy->unreachable(error) : error);
    };
    m_connector->start(proxy ? proxy->host : name, proxy ? proxy->port : port);
    return true;
}

void Endpoint::connected(int fd, const sockaddr_storage &peer)
{
    dropConnector();
    m_fd = fd;
    m_peer = peer;
    m_loop.reactor().setHandler(m_fd, this);
    if (m_tls || m_proxy) {
        m_state = SocketState::Connecting;
        // The proxy's step and the handshake have what is left of the
        // connect's time limit.
        QTimer::singleShot(std::chrono::milliseconds(std::max<qint64>(0, m_connectDeadline.remainingTime())),
                           &m_array, [this, generation = m_generation] {
            if (generation != m_generation || m_state != SocketState::Connecting)
                return;
            if (m_proxy) {
                tlsFailed(m_proxy->timedOut(Connector::ConnectTimeoutMs));
            } else if (m_tls) {
                tlsFailed({TimedOutError, socketErrorText(TimedOutError),
                           QStringLiteral("The TLS handshake with %1 did not finish within %2 seconds.")
                               .arg(remoteAddressText())
                               .arg(Connector::ConnectTimeoutMs / 1000)});
            }
        });
        continueTls();
        return;
    }
    m_state = SocketState::Connected;
    updateInterest();
    emit m_array.Connect(m_index);
}

// The TCP connection is up. Connect fires only once the handshake is done and
// the server's certificate accepted, so no client byte goes out before.
void Endpoint::continueTls()
{
    if (m_proxy && !continueProxy())
        return;
    switch (m_tls->handshake(m_fd)) {
    case TlsSession::Handshake::Done:
        m_state = SocketState::Connected;
        updateInterest();
        emit m_array.Connect(m_index);
        return;
    case TlsSession::Handshake::Pending:
        updateInterest();
        return;
    case TlsSession::Handshake::Failed:
        tlsFailed(m_tls->failure());
        return;
    }
}

// The proxy's step comes first: true once it is over and the TLS handshake
// may start. Without TLS the connection is up when the proxy says yes, and
// the bytes that came after its reply are offered at once.
bool Endpoint::continueProxy()
{
    switch (m_proxy->handshake(m_fd)) {
    case ProxyHandshake::Result::Pending:
        updateInterest();
        return false;
    case ProxyHandshake::Result::Failed:
        tlsFailed(m_proxy->failure());
        return false;
    case ProxyHandshake::Result::Done:
        break;
    }
    QByteArray rest = m_proxy->takeRest();
    m_proxy.reset();
    if (m_tls) {
        m_tls->setReceived(std::move(rest));
        return true;
    }
    const quint32 generation = m_generation;
    m_state = SocketState::Connected;
    m_unread = std::move(rest); // reading waits until it is taken
    updateInterest();
    emit m_array.Connect(m_index);
    if (generation == m_generation && !m_unread.isEmpty())
        emit m_array.DataArrival(m_index, m_unread.size());
    return false;
}

void Endpoint::tlsFailed(const EndpointError &error)
{
    m_loop.reactor().unwatch(m_fd);
    ::close(std::exchange(m_fd, -1));
    m_tls.reset();
    m_proxy.reset();
    connectFailed(error);
}

void Endpoint::connectFailed(const EndpointError &error)
{
    dropConnector();
    m_state = SocketState::Error;
    m_lastError = error;
    emit m_array.Error(m_index, error.code, error.text, error.detail);
}

// The connector may be the caller: it goes once control is back in the loop.
void Endpoint::dropConnector()
{
    if (!m_connector)
        return;
    m_connector->cancel();
    m_connector.release()->deleteLater();
}

void Endpoint::SendData(QByteArrayView chunk)
{
    if (chunk.isEmpty() || !canSend())
        return;
    qsizetype sent = 0;
    if (BytesQueued() == 0 && m_pendingErrno == 0) {
        const ssize_t n = writeSome(chunk.data(), size_t(chunk.size()));
        if (n == chunk.size())
            return;
        if (n >= 0) {
            sent = n;
        } else if (!wouldBlock(errno)) {
            // Raised from the loop: an operation never raises an event itself.
            m_pendingErrno = errno;
            updateInterest();
            return;
        }
    }
    m_queue.append(chunk.data() + sent, chunk.size() - sent);
    updateInterest();
}

QByteArrayView Endpoint::GetData()
{
    if (m_inArrival && !m_currentTaken) {
        m_currentTaken = true;
        return m_current;
    }
    if (!m_unread.isEmpty()) {
        m_taken = std::exchange(m_unread, QByteArray());
        updateInterest();
        return m_taken;
    }
    return {};
}

void Endpoint::setReading(bool on)
{
    if (m_wantRead == on)
        return;
    m_wantRead = on;
    updateInterest();
}

void Endpoint::ShutdownSend()
{
    if (!canSend())
        return;
    if (BytesQueued() > 0) {
        m_shutdownPending = true;
        return;
    }
    sendFin();
}

void Endpoint::sendFin()
{
    if (m_tls && !m_tls->closeNotify()) {
        // No room for close_notify yet: sent when the socket is writable.
        m_shutdownPending = true;
        if (!wouldBlock(errno))
            m_pendingErrno = errno;
        updateInterest();
        return;
    }
    ::shutdown(m_fd, SHUT_WR);
    m_shutdownPending = false;
    m_shutdownSent = true;
}

ssize_t Endpoint::readSome(char *buffer, size_t size)
{
    return m_tls ? m_tls->read(buffer, size) : ::recv(m_fd, buffer, size, 0);
}

ssize_t Endpoint::writeSome(const char *data, size_t size)
{
    return m_tls ? m_tls->write(data, size) : ::send(m_fd, data, size, MSG_NOSIGNAL);
}

// OpenSSL may hold decrypted bytes while the socket stays quiet, and the loop
// would never wake for them: read them from a queued call.
void Endpoint::readHeldTls()
{
    if (!m_tls || m_tlsReadQueued || !m_wantRead || m_peerFin || !m_unread.isEmpty()
        || !m_tls->hasPending()) {
        return;
    }
    m_tlsReadQueued = true;
    QMetaObject::invokeMethod(&m_array, [this, generation = m_generation] {
        if (generation != m_generation)
            return;
        m_tlsReadQueued = false;
        const bool open = m_state == SocketState::Connected || m_state == SocketState::Closing;
        if (open && m_wantRead && !m_peerFin && m_unread.isEmpty())
            receive();
    }, Qt::QueuedConnection);
}

void Endpoint::Close()
{
    ++m_generation;
    dropConnector();
    if (m_state == SocketState::Listening)
        stopListening();
    if (m_fd >= 0) {
        const int fd = std::exchange(m_fd, -1);
        m_loop.reactor().unwatch(fd);
        const bool open = m_state == SocketState::Connected || m_state == SocketState::Closing;
        if (!open || m_pendingErrno != 0 || (m_peerFin && BytesQueued() == 0)) {
            // Nothing more can reach the peer, or nothing more will come from it.
            if (m_tls && open && !m_shutdownSent && m_pendingErrno == 0)
                m_tls->closeNotify(); // not into a connection known to be broken
            m_tls.reset();
            ::close(fd);
        } else {
            m_loop.linger(fd, std::move(m_tls), m_queue.mid(m_queueHead), m_peerFin, m_shutdownSent);
        }
    }
    resetForClose();
}

void Endpoint::Abort()
{
    ++m_generation;
    dropConnector();
    if (m_state == SocketState::Listening)
        stopListening();
    if (m_fd >= 0) {
        const int fd = std::exchange(m_fd, -1);
        m_loop.reactor().unwatch(fd);
        struct ::linger zeroLinger{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
        ::close(fd);
    }
    resetForClose();
}

void Endpoint::resetForClose()
{
    m_state = SocketState::Closed;
    m_queue = QByteArray();
    m_queueHead = 0;
    m_unread = QByteArray();
    m_taken = QByteArray();
    m_current = {};
    m_currentTaken = false;
    m_inArrival = false;
    m_wantRead = true;
    m_peerFin = false;
    m_shutdownPending = false;
    m_shutdownSent = false;
    m_acceptPaused = false;
    m_acceptRetryMs = 0;
    m_pendingErrno = 0;
    m_peer = {};
    m_tls.reset();
    m_proxy.reset();
    m_tlsReadQueued = false;
}

QString Endpoint::remoteAddressText() const
{
    if (m_fd < 0)
        return {};
    const sockaddr_storage &peer = m_peer;
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)
        return {};
    QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
    const quint16 port = portOf(peer);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

void Endpoint::updateInterest()
{
    if (m_fd < 0)
        return;
    unsigned interest = Reactor::None;
    switch (m_state) {
    case SocketState::Listening:
        interest = m_acceptPaused ? Reactor::None : Reactor::Read;
        if (m_secondListenFd >= 0) {
            if (const int err = m_loop.reactor().setInterest(m_secondListenFd, interest))
                watchFailed(err);
        }
        break;
    case SocketState::Connecting: // the proxy's step, then the TLS handshake
        interest = m_proxy ? m_proxy->interest() : m_tls ? m_tls->handshakeInterest() : unsigned(Reactor::None);
        break;
    case SocketState::Connected:
    case SocketState::Closing:
        if (m_wantRead && !m_peerFin && m_unread.isEmpty())
            interest |= Reactor::Read;
        if (BytesQueued() > 0 || m_pendingErrno != 0)
            interest |= Reactor::Write;
        if (m_tls) {
            interest |= m_tls->extraInterest();
            readHeldTls();
        }
        break;
    default:
        break;
    }
    if (const int err = m_loop.reactor().setInterest(m_fd, interest))
        watchFailed(err);
}

// An unwatched socket would hang unnoticed: its failure is raised from the
// loop like any other, and only this connection ends.
void Endpoint::watchFailed(int code)
{
    if (m_pendingErrno == 0)
        m_pendingErrno = code;
    QMetaObject::invokeMethod(&m_array, [this, generation = m_generation] {
        if (generation == m_generation && m_pendingErrno != 0 && m_state != SocketState::Error)
            raiseError(m_pendingErrno);
    }, Qt::QueuedConnection);
}

void Endpoint::onReady(int fd, bool readable, bool writable, bool failed)
{
    switch (m_state) {
    case SocketState::Listening:
        acceptPending(fd);
        return;
    case SocketState::Connecting:
        if (m_tls || m_proxy)
            continueTls();
        return;
    case SocketState::Connected:
    case SocketState::Closing:
        break;
    default:
        return;
    }
    const quint32 generation = m_generation;
    if (m_pendingErrno != 0) {
        raiseError(m_pendingErrno);
        return;
    }
    const bool reading = m_wantRead && !m_peerFin && m_unread.isEmpty();
    if (failed && !reading && BytesQueued() == 0) {
        // Neither a read nor a send would surface it: ask for the error.
        int err = 0;
        socklen_t length = sizeof err;
        if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &length) == 0 && err != 0) {
            raiseError(err);
            return;
        }
    }
    // Through TLS a write may wait for readable and a read for writable.
    const bool canWrite = failed || (m_tls ? m_tls->writeCanGo(readable, writable) : writable);
    const bool canRead = failed || (m_tls ? m_tls->readCanGo(readable, writable) : readable);
    if (canWrite && BytesQueued() > 0) {
        flushQueue();
        if (generation != m_generation || m_state == SocketState::Error)
            return;
    } else if (canWrite && m_shutdownPending) {
        sendFin(); // a close_notify that found no room
    }
    if (canRead && reading)
        receive();
}

void Endpoint::receive()
{
    char *buffer = m_loop.readBuffer();
    const ssize_t n = readSome(buffer, size_t(EndpointLoop::ReadBufferBytes));
    if (n > 0) {
        const quint32 generation = m_generation;
        m_current = QByteArrayView(buffer, n);
        m_currentTaken = false;
        m_inArrival = true;
        emit m_array.DataArrival(m_index, qint64(n));
        if (generation != m_generation)
            return; // closed by the handler: what it did not take goes with it
        m_inArrival = false;
        if (!m_currentTaken) {
            // Keep what the handler left, and read no more until it is taken.
            m_unread = m_current.toByteArray();
            updateInterest();
        }
        m_current = {};
        readHeldTls();
        return;
    }
    if (n == 0) {
        m_peerFin = true;
        m_state = SocketState::Closing;
        updateInterest();
        emit m_array.Close(m_index);
        return;
    }
    if (!wouldBlock(errno))
        raiseError(errno);
}

void Endpoint::flushQueue()
{
    while (BytesQueued() > 0) {
        const ssize_t n = writeSome(m_queue.constData() + m_queueHead, size_t(BytesQueued()));
        if (n < 0) {
            if (wouldBlock(errno))
                break;
            raiseError(errno);
            return;
        }
        m_queueHead += n;
    }
    if (BytesQueued() > 0) {
        // Drop what was sent once it is most of the buffer, so a long-lived
        // queue does not keep its whole history.
        if (m_queueHead > EndpointLoop::ReadBufferBytes && m_queueHead * 2 > m_queue.size()) {
            m_queue.remove(0, m_queueHead);
            m_queueHead = 0;
        }
        return;
    }
    m_queue = QByteArray(); // an idle connection keeps no buffer
    m_queueHead = 0;
    if (m_shutdownPending)
        sendFin();
    updateInterest();
    emit m_array.SendComplete(m_index);
}

void Endpoint::raiseError(int code)
{
    m_pendingErrno = 0;
    m_state = SocketState::Error;
    m_queue = QByteArray();
    m_queueHead = 0;
    m_unread = QByteArray();
    (void)m_loop.reactor().setInterest(m_fd, Reactor::None); // failing or not, it is done
    m_lastError = {code, socketErrorText(code),
                   QStringLiteral("Connection to %1 failed: %2.")
                       .arg(remoteAddressText(), systemMessage(code))};
    if (code == TlsError && m_tls)
        m_lastError.detail = m_tls->failure().detail;
    emit m_array.Error(m_index, code, m_lastError.text, m_lastError.detail);
}

EndpointArray::EndpointArray(EndpointLoop &loop, QObject *parent)
    : QObject(parent)
    , m_loop(loop)
{
    m_items.push_back(std::make_unique<Endpoint>(*this, 0));
}

EndpointArray::~EndpointArray() = default;

bool EndpointArray::Load(int index)
{
    if (index != UBound() + 1 || index > MaxIndex)
        return false;
    m_items.push_back(std::make_unique<Endpoint>(*this, index));
    return true;
}

} // namespace pelk
