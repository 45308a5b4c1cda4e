#pragma once

#include "relayoptions.h"
#include "relaysettings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

class QCoreApplication;

namespace pelk {

class Form1;

// The program's command line: --help, --version, the relay's options
// (RelayOptions), which fill the window's fields before it shows and hand
// the relay its certificates and proxy, --start, which presses Start once
// the window is up, and --headless, which runs the relay without a window
// (HeadlessRelay). A value goes into its field as text, exactly as if
// typed, so Start judges it as it judges typed text. Without options
// nothing changes.
class CommandLine
{
public:
    CommandLine();

    // Parses the application's arguments. --help and --version print their
    // text and end the process, as does an unknown option, a missing value
    // or a setting that cannot be used, after saying what is wrong.
    void process(const QCoreApplication &app);

    // Parses `arguments` (the first is the program's name); false on an
    // unknown option, a missing value, a fingerprint that is none, a
    // certificate or key or a proxy URL that cannot be used; errorText()
    // says which.
    bool parse(const QStringList &arguments);
    QString errorText() const { return m_error.isEmpty() ? m_parser.errorText() : m_error; }

    // Fills the fields named on the command line and hands the relay the
    // rest of the settings; with --start, queues a press of Start that runs
    // once the event loop does.
    void applyTo(Form1 &form) const;

    // After a parse: whether --headless was given, and the settings read.
    bool headless() const { return m_parser.isSet(m_headless); }
    const RelaySettings &settings() const { return m_settings; }

    // Whether these arguments ask for --headless, read before any
    // application object exists (which one to make depends on it); false
    // when they cannot be parsed, so that the usual path reports why.
    static bool asksHeadless(int argc, const char *const *argv);

private:
    // Reads the parsed options into m_settings; false with m_error set.
    bool readSettings();

    QCommandLineParser m_parser;
    const RelayOptions m_relayOptions;
    const QCommandLineOption m_start;
    const QCommandLineOption m_headless;
    RelaySettings m_settings;
    QString m_error;
};

} // namespace pelk
