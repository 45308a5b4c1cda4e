#include "form1.h"
#include "fontfit.h"
#include "fingerprint.h"

#include "endpointarray.h"
#include "porttext.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTextDocument>

namespace pelk {

namespace {

QString statusText(const QString &phrase)
{
    return QStringLiteral("Status: ") + phrase;
}

QString acceptingPhrase() { return QStringLiteral("Accepting Connections"); }
QString stoppedPhrase() { return QStringLiteral("Stopped"); }

QString connectionsText(int count)
{
    return QStringLiteral("Total Connections: ") + QString::number(count);
}

// Where the relay listens, and who can use it from there (served).
QString listeningToolTip(const QList<QHostAddress> &addresses, int port, const QString &served)
{
    QStringList places;
    for (const QHostAddress &address : addresses) {
        if (address == QHostAddress::AnyIPv6)
            places << QStringLiteral("every IPv6 and IPv4 address");
        else if (address == QHostAddress::AnyIPv4)
            places << QStringLiteral("every IPv4 address");
        else
            places << address.toString();
    }
    return QStringLiteral("Listening on %1, port %2.\n%3").arg(places.join(QStringLiteral(" and "))).arg(port).arg(served);
}

int twipsToPixels(int twips, int dpi)
{
    return qRound(qreal(twips) * dpi / Form1::TwipsPerInch);
}

QString portProblemToolTip(const QString &typed, PortText::Problem problem)
{
    QString reason;
    switch (problem) {
    case PortText::None:
        break;
    case PortText::Empty:
        reason = QStringLiteral("The listen port is empty.");
        break;
    case PortText::NotNumber:
        reason = QStringLiteral("The listen port %1 is not a number: only the digits 0 to 9 "
                                "are allowed.").arg(quotedInput(typed));
        break;
    case PortText::OutOfRange:
        reason = QStringLiteral("The listen port %1 is out of range.").arg(quotedInput(typed));
        break;
    }
    return reason + QStringLiteral(" Type a port from 1 to 65535, or 0 to let the system "
                                   "choose a free one.");
}

QString listenAddressToolTip(const QString &typed, ListenText::AddressProblem problem)
{
    QString reason;
    switch (problem) {
    case ListenText::AddressOk:
        break;
    case ListenText::NotAnAddress:
        reason = QStringLiteral("The listen address in %1 is not an IPv4 or IPv6 address.").arg(quotedInput(typed));
        break;
    case ListenText::IPv6WithoutBrackets:
        reason = QStringLiteral("In %1 an IPv6 address needs brackets around it, as in [::1]:6667.")
                         .arg(quotedInput(typed));
        break;
    case ListenText::NoAddress:
        reason = QStringLiteral("%1 has no address before the colon.").arg(quotedInput(typed));
        break;
    }
    return reason + QStringLiteral(" Type PORT to listen on this computer only, *:PORT to listen on "
                                   "every address, or ADDRESS:PORT ([ADDRESS]:PORT for IPv6) for one.");
}

} // namespace

Form1::Form1(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Pelk IRC-Bouncer v.0.21"));
    createControls();
    placeControls();
    chooseFittingFont(*this, controlTexts());

    // Read when each client is accepted, so edits apply to the next client.
    relay.upstreamHost = [this] { return bounce_server->text(); };
    relay.upstreamPort = [this] { return bounce_port->text(); };
    relay.watchForResume();

    connect(cmd_startstop, &QPushButton::clicked, this, &Form1::cmd_startstop_Click);
    connect(&relay, &Relay::connectedClientsChanged, this, &Form1::showConnectedClients);
    connect(&relay, &Relay::notice, this, &Form1::onRelayNotice);
    connect(&relay, &Relay::refused, this, &Form1::showRefusals);

    bounce_server->setFocus();
}

Form1::~Form1()
{
    // The relay is destroyed before the controls; whatever it reports while
    // going away must not reach them.
    disconnect(&relay, nullptr, this, nullptr);
}

void Form1::createControls()
{
    const auto makeLabel = [this](const char *name, const QString &text) {
        auto *label = new QLabel(text, this);
        label->setObjectName(QLatin1String(name));
        label->setTextFormat(Qt::PlainText);
        return label;
    };
    const auto makeEdit = [this](const char *name, const QString &text) {
        auto *edit = new QLineEdit(text, this);
        edit->setObjectName(QLatin1String(name));
        return edit;
    };

    // Created in tab order; the labels take no focus.
    bounce_server = makeEdit("bounce_server", QStringLiteral("irc.libera.chat"));
    Label1 = makeLabel("Label1", QStringLiteral("Server"));
    listport = makeEdit("listport", QStringLiteral("6667"));
    Label2 = makeLabel("Label2", QStringLiteral("Listen Port"));
    Label3 = makeLabel("Label3", QStringLiteral("Port"));
    bounce_port = makeEdit("bounce_port", QStringLiteral("6667"));
    cmd_startstop = new QPushButton(QStringLiteral("Start"), this);
    cmd_startstop->setObjectName(QStringLiteral("cmd_startstop"));
    // Enter and Escape in the fields must not press it.
    cmd_startstop->setAutoDefault(false);
    cmd_startstop->setDefault(false);
    lbl_con = makeLabel("lbl_con", QStringLiteral("Total Connections:"));
    lbl_status = makeLabel("lbl_status", QStringLiteral("Status:"));

    // A screen reader names each field as the label beside it, and says what
    // it takes. The two status lines are named by their text, so that Qt
    // announces every change of it.
    const auto describe = [](QLineEdit *edit, const QString &name, const QString &description) {
        edit->setAccessibleName(name);
        edit->setAccessibleDescription(description);
        edit->setToolTip(description);
    };
    describe(bounce_server, Label1->text(),
             QStringLiteral("Name or address of the IRC server that each client is relayed to"));
    describe(listport, Label2->text(),
             QStringLiteral("Local port that IRC clients connect to, on this computer only; "
                            "*:PORT listens on every address, ADDRESS:PORT on one; 0 picks a free one"));
    describe(bounce_port, QStringLiteral("Server Port"),
             QStringLiteral("Port of the IRC server that each client is relayed to"));

    setTabOrder(bounce_server, listport);
    setTabOrder(listport, bounce_port);
    setTabOrder(bounce_port, cmd_startstop);
}

void Form1::placeControls()
{
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    const auto place = [dpiX, dpiY](QWidget *control, int left, int top, int width, int height) {
        control->setGeometry(twipsToPixels(left, dpiX), twipsToPixels(top, dpiY),
                             twipsToPixels(width, dpiX), twipsToPixels(height, dpiY));
    };
    //              left   top  width height (twips)
    place(Label2,          120,  120,  975, 255);
    place(listport,        120,  360,  735, 285);
    place(Label1,          120,  720, 1095, 255);
    place(Label3,         4320,  720,  855, 255);
    place(bounce_server,   120,  960, 4095, 285);
    place(bounce_port,    4320,  960,  735, 285);
    place(cmd_startstop,  3600, 1440, 1335, 375);
    place(lbl_status,      960, 1440, 2055, 255);
    place(lbl_con,         120, 1680, 3015, 255);
    setFixedSize(twipsToPixels(5232, dpiX), twipsToPixels(2016, dpiY));
}

// Every text each control can show, for the font fitting.
QList<ControlTexts> Form1::controlTexts() const
{
    return {
        {Label1, {Label1->text()}},
        {Label2, {Label2->text()}},
        {Label3, {Label3->text()}},
        {listport, {listport->text()}},
        {bounce_server, {bounce_server->text()}},
        {bounce_port, {bounce_port->text()}},
        {cmd_startstop, {QStringLiteral("Start"), QStringLiteral("Stop")}},
        {lbl_status, statusTexts()},
        {lbl_con, {QStringLiteral("Total Connections:"), connectionsText(EndpointArray::MaxIndex)}},
    };
}

QStringList Form1::statusTexts()
{
    QStringList texts{QStringLiteral("Status:"), statusText(acceptingPhrase()), statusText(stoppedPhrase())};
    for (const auto problem : {PortText::Empty, PortText::NotNumber, PortText::OutOfRange})
        texts << statusText(portProblemText(problem));
    texts << statusText(listenAddressProblemText());
    // The relay's notices include every socket error, so also whatever a
    // failed Listen() can report.
    for (const QString &phrase : Relay::noticePhrases())
        texts << statusText(phrase);
    return texts;
}

void Form1::applySettings(const RelaySettings &settings)
{
    const struct
    {
        const std::optional<QString> &text;
        QLineEdit *field;
    } fields[] = {
        {settings.serverHost, bounce_server},
        {settings.serverPort, bounce_port},
        {settings.listen, listport},
    };
    for (const auto &[text, field] : fields) {
        if (text)
            field->setText(*text);
    }
    relay.apply(settings);
}

void Form1::cmd_startstop_Click()
{
    // The flag flips first: a failed Start puts it back.
    if (!running) {
        running = true;
        startclient();
    } else {
        running = false;
        stopclient();
    }
}

void Form1::startclient()
{
    const QString typed = listport->text();
    const ListenText parsed = parseListenText(typed);
    if (parsed.addressProblem != ListenText::AddressOk) {
        showStartFailure(listenAddressProblemText(), listenAddressToolTip(typed, parsed.addressProblem));
        return;
    }
    if (!parsed.port.ok()) {
        showStartFailure(portProblemText(parsed.port.problem), portProblemToolTip(typed, parsed.port.problem));
        return;
    }

    if (const std::optional<EndpointError> problem = relay.prepareStart(parsed)) {
        showStartFailure(problem->text, problem->detail);
        return;
    }
    Endpoint &listener = relay.Winsock1(0);
    listener.setListenPlace(parsed);
    m_listening = parsed;
    if (!listener.Listen()) {
        const EndpointError error = listener.lastError();
        showStartFailure(error.text, error.detail);
        return;
    }

    showAccepting();
    relabelCount(relay.connectedClients()); // at once: Start shows where it begins
    cmd_startstop->setText(QStringLiteral("Stop"));
}

void Form1::stopclient()
{
    relay.Winsock1(0).Close();

    // Events already waiting are handled before the slots close, so data that
    // has arrived is still relayed. A press of the button handled here runs
    // cmd_startstop_Click() from inside this call and may start listening
    // again; the slots that exist after the pump are closed all the same.
    QCoreApplication::processEvents();

    const int n = relay.Winsock1.UBound();
    for (int i = 1; i <= n; ++i)
        relay.closeSlot(i);

    // A Start run by the pump has already written the status of its own.
    if (!running) {
        showStatus(stoppedPhrase(), {});
        cmd_startstop->setText(QStringLiteral("Start"));
    }
}

void Form1::showStatus(const QString &phrase, const QString &toolTip)
{
    m_statusPhrase = phrase;
    m_statusToolTip = toolTip;
    m_refusalsShown = true;
    const QString text = statusText(phrase);
    // The font is chosen so that every known text fits; anything else is cut
    // with an ellipsis rather than clipped, and shown whole in the tooltip.
    const QString shown = lbl_status->fontMetrics().elidedText(text, Qt::ElideRight,
                                                               textRoom(lbl_status).width());
    lbl_status->setText(shown);

    QString tip = toolTip;
    if (const QString refusals = running ? relay.access.refusalSummary() : QString(); !refusals.isEmpty())
        tip = tip.isEmpty() ? refusals : tip + u'\n' + refusals;
    if (shown != text)
        tip = tip.isEmpty() ? text : text + u'\n' + tip;
    // The tooltip is marked up; a screen reader reads the plain words.
    lbl_status->setAccessibleDescription(tip);
    // As plain text a tooltip is taken for rich text whenever it holds
    // something that looks like a tag, which a typed port can.
    lbl_status->setToolTip(tip.isEmpty() ? QString()
                                         : Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal));
}

