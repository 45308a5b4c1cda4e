#include "commandline.h"
#include "endpointarray.h"
#include "formsupport.h"
#include "peer.h"
#include "porttext.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

using pelk::ConnectionsModel;
using pelk::Form1;
using pelk::PortText;
using pelktest::plainToolTip;

namespace {

constexpr int TimeoutMs = 5000;

int twipsToPixels(int twips, int dpi)
{
    return qRound(twips * dpi / 1440.0);
}

// A fresh window whose upstream is a loopback server, so that no test
// reaches past this machine, and whose listen port is chosen by the system.
struct Fixture
{
    // Drops what it reads; ends its half when the client's FIN arrives.
    pelktest::Server upstream;
    Form1 form;

    Fixture()
    {
        if (!upstream.isListening())
            qFatal("cannot listen on loopback");
        upstream.echo = false;
        upstream.keepReceived = false;
        pelktest::fillForm(form, QStringLiteral("127.0.0.1"), QString::number(upstream.port()));
    }
    quint16 port() const { return quint16(form.relay.Winsock1(0).LocalPort()); }
    int upstreamAccepted() const { return int(upstream.connections.size()); }
    QString status() const { return form.lbl_status->text(); }
    QString button() const { return form.cmd_startstop->text(); }
};

// "connected", "refused" or what else happened to a connect within the time.
QString connectTo(const QHostAddress &address, quint16 port)
{
    const auto socket = pelktest::Connection::connectTo(address, port);
    if (!QTest::qWaitFor([&] { return socket->isConnected() || !socket->isOpen(); }, TimeoutMs))
        return QStringLiteral("no answer");
    if (socket->isConnected())
        return QStringLiteral("connected");
    return socket->error() == ECONNREFUSED ? QStringLiteral("refused") : QString::fromLocal8Bit(strerror(socket->error()));
}

QString statusOf(const QString &phrase)
{
    return QStringLiteral("Status: ") + phrase;
}

} // namespace

class tst_Form1 : public QObject
{
    Q_OBJECT
private slots:
    void controls_data();
    void controls();
    void focusOrder_data();
    void focusOrder();
    void enterAndEscapeDoNotPress_data();
    void enterAndEscapeDoNotPress();
    void textFits_data();
    void textFits();
    void startStopStart();
    void badListenPort_data();
    void badListenPort();
    void portInUse();
    void listenTexts_data();
    void listenTexts();
    void startPressedDuringStopPump();
    void notices();
    void connectionCount_data();
    void connectionCount();
    void settingsReadAtUse();
    void accessibleNames_data();
    void accessibleNames();
    void commandLine_data();
    void commandLine();
    void connectionsView_data();
    void connectionsView();
};

void tst_Form1::controls_data()
{
    QTest::addColumn<QString>("designText");
    QTest::addColumn<QRect>("twips"); // left, top, width, height

    QTest::newRow("Label2") << "Listen Port" << QRect(120, 120, 975, 255);
    QTest::newRow("listport") << "6667" << QRect(120, 360, 735, 285);
    QTest::newRow("Label1") << "Server" << QRect(120, 720, 1095, 255);
    QTest::newRow("Label3") << "Port" << QRect(4320, 720, 855, 255);
    QTest::newRow("bounce_server") << "irc.libera.chat" << QRect(120, 960, 4095, 285);
    QTest::newRow("bounce_port") << "6667" << QRect(4320, 960, 735, 285);
    QTest::newRow("cmd_startstop") << "Start" << QRect(3600, 1440, 1335, 375);
    QTest::newRow("lbl_status") << "Status:" << QRect(960, 1440, 2055, 255);
    QTest::newRow("lbl_con") << "Total Connections:" << QRect(120, 1680, 3015, 255);
}

void tst_Form1::controls()
{
    QFETCH(QString, designText);
    QFETCH(QRect, twips);

    Form1 form;
    const int dpiX = form.logicalDpiX();
    const int dpiY = form.logicalDpiY();
    QCOMPARE(form.windowTitle(), QStringLiteral("Pelk IRC-Bouncer v.0.21"));
    const QSize client(twipsToPixels(5232, dpiX), twipsToPixels(2016, dpiY));
    QCOMPARE(form.minimumSize(), client);
    QCOMPARE(form.maximumSize(), client);

    const auto *control = form.findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->geometry(),
             QRect(twipsToPixels(twips.x(), dpiX), twipsToPixels(twips.y(), dpiY),
                   twipsToPixels(twips.width(), dpiX), twipsToPixels(twips.height(), dpiY)));
    QCOMPARE(control->property("text").toString(), designText); // a label's, an edit's or a button's
}

