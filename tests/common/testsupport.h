#pragma once

// Helpers shared by the test executables: payloads and hashes, process
// resource probes, waits on the event loop, a running relay, a real IRC
// server on loopback and a line-based IRC client. The plain-socket test
// peers are in peer.h.
//
// Everything here runs on the test's own thread and waits by spinning that
// thread's event loop (never by blocking it), so an in-process relay keeps
// working while a test waits for its output.

#include "peer.h"
#include "relay.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace pelktest {

// `size` bytes of every value 0..255, the same for the same seed.
QByteArray randomPayload(qsizetype size, quint32 seed);

// SHA-256 of `data`, raw 32 bytes; compare payloads by hash so that a
// mismatch does not dump megabytes into the log.
QByteArray sha256(QByteArrayView data);

// Resident set size of this process in bytes (VmRSS), -1 if unreadable.
qint64 residentBytes();

// Descriptors open in this process right now, -1 if unreadable.
int openFdCount();

// A loopback port that was free a moment ago: binds port 0, reads the port,
// closes. Only for servers that cannot be told to take port 0 themselves;
// another process may take the port in between, so callers retry.
quint16 freeLoopbackPort(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));

// Runs the event loop until done() holds or the time is up. The loop blocks
// in its own wait between events, as in the running program; QTest::qWait
// sleeps between passes, which would slow heavy traffic down and hide a busy
// loop.
bool runUntil(const std::function<bool()> &done, int timeoutMs);

// Runs the event loop until value() has stopped changing: the same for
// SteadyChecks checks in a row, SteadyMs apart at the least, so that one late
// pass of a loaded machine does not count as quiet. False if it still
// changes after timeoutMs.
bool runUntilSteady(const std::function<qint64()> &value, int timeoutMs);
constexpr int SteadyChecks = 25;
constexpr int SteadyMs = 200;

// A relay listening on a system-chosen loopback port, sending its clients to
// upstreamHost and upstreamPort, which a test may change between clients.
struct RunningRelay
{
    explicit RunningRelay(quint16 upstream);

    quint16 port() { return quint16(relay.Winsock1(0).LocalPort()); }
    // Slot `slot` exists and its upstream connection is up.
    bool upstreamUp(int slot) const
    {
        return relay.Winsock2.UBound() >= slot && relay.Winsock2(slot).State() == pelk::SocketState::Connected;
    }
    bool idle() const { return relay.connectedClients() == 0 && relay.loop.lingeringCount() == 0; }

    pelk::Relay relay;
    QString upstreamHost = QStringLiteral("127.0.0.1");
    QString upstreamPort;
    bool listening = false;
};

// The test child program (childprogram.cpp) in a process of its own, with
// the arguments that choose its mode. Every line it prints is kept in lines.
// The destructor closes its standard input, which ends it, and kills it if it
// has not ended within StopTimeoutMs.
class ChildProgram
{
public:
    static constexpr int StartTimeoutMs = 10 * 1000;
    static constexpr int StopTimeoutMs = 3 * 1000;

    explicit ChildProgram(const QStringList &arguments);
    ~ChildProgram();
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    // The port of its "listening N" line; 0 when it says none in time.
    quint16 port();
    // The rest of the last line that starts with `prefix`, null if none.
    QString last(const QString &prefix) const;
    void send(const QByteArray &line) { process.write(line + '\n'); }
    // CPU time the child has used so far, in milliseconds.
    qint64 cpuTimeMs() const;

    QProcess process;
    QStringList lines;
};

// An ngIRCd instance of its own, in the foreground, listening on one
// loopback address only. Its configuration lives in a temporary directory:
// no PID file, no chroot, no DNS or ident lookups, no PAM, a MOTD phrase so
// that registration completes, and room for many connections from one
// address. The process is terminated (then killed) by the destructor.
//
// Tests call available() first and QSKIP when it is false.
class IrcServer
{
public:
    static constexpr int StartTimeoutMs = 10 * 1000;
    static constexpr int StopTimeoutMs = 3 * 1000;
    static constexpr int MaxConnectionsFromOneAddress = 200;

    explicit IrcServer(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    ~IrcServer();
    IrcServer(const IrcServer &) = delete;
    IrcServer &operator=(const IrcServer &) = delete;

    static QString binaryPath();
    static bool available();

    // Serves TLS on a second port too, with these PEM files; before start().
    void enableTls(const QString &certFile, const QString &keyFile, const QString &dhFile);
    quint16 tlsPort() const { return m_tlsPort; }

    // Starts the server and waits until its port accepts a connection.
    // On failure returns false; errorString() and output() say why.
    bool start();

    QHostAddress address() const { return m_address; }
    QString host() const { return m_address.toString(); }
    quint16 port() const { return m_port; }
    bool isRunning() const;

    QString errorString() const { return m_error; }
    // Everything the server printed so far, for failure messages.
    QByteArray output();

private:
    bool startOnce(quint16 port, quint16 tlsPort);
    void stop();
    bool writeConfig(const QString &path, quint16 port, quint16 tlsPort) const;

    QHostAddress m_address;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    QStringList m_tlsFiles; // certificate, key, DH parameters
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    QString m_error;
};

// A line-oriented IRC client on a test peer (peer.h). Every received line
// (without its CR LF) is kept in lines(); the server's PING is answered with
// PONG as soon as it arrives, so a slow test is never dropped for idling.
//
// waitForLine() looks only at lines after the last one it matched, so a test
// can wait for a sequence of replies in order without matching an old one
// twice.
class IrcClient
{
public:
    static constexpr int DefaultTimeoutMs = 10 * 1000;

    IrcClient() = default;
    IrcClient(const IrcClient &) = delete; // the peer's callback holds `this`
    IrcClient &operator=(const IrcClient &) = delete;

    // False when the connection is refused or not up within timeoutMs.
    bool connectTo(const QHostAddress &host, quint16 port, int timeoutMs = DefaultTimeoutMs);

    // Sends `line` followed by CR LF.
    void sendLine(const QByteArray &line);

    // Waits until an unmatched line matches, then stores it in *matched.
    bool waitForLine(const QRegularExpression &pattern, int timeoutMs = DefaultTimeoutMs,
                     QByteArray *matched = nullptr);
    bool waitForLine(QByteArrayView substring, int timeoutMs = DefaultTimeoutMs,
                     QByteArray *matched = nullptr);

    // NICK and USER, then waits for the welcome numeric 001.
    bool signOn(const QByteArray &nick, int timeoutMs = DefaultTimeoutMs);

    // Waits until the peer has closed the connection and it is released.
    bool waitForDisconnected(int timeoutMs = DefaultTimeoutMs);

    const QList<QByteArray> &lines() const { return m_lines; }
    QByteArray nick() const { return m_nick; }
    Connection &connection() { return *m_connection; } // after connectTo()

    // The last lines received, one per line, for failure messages (which
    // QtTest cuts at about a thousand characters).
    QString transcript(int lastLines = 8) const;

private:
    void readLines(QByteArrayView chunk);
    template <typename Match>
    bool waitFor(Match match, int timeoutMs, QByteArray *matched);

    std::unique_ptr<Connection> m_connection;
    QByteArray m_partial;
    QList<QByteArray> m_lines;
    qsizetype m_nextUnmatched = 0;
    QByteArray m_nick;
};

} // namespace pelktest
