#pragma once

// Helpers shared by the test executables: payloads and hashes, process
// resource probes, waits on the event loop, a running relay and the child
// program. The plain-socket test peers are in peer.h.
//
// Everything here runs on the test's own thread and waits by spinning that
// thread's event loop (never by blocking it), so an in-process relay keeps
// working while a test waits for its output.

#include "peer.h"
#include "processsetup.h"
#include "relay.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QProcess>
#include <QString>

#include <functional>

namespace pelktest {

// `size` bytes of every value 0..255, the same for the same seed.
QByteArray randomPayload(qsizetype size, quint32 seed);

// SHA-256 of `data`, raw 32 bytes; compare payloads by hash so that a
// mismatch does not dump megabytes into the log.
QByteArray sha256(QByteArrayView data);

// Resident set size of this process in bytes (VmRSS), -1 if unreadable.
qint64 residentBytes();

// Descriptors open in this process (or in process pid) right now, -1 if
// unreadable.
int openFdCount(qint64 pid = 0);

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

// The calling thread in a network namespace of its own until destroyed, with
// its own loopback up: sockets it makes, and programs it starts (nft, ip),
// live there, so a test can make a path die (drop()) without touching the
// machine's network. Needs the right to make namespaces (root); entered()
// says whether it could, and why not.
class PrivateNetwork
{
public:
    PrivateNetwork();
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork &) = delete;
    PrivateNetwork &operator=(const PrivateNetwork &) = delete;

    bool entered() const { return m_failure.isEmpty(); }
    const QString &failure() const { return m_failure; }

    // Runs a program in the namespace; true when it exits 0.
    bool run(const QString &program, const QStringList &arguments);
    // From now on every TCP packet to or from `port` is dropped silently,
    // as on a path that died (nftables).
    bool drop(quint16 port);

private:
    int m_home = -1; // the namespace to go back to
    QString m_failure;
};

// The thread in a PrivateNetwork of its own ("here", 10.99.0.1/24), and a
// second namespace joined to it by a veth pair, as another computer's network: a
// neighbour at 10.99.0.2 on here's network, and a stranger at 203.0.113.5
// beyond it, routed through the neighbour. Needs veth (iproute2, the
// kernel's module); ready() says whether it could be made, and why not.
class NeighbourNetwork
{
public:
    static const QHostAddress Here;
    static const QHostAddress Neighbour;
    static const QHostAddress Stranger;

    NeighbourNetwork();
    ~NeighbourNetwork();
    NeighbourNetwork(const NeighbourNetwork &) = delete;
    NeighbourNetwork &operator=(const NeighbourNetwork &) = delete;

    bool ready() const { return m_failure.isEmpty(); }
    const QString &failure() const { return m_failure; }

    // A connection from `from` (Neighbour or Stranger) to Here at port.
    std::unique_ptr<Connection> connectFrom(const QHostAddress &from, quint16 port);
    // Runs work with the thread in the neighbour's namespace: the sockets it
    // makes (a Server on Neighbour, say) stay there.
    void visit(const std::function<void()> &work);

private:
    bool enter(int ns);

    PrivateNetwork m_hereNetwork;
    int m_here = -1;
    int m_far = -1;
    QString m_failure;
};

// A relay listening on a system-chosen loopback port, sending its clients to
// upstreamHost and upstreamPort, which a test may change between clients.
// configure runs before it listens.
struct RunningRelay
{
    explicit RunningRelay(quint16 upstream, const std::function<void(pelk::Relay &)> &configure = {});

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
// the arguments that choose its mode, on Qt's offscreen platform; or another
// program (the real one) with no display of any kind. Every line it prints is
// kept in lines. The destructor closes its standard input, which ends the
// test child program, and kills it if it has not ended within StopTimeoutMs.
class ChildProgram
{
public:
    static constexpr int StartTimeoutMs = 10 * 1000;
    static constexpr int StopTimeoutMs = 3 * 1000;

    explicit ChildProgram(const QStringList &arguments);
    // DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unset.
    ChildProgram(const QString &program, const QStringList &arguments);
    ~ChildProgram();
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    // The port of its "listening N" line; 0 when it says none in time.
    quint16 port();
    // The rest of the last line that starts with `prefix`, null if none.
    QString last(const QString &prefix) const;
    // Whether any line so far starts with `prefix`.
    bool said(const QString &prefix) const { return !last(prefix).isNull(); }
    // What it wrote to standard error so far (read as it comes, so that a
    // child that writes much never waits on a full pipe).
    QByteArray standardError();
    // Every line so far, how it ended if it did, and its standard error, for
    // a failure's message.
    QString transcript();
    void send(const QByteArray &line) { process.write(line + '\n'); }
    // CPU time the child has used so far, in milliseconds.
    qint64 cpuTimeMs() const;

    QProcess process;
    QStringList lines;

private:
    void start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment);

    QByteArray m_errors;
};

} // namespace pelktest

// A test's main(), as QtTest's own with Application (QCoreApplication, or
// QApplication for the tests of the window; see formsupport.h), on the event
// loop the program runs (useProgramEventLoop()).
#define PELKTEST_MAIN_WITH(Application, TestObject) \
    int main(int argc, char *argv[]) \
    { \
        pelk::useProgramEventLoop(); \
        QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true); /* as QTEST_MAIN */ \
        Application app(argc, argv); \
        TestObject tc; \
        QTEST_SET_MAIN_SOURCE_PATH \
        return QTest::qExec(&tc, argc, argv); \
    }
#define PELKTEST_GUILESS_MAIN(TestObject) PELKTEST_MAIN_WITH(QCoreApplication, TestObject)