void tst_Form1::focusOrder_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("order"); // from bounce_server, which has the focus first
    QTest::newRow("Tab") << int(Qt::Key_Tab) << QStringList{"listport", "bounce_port", "cmd_startstop", "bounce_server"};
    QTest::newRow("Backtab") << int(Qt::Key_Backtab)
                             << QStringList{"cmd_startstop", "bounce_port", "listport", "bounce_server"};
}

void tst_Form1::focusOrder()
{
    QFETCH(int, key);
    QFETCH(QStringList, order);
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.bounce_server);
    for (const QString &expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(QApplication::focusWidget()->objectName(), expected);
    }
}

void tst_Form1::enterAndEscapeDoNotPress_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("key");
    for (const char *field : {"bounce_server", "listport", "bounce_port"}) {
        QTest::addRow("%s Return", field) << field << int(Qt::Key_Return);
        QTest::addRow("%s Enter", field) << field << int(Qt::Key_Enter);
        QTest::addRow("%s Escape", field) << field << int(Qt::Key_Escape);
    }
}

void tst_Form1::enterAndEscapeDoNotPress()
{
    QFETCH(QString, field);
    QFETCH(int, key);

    Fixture f;
    QSignalSpy clicked(f.form.cmd_startstop, &QPushButton::clicked);
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    auto *edit = f.form.findChild<QLineEdit *>(field);
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key(key));
    QCOMPARE(clicked.count(), 0);
    QCOMPARE(f.form.running, false);
    QCOMPARE(f.form.relay.Winsock1(0).State(), pelk::SocketState::Closed);
}

void tst_Form1::textFits_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("text");
    const auto row = [](const char *control, const QString &text) {
        QTest::addRow("%s %s", control, qPrintable(text)) << QString::fromLatin1(control) << text;
    };
    row("Label1", "Server");
    row("Label2", "Listen Port");
    row("Label3", "Port");
    row("listport", "6667");
    row("bounce_server", "irc.libera.chat");
    row("bounce_port", "6667");
    row("cmd_startstop", "Start");
    row("cmd_startstop", "Stop");
    row("lbl_con", "Total Connections:");
    row("lbl_con", "Total Connections: 32767");
    for (const QString &text : Form1::statusTexts())
        row("lbl_status", text);
}

// Measured the way each control lays its text out, with the font the window
// chose; a text that does not fit is clipped on screen.
void tst_Form1::textFits()
{
    QFETCH(QString, control);
    QFETCH(QString, text);

    Form1 form;
    QVERIFY(form.font().pointSizeF() >= 6.0);
    QWidget *widget = form.findChild<QWidget *>(control);
    QVERIFY(widget->fontMetrics().height() <= widget->height());
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        // Painted with the cursor at the end, a text that does not fit is
        // scrolled, which moves where the cursor at its start is drawn.
        const auto paintWithCursorAt = [edit](bool end) {
            end ? edit->end(false) : edit->home(false);
            edit->grab();
            edit->home(false);
            return edit->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        };
        edit->setText(text);
        QCOMPARE(paintWithCursorAt(true), paintWithCursorAt(false));
    } else {
        widget->setProperty("text", text); // a label or a button
        QVERIFY2(widget->sizeHint().width() <= widget->width(),
                 qPrintable(QStringLiteral("needs %1 px, has %2")
                                    .arg(widget->sizeHint().width())
                                    .arg(widget->width())));
    }
}

void tst_Form1::startStopStart()
{
    Fixture f;
    for (int round = 0; round < 2; ++round) {
        f.form.cmd_startstop->click();
        QCOMPARE(f.form.running, true);
        QCOMPARE(f.status(), statusOf("Accepting Connections"));
        QCOMPARE(f.button(), QStringLiteral("Stop"));
        QCOMPARE(f.form.lbl_con->text(), QStringLiteral("Total Connections: 0"));
        const quint16 port = f.port();
        QVERIFY(port > 0);
        QVERIFY(plainToolTip(f.form.lbl_status).contains(QString::number(port)));
        QCOMPARE(connectTo(QHostAddress::LocalHost, port), QStringLiteral("connected"));
        QCOMPARE(connectTo(QHostAddress::LocalHostIPv6, port), QStringLiteral("connected"));

        f.form.cmd_startstop->click();
        QCOMPARE(f.form.running, false);
        QCOMPARE(f.status(), statusOf("Stopped"));
        QCOMPARE(f.form.lbl_status->toolTip(), QString());
        QCOMPARE(f.button(), QStringLiteral("Start"));
        QCOMPARE(connectTo(QHostAddress::LocalHost, port), QStringLiteral("refused"));
    }
}

