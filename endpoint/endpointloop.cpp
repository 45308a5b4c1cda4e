#include "endpointloop.h"
#include "connector.h"
#include "endpoint.h"
#include "lingerer.h"
#include "proxy.h"
#include "tls.h"

#include <QNetworkInterface>
#include <QTimerEvent>

#include <algorithm>

namespace pelk {

EndpointLoop::EndpointLoop(ReactorKind kind, QObject *parent)
    : QObject(parent)
    , m_reactor(kind == ReactorKind::Portable ? Reactor::createNotifierReactor() : Reactor::create())
    , m_readBuffer(std::make_unique<char[]>(size_t(ReadBufferBytes)))
    , m_connectTimeoutMs(Endpoint::ConnectTimeoutMs)
{
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
    for (LoopAlarm *head : {m_soon.first, m_deadlines.first, m_lingerDeadlines.first}) {
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

bool EndpointLoop::leadsToListener(const QHostAddress &target, quint16 port) const
{
    // Nearly every connect goes to another port: that is settled before any
    // address is looked at.
    if (std::none_of(m_listening.cbegin(), m_listening.cend(),
                     [port](const Listening &listening) { return listening.port == port; })) {
        return false;
    }
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
