#pragma once

#include "connectionsview.h"
#include "fontfit.h"
#include "relay.h"
#include "relaycontrol.h"

#include <QBasicTimer>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace pelk {

// The program's main window: the listen port, the upstream host and port, the
// Start/Stop button and two status lines. It owns the relay for the whole run.
//
// Start and Stop run the relay through RelayControl, which the program
// without a window shares. Start listens on listport (0 lets the system
// choose a free port). A listen port that cannot be used is reported in
// lbl_status and leaves the relay stopped; the next press tries Start again.
// Stop closes the listener, lets the events already waiting be handled (a
// press of the button handled there runs Start from inside Stop), then
// closes every slot, lowest first.
//
// bounce_server and bounce_port are read for each client when it is accepted,
// so edits apply to the next client; listport is read once per Start.
//
// Ctrl+L, or a double-click on lbl_con, opens the Connections view, a window
// of its own (ConnectionsView), made the first time.
//
// Controls are placed from a layout in twips (1/1440 inch) at the screen's
// logical DPI, and the whole window uses the largest font size, at most the
// application's, with which every text it can show fits its control.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    static constexpr int TwipsPerInch = 1440;

    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *listport = nullptr;
    QLineEdit *bounce_server = nullptr;
    QLineEdit *bounce_port = nullptr;
    QPushButton *cmd_startstop = nullptr;
    QLabel *lbl_status = nullptr;
    QLabel *lbl_con = nullptr;

    // Which of startclient()/stopclient() the button calls next.
    bool running = false;

    Relay relay;

    // Every text lbl_status can show (as far as known in advance).
    static QStringList statusTexts();

    // Puts the texts the settings give into their fields, as if typed (a
    // field not given keeps its text), and hands the relay the rest.
    void applySettings(const RelaySettings &settings);

    void cmd_startstop_Click();
    void startclient();
    void stopclient();

    // Shows the Connections view and brings it to the front.
    void showConnections();
    ConnectionsView *connectionsView() const { return m_connectionsView; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void placeControls();
    QList<ControlTexts> controlTexts() const;

    void showStatus(const RelayStatus &status);
    void showConnectedClients(int count);
    void relabelCount(int count);
    void showRefusals();
    void timerEvent(QTimerEvent *event) override;

    // The count is relabelled, and refusals added to the status tooltip, at
    // most once a frame: a burst of clients costs one relabel (text layout,
    // repaint, accessibility event), not one per client. The timer runs only
    // while a change waits.
    static constexpr int CountFrameMs = 16;
    QBasicTimer m_countTimer;
    int m_shownCount = 0;
    int m_latestCount = 0;
    bool m_refusalsShown = true;

    RelayControl m_control;
    QPointer<ConnectionsView> m_connectionsView;
};

} // namespace pelk