void tst_Form1::badListenPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("problem");
    QTest::addColumn<QString>("toolTipHas"); // how the typed text is quoted back

    const int empty = PortText::Empty, notNumber = PortText::NotNumber,
              outOfRange = PortText::OutOfRange;
    QTest::newRow("empty") << "" << empty << "empty";
    QTest::newRow("blanks") << "   " << empty << "empty";
    QTest::newRow("letters") << "abc" << notNumber << "\"abc\"";
    QTest::newRow("negative") << "-1" << notNumber << "\"-1\"";
    QTest::newRow("minus zero") << "-0" << notNumber << "\"-0\"";
    QTest::newRow("blank after plus sign") << "+ 80" << notNumber << "\"+ 80\"";
    QTest::newRow("fraction") << "80.5" << notNumber << "\"80.5\"";
    QTest::newRow("exponent") << "1e3" << notNumber << "\"1e3\"";
    QTest::newRow("hex") << "0x50" << notNumber << "\"0x50\"";
    QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0668\u0660") << notNumber
                                         << QString::fromUtf8("\"\u0668\u0660\"");
    QTest::newRow("arabic-indic zero") << QString::fromUtf8("\u0660") << notNumber << QString::fromUtf8("\"\u0660\"");
    QTest::newRow("fullwidth digits") << QString::fromUtf8("\uff18\uff10") << notNumber
                                      << QString::fromUtf8("\"\uff18\uff10\"");
    QTest::newRow("NUL") << QStringLiteral("80") + QChar(u'\0') << notNumber << "\"80[U+0000]\"";
    QTest::newRow("NUL alone") << QString(QChar(u'\0')) << notNumber << "\"[U+0000]\"";
    QTest::newRow("zero, then NUL") << QStringLiteral("0") + QChar(u'\0') << notNumber << "\"0[U+0000]\"";
    QTest::newRow("inner blank") << "8 0" << notNumber << "\"8 0\"";
    QTest::newRow("10000 letters") << QString(10000, u'x') << notNumber << "(10000 characters)";
    QTest::newRow("looks like a tag") << "<b>80</b>" << notNumber << "\"<b>80</b>\"";
    QTest::newRow("65536") << "65536" << outOfRange << "\"65536\"";
    QTest::newRow("20 digits") << "99999999999999999999" << outOfRange << "99999999999999999999";
    QTest::newRow("10000 digits") << QString(10000, u'9') << outOfRange << "(10000 characters)";
}

void tst_Form1::badListenPort()
{
    QFETCH(QString, typed);
    QFETCH(int, problem);
    QFETCH(QString, toolTipHas);

    Fixture f;
    f.form.listport->setText(typed);
    QElapsedTimer elapsed;
    elapsed.start();
    f.form.cmd_startstop->click();
    QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed()))); // however long the text
    QCOMPARE(f.status(), statusOf(pelk::portProblemText(PortText::Problem(problem))));
    const QString tip = plainToolTip(f.form.lbl_status);
    QVERIFY2(tip.contains(toolTipHas), qPrintable(tip));
    QVERIFY2(tip.size() < 400, qPrintable(QString::number(tip.size())));
    QCOMPARE(f.form.running, false);
    QCOMPARE(f.button(), QStringLiteral("Start"));
    QCOMPARE(f.form.relay.Winsock1(0).State(), pelk::SocketState::Closed);

    // The next press tries again; blanks around the digits are accepted.
    f.form.listport->setText(QStringLiteral(" \t0 "));
    f.form.cmd_startstop->click();
    QCOMPARE(f.status(), statusOf("Accepting Connections"));
    QCOMPARE(f.form.running, true);
    QCOMPARE(connectTo(QHostAddress::LocalHost, f.port()), QStringLiteral("connected"));
}

