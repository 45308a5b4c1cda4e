#include "endpointloop.h"
#include "addresswatch.h"
#include "connector.h"
#include "socketcalls.h"
#include "tlscontext.h"


#include <utility>

namespace pelk {

EndpointLoop::EndpointLoop(ReactorKind kind, QObject *parent)
    : QObject(parent)
    , m_reactor(kind == ReactorKind::Portable ? Reactor::createNotifierReactor() : Reactor::create())
    , m_lingering(*m_reactor, m_clock, m_readBuffer)
    , m_resumeRound([this] { endResumeRound(); })
    , m_addressWatch(AddressWatch::open(*m_reactor, [this](const QList<QHostAddress> &gone) { endConnectionsFrom(gone); }))
{
    m_ownListeners.setAddressWatch(m_addressWatch.get());
}

EndpointLoop::~EndpointLoop()
{
    m_clock.disarm(m_resumeRound);
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
// Dead paths

void EndpointLoop::setKeepAlive(const KeepAlive &normal, const KeepAlive &resume, int resumeRoundMs)
{
    m_keepAlive = normal;
    m_resumeKeepAlive = resume;
    m_resumeRoundMs = resumeRoundMs;
}

void EndpointLoop::addOpen(LoopConnection &connection)
{
    if (connection.m_open)
        return;
    connection.m_open = true;
    connection.m_prevOpen = nullptr;
    connection.m_nextOpen = m_firstOpen;
    if (m_firstOpen)
        m_firstOpen->m_prevOpen = &connection;
    m_firstOpen = &connection;
}

void EndpointLoop::removeOpen(LoopConnection &connection)
{
    if (!connection.m_open)
        return;
    (connection.m_prevOpen ? connection.m_prevOpen->m_nextOpen : m_firstOpen) = connection.m_nextOpen;
    if (connection.m_nextOpen)
        connection.m_nextOpen->m_prevOpen = connection.m_prevOpen;
    connection.m_prevOpen = connection.m_nextOpen = nullptr;
    connection.m_open = false;
}

void EndpointLoop::probeConnections()
{
    applyKeepAliveToAll(m_resumeKeepAlive);
    m_clock.arm(m_resumeRound, m_resumeRoundMs);
}

void EndpointLoop::endResumeRound()
{
    applyKeepAliveToAll(m_keepAlive);
}

// Every open connection's socket and every lingering one.
void EndpointLoop::applyKeepAliveToAll(const KeepAlive &keepAlive)
{
    for (LoopConnection *c = m_firstOpen; c; c = c->m_nextOpen)
        applyKeepAlive(c->socket(), keepAlive);
    m_lingering.forEach([&keepAlive](int fd) { applyKeepAlive(fd, keepAlive); });
}

void EndpointLoop::endConnectionsFrom(const QList<QHostAddress> &gone)
{
    const auto goesOutFromGone = [&](int fd) {
        const QHostAddress local = plainAddress(localAddressOf(fd));
        return !local.isNull() && !local.isLoopback() && gone.contains(local);
    };
    // Found first and ended after: ending one may close others (its pair),
    // which leave the list. One closed meanwhile no longer has the socket.
    std::vector<std::pair<LoopConnection *, int>> ending;
    for (LoopConnection *c = m_firstOpen; c; c = c->m_nextOpen) {
        if (goesOutFromGone(c->socket()))
            ending.emplace_back(c, c->socket());
    }
    std::vector<int> lingering;
    m_lingering.forEach([&](int fd) {
        if (goesOutFromGone(fd))
            lingering.push_back(fd);
    });
    for (const auto &[connection, fd] : ending) {
        if (connection->m_open && connection->socket() == fd)
            connection->addressRemoved();
    }
    for (const int fd : lingering)
        m_lingering.reset(fd);
}

// ---------------------------------------------------------------------------
// Connectors, and accepting

std::unique_ptr<Connector> EndpointLoop::takeConnector()
{
    if (m_spareConnectors.empty())
        return std::make_unique<Connector>(*m_reactor, m_clock);
    std::unique_ptr<Connector> connector = std::move(m_spareConnectors.back());
    m_spareConnectors.pop_back();
    return connector;
}

void EndpointLoop::returnConnector(std::unique_ptr<Connector> connector)
{
    m_spareConnectors.push_back(std::move(connector));
}

bool EndpointLoop::offerConnection(qintptr fd, const std::function<void()> &handle, bool tls,
                                   const sockaddr_storage *peer)
{
    const qintptr outer = std::exchange(m_offered, fd);
    const bool outerTaken = std::exchange(m_offeredTaken, false);
    const bool outerTls = std::exchange(m_offeredTls, tls);
    const sockaddr_storage *outerPeer = std::exchange(m_offeredPeer, peer);
    handle();
    const bool taken = m_offeredTaken;
    m_offered = outer;
    m_offeredTaken = outerTaken;
    m_offeredTls = outerTls;
    m_offeredPeer = outerPeer;
    return taken;
}

QHostAddress EndpointLoop::offeredAddress() const
{
    return m_offered >= 0 && m_offeredPeer ? QHostAddress(reinterpret_cast<const sockaddr *>(m_offeredPeer))
                                           : QHostAddress();
}

bool EndpointLoop::takeOffered(qintptr fd, bool *tls, const sockaddr_storage **peer)
{
    if (fd < 0 || fd != m_offered || m_offeredTaken)
        return false;
    m_offeredTaken = true;
    *tls = m_offeredTls;
    *peer = m_offeredPeer;
    return true;
}

} // namespace pelk
