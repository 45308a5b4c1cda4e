// relayd: a headless relay for benchmarking only.
//
//   relayd [--portable] [--verbose] [--proxy URL] [--listen-certificate FILE]
//          [--listen-key FILE] <listen-port> <upstream-host> <upstream-port>
//
// Runs a pelk::Relay that listens on <listen-port> (0 picks a free port; read
// as the program reads its listen text, so "+N" speaks TLS to the clients)
// and gives every client its own connection to <upstream-host>:<upstream-port>
// ("+N" for TLS). Prints "listening <port>" on stdout once bound, then serves
// until SIGTERM or SIGINT, which end the event loop so the relay is torn down
// normally.
// --portable uses the per-descriptor notifier reactor instead of epoll;
// --verbose prints the relay's notices on stderr; --proxy reaches the
// upstream through a proxy (socks5://HOST:PORT or http://HOST:PORT);
// --listen-certificate and --listen-key give the certificate and key a TLS
// listen port presents (without them the relay makes a self-signed one).

#include "endpointarray.h"
#include "porttext.h"
#include "processsetup.h"
#include "proxyurl.h"
#include "relay.h"
#include "fingerprint.h"
#include "tlscontext.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <optional>
#include <cstdio>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr, "usage: relayd [--portable] [--verbose] [--proxy URL] [--listen-certificate FILE]\n"
                         "              [--listen-key FILE] <listen-port> <upstream-host> <upstream-port>\n");
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
    QString proxyText, certificateFile, keyFile;
    std::vector<const char *> positional;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--portable") == 0)
            portable = true;
        else if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else if (std::strcmp(argv[i], "--proxy") == 0 && hasValue)
            proxyText = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--listen-certificate") == 0 && hasValue)
            certificateFile = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--listen-key") == 0 && hasValue)
            keyFile = QString::fromLocal8Bit(argv[++i]);
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 3) {
        usage();
        return 2;
    }
    const pelk::ListenText listen = pelk::parseListenText(QString::fromLocal8Bit(positional[0]));
    if (!listen.ok()) {
        std::fprintf(stderr, "relayd: bad listen port '%s'\n", positional[0]);
        return 2;
    }
    std::optional<pelk::ProxyUrl> proxy;
    if (!proxyText.isEmpty()) {
        QString why;
        proxy = pelk::parseProxyUrl(proxyText, &why);
        if (!proxy) {
            std::fprintf(stderr, "relayd: --proxy: %s\n", qPrintable(why));
            return 2;
        }
    }
    pelk::TlsIdentity listenIdentity;
    if (certificateFile.isEmpty() && !keyFile.isEmpty()) {
        std::fprintf(stderr, "relayd: --listen-key needs --listen-certificate\n");
        return 2;
    }
    if (!certificateFile.isEmpty()) {
        QString why;
        if (!listenIdentity.load(certificateFile, keyFile, &why)) {
            std::fprintf(stderr, "relayd: --listen-certificate: %s\n", qPrintable(why));
            return 2;
        }
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
    relay.loop.setProxy(proxy);
    relay.watchForResume();
    if (!listenIdentity.isNull())
        relay.loop.tls().setServerIdentity(listenIdentity);
    if (verbose) {
        QObject::connect(&relay, &pelk::Relay::notice, &relay,
                         [](const QString &text, const QString &detail) {
                             std::fprintf(stderr, "relayd: %s | %s\n", qPrintable(text),
                                          qPrintable(detail));
                         });
    }

    pelk::Endpoint &listener = relay.Winsock1(0);
    listener.setListenPlace(listen);
    if (!listener.Listen()) {
        std::fprintf(stderr, "relayd: %s\n", qPrintable(listener.lastError().detail));
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

    std::printf("listening %d\n", listener.LocalPort());
    std::fflush(stdout);

    const int rc = app.exec();
    sigNotifier.setEnabled(false);
    close(sigFd);
    return rc;
}
