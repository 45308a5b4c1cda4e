#pragma once

#include "proxyurl.h"
#include "fingerprint.h"
#include "tlscontext.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QList>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

class QCoreApplication;

namespace pelk {

class Form1;

// The program's command line: --help, --version, options that fill the
// window's fields before it shows, and --start, which presses Start once the
// window is up. A value goes into its field as text, exactly as if typed, so
// Start judges it as it judges typed text. Without options nothing changes.
//
// An option is declared in the constructor and put to use in applyTo().
class CommandLine
{
public:
    CommandLine();

    // Parses the application's arguments. --help and --version print their
    // text and end the process, as does an unknown option or a missing value
    // after saying what is wrong.
    void process(const QCoreApplication &app);

    // Parses `arguments` (the first is the program's name); false on an
    // unknown option, a missing value, a fingerprint that is none, a
    // certificate or key or a proxy URL that cannot be used; errorText()
    // says which.
    bool parse(const QStringList &arguments);
    QString errorText() const { return m_error.isEmpty() ? m_parser.errorText() : m_error; }

    // Fills the fields named on the command line and hands the relay the
    // pinned fingerprints, the certificates and the proxy; with --start,
    // queues a press of Start that runs once the event loop does.
    void applyTo(Form1 &form) const;

private:
    QCommandLineParser m_parser;
    const QCommandLineOption m_server;
    const QCommandLineOption m_port;
    const QCommandLineOption m_listenPort;
    const QCommandLineOption m_start;
    const QCommandLineOption m_trustCertificate;
    const QCommandLineOption m_clientCertificate;
    const QCommandLineOption m_clientKey;
    const QCommandLineOption m_listenCertificate;
    const QCommandLineOption m_listenKey;

    // Reads what the TLS options name; false with m_error set.
    bool readTlsOptions();
    bool readIdentity(const QCommandLineOption &certificate, const QCommandLineOption &key,
                      TlsIdentity &identity);
    QList<QByteArray> m_pins;
    TlsIdentity m_clientIdentity;
    TlsIdentity m_listenIdentity;
    const QCommandLineOption m_proxy;
    bool readProxy();
    std::optional<ProxyUrl> m_proxyUrl;
    QString m_error;
};

} // namespace pelk
