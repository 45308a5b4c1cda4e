#include "endpointloop.h"
#include "endpoint.h"
#include "lingerer.h"
#include "proxy.h"
#include "tls.h"

#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>

namespace pelk {

EndpointLoop::EndpointLoop(ReactorKind kind, QObject *parent)
    : QObject(parent)
    , m_reactor(kind == ReactorKind::Portable ? Reactor::createNotifierReactor() : Reactor::create())
    , m_readBuffer(std::make_unique<char[]>(size_t(ReadBufferBytes)))
    , m_lingerSweep(std::make_unique<QTimer>())
    , m_connectTimeoutMs(Endpoint::ConnectTimeoutMs)
    , m_deadlineTimer(std::make_unique<QTimer>())
{
    m_lingerSweep->setInterval(1000);
    connect(m_lingerSweep.get(), &QTimer::timeout, this, &EndpointLoop::sweepLingering);
    m_deadlineTimer->setSingleShot(true);
    connect(m_deadlineTimer.get(), &QTimer::timeout, this, &EndpointLoop::expireDeadlines);
}

EndpointLoop::~EndpointLoop()
{
    for (auto &[fd, lingerer] : m_lingering)
        m_reactor->unwatch(fd);
    m_lingering.clear(); // their streams close the sockets
}

void EndpointLoop::setProxy(const std::optional<ProxyUrl> &proxy)
{
    m_proxy = proxy ? std::make_shared<const ProxyUrl>(*proxy) : nullptr;
}

TlsContext &EndpointLoop::tls()
{
    if (!m_tls)
        m_tls = std::make_unique<TlsContext>();
    return *m_tls;
}

// ---------------------------------------------------------------------------
// Lingering sockets

void EndpointLoop::linger(SocketStream stream, QByteArray queued, bool peerFinished)
{
    auto lingerer = std::make_unique<Lingerer>(*this, std::move(stream), std::move(queued), peerFinished);
    if (!lingerer->start())
        return; // its stream closes the socket
    const int fd = lingerer->fd();
    m_lingering[fd] = std::move(lingerer);
    if (!m_lingerSweep->isActive())
        m_lingerSweep->start();
}

void EndpointLoop::finishLinger(int fd)
{
    m_lingering.erase(fd);
    if (m_lingering.empty())
        m_lingerSweep->stop();
}

void EndpointLoop::sweepLingering()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<Lingerer *> expired;
    for (const auto &[fd, lingerer] : m_lingering) {
        if (lingerer->deadline() <= now)
            expired.push_back(lingerer.get());
    }
    for (Lingerer *lingerer : expired)
        lingerer->finish(true);
}

// ---------------------------------------------------------------------------
// Connect deadlines

void EndpointLoop::startDeadline(Endpoint &endpoint)
{
    stopDeadline(endpoint);
    endpoint.m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_connectTimeoutMs);
    // Kept in the order they end: at the back, unless the limit was changed
    // meanwhile.
    Endpoint *before = m_lastDeadline;
    while (before && before->m_deadline > endpoint.m_deadline)
        before = before->m_deadlinePrev;
    endpoint.m_deadlinePrev = before;
    endpoint.m_deadlineNext = before ? before->m_deadlineNext : m_firstDeadline;
    (endpoint.m_deadlineNext ? endpoint.m_deadlineNext->m_deadlinePrev : m_lastDeadline) = &endpoint;
    (before ? before->m_deadlineNext : m_firstDeadline) = &endpoint;
    endpoint.m_hasDeadline = true;
    if (m_firstDeadline == &endpoint) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(endpoint.m_deadline
                                                                       - std::chrono::steady_clock::now());
        m_deadlineTimer->start(std::max<int>(0, int(wait.count())));
    }
}

void EndpointLoop::stopDeadline(Endpoint &endpoint)
{
    if (!endpoint.m_hasDeadline)
        return;
    (endpoint.m_deadlinePrev ? endpoint.m_deadlinePrev->m_deadlineNext : m_firstDeadline) = endpoint.m_deadlineNext;
    (endpoint.m_deadlineNext ? endpoint.m_deadlineNext->m_deadlinePrev : m_lastDeadline) = endpoint.m_deadlinePrev;
    endpoint.m_deadlinePrev = endpoint.m_deadlineNext = nullptr;
    endpoint.m_hasDeadline = false;
    if (!m_firstDeadline)
        m_deadlineTimer->stop(); // else it fires for the old first and waits again
}

void EndpointLoop::expireDeadlines()
{
    const auto now = std::chrono::steady_clock::now();
    // Each expiry ends that connect, which may close or start others: take
    // the first again every time.
    while (m_firstDeadline && m_firstDeadline->m_deadline <= now) {
        Endpoint &endpoint = *m_firstDeadline;
        stopDeadline(endpoint);
        endpoint.connectTimedOut();
    }
    if (m_firstDeadline) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_firstDeadline->m_deadline - now);
        m_deadlineTimer->start(std::max<int>(0, int(wait.count())));
    }
}

// ---------------------------------------------------------------------------
// Accepting and listening

bool EndpointLoop::offerConnection(qintptr fd, const std::function<void()> &handle, bool tls)
{
    const qintptr outer = std::exchange(m_offered, fd);
    const bool outerTaken = std::exchange(m_offeredTaken, false);
    const bool outerTls = std::exchange(m_offeredTls, tls);
    handle();
    const bool taken = m_offeredTaken;
    m_offered = outer;
    m_offeredTaken = outerTaken;
    m_offeredTls = outerTls;
    return taken;
}

bool EndpointLoop::takeOffered(qintptr fd, bool *tls)
{
    if (fd < 0 || fd != m_offered || m_offeredTaken)
        return false;
    m_offeredTaken = true;
    *tls = m_offeredTls;
    return true;
}

void EndpointLoop::addListener(const Endpoint &listener, bool dualStack)
{
    for (const QHostAddress &address : listener.listeningAddresses()) {
        m_listening.push_back({&listener, address, quint16(listener.LocalPort()), dualStack});
        if (address == QHostAddress::AnyIPv6 || address == QHostAddress::AnyIPv4) {
            m_ownAddresses.clear();
            for (QHostAddress own : QNetworkInterface::allAddresses()) {
                own.setScopeId(QString());
                m_ownAddresses << own;
            }
        }
    }
}

void EndpointLoop::removeListener(const Endpoint &listener)
{
    std::erase_if(m_listening, [&listener](const Listening &l) { return l.owner == &listener; });
}

bool EndpointLoop::leadsToListener(const QHostAddress &target, quint16 port) const
{
    if (m_listening.empty())
        return false;
    QHostAddress address = target;
    address.setScopeId(QString());
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4); // "::ffff:127.0.0.1" reaches the IPv4 side
    // A connect to the unspecified address reaches this machine's loopback.
    if (address == QHostAddress::AnyIPv4)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (address == QHostAddress::AnyIPv6)
        address = QHostAddress(QHostAddress::LocalHostIPv6);
    const bool own = address.isLoopback() || m_ownAddresses.contains(address);
    for (const Listening &listening : m_listening) {
        if (listening.port != port)
            continue;
        if (listening.address == QHostAddress::AnyIPv6) {
            if (own && (listening.dualStack || !isIPv4))
                return true;
        } else if (listening.address == QHostAddress::AnyIPv4) {
            if (own && isIPv4)
                return true;
        } else if (listening.address == address) {
            return true;
        }
    }
    return false;
}

} // namespace pelk
