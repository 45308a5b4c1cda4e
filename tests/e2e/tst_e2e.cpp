// Real IRC sessions through the whole program: an ngIRCd on loopback as the
// upstream, the window's own Start/Stop button, and line clients that sign
// on, join a channel and talk through the relay.

#include "formsupport.h"
#include "irc.h"
#include "testsupport.h"
#include "testtls.h"
#include "fingerprint.h"
#include "tlscontext.h"

#include <QTest>

#include <memory>

using pelk::Form1;
using pelk::SocketState;
using pelktest::IrcClient;
using pelktest::IrcServer;

namespace {

constexpr int WaitMs = 10 * 1000;
constexpr int BurstLines = 500;

// Every byte a trailing IRC parameter may carry: all but NUL, CR and LF.
QByteArray everyAllowedByte()
{
    QByteArray bytes;
    for (int value = 1; value < 256; ++value) {
        if (value != '\r' && value != '\n')
            bytes.append(char(value));
    }
    return bytes;
}

// The text of a PRIVMSG line as received, everything after "PRIVMSG target :".
QByteArray messageText(const QByteArray &line, const QByteArray &target)
{
    const QByteArray marker = " PRIVMSG " + target + " :";
    const qsizetype at = line.indexOf(marker);
    return at < 0 ? QByteArray() : line.mid(at + marker.size());
}

// Line n of a burst: lengths vary so that lines straddle read boundaries in
// many different places. (The server strips trailing blanks, so none.)
QByteArray burstLine(int n)
{
    return "line " + QByteArray::number(n) + ' ' + QByteArray(n % 97, 'x') + " \xc2\xb7";
}

QRegularExpression fromNick(const QByteArray &nick, const QString &command)
{
    return QRegularExpression(QStringLiteral("^:%1!\\S+ %2 ").arg(QString::fromLatin1(nick), command));
}

} // namespace

