#include "endpointloop.h"
#include "addresswatch.h"
#include "connector.h"
#include "endpoint.h"
#include "lingerer.h"
#include "proxy.h"
#include "socketcalls.h"
#include "tls.h"

#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimerEvent>

#include <algorithm>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pelk {

void applyKeepAlive(int fd, const KeepAlive &keepAlive)
{
    // The user timeout and interval first: setting the idle time re-arms the
    // keepalive timer, which should find the rest in place.
    const int on = 1;
    const unsigned int unanswered = unsigned(keepAlive.unansweredMs);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unanswered, sizeof unanswered);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepAlive.intervalS, sizeof keepAlive.intervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive.idleS, sizeof keepAlive.idleS);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

EndpointLoop::EndpointLoop(ReactorKind kind, QObject *parent)
    : QObject(parent)
    , m_reactor(kind == ReactorKind::Portable ? Reactor::createNotifierReactor() : Reactor::create())
    , m_readBuffer(std::make_unique<char[]>(size_t(ReadBufferBytes)))
    , m_connectTimeoutMs(Endpoint::ConnectTimeoutMs)
    , m_resumeRound([this] { endResumeRound(); })
    , m_addressWatch(AddressWatch::open(*m_reactor, [this](const QHostAddress &address) { endConnectionsFrom(address); }))
{
}

EndpointLoop::~EndpointLoop()
{
    disarm(m_resumeRound);
    m_addressWatch.reset();
    for (auto &[fd, lingerer] : m_lingering)
        m_reactor->unwatch(fd);
    m_lingering.clear(); // their streams close the sockets
}

// ---------------------------------------------------------------------------
// Dead paths

void EndpointLoop::setKeepAlive(const KeepAlive &normal, const KeepAlive &resume, int resumeRoundMs)
{
    m_keepAlive = normal;
    m_resumeKeepAlive = resume;
    m_resumeRoundMs = resumeRoundMs;
}

template <typename F>
void EndpointLoop::forEachOpenEndpoint(F f)
{
    // By index: a handler called from f may close endpoints, but arrays only
    // grow, and none goes while the loop runs.
    for (size_t a = 0; a < m_arrays.size(); ++a) {
        EndpointArray &array = *m_arrays[a];
        for (int i = 0; i <= array.UBound(); ++i) {
            Endpoint &endpoint = array(i);
            if (endpoint.m_c.stream.isOpen())
                f(endpoint);
        }
    }
}

void EndpointLoop::probeConnections()
{
    forEachOpenEndpoint([this](Endpoint &endpoint) { applyKeepAlive(endpoint.m_c.stream.fd(), m_resumeKeepAlive); });
    for (const auto &[fd, lingerer] : m_lingering)
        applyKeepAlive(fd, m_resumeKeepAlive);
    arm(m_soon, m_resumeRound, m_resumeRoundMs);
}

void EndpointLoop::endResumeRound()
{
    forEachOpenEndpoint([this](Endpoint &endpoint) { applyKeepAlive(endpoint.m_c.stream.fd(), m_keepAlive); });
    for (const auto &[fd, lingerer] : m_lingering)
        applyKeepAlive(fd, m_keepAlive);
}

// A null address: the system may have dropped news of removals, so every
// connection is checked against the addresses the computer has now.
void EndpointLoop::endConnectionsFrom(const QHostAddress &address)
{
    QList<QHostAddress> current;
    if (address.isNull()) {
        for (const QHostAddress &own : QNetworkInterface::allAddresses())
            current << plainAddress(own);
    }
    const auto gone = [&](int fd) {
        const QHostAddress local = plainAddress(localAddressOf(fd));
        if (local.isNull() || local.isLoopback())
            return false;
        return address.isNull() ? !current.contains(local) : local == address;
    };
    forEachOpenEndpoint([&](Endpoint &endpoint) {
        if (endpoint.m_c.isOpen() && gone(endpoint.m_c.stream.fd()))
            endpoint.addressRemoved();
    });
    std::vector<int> lingering;
    for (const auto &[fd, lingerer] : m_lingering) {
        if (gone(fd))
            lingering.push_back(fd);
    }
    for (const int fd : lingering) {
        if (const auto found = m_lingering.find(fd); found != m_lingering.end())
            found->second->finish(true);
    }
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
}

void EndpointLoop::finishLinger(int fd)
{
    m_lingering.erase(fd);
}

std::unique_ptr<Connector> EndpointLoop::takeConnector()
{
    if (m_spareConnectors.empty())
        return std::make_unique<Connector>(*this);
    std::unique_ptr<Connector> connector = std::move(m_spareConnectors.back());
    m_spareConnectors.pop_back();
    return connector;
}

void EndpointLoop::returnConnector(std::unique_ptr<Connector> connector)
{
    m_spareConnectors.push_back(std::move(connector));
}

// ---------------------------------------------------------------------------
// Alarms

void EndpointLoop::armDeadline(LoopAlarm &alarm)
{
    arm(m_deadlines, alarm, m_connectTimeoutMs);
}

void EndpointLoop::armLingerDeadline(LoopAlarm &alarm)
{
    arm(m_lingerDeadlines, alarm, m_lingerTimeoutMs);
}

void EndpointLoop::armHalfCloseDeadline(LoopAlarm &alarm)
{
    arm(m_halfCloseDeadlines, alarm, m_halfCloseTimeoutMs);
}

void EndpointLoop::armSoon(LoopAlarm &alarm, int delayMs)
{
    arm(m_soon, alarm, delayMs);
}

