// relayd: a headless relay for benchmarking only.
//
//   relayd [--portable] [--verbose] [--listen-port LISTEN] --server HOST --port PORT
//          [--proxy URL] [--listen-certificate FILE [--listen-key FILE]]
//          [--trust-certificate SHA256]... [--client-certificate FILE [--client-key FILE]]
//
// Runs a pelk::Relay that listens on LISTEN (default 0, which picks a free
// port; read as the program reads its listen text, so "+N" speaks TLS to the
// clients) and gives every client its own connection to HOST:PORT ("+N" for
// TLS). The relay's options are the program's (RelayOptions) and mean what
// they mean there: --proxy reaches the upstream through a proxy
// (socks5://HOST:PORT or http://HOST:PORT); --listen-certificate and
// --listen-key give the certificate and key a TLS listen port presents
// (without them the relay makes a self-signed one). Prints
// "listening <port>" on stdout once bound, then serves until SIGTERM or
// SIGINT, which end the event loop so the relay is torn down normally.
// --portable uses the per-descriptor notifier reactor instead of epoll;
// --verbose prints the relay's notices on stderr.

#include "endpointarray.h"
#include "porttext.h"
#include "processsetup.h"
#include "relay.h"
#include "relayoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/signalfd.h>
#include <unistd.h>

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

    pelk::ignoreBrokenPipe();
    pelk::useProgramEventLoop();
    QCoreApplication app(argc, argv);
    pelk::raiseFileLimit();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A headless relay for benchmarking only."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption portable(QStringLiteral("portable"),
                                      QStringLiteral("Uses the per-descriptor notifier reactor instead of epoll."));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Prints the relay's notices on stderr."));
    const pelk::RelayOptions relayOptions;
    relayOptions.addTo(parser, {portable, verbose});
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "relayd: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help))
        parser.showHelp();
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "relayd: unexpected argument '%s'\n", qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    QString why;
    const std::optional<pelk::RelaySettings> settings = relayOptions.read(parser, &why);
    if (!settings) {
        std::fprintf(stderr, "relayd: %s\n", qPrintable(why));
        return 2;
    }
    if (!settings->serverHost || !settings->serverPort) {
        std::fprintf(stderr, "relayd: --server and --port name the upstream; both are needed\n");
        return 2;
    }
    const QString listenText = settings->listen.value_or(QStringLiteral("0"));
    const pelk::ListenText listen = pelk::parseListenText(listenText);
    if (!listen.ok()) {
        std::fprintf(stderr, "relayd: bad listen port '%s'\n", qPrintable(listenText));
        return 2;
    }
    const QString upstreamHost = *settings->serverHost;
    const QString upstreamPort = *settings->serverPort;

    pelk::Relay relay(parser.isSet(portable) ? pelk::EndpointLoop::ReactorKind::Portable
                                             : pelk::EndpointLoop::ReactorKind::Best);
    relay.upstreamHost = [upstreamHost] { return upstreamHost; };
    relay.upstreamPort = [upstreamPort] { return upstreamPort; };
    relay.apply(*settings);
    relay.watchForResume();
    if (parser.isSet(verbose)) {
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
