#include "connector.h"
#include "porttext.h"
#include "socketcalls.h"
#include "socketerrors.h"
#include "socketstage.h"

#include <QHostInfo>

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

namespace pelk {

namespace {

int familyOf(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
}

// The families take turns, starting with the family the resolver put first;
// within a family the resolver's order stays.
QList<QHostAddress> interleaved(const QList<QHostAddress> &addresses)
{
    if (addresses.isEmpty())
        return addresses;
    QList<QHostAddress> first;
    QList<QHostAddress> other;
    for (const QHostAddress &address : addresses)
        (familyOf(address) == familyOf(addresses.first()) ? first : other).append(address);
    QList<QHostAddress> ordered;
    for (qsizetype i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size())
            ordered.append(first.at(i));
        if (i < other.size())
            ordered.append(other.at(i));
    }
    return ordered;
}

// "2001:db8::7 port 6667: timed out": one address's part of a detail.
QString outcomeText(const QHostAddress &address, quint16 port, int code)
{
    QString phrase = code == TimedOutError ? QStringLiteral("timed out") : socketErrorText(code);
    if (code != TimedOutError)
        phrase[0] = phrase.at(0).toLower();
    return QStringLiteral("%1 port %2: %3").arg(address.toString(), QString::number(port), phrase);
}

} // namespace

Connector::Connector(Reactor &reactor, AlarmClock &clock)
    : m_reactor(reactor)
    , m_clock(clock)
    , m_alarm([this] { onAlarm(); })
{
}

Connector::~Connector()
{
    cancel();
}

// A new connect: whatever ran before is stopped, and nothing of it is kept.
void Connector::begin(const QString &host, quint16 port)
{
    cancel();
    m_host = host;
    m_port = port;
    m_addresses.clear();
    m_next = 0;
    m_outcomes.clear();
    m_failCode = 0;
    m_failDetail.clear();
    m_done = false;
}

void Connector::start(const QString &name, quint16 port)
{
    const bool unprintable = std::any_of(name.cbegin(), name.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control;
    });
    if (unprintable) {
        // No host name holds control characters; and QHostAddress would
        // read "127.0.0.1\0junk" as the address before the NUL.
        begin(name, port);
        m_phase = SocketState::ResolvingHost;
        m_failCode = HostNotFoundError;
        m_failDetail = QStringLiteral("Cannot find host %1: the name holds control characters.")
                           .arg(quotedInput(m_host));
        m_clock.arm(m_alarm, 0);
        return;
    }

    QHostAddress literal;
    if (literal.setAddress(name)) {
        startWith(name, port, {literal});
        return;
    }

    begin(name, port);
    m_phase = SocketState::ResolvingHost;
    reserve();
    m_lookupContext = std::make_unique<QObject>();
    m_lookupId = QHostInfo::lookupHost(name, m_lookupContext.get(), [this](const QHostInfo &info) {
        if (m_done)
            return;
        m_lookupId = -1;
        m_lookupContext.release()->deleteLater(); // the caller of this function
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            fail(HostNotFoundError, QStringLiteral("Cannot find host %1: %2.")
                                                  .arg(quotedInput(m_host), info.errorString()));
            return;
        }
        m_addresses = interleaved(info.addresses());
        m_phase = SocketState::HostResolved;
        startNextAttempt();
    });
}

// The first attempt starts here; only its outcome is raised from the loop.
void Connector::startWith(const QString &host, quint16 port, const QList<QHostAddress> &addresses)
{
    begin(host, port);
    m_addresses = addresses.size() > 1 ? interleaved(addresses) : addresses;
    m_phase = SocketState::Connecting;
    m_starting = true;
    startNextAttempt();
    m_starting = false;
}

void Connector::cancel()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    if (m_lookupContext)
        m_lookupContext.release()->deleteLater(); // it may be delivering the lookup right now
    closeAttempts();
    finish();
}

void Connector::onAlarm()
{
    if (m_done)
        return;
    if (m_failCode != 0)
        fail(m_failCode, m_failDetail);
    else
        startNextAttempt(); // the delay ran out, or start() found nothing to run
}

// Holds a descriptor while the name is looked up, so that a descriptor free
// when the caller started is still there when the first attempt opens its
// socket: a stand-in, given back just before that.
void Connector::reserve()
{
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void Connector::releaseReserve()
{
    if (m_reserve >= 0)
        ::close(m_reserve);
    m_reserve = -1;
}

int Connector::openSocket(int family)
{
    releaseReserve();
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// Closes every attempt still running. One that has connected meanwhile is
// reset, so that its server is not left holding a connection nobody uses.
void Connector::closeAttempts()
{
    for (const Attempt &attempt : m_attempts) {
        m_reactor.forget(attempt.fd);
        resetAndClose(attempt.fd);
    }
    m_attempts.clear();
}

void Connector::timeOut(const QString &limit)
{
    if (!m_done)
        failAll(limit);
}

void Connector::finish()
{
    m_done = true;
    m_clock.disarm(m_alarm);
    releaseReserve();
}

// Starts an attempt on the next address; one that fails at once is noted and
// the address after it tried. With no address left and nothing running, the
// connect has failed (said from the loop when this is start()).
void Connector::startNextAttempt()
{
    m_clock.disarm(m_alarm);
    while (m_next < m_addresses.size()) {
        const QHostAddress address = m_addresses.at(m_next++);
        const int err = startAttempt(address);
        if (err == 0) {
            if (m_next < m_addresses.size())
                m_clock.arm(m_alarm, m_attemptDelayMs);
            return;
        }
        m_outcomes.push_back({address, err});
    }
    if (!m_attempts.empty())
        return;
    if (m_starting)
        m_clock.arm(m_alarm, 0);
    else
        failAll({});
}

// 0 when the connect is under way, else its errno. Beside a running attempt,
// a socket that cannot be had (out of descriptors) is just a failed attempt.
int Connector::startAttempt(const QHostAddress &address)
{
    if (leadsBack && leadsBack(address, m_port))
        return SelfConnectError;
    sockaddr_storage target;
    const socklen_t length = toSockaddr(address, m_port, target);
    if (length == 0)
        return ENODEV;
    const int fd = openSocket(target.ss_family);
    if (fd < 0)
        return errno;
    setNoDelay(fd);
    int err = 0;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&target), length) == 0 || errno == EINPROGRESS) {
        err = m_reactor.watch(fd, this, Reactor::Write);
        if (err == 0) {
            m_attempts.push_back({fd, address});
            m_phase = SocketState::Connecting;
            return 0;
        }
        m_reactor.unwatch(fd);
    } else {
        err = errno;
    }
    ::close(fd);
    return err;
}

