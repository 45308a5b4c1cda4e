// One side of a fault test, in a process of its own:
//
//   faults_helper echo         an echoing upstream on 127.0.0.1; prints its port,
//                              ends when its standard input closes
//   faults_helper window PORT  the window with Start pressed (listen port 0),
//                              relaying to 127.0.0.1 port PORT; prints the listen
//                              port; "close" or the end of standard input closes
//                              the window, and the exit code is what the
//                              application's event loop returns
//
// A process of its own lets a test lower its own descriptor limit without
// starving the upstream, and lets it watch a whole program end.

#include "endpoint.h"
#include "form1.h"
#include "peer.h"
#include "processsetup.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

// A helper left behind by a test that died ends by itself.
constexpr int GiveUpMs = 5 * 60 * 1000;
constexpr int GaveUpExitCode = 3;

// Calls `onLine` for each line read from standard input and `onEnd` at its end.
void watchStandardInput(QObject *context, std::function<void(const QByteArray &)> onLine,
                        std::function<void()> onEnd)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QSocketNotifier::activated, context, [=] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            notifier->setEnabled(false);
            onEnd();
            return;
        }
        pending->append(buffer, n);
        for (qsizetype end = pending->indexOf('\n'); end >= 0; end = pending->indexOf('\n')) {
            onLine(pending->left(end).trimmed());
            pending->remove(0, end + 1);
        }
    });
}

int runEcho(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    pelktest::Server upstream;
    if (!upstream.isListening()) {
        std::fprintf(stderr, "faults_helper: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%u\n", unsigned(upstream.port()));
    std::fflush(stdout);
    watchStandardInput(&app, [](const QByteArray &) {}, [] { QCoreApplication::quit(); });
    QTimer::singleShot(GiveUpMs, &app, [] { QCoreApplication::exit(GaveUpExitCode); });
    return app.exec();
}

int runWindow(int argc, char *argv[], const QString &upstreamPort)
{
    // Set up as the program's main() does.
    pelk::useLeanEventDispatcher();
    QApplication app(argc, argv);
    pelk::raiseFileLimit();
    pelk::Form1 form;
    form.listport->setText(QStringLiteral("0"));
    form.bounce_server->setText(QStringLiteral("127.0.0.1"));
    form.bounce_port->setText(upstreamPort);
    form.show();
    form.cmd_startstop_Click();
    if (!form.running) {
        std::fprintf(stderr, "faults_helper: Start failed\n");
        return 1;
    }
    std::printf("%d\n", form.relay.Winsock1(0).LocalPort());
    std::fflush(stdout);
    watchStandardInput(
        &form,
        [&form](const QByteArray &line) {
            if (line == "close")
                form.close();
        },
        [&form] { form.close(); });
    QTimer::singleShot(GiveUpMs, &app, [] { QCoreApplication::exit(GaveUpExitCode); });
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "echo" && argc == 2)
        return runEcho(argc, argv);
    if (mode == "window" && argc == 3)
        return runWindow(argc, argv, QString::fromLocal8Bit(argv[2]));
    std::fprintf(stderr, "usage: faults_helper echo | faults_helper window UPSTREAM-PORT\n");
    return 2;
}
