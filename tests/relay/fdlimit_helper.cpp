// A relay in a process of its own whose descriptor limit the test sets, so
// that running out of descriptors cannot starve the test runner.
//
//   fdlimit_helper relay PORT   relays to 127.0.0.1 port PORT with exactly one
//                               descriptor free; prints "listening N", then
//                               "notice TEXT|DETAIL" for each notice; "free" on
//                               standard input frees one more descriptor
//   fdlimit_helper loop         makes an event loop with no descriptor free;
//                               prints "loop made"

#include "relay.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// Fills every free descriptor under a new, low limit but `free` of them.
std::vector<int> leaveFree(int free)
{
    int highest = 0;
    for (const QString &entry : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System))
        highest = std::max(highest, entry.toInt());
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = rlim_t(highest + 1 + 8);
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> held;
    for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;)
        held.push_back(fd);
    for (int i = 0; i < free && !held.empty(); ++i) {
        ::close(held.back());
        held.pop_back();
    }
    return held;
}

// Under UBSan the first call through each new type probes memory through a
// pipe, which needs two descriptors: make those calls while there are some
// (listen, accept, connect, close and linger).
void warmUp(pelk::EndpointLoop &loop)
{
    pelk::EndpointLoop portable(pelk::EndpointLoop::ReactorKind::Portable);
    pelk::EndpointArray listening(loop);
    pelk::EndpointArray connecting(loop);
    listening.Load(1);
    QObject::connect(&listening, &pelk::EndpointArray::ConnectionRequest, &listening,
                     [&](int, qintptr id) { listening(1).Accept(id); });
    listening(0).Listen();
    connecting(0).Connect("127.0.0.1", QString::number(listening(0).LocalPort()));
    const auto settle = [](const std::function<bool()> &done) {
        for (int i = 0; i < 1000 && !done(); ++i)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    };
    settle([&] { return listening(1).State() == pelk::SocketState::Connected
                        && connecting(0).State() == pelk::SocketState::Connected; });
    connecting(0).Close();
    listening(1).Close();
    settle([&] { return loop.lingeringCount() == 0; });
}

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == "loop") {
        {
            pelk::EndpointLoop warm;
            warmUp(warm);
        }
        const std::vector<int> held = leaveFree(0);
        {
            pelk::EndpointLoop loop;
            say("loop made");
        }
        for (int fd : held)
            ::close(fd);
        return 0;
    }
    if (args.value(1) != "relay" || args.size() < 3)
        return 2;

    pelk::Relay relay;
    const QString upstreamPort = args.at(2);
    relay.upstreamHost = [] { return QStringLiteral("127.0.0.1"); };
    relay.upstreamPort = [upstreamPort] { return upstreamPort; };
    QObject::connect(&relay, &pelk::Relay::notice, &relay,
                     [](const QString &text, const QString &detail) { say("notice " + text + "|" + detail); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::vector<int> held;
    QObject::connect(&input, &QSocketNotifier::activated, &input, [&] {
        char command[64];
        const ssize_t n = ::read(STDIN_FILENO, command, sizeof command);
        // One descriptor more on each line; all of them at the end, for a
        // clean exit.
        while (!held.empty()) {
            ::close(held.back());
            held.pop_back();
            if (n > 0)
                break;
        }
        if (n <= 0)
            app.quit();
    });
    if (!relay.Winsock1(0).Listen())
        return 1;
    warmUp(relay.loop);
    held = leaveFree(1);
    say(QStringLiteral("listening %1").arg(relay.Winsock1(0).LocalPort()));
    return app.exec();
}
