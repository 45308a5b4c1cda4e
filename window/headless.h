#pragma once

#include "relay.h"
#include "relaycontrol.h"
#include "relaysettings.h"
#include "terminationwatch.h"

#include <QBasicTimer>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

namespace pelk {

// The relay without a window, for a computer with no desktop: the same
// Start, Stop and status as the window's (RelayControl), with the settings
// given and the window's defaults for the texts not given.
//
// It writes to standard error, one line each, starting with an ISO 8601
// time stamp: every change of the status line (with the tooltip's words);
// every client that fails, with its notice; and at most once a second a
// summary of the clients turned away or made to wait since the last one.
// Qt's own messages, should there be any, get the same time stamp.
//
// SIGTERM or SIGINT runs Stop, so that every client sees its end; the
// sockets still delivering what was queued get up to StopDrainMs to finish,
// then the event loop ends with 0. A second signal meanwhile ends it at once.
class HeadlessRelay : public QObject
{
    Q_OBJECT
public:
    static constexpr int SummaryIntervalMs = 1000;
    static constexpr int StopDrainMs = 5 * 1000;
    static constexpr int DrainCheckMs = 20;

    explicit HeadlessRelay(const RelaySettings &settings, QObject *parent = nullptr);
    ~HeadlessRelay() override;

    // Starts listening; false when it cannot (the status line written says why).
    bool start();

    // Writes `line` to standard error after a time stamp.
    static void log(const QString &line);

    Relay relay;

private:
    void logStatus();
    void logFailedClient(int slot);
    void onAdmissionsCounted();
    void logAdmissions();
    void onTermination(int signalNumber);
    void timerEvent(QTimerEvent *event) override;

    RelayControl m_control;
    TerminationWatch m_termination;
    QString m_listenText;
    QString m_loggedStatus;

    QBasicTimer m_summaryTimer; // runs only while refusals or waits are counted
    AdmissionCounts m_loggedAdmissions;

    enum class Stopping { No, InStop, Draining } m_stopping = Stopping::No;
    QBasicTimer m_drainTimer;
    QDeadlineTimer m_drainDeadline;
};

// Runs a HeadlessRelay until a signal stops it; the process's exit status:
// 0 after a stop by signal, 1 when it could not listen.
int runHeadless(const RelaySettings &settings);

} // namespace pelk
