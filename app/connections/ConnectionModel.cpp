#include "app/connections/ConnectionModel.h"

#include <QBrush>
#include <QLocale>
#include <QStringList>

#include <algorithm>

namespace {

QString Endpoint(const TEndpoint& e)
{
    if (e.IP.empty())
        return {};
    return QString::fromStdString(e.Text());
}

QString Bytes(double value)
{
    return QLocale().formattedDataSize(qint64(value), 1, QLocale::DataSizeTraditionalFormat);
}

// "client TLSv1.3 ... SNI a.test; target TLSv1.3 ...", one part per leg with TLS.
QString TlsText(const TConnectionSnapshot& s, const char* separator)
{
    QStringList legs;
    if (!s.TlsClient.empty())
        legs << QStringLiteral("client ") + QString::fromStdString(s.TlsClient);
    if (!s.TlsTarget.empty())
        legs << QStringLiteral("target ") + QString::fromStdString(s.TlsTarget);
    return legs.join(QLatin1String(separator));
}

double Seconds(TCaptureTime from, TCaptureTime to)
{
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

void TConnectionModel::Update(std::vector<TConnectionSnapshot> ASnapshots, TCaptureTime ATime)
{
    const double dt = Seconds(Taken, ATime);
    std::unordered_map<std::uint64_t, const TConnectionSnapshot*> fresh;
    for (const TConnectionSnapshot& s : ASnapshots)
        fresh.emplace(s.Id, &s);
    size_t gone = 0;
    for (const TRow& row : Rows)
        gone += fresh.count(row.Snap.Id) == 0;
    const size_t come = ASnapshots.size() + gone - Rows.size();
    if (gone > 64 || come > 64) {
        // Many rows at once (a stop of thousands, a burst of clients): one reset is cheaper
        // than many removals and insertions, each of which the sorted view takes on its own.
        beginResetModel();
        Rows.clear();
        RowOf.clear();
        for (const TConnectionSnapshot& s : ASnapshots) {
            RowOf[s.Id] = Rows.size();
            Rows.push_back(TRow{s, 0, 0});
        }
        Taken = ATime;
        endResetModel();
        return;
    }
    // Rows whose connection left the registries go, from the end so indexes stay valid.
    for (int r = int(Rows.size()) - 1; gone > 0 && r >= 0; --r) {
        if (fresh.count(Rows[size_t(r)].Snap.Id))
            continue;
        --gone;
        beginRemoveRows({}, r, r);
        RowOf.erase(Rows[size_t(r)].Snap.Id);
        Rows.erase(Rows.begin() + r);
        endRemoveRows();
        for (size_t i = size_t(r); i < Rows.size(); ++i)
            RowOf[Rows[i].Snap.Id] = i;
    }
    std::vector<TRow> added;
    for (const TConnectionSnapshot& s : ASnapshots) {
        auto it = RowOf.find(s.Id);
        if (it == RowOf.end()) {
            added.push_back(TRow{s, 0, 0});
            continue;
        }
        TRow& row = Rows[it->second];
        const bool live = s.State != TConnectionState::Ended && dt > 0;
        row.RateCS = live ? double(s.BytesCS - row.Snap.BytesCS) / dt : 0;
        row.RateSC = live ? double(s.BytesSC - row.Snap.BytesSC) / dt : 0;
        row.Snap = s;
    }
    Taken = ATime;
    if (!Rows.empty())
        emit dataChanged(index(0, 0), index(int(Rows.size()) - 1, ColumnCount - 1));
    if (!added.empty()) {
        beginInsertRows({}, int(Rows.size()), int(Rows.size() + added.size()) - 1);
        for (TRow& row : added) {
            RowOf[row.Snap.Id] = Rows.size();
            Rows.push_back(std::move(row));
        }
        endInsertRows();
    }
}

int TConnectionModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(Rows.size());
}

int TConnectionModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TConnectionModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char* const Captions[] = {"Channel",   "Client",    "Target",     "State",
                                           "Opened at", "Duration",  "Bytes C->S", "Bytes S->C",
                                           "Rate C->S", "Rate S->C", "TLS"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return {};
    return QString::fromLatin1(Captions[section]);
}

QVariant TConnectionModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(Rows.size()))
        return {};
    const TRow& row = Rows[size_t(index.row())];
    switch (role) {
        case Qt::DisplayRole: return Display(row, index.column());
        case Qt::UserRole: return Raw(row, index.column());
        case Qt::TextAlignmentRole:
            return index.column() >= ColDuration && index.column() <= ColRateSC
                ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                : QVariant();
        case Qt::ForegroundRole:
            return row.Snap.State == TConnectionState::Ended ? QBrush(Qt::gray) : QVariant();
        case Qt::ToolTipRole:
            // The column is the last and may be cut: the tip shows both legs, one a line.
            return index.column() == ColTls ? QVariant(TlsText(row.Snap, "\n")) : QVariant();
        default: return {};
    }
}

QVariant TConnectionModel::Raw(const TRow& row, int column) const
{
    const TConnectionSnapshot& s = row.Snap;
    switch (column) {
        case ColChannel: return s.Channel;
        case ColClient: return Endpoint(s.Client);
        case ColTarget: return Endpoint(s.Target);
        case ColState: return QString::fromStdString(ConnectionStateText(s));
        case ColOpened:
            return qint64(
                std::chrono::duration_cast<std::chrono::milliseconds>(s.Opened.time_since_epoch())
                    .count());
        case ColDuration: return Seconds(s.Opened, s.Ended.value_or(Taken));
        case ColBytesCS: return qulonglong(s.BytesCS);
        case ColBytesSC: return qulonglong(s.BytesSC);
        case ColRateCS: return row.RateCS;
        case ColRateSC: return row.RateSC;
        case ColTls: return TlsText(s, "; ");
        default: return {};
    }
}

QVariant TConnectionModel::Display(const TRow& row, int column) const
{
    const QVariant raw = Raw(row, column);
    switch (column) {
        case ColOpened:
            return QDateTime::fromMSecsSinceEpoch(raw.toLongLong())
                .toString(QStringLiteral("hh:mm:ss.zzz"));
        case ColDuration:
            return QString::number(std::max(0.0, raw.toDouble()), 'f', 1) + QStringLiteral(" s");
        case ColBytesCS:
        case ColBytesSC: return Bytes(raw.toDouble());
        case ColRateCS:
        case ColRateSC: return Bytes(raw.toDouble()) + QStringLiteral("/s");
        default: return raw;
    }
}
