#include "testsupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <dirent.h>
#include <unistd.h>

#include <cstring>

namespace pelktest {

QByteArray randomPayload(qsizetype size, quint32 seed)
{
    QByteArray payload(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    qsizetype i = 0;
    for (; i + qsizetype(sizeof(quint32)) <= size; i += sizeof(quint32)) {
        const quint32 word = generator.generate();
        std::memcpy(payload.data() + i, &word, sizeof word);
    }
    for (; i < size; ++i)
        payload[i] = char(generator.bounded(256));
    return payload;
}

QByteArray sha256(QByteArrayView data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    // The line reads "VmRSS:     12345 kB".
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (!line.startsWith("VmRSS:"))
            continue;
        const QList<QByteArray> fields = line.mid(6).simplified().split(' ');
        bool ok = false;
        const qint64 kib = fields.value(0).toLongLong(&ok);
        return ok ? kib * 1024 : -1;
    }
    return -1;
}

int openFdCount()
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        return -1;
    // The listing itself holds one descriptor; leave it out of the count.
    const int own = dirfd(fds);
    int count = 0;
    while (const dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        if (QByteArrayView(entry->d_name) != QByteArray::number(own))
            ++count;
    }
    closedir(fds);
    return count;
}

quint16 freeLoopbackPort(const QHostAddress &address)
{
    QTcpServer probe;
    if (!probe.listen(address, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(2);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return done();
}

bool runUntilSteady(const std::function<qint64()> &value, int timeoutMs)
{
    qint64 last = value();
    int sameChecks = 0;
    QElapsedTimer sinceChange;
    sinceChange.start();
    return runUntil([&] {
        const qint64 now = value();
        if (now != last) {
            last = now;
            sameChecks = 0;
            sinceChange.restart();
            return false;
        }
        return ++sameChecks >= SteadyChecks && sinceChange.elapsed() >= SteadyMs;
    }, timeoutMs);
}

RunningRelay::RunningRelay(quint16 upstream)
    : upstreamPort(QString::number(upstream))
{
    relay.upstreamHost = [this] { return upstreamHost; };
    relay.upstreamPort = [this] { return upstreamPort; };
    relay.Winsock1(0).setLocalPort(0);
    listening = relay.Winsock1(0).Listen();
}

ChildProgram::ChildProgram(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
        while (process.canReadLine())
            lines << QString::fromUtf8(process.readLine()).chopped(1);
    });
    process.start(QStringLiteral(CHILD_PROGRAM), arguments);
}

ChildProgram::~ChildProgram()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.closeWriteChannel();
    if (!process.waitForFinished(StopTimeoutMs)) {
        process.kill();
        process.waitForFinished(StopTimeoutMs);
    }
}

quint16 ChildProgram::port()
{
    const QString prefix = QStringLiteral("listening ");
    const bool said = QTest::qWaitFor(
        [&] { return !last(prefix).isNull() || process.state() == QProcess::NotRunning; }, StartTimeoutMs);
    return said ? last(prefix).toUShort() : 0;
}

QString ChildProgram::last(const QString &prefix) const
{
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).startsWith(prefix))
            return lines.at(i).mid(prefix.size());
    }
    return {};
}

