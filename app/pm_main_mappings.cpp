// The channel table's edits, the moves between controls and settings, and the start and stop
// of the mapping servers.
#include "app/pm_main.h"

#include "app/window/LogRouter.h"
#include "app/window/MainPages.h"
#include "app/startup/ChannelSet.h"
#include "app/startup/ProgramStartup.h"
#include "app/window/ScreenLog.h"
#include "app/window/UserPrompts.h"

#include "engine/texts/DumpFormats.h"
#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"
#include "net/ThreadChecks.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace {

QString FromStd(const std::string& text)
{
    return QString::fromStdString(text);
}

}  // namespace

void TMainForm::ConnectChannelRow(int channel)
{
    const TChannelRow& row = StatusPage->Channels->Row(channel);
    connect(row.Remarks, &QLineEdit::textChanged, this, &TMainForm::Edit1Change);
    connect(row.BindIp, &QLineEdit::textChanged, this, &TMainForm::Edit2Change);
    connect(row.ListenPort, &QSpinBox::valueChanged, this, &TMainForm::SpinEdit1Change);
    connect(row.MapIp, &QLineEdit::textChanged, this, &TMainForm::Edit3Change);
    connect(row.MapPort, &QSpinBox::valueChanged, this, &TMainForm::SpinEdit2Change);
    connect(row.Map, &QCheckBox::toggled, this, &TMainForm::CheckBox1Click);
    connect(row.MaxSpeed, &QSpinBox::valueChanged, this, &TMainForm::SE_MaxSpeed1Change);
    connect(row.Log, &QCheckBox::toggled, this, &TMainForm::CheckBox2Click);
    connect(row.DataMode, &QComboBox::currentIndexChanged, this, &TMainForm::CO_LogDataMode1Change);
}

void TMainForm::Edit1Change()
{
    PlainEdit();
}
void TMainForm::Edit2Change()
{
    RestartEdit();
    UpdateExposureMarks();
}
void TMainForm::SpinEdit1Change()
{
    RestartEdit();
}
void TMainForm::Edit3Change()
{
    RestartEdit();
}
void TMainForm::SpinEdit2Change()
{
    RestartEdit();
}
void TMainForm::CheckBox1Click()
{
    RestartEdit();
    UpdateExposureMarks();
}
void TMainForm::CheckBox2Click()
{
    LiveEdit();
}
void TMainForm::CO_LogDataMode1Change()
{
    LiveEdit();
}
void TMainForm::SE_MaxSpeed1Change()
{
    LiveEdit();
}

void TMainForm::ConnectOptionControls()
{
    connect(StatusPage->AutoStart, &QCheckBox::toggled, this, &TMainForm::FlagOnlyEdit);
    connect(StatusPage->GotoTNA, &QCheckBox::toggled, this, &TMainForm::ReadBackEdit);
    connect(StatusPage->DelayPerThread, &QCheckBox::toggled, this, &TMainForm::LiveEdit);
    connect(LoggingPage->LogToFile, &QCheckBox::toggled, this, &TMainForm::ReadBackEdit);
    connect(LoggingPage->LogToScreen, &QCheckBox::toggled, this, &TMainForm::ReadBackEdit);
    connect(LoggingPage->WrapLines, &QCheckBox::toggled, this, &TMainForm::WrapLinesClick);
    connect(LoggingPage->LimitScreenLog, &QCheckBox::toggled, this, &TMainForm::LimitEdit);
    connect(LoggingPage->ScreenLogLines, &QSpinBox::valueChanged, this, &TMainForm::LimitEdit);
    connect(LoggingPage->LogConnInfo, &QCheckBox::toggled, this, &TMainForm::LiveEdit);
    connect(LoggingPage->LogDelayInfo, &QCheckBox::toggled, this, &TMainForm::LiveEdit);
}

// A setting that takes effect at the next start: only marked (also while loading).
void TMainForm::RestartEdit()
{
    PortConfigChanged = true;
}

void TMainForm::PlainEdit()
{
    ConfigChanged = true;
}

// A setting the running servers pick up at once.
void TMainForm::LiveEdit()
{
    ConfigChanged = true;
    if (Loading)
        return;
    ControlsToConfig();
    ApplyLiveSettings();
}

// A setting the window reads from the records when it needs it.
void TMainForm::ReadBackEdit()
{
    ConfigChanged = true;
    if (!Loading)
        ControlsToConfig();
}

// Used only at the next program start.
void TMainForm::FlagOnlyEdit()
{
    if (!Loading)
        ConfigChanged = true;
}

void TMainForm::WrapLinesClick()
{
    LoggingPage->View->SetWrapLines(LoggingPage->WrapLines->isChecked());
    if (Loading)
        return;
    ConfigChanged = true;
    ControlsToConfig();
}

void TMainForm::LimitEdit()
{
    if (Loading)
        return;
    ConfigChanged = true;
    ControlsToConfig();
}

