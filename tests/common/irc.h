#pragma once

// A real IRC server (ngIRCd) on loopback and a line-based IRC client, for the
// end-to-end sessions. Both wait by spinning the event loop, so the window's
// relay on the same thread keeps working meanwhile.

#include "peer.h"
#include "testsupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace pelktest {

// An ngIRCd instance of its own, in the foreground, listening on one
// loopback address only. Its configuration lives in a temporary directory:
// no PID file, no chroot, no DNS or ident lookups, no PAM, a MOTD phrase so
// that registration completes, and room for many connections from one
// address. The process is terminated (then killed) by the destructor.
//
// Tests call available() first and QSKIP when it is false.
class IrcServer
{
public:
    static constexpr int StartTimeoutMs = 10 * 1000;
    static constexpr int StopTimeoutMs = 3 * 1000;
    static constexpr int PortProbeTimeoutMs = 1000;
    static constexpr int StartAttempts = 3; // a port from freeLoopbackPort() can be taken in between
    static constexpr int MaxConnectionsFromOneAddress = 200;

    explicit IrcServer(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost))
        : m_address(address)
    {
    }
    ~IrcServer() { stop(); }
    IrcServer(const IrcServer &) = delete;
    IrcServer &operator=(const IrcServer &) = delete;

    static QString binaryPath() { return QStringLiteral("/usr/sbin/ngircd"); }
    static bool available() { return QFileInfo(binaryPath()).isExecutable(); }

    // Serves TLS on a second port too, with these PEM files; before start().
    void enableTls(const QString &certFile, const QString &keyFile, const QString &dhFile)
    {
        m_tlsFiles = {certFile, keyFile, dhFile};
    }

    // Starts the server and waits until its port accepts a connection.
    // On failure returns false; errorString() says why.
    bool start()
    {
        if (!available()) {
            m_error = QStringLiteral("%1 is not installed (apt-get install ngircd)").arg(binaryPath());
            return false;
        }
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("cannot create a temporary directory: %1").arg(m_dir.errorString());
            return false;
        }
        for (int attempt = 0; attempt < StartAttempts; ++attempt) {
            const quint16 port = freeLoopbackPort(m_address);
            const quint16 tlsPort = m_tlsFiles.isEmpty() ? 0 : freeLoopbackPort(m_address);
            if (port == 0 || (!m_tlsFiles.isEmpty() && (tlsPort == 0 || tlsPort == port))) {
                m_error = QStringLiteral("no free port on %1").arg(m_address.toString());
                return false;
            }
            if (startOnce(port, tlsPort))
                return true;
            stop();
        }
        return false;
    }

    QHostAddress address() const { return m_address; }
    QString host() const { return m_address.toString(); }
    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    QString errorString() const { return m_error; }

    // Everything the server printed so far, for failure messages.
    QByteArray output()
    {
        QFile log(m_dir.filePath(QStringLiteral("ngircd.log")));
        return m_dir.isValid() && log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

private:
    bool startOnce(quint16 port, quint16 tlsPort)
    {
        const QString configPath = m_dir.filePath(QStringLiteral("ngircd.conf"));
        if (!writeConfig(configPath, port, tlsPort)) {
            m_error = QStringLiteral("cannot write %1").arg(configPath);
            return false;
        }
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        // A file, not a pipe: nobody has to drain it while the test runs.
        m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("ngircd.log")));
        m_process->setStandardInputFile(QProcess::nullDevice());
        m_process->start(binaryPath(), {QStringLiteral("-n"), QStringLiteral("-f"), configPath});
        if (!m_process->waitForStarted(StartTimeoutMs)) {
            m_error = QStringLiteral("cannot start %1: %2").arg(binaryPath(), m_process->errorString());
            return false;
        }
        const auto exited = [this] { return m_process->state() != QProcess::Running; };
        const auto accepting = [&] { return portAccepts(port) && (tlsPort == 0 || portAccepts(tlsPort)); };
        const bool settled = QTest::qWaitFor([&] { return exited() || accepting(); }, StartTimeoutMs);
        if (exited()) {
            m_error = QStringLiteral("ngircd exited during start-up: %1").arg(QString::fromLocal8Bit(output()));
            return false;
        }
        if (!settled) {
            m_error = QStringLiteral("ngircd did not accept on port %1 within %2 ms: %3")
                          .arg(port).arg(StartTimeoutMs).arg(QString::fromLocal8Bit(output()));
            return false;
        }
        m_port = port;
        m_tlsPort = tlsPort;
        return true;
    }

    bool portAccepts(quint16 port) const
    {
        QTcpSocket probe;
        probe.connectToHost(m_address, port);
        // The server runs in another process, so blocking this thread is fine.
        const bool accepted = probe.waitForConnected(PortProbeTimeoutMs);
        probe.abort();
        return accepted;
    }

    void stop()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(StopTimeoutMs)) {
                m_process->kill();
                m_process->waitForFinished(StopTimeoutMs);
            }
        }
        m_process.reset();
        m_port = 0;
        m_tlsPort = 0;
    }

    bool writeConfig(const QString &path, quint16 port, quint16 tlsPort) const
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return false;
        // ServerUID/ServerGID stay unset: started by an ordinary user the
        // server keeps that user; started by root it switches to "nobody" on
        // its own, which only needs to read nothing after start-up. Without
        // PidFile and ChrootDir it touches nothing outside this directory.
        QByteArray config =
            "[Global]\n"
            "Name = irc.pelk.test\n"
            "Info = Pelk test server\n"
            "AdminInfo1 = Pelk tests\n"
            "AdminInfo2 = loopback only\n"
            "AdminEMail = nobody@localhost\n"
            "Listen = " + m_address.toString().toLatin1() + "\n"
            "Ports = " + QByteArray::number(port) + "\n"
            "MotdPhrase = Pelk test server\n"
            "[Limits]\n"
            "MaxConnectionsIP = " + QByteArray::number(MaxConnectionsFromOneAddress) + "\n"
            "MaxJoins = 0\n"
            // No flood penalties: tests send bursts that a person never would.
            "MaxPenaltyTime = 0\n"
            "PingTimeout = 120\n"
            "PongTimeout = 20\n"
            "[Options]\n"
            "DNS = no\n"
            "Ident = no\n"
            "PAM = no\n";
        if (tlsPort != 0) {
            config += "[SSL]\n"
                      "CertFile = " + QFile::encodeName(m_tlsFiles.at(0)) + "\n"
                      "KeyFile = " + QFile::encodeName(m_tlsFiles.at(1)) + "\n"
                      "DHFile = " + QFile::encodeName(m_tlsFiles.at(2)) + "\n"
                      "Ports = " + QByteArray::number(tlsPort) + "\n";
        }
        return file.write(config) == config.size();
    }

    QHostAddress m_address;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    QStringList m_tlsFiles; // certificate, key, DH parameters
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QString m_error;
};