void tst_Form1::portInUse()
{
    Fixture f;
    // The window listens on every address, so the blocker must as well.
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress::Any));
    const quint16 port = blocker.serverPort();
    f.form.listport->setText(QString::number(port));

    f.form.cmd_startstop->click();
    QCOMPARE(f.status(), statusOf(pelk::socketErrorText(EADDRINUSE)));
    QVERIFY(plainToolTip(f.form.lbl_status).contains(QString::number(port)));
    QCOMPARE(f.form.running, false);
    QCOMPARE(f.button(), QStringLiteral("Start"));

    blocker.close();
    f.form.cmd_startstop->click();
    QCOMPARE(f.status(), statusOf("Accepting Connections"));
    QCOMPARE(f.port(), port);
}

// Where the relay listens, as the listen text says, checked on the sockets
// it opens: by connecting over each loopback family, and by the addresses
// they are bound to.
void tst_Form1::listenTexts_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("outcome");    // the status phrase
    QTest::addColumn<QString>("reachable");  // loopback families that connect: "v4", "v6", "v4 v6"
    QTest::addColumn<QString>("toolTipHas");

    const QString accepting = QStringLiteral("Accepting Connections");
    const QString badAddress = pelk::listenAddressProblemText();
    QTest::newRow("port alone: this computer") << "0" << accepting << "v4 v6" << "Only this computer may connect";
    QTest::newRow("localhost") << "localhost:0" << accepting << "v4 v6" << "Only this computer may connect";
    QTest::newRow("every address") << " *:0 " << accepting << "v4 v6"
                                   << "This computer and its networks may connect";
    QTest::newRow("IPv4 loopback") << "127.0.0.1:0" << accepting << "v4" << "Only this computer may connect";
    QTest::newRow("IPv6 loopback") << "[::1]:0" << accepting << "v6" << "Only this computer may connect";
    QTest::newRow("not an address") << "irc.example:0" << badAddress << "" << "not an IPv4 or IPv6 address";
    QTest::newRow("IPv6 without brackets") << "::1:0" << badAddress << "" << "needs brackets";
    QTest::newRow("no address") << ":0" << badAddress << "" << "no address";
    QTest::newRow("bracket not closed") << "[::1:0" << badAddress << "" << "not an IPv4 or IPv6 address";
    QTest::newRow("bad port after address") << "127.0.0.1:x" << pelk::portProblemText(PortText::NotNumber)
                                            << "" << "\"127.0.0.1:x\"";
    QTest::newRow("address of another computer") << "203.0.113.77:0" << pelk::socketErrorText(EADDRNOTAVAIL)
                                                  << "" << "Cannot listen on 203.0.113.77 port 0";
}

void tst_Form1::listenTexts()
{
    QFETCH(QString, typed);
    QFETCH(QString, outcome);
    QFETCH(QString, reachable);
    QFETCH(QString, toolTipHas);

    Fixture f;
    f.form.listport->setText(typed);
    f.form.cmd_startstop->click();
    QCOMPARE(f.status(), statusOf(outcome));
    const QString tip = plainToolTip(f.form.lbl_status);
    QVERIFY2(tip.contains(toolTipHas), qPrintable(tip));
    QCOMPARE(f.form.running, !reachable.isEmpty());
    if (reachable.isEmpty()) {
        QCOMPARE(f.form.relay.Winsock1(0).State(), pelk::SocketState::Closed);
        return;
    }
    QVERIFY(tip.contains(QStringLiteral("port %1").arg(f.port())));
    for (const auto &[family, address] : {std::pair{QStringLiteral("v4"), QHostAddress(QHostAddress::LocalHost)},
                                          std::pair{QStringLiteral("v6"), QHostAddress(QHostAddress::LocalHostIPv6)}}) {
        const bool listening = reachable.contains(family);
        QCOMPARE(connectTo(address, f.port()), listening ? QStringLiteral("connected") : QStringLiteral("refused"));
    }
    const bool everywhere = typed.contains(u'*');
    for (const QHostAddress &bound : f.form.relay.Winsock1(0).listeningAddresses())
        QCOMPARE(bound.isLoopback(), !everywhere);
}

