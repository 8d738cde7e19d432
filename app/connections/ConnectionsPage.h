// "Co&nnections": every open and recently ended connection of every channel, refreshed from
// the registries' snapshots four times a second (never per read), filtered by channel and
// sorted by any column. Close Connection / Reset Connection from the context menu or the
// Delete key; Enter or a double click opens the connection's stream view.
//
// The page knows the engine only through the two functions the main window gives it.
// Main thread only.
#pragma once

#include "engine/connections/ConnectionRecord.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QSortFilterProxyModel;
class QTableView;
class QTimer;
class TConnectionModel;

class TConnectionsPage : public QWidget {
    Q_OBJECT
public:
    using TSnapshotSource = std::function<std::vector<TConnectionSnapshot>()>;
    // Ends the connection with the id on its channel (AReset: with a reset).
    using TCloser = std::function<void(int channel, std::uint64_t id, bool reset)>;
    // The record of a connection (for its capture), or nullptr.
    using TRecordSource =
        std::function<std::shared_ptr<TConnectionRecord>(int channel, std::uint64_t id)>;
    // Whether a channel keeps the bytes of its connections.
    using TCaptureSwitch = std::function<bool(int channel)>;

    TConnectionsPage(TSnapshotSource snapshots, TCloser closer, TRecordSource records,
                     TCaptureSwitch capturing, QWidget* parent = nullptr);

    // Takes a snapshot now (the timer does it four times a second while the page is shown).
    void Refresh();
    // The connections of the selected rows.
    std::vector<TConnectionSnapshot> Selected() const;
    void CloseSelected(bool reset);
    void ShowStream(const TConnectionSnapshot& connection);

    QComboBox* ChannelFilter = nullptr;
    QTableView* View = nullptr;
    TConnectionModel* Model = nullptr;
    QSortFilterProxyModel* Proxy = nullptr;
    QLabel* Summary = nullptr;
    QTimer* RefreshTimer = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void CreateActions();
    void ShowSelectedStream();

    TSnapshotSource Snapshots;
    TCloser Closer;
    TRecordSource Records;
    TCaptureSwitch Capturing;
};
