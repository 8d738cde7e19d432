#include "app/window/ChannelTable.h"

#include "app/startup/ProgramStartup.h"

#include "config/pm_config.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolButton>

namespace {

enum TColumn {
    ColRemarks,
    ColBindIp,
    ColListenPort,
    ColMapIp,
    ColMapPort,
    ColMap,
    ColMaxSpeed,
    ColLog,
    ColDataMode,
    ColLight,
    ColStatus,
    ColExposed,  // beyond the captioned columns
    ColSettings,
};

QFont StatusFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(8);
    return font;
}

// The editor offers exactly the range the settings are clamped into when they are loaded.
QSpinBox* NewSpinBox(trabix::TIntRange range, QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setRange(range.Min, range.Max);
    box->setValue(range.Min);
    return box;
}

// A text field that never gets narrower than the widest dotted quad: its width is what the
// style adds around the text area for that text (frame, margins, the cursor). The spin boxes
// have no such floor beyond their own, so they give way first.
QLineEdit* NewTextField(QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    const QFontMetrics metrics(field->font());
    const QMargins margins = field->textMargins();
    // QLineEdit keeps 2 pixels on each side of its text area, and one more for the cursor.
    const int text = metrics.horizontalAdvance(TChannelTable::WidestAddress()) + 2 * 2 + 1 +
        margins.left() + margins.right();
    QStyleOptionFrame option;
    option.initFrom(field);
    option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
    const QSize size = field->style()->sizeFromContents(QStyle::CT_LineEdit, &option,
                                                        QSize(text, metrics.height()), field);
    field->setMinimumWidth(size.width());
    return field;
}

}  // namespace

const QStringList& TChannelTable::DataModeItems()
{
    static const QStringList items{"0: disable", "1: Char",    "2: ASCII",  "3: ASCII+",
                                   "4: Hex",     "5: Auto",    "6: http-H", "7: http-C",
                                   "8: http-S",  "9: http-C/S"};
    return items;
}

const QStringList& TChannelTable::HeaderCaptions()
{
    static const QStringList captions{"Remarks",
                                      "Bind IP",
                                      "Listen Port",
                                      "Map IP",
                                      "Map Port",
                                      "Map",
                                      "Max.(Byte/s)",
                                      "Log",
                                      "Data Mode",
                                      "",
                                      "act   tot   C->S   S->C"};
    return captions;
}

TChannelTable::TChannelTable(QWidget* parent) : QWidget(parent)
{
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);  // the page around the table has its own
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(2);
    const QStringList& captions = HeaderCaptions();
    for (int col = 0; col < captions.size(); ++col) {
        auto* header = new QLabel(captions[col], this);
        if (col == ColStatus)
            header->setFont(StatusFont());
        grid->addWidget(header, 0, col);
    }
    for (int channel = 1; channel <= ChannelCount; ++channel)
        AddRow(channel);
    grid->setColumnStretch(ColRemarks, 3);
    grid->setColumnStretch(ColBindIp, 2);
    grid->setColumnStretch(ColMapIp, 2);
    grid->setColumnStretch(ColStatus, 3);
    SetRowsEnabled(false);  // enabled at the end of the window's start-up
}

void TChannelTable::AddRow(int channel)
{
    auto* grid = static_cast<QGridLayout*>(layout());
    TChannelRow& row = Row(channel);
    row.Remarks = NewTextField(this);
    row.BindIp = NewTextField(this);
    row.ListenPort = NewSpinBox(trabix::SettingRange::Port, this);
    row.MapIp = NewTextField(this);
    // The address fields keep room for a dotted quad; a longer IPv6 address scrolls inside
    // its field, and the tooltip shows it whole.
    for (QLineEdit* address : {row.BindIp, row.MapIp})
        connect(address, &QLineEdit::textChanged, address, &QWidget::setToolTip);
    row.MapPort = NewSpinBox(trabix::SettingRange::Port, this);
    row.Map = new QCheckBox(this);
    row.MaxSpeed = NewSpinBox(trabix::SettingRange::MaxSpeed, this);
    row.Log = new QCheckBox(this);
    row.DataMode = new QComboBox(this);
    row.DataMode->addItems(DataModeItems());
    row.DataMode->setCurrentIndex(-1);
    // The light and the conditions mark share the light's cell, so the columns stay as they are.
    auto* lightCell = new QWidget(this);
    auto* lightLayout = new QHBoxLayout(lightCell);
    lightLayout->setContentsMargins(0, 0, 0, 0);
    lightLayout->setSpacing(2);
    row.Light = new QFrame(lightCell);
    row.Light->setFixedSize(10, 10);
    row.Light->setAutoFillBackground(true);
    row.ConditionMark = new QLabel(QStringLiteral("~"), lightCell);
    row.ConditionMark->setFont(StatusFont());
    row.ConditionMark->hide();
    lightLayout->addWidget(row.Light);
    lightLayout->addWidget(row.ConditionMark);
    row.Status = new QLabel(QStringLiteral("n/a"), this);
    row.Status->setFont(StatusFont());
    row.Status->setTextFormat(Qt::PlainText);

    const int r = channel;
    grid->addWidget(row.Remarks, r, ColRemarks);
    grid->addWidget(row.BindIp, r, ColBindIp);
    grid->addWidget(row.ListenPort, r, ColListenPort);
    grid->addWidget(row.MapIp, r, ColMapIp);
    grid->addWidget(row.MapPort, r, ColMapPort);
    grid->addWidget(row.Map, r, ColMap, Qt::AlignCenter);
    grid->addWidget(row.MaxSpeed, r, ColMaxSpeed);
    grid->addWidget(row.Log, r, ColLog, Qt::AlignCenter);
    grid->addWidget(row.DataMode, r, ColDataMode);
    grid->addWidget(lightCell, r, ColLight, Qt::AlignCenter);
    grid->addWidget(row.Status, r, ColStatus);
    SetLight(channel, false);
    AddRowExtras(channel);
}

