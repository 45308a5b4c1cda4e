#include "form1.h"
#include "fontfit.h"

#include "endpointarray.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QShortcut>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTextDocument>
#include <QTimerEvent>

namespace pelk {

namespace {

QString connectionsText(int count)
{
    return QStringLiteral("Total Connections: ") + QString::number(count);
}

int twipsToPixels(int twips, int dpi)
{
    return qRound(qreal(twips) * dpi / Form1::TwipsPerInch);
}

} // namespace

Form1::Form1(QWidget *parent)
    : QWidget(parent)
    , m_control(relay)
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
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this), &QShortcut::activated, this,
            &Form1::showConnections);
    lbl_con->installEventFilter(this);
    connect(&m_control, &RelayControl::statusChanged, this,
            [this] { showStatus(m_control.status()); });
    connect(&relay, &Relay::admissionsCounted, this, &Form1::showRefusals);

    bounce_server->setFocus();
}

Form1::~Form1()
{
    // The relay is destroyed before the controls; whatever it reports while
    // going away must not reach them.
    disconnect(&relay, nullptr, this, nullptr);
    disconnect(&m_control, nullptr, this, nullptr);
    delete m_connectionsView; // it reads the relay

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
    bounce_server = makeEdit("bounce_server", defaultServerHost());
    Label1 = makeLabel("Label1", QStringLiteral("Server"));
    listport = makeEdit("listport", defaultListenText());
    Label2 = makeLabel("Label2", QStringLiteral("Listen Port"));
    Label3 = makeLabel("Label3", QStringLiteral("Port"));
    bounce_port = makeEdit("bounce_port", defaultServerPort());
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
    lbl_con->setToolTip(QStringLiteral("Double-click, or press Ctrl+L, to see each connection"));

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
    QStringList texts{QStringLiteral("Status:")};
    for (const QString &phrase : RelayControl::statusPhrases())
        texts << RelayStatus{phrase, {}}.text();
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
    if (!m_control.start(listport->text())) {
        // Nothing is listening: the next press tries Start again.
        running = false;
        cmd_startstop->setText(QStringLiteral("Start"));
        return;
    }
    relabelCount(relay.connectedClients()); // at once: Start shows where it begins
    cmd_startstop->setText(QStringLiteral("Stop"));
}

void Form1::stopclient()
{
    // A press of the button handled while Stop lets waiting events run calls
    // cmd_startstop_Click() from inside this call and may start again.
    m_control.stop();
    if (!running)
        cmd_startstop->setText(QStringLiteral("Start"));
}

void Form1::showStatus(const RelayStatus &status)
{
    const QString text = status.text();
    // The font is chosen so that every known text fits; anything else is cut
    // with an ellipsis rather than clipped, and shown whole in the tooltip.
    const QString shown = lbl_status->fontMetrics().elidedText(text, Qt::ElideRight,
                                                               textRoom(lbl_status).width());
    lbl_status->setText(shown);

    m_refusalsShown = true;
    QString tip = status.detail;
    if (const QString refusals = m_control.listening() ? relay.access.refusalSummary() : QString(); !refusals.isEmpty())
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

void Form1::showConnections()
{
    if (!m_connectionsView)
        m_connectionsView = new ConnectionsView(relay, this);
    m_connectionsView->show();
    m_connectionsView->raise();
    m_connectionsView->activateWindow();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lbl_con && event->type() == QEvent::MouseButtonDblClick) {
        showConnections();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::showConnectedClients(int count)
{
    m_latestCount = count;
    if (m_countTimer.isActive())
        return; // shown when the frame is over
    relabelCount(count);
    m_countTimer.start(CountFrameMs, this);
}

// Refusals go into the status tooltip at most once a frame, as the count
// does: a burst of strangers costs one tooltip, not one each.
void Form1::showRefusals()
{
    m_refusalsShown = false;
    if (m_countTimer.isActive())
        return;
    showStatus(m_control.status());
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
        showStatus(m_control.status());
}

} // namespace pelk