// A press handled by Stop's event pump starts the relay again from inside
// Stop; what Stop writes afterwards must not hide that it is running.
void tst_Form1::startPressedDuringStopPump()
{
    Fixture f;
    f.form.cmd_startstop->click();
    QMetaObject::invokeMethod(f.form.cmd_startstop, &QPushButton::click, Qt::QueuedConnection);
    f.form.cmd_startstop->click();

    QCOMPARE(f.form.running, true);
    QCOMPARE(f.status(), statusOf("Accepting Connections"));
    QCOMPARE(f.button(), QStringLiteral("Stop"));
    QCOMPARE(connectTo(QHostAddress::LocalHost, f.port()), QStringLiteral("connected"));
}

void tst_Form1::notices()
{
    Fixture f;
    f.form.cmd_startstop->click();
    emit f.form.relay.notice(QStringLiteral("Host not found"), QStringLiteral("no such host: x"));
    QCOMPARE(f.status(), statusOf("Host not found"));
    QCOMPARE(plainToolTip(f.form.lbl_status), QStringLiteral("no such host: x"));

    // Longer than any known phrase: cut with an ellipsis, whole in the tooltip.
    const QString longPhrase(200, u'x');
    emit f.form.relay.notice(longPhrase, QStringLiteral("d"));
    QVERIFY(f.status().endsWith(QChar(0x2026)));
    QVERIFY(f.form.lbl_status->sizeHint().width() <= f.form.lbl_status->width());
    QVERIFY(plainToolTip(f.form.lbl_status).contains(longPhrase));

    emit f.form.relay.notice(QString(), QString());
    QCOMPARE(f.status(), statusOf("Accepting Connections"));
    QVERIFY(plainToolTip(f.form.lbl_status).contains(QString::number(f.port())));

    f.form.cmd_startstop->click();
    emit f.form.relay.notice(QStringLiteral("Host not found"), QStringLiteral("late"));
    QCOMPARE(f.status(), statusOf("Stopped"));
    QCOMPARE(f.form.lbl_status->toolTip(), QString());
}

// The count follows the clients; a burst of them, shown at most once a
// frame, ends on the relay's own count.
void tst_Form1::connectionCount_data()
{
    QTest::addColumn<bool>("byStop");
    QTest::addColumn<int>("count");
    QTest::newRow("clients leave") << false << 2;
    QTest::newRow("stop") << true << 2;
    QTest::newRow("a burst, then stop") << true << 40;
}

void tst_Form1::connectionCount()
{
    QFETCH(bool, byStop);
    QFETCH(int, count);

    Fixture f;
    f.form.cmd_startstop->click();
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, f.port());
    }
    QTRY_COMPARE_WITH_TIMEOUT(f.form.relay.connectedClients(), count, TimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(f.form.lbl_con->text(), QStringLiteral("Total Connections: %1").arg(count),
                              TimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(f.upstreamAccepted(), count, TimeoutMs);

    if (byStop) {
        f.form.cmd_startstop->click();
    } else {
        clients[0]->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(f.form.lbl_con->text(), QStringLiteral("Total Connections: 1"),
                                  TimeoutMs);
        clients[1]->disconnectFromHost();
    }
    QTRY_COMPARE_WITH_TIMEOUT(f.form.lbl_con->text(), QStringLiteral("Total Connections: 0"),
                              TimeoutMs);
}

// Host and port are read for each client as it is accepted; the listen port
// only at Start.
void tst_Form1::settingsReadAtUse()
{
    Fixture f;
    QTcpServer second;
    QVERIFY(second.listen(QHostAddress::LocalHostIPv6));
    QSignalSpy secondAccepted(&second, &QTcpServer::newConnection);

    f.form.cmd_startstop->click();
    const quint16 port = f.port();
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(f.upstreamAccepted(), 1, TimeoutMs);

    f.form.bounce_server->setText(QStringLiteral("::1"));
    f.form.bounce_port->setText(QString::number(second.serverPort()));
    f.form.listport->setText(QStringLiteral("not a port"));
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(secondAccepted.wait(TimeoutMs));
    QCOMPARE(f.upstreamAccepted(), 1);
    QCOMPARE(f.status(), statusOf("Accepting Connections"));
}

void tst_Form1::accessibleNames_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("nameAfterStart");
    QTest::addColumn<QString>("descriptionAfterStart"); // a part of it

    const int edit = QAccessible::EditableText, label = QAccessible::StaticText,
              button = QAccessible::Button;
    QTest::newRow("bounce_server") << edit << "Server" << "Server" << "IRC server";
    QTest::newRow("listport") << edit << "Listen Port" << "Listen Port" << "0 picks a free one";
    QTest::newRow("bounce_port") << edit << "Server Port" << "Server Port" << "Port of the IRC server";
    QTest::newRow("cmd_startstop") << button << "Start" << "Stop" << "";
    QTest::newRow("lbl_status") << label << "Status:" << "Status: Accepting Connections"
                                << "Listening on ::1 and 127.0.0.1, port ";
    QTest::newRow("lbl_con") << label << "Total Connections:" << "Total Connections: 0" << "";
}

