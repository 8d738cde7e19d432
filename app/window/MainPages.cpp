#include "app/window/MainPages.h"

#include "app/window/ChannelTable.h"
#include "app/window/ScreenLog.h"

#include "config/pm_config.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QGroupBox* NewGroup(const QString& caption, QWidget* parent, QBoxLayout::Direction direction)
{
    auto* group = new QGroupBox(caption, parent);
    new QBoxLayout(direction, group);
    return group;
}

template <class T>
T* AddTo(QGroupBox* group, T* widget)
{
    group->layout()->addWidget(widget);
    return widget;
}

}  // namespace

TStatusPage::TStatusPage(QWidget* parent) : QWidget(parent)
{
    auto* page = new QVBoxLayout(this);
    Channels = new TChannelTable(this);
    page->addWidget(Channels);
    page->addStretch(1);

    auto* groups = new QHBoxLayout;
    QGroupBox* config = NewGroup(QStringLiteral(" Config "), this, QBoxLayout::TopToBottom);
    AutoStart = AddTo(config, new QCheckBox(QStringLiteral("A&utoStart"), config));
    GotoTNA = AddTo(config, new QCheckBox(QStringLiteral("Mi&nimize->TNA"), config));
    QGroupBox* delay = NewGroup(QStringLiteral(" Delay settings "), this, QBoxLayout::TopToBottom);
    DelayPerThread = AddTo(delay, new QCheckBox(QStringLiteral("&Delay/Connection"), delay));
    QGroupBox* mappings = NewGroup(QStringLiteral(" Mappings "), this, QBoxLayout::LeftToRight);
    StartButton = AddTo(mappings, new QPushButton(QStringLiteral("St&art"), mappings));
    StopButton = AddTo(mappings, new QPushButton(QStringLiteral("St&op"), mappings));
    ResetButton = AddTo(mappings, new QPushButton(QStringLiteral("R&eset Counters"), mappings));
    groups->addWidget(config);
    groups->addWidget(delay);
    groups->addStretch(1);
    groups->addWidget(mappings);
    page->addLayout(groups);

    for (QWidget* w : {static_cast<QWidget*>(AutoStart), static_cast<QWidget*>(GotoTNA),
                       static_cast<QWidget*>(DelayPerThread)})
        w->setEnabled(false);  // enabled at the end of the window's start-up
}

TLoggingPage::TLoggingPage(QWidget* parent) : QWidget(parent)
{
    auto* page = new QVBoxLayout(this);
    View = new TScreenLog(this);
    page->addWidget(View, 1);

    auto* panel = new QHBoxLayout;
    QGroupBox* logTo = NewGroup(QStringLiteral(" Log to ... "), this, QBoxLayout::TopToBottom);
    LogToFile = AddTo(logTo, new QCheckBox(QStringLiteral("Fil&e"), logTo));
    LogToScreen = AddTo(logTo, new QCheckBox(QStringLiteral("Sc&reen"), logTo));

    QGroupBox* screenlog = NewGroup(QStringLiteral(" Screenlog "), this, QBoxLayout::LeftToRight);
    ClearButton = AddTo(screenlog, new QPushButton(QStringLiteral("Cl&ear"), screenlog));
    WrapLines = AddTo(screenlog, new QCheckBox(QStringLiteral("&Wrap Lines"), screenlog));
    LimitScreenLog = AddTo(screenlog, new QCheckBox(QStringLiteral("L&imit to"), screenlog));
    ScreenLogLines = AddTo(screenlog, new QSpinBox(screenlog));
    ScreenLogLines->setRange(trabix::SettingRange::ScreenLogLines.Min,
                             trabix::SettingRange::ScreenLogLines.Max);
    ScreenLogLines->setSingleStep(1000);
    ScreenLogLines->setValue(trabix::SettingRange::ScreenLogLines.Min);
    auto* linesLabel = AddTo(screenlog, new QLabel(QStringLiteral("li&nes"), screenlog));
    linesLabel->setBuddy(ScreenLogLines);
    SaveButton = AddTo(screenlog, new QPushButton(QStringLiteral("Sa&ve to file"), screenlog));

    QGroupBox* details = NewGroup(QStringLiteral(" Log Details "), this, QBoxLayout::TopToBottom);
    LogConnInfo = AddTo(details, new QCheckBox(QStringLiteral("C&onnection Info"), details));
    LogDelayInfo = AddTo(details, new QCheckBox(QStringLiteral("&Delay Info"), details));

    panel->addWidget(logTo);
    panel->addWidget(screenlog);
    panel->addWidget(details);
    panel->addStretch(1);
    page->addLayout(panel);
    Places = new QLabel(this);
    Places->setTextInteractionFlags(Qt::TextSelectableByMouse);
    page->addWidget(Places);

    for (QWidget* w : OptionControls())
        w->setEnabled(false);  // enabled at the end of the window's start-up
    SaveButton->setEnabled(false);
}

void TLoggingPage::ShowPlaces(const QString& settingsFile, const QString& logFolder,
                              const QString& apiToken)
{
    QString text = QStringLiteral("Settings: %1    Log folder: %2").arg(settingsFile, logFolder);
    if (!apiToken.isEmpty())
        text += QStringLiteral("    API token: %1").arg(apiToken);
    Places->setText(text);
}

QList<QWidget*> TLoggingPage::OptionControls() const
{
    return {LogToFile,      LogToScreen, WrapLines,   LimitScreenLog,
            ScreenLogLines, LogConnInfo, LogDelayInfo};
}
