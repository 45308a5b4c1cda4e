#pragma once

#include "relaysettings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <optional>

namespace pelk {

// The command-line options every program that runs a relay takes, and the
// one reader that turns them into RelaySettings: --server, --port,
// --listen-port, --trust-certificate, --client-certificate, --client-key,
// --listen-certificate, --listen-key, --proxy, and who may connect:
// --allow, --allow-client and --max-per-address; how fast servers are
// reached: --connect-pace and --proxy-isolate. The program owns the
// parser and its own options; it adds these with addTo(), parses, then
// calls read() once.
class RelayOptions
{
public:
    RelayOptions();

    // Adds the options to parser: the three texts, then `between` (the
    // program's own options, which --help lists next to them), then the TLS
    // and proxy options.
    void addTo(QCommandLineParser &parser, const QList<QCommandLineOption> &between = {}) const;

    // Reads what the parsed options say; nothing when a fingerprint is none,
    // a certificate or key file cannot be used, a key is given without its
    // certificate, the proxy URL cannot be used, an address range or a
    // count is not one, with *error naming the option and saying what is
    // wrong (never a proxy password).
    std::optional<RelaySettings> read(const QCommandLineParser &parser, QString *error) const;

private:
    const QCommandLineOption m_server;
    const QCommandLineOption m_port;
    const QCommandLineOption m_listenPort;
    const QCommandLineOption m_trustCertificate;
    const QCommandLineOption m_clientCertificate;
    const QCommandLineOption m_clientKey;
    const QCommandLineOption m_listenCertificate;
    const QCommandLineOption m_listenKey;
    const QCommandLineOption m_proxy;
    const QCommandLineOption m_allow;
    const QCommandLineOption m_allowClient;
    const QCommandLineOption m_maxPerAddress;
    const QCommandLineOption m_connectPace;
    const QCommandLineOption m_proxyIsolate;
};

} // namespace pelk
