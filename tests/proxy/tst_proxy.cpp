// Servers reached through a proxy: the URL as typed, the SOCKS5 and HTTP
// CONNECT exchanges against scripted replies (every refusal a person can
// meet, and what it shows), and sessions through real microsocks and
// tinyproxy processes on loopback, plain and TLS.

#include "commandline.h"
#include "form1.h"
#include "formsupport.h"
#include "proxyexchange.h"
#include "testsupport.h"
#include "irc.h"
#include "testtls.h"
#include "tlsserver.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace pelk;
using pelktest::Connection;

namespace {

using pelktest::plainToolTip;

constexpr int WaitMs = 20 * 1000;
const QHostAddress Loopback(QHostAddress::LocalHost);
const QString Relayed = QStringLiteral("relayed");
const QString Secret = QStringLiteral("pw-SECRET");


QByteArray socksReply(int code, int addressType = 1)
{
    QByteArray reply = QByteArray::fromHex("05") + char(code) + char(0) + char(addressType);
    reply += addressType == 4 ? QByteArray(16, 0) : addressType == 3 ? QByteArray("\x04name", 5) : QByteArray(4, 0);
    return reply + QByteArray(2, 0);
}

// The length of the client's next whole request in `buffer`, -1 while it is
// incomplete: the SOCKS5 greeting, login or CONNECT, or an HTTP header.
qsizetype requestBytes(const QByteArray &buffer, bool socks, int index)
{
    const auto at = [&](qsizetype i) { return i < buffer.size() ? int(quint8(buffer.at(i))) : -1; };
    if (!socks) {
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        return end < 0 ? -1 : end + 4;
    }
    qsizetype length = -1;
    if (index == 0 && at(1) >= 0)
        length = 2 + at(1);
    else if (index > 0 && at(0) == 1 && at(1) >= 0 && at(2 + at(1)) >= 0)
        length = 3 + at(1) + at(2 + at(1));
    else if (index > 0 && at(0) == 5 && at(4) >= 0)
        length = at(3) == 1 ? 10 : at(3) == 4 ? 22 : 7 + at(4);
    return length >= 0 && buffer.size() >= length ? length : -1;
}

// A proxy whose replies a test gives: the n-th reply answers the client's
// n-th request (an empty one closes the connection instead). Behind the
// last reply, in the same write, come the server's first bytes; after that
// it echoes, as a server would.
class ScriptedProxy
{
public:
    ScriptedProxy(bool socks, QList<QByteArray> replies, QByteArray serverGreeting)
        : m_socks(socks), m_replies(std::move(replies)), m_greeting(std::move(serverGreeting))
    {
        m_server.echo = false;
        m_server.onAccepted = [this](Connection &connection) {
            connection.onData = [this, &connection](QByteArrayView chunk) { onData(connection, chunk); };
        };
    }
    quint16 port() const { return m_server.port(); }
    QList<QByteArray> requests; // as received

private:
    // Each connection goes through the script on its own.
    void onData(Connection &connection, QByteArrayView chunk)
    {
        Seen &seen = m_seen[&connection];
        if (seen.requests >= m_replies.size()) {
            connection.send(chunk);
            return;
        }
        QByteArray &buffer = seen.buffer;
        buffer += chunk.toByteArray();
        for (qsizetype n; seen.requests < m_replies.size()
                          && (n = requestBytes(buffer, m_socks, int(seen.requests))) > 0;) {
            requests << buffer.left(n);
            buffer.remove(0, n);
            QByteArray reply = m_replies.at(seen.requests++);
            if (reply.isEmpty()) {
                connection.shutdownSend();
                return;
            }
            if (seen.requests == m_replies.size())
                reply += m_greeting;
            connection.send(reply);
        }
    }

    pelktest::Server m_server;
    const bool m_socks;
    const QList<QByteArray> m_replies;
    const QByteArray m_greeting;
    struct Seen
    {
        QByteArray buffer;
        qsizetype requests = 0;
    };
    QHash<const Connection *, Seen> m_seen;
};

bool portAccepts(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(Loopback, port);
    const bool accepted = probe.waitForConnected(1000); // another process: blocking is fine
    probe.abort();
    return accepted;
}

// microsocks or tinyproxy from Debian in the foreground on a free loopback
// port; stopped by the destructor.
class ProxyProcess
{
public:
    static constexpr int StartTimeoutMs = 10 * 1000;
    static constexpr int StartAttempts = 3; // a free port can be taken in between