void Form1::showAccepting()
{
    const Endpoint &listener = relay.Winsock1(0);
    QString tip = listeningToolTip(listener.listeningAddresses(), listener.LocalPort(), relay.servedText(m_listening));
    if (listener.listenTls()) {
        tip += QStringLiteral("\nClients speak TLS to it. The relay's certificate, SHA-256: %1")
                   .arg(fingerprintText(relay.listenCertificateSha256()));
    }
    const QByteArray clientCertificate = relay.clientCertificateSha256();
    if (!clientCertificate.isEmpty()) {
        tip += QStringLiteral("\nClient certificate for TLS servers, SHA-256: %1")
                   .arg(QString::fromLatin1(clientCertificate.toHex()));
    }
    const QString proxy = relay.proxyText();
    if (!proxy.isEmpty())
        tip += QStringLiteral("\nServers are reached through the proxy %1.").arg(proxy);
    showStatus(acceptingPhrase(), tip);
}

void Form1::showStartFailure(const QString &phrase, const QString &toolTip)
{
    // Nothing is listening: the next press tries Start again.
    running = false;
    showStatus(phrase, toolTip);
    cmd_startstop->setText(QStringLiteral("Start"));
}

void Form1::showConnectedClients(int count)
{
    m_latestCount = count;
    if (m_countTimer.isActive())
        return; // shown when the frame is over
    relabelCount(count);
    m_countTimer.start(CountFrameMs, this);
}

// The refusals go into the status tooltip at most once a frame, as the
// count does: a burst of strangers costs one tooltip, not one each.
void Form1::showRefusals()
{
    m_refusalsShown = false;
    if (m_countTimer.isActive())
        return;
    showStatus(m_statusPhrase, m_statusToolTip);
    m_countTimer.start(CountFrameMs, this);
}

void Form1::relabelCount(int count)
{
    m_latestCount = m_shownCount = count;
    lbl_con->setText(connectionsText(count));
}

void Form1::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_countTimer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (m_latestCount == m_shownCount && m_refusalsShown) {
        m_countTimer.stop(); // nothing changed in the last frame
        return;
    }
    if (m_latestCount != m_shownCount)
        relabelCount(m_latestCount);
    if (!m_refusalsShown)
        showStatus(m_statusPhrase, m_statusToolTip);
}

void Form1::onRelayNotice(const QString &text, const QString &detail)
{
    if (!running)
        return;
    if (text.isEmpty())
        showAccepting();
    else
        showStatus(text, detail);
}

} // namespace pelk
