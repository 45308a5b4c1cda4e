// One side of a test in a process of its own, for what a test cannot do in
// its own process: run short of descriptors without starving the test
// runner, or watch a whole program end. ChildProgram (testsupport.h) runs it.
//
//   relay PORT SPARE [HALFCLOSE]
//                     a relay on a system-chosen port to 127.0.0.1 port PORT,
//                     with exactly SPARE descriptors free (and its half-close
//                     limit HALFCLOSE ms); prints "listening N", then "notice
//                     TEXT|DETAIL" and "clients N". "free" on standard input
//                     frees one descriptor, "raise" lifts the limit, "upstream
//                     N" sends later clients to port N instead (and says it
//                     back once in force).
//   loop              makes an event loop with no descriptor free; prints "loop made"
//   window PORT       the window with Start pressed, relaying to 127.0.0.1 port
//                     PORT; prints "listening N"; "close" closes the window, and
//                     the exit code is what the application's event loop returns
//
// The end of standard input ends every mode; a child left behind by a test
// that died ends by itself.

#include "formsupport.h"
#include "processsetup.h"
#include "relay.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int GiveUpMs = 5 * 60 * 1000;
constexpr int GaveUpExitCode = 3;

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Calls `onLine` for each line read from standard input and `onEnd` at its
// end. The test writes each short line whole, so no read splits one.
void watchStandardInput(QObject *context, std::function<void(const QByteArray &)> onLine,
                        std::function<void()> onEnd)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    notifier->setEnabled(true); // a first member call while descriptors are free (see warmUp)
    QObject::connect(notifier, &QSocketNotifier::activated, context, [=] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            notifier->setEnabled(false);
            return onEnd();
        }
        for (const QByteArray &line : QByteArray(buffer, int(n)).split('\n'))
            onLine(line.trimmed());
    });
}

// Descriptors taken so that only `spare` are free under a new, low limit.
struct HeldDescriptors
{
    void leave(int spare)
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        int highest = 0;
        for (const QString &entry : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System))
            highest = std::max(highest, entry.toInt());
        rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(highest + 1 + std::max(8, spare));
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;)
            fds.push_back(fd);
        for (int i = 0; i < spare; ++i)
            freeOne();
    }
    ~HeldDescriptors()
    {
        while (!fds.empty())
            freeOne();
    }
    void freeOne()
    {
        if (fds.empty())
            return;
        ::close(fds.back());
        fds.pop_back();
    }
    void raise() { setrlimit(RLIMIT_NOFILE, &saved); }

    rlimit saved{};
    std::vector<int> fds;
};

// Under UBSan the first call through each new type probes memory through a
// pipe, which needs two descriptors: make those calls while there are some
// (listen, accept, connect, data both ways, close and linger, and an alarm
// going off).
void warmUp(pelk::EndpointLoop &loop)
{
    bool rung = false;
    pelk::LoopAlarm ring([&rung] { rung = true; });
    loop.clock().arm(ring, 0);
    pelk::EndpointLoop portable(pelk::EndpointLoop::ReactorKind::Portable);
    pelk::EndpointArray listening(loop);
    pelk::EndpointArray connecting(loop);
    listening.Load(1);
    QObject::connect(&listening, &pelk::EndpointArray::ConnectionRequest, &listening,
                     [&](int, qintptr id) { listening(1).Accept(id); });
    listening(0).Listen();
    connecting(0).Connect("127.0.0.1", QString::number(listening(0).LocalPort()));
    const auto settle = [](const std::function<bool()> &done) {
        QTimer tick; // wakes the wait below, so that the deadline is seen
        tick.start(10);
        const QDeadlineTimer deadline(10 * 1000);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    settle([&] { return rung && listening(1).State() == pelk::SocketState::Connected
                        && connecting(0).State() == pelk::SocketState::Connected; });
    int arrived = 0;
    for (pelk::EndpointArray *side : {&listening, &connecting}) {
        QObject::connect(side, &pelk::EndpointArray::DataArrival, side, [side, &arrived](int i, qint64) {
            arrived += int((*side)(i).GetData().size());
        });
    }
    connecting(0).SendData("x");
    listening(1).SendData("y");
    settle([&] { return arrived == 2; });
    connecting(0).Close();
    listening(1).Close();
    settle([&] { return loop.lingeringCount() == 0; });
}

int runRelay(QString upstreamPort, int spare, int halfCloseMs)
{
    pelk::Relay relay;
    if (halfCloseMs > 0)
        relay.loop.setHalfCloseTimeoutMs(halfCloseMs);
    relay.upstreamHost = [] { return QStringLiteral("127.0.0.1"); };
    relay.upstreamPort = [&upstreamPort] { return upstreamPort; };
    QObject::connect(&relay, &pelk::Relay::notice, &relay,
                     [](const QString &text, const QString &detail) { say("notice " + text + "|" + detail); });
    QObject::connect(&relay, &pelk::Relay::connectedClientsChanged, &relay,
                     [](int count) { say(QStringLiteral("clients %1").arg(count)); });
    relay.Winsock1(0).setLocalPort(0);
    if (!relay.Winsock1(0).Listen())
        return 1;
    warmUp(relay.loop);
    HeldDescriptors held;
    watchStandardInput(
        &relay,
        [&held, &upstreamPort](const QByteArray &line) {
            if (line == "free")
                held.freeOne();
            else if (line == "raise")
                held.raise();
            else if (line.startsWith("upstream ")) {
                upstreamPort = QString::fromLatin1(line.mid(9));
                say(QString::fromLatin1(line)); // in force from now on
            }
        },
        [] { QCoreApplication::quit(); });
    held.leave(spare);
    say(QStringLiteral("listening %1").arg(relay.Winsock1(0).LocalPort()));
    return QCoreApplication::exec();
}

int runWindow(const QString &upstreamPort)
{
    pelk::raiseFileLimit();
    pelk::Form1 form;
    form.show();
    const quint16 port = pelktest::startForm(form, QStringLiteral("127.0.0.1"), upstreamPort);
    if (port == 0) {
        std::fprintf(stderr, "childprogram: Start failed\n");
        return 1;
    }
    say(QStringLiteral("listening %1").arg(port));
    const auto closeOn = [&form](const QByteArray &line) {
        if (line == "close")
            form.close();
    };
    watchStandardInput(&form, closeOn, [&form] { form.close(); });
    return QApplication::exec();
}

int runLoop()
{
    {
        pelk::EndpointLoop warm;
        warmUp(warm);
    }
    HeldDescriptors held;
    held.leave(0);
    pelk::EndpointLoop loop;
    say(QStringLiteral("loop made"));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const bool window = mode == "window" && argc == 3;
    pelk::useProgramEventLoop(); // as the program's main() does
    const std::unique_ptr<QCoreApplication> app(window ? new QApplication(argc, argv)
                                                       : new QCoreApplication(argc, argv));
    QTimer::singleShot(GiveUpMs, app.get(), [] { QCoreApplication::exit(GaveUpExitCode); });
    if (window)
        return runWindow(QString::fromLocal8Bit(argv[2]));
    if (mode == "relay" && (argc == 4 || argc == 5))
        return runRelay(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt(),
                        argc == 5 ? QByteArray(argv[4]).toInt() : 0);
    if (mode == "loop" && argc == 2)
        return runLoop();
    std::fprintf(stderr, "usage: childprogram relay PORT SPARE [HALFCLOSE] | loop | window PORT\n");
    return 2;
}