class tst_E2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!IrcServer::available())
            QSKIP("ngircd is not installed (apt-get install ngircd); the end-to-end tests need it");
        QString error;
        QVERIFY2(m_certs.create(&error), qPrintable(error));
        m_certs.trustTestCa();
    }

    void conversation_data()
    {
        QTest::addColumn<bool>("relayed");
        QTest::addColumn<QHostAddress>("address"); // of the server, and of the relay for clients
        QTest::addColumn<bool>("tls");              // the relay reaches the server over TLS
        QTest::addColumn<bool>("clientCertificate"); // and presents one, which the server reports

        // Without the relay: shows that the server and the clients themselves
        // keep every byte, so a difference in the relayed rows is the relay's.
        QTest::newRow("direct") << false << QHostAddress(QHostAddress::LocalHost) << false << false;
        QTest::newRow("relayed, IPv4") << true << QHostAddress(QHostAddress::LocalHost) << false << false;
        QTest::newRow("relayed, IPv6") << true << QHostAddress(QHostAddress::LocalHostIPv6) << false << false;
        QTest::newRow("relayed over TLS, IPv4") << true << QHostAddress(QHostAddress::LocalHost) << true << false;
        QTest::newRow("relayed over TLS, IPv6") << true << QHostAddress(QHostAddress::LocalHostIPv6) << true << false;
        QTest::newRow("relayed over TLS with a client certificate") << true << QHostAddress(QHostAddress::LocalHost)
                                                                    << true << true;
    }

    // Two clients meet in a channel, exchange messages with every byte IRC
    // allows, and one leaves: the other sees it go, the leaver's upstream
    // connection ends and its slot is given up, and the one who stays is still
    // served.
    void conversation()
    {
        QFETCH(bool, relayed);
        QFETCH(QHostAddress, address);
        QFETCH(bool, tls);
        QFETCH(bool, clientCertificate);

        if (pelktest::freeLoopbackPort(address) == 0)
            QSKIP("this machine has no such loopback address");

        IrcServer server(address);
        if (tls) {
            const auto kind = pelktest::TestCertificates::Trusted;
            server.enableTls(m_certs.certFile(kind), m_certs.keyFile(kind), m_certs.dhFile());
        }
        QVERIFY2(server.start(), qPrintable(server.errorString()));

        std::unique_ptr<Form1> form;
        quint16 port = server.port();
        if (relayed) {
            form = std::make_unique<Form1>();
            const auto mine = pelktest::TestCertificates::OtherHost;
            pelk::TlsIdentity identity;
            QString error;
            QVERIFY2(!clientCertificate || identity.load(m_certs.certFile(mine), m_certs.keyFile(mine), &error),
                     qPrintable(error));
            form->relay.loop.tls().setClientIdentity(identity);
            port = startRelay(*form, server, tls);
            QVERIFY(port != 0);
        }

        IrcClient alice;
        IrcClient bob;
        QVERIFY(enter(alice, "alice", address, port, {}));
        QVERIFY(enter(bob, "bob", address, port, {&alice}));

        int bobSlot = 0;
        if (relayed) {
            QTRY_COMPARE_WITH_TIMEOUT(form->relay.connectedClients(), 2, WaitMs);
            bobSlot = slotOfClient(*form, bob.connection().localPort());
            QVERIFY2(bobSlot > 0, "no slot has bob's connection as its client side");
            QCOMPARE(form->relay.Winsock2(bobSlot).State(), SocketState::Connected);
        }

        QByteArray line;
        if (clientCertificate) {
            // The server saw the relay's certificate as alice's own (CertFP).
            alice.sendLine("WHOIS alice");
            const QString fingerprint = QString::fromLatin1(
                    m_certs.sha256Of(pelktest::TestCertificates::OtherHost, false).toHex());
            QVERIFY2(alice.waitForLine(QRegularExpression(QStringLiteral(" 276 alice alice :.*%1$").arg(fingerprint)),
                                       WaitMs),
                     qPrintable(alice.transcript()));
        }
        const QByteArray allBytes = everyAllowedByte();
        alice.sendLine("PRIVMSG #relay :" + allBytes);
        QVERIFY2(bob.waitForLine(fromNick("alice", QStringLiteral("PRIVMSG")), WaitMs, &line),
                 qPrintable(bob.transcript()));
        QCOMPARE(messageText(line, "#relay"), allBytes);

        const QByteArray action = "\x01" "ACTION gr\xc3\xbc\xc3\x9f" "t \xf0\x9f\x91\x8b \xe2\x80\x94 \xe2\x9c\x93\x01";
        bob.sendLine("PRIVMSG #relay :" + action);
        QVERIFY2(alice.waitForLine(fromNick("bob", QStringLiteral("PRIVMSG")), WaitMs, &line),
                 qPrintable(alice.transcript()));
        QCOMPARE(messageText(line, "#relay"), action);

        const QByteArray query = "\x01" "VERSION\x01";
        bob.sendLine("PRIVMSG alice :" + query);
        QVERIFY2(alice.waitForLine(fromNick("bob", QStringLiteral("PRIVMSG")), WaitMs, &line),
                 qPrintable(alice.transcript()));
        QCOMPARE(messageText(line, "alice"), query);

        bob.sendLine("QUIT :bye \xc3\xa9");
        QVERIFY2(alice.waitForLine(fromNick("bob", QStringLiteral("QUIT")), WaitMs),
                 qPrintable(alice.transcript()));
        // The server ends bob's connection; that end must reach bob.
        QVERIFY2(bob.waitForDisconnected(WaitMs), qPrintable(bob.transcript()));

        if (relayed) {
            QTRY_COMPARE_WITH_TIMEOUT(form->relay.Winsock2(bobSlot).State(), SocketState::Closed, WaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(form->relay.Winsock1(bobSlot).State(), SocketState::Closed, WaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(form->relay.connectedClients(), 1, WaitMs);
        }

        // alice is still served, both ways.
        alice.sendLine("PRIVMSG alice :still here \xe2\x9c\x93");
        QVERIFY2(alice.waitForLine(fromNick("alice", QStringLiteral("PRIVMSG")), WaitMs, &line),
                 qPrintable(alice.transcript()));
        QCOMPARE(messageText(line, "alice"), QByteArray("still here \xe2\x9c\x93"));
        alice.sendLine("PING :pelk-e2e");
        QVERIFY2(alice.waitForLine(QRegularExpression(QStringLiteral("^:\\S+ PONG \\S+ :pelk-e2e$")), WaitMs),
                 qPrintable(alice.transcript()));
        QVERIFY(alice.connection().isConnected());
    }

    // Hundreds of lines written at once cross the relay in chunks that do not
    // follow line boundaries; every line must arrive once, whole and in order.
    void burstArrivesWholeAndInOrder()
    {
        IrcServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        Form1 form;
        const quint16 port = startRelay(form, server);
        QVERIFY(port != 0);

        IrcClient alice;
        IrcClient bob;
        const QHostAddress relayHost(QHostAddress::LocalHost);
        QVERIFY(enter(alice, "alice", relayHost, port, {}));
        QVERIFY(enter(bob, "bob", relayHost, port, {&alice}));

        QByteArray burst;
        for (int n = 0; n < BurstLines; ++n)
            burst += "PRIVMSG #relay :" + burstLine(n) + "\r\n";
        alice.connection().send(burst);

        for (int n = 0; n < BurstLines; ++n) {
            QByteArray line;
            QVERIFY2(bob.waitForLine(fromNick("alice", QStringLiteral("PRIVMSG")), WaitMs, &line),
                     qPrintable(QStringLiteral("line %1 missing").arg(n)));
            QCOMPARE(messageText(line, "#relay"), burstLine(n));
        }
    }

    // Stop ends every relayed session at both ends and stops listening; the
    // next Start serves new clients again.
    void stopEndsEverySessionAndStartServesAgain()
    {
        IrcServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        Form1 form;
        const quint16 port = startRelay(form, server);
        QVERIFY(port != 0);

        // carol talks to the server directly and watches the relayed clients.
        IrcClient carol;
        QVERIFY(enter(carol, "carol", server.address(), server.port(), {}));

        const QHostAddress relayHost(QHostAddress::LocalHost);
        IrcClient alice;
        IrcClient bob;
        QVERIFY(enter(alice, "alice", relayHost, port, {&carol}));
        QVERIFY(enter(bob, "bob", relayHost, port, {&carol, &alice}));
        QTRY_COMPARE_WITH_TIMEOUT(form.relay.connectedClients(), 2, WaitMs);

        QTest::mouseClick(form.cmd_startstop, Qt::LeftButton);
        QVERIFY(!form.running);

        QVERIFY2(alice.waitForDisconnected(WaitMs), qPrintable(alice.transcript()));
        QVERIFY2(bob.waitForDisconnected(WaitMs), qPrintable(bob.transcript()));
        // The server sees both sessions end, so the upstream sides were closed too.
        QVERIFY2(carol.waitForLine(fromNick("alice", QStringLiteral("QUIT")), WaitMs),
                 qPrintable(carol.transcript()));
        QVERIFY2(carol.waitForLine(fromNick("bob", QStringLiteral("QUIT")), WaitMs),
                 qPrintable(carol.transcript()));
        QTRY_COMPARE_WITH_TIMEOUT(form.relay.connectedClients(), 0, WaitMs);

        IrcClient late;
        QVERIFY2(!late.connectTo(relayHost, port, WaitMs), "the listen port still accepts after Stop");

        const quint16 portAgain = startRelay(form, server);
        QVERIFY(portAgain != 0);
        IrcClient dave;
        QVERIFY(enter(dave, "dave", relayHost, portAgain, {&carol}));
        dave.sendLine("PRIVMSG #relay :back again");
        QByteArray line;
        QVERIFY2(carol.waitForLine(fromNick("dave", QStringLiteral("PRIVMSG")), WaitMs, &line),
                 qPrintable(carol.transcript()));
        QCOMPARE(messageText(line, "#relay"), QByteArray("back again"));
        QCOMPARE(form.relay.connectedClients(), 1);
    }

private:
    // Fills in the window for `server` (its TLS port as "+N" with `tls`),
    // presses Start and returns the port the relay listens on (0 on failure).
    static quint16 startRelay(Form1 &form, const IrcServer &server, bool tls = false)
    {
        pelktest::fillForm(form, server.host(),
                           tls ? QStringLiteral("+%1").arg(server.tlsPort()) : QString::number(server.port()));
        form.show();
        QTest::mouseClick(form.cmd_startstop, Qt::LeftButton);
        if (!form.running || form.relay.Winsock1(0).State() != SocketState::Listening) {
            qWarning("Start did not listen: %s", qPrintable(form.lbl_status->text()));
            return 0;
        }
        return quint16(form.relay.Winsock1(0).LocalPort());
    }

    // Connects, signs on and joins #relay; `others` see the JOIN.
    static bool enter(IrcClient &client, const QByteArray &nick, const QHostAddress &host, quint16 port,
                      const QList<IrcClient *> &others)
    {
        if (!client.connectTo(host, port, WaitMs)) {
            qWarning("%s could not connect to %s port %u", nick.constData(),
                     qPrintable(host.toString()), port);
            return false;
        }
        // NICK/USER go out at once, usually before the relay's upstream
        // connection is up, so they also exercise the held client data.
        if (!client.signOn(nick, WaitMs)) {
            qWarning("%s was not welcomed:\n%s", nick.constData(), qPrintable(client.transcript()));
            return false;
        }
        client.sendLine("JOIN #relay");
        if (!client.waitForLine(fromNick(nick, QStringLiteral("JOIN")), WaitMs)) {
            qWarning("%s did not see its own JOIN:\n%s", nick.constData(), qPrintable(client.transcript()));
            return false;
        }
        for (IrcClient *other : others) {
            if (!other->waitForLine(fromNick(nick, QStringLiteral("JOIN")), WaitMs)) {
                qWarning("%s did not see %s join:\n%s", other->nick().constData(), nick.constData(),
                         qPrintable(other->transcript()));
                return false;
            }
        }
        return true;
    }

    // The slot whose client side is connected from `clientPort`, 0 if none.
    static int slotOfClient(Form1 &form, quint16 clientPort)
    {
        const QString suffix = QStringLiteral(":%1").arg(clientPort);
        for (int i = 1; i <= form.relay.Winsock1.UBound(); ++i) {
            if (form.relay.Winsock1(i).State() == SocketState::Connected
                && form.relay.Winsock1(i).remoteAddressText().endsWith(suffix)) {
                return i;
            }
        }
        return 0;
    }

    pelktest::TestCertificates m_certs;
};

PELKTEST_MAIN(tst_E2e)
#include "tst_e2e.moc"
