#include "connectionsview.h"

#include "relay.h"

#include <QBoxLayout>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTableView>
#include <QTimerEvent>

namespace pelk {

ConnectionsView::ConnectionsView(Relay &relay, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_relay(relay)
    , m_model(relay)
{
    setWindowTitle(QStringLiteral("Connections - Pelk IRC-Bouncer"));

    table = new QTableView(this);
    table->setObjectName(QStringLiteral("table"));
    table->setModel(&m_model);
    table->setAccessibleName(QStringLiteral("Connections"));
    table->setAccessibleDescription(QStringLiteral("One row per client, the oldest first. "
                                                   "Delete ends the selected client's connection."));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false); // Tab goes on to the button
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);

    // Room for the longest usual text of each column but the last, which
    // takes the rest.
    const QFontMetrics metrics(table->font());
    const char *const widest[ConnectionsModel::NoticeColumn] = {
        "[2001:db8::1]:65535", "irc.libera.chat:6697", "waiting for its turn", "TLS (client / server)",
        "1023.9 MiB", "1023.9 MiB", "23 h 59 min"};
    int width = 0;
    for (int column = 0; column < ConnectionsModel::NoticeColumn; ++column) {
        const int columnWidth = metrics.horizontalAdvance(QString::fromLatin1(widest[column])) + 4 * metrics.averageCharWidth();
        table->setColumnWidth(column, columnWidth);
        width += columnWidth;
    }

    closeConnection = new QPushButton(QStringLiteral("Close Connection"), this);
    closeConnection->setObjectName(QStringLiteral("closeConnection"));
    closeConnection->setAccessibleName(QStringLiteral("Close Connection"));
    closeConnection->setToolTip(QStringLiteral("Resets both sides of the selected client's connection (Delete)"));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(closeConnection);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(table);
    layout->addLayout(buttons);
    resize(width + 30 * metrics.averageCharWidth(), 16 * metrics.height());

    connect(closeConnection, &QPushButton::clicked, this, &ConnectionsView::closeCurrent);
    auto *remove = new QShortcut(QKeySequence::Delete, this);
    remove->setContext(Qt::WidgetWithChildrenShortcut);
    connect(remove, &QShortcut::activated, this, &ConnectionsView::closeCurrent);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &ConnectionsView::updateButton);
    connect(&m_relay, &Relay::connectedClientsChanged, this, &ConnectionsView::onClientsChanged);

    table->setFocus();
    updateButton();
}

void ConnectionsView::closeCurrent()
{
    const int row = table->currentIndex().row();
    const int slot = m_model.slotAt(row);
    if (slot == 0)
        return;
    m_relay.resetSlot(slot);
    refresh(); // at once: the person waits to see the row go
    if (m_model.rowCount() > 0)
        table->selectRow(qMin(row, m_model.rowCount() - 1));
}

void ConnectionsView::showEvent(QShowEvent *event)
{
    if (!m_placed && parentWidget()) {
        // Below the main window the first time, rather than over it; on the
        // screen all the same.
        m_placed = true;
        const QRect room = parentWidget()->screen()->availableGeometry();
        const QPoint below = parentWidget()->frameGeometry().bottomLeft() + QPoint(0, PlacementGapPx);
        move(qBound(room.left(), below.x(), qMax(room.left(), room.right() - width())),
             qBound(room.top(), below.y(), qMax(room.top(), room.bottom() - height())));
    }
    QWidget::showEvent(event);
    refresh();
    if (!table->currentIndex().isValid() && m_model.rowCount() > 0)
        table->selectRow(0);
    m_refreshTimer.start(RefreshMs, this);
}

void ConnectionsView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_refreshTimer.stop();
}

// Shown at the next pass of the event loop, so that a burst of clients
// costs one refresh, and the relay has finished taking the client in.
void ConnectionsView::onClientsChanged()
{
    if (isVisible() && !m_refreshTimer.isActive())
        m_refreshTimer.start(0, this);
}

void ConnectionsView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_refreshTimer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    const bool changed = m_model.refresh();
    updateButton();
    if (!changed && m_model.rowCount() == 0)
        m_refreshTimer.stop(); // nothing to age or count until a client comes
    else
        m_refreshTimer.start(changed ? RefreshMs : IdleRefreshMs, this);
}

void ConnectionsView::refresh()
{
    m_model.refresh();
    updateButton();
}

void ConnectionsView::updateButton()
{
    closeConnection->setEnabled(m_model.slotAt(table->currentIndex().row()) != 0);
}

} // namespace pelk
