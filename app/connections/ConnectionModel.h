// TConnectionModel: the rows of the "Connections" tab, one per open or recently ended
// connection of every channel, filled from the registries' snapshots. Rows keep their place
// from one snapshot to the next (keyed by the connection's id), so selection and sorting
// survive a refresh; the rates are the byte deltas between two snapshots.
// Sort role Qt::UserRole gives the raw value of a column (numbers, times).
// Main thread only.
#pragma once

#include "engine/connections/ConnectionRecord.h"

#include <QAbstractTableModel>
#include <QDateTime>

#include <unordered_map>
#include <vector>

class TConnectionModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum TColumn {
        ColChannel,
        ColClient,
        ColTarget,
        ColState,
        ColOpened,
        ColDuration,
        ColBytesCS,
        ColBytesSC,
        ColRateCS,
        ColRateSC,
        ColTls,  // what each TLS leg negotiated
        ColumnCount
    };

    using QAbstractTableModel::QAbstractTableModel;

    // Takes a new snapshot of all channels, taken at ATime.
    void Update(std::vector<TConnectionSnapshot> ASnapshots, TCaptureTime ATime);
    const TConnectionSnapshot& Snapshot(int row) const { return Rows[size_t(row)].Snap; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct TRow {
        TConnectionSnapshot Snap;
        double RateCS = 0;  // bytes per second since the snapshot before
        double RateSC = 0;
    };
    QVariant Display(const TRow& row, int column) const;
    QVariant Raw(const TRow& row, int column) const;

    std::vector<TRow> Rows;
    std::unordered_map<std::uint64_t, size_t> RowOf;
    TCaptureTime Taken;
};
