#include "connectpacer.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <vector>

namespace pelk {

namespace {

using Clock = ConnectPacer::Clock;

qint64 msUntil(Clock::time_point when, Clock::time_point now)
{
    return when <= now ? 0 : std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
}

// What IRC servers say when they close on an address that comes too often or
// is banned, in any case.
constexpr const char *ThrottleWords[] = {"throttl", "too fast", "too many", "k-lined", "z-lined", "banned"};
constexpr qsizetype MaxWordsShown = 200;

} // namespace

ConnectPacer::ConnectPacer(AlarmClock &clock)
    : m_clock(clock)
    , m_alarm([this] { fire(); })
{
}

ConnectPacer::~ConnectPacer()
{
    m_clock.disarm(m_alarm);
}

// When a connect to server may start with `ahead` clients before it, each
// taking its turn as early as it may.
Clock::time_point ConnectPacer::turnAfter(const Server &server, size_t ahead, Clock::time_point now) const
{
    const size_t limit = server.paced && m_pace.connects > 0 ? size_t(m_pace.connects) : 0;
    const auto window = std::chrono::milliseconds(m_pace.windowMs + m_marginMs);
    std::vector<Clock::time_point> starts(server.starts.cbegin(), server.starts.cend());
    Clock::time_point turn = server.holding ? std::max(now, server.heldUntil) : now;
    for (size_t k = 0;; ++k) {
        if (limit > 0 && starts.size() >= limit)
            turn = std::max(turn, starts[starts.size() - limit] + window);
        if (k == ahead)
            return turn;
        starts.push_back(turn);
    }
}

void ConnectPacer::started(Server &server, Clock::time_point when)
{
    if (!server.paced || m_pace.connects <= 0)
        return;
    server.starts.push_back(when);
    while (server.starts.size() > size_t(m_pace.connects))
        server.starts.pop_front();
}

ConnectPacer::Turn ConnectPacer::request(const QString &key, int slot, bool paced)
{
    Server &server = m_servers[key];
    server.paced = paced;
    const Clock::time_point now = Clock::now();
    if (server.waiting.empty() && turnAfter(server, 0, now) <= now) {
        started(server, now);
        return {};
    }
    server.waiting.push_back(slot);
    const Clock::time_point turn = turnAfter(server, server.waiting.size() - 1, now);
    schedule();
    return {msUntil(turn, now), server.holding};
}

void ConnectPacer::cancel(int slot)
{
    for (Server &server : m_servers) {
        const auto found = std::find(server.waiting.begin(), server.waiting.end(), slot);
        if (found != server.waiting.end()) {
            server.waiting.erase(found);
            schedule();
            return;
        }
    }
}

std::vector<std::pair<int, ConnectPacer::Turn>> ConnectPacer::waiting(const QString &key) const
{
    std::vector<std::pair<int, Turn>> turns;
    const auto found = m_servers.constFind(key);
    if (found == m_servers.cend())
        return turns;
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < found->waiting.size(); ++i)
        turns.emplace_back(found->waiting[i], Turn{msUntil(turnAfter(*found, i, now), now), found->holding});
    return turns;
}

qint64 ConnectPacer::throttled(const QString &key, const QString &words)
{
    Server &server = m_servers[key];
    server.words = words;
    const Clock::time_point now = Clock::now();
    if (server.holding && now < server.heldUntil)
        return 0; // connects made before the hold, throttled for the same reason
    server.holdMs = server.holdMs == 0 ? m_firstHoldMs : std::min<qint64>(2 * server.holdMs, m_maxHoldMs);
    server.heldUntil = now + std::chrono::milliseconds(server.holdMs);
    server.holding = true;
    schedule();
    return server.holdMs;
}

QString ConnectPacer::heldFor(const QString &key) const
{
    const auto found = m_servers.constFind(key);
    return found == m_servers.cend() ? QString() : found->words;
}

void ConnectPacer::calm(const QString &key)
{
    const auto found = m_servers.find(key);
    if (found != m_servers.end())
        found->holdMs = 0;
}

// One alarm, for the earliest turn or the end of the earliest hold.
void ConnectPacer::schedule()
{
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> first;
    for (const Server &server : std::as_const(m_servers)) {
        std::optional<Clock::time_point> due;
        if (!server.waiting.empty())
            due = turnAfter(server, 0, now);
        else if (server.holding)
            due = server.heldUntil;
        if (due && (!first || *due < *first))
            first = due;
    }
    if (first)
        m_clock.arm(m_alarm, int(msUntil(*first, now)));
    else
        m_clock.disarm(m_alarm);
}

void ConnectPacer::fire()
{
    const Clock::time_point now = Clock::now();
    const auto window = std::chrono::milliseconds(m_pace.windowMs + m_marginMs);
    std::vector<int> ready;
    QList<QString> holdsOver;
    for (auto it = m_servers.begin(); it != m_servers.end();) {
        Server &server = *it;
        if (server.holding && now >= server.heldUntil) {
            server.holding = false;
            holdsOver << it.key();
        }
        while (!server.waiting.empty() && turnAfter(server, 0, now) <= now) {
            ready.push_back(server.waiting.front());
            server.waiting.pop_front();
            started(server, now);
        }
        // A server with nothing left to remember is forgotten.
        const bool counting = !server.starts.empty() && server.starts.back() + window > now;
        if (server.waiting.empty() && !server.holding && server.holdMs == 0 && !counting)
            it = m_servers.erase(it);
        else
            ++it;
    }
    schedule();
    // Last: each may ask again, or cancel.
    for (const QString &key : std::as_const(holdsOver)) {
        if (onHoldOver)
            onHoldOver(key);
    }
    for (const int slot : ready) {
        if (onTurn)
            onTurn(slot);
    }
}

QString throttleWords(QByteArrayView tail)
{
    const QList<QByteArray> lines = tail.toByteArray().split('\n');
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        QByteArray line = lines.at(i).trimmed();
        // "ERROR :words", or ":server ERROR :words".
        if (line.startsWith(':'))
            line = line.mid(line.indexOf(' ') + 1);
        if (!line.startsWith("ERROR "))
            continue;
        line = line.mid(6);
        if (line.startsWith(':'))
            line = line.mid(1);
        const QByteArray lower = line.toLower();
        if (std::none_of(std::begin(ThrottleWords), std::end(ThrottleWords),
                         [&](const char *word) { return lower.contains(word); })) {
            return {};
        }
        QString shown;
        for (const QChar c : QString::fromUtf8(line)) {
            if (shown.size() >= MaxWordsShown)
                break;
            if (c.isPrint())
                shown += c;
        }
        return shown;
    }
    return {};
}

} // namespace pelk
