// TMainForm: the main window. It owns the channel set (the eight mapping servers, shared in
// kind with the headless twin), the log router and the anti-freeze, moves settings between the
// settings records and the controls, starts and stops the mappings through the channel set,
// shows the status of each channel and routes every log line to the screen log and the daily
// file.
//
// How to use it: construct it with the prompts it asks its questions through (the program
// passes TQtUserPrompts, tests their own answers) and the settings it loads, shows, edits and
// saves (owned by the caller, used by this window alone); the constructor runs FormCreate.
// Hand it the About box with SetAboutDialog, show it, and run the event loop; it emits
// ProgramClosed when its shutdown sequence has run and the program may end.
//
// Threads: everything here runs on the main thread, except AddLogLine, which connection
// threads call directly (the error line of a connection that ends by an exception).
#pragma once

#include "app/window/ChannelTable.h"

#include <QMainWindow>

#include <memory>
#include <string>

class QAction;
class QLabel;
class QMenu;
class QTabWidget;
class QTimer;
class TLogRouter;
class TLoggingPage;
class TPMAboutDialog;
class TStatusPage;
class TConnectionsPage;
class TTrayIcon;
class TUserPrompts;

class TChannelSet;
class TControlApi;
class TIdAntiFreeze;
class TWindowApiFace;
class TqvMappedPortTCP;
namespace trabix {
class TQVX_Logger;
class TSettings;
struct TPM_port;
}  // namespace trabix

// Bounds (the client area, placed at its frame's top left as the settings store it) moved and
// cut so that with the frame around them they lie inside area.
QRect FitIntoArea(const QRect& bounds, const QRect& area, const QMargins& frame);

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    TMainForm(TUserPrompts& prompts, trabix::TSettings& settings, QWidget* parent = nullptr);
    ~TMainForm() override;

    void SetAboutDialog(TPMAboutDialog* about) { AboutDialog = about; }
    TPMAboutDialog* About() const { return AboutDialog; }

    // Thread safe: the window's log entry point (see TLogRouter for how lines travel).
    void AddLogLine(const std::string& text);
    // Takes log lines handed over so far into the view now (they arrive by themselves in the
    // next event loop pass).
    void FlushScreenLog();

    // The operations below follow the program's own vocabulary; the handlers call them.
    void Timer1Timer();
    void Timer2Timer();
    bool FormCloseQuery();
    void OsShutdownQuery();
    void ShutDownProgram();
    void CreateMappings();
    void FreeMappings();
    void ConfigToControls();
    void ControlsToConfig();
    void ApplyLiveSettings();
    void SaveConfigIfChanged(bool ask);
    void StartMappings();
    void StopMappings();
    void UpdateStartStopButtons();
    void UpdateStatusLabels();
    void UpdateStatusLights();
    void ResetAllCounters();
    void ApplicationMinimize();
    void GoToTray();
    void ComeFromTaskBar();
    void SaveScreenLog();
    void ClearScreenLog();
    void ShowAbout();
    // Fills the About box as ShowAbout does, without showing it (the screenshot seam).
    void PrepareAbout();
    void OpenLogFolder();
    // Opens the channel's "Channel Settings" dialog (window-modal, without a nested event
    // loop); OK applies its values at once, as a live edit.
    void ShowChannelSettings(int channel);
    // The warning mark of every row whose channel listens, or will at the next start, on all
    // addresses for every client (TChannelSet's rule, on the row's values).
    void UpdateExposureMarks();
    // The conditions mark beside the light of every row whose channel has network conditions.
    void UpdateConditionMarks();

    // Handlers, named after their control and event. The menu items that do what a button does
    // share its handler.
    void B_StartClick();  // also "St&art/Restart" (StartRestart1Click)
    void B_StopClick();  // also "St&op" (Stop1Click)
    void SaveConfig1Click();
    void B_ResetCountersClick();  // also ResetCounters1Click
    void B_ClearClick();  // also Clear1Click
    void B_SaveToFileClick();  // also Savetofile1Click
    void Exit2Click();  // the tray menu's "Exit"
    void Restore1Click();  // the tray menu's "Restore"
    // The row handlers, shared by all eight rows.
    void Edit1Change();  // Remarks
    void Edit2Change();  // Bind IP
    void SpinEdit1Change();  // Listen Port
    void Edit3Change();  // Map IP
    void SpinEdit2Change();  // Map Port
    void CheckBox1Click();  // Map
    void CheckBox2Click();  // Log
    void CO_LogDataMode1Change();  // Data Mode
    void SE_MaxSpeed1Change();  // Max.(Byte/s)

    // The control API, when the command line or ApiListen turns it on (pm_main_api.cpp);
    // stopped before the mappings are released.
    void StartControlApi();
    void StopControlApi();
    TControlApi* ControlApi() const { return Api.get(); }
    // Channel n's record changed from outside (the control API): its row shows it as a load
    // does, the marks and lights follow, and the settings count as edited.
    void ShowChannelChange(int channel);

    // State, open for the tests.
    bool MappingsActive = false;
    bool PortConfigChanged = false;
    bool ConfigChanged = false;
    bool Loading = false;
    bool OsShutdown = false;

    TqvMappedPortTCP* Mapping(int channel) const;
    TChannelSet& ChannelSet() const { return *Channels; }
    QString StatusText() const;
    QString ApplicationTitle() const { return AppTitleText; }
    TStatusPage* StatusPage = nullptr;
    TLoggingPage* LoggingPage = nullptr;
    TConnectionsPage* ConnectionsPage = nullptr;
    QTabWidget* Pages = nullptr;
    TTrayIcon* Tray = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QMenu* FileMenu = nullptr;
    QMenu* MappingsMenu = nullptr;
    QMenu* ScreenlogMenu = nullptr;
    QMenu* HelpMenu = nullptr;
    QAction* SaveConfigAction = nullptr;
    QAction* OpenLogFolderAction = nullptr;  // "Open &Log Folder"
    QAction* ExitAction = nullptr;
    QAction* StartRestartAction = nullptr;
    QAction* StopAction = nullptr;
    QAction* ResetCountersAction = nullptr;
    QAction* ClearAction = nullptr;
    QAction* SaveToFileAction = nullptr;
    QAction* AboutAction = nullptr;
    QString SaveDialogFolder;

