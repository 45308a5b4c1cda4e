#include "commandline.h"
#include "form1.h"

#include <QApplication>

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("pelk-bouncer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELK_VERSION));
    pelk::CommandLine commandLine;

    if (displayMissing()) {
        // --help, --version and a mistyped option are answered all the same.
        QCoreApplication app(argc, argv);
        commandLine.process(app);
        std::fprintf(stderr,
                     "pelk-bouncer: no display found (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                     "To run it without a desktop: xvfb-run -a %s\n",
                     argc > 0 ? argv[0] : "pelk-bouncer");
        return 2;
    }

    pelk::useLeanEventDispatcher();
    QApplication app(argc, argv);
    commandLine.process(app);

    // Every client takes two descriptors; allow as many as the system lets us.
    pelk::raiseFileLimit();

    pelk::Form1 form;
    commandLine.applyTo(form);
    form.show();
    return app.exec();
}
