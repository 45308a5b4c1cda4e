#include "form1.h"
#include "processsetup.h"

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
    if (displayMissing()) {
        std::fprintf(stderr,
                     "pelk-bouncer: no display found (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                     "To run it without a desktop: xvfb-run -a %s\n",
                     argc > 0 ? argv[0] : "pelk-bouncer");
        return 2;
    }

    pelk::useLeanEventDispatcher();
    QApplication app(argc, argv);

    // Every client takes two descriptors; allow as many as the system lets us.
    pelk::raiseFileLimit();

    pelk::Form1 form;
    form.show();
    return app.exec();
}
