#include "commandline.h"

#include "form1.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>

namespace pelk {

CommandLine::CommandLine()
    : m_server(QStringLiteral("server"),
               QStringLiteral("Puts <host> into the Server field."), QStringLiteral("host"))
    , m_port(QStringLiteral("port"),
             QStringLiteral("Puts <port> into the Port field (the server's port)."),
             QStringLiteral("port"))
    , m_listenPort(QStringLiteral("listen-port"),
                   QStringLiteral("Puts <port> into the Listen Port field; 0 picks a free one."),
                   QStringLiteral("port"))
    , m_start(QStringLiteral("start"), QStringLiteral("Presses Start once the window is up."))
{
    m_parser.setApplicationDescription(
            QStringLiteral("Relays every IRC client that connects to the listen port to the "
                           "server, each through its own connection."));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOptions({m_server, m_port, m_listenPort, m_start});
}

void CommandLine::process(const QCoreApplication &app)
{
    m_parser.process(app);
}

bool CommandLine::parse(const QStringList &arguments)
{
    return m_parser.parse(arguments);
}

void CommandLine::applyTo(Form1 &form) const
{
    const struct
    {
        const QCommandLineOption &option;
        QLineEdit *field;
    } fields[] = {
        {m_server, form.bounce_server},
        {m_port, form.bounce_port},
        {m_listenPort, form.listport},
    };
    for (const auto &[option, field] : fields) {
        if (m_parser.isSet(option))
            field->setText(m_parser.value(option));
    }

    if (m_parser.isSet(m_start))
        QMetaObject::invokeMethod(form.cmd_startstop, &QPushButton::click, Qt::QueuedConnection);
}

} // namespace pelk