// What a screen reader says for each control. The status lines are named by
// their text, the condition on which Qt announces each change of it (the
// offscreen platform has no accessibility bus to hear it on).
void tst_Form1::accessibleNames()
{
    QFETCH(int, role);
    QFETCH(QString, name);
    QFETCH(QString, nameAfterStart);
    QFETCH(QString, descriptionAfterStart);

    Fixture f;
    QWidget *control = f.form.findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    QVERIFY(accessible);
    QCOMPARE(int(accessible->role()), role);
    QCOMPARE(accessible->text(QAccessible::Name), name);

    f.form.cmd_startstop->click();
    QCOMPARE(accessible->text(QAccessible::Name), nameAfterStart);
    const QString description = accessible->text(QAccessible::Description);
    QVERIFY2(description.contains(descriptionAfterStart), qPrintable(description));
    QVERIFY2(!description.contains(u'<'), qPrintable(description)); // no markup read out
}

void tst_Form1::commandLine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("fields"); // server, listen port, port

    QTest::newRow("none") << QStringList{} << QStringList{"irc.libera.chat", "6667", "6667"};
    QTest::newRow("fields") << QStringList{"--server", "::1", "--port=7000", "--listen-port", " 9 "}
                            << QStringList{"::1", " 9 ", "7000"};
    for (const char *port : {"0", "80x", "", "65536"})
        QTest::addRow("start, listen port \"%s\"", port)
                << QStringList{"--server", "127.0.0.1", "--start", "--listen-port", port}
                << QStringList{"127.0.0.1", port, "6667"};
}

// Options fill the fields as typed text; --start presses Start from the
// event loop, and Start says about the text what it says when it is typed.
void tst_Form1::commandLine()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, fields);

    pelk::CommandLine commandLine;
    QVERIFY2(commandLine.parse(QStringList{"pelk-bouncer"} + options),
             qPrintable(commandLine.errorText()));
    Form1 form, typed;
    commandLine.applyTo(form);
    const char *names[] = {"bounce_server", "listport", "bounce_port"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(form.findChild<QLineEdit *>(names[i])->text(), fields[i]);
        auto *edit = typed.findChild<QLineEdit *>(names[i]);
        edit->clear();
        QTest::keyClicks(edit, fields[i]);
    }
    QCOMPARE(form.running, false);
    if (options.contains("--start"))
        typed.cmd_startstop->click();

    QCoreApplication::processEvents();
    if (options.contains("--start"))
        QCOMPARE(form.focusWidget(), form.cmd_startstop); // as when pressed by hand
    QCOMPARE(form.lbl_status->text(), typed.lbl_status->text());
    QCOMPARE(form.running, typed.running);
    if (fields[1] == "0")
        QCOMPARE(form.relay.Winsock1(0).State(), pelk::SocketState::Listening);
    else
        QCOMPARE(form.lbl_status->toolTip(), typed.lbl_status->toolTip());
}

void tst_Form1::connectionsView_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<bool>("byDoubleClick"); // else by Ctrl+L
    QTest::addColumn<QByteArray>("sent");    // by the middle client, which then finishes if `finish`
    QTest::addColumn<bool>("finish");
    QTest::addColumn<QString>("state");      // the middle row's
    QTest::addColumn<QString>("tls");

    QTest::newRow("relaying") << "0" << false << QByteArray("NICK a\r\n") << false << "relaying" << "none / none";
    QTest::newRow("half-closed") << "0" << true << QByteArray("NICK b\r\n") << true << "half-closed" << "none / none";
    // Plain clients of a TLS listen port never finish the handshake.
    QTest::newRow("TLS handshake") << "+0" << false << QByteArray() << false << "TLS handshake" << "TLS / none";
}