    ~ProxyProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(3000))
                m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // arguments(port) gives the command line for a port.
    bool start(const QString &program, const std::function<QStringList(quint16)> &arguments)
    {
        const QString path = QStandardPaths::findExecutable(program, {QStringLiteral("/usr/bin"),
                                                                      QStringLiteral("/usr/sbin")});
        if (path.isEmpty()) {
            m_error = QStringLiteral("%1 is not installed (apt-get install %1)").arg(program);
            return false;
        }
        for (int attempt = 0; attempt < StartAttempts; ++attempt) {
            const quint16 port = pelktest::freeLoopbackPort();
            m_process.setProcessChannelMode(QProcess::MergedChannels);
            m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("log")));
            m_process.setStandardInputFile(QProcess::nullDevice());
            m_process.start(path, arguments(port));
            const bool up = m_process.waitForStarted(StartTimeoutMs)
                            && QTest::qWaitFor([&] {
                                   return m_process.state() != QProcess::Running || portAccepts(port);
                               }, StartTimeoutMs)
                            && m_process.state() == QProcess::Running;
            if (up) {
                m_port = port;
                return true;
            }
            m_process.kill();
            m_process.waitForFinished(3000);
        }
        QFile log(m_dir.filePath(QStringLiteral("log")));
        log.open(QIODevice::ReadOnly);
        m_error = QStringLiteral("%1 did not start: %2").arg(program, QString::fromLocal8Bit(log.readAll()));
        return false;
    }

    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

// /etc/hosts with the test's own lines, for the calling thread and the
// programs it starts only: a mount namespace of its own, with a file bound
// over the system's. Needs the right to make namespaces (root).
class PrivateHosts
{
public:
    explicit PrivateHosts(const QByteArray &lines)
    {
        m_home = ::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
        m_cwd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QFile file(m_dir.filePath(QStringLiteral("hosts")));
        if (!file.open(QIODevice::WriteOnly) || file.write(lines) != lines.size() || !file.flush())
            m_failure = QStringLiteral("cannot write the hosts file");
        else if (m_home < 0 || m_cwd < 0 || ::unshare(CLONE_NEWNS) != 0
                 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                 || ::mount(QFile::encodeName(file.fileName()).constData(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            m_failure = QStringLiteral("cannot bind a file over /etc/hosts in a mount namespace (%1); run as root")
                                .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~PrivateHosts()
    {
        // Going back also sets the directory to the namespace's root.
        if (m_home >= 0 && (::setns(m_home, CLONE_NEWNS) != 0 || (m_cwd >= 0 && ::fchdir(m_cwd) != 0)))
            qFatal("cannot return to the test's mount namespace: %s", std::strerror(errno));
        for (const int fd : {m_home, m_cwd}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    PrivateHosts(const PrivateHosts &) = delete;
    PrivateHosts &operator=(const PrivateHosts &) = delete;

    const QString &failure() const { return m_failure; }

private:
    QTemporaryDir m_dir;
    int m_home = -1;
    int m_cwd = -1;
    QString m_failure;
};

} // namespace

class tst_Proxy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_certs.create(&error), qPrintable(error));
        m_certs.trustTestCa();
    }

    void urls_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown"); // displayText(), or "" when refused
        QTest::addColumn<QString>("reason"); // part of the refusal

        QTest::newRow("socks5") << " socks5://127.0.0.1:9050 " << "socks5://127.0.0.1:9050" << "";
        QTest::newRow("socks5, login") << "socks5://tor%3Aa:" + Secret + "@localhost:9050"
                                       << "socks5://tor%3Aa@localhost:9050" << "";
        QTest::newRow("http, IPv6") << "HTTP://[::1]:3128/" << "http://[::1]:3128" << "";
        QTest::newRow("other scheme") << "socks4://h:1080" << "" << "neither socks5 nor http";
        QTest::newRow("no scheme") << "127.0.0.1:1080" << "" << "socks5://HOST:PORT";
        QTest::newRow("no port") << "socks5://" + Secret + "@h" << "" << "no proxy port";
        QTest::newRow("bad port") << "http://u:" + Secret + "@h:99999" << "" << "not a usable URL";
        QTest::newRow("blank in host") << "http://a b:80" << "" << "not a usable URL";
        QTest::newRow("path") << "http://h:80/x" << "" << "no path";
        QTest::newRow("password alone") << "socks5://:" + Secret + "@h:1" << "" << "without a user name";
        QTest::newRow("long user") << "socks5://" + QString(256, u'u') + "@h:1" << "" << "at most 255";
    }
    void urls()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(QString, reason);
        QString why;
        const std::optional<ProxyUrl> proxy = parseProxyUrl(typed, &why);
        QCOMPARE(proxy.has_value(), !shown.isEmpty());
        if (proxy)
            QCOMPARE(proxy->displayText(), shown);
        CommandLine commandLine;
        QCOMPARE(commandLine.parse({QStringLiteral("pelk-bouncer"), QStringLiteral("--proxy"), typed}), proxy.has_value());
        if (!proxy) {
            QVERIFY2(why.contains(reason), qPrintable(why));
            QVERIFY2(commandLine.errorText().contains(reason), qPrintable(commandLine.errorText()));
            QVERIFY(!commandLine.errorText().contains(Secret));
        }
    }