void EndpointLoop::arm(LoopAlarm::List &list, LoopAlarm &alarm, int delayMs)
{
    disarm(alarm);
    alarm.m_due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    // At the back, unless one armed before is due later (the limit changed,
    // or a shorter delay).
    LoopAlarm *before = list.last;
    while (before && before->m_due > alarm.m_due)
        before = before->m_prev;
    alarm.m_prev = before;
    alarm.m_next = before ? before->m_next : list.first;
    (alarm.m_next ? alarm.m_next->m_prev : list.last) = &alarm;
    (before ? before->m_next : list.first) = &alarm;
    alarm.m_list = &list;
    if (list.first == &alarm)
        scheduleAlarms();
}

void EndpointLoop::disarm(LoopAlarm &alarm)
{
    LoopAlarm::List *list = alarm.m_list;
    if (!list)
        return;
    (alarm.m_prev ? alarm.m_prev->m_next : list->first) = alarm.m_next;
    (alarm.m_next ? alarm.m_next->m_prev : list->last) = alarm.m_prev;
    alarm.m_prev = alarm.m_next = nullptr;
    alarm.m_list = nullptr;
    if (!firstAlarm())
        m_alarmTimer.stop(); // else it fires for the old first and waits again
}

// The earliest alarm of all lists; null when none is armed.
LoopAlarm *EndpointLoop::firstAlarm() const
{
    LoopAlarm *first = nullptr;
    for (LoopAlarm *head : {m_soon.first, m_deadlines.first, m_lingerDeadlines.first, m_halfCloseDeadlines.first}) {
        if (head && (!first || head->m_due < first->m_due))
            first = head;
    }
    return first;
}

// Sets the timer for the earliest alarm, unless it is set for then already.
void EndpointLoop::scheduleAlarms()
{
    const LoopAlarm *first = firstAlarm();
    if (!first) {
        m_alarmTimer.stop();
        return;
    }
    if (m_alarmTimer.isActive() && m_alarmTimerDue <= first->m_due)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->m_due - std::chrono::steady_clock::now());
    m_alarmTimerDue = first->m_due;
    m_alarmTimer.start(std::max<int>(0, int(wait.count())), Qt::PreciseTimer, this);
}

void EndpointLoop::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_alarmTimer.timerId())
        expireAlarms();
    else
        QObject::timerEvent(event);
}

void EndpointLoop::expireAlarms()
{
    m_alarmTimer.stop();
    const auto now = std::chrono::steady_clock::now();
    // Each one may end a connect or a lingering socket, which may arm or
    // disarm others, or delete the alarm itself: take the first again every
    // time, and call a copy of its handler.
    for (LoopAlarm *due = firstAlarm(); due && due->m_due <= now; due = firstAlarm()) {
        disarm(*due);
        const std::function<void()> fire = due->m_fire;
        fire();
    }
    scheduleAlarms();
}

// ---------------------------------------------------------------------------
// Accepting and listening

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

bool EndpointLoop::takeOffered(qintptr fd, bool *tls, const sockaddr_storage **peer)
{
    if (fd < 0 || fd != m_offered || m_offeredTaken)
        return false;
    m_offeredTaken = true;
    *tls = m_offeredTls;
    *peer = m_offeredPeer;
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

bool EndpointLoop::listensOnPort(quint16 port) const
{
    return std::any_of(m_listening.cbegin(), m_listening.cend(),
                       [port](const Listening &listening) { return listening.port == port; });
}

bool EndpointLoop::leadsToListener(const QHostAddress &target, quint16 port) const
{
    // Nearly every connect goes to another port: that is settled before any
    // address is looked at.
    if (!listensOnPort(port))
        return false;
    // "::ffff:127.0.0.1" reaches the IPv4 side.
    QHostAddress address = plainAddress(target);
    const bool isIPv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
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

bool EndpointLoop::isOwnAddress(const QHostAddress &address) const
{
    const QHostAddress plain = plainAddress(address);
    if (plain.isLoopback())
        return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(), [&plain](const QHostAddress &a) { return plainAddress(a) == plain; });
}

bool EndpointLoop::proxyLeadsToListener(const QHostAddress &proxyAddress, const QString &host, quint16 port) const
{
    if (!listensOnPort(port) || !isOwnAddress(proxyAddress))
        return false;
    QHostAddress literal;
    if (literal.setAddress(host))
        return leadsToListener(literal, port);

    QString name = host.toLower();
    if (name.endsWith(u'.'))
        name.chop(1);
    QList<QHostAddress> addresses;
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")))
        addresses << QHostAddress(QHostAddress::LocalHost) << QHostAddress(QHostAddress::LocalHostIPv6);
    const QString hostName = QHostInfo::localHostName().toLower();
    if (!hostName.isEmpty() && (name == hostName || name == hostName.section(u'.', 0, 0)))
        addresses << QNetworkInterface::allAddresses();
    // /etc/hosts: "ADDRESS NAME [ALIAS...]", with comments after '#'.
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (hosts.open(QIODevice::ReadOnly | QIODevice::Text)) {
        constexpr int MaxHostsLines = 10000;
        for (int i = 0; i < MaxHostsLines && !hosts.atEnd(); ++i) {
            const QByteArray line = hosts.readLine(4096);
            const QList<QByteArray> fields = line.left(line.indexOf('#')).simplified().split(' ');
            if (fields.size() < 2)
                continue;
            for (qsizetype f = 1; f < fields.size(); ++f) {
                if (QString::fromLatin1(fields.at(f)).toLower() == name && literal.setAddress(QString::fromLatin1(fields.at(0))))
                    addresses << literal;
            }
        }
    }
    return std::any_of(addresses.cbegin(), addresses.cend(),
                       [this, port](const QHostAddress &address) { return leadsToListener(address, port); });
}

} // namespace pelk
