#include "connectionsmodel.h"

#include <QLocale>

#include <algorithm>
#include <utility>

namespace pelk {

namespace {

QString tlsText(const QString &version)
{
    return version.isEmpty() ? QStringLiteral("none") : version;
}

} // namespace

ConnectionsModel::ConnectionsModel(const Relay &relay, QObject *parent)
    : QAbstractTableModel(parent)
    , m_relay(relay)
    , m_seenChanges(relay.changeCount() - 1) // the first refresh() looks for clients
{
}

int ConnectionsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ConnectionsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ConnectionsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || size_t(index.row()) >= m_rows.size() || index.column() >= ColumnCount)
        return {};
    const Row &row = m_rows[size_t(index.row())];
    if (role == Qt::DisplayRole)
        return row.cells[size_t(index.column())];
    if (role == Qt::ToolTipRole) {
        if (index.column() == FromClientColumn)
            return row.exactBytes[0];
        if (index.column() == FromServerColumn)
            return row.exactBytes[1];
        return row.cells[size_t(index.column())]; // a cell too narrow for its text
    }
    if (role == Qt::TextAlignmentRole && (index.column() == FromClientColumn || index.column() == FromServerColumn
                                          || index.column() == AgeColumn))
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant ConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    static const char *const titles[ColumnCount] = {"Client", "Server", "State", "TLS (client / server)",
                                                     "From client", "From server", "Age", "Last notice"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

int ConnectionsModel::slotAt(int row) const
{
    return row >= 0 && size_t(row) < m_rows.size() ? m_rows[size_t(row)].slot : 0;
}

QString ConnectionsModel::ageText(std::chrono::seconds age, AgeUnit smallest)
{
    const qint64 s = qMax<qint64>(0, age.count());
    const bool seconds = smallest == AgeUnit::Second;
    if (s < 60)
        return seconds ? QStringLiteral("%1 s").arg(s) : QStringLiteral("< 1 min");
    if (s < 3600)
        return seconds ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60) : QStringLiteral("%1 min").arg(s / 60);
    if (s < 86400)
        return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
    return QStringLiteral("%1 d %2 h").arg(s / 86400).arg(s % 86400 / 3600);
}

ConnectionsModel::Row ConnectionsModel::rowOf(const RelayedClient &client,
                                              std::chrono::steady_clock::time_point now) const
{
    const QLocale locale;
    Row row;
    row.slot = client.slot;
    row.serial = client.serial;
    row.cells[ClientColumn] = client.clientAddress;
    row.cells[ServerColumn] = client.proxy.isEmpty() ? client.server
                                                     : QStringLiteral("%1 via %2").arg(client.server, client.proxy);
    row.cells[StateColumn] = pairStateText(client.state);
    row.cells[TlsColumn] = tlsText(client.clientTls) + QStringLiteral(" / ") + tlsText(client.serverTls);
    row.cells[FromClientColumn] = locale.formattedDataSize(client.bytesFromClient, 1);
    row.cells[FromServerColumn] = locale.formattedDataSize(client.bytesFromServer, 1);
    row.cells[AgeColumn] = ageText(std::chrono::duration_cast<std::chrono::seconds>(now - client.acceptedAt),
                                   AgeUnit::Minute);
    row.cells[NoticeColumn] = client.notice;
    row.exactBytes[0] = QStringLiteral("%1 bytes").arg(client.bytesFromClient);
    row.exactBytes[1] = QStringLiteral("%1 bytes").arg(client.bytesFromServer);
    return row;
}

bool ConnectionsModel::refresh()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_relay.changeCount() != m_seenChanges)
        return rescan(now);
    bool changed = false;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const std::optional<RelayedClient> client = m_relay.relayedClient(m_rows[i].slot);
        if (client && client->serial == m_rows[i].serial)
            changed = update(int(i), rowOf(*client, now)) || changed;
    }
    return changed;
}

// Both lists are ordered by serial: a row whose client is gone goes, a new
// client gets a row where its serial puts it, and the rest are updated.
bool ConnectionsModel::rescan(std::chrono::steady_clock::time_point now)
{
    m_seenChanges = m_relay.changeCount();
    std::vector<RelayedClient> clients;
    for (int slot = 1; slot <= m_relay.Winsock1.UBound(); ++slot) {
        if (std::optional<RelayedClient> client = m_relay.relayedClient(slot))
            clients.push_back(std::move(*client));
    }
    std::sort(clients.begin(), clients.end(),
              [](const RelayedClient &a, const RelayedClient &b) { return a.serial < b.serial; });

    bool changed = false;
    size_t row = 0;
    for (const RelayedClient &client : clients) {
        while (row < m_rows.size() && m_rows[row].serial < client.serial) {
            beginRemoveRows({}, int(row), int(row));
            m_rows.erase(m_rows.begin() + qsizetype(row));
            endRemoveRows();
            changed = true;
        }
        if (row < m_rows.size() && m_rows[row].serial == client.serial) {
            changed = update(int(row), rowOf(client, now)) || changed;
        } else {
            beginInsertRows({}, int(row), int(row));
            m_rows.insert(m_rows.begin() + qsizetype(row), rowOf(client, now));
            endInsertRows();
            changed = true;
        }
        ++row;
    }
    if (row < m_rows.size()) {
        beginRemoveRows({}, int(row), int(m_rows.size()) - 1);
        m_rows.erase(m_rows.begin() + qsizetype(row), m_rows.end());
        endRemoveRows();
        changed = true;
    }
    return changed;
}

// Replaces a row's texts, and tells of the columns from the first that
// changed to the last.
bool ConnectionsModel::update(int row, Row fresh)
{
    Row &shown = m_rows[size_t(row)];
    int first = ColumnCount;
    int last = -1;
    for (int column = 0; column < ColumnCount; ++column) {
        if (shown.cells[size_t(column)] != fresh.cells[size_t(column)]) {
            first = qMin(first, column);
            last = column;
        }
    }
    const bool tooltips = shown.exactBytes[0] != fresh.exactBytes[0] || shown.exactBytes[1] != fresh.exactBytes[1];
    if (last < 0 && !tooltips)
        return false;
    shown = std::move(fresh);
    if (last < 0) {
        first = FromClientColumn;
        last = FromServerColumn;
    }
    emit dataChanged(index(row, first), index(row, last), {Qt::DisplayRole, Qt::ToolTipRole});
    return true;
}

} // namespace pelk