// Three clients show as three rows, the oldest first; Delete on the middle
// one resets its pair (client and server see RST), and the others go on.
void tst_Form1::connectionsView()
{
    QFETCH(QString, listen);
    QFETCH(bool, byDoubleClick);
    QFETCH(QByteArray, sent);
    QFETCH(bool, finish);
    QFETCH(QString, state);
    QFETCH(QString, tls);

    Fixture f;
    f.upstream.closeOnFin = false; // a half-closed pair stays
    f.form.listport->setText(listen);
    f.form.cmd_startstop->click();
    QVERIFY(f.form.running);
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    if (byDoubleClick)
        QTest::mouseDClick(f.form.lbl_con, Qt::LeftButton);
    else
        QTest::keyClick(&f.form, Qt::Key_L, Qt::ControlModifier);
    pelk::ConnectionsView *view = f.form.connectionsView();
    QVERIFY(view);
    QVERIFY(QTest::qWaitForWindowActive(view));
    QCOMPARE(QAccessible::queryAccessibleInterface(view->table)->text(QAccessible::Name), QStringLiteral("Connections"));
    QCOMPARE(QAccessible::queryAccessibleInterface(view->closeConnection)->text(QAccessible::Name),
             QStringLiteral("Close Connection"));
    const ConnectionsModel &model = view->model();
    const auto cell = [&model](int row, int column) { return model.data(model.index(row, column)).toString(); };
    const auto clientText = [](const pelktest::Connection &c) { return QStringLiteral("127.0.0.1:%1").arg(c.localPort()); };

    std::vector<std::unique_ptr<pelktest::Connection>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(pelktest::Connection::connectTo(QHostAddress::LocalHost, f.port()));
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), i + 1, TimeoutMs);
        QCOMPARE(cell(i, ConnectionsModel::ClientColumn), clientText(*clients.back()));
    }
    QCOMPARE(cell(1, ConnectionsModel::ServerColumn), QStringLiteral("127.0.0.1:%1").arg(f.upstream.port()));
    pelktest::Connection &middle = *clients[1];
    if (!sent.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(cell(1, ConnectionsModel::StateColumn), QStringLiteral("relaying"), TimeoutMs);
        middle.send(sent);
        QTRY_COMPARE_WITH_TIMEOUT(cell(1, ConnectionsModel::FromClientColumn),
                                  QStringLiteral("%1 bytes").arg(sent.size()), TimeoutMs);
    }
    if (finish)
        middle.shutdownSend();
    QTRY_COMPARE_WITH_TIMEOUT(cell(1, ConnectionsModel::StateColumn), state, TimeoutMs);
    QCOMPARE(cell(1, ConnectionsModel::TlsColumn), tls);

    // By keyboard alone: the table has the focus, Down twice is the middle row.
    QCOMPARE(QApplication::focusWidget(), view->table);
    QTest::keyClick(view->table, Qt::Key_Down);
    QTest::keyClick(view->table, Qt::Key_Down);
    QCOMPARE(view->table->currentIndex().row(), 1);
    QTest::keyClick(view->table, Qt::Key_Delete);
    QTRY_COMPARE_WITH_TIMEOUT(middle.error(), ECONNRESET, TimeoutMs);
    // A server that has finished reads no more, and so sees no RST.
    const bool serverUp = f.upstreamAccepted() == 3;
    if (serverUp && !finish)
        QTRY_COMPARE_WITH_TIMEOUT(f.upstream.connections[1]->error(), ECONNRESET, TimeoutMs);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(cell(0, ConnectionsModel::ClientColumn), clientText(*clients[0]));
    QCOMPARE(cell(1, ConnectionsModel::ClientColumn), clientText(*clients[2]));
    QCOMPARE(view->table->currentIndex().row(), 1); // Delete again ends the next
    for (size_t i : {size_t(0), size_t(2)}) {
        QVERIFY(!clients[i]->ended());
        QVERIFY(!serverUp || !f.upstream.connections[i]->ended());
    }

    // A client that leaves takes its row with it.
    clients[0]->reset();
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, TimeoutMs);
    QCOMPARE(cell(0, ConnectionsModel::ClientColumn), clientText(*clients[2]));
    QCOMPARE(f.form.relay.connectedClients(), 1);
    QVERIFY(!clients[2]->ended());
}

PELKTEST_MAIN(tst_Form1)
#include "tst_form1.moc"
