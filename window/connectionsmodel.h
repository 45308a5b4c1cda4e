#pragma once

#include "relay.h"

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <chrono>
#include <vector>

namespace pelk {

// A relay's clients as a table, one row per client, the oldest first: its
// address, the server (and proxy) it is relayed to, the state of its pair,
// TLS on each side, the bytes from it and from the server, its age (to the
// minute, so that an idle row changes once a minute) and its last notice.
//
// The relay is read only by refresh(): rows come and go, and cells change,
// then, each with the model's own signals and only for what changed, so
// that a view repaints only that. It looks for new and gone clients only
// when the relay's change count has moved; otherwise it reads again the
// clients it has.
class ConnectionsModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column {
        ClientColumn,
        ServerColumn,
        StateColumn,
        TlsColumn,
        FromClientColumn,
        FromServerColumn,
        AgeColumn,
        NoticeColumn,
        ColumnCount
    };

    explicit ConnectionsModel(const Relay &relay, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Reads the relay again; true when anything shown has changed.
    bool refresh();

    // The relay's slot of the client in `row`; 0 when there is no such row.
    int slotAt(int row) const;

    // "12 s", "3 min 4 s", "5 h 6 min", "7 d 8 h"; to the minute: "< 1 min",
    // "3 min", and the same from an hour on.
    enum class AgeUnit { Second, Minute };
    static QString ageText(std::chrono::seconds age, AgeUnit smallest = AgeUnit::Second);

private:
    using Cells = std::array<QString, ColumnCount>;
    struct Row
    {
        int slot = 0;
        quint64 serial = 0;
        Cells cells;
        QString exactBytes[2]; // from the client, from the server: the tooltips
    };

    Row rowOf(const RelayedClient &client, std::chrono::steady_clock::time_point now) const;
    bool update(int row, Row fresh);
    bool rescan(std::chrono::steady_clock::time_point now);

    const Relay &m_relay;
    std::vector<Row> m_rows; // by serial: the oldest client first
    quint64 m_seenChanges = 0;
};

} // namespace pelk
