#pragma once

#include "alarmclock.h"

#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

namespace pelk {

// How fast the relay may knock at a server. Networks count the connects that
// come from one address and throttle, then ban, an address that comes too
// often (Solanum refuses a 4th connect within 60 s; UnrealIRCd takes 3 a
// minute; Rizon bans at the 5th): a household's clients all come from the
// relay's one address.
//
// A server is known by a key (its host and port as written, and the proxy
// that reaches it). At most pace().connects connects start to one server in
// any window of pace().windowMs (plus MarginMs, as the server counts from
// its own accepts); a client beyond that waits its turn, in order. A server
// that said it throttled or banned this address is held: no connect starts
// to it for the hold, which doubles with each repeat up to MaxHoldMs, and
// goes back to FirstHoldMs once a session has been calm for CalmSessionMs.
// Servers on this computer are not paced (the caller says which), though a
// hold applies to them too.
//
// It holds its own clock: one alarm, armed only while a client waits or a
// hold runs; onTurn fires at a waiting client's turn, onHoldOver when a
// hold ends. Neither may destroy the pacer.
class ConnectPacer
{
public:
    using Clock = std::chrono::steady_clock;

    struct Pace
    {
        int connects = 3; // 0: not paced
        int windowMs = 60 * 1000;
    };
    static constexpr Pace DefaultPace{3, 60 * 1000};
    static constexpr int MarginMs = 1000;
    static constexpr int FirstHoldMs = 60 * 1000;
    static constexpr int MaxHoldMs = 10 * 60 * 1000;
    static constexpr int CalmSessionMs = 5 * 60 * 1000;

    explicit ConnectPacer(AlarmClock &clock);
    ~ConnectPacer();
    ConnectPacer(const ConnectPacer &) = delete;
    ConnectPacer &operator=(const ConnectPacer &) = delete;

    void setPace(Pace pace) { m_pace = pace; }
    Pace pace() const { return m_pace; }
    // Tests shorten these.
    void setHolds(int marginMs, int firstHoldMs, int maxHoldMs)
    {
        m_marginMs = marginMs;
        m_firstHoldMs = firstHoldMs;
        m_maxHoldMs = maxHoldMs;
    }

    struct Turn
    {
        qint64 waitMs = 0; // 0: the connect may start now, and is counted
        bool held = false; // the wait is a hold's
    };
    // Slot's client wants to connect to server. Paced: the server is not on
    // this computer. A client that must wait is queued until onTurn, or
    // until cancel().
    Turn request(const QString &server, int slot, bool paced);
    void cancel(int slot);
    // The wait of every queued client of server, in order.
    std::vector<std::pair<int, Turn>> waiting(const QString &server) const;

    // The server said it throttled this address (its words): the hold it
    // is given (0 when one runs already, from the same burst of connects).
    qint64 throttled(const QString &server, const QString &words);
    // What the server said when it was last held; empty when none.
    QString heldFor(const QString &server) const;
    // A session with the server has been calm long enough: its next hold is
    // the first length again.
    void calm(const QString &server);

    std::function<void(int slot)> onTurn;
    std::function<void(const QString &server)> onHoldOver;

private:
    struct Server
    {
        bool paced = true;
        std::deque<Clock::time_point> starts; // the last pace().connects of them
        std::deque<int> waiting;              // slots, in order
        Clock::time_point heldUntil;
        qint64 holdMs = 0; // the last hold's length; 0 when calm
        bool holding = false;
        QString words; // the server's, when it was last held
    };

    Clock::time_point turnAfter(const Server &server, size_t ahead, Clock::time_point now) const;
    void started(Server &server, Clock::time_point when);
    void schedule();
    void fire();

    AlarmClock &m_clock;
    LoopAlarm m_alarm;
    Pace m_pace = DefaultPace;
    int m_marginMs = MarginMs;
    int m_firstHoldMs = FirstHoldMs;
    int m_maxHoldMs = MaxHoldMs;
    QHash<QString, Server> m_servers;
};

// What a server's last words before it closed say, when they say it
// throttled, limited or banned this address: the text of its ERROR line
// ("Closing Link: ... (Throttled: Reconnecting too fast)"), printable
// characters only, at most 200; empty otherwise. tail: the last bytes it sent.
QString throttleWords(QByteArrayView tail);

} // namespace pelk
