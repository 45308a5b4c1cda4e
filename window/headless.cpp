#include "headless.h"

#include "connectionsmodel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimerEvent>

#include <csignal>
#include <cstdio>

namespace pelk {

namespace {

// A detail of several lines, on one line: a line that ends a sentence is
// followed by a blank, any other by a semicolon.
QString oneLine(const QString &text)
{
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    QString joined;
    for (const QString &line : lines) {
        if (!joined.isEmpty())
            joined += joined.endsWith(u'.') || joined.endsWith(u':') ? QStringLiteral(" ") : QStringLiteral("; ");
        joined += line;
    }
    return joined;
}

void logQtMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    HeadlessRelay::log(QStringLiteral("Qt: ") + oneLine(message));
}

} // namespace

HeadlessRelay::HeadlessRelay(const RelaySettings &settings, QObject *parent)
    : QObject(parent)
    , m_control(relay)
    , m_listenText(settings.listen.value_or(defaultListenText()))
{
    qInstallMessageHandler(logQtMessage);
    const QString host = settings.serverHost.value_or(defaultServerHost());
    const QString port = settings.serverPort.value_or(defaultServerPort());
    relay.upstreamHost = [host] { return host; };
    relay.upstreamPort = [port] { return port; };
    relay.apply(settings);
    relay.watchForResume();

    connect(&m_control, &RelayControl::statusChanged, this, &HeadlessRelay::logStatus);
    connect(&relay, &Relay::clientFailed, this, &HeadlessRelay::logFailedClient);
    connect(&relay, &Relay::admissionsCounted, this, &HeadlessRelay::onAdmissionsCounted);
    connect(&m_termination, &TerminationWatch::received, this, &HeadlessRelay::onTermination);
    if (!m_termination.isWatching())
        log(QStringLiteral("Cannot watch for SIGTERM and SIGINT: they end the program without a Stop."));
}

HeadlessRelay::~HeadlessRelay()
{
    disconnect(&relay, nullptr, this, nullptr);
    disconnect(&m_control, nullptr, this, nullptr);
    qInstallMessageHandler(nullptr);
}

bool HeadlessRelay::start()
{
    return m_control.start(m_listenText);
}

void HeadlessRelay::log(const QString &line)
{
    // Local time with its offset from UTC, so that the stamp is
    // unambiguous; one write for the whole line, so that lines of other
    // writers do not come between its parts.
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
    const QByteArray text = (stamp + u' ' + line + u'\n').toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

void HeadlessRelay::logStatus()
{
    const RelayStatus &status = m_control.status();
    if (status.text() == m_loggedStatus)
        return; // the same line with another detail: nothing a reader of the line would see change
    m_loggedStatus = status.text();
    log(status.detail.isEmpty() ? m_loggedStatus : m_loggedStatus + QStringLiteral(" - ") + oneLine(status.detail));
}

void HeadlessRelay::logFailedClient(int slot)
{
    const std::optional<RelayedClient> client = relay.relayedClient(slot);
    if (!client)
        return;
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now()
                                                                      - client->acceptedAt);
    const QString server = client->proxy.isEmpty() ? client->server
                                                   : QStringLiteral("%1 via %2").arg(client->server, client->proxy);
    log(QStringLiteral("Client %1 to %2 ended after %3 (%4 bytes from it, %5 from the server): %6")
            .arg(client->clientAddress, server, ConnectionsModel::ageText(age))
            .arg(client->bytesFromClient)
            .arg(client->bytesFromServer)
            .arg(oneLine(client->notice)));
}

// The first refusal or wait after a quiet second is written at once; the
// ones after it are summed up each second while they go on.
void HeadlessRelay::onAdmissionsCounted()
{
    if (m_summaryTimer.isActive())
        return;
    logAdmissions();
    m_summaryTimer.start(SummaryIntervalMs, this);
}

void HeadlessRelay::logAdmissions()
{
    const AdmissionCounts now = relay.admissionCounts();
    const quint64 refused = now.refused - m_loggedAdmissions.refused;
    const quint64 waited = now.waited - m_loggedAdmissions.waited;
    m_loggedAdmissions = now;
    if (refused == 0 && waited == 0) {
        m_summaryTimer.stop();
        return;
    }
    QStringList parts;
    if (refused > 0)
        parts << QStringLiteral("%1 turned away (the last: %2)").arg(refused).arg(oneLine(now.lastRefusal));
    if (waited > 0)
        parts << QStringLiteral("%1 waited their turn").arg(waited);
    log(QStringLiteral("Clients: ") + parts.join(QStringLiteral(", ")));
}

void HeadlessRelay::onTermination(int signalNumber)
{
    if (m_stopping == Stopping::Draining) {
        QCoreApplication::exit(0); // asked again: what still lingers is cut short
        return;
    }
    if (m_stopping == Stopping::InStop)
        return;
    m_stopping = Stopping::InStop;
    log(QStringLiteral("%1: stopping").arg(signalNumber == SIGINT ? QStringLiteral("SIGINT")
                                                                  : QStringLiteral("SIGTERM")));
    m_control.stop();
    m_stopping = Stopping::Draining;
    m_drainDeadline = QDeadlineTimer(StopDrainMs);
    m_drainTimer.start(0, this);
}

void HeadlessRelay::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_summaryTimer.timerId()) {
        logAdmissions();
        return;
    }
    if (event->timerId() != m_drainTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (relay.loop.lingeringCount() == 0 || m_drainDeadline.hasExpired()) {
        m_drainTimer.stop();
        QCoreApplication::exit(0);
        return;
    }
    m_drainTimer.start(DrainCheckMs, this);
}

int runHeadless(const RelaySettings &settings)
{
    HeadlessRelay headless(settings);
    if (!headless.start())
        return 1;
    return QCoreApplication::exec();
}

} // namespace pelk