void TChannelTable::AddRowExtras(int channel)
{
    auto* grid = static_cast<QGridLayout*>(layout());
    TChannelRow& row = Row(channel);
    row.Exposed = new QLabel(this);
    row.Exposed->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(14, 14));
    row.Exposed->setToolTip(QString::fromLatin1(ReachableText));
    QSizePolicy keepPlace = row.Exposed->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);  // the row does not move when the mark comes and goes
    row.Exposed->setSizePolicy(keepPlace);
    row.Exposed->hide();
    row.Settings = new QToolButton(this);
    row.Settings->setText(QStringLiteral("..."));
    row.Settings->setToolTip(QStringLiteral("Channel Settings"));
    row.Settings->setAccessibleName(QStringLiteral("Channel Settings %1").arg(channel));
    row.Settings->setFocusPolicy(Qt::StrongFocus);
    connect(row.Settings, &QToolButton::clicked, this,
            [this, channel] { emit SettingsRequested(channel); });
    grid->addWidget(row.Exposed, channel, ColExposed, Qt::AlignCenter);
    grid->addWidget(row.Settings, channel, ColSettings);
    AddSettingsMenu(channel);
}

// "Channel Settings..." in the context menu of the row: added to the text fields' own menus,
// and the only entry of the controls that have none.
void TChannelTable::AddSettingsMenu(int channel)
{
    TChannelRow& row = Row(channel);
    auto* action = new QAction(QStringLiteral("Channel &Settings..."), this);
    connect(action, &QAction::triggered, this,
            [this, channel] { emit SettingsRequested(channel); });
    for (QLineEdit* edit : {row.Remarks, row.BindIp, row.MapIp}) {
        edit->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(edit, &QWidget::customContextMenuRequested, edit, [edit, action](const QPoint& at) {
            QMenu* menu = edit->createStandardContextMenu();
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->addSeparator();
            menu->addAction(action);
            menu->popup(edit->mapToGlobal(at));
        });
    }
    for (QWidget* w : {static_cast<QWidget*>(row.Map), static_cast<QWidget*>(row.Log),
                       static_cast<QWidget*>(row.DataMode), static_cast<QWidget*>(row.Light),
                       static_cast<QWidget*>(row.ConditionMark), static_cast<QWidget*>(row.Status),
                       static_cast<QWidget*>(row.Exposed), static_cast<QWidget*>(row.Settings)}) {
        w->setContextMenuPolicy(Qt::ActionsContextMenu);
        w->addAction(action);
    }
}

void TChannelTable::SetConditionMark(int channel, const QString& summary)
{
    QLabel* mark = Row(channel).ConditionMark;
    mark->setToolTip(summary);
    mark->setVisible(!summary.isEmpty());
}

void TChannelTable::SetExposed(int channel, bool exposed)
{
    Row(channel).Exposed->setVisible(exposed);
}

void TChannelTable::SetLight(int channel, bool active)
{
    QFrame* light = Row(channel).Light;
    QPalette palette = light->palette();
    const QColor neutral = this->palette().color(QPalette::Button);
    palette.setColor(QPalette::Window, active ? QColor(0, 128, 0) : neutral);
    light->setPalette(palette);
}

QColor TChannelTable::LightColour(int channel) const
{
    return Row(channel).Light->palette().color(QPalette::Window);
}

void TChannelTable::SetRowsEnabled(bool enabled)
{
    for (TChannelRow& row : Rows)
        for (QWidget* w :
             {static_cast<QWidget*>(row.Remarks), static_cast<QWidget*>(row.BindIp),
              static_cast<QWidget*>(row.ListenPort), static_cast<QWidget*>(row.MapIp),
              static_cast<QWidget*>(row.MapPort), static_cast<QWidget*>(row.Map),
              static_cast<QWidget*>(row.MaxSpeed), static_cast<QWidget*>(row.Log),
              static_cast<QWidget*>(row.DataMode), static_cast<QWidget*>(row.Settings)})
            w->setEnabled(enabled);
}