// A line-oriented IRC client on a test peer (peer.h). Every received line
// (without its CR LF) is kept in lines(); the server's PING is answered with
// PONG as soon as it arrives, so a slow test is never dropped for idling.
//
// waitForLine() looks only at lines after the last one it matched, so a test
// can wait for a sequence of replies in order without matching an old one
// twice.
class IrcClient
{
public:
    static constexpr int DefaultTimeoutMs = 10 * 1000;

    IrcClient() = default;
    IrcClient(const IrcClient &) = delete; // the peer's callback holds `this`
    IrcClient &operator=(const IrcClient &) = delete;

    // False when the connection is refused or not up within timeoutMs.
    bool connectTo(const QHostAddress &host, quint16 port, int timeoutMs = DefaultTimeoutMs)
    {
        m_connection = Connection::connectTo(host, port);
        m_connection->closeOnFin = true;
        m_connection->keepReceived = false;
        m_connection->onData = [this](QByteArrayView chunk) { readLines(chunk); };
        // Spin the event loop rather than block: the other end may be a
        // relay running on this very thread.
        return QTest::qWaitFor([this] { return m_connection->isConnected() || !m_connection->isOpen(); }, timeoutMs)
               && m_connection->isConnected();
    }

    // Sends `line` followed by CR LF.
    void sendLine(const QByteArray &line) { m_connection->send(line + "\r\n"); }

    // Waits until an unmatched line matches, then stores it in *matched.
    bool waitForLine(const QRegularExpression &pattern, int timeoutMs = DefaultTimeoutMs,
                     QByteArray *matched = nullptr)
    {
        return QTest::qWaitFor([&] {
            for (; m_nextUnmatched < m_lines.size(); ++m_nextUnmatched) {
                if (pattern.match(QString::fromUtf8(m_lines.at(m_nextUnmatched))).hasMatch()) {
                    if (matched)
                        *matched = m_lines.at(m_nextUnmatched);
                    ++m_nextUnmatched;
                    return true;
                }
            }
            return false;
        }, timeoutMs);
    }

    // NICK and USER, then waits for the welcome numeric 001.
    bool signOn(const QByteArray &nick, int timeoutMs = DefaultTimeoutMs)
    {
        m_nick = nick;
        sendLine("NICK " + nick);
        sendLine("USER " + nick + " 0 * :Pelk test " + nick);
        static const QRegularExpression welcome(QStringLiteral("^:\\S+ 001 "));
        return waitForLine(welcome, timeoutMs);
    }

    // Waits until the peer has closed the connection and it is released.
    bool waitForDisconnected(int timeoutMs = DefaultTimeoutMs)
    {
        return QTest::qWaitFor([this] { return !m_connection->isOpen(); }, timeoutMs);
    }

    QByteArray nick() const { return m_nick; }
    Connection &connection() { return *m_connection; } // after connectTo()

    // The last lines received, one per line, for failure messages (which
    // QtTest cuts at about a thousand characters).
    QString transcript(int lastLines = 8) const
    {
        QString text;
        for (qsizetype i = qMax(qsizetype(0), m_lines.size() - lastLines); i < m_lines.size(); ++i)
            text += QLatin1Char('\n') + QString::fromUtf8(m_lines.at(i));
        return text;
    }

private:
    void readLines(QByteArrayView chunk)
    {
        m_partial += chunk;
        qsizetype start = 0;
        for (qsizetype end = m_partial.indexOf('\n'); end >= 0; end = m_partial.indexOf('\n', start)) {
            QByteArray line = m_partial.mid(start, end - start);
            if (line.endsWith('\r'))
                line.chop(1);
            start = end + 1;
            if (line.startsWith("PING "))
                sendLine("PONG " + line.mid(5)); // at once, so the server never sees us idle
            m_lines.append(line);
        }
        m_partial.remove(0, start);
    }

    std::unique_ptr<Connection> m_connection;
    QByteArray m_partial;
    QList<QByteArray> m_lines;
    qsizetype m_nextUnmatched = 0;
    QByteArray m_nick;
};

} // namespace pelktest
