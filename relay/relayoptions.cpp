#include "relayoptions.h"

#include "fingerprint.h"
#include "porttext.h"

namespace pelk {

namespace {

// A certificate option and its key option; false with *error set.
bool readIdentity(const QCommandLineParser &parser, const QCommandLineOption &certificate,
                  const QCommandLineOption &key, TlsIdentity &identity, QString *error)
{
    const QString optionName = QStringLiteral("--") + certificate.names().first();
    if (!parser.isSet(certificate)) {
        if (parser.isSet(key)) {
            *error = QStringLiteral("--%1 needs %2.").arg(key.names().first(), optionName);
            return false;
        }
        return true;
    }
    QString why;
    bool aboutKey = false;
    if (!identity.load(parser.value(certificate), parser.value(key), &why, &aboutKey)) {
        const bool keyOption = aboutKey && parser.isSet(key);
        if (aboutKey && !keyOption && why.endsWith(QLatin1String("no PEM private key")))
            why += QStringLiteral("; name the key's file with --%1").arg(key.names().first());
        *error = QStringLiteral("%1: %2.")
                     .arg(keyOption ? QStringLiteral("--") + key.names().first() : optionName, why);
        return false;
    }
    return true;
}

} // namespace

RelayOptions::RelayOptions()
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
    , m_allow(QStringLiteral("allow"),
              QStringLiteral("Who may connect to a listen port beyond this computer: addresses and ranges "
                             "with commas between (192.168.1.0/24,2001:db8::/48,10.0.0.7), or \"any\". "
                             "May be repeated. Without it, this computer's own networks may; this computer "
                             "itself always may."),
              QStringLiteral("ranges"))
    , m_allowClient(QStringLiteral("allow-client"),
                    QStringLiteral("Serves only the clients of a TLS listen port (\"+PORT\") that present a "
                                   "certificate whose SHA-256, or its public key's, is this (written as for "
                                   "--trust-certificate). May be repeated. A refused client's fingerprint is "
                                   "shown in the status tooltip."),
                    QStringLiteral("sha256"))
    , m_maxPerAddress(QStringLiteral("max-per-address"),
                      QStringLiteral("At most <n> clients at once from one address other than this computer's "
                                     "own (default %1; 0: no limit).")
                          .arg(AccessPolicy::DefaultMaxPerAddress),
                      QStringLiteral("n"))
    , m_connectPace(QStringLiteral("connect-pace"),
                    QStringLiteral("At most N connects to one server in any S seconds, as N/S (default %1/%2, "
                                   "as IRC networks allow one address); 0: no pacing. Servers on this computer "
                                   "are never paced.")
                        .arg(ConnectPacer::DefaultPace.connects)
                        .arg(ConnectPacer::DefaultPace.windowMs / 1000),
                    QStringLiteral("pace"))
    , m_proxyIsolate(QStringLiteral("proxy-isolate"),
                     QStringLiteral("Gives each client a SOCKS5 login of its own, made up and never reused, so "
                                    "that Tor gives each its own circuit (and exit address)."))
{
}

void RelayOptions::addTo(QCommandLineParser &parser, const QList<QCommandLineOption> &between) const
{
    parser.addOptions({m_server, m_port, m_listenPort});
    parser.addOptions(between);
    parser.addOptions({m_trustCertificate, m_clientCertificate, m_clientKey, m_listenCertificate, m_listenKey,
                       m_proxy, m_proxyIsolate, m_allow, m_allowClient, m_maxPerAddress, m_connectPace});
}

std::optional<RelaySettings> RelayOptions::read(const QCommandLineParser &parser, QString *error) const
{
    RelaySettings settings;
    const struct
    {
        const QCommandLineOption &option;
        std::optional<QString> &text;
    } texts[] = {
        {m_listenPort, settings.listen},
        {m_server, settings.serverHost},
        {m_port, settings.serverPort},
    };
    for (const auto &[option, text] : texts) {
        if (parser.isSet(option))
            text = parser.value(option);
    }

    if (!readIdentity(parser, m_clientCertificate, m_clientKey, settings.clientIdentity, error)
        || !readIdentity(parser, m_listenCertificate, m_listenKey, settings.listenIdentity, error)) {
        return std::nullopt;
    }
    const struct
    {
        const QCommandLineOption &option;
        QList<QByteArray> &pins;
    } pinOptions[] = {
        {m_trustCertificate, settings.pins},
        {m_allowClient, settings.clientPins},
    };
    for (const auto &[option, pins] : pinOptions) {
        for (const QString &typed : parser.values(option)) {
            QString why;
            const std::optional<QByteArray> pin = parseFingerprint(typed, &why);
            if (!pin) {
                *error = QStringLiteral("--%1 %2: %3.").arg(option.names().first(), quotedInput(typed), why);
                return std::nullopt;
            }
            pins << *pin;
        }
    }
    if (parser.isSet(m_allow)) {
        settings.allowed = AllowedAddresses();
        for (const QString &typed : parser.values(m_allow)) {
            QString why;
            if (!settings.allowed->add(typed, &why)) {
                *error = QStringLiteral("--allow: %1.").arg(why);
                return std::nullopt;
            }
        }
    }
    if (parser.isSet(m_connectPace)) {
        const QString typed = parser.value(m_connectPace);
        const QStringList parts = typed.trimmed().split(u'/');
        bool connectsRead = false;
        bool secondsRead = false;
        const int connects = parts.value(0).toInt(&connectsRead);
        const int seconds = parts.value(1).toInt(&secondsRead);
        if (parts.size() == 1 && connectsRead && connects == 0) {
            settings.pace.connects = 0;
        } else if (parts.size() == 2 && connectsRead && secondsRead && connects >= 1 && seconds >= 1
                   && seconds <= 24 * 60 * 60) {
            settings.pace = {connects, seconds * 1000};
        } else {
            *error = QStringLiteral("--connect-pace %1: write N/S, as in 3/60 (at most N connects to one server "
                                    "in any S seconds), or 0 for no pacing.")
                         .arg(quotedInput(typed));
            return std::nullopt;
        }
    }
    if (parser.isSet(m_maxPerAddress)) {
        bool number = false;
        const QString typed = parser.value(m_maxPerAddress);
        settings.maxPerAddress = typed.trimmed().toInt(&number);
        if (!number || settings.maxPerAddress < 0) {
            *error = QStringLiteral("--max-per-address %1: not a count of clients (0 or more).").arg(quotedInput(typed));
            return std::nullopt;
        }
    }
    if (parser.isSet(m_proxy)) {
        QString why;
        settings.proxy = parseProxyUrl(parser.value(m_proxy), &why);
        if (!settings.proxy) {
            // Not the text itself: it may hold a password.
            *error = QStringLiteral("--proxy: %1.").arg(why);
            return std::nullopt;
        }
        settings.proxy->isolate = parser.isSet(m_proxyIsolate);
    } else if (parser.isSet(m_proxyIsolate)) {
        *error = QStringLiteral("--proxy-isolate needs --proxy.");
        return std::nullopt;
    }
    return settings;
}

} // namespace pelk