void TMainForm::ConfigToControls()
{
    const trabix::TPM_GeneralConfig& general = Settings.General();
    StatusPage->AutoStart->setChecked(general.AutoStart);
    LoggingPage->LogToScreen->setChecked(general.LogToScreen);
    LoggingPage->LogToFile->setChecked(general.LogToFile);
    LoggingPage->WrapLines->setChecked(general.WrapLines);
    // The view follows the setting even when the box does not change.
    LoggingPage->View->SetWrapLines(general.WrapLines);
    StatusPage->GotoTNA->setChecked(general.GotoTNA);
    LoggingPage->LimitScreenLog->setChecked(general.LimitScreenLog);
    LoggingPage->ScreenLogLines->setValue(general.ScreenLogLines);
    LoggingPage->LogConnInfo->setChecked(general.LogConnInfo);
    LoggingPage->LogDelayInfo->setChecked(general.LogDelayInfo);
    StatusPage->DelayPerThread->setChecked(general.DelayPerThread);

    for (int n = 1; n <= ChannelCount; ++n)
        PortToRow(n);
    UpdateExposureMarks();
    UpdateConditionMarks();
    SyncRouting();
}

void TMainForm::PortToRow(int channel)
{
    const trabix::TPM_port& port = Settings.Port(channel);
    const TChannelRow& row = StatusPage->Channels->Row(channel);
    row.Remarks->setText(FromStd(port.Remarks));
    row.BindIp->setText(FromStd(port.BindIp));
    row.MapIp->setText(FromStd(port.MapIp));
    row.ListenPort->setValue(port.ListenPort);  // spin boxes clamp to their bounds
    row.MapPort->setValue(port.MapPort);
    row.Map->setChecked(port.Map);
    row.Log->setChecked(port.Logging);
    const bool known = port.LogDataMode >= 0 && port.LogDataMode < row.DataMode->count();
    row.DataMode->setCurrentIndex(known ? port.LogDataMode : -1);
    row.MaxSpeed->setValue(port.MaxSpeed);
}

void TMainForm::ControlsToConfig()
{
    if (!ConfigChanged && !PortConfigChanged)
        return;
    trabix::TPM_GeneralConfig& general = Settings.General();
    general.AutoStart = StatusPage->AutoStart->isChecked();
    general.LogToScreen = LoggingPage->LogToScreen->isChecked();
    general.LogToFile = LoggingPage->LogToFile->isChecked();
    general.WrapLines = LoggingPage->WrapLines->isChecked();
    general.GotoTNA = StatusPage->GotoTNA->isChecked();
    general.LimitScreenLog = LoggingPage->LimitScreenLog->isChecked();
    general.ScreenLogLines = LoggingPage->ScreenLogLines->value();
    general.LogConnInfo = LoggingPage->LogConnInfo->isChecked();
    general.LogDelayInfo = LoggingPage->LogDelayInfo->isChecked();
    general.DelayPerThread = StatusPage->DelayPerThread->isChecked();

    for (int n = 1; n <= ChannelCount; ++n) {
        trabix::TPM_port& port = Settings.Port(n);
        const TChannelRow& row = StatusPage->Channels->Row(n);
        port.Remarks = row.Remarks->text().toStdString();
        port.BindIp = row.BindIp->text().toStdString();
        port.MapIp = row.MapIp->text().toStdString();
        port.ListenPort = row.ListenPort->value();
        port.MapPort = row.MapPort->value();
        port.Map = row.Map->isChecked();
        port.Logging = row.Log->isChecked();
        port.LogDataMode = row.DataMode->currentIndex();  // -1 when no item is selected
        port.MaxSpeed = row.MaxSpeed->value();
    }
    SyncRouting();
}

// AddLogLine runs on connection threads too; it reads its switches from atomic copies.
void TMainForm::SyncRouting()
{
    const trabix::TPM_GeneralConfig& general = Settings.General();
    Router->Routing.LogToScreen.store(general.LogToScreen);
    Router->Routing.LogToFile.store(general.LogToFile);
    Router->Routing.LimitScreenLog.store(general.LimitScreenLog);
    Router->Routing.ScreenLogLines.store(general.ScreenLogLines);
}

void TMainForm::ApplyLiveSettings()
{
    if (Channels)
        Channels->ApplyLiveSettings();
}

void TMainForm::SaveConfigIfChanged(bool ask)
{
    if (ConfigChanged || PortConfigChanged) {
        ControlsToConfig();
        if (ask && !Prompts.AskYesNo(this, QStringLiteral("Save configuration?")))
            return;
        if (!Settings.Save()) {
            // The edits stay marked as unsaved, so the next save or the close offers them again.
            ReportSaveFailure();
            return;
        }
        ConfigChanged = false;
        PortConfigChanged = false;
    }
    SetStatusText(QString());
}

void TMainForm::ReportSaveFailure()
{
    const std::string text = "Error saving configuration to " + trabix::ConfigFileName();
    // A modal box would hold up a log-off: then the failure goes to the log only.
    if (OsShutdown)
        LogWindowLine(text);
    else
        Prompts.ShowMessage(this, FromStd(text));
}

void TMainForm::StartMappings()
{
    AssertMainThread();
    // A log-off handled while "Save configuration?" was open has released the servers.
    if (ShutDownDone)
        return;
    ShowWaitCursor();
    MappingsActive = true;
    UpdateStartStopButtons();
    Channels->StartAll();
    UpdateStatusLights();
    RestoreCursor();
}

void TMainForm::StopMappings()
{
    AssertMainThread();
    MappingsActive = false;
    ShowWaitCursor();
    UpdateStartStopButtons();
    Channels->StopAll();
    UpdateStatusLights();
    RestoreCursor();
}

void TMainForm::UpdateStartStopButtons()
{
    StatusPage->StartButton->setText(MappingsActive ? QStringLiteral("Rest&art")
                                                    : QStringLiteral("St&art"));
    StatusPage->StartButton->setEnabled(true);
    StatusPage->StopButton->setEnabled(MappingsActive);
}
