#include "commandline.h"

#include "form1.h"
#include "proxyurl.h"
#include "fingerprint.h"
#include "tlscontext.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

namespace pelk {

CommandLine::CommandLine()
    : m_server(QStringLiteral("server"),
               QStringLiteral("Puts <host> into the Server field."), QStringLiteral("host"))
    , m_port(QStringLiteral("port"),
             QStringLiteral("Puts <port> into the Port field (the server's port)."),
             QStringLiteral("port"))
    , m_listenPort(QStringLiteral("listen-port"),
                   QStringLiteral("Puts <listen> into the Listen Port field: PORT listens on this "
                                  "computer only (127.0.0.1 and ::1), *:PORT on every address, "
                                  "ADDRESS:PORT or [IPv6]:PORT on that address; port 0 picks a free one."),
                   QStringLiteral("listen"))
    , m_start(QStringLiteral("start"), QStringLiteral("Presses Start once the window is up."))
    , m_trustCertificate(QStringLiteral("trust-certificate"),
                         QStringLiteral("Accepts a TLS server (port \"+N\") whose certificate, or its "
                                        "public key, has this SHA-256 fingerprint (hex, colons "
                                        "optional), even if not trusted or made out to another host. "
                                        "May be repeated."),
                         QStringLiteral("sha256"))
    , m_clientCertificate(QStringLiteral("client-certificate"),
                          QStringLiteral("Presents this certificate to every TLS server (port \"+N\"), "
                                         "for networks that log in by certificate (CertFP, SASL EXTERNAL): "
                                         "a PEM file with the certificate, any chain certificates after it, "
                                         "and its private key unless --client-key names another file."),
                          QStringLiteral("file"))
    , m_clientKey(QStringLiteral("client-key"),
                  QStringLiteral("The PEM private key of --client-certificate, not encrypted."),
                  QStringLiteral("file"))
    , m_listenCertificate(QStringLiteral("listen-certificate"),
                          QStringLiteral("The certificate of a TLS listen port (\"+PORT\"), as a PEM file "
                                         "like --client-certificate's; without it the relay makes a new "
                                         "self-signed one at each Start and shows its fingerprint."),
                          QStringLiteral("file"))
    , m_listenKey(QStringLiteral("listen-key"),
                  QStringLiteral("The PEM private key of --listen-certificate, not encrypted."),
                  QStringLiteral("file"))
    , m_proxy(QStringLiteral("proxy"),
              QStringLiteral("Reaches every server through this proxy: socks5://[USER:PASSWORD@]HOST:PORT "
                             "(SOCKS5; Tor takes the login to keep circuits apart) or "
                             "http://[USER:PASSWORD@]HOST:PORT (HTTP CONNECT). The server's name goes to "
                             "the proxy unresolved, so .onion names work."),
              QStringLiteral("url"))
{
    m_parser.setApplicationDescription(
            QStringLiteral("Relays every IRC client that connects to the listen port to the "
                           "server, each through its own connection."));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOptions({m_server, m_port, m_listenPort, m_start, m_trustCertificate, m_clientCertificate,
                         m_clientKey, m_listenCertificate, m_listenKey, m_proxy});
}

void CommandLine::process(const QCoreApplication &app)
{
    m_parser.process(app);
    if (!readTlsOptions() || !readProxy()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(m_error));
        std::exit(EXIT_FAILURE);
    }
}

bool CommandLine::parse(const QStringList &arguments)
{
    return m_parser.parse(arguments) && readTlsOptions() && readProxy();
}

bool CommandLine::readProxy()
{
    m_proxyUrl.reset();
    if (!m_parser.isSet(m_proxy))
        return true;
    QString why;
    m_proxyUrl = parseProxyUrl(m_parser.value(m_proxy), &why);
    if (!m_proxyUrl) {
        // Not the text itself: it may hold a password.
        m_error = QStringLiteral("--proxy: %1.").arg(why);
        return false;
    }
    return true;
}

bool CommandLine::readIdentity(const QCommandLineOption &certificate, const QCommandLineOption &key,
                               TlsIdentity &identity)
{
    identity = {};
    const QString optionName = QStringLiteral("--") + certificate.names().first();
    if (!m_parser.isSet(certificate)) {
        if (m_parser.isSet(key)) {
            m_error = QStringLiteral("--%1 needs %2.").arg(key.names().first(), optionName);
            return false;
        }
        return true;
    }
    QString why;
    if (!identity.load(m_parser.value(certificate), m_parser.value(key), &why)) {
        if (!m_parser.isSet(key) && why.endsWith(QLatin1String("no PEM private key")))
            why += QStringLiteral("; name the key's file with --%1").arg(key.names().first());
        m_error = QStringLiteral("%1: %2.").arg(optionName, why);
        return false;
    }
    return true;
}

bool CommandLine::readTlsOptions()
{
    m_error.clear();
    if (!readIdentity(m_clientCertificate, m_clientKey, m_clientIdentity)
        || !readIdentity(m_listenCertificate, m_listenKey, m_listenIdentity)) {
        return false;
    }
    m_pins.clear();
    for (const QString &typed : m_parser.values(m_trustCertificate)) {
        QString why;
        const std::optional<QByteArray> pin = parseFingerprint(typed, &why);
        if (!pin) {
            m_error = QStringLiteral("--trust-certificate %1: %2.").arg(quotedInput(typed), why);
            return false;
        }
        m_pins << *pin;
    }
    return true;
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

    TlsContext &tls = form.relay.loop.tls();
    tls.setPins(m_pins);
    tls.setClientIdentity(m_clientIdentity);
    tls.setServerIdentity(m_listenIdentity);
    form.relay.loop.setProxy(m_proxyUrl);

    if (m_parser.isSet(m_start))
        QMetaObject::invokeMethod(form.cmd_startstop, &QPushButton::click, Qt::QueuedConnection);
}

} // namespace pelk