    // The exchanges alone, fed one byte at a time and all at once: the same
    // outcome, and the server's bytes after the reply kept whole.
    void exchangeInPieces_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::newRow("socks5, login, name reply")
                << "socks5://u:p@h:1" << QList<QByteArray>{"\x05\x02", QByteArray("\x01\x00", 2), socksReply(0, 3)};
        QTest::newRow("socks5, IPv6 reply") << "socks5://h:1" << QList<QByteArray>{QByteArray("\x05\x00", 2), socksReply(0, 4)};
        QTest::newRow("http") << "http://h:1"
                              << QList<QByteArray>{"HTTP/1.1 200 OK\r\nVia: x\r\n\r\n"};
        QTest::newRow("http, interim reply") << "http://h:1"
                                             << QList<QByteArray>{"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\n\n"};
    }
    void exchangeInPieces()
    {
        QFETCH(QString, url);
        QFETCH(QList<QByteArray>, replies);
        const QByteArray after("\x16\x03\x01 server bytes\r\n");
        for (const bool bytewise : {false, true}) {
            ProxyExchange exchange(*parseProxyUrl(url), QStringLiteral("irc.example.invalid"), 6697);
            QCOMPARE(exchange.start().kind, ProxyExchange::Step::Write);
            ProxyExchange::Step step;
            const QByteArray all = replies.join() + after;
            for (qsizetype fed = 0; fed < all.size() && step.kind != ProxyExchange::Step::Done;) {
                const qsizetype size = bytewise ? 1 : all.size() - fed;
                step = exchange.feed(QByteArrayView(all).sliced(fed, size));
                fed += size;
                QVERIFY2(step.kind != ProxyExchange::Step::Failed, qPrintable(step.error.detail));
                // Everything it is fed at once: the proxy may send ahead.
                while (step.kind == ProxyExchange::Step::Write)
                    step = exchange.feed({});
            }
            QCOMPARE(step.kind, ProxyExchange::Step::Done);
            // Byte by byte it is done at the reply's last byte, with nothing after.
            QCOMPARE(step.bytes, bytewise ? QByteArray() : after);
        }
    }

    // Through a proxy whose replies the row gives. A relayed client gets the
    // server's bytes that came with the proxy's yes, and its own echoed; a
    // refused one is closed with nothing relayed, the status line names the
    // refusal and the tooltip says why, never with the password.
    void scriptedReplies_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<bool>("login");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QList<QByteArray>>("replies"); // none: nothing listens
        QTest::addColumn<QByteArray>("request");        // the last request, as sent; "" not checked
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("reason");

        const QString socks = QStringLiteral("socks5"), http = QStringLiteral("http");
        const QString name = QStringLiteral("irc.example.invalid");
        const QString onion = QStringLiteral("abcdefghijklmnopqrstuvwxyz234567abcdefghijklmnopqrstuvwx.onion");
        const QByteArray noLogin("\x05\x00", 2), login("\x05\x02", 2), loginOk("\x01\x00", 2);
        const QString refused = QStringLiteral("Proxy refused"), loginRefused = QStringLiteral("Proxy login refused"),
                      badReply = QStringLiteral("Bad proxy reply");
        const auto port = [](const QByteArray &bytes) { return bytes + QByteArray::fromHex("1a0b"); };

        QTest::newRow("socks5, a name goes unresolved")
                << socks << false << name << QList<QByteArray>{noLogin, socksReply(0)}
                << port(QByteArray::fromHex("0501000313") + name.toLatin1()) << Relayed << "";
        QTest::newRow("socks5, .onion with login")
                << socks << true << onion << QList<QByteArray>{login, loginOk, socksReply(0, 4)}
                << port(QByteArray::fromHex("05010003") + char(onion.size()) + onion.toLatin1()) << Relayed << "";
        QTest::newRow("socks5, IPv4 literal")
                << socks << false << "127.0.0.1" << QList<QByteArray>{noLogin, socksReply(0)}
                << port(QByteArray::fromHex("050100017f000001")) << Relayed << "";
        QTest::newRow("socks5, IPv6 literal")
                << socks << false << "[::1]" << QList<QByteArray>{noLogin, socksReply(0, 3)}
                << port(QByteArray::fromHex("05010004") + QByteArray(15, 0) + '\x01') << Relayed << "";
        const char *words[] = {"general failure", "not allowed by its rules", "network unreachable",
                               "host unreachable", "connection refused", "TTL expired",
                               "command not supported", "address type not supported", "unknown reply 9"};
        for (int code = 1; code <= 9; ++code) {
            QTest::addRow("socks5 reply %d", code) << socks << true << name
                                                   << QList<QByteArray>{login, loginOk, socksReply(code).left(2)}
                                                   << QByteArray() << refused << words[code - 1];
        }
        QTest::newRow("socks5 wants a login") << socks << false << name << QList<QByteArray>{"\x05\xff"}
                                              << QByteArray() << loginRefused << "wants a login";
        QTest::newRow("socks5 login refused") << socks << true << name << QList<QByteArray>{login, "\x01\x01"}
                                              << QByteArray::fromHex("0105616c696365") + char(Secret.size())
                                                         + Secret.toLatin1()
                                              << loginRefused << "refused the login of user \"alice\"";
        QTest::newRow("socks5, HTTP answers") << socks << false << name
                                              << QList<QByteArray>{"HTTP/1.1 400 Bad\r\n\r\n"} << QByteArray()
                                              << badReply << "other than SOCKS5";
        QTest::newRow("socks5, bad address type") << socks << false << name
                                                  << QList<QByteArray>{noLogin, socksReply(0, 7)} << QByteArray()
                                                  << badReply << "unknown address type 7";
        QByteArray reserved = socksReply(0);
        reserved[2] = 1;
        QTest::newRow("socks5, reserved byte set") << socks << false << name << QList<QByteArray>{noLogin, reserved}
                                                   << QByteArray() << badReply << "reserved byte 0x01 instead of 0x00";
        QTest::newRow("socks5, login reply version 5") << socks << true << name << QList<QByteArray>{login, noLogin}
                                                       << QByteArray() << badReply << "login with version 0x05";
        QTest::newRow("socks5, closed unanswered") << socks << false << name << QList<QByteArray>{noLogin, ""}
                                                   << QByteArray() << refused << "closed the connection";
        QTest::newRow("proxy not listening") << socks << true << name << QList<QByteArray>{} << QByteArray()
                                             << "Proxy unreachable" << "Cannot reach the SOCKS5 proxy";

        const QByteArray ok("HTTP/1.0 200 Connection established\r\nProxy-agent: test\r\n\r\n");
        const QByteArray connectName("CONNECT irc.example.invalid:6667 HTTP/1.1\r\nHost: irc.example.invalid:6667\r\n\r\n");
        QTest::newRow("http, a name goes unresolved") << http << false << name << QList<QByteArray>{ok} << connectName
                                                      << Relayed << "";
        const QByteArray interim("HTTP/1.1 100 Continue\r\n\r\n"), processing("HTTP/1.1 102 Processing\r\nX: y\r\n\r\n");
        QTest::newRow("http, 100 Continue then 200") << http << false << name << QList<QByteArray>{interim + ok}
                                                     << connectName << Relayed << "";
        QTest::newRow("http, two 1xx then 200") << http << false << name
                                                << QList<QByteArray>{interim + processing + ok} << connectName
                                                << Relayed << "";
        QTest::newRow("http, 1xx then 407") << http << true << name
                                            << QList<QByteArray>{interim + "HTTP/1.1 407 Login\r\n\r\n"}
                                            << QByteArray() << loginRefused << "refused the login of user \"alice\"";
        QTest::newRow("http 101") << http << false << name << QList<QByteArray>{"HTTP/1.1 101 Switching\r\n\r\n" + ok}
                                  << QByteArray() << refused << "\"HTTP/1.1 101 Switching\"";
        const QByteArray half = "HTTP/1.1 100 Continue\r\nX: " + QByteArray(ProxyExchange::MaxReplyBytes / 2, 'x') + "\r\n\r\n";
        QTest::newRow("http, 1xx headers over 8 KiB in all") << http << false << name << QList<QByteArray>{half + half + ok}
                                                             << QByteArray() << badReply << "longer than 8 KiB";
        QTest::newRow("http, Basic login, IPv6")
                << http << true << "::1" << QList<QByteArray>{"HTTP/1.1 200 OK\n\n"}
                << "CONNECT [::1]:6667 HTTP/1.1\r\nHost: [::1]:6667\r\nProxy-Authorization: Basic "
                           + ("alice:" + Secret).toLatin1().toBase64() + "\r\n\r\n"
                << Relayed << "";
        QTest::newRow("http 403") << http << false << name << QList<QByteArray>{"HTTP/1.1 403 Forbidden\r\n\r\n"}
                                  << QByteArray() << refused << "\"HTTP/1.1 403 Forbidden\"";
        QTest::newRow("http 407") << http << true << name
                                  << QList<QByteArray>{"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"}
                                  << QByteArray() << loginRefused << "refused the login of user \"alice\"";
        QTest::newRow("http header over 8 KiB")
                << http << false << name
                << QList<QByteArray>{"HTTP/1.1 200 OK\r\nX: " + QByteArray(ProxyExchange::MaxReplyBytes, 'x')}
                << QByteArray() << badReply << "longer than 8 KiB";
        QTest::newRow("http, not HTTP") << http << false << name << QList<QByteArray>{"SSH-2.0-x\r\n\r\n"}
                                        << QByteArray() << badReply << "other than HTTP";
    }
    void scriptedReplies()
    {
        QFETCH(QString, scheme);
        QFETCH(bool, login);
        QFETCH(QString, host);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(QByteArray, request);
        QFETCH(QString, outcome);
        QFETCH(QString, reason);

        const QByteArray greeting(":irc.example.invalid NOTICE * :right after the proxy's yes\r\n");
        ScriptedProxy proxy(scheme == QLatin1String("socks5"), replies, greeting);
        const quint16 proxyPort = replies.isEmpty() ? pelktest::freeLoopbackPort() : proxy.port();
        Form1 form;
        const QString url = scheme + QStringLiteral("://") + (login ? "alice:" + Secret + u'@' : QString())
                            + QStringLiteral("127.0.0.1:") + QString::number(proxyPort);
        QVERIFY(startRelay(form, url, host, QStringLiteral("6667")));
        const QString shown = scheme + QStringLiteral("://") + (login ? QStringLiteral("alice@") : QString())
                              + QStringLiteral("127.0.0.1:") + QString::number(proxyPort);
        QVERIFY2(plainToolTip(form.lbl_status).contains(QStringLiteral("through the proxy ") + shown),
                 qPrintable(plainToolTip(form.lbl_status)));

        const auto client = Connection::connectTo(Loopback, quint16(form.relay.Winsock1(0).LocalPort()));
        const QByteArray line("NICK through\r\n");
        client->send(line);
        if (outcome == Relayed) {
            QVERIFY(pelktest::runUntil([&] { return client->received().size() >= greeting.size() + line.size(); },
                                       WaitMs));
            QCOMPARE(client->received(), greeting + line);
            QCOMPARE(proxy.requests.last(), request);
            QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: Accepting Connections"));
            return;
        }
        QVERIFY(pelktest::runUntil([&] { return client->ended(); }, WaitMs));
        QCOMPARE(client->received(), QByteArray());
        if (!request.isEmpty())
            QCOMPARE(proxy.requests.last(), request);
        for (const QByteArray &sent : std::as_const(proxy.requests))
            QVERIFY(!sent.contains("NICK"));
        QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: ") + outcome);
        const QString tip = plainToolTip(form.lbl_status);
        QVERIFY2(tip.contains(reason), qPrintable(tip));
        QVERIFY2(!tip.contains(Secret), qPrintable(tip));
        QTRY_COMPARE_WITH_TIMEOUT(form.relay.connectedClients(), 0, WaitMs);
    }

    // With --proxy-isolate each client offers the proxy a login of its own,
    // made up and never used again, and no login too: a proxy that takes
    // logins (Tor) gets a different one from each, one that takes none
    // still works.
    void isolatedLogins()
    {
        const QByteArray greeting(":irc.example.invalid NOTICE * :hello\r\n");
        for (const bool takesLogins : {true, false}) {
            ScriptedProxy proxy(true, takesLogins ? QList<QByteArray>{QByteArray("\x05\x02", 2), QByteArray("\x01\x00", 2), socksReply(0)}
                                                  : QList<QByteArray>{QByteArray("\x05\x00", 2), socksReply(0)},
                                greeting);
            CommandLine commandLine;
            QVERIFY2(commandLine.parse({QStringLiteral("pelk-bouncer"), QStringLiteral("--proxy-isolate"), QStringLiteral("--proxy"),
                                        QStringLiteral("socks5://127.0.0.1:%1").arg(proxy.port())}),
                     qPrintable(commandLine.errorText()));
            Form1 form;
            commandLine.applyTo(form);
            const quint16 port = pelktest::startForm(form, QStringLiteral("irc.example.invalid"), QStringLiteral("6667"));
            QVERIFY(port != 0);
            for (int i = 0; i < 2; ++i) {
                const auto client = Connection::connectTo(Loopback, port);
                QVERIFY(pelktest::runUntil([&] { return client->received() == greeting; }, WaitMs));
            }
            const qsizetype perClient = takesLogins ? 3 : 2;
            QCOMPARE(proxy.requests.size(), 2 * perClient);
            QCOMPARE(proxy.requests.at(0), QByteArray("\x05\x02\x02\x00", 4)); // a login, or none
            if (takesLogins) {
                const QByteArray first = proxy.requests.at(1), second = proxy.requests.at(perClient + 1);
                QVERIFY(first.startsWith("\x01") && first.contains("pelk-"));
                QVERIFY(first != second);
            }
        }
    }

    // Real proxies in front of a plain echo server and a TLS one ("+N", the
    // certificate checked against the address the proxy is given). An
    // address, not "localhost": microsocks tries only the first address a
    // name has, which may be ::1 where the servers listen on 127.0.0.1 alone.
    void realProxies_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("proxyLogin");  // what the proxy takes, "" none
        QTest::addColumn<QString>("urlLogin");    // what the URL gives
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("outcome");

        const QString microsocks = QStringLiteral("microsocks"), tinyproxy = QStringLiteral("tinyproxy");
        const QString pair = "alice:" + Secret;
        QTest::newRow("microsocks") << microsocks << "" << "" << false << Relayed;
        QTest::newRow("microsocks, TLS") << microsocks << "" << "" << true << Relayed;
        QTest::newRow("microsocks, login, TLS") << microsocks << pair << pair << true << Relayed;
        QTest::newRow("microsocks, wrong password") << microsocks << pair << "alice:nope" << false
                                                    << "Proxy login refused";
        QTest::newRow("tinyproxy") << tinyproxy << "" << "" << false << Relayed;
        QTest::newRow("tinyproxy, login, TLS") << tinyproxy << pair << pair << true << Relayed;
        QTest::newRow("tinyproxy, wrong password") << tinyproxy << pair << "alice:nope" << false
                                                   << "Proxy login refused";
    }
    void realProxies()
    {
        QFETCH(QString, program);
        QFETCH(QString, proxyLogin);
        QFETCH(QString, urlLogin);
        QFETCH(bool, tls);
        QFETCH(QString, outcome);

        pelktest::Server plainServer;
        pelktest::TlsServer::Script script;
        script.certFile = m_certs.certFile(pelktest::TestCertificates::Trusted);
        script.keyFile = m_certs.keyFile(pelktest::TestCertificates::Trusted);
        script.echo = true;
        std::unique_ptr<pelktest::TlsServer> tlsServer;
        if (tls)
            tlsServer = std::make_unique<pelktest::TlsServer>(script);
        const quint16 serverPort = tls ? tlsServer->port() : plainServer.port();

        ProxyProcess proxy;
        QVERIFY2(startProxy(proxy, program, proxyLogin, serverPort), qPrintable(proxy.errorString()));
        Form1 form;
        const QString scheme = program == QLatin1String("microsocks") ? QStringLiteral("socks5") : QStringLiteral("http");
        const QString url = scheme + QStringLiteral("://") + (urlLogin.isEmpty() ? QString() : urlLogin + u'@')
                            + QStringLiteral("127.0.0.1:") + QString::number(proxy.port());
        QVERIFY(startRelay(form, url, QStringLiteral("127.0.0.1"),
                           (tls ? QStringLiteral("+%1") : QStringLiteral("%1")).arg(serverPort)));

        const auto client = Connection::connectTo(Loopback, quint16(form.relay.Winsock1(0).LocalPort()));
        const QByteArray line = pelktest::randomPayload(256 * 1024, 5);
        client->send(line);
        if (outcome == Relayed) {
            QVERIFY2(pelktest::runUntil([&] { return client->received().size() >= line.size(); }, WaitMs),
                     qPrintable(plainToolTip(form.lbl_status)));
            QVERIFY(client->receivedHash() == pelktest::sha256(line));
            QVERIFY(!tls || tlsServer->handshakeDone());
            return;
        }
        QVERIFY(pelktest::runUntil([&] { return client->ended(); }, WaitMs));
        QCOMPARE(client->received(), QByteArray());
        QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: ") + outcome);
        QVERIFY(!plainToolTip(form.lbl_status).contains(Secret));
    }

    // A proxy on this computer asked for the relay's own listener, by
    // address or by a name of this computer: refused before the proxy is
    // asked, where it would relay each client back to the relay. Names from
    // /etc/hosts are read from the test's own file, which the proxy reads too.
    void proxyLoopRefused_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("address") << "127.0.0.1";
        QTest::newRow("localhost") << "localhost";
        QTest::newRow("hosts name, line without a comment") << "nocomment";
        QTest::newRow("hosts alias, IPv6 line") << "Ip6-Alias";
    }
    void proxyLoopRefused()
    {
        QFETCH(QString, host);
        std::unique_ptr<PrivateHosts> hosts;
        if (host != "127.0.0.1" && host != "localhost") {
            hosts = std::make_unique<PrivateHosts>("# the test's own\n127.0.0.1\tnocomment\n"
                                                   "::1 ip6-name ip6-alias # a comment\n");
            if (!hosts->failure().isEmpty())
                QSKIP(qPrintable(hosts->failure()));
        }
        ProxyProcess proxy;
        QVERIFY2(startProxy(proxy, QStringLiteral("microsocks"), QString(), 0), qPrintable(proxy.errorString()));
        Form1 form;
        QVERIFY(startRelay(form, QStringLiteral("socks5://127.0.0.1:%1").arg(proxy.port()), host, QStringLiteral("1")));
        const quint16 relayPort = quint16(form.relay.Winsock1(0).LocalPort());
        form.bounce_port->setText(QString::number(relayPort));
        const auto client = Connection::connectTo(Loopback, relayPort);
        QVERIFY(pelktest::runUntil([&] { return client->ended(); }, WaitMs));
        QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: Server is this relay"));
        QTRY_COMPARE(form.relay.connectedClients(), 0);
        QCOMPARE(form.relay.Winsock1.UBound(), 1);
    }

    // An IRC session with ngIRCd through microsocks goes on while another
    // client's server refuses the proxy's connection.
    void ircSessionThroughSocks()
    {
        pelktest::IrcServer irc;
        QVERIFY2(irc.start(), qPrintable(irc.errorString()));
        ProxyProcess proxy;
        QVERIFY2(startProxy(proxy, QStringLiteral("microsocks"), QString(), 0), qPrintable(proxy.errorString()));
        Form1 form;
        QVERIFY(startRelay(form, QStringLiteral("socks5://127.0.0.1:%1").arg(proxy.port()), QStringLiteral("127.0.0.1"),
                           QString::number(irc.port())));
        const quint16 relayPort = quint16(form.relay.Winsock1(0).LocalPort());
        pelktest::IrcClient alice;
        QVERIFY(alice.connectTo(Loopback, relayPort));
        QVERIFY2(alice.signOn("alice"), qPrintable(alice.transcript()));

        form.bounce_port->setText(QString::number(pelktest::freeLoopbackPort()));
        pelktest::IrcClient bob;
        QVERIFY(bob.connectTo(Loopback, relayPort));
        QVERIFY(bob.waitForDisconnected());
        QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: Proxy refused"));
        QVERIFY2(plainToolTip(form.lbl_status).contains(QStringLiteral("connection refused")),
                 qPrintable(plainToolTip(form.lbl_status)));

        alice.sendLine("JOIN #proxied");
        QVERIFY2(alice.waitForLine(QRegularExpression(QStringLiteral(" 366 alice #proxied "))), qPrintable(alice.transcript()));
    }

