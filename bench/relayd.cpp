// relayd: a headless relay for benchmarking only.
//
//   relayd [--portable] [--verbose] <listen-port> <upstream-host> <upstream-port>
//
// Runs a pelk::Relay that listens on <listen-port> (0 picks a free port) and
// gives every client its own connection to <upstream-host>:<upstream-port>.
// Prints "listening <port>" on stdout once bound, then serves until SIGTERM
// or SIGINT, which end the event loop so the relay is torn down normally.
// --portable uses the per-descriptor notifier reactor instead of epoll;
// --verbose prints the relay's notices on stderr.

#include "endpoint.h"
#include "processsetup.h"
#include "relay.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr, "usage: relayd [--portable] [--verbose] <listen-port> <upstream-host> "
                         "<upstream-port>\n");
}

} // namespace

int main(int argc, char **argv)
{
    // Termination signals are blocked before any thread exists and read from a
    // signalfd, so they are handled inside the event loop like any event.
    sigset_t termSignals;
    sigemptyset(&termSignals);
    sigaddset(&termSignals, SIGTERM);
    sigaddset(&termSignals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &termSignals, nullptr) != 0) {
        std::perror("relayd: sigprocmask");
        return 1;
    }

    bool portable = false;
    bool verbose = false;
    std::vector<const char *> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--portable") == 0)
            portable = true;
        else if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 3) {
        usage();
        return 2;
    }
    char *end = nullptr;
    const long listenPort = std::strtol(positional[0], &end, 10);
    if (*end != '\0' || listenPort < 0 || listenPort > 65535) {
        std::fprintf(stderr, "relayd: bad listen port '%s'\n", positional[0]);
        return 2;
    }
    const QString upstreamHost = QString::fromLocal8Bit(positional[1]);
    const QString upstreamPort = QString::fromLocal8Bit(positional[2]);

    pelk::ignoreBrokenPipe();
    pelk::useEpollEventDispatcher();
    QCoreApplication app(argc, argv);
    pelk::raiseFileLimit();

    pelk::Relay relay(portable ? pelk::EndpointLoop::ReactorKind::Portable
                               : pelk::EndpointLoop::ReactorKind::Best);
    relay.upstreamHost = [upstreamHost] { return upstreamHost; };
    relay.upstreamPort = [upstreamPort] { return upstreamPort; };
    if (verbose) {
        QObject::connect(&relay, &pelk::Relay::notice, &relay,
                         [](const QString &text, const QString &detail) {
                             std::fprintf(stderr, "relayd: %s | %s\n", qPrintable(text),
                                          qPrintable(detail));
                         });
    }

    relay.Winsock1(0).setLocalPort(int(listenPort));
    if (!relay.Winsock1(0).Listen()) {
        std::fprintf(stderr, "relayd: %s\n", qPrintable(relay.Winsock1(0).lastError().detail));
        return 1;
    }

    const int sigFd = signalfd(-1, &termSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd < 0) {
        std::perror("relayd: signalfd");
        return 1;
    }
    QSocketNotifier sigNotifier(sigFd, QSocketNotifier::Read);
    QObject::connect(&sigNotifier, &QSocketNotifier::activated, &app, [sigFd, &app] {
        signalfd_siginfo info;
        while (read(sigFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        app.quit();
    });

    std::printf("listening %d\n", relay.Winsock1(0).LocalPort());
    std::fflush(stdout);

    const int rc = app.exec();
    sigNotifier.setEnabled(false);
    close(sigFd);
    return rc;
}