void Connector::onWatchFailed(int fd, int err)
{
    const auto found = std::find_if(m_attempts.begin(), m_attempts.end(),
                                    [fd](const Attempt &a) { return a.fd == fd; });
    if (found == m_attempts.end())
        return;
    dropAttempt(std::size_t(found - m_attempts.begin()), err);
    startNextAttempt();
}

void Connector::dropAttempt(std::size_t i, int code)
{
    m_reactor.forget(m_attempts[i].fd);
    ::close(m_attempts[i].fd);
    m_outcomes.push_back({m_attempts[i].address, code});
    m_attempts.erase(m_attempts.begin() + qsizetype(i));
}

void Connector::onReady(int fd, bool, bool writable, bool failed)
{
    const auto found = std::find_if(m_attempts.begin(), m_attempts.end(),
                                    [fd](const Attempt &a) { return a.fd == fd; });
    if (found == m_attempts.end())
        return;
    // TCP says writable only once connected; a reactor that reports failures
    // apart says so with it when the connect failed instead.
    const bool surelyConnected = writable && !failed && m_reactor.reportsFailures();
    int err = 0;
    socklen_t length = sizeof err;
    if (!surelyConnected && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    sockaddr_storage peer{};
    if (err == 0 && writable) {
        toSockaddr(found->address, m_port, peer); // the address connected to
    } else if (err == 0) {
        socklen_t peerLength = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
            err = errno == ENOTCONN ? ECONNREFUSED : errno; // spurious wake-up shows as not connected
    }
    if (err != 0) {
        // A failure is an answer: the next address starts now, not after the delay.
        dropAttempt(std::size_t(found - m_attempts.begin()), err);
        startNextAttempt();
        return;
    }
    // Done: the socket goes to the caller, and nothing of this connector runs
    // after the callback, which may drop it.
    m_attempts.erase(found);
    closeAttempts();
    finish();
    onConnected(fd, peer);
}

// One Error for the whole connect: the phrase of the failure when every
// address failed alike, and in the detail each address with its outcome.
// timeLimit is empty unless the owner's limit ran out.
void Connector::failAll(const QString &timeLimit)
{
    // A server that leads back to the relay is a setting to mend, whatever
    // its other addresses did.
    const bool self = std::any_of(m_outcomes.cbegin(), m_outcomes.cend(), [](const Outcome &outcome) {
        return outcome.code == SelfConnectError;
    });
    if (self) {
        const EndpointError error = selfConnectError(m_host, m_port);
        fail(error.code, error.detail);
        return;
    }
    const bool timedOut = !timeLimit.isEmpty();
    for (const Attempt &attempt : m_attempts)
        m_outcomes.push_back({attempt.address, TimedOutError});

    int code = timedOut ? int(TimedOutError) : ECONNREFUSED;
    if (!timedOut && !m_outcomes.empty()) {
        code = m_outcomes.front().code;
        for (const Outcome &outcome : m_outcomes) {
            if (outcome.code != code)
                code = ConnectFailedError;
        }
    }
    const QString &limit = timeLimit;
    QString detail;
    if (m_outcomes.size() <= 1) {
        detail = timedOut ? QStringLiteral("No answer from %1 port %2 within %3 seconds.")
                                .arg(quotedInput(m_host), QString::number(m_port), limit)
                          : QStringLiteral("Cannot connect to %1 port %2: %3.")
                                .arg(quotedInput(m_host), QString::number(m_port), systemMessage(code));
    } else {
        QStringList tried;
        for (const Outcome &outcome : m_outcomes)
            tried << outcomeText(outcome.address, m_port, outcome.code);
        detail = (timedOut ? QStringLiteral("No connection to %1 within %2 seconds: %3.")
                                 .arg(quotedInput(m_host), limit)
                           : QStringLiteral("Cannot connect to %1: %2.").arg(quotedInput(m_host)))
                     .arg(tried.join(QStringLiteral("; ")));
    }
    fail(code, detail);
}

EndpointError Connector::selfConnectError(const QString &host, quint16 port)
{
    return failureOf(SelfConnectError,
                     QStringLiteral("Server %1 port %2 is where this relay itself listens: each client would "
                                    "be relayed back to the relay. Set Server and Port to the IRC server's.")
                         .arg(quotedInput(host), QString::number(port)));
}

void Connector::fail(int code, const QString &detail)
{
    closeAttempts();
    finish();
    onFailed(failureOf(code, detail));
}

} // namespace pelk