private:
    static bool startRelay(Form1 &form, const QString &proxyUrl, const QString &host, const QString &port)
    {
        CommandLine commandLine;
        if (!commandLine.parse({QStringLiteral("pelk-bouncer"), QStringLiteral("--proxy"), proxyUrl})) {
            qWarning("%s", qPrintable(commandLine.errorText()));
            return false;
        }
        commandLine.applyTo(form);
        form.listport->setText(QStringLiteral("0"));
        form.bounce_server->setText(host);
        form.bounce_port->setText(port);
        form.cmd_startstop_Click();
        if (!form.running)
            qWarning("not started: %s", qPrintable(form.lbl_status->text() + u' ' + plainToolTip(form.lbl_status)));
        return form.running;
    }

    // serverPort 0: any port may be asked for.
    static bool startProxy(ProxyProcess &proxy, const QString &program, const QString &login, quint16 serverPort)
    {
        const QString user = login.section(u':', 0, 0), password = login.section(u':', 1);
        if (program == QLatin1String("microsocks")) {
            return proxy.start(program, [&](quint16 port) {
                QStringList arguments{QStringLiteral("-i"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                      QString::number(port)};
                if (!login.isEmpty())
                    arguments << QStringLiteral("-u") << user << QStringLiteral("-P") << password;
                return arguments;
            });
        }
        const QString config = proxy.filePath(QStringLiteral("tinyproxy.conf"));
        return proxy.start(program, [&](quint16 port) {
            QFile file(config);
            file.open(QIODevice::WriteOnly | QIODevice::Truncate);
            QByteArray text = "Port " + QByteArray::number(port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                              "Timeout 60\nMaxClients 20\nLogLevel Warning\n";
            if (serverPort != 0)
                text += "ConnectPort " + QByteArray::number(serverPort) + "\n";
            if (!login.isEmpty())
                text += "BasicAuth " + user.toLatin1() + " " + password.toLatin1() + "\n";
            file.write(text);
            return QStringList{QStringLiteral("-d"), QStringLiteral("-c"), config};
        });
    }

    pelktest::TestCertificates m_certs;
};

PELKTEST_MAIN(tst_Proxy)
#include "tst_proxy.moc"