qint64 ChildProgram::cpuTimeMs() const
{
    // utime and stime are the 14th and 15th fields, in clock ticks; the
    // command name before them is in parentheses and may hold blanks.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

// ---------------------------------------------------------------------------

namespace {

constexpr int PortProbeTimeoutMs = 1000;
constexpr int StartAttempts = 3; // a port from freeLoopbackPort() can be taken in between

bool portAccepts(const QHostAddress &address, quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(address, port);
    // The server runs in another process, so blocking this thread is fine.
    const bool accepted = probe.waitForConnected(PortProbeTimeoutMs);
    probe.abort();
    return accepted;
}

} // namespace

IrcServer::IrcServer(const QHostAddress &address)
    : m_address(address)
{
}

IrcServer::~IrcServer()
{
    stop();
}

QString IrcServer::binaryPath()
{
    return QStringLiteral("/usr/sbin/ngircd");
}

bool IrcServer::available()
{
    return QFileInfo(binaryPath()).isExecutable();
}

bool IrcServer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QByteArray IrcServer::output()
{
    if (!m_dir.isValid())
        return {};
    QFile log(m_dir.filePath(QStringLiteral("ngircd.log")));
    if (log.open(QIODevice::ReadOnly))
        m_output = log.readAll();
    return m_output;
}

void IrcServer::enableTls(const QString &certFile, const QString &keyFile, const QString &dhFile)
{
    m_tlsFiles = {certFile, keyFile, dhFile};
}

bool IrcServer::writeConfig(const QString &path, quint16 port, quint16 tlsPort) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    // ServerUID/ServerGID stay unset: started by an ordinary user the server
    // keeps that user; started by root it switches to "nobody" on its own,
    // which only needs to read nothing after start-up. Without PidFile and
    // ChrootDir it touches nothing outside this temporary directory.
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

bool IrcServer::start()
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

bool IrcServer::startOnce(quint16 port, quint16 tlsPort)
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
    const auto accepting = [&] {
        return portAccepts(m_address, port) && (tlsPort == 0 || portAccepts(m_address, tlsPort));
    };
    const bool settled = QTest::qWaitFor([&] { return exited() || accepting(); }, StartTimeoutMs);
    if (exited()) {
        m_error = QStringLiteral("ngircd exited during start-up: %1").arg(QString::fromLocal8Bit(output()));
        return false;
    }
    if (settled) {
        m_port = port;
        m_tlsPort = tlsPort;
        return true;
    }
    m_error = QStringLiteral("ngircd did not accept on port %1 within %2 ms: %3")
                  .arg(port)
                  .arg(StartTimeoutMs)
                  .arg(QString::fromLocal8Bit(output()));
    return false;
}

void IrcServer::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
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

// ---------------------------------------------------------------------------

bool IrcClient::connectTo(const QHostAddress &host, quint16 port, int timeoutMs)
{
    m_connection = Connection::connectTo(host, port);
    m_connection->closeOnFin = true;
    m_connection->keepReceived = false;
    m_connection->onData = [this](QByteArrayView chunk) { readLines(chunk); };
    // Spin the event loop rather than block: the other end may be a relay
    // running on this very thread.
    return QTest::qWaitFor([this] { return m_connection->isConnected() || !m_connection->isOpen(); }, timeoutMs)
           && m_connection->isConnected();
}

void IrcClient::sendLine(const QByteArray &line)
{
    m_connection->send(line + "\r\n");
}

void IrcClient::readLines(QByteArrayView chunk)
{
    m_partial += chunk;
    qsizetype start = 0;
    for (qsizetype end = m_partial.indexOf('\n'); end >= 0; end = m_partial.indexOf('\n', start)) {
        QByteArray line = m_partial.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = end + 1;
        if (line.startsWith("PING ")) {
            // Answer right here so the server never sees us idle.
            sendLine("PONG " + line.mid(5));
        }
        m_lines.append(line);
    }
    m_partial.remove(0, start);
}

template <typename Match>
bool IrcClient::waitFor(Match match, int timeoutMs, QByteArray *matched)
{
    return QTest::qWaitFor([&] {
        for (; m_nextUnmatched < m_lines.size(); ++m_nextUnmatched) {
            if (match(m_lines.at(m_nextUnmatched))) {
                if (matched)
                    *matched = m_lines.at(m_nextUnmatched);
                ++m_nextUnmatched;
                return true;
            }
        }
        return false;
    }, timeoutMs);
}

bool IrcClient::waitForLine(const QRegularExpression &pattern, int timeoutMs, QByteArray *matched)
{
    return waitFor([&](const QByteArray &line) {
        return pattern.match(QString::fromUtf8(line)).hasMatch();
    }, timeoutMs, matched);
}

bool IrcClient::waitForLine(QByteArrayView substring, int timeoutMs, QByteArray *matched)
{
    return waitFor([&](const QByteArray &line) { return line.contains(substring); },
                   timeoutMs, matched);
}

bool IrcClient::signOn(const QByteArray &nick, int timeoutMs)
{
    m_nick = nick;
    sendLine("NICK " + nick);
    sendLine("USER " + nick + " 0 * :Pelk test " + nick);
    static const QRegularExpression welcome(QStringLiteral("^:\\S+ 001 "));
    return waitForLine(welcome, timeoutMs);
}

bool IrcClient::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return !m_connection->isOpen(); }, timeoutMs);
}

QString IrcClient::transcript(int lastLines) const
{
    QString text;
    for (qsizetype i = qMax(qsizetype(0), m_lines.size() - lastLines); i < m_lines.size(); ++i)
        text += QLatin1Char('\n') + QString::fromUtf8(m_lines.at(i));
    return text;
}

} // namespace pelktest
