#include "app/connections/ConnectionsPage.h"

#include "app/connections/ConnectionModel.h"
#include "app/connections/StreamView.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

TConnectionsPage::TConnectionsPage(TSnapshotSource snapshots, TCloser closer, TRecordSource records,
                                   TCaptureSwitch capturing, QWidget* parent)
    : QWidget(parent),
      Snapshots(std::move(snapshots)),
      Closer(std::move(closer)),
      Records(std::move(records)),
      Capturing(std::move(capturing))
{
    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    auto* filterLabel = new QLabel(QStringLiteral("C&hannel:"), this);
    ChannelFilter = new QComboBox(this);
    ChannelFilter->addItem(QStringLiteral("All channels"), 0);
    for (int c = 1; c <= 8; ++c)
        ChannelFilter->addItem(QStringLiteral("Channel %1").arg(c), c);
    filterLabel->setBuddy(ChannelFilter);
    Summary = new QLabel(this);
    bar->addWidget(filterLabel);
    bar->addWidget(ChannelFilter);
    bar->addStretch();
    bar->addWidget(Summary);
    layout->addLayout(bar);

    Model = new TConnectionModel(this);
    Proxy = new QSortFilterProxyModel(this);
    Proxy->setSourceModel(Model);
    Proxy->setSortRole(Qt::UserRole);
    Proxy->setFilterRole(Qt::UserRole);
    Proxy->setFilterKeyColumn(TConnectionModel::ColChannel);
    Proxy->setDynamicSortFilter(true);
    View = new QTableView(this);
    View->setModel(Proxy);
    View->setSortingEnabled(true);
    View->sortByColumn(TConnectionModel::ColOpened, Qt::AscendingOrder);
    View->setSelectionBehavior(QAbstractItemView::SelectRows);
    View->setSelectionMode(QAbstractItemView::ExtendedSelection);
    View->setEditTriggers(QAbstractItemView::NoEditTriggers);
    View->verticalHeader()->hide();
    View->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    View->horizontalHeader()->setStretchLastSection(true);
    // Widths for the longest usual texts, set once: measuring thousands of rows would not be.
    const QFontMetrics fm = View->fontMetrics();
    const auto fit = [&](int column, const char* sample) {
        View->setColumnWidth(column, fm.horizontalAdvance(QString::fromLatin1(sample)) + 24);
    };
    fit(TConnectionModel::ColChannel, "Channel");
    fit(TConnectionModel::ColClient, "255.255.255.255:65535");
    fit(TConnectionModel::ColTarget, "255.255.255.255:65535");
    fit(TConnectionModel::ColState, "closed on request");
    fit(TConnectionModel::ColOpened, "00:00:00.000");
    fit(TConnectionModel::ColDuration, "000.0 s");
    for (int c = TConnectionModel::ColBytesCS; c <= TConnectionModel::ColRateSC; ++c)
        fit(c, "99.9 KB/s");
    Summary->setMinimumWidth(
        fm.horizontalAdvance(QStringLiteral("99999 open, 9999 recently ended")));
    Summary->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    View->setContextMenuPolicy(Qt::ActionsContextMenu);
    layout->addWidget(View);
    connect(ChannelFilter, &QComboBox::currentIndexChanged, this, [this] {
        const int channel = ChannelFilter->currentData().toInt();
        Proxy->setFilterRegularExpression(channel ? QStringLiteral("^%1$").arg(channel)
                                                  : QString());
    });
    connect(View, &QTableView::doubleClicked, this, &TConnectionsPage::ShowSelectedStream);
    CreateActions();

    RefreshTimer = new QTimer(this);
    RefreshTimer->setInterval(250);
    connect(RefreshTimer, &QTimer::timeout, this, &TConnectionsPage::Refresh);
}

void TConnectionsPage::CreateActions()
{
    // The keys are handled by eventFilter, so that they act whenever the list has the focus;
    // the menu shows them after the tab.
    auto add = [this](const QString& text, auto slot) {
        auto* action = new QAction(text, View);
        connect(action, &QAction::triggered, this, slot);
        View->addAction(action);
    };
    add(QStringLiteral("&Close Connection\tDel"), [this] { CloseSelected(false); });
    add(QStringLiteral("&Reset Connection\tShift+Del"), [this] { CloseSelected(true); });
    add(QStringLiteral("&Show Stream...\tEnter"), [this] { ShowSelectedStream(); });
    View->installEventFilter(this);
}

bool TConnectionsPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != View || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Delete) {
        CloseSelected(key->modifiers() & Qt::ShiftModifier);
        return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        ShowSelectedStream();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TConnectionsPage::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
    RefreshTimer->start();
}

void TConnectionsPage::hideEvent(QHideEvent* event)
{
    RefreshTimer->stop();
    QWidget::hideEvent(event);
}

void TConnectionsPage::Refresh()
{
    std::vector<TConnectionSnapshot> all = Snapshots();
    int open = 0;
    for (const TConnectionSnapshot& s : all)
        open += s.State != TConnectionState::Ended;
    const int ended = int(all.size()) - open;
    Model->Update(std::move(all), std::chrono::system_clock::now());
    Summary->setText(QStringLiteral("%1 open, %2 recently ended").arg(open).arg(ended));
}

std::vector<TConnectionSnapshot> TConnectionsPage::Selected() const
{
    std::vector<TConnectionSnapshot> out;
    for (const QModelIndex& index : View->selectionModel()->selectedRows())
        out.push_back(Model->Snapshot(Proxy->mapToSource(index).row()));
    return out;
}

void TConnectionsPage::CloseSelected(bool reset)
{
    for (const TConnectionSnapshot& s : Selected())
        if (s.State != TConnectionState::Ended)
            Closer(s.Channel, s.Id, reset);
    Refresh();
}

void TConnectionsPage::ShowSelectedStream()
{
    const std::vector<TConnectionSnapshot> selected = Selected();
    if (!selected.empty())
        ShowStream(selected.front());
}

void TConnectionsPage::ShowStream(const TConnectionSnapshot& connection)
{
    auto* view = new TStreamView(connection, Records(connection.Channel, connection.Id),
                                 Capturing(connection.Channel), this);
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->show();
}
