#include "commandline.h"
#include "form1.h"
#include "headless.h"
#include "processsetup.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <cstdio>

namespace {

// Without a display Qt's platform plugin aborts with a long trace; tell the
// person what is missing and how to run the program anyway.
bool displayMissing()
{
#if defined(Q_OS_LINUX)
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return false;
#endif
}

// The program's icon at every size compiled in, the same pictures the
// desktop entry's icon theme holds.
QIcon programIcon()
{
    QIcon icon;
    const QDir icons(QStringLiteral(":/icons"));
    for (const QString &name : icons.entryList(QDir::Files))
        icon.addFile(icons.filePath(name));
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("pelk-bouncer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELK_VERSION));
    pelk::CommandLine commandLine;

    if (pelk::CommandLine::asksHeadless(argc, argv)) {
        // No widget, so no platform plugin: nothing here needs a display.
        pelk::ignoreBrokenPipe();
        pelk::useProgramEventLoop();
        QCoreApplication app(argc, argv);
        commandLine.process(app);
        pelk::raiseFileLimit();
        return pelk::runHeadless(commandLine.settings());
    }

    if (displayMissing()) {
        // --help, --version and a mistyped option are answered all the same.
        QCoreApplication app(argc, argv);
        commandLine.process(app);
        const char *program = argc > 0 ? argv[0] : "pelk-bouncer";
        std::fprintf(stderr,
                     "pelk-bouncer: no display found (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                     "To run the relay without a window: %s --headless\n"
                     "To run the window on a virtual X server: xvfb-run -a %s\n",
                     program, program);
        return 2;
    }

    pelk::ignoreBrokenPipe();
    pelk::useProgramEventLoop();
    QApplication app(argc, argv);
    commandLine.process(app);
    // Desktops match the window to its menu entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(PELK_APP_ID));
    QApplication::setWindowIcon(programIcon());

    // Every client takes two descriptors; allow as many as the system lets us.
    pelk::raiseFileLimit();

    pelk::Form1 form;
    commandLine.applyTo(form);
    form.show();
    return app.exec();
}