signals:
    // The shutdown sequence has run; the event loop may end.
    void ProgramClosed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Assembly, in pm_main.cpp.
    void CreateMenus();
    void CreatePages();
    void CreateStatusBar();
    void CreateTimers();
    void ConnectHandlers();
    void ConnectChannelRow(int channel);
    void ConnectOptionControls();
    void FormCreate();
    void SetTitles();
    void FitIntoScreen();
    void EnableControls();
    void SetStatusText(const QString& text);
    void ShowWaitCursor();
    void RestoreCursor();
    void LogWindowLine(const std::string& text);
    void ShowPlaces(const trabix::TQVX_Logger& logger);

    // The "Connections" tab, in pm_main_connections.cpp.
    void CreateConnectionsPage();

    // Kinds of edit, in pm_main_mappings.cpp.
    void RestartEdit();
    void PlainEdit();
    void LiveEdit();
    void ReadBackEdit();
    void FlagOnlyEdit();
    void WrapLinesClick();
    void LimitEdit();
    void SyncRouting();
    void ReportSaveFailure();
    // Channel n's record into its row's controls.
    void PortToRow(int channel);
    // The channel's record with the row's listening fields as they will be used at the next
    // start (they reach the record only when the controls are copied into the settings).
    trabix::TPM_port RowPort(int channel) const;
    // The size the window opens with when no bounds are stored: the whole channel table and
    // the Connections tab's columns, as far as the screen has room.
    QSize FirstSize() const;
    void UpdateRefusedTip(int channel, const TqvMappedPortTCP* server);

    TUserPrompts& Prompts;
    trabix::TSettings& Settings;
    TPMAboutDialog* AboutDialog = nullptr;
    std::shared_ptr<TLogRouter> Router;
    std::unique_ptr<TChannelSet> Channels;
    std::unique_ptr<TIdAntiFreeze> AntiFreeze;
    std::unique_ptr<TWindowApiFace> ApiFace;
    std::unique_ptr<TControlApi> Api;  // after ApiFace: destroyed before it
    QLabel* StatusBarText = nullptr;
    QString AppTitleText;
    QString SettingsFileText;
    QString LogFolderText;
    bool WaitCursorShown = false;
    bool ShutDownDone = false;
    // closeEvent is running the close query (its questions may be open).
    bool CloseQueryRunning = false;
};
