#pragma once

#include "connectionsmodel.h"

#include <QBasicTimer>
#include <QWidget>

class QPushButton;
class QTableView;

namespace pelk {

class Relay;

// The relay's clients, one row each (ConnectionsModel), in a window of its
// own beside the main one, which it does not block. Rows are the oldest
// first; arrow keys move between them, Delete or Close Connection resets the
// current row's pair (Relay::resetSlot()), touching no other, and Escape
// closes the window.
//
// While hidden it reads nothing and runs no timer. While shown it reads the
// relay at most every RefreshMs, every IdleRefreshMs after a reading that
// changed nothing, and only while there are clients: a new client wakes it,
// and it sleeps again once the table is empty and stays so.
class ConnectionsView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int RefreshMs = 500;
    static constexpr int IdleRefreshMs = 1000;
    static constexpr int PlacementGapPx = 8;

    explicit ConnectionsView(Relay &relay, QWidget *parent = nullptr);

    QTableView *table = nullptr;
    QPushButton *closeConnection = nullptr;

    const ConnectionsModel &model() const { return m_model; }

    // Resets the pair of the current row, and makes the row that takes its
    // place current, so that Delete can be pressed again.
    void closeCurrent();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    void onClientsChanged();
    void refresh();
    void updateButton();

    Relay &m_relay;
    ConnectionsModel m_model;
    QBasicTimer m_refreshTimer;
    bool m_placed = false;
};

} // namespace pelk
