#include "commandline.h"

#include "form1.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

namespace pelk {

CommandLine::CommandLine()
    : m_start(QStringLiteral("start"), QStringLiteral("Presses Start once the window is up."))
    , m_headless(QStringLiteral("headless"),
                 QStringLiteral("Runs without a window and needs no display: starts at once, writes each "
                                "status change and each client that fails to standard error, and stops "
                                "on SIGTERM or SIGINT."))
{
    m_parser.setApplicationDescription(
            QStringLiteral("Relays every IRC client that connects to the listen port to the "
                           "server, each through its own connection."));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_relayOptions.addTo(m_parser, {m_start, m_headless});
}

void CommandLine::process(const QCoreApplication &app)
{
    m_parser.process(app);
    if (!readSettings()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(m_error));
        std::exit(EXIT_FAILURE);
    }
}

bool CommandLine::parse(const QStringList &arguments)
{
    return m_parser.parse(arguments) && readSettings();
}

bool CommandLine::asksHeadless(int argc, const char *const *argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine commandLine;
    return commandLine.m_parser.parse(arguments) && commandLine.headless();
}

bool CommandLine::readSettings()
{
    m_error.clear();
    std::optional<RelaySettings> settings = m_relayOptions.read(m_parser, &m_error);
    if (!settings)
        return false;
    m_settings = std::move(*settings);
    return true;
}

void CommandLine::applyTo(Form1 &form) const
{
    form.applySettings(m_settings);
    if (!m_parser.isSet(m_start))
        return;
    // As a press by hand does, the button takes the focus: the server field
    // no longer blinks its cursor, which would wake the program twice a
    // second while it relays.
    QPushButton *button = form.cmd_startstop;
    QMetaObject::invokeMethod(button, [button] {
        button->setFocus(Qt::OtherFocusReason);
        button->click();
    }, Qt::QueuedConnection);
}

} // namespace pelk
