#include "testsupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <QTemporaryFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>
#include <utility>

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

int openFdCount(qint64 pid)
{
    DIR *fds = opendir(pid == 0 ? "/proc/self/fd" : qPrintable(QStringLiteral("/proc/%1/fd").arg(pid)));
    if (!fds)
        return -1;
    // Listing our own descriptors takes one; leave it out of the count.
    const int own = pid == 0 ? dirfd(fds) : -1;
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

PrivateNetwork::PrivateNetwork()
{
    m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (m_home < 0 || ::unshare(CLONE_NEWNET) != 0) {
        m_failure = QStringLiteral("cannot make a network namespace (%1); run as root").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (!run(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")}))
        m_failure = QStringLiteral("cannot bring up the namespace's loopback with ip (iproute2)");
}

PrivateNetwork::~PrivateNetwork()
{
    if (m_home >= 0) {
        if (::setns(m_home, CLONE_NEWNET) != 0)
            qFatal("cannot return to the test's network namespace: %s", std::strerror(errno));
        ::close(m_home);
    }
}

bool PrivateNetwork::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(10 * 1000) && process.exitStatus() == QProcess::NormalExit
           && process.exitCode() == 0;
}

bool PrivateNetwork::drop(quint16 port)
{
    const QString p = QString::number(port);
    const QString rules = QStringLiteral("add table inet dead\n"
                                         "add chain inet dead in { type filter hook input priority 0; }\n"
                                         "add rule inet dead in tcp dport %1 drop\n"
                                         "add rule inet dead in tcp sport %1 drop\n").arg(p);
    QTemporaryFile file;
    if (!file.open() || file.write(rules.toUtf8()) < 0 || !file.flush())
        return false;
    return run(QStringLiteral("nft"), {QStringLiteral("-f"), file.fileName()});
}

const QHostAddress NeighbourNetwork::Here(QStringLiteral("10.99.0.1"));
const QHostAddress NeighbourNetwork::Neighbour(QStringLiteral("10.99.0.2"));
const QHostAddress NeighbourNetwork::Stranger(QStringLiteral("203.0.113.5"));

NeighbourNetwork::NeighbourNetwork()
{
    const auto ip = [&](const QString &commands) {
        for (const QString &command : commands.split(u';')) {
            if (!m_hereNetwork.run(QStringLiteral("ip"), command.split(u' ', Qt::SkipEmptyParts)))
                return false;
        }
        return true;
    };
    m_here = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (!m_hereNetwork.entered() || m_here < 0) {
        m_failure = m_hereNetwork.failure();
        return;
    }
    // The pair is made here; its far end goes to the new namespace, which
    // ip finds through this process's descriptor of it.
    if (!ip(QStringLiteral("link add vnear type veth peer name vfar"))) {
        m_failure = QStringLiteral("cannot make a veth pair with ip (iproute2, the veth module)");
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0 || (m_far = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) < 0
        || !enter(m_here)) {
        m_failure = QStringLiteral("cannot make a second network namespace (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    const QString farPath = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(m_far);
    const bool made = ip(QStringLiteral("link set vfar netns %1;address add 10.99.0.1/24 dev vnear;link set vnear up;"
                                        "route add 203.0.113.0/24 via 10.99.0.2").arg(farPath))
                      && enter(m_far)
                      && ip(QStringLiteral("link set lo up;address add 10.99.0.2/24 dev vfar;link set vfar up;"
                                           "address add 203.0.113.5/32 dev lo"))
                      && enter(m_here);
    if (!made) {
        enter(m_here);
        m_failure = QStringLiteral("cannot set up the neighbour's network with ip");
    }
}

NeighbourNetwork::~NeighbourNetwork()
{
    for (const int fd : {m_here, m_far}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool NeighbourNetwork::enter(int ns)
{
    return ::setns(ns, CLONE_NEWNET) == 0;
}

void NeighbourNetwork::visit(const std::function<void()> &work)
{
    if (!enter(m_far))
        qFatal("cannot enter the neighbour's network namespace: %s", std::strerror(errno));
    work();
    if (!enter(m_here))
        qFatal("cannot return to the test's network namespace: %s", std::strerror(errno));
}

std::unique_ptr<Connection> NeighbourNetwork::connectFrom(const QHostAddress &from, quint16 port)
{
    int fd = -1;
    visit([&] {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from.toIPv4Address());
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            ::close(std::exchange(fd, -1));
    });
    return fd >= 0 ? Connection::connectTo(Here, port, fd) : std::make_unique<Connection>(-1);
}

RunningRelay::RunningRelay(quint16 upstream, const std::function<void(pelk::Relay &)> &configure)
    : upstreamPort(QString::number(upstream))
{
    relay.upstreamHost = [this] { return upstreamHost; };
    relay.upstreamPort = [this] { return upstreamPort; };
    if (configure)
        configure(relay);
    relay.Winsock1(0).setLocalPort(0);
    listening = relay.Winsock1(0).Listen();
}

ChildProgram::ChildProgram(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    start(QStringLiteral(CHILD_PROGRAM), arguments, environment);
}

ChildProgram::ChildProgram(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    start(program, arguments, environment);
}

void ChildProgram::start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    process.setProcessEnvironment(environment);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
        while (process.canReadLine())
            lines << QString::fromUtf8(process.readLine()).chopped(1);
    });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, [this] { standardError(); });
    process.start(program, arguments);
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
    return QTest::qWaitFor([&] { return !last(prefix).isNull() || process.state() == QProcess::NotRunning; },
                           StartTimeoutMs) ? last(prefix).toUShort() : 0;
}

QString ChildProgram::last(const QString &prefix) const
{
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).startsWith(prefix))
            return lines.at(i).mid(prefix.size());
    }
    return {};
}

QString ChildProgram::transcript()
{
    const QString end = process.state() != QProcess::NotRunning ? QStringLiteral("running")
                        : process.exitStatus() == QProcess::CrashExit
                            ? QStringLiteral("crashed")
                            : QStringLiteral("exited with %1").arg(process.exitCode());
    return lines.join(u'\n') + QStringLiteral("\n(%1) standard error:\n").arg(end)
           + QString::fromLocal8Bit(standardError());
}

QByteArray ChildProgram::standardError()
{
    m_errors += process.readAllStandardError();
    return m_errors;
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

} // namespace pelktest
