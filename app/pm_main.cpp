// Assembly of the main window, its start-up, the close query and the shutdown sequence.
#include "app/pm_main.h"

#include "app/startup/AppTitles.h"
#include "app/window/LogRouter.h"
#include "app/window/MainPages.h"
#include "app/window/ProgramIcon.h"
#include "app/startup/ProgramStartup.h"
#include "app/window/ScreenLog.h"
#include "app/startup/SyncPump.h"
#include "app/window/TrayIcon.h"
#include "app/window/UserPrompts.h"
#include "app/connections/ConnectionsPage.h"
#include "app/pm_About.h"
#include "app/pm_main_api.h"
#include "app/api/ControlApi.h"
#include "app/startup/ChannelSet.h"

#include "engine/texts/DumpFormats.h"
#include "net/IdAntiFreeze.h"
#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"
#include "config/qvx_logger.h"

#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QHeaderView>
#include <QLayout>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

// The window's bounds as the settings file sees them: the frame's position, the client size.
class TFormBounds : public trabix::TWindowBounds {
public:
    explicit TFormBounds(QWidget& form) : Form(form) {}
    std::int32_t Top() const override { return Form.y(); }
    std::int32_t Left() const override { return Form.x(); }
    std::int32_t Height() const override { return Form.height(); }
    std::int32_t Width() const override { return Form.width(); }
    void SetTop(std::int32_t value) override { Form.move(Form.x(), value); }
    void SetLeft(std::int32_t value) override { Form.move(value, Form.y()); }
    void SetHeight(std::int32_t value) override { Form.resize(Form.width(), value); }
    void SetWidth(std::int32_t value) override { Form.resize(value, Form.height()); }

private:
    QWidget& Form;
};

}  // namespace

TMainForm::TMainForm(TUserPrompts& prompts, trabix::TSettings& settings, QWidget* parent)
    : QMainWindow(parent),
      Prompts(prompts),
      Settings(settings),
      Router(std::make_shared<TLogRouter>())
{
    setWindowIcon(ProgramIcon());
    setGeometry(152, 180, 1000, 498);
    CreatePages();
    CreateMenus();
    CreateStatusBar();
    CreateTimers();
    Tray = new TTrayIcon(this);
    ConnectHandlers();
    InstallSyncPump();
    // Socket waits on the main thread stay responsive: the anti-freeze pumps the event loop.
    AntiFreeze = std::make_unique<TIdAntiFreeze>();
    // Qt has no call that handles exactly one waiting event; both ways handle what is pending.
    AntiFreeze->SetProcessHook([](bool) { QCoreApplication::processEvents(); });
    FormCreate();
}

TMainForm::~TMainForm()
{
    // A window destroyed without its close sequence (tests) still stops its servers first, so
    // no connection thread outlives the objects it reports to.
    StopControlApi();
    Channels.reset();
    Router->ReleaseFileWriter();
    Router->DetachView();
    RestoreCursor();
}

void TMainForm::CreatePages()
{
    Pages = new QTabWidget(this);
    // Narrower or lower than the channel table needs, the page scrolls instead of squeezing
    // its fields below their texts.
    auto* statusScroll = new QScrollArea(Pages);
    statusScroll->setFrameShape(QFrame::NoFrame);
    statusScroll->setWidgetResizable(true);
    statusScroll->setFocusPolicy(Qt::NoFocus);  // Tab goes from the tabs straight to the fields
    StatusPage = new TStatusPage(statusScroll);
    statusScroll->setWidget(StatusPage);
    LoggingPage = new TLoggingPage(Pages);
    Pages->addTab(statusScroll, QStringLiteral("S&tatus"));
    Pages->addTab(LoggingPage, QStringLiteral("&Logging"));
    CreateConnectionsPage();
    setCentralWidget(Pages);
    Router->AttachView(LoggingPage->View);
}

void TMainForm::CreateMenus()
{
    FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    SaveConfigAction = FileMenu->addAction(QStringLiteral("&Save Config"));
    OpenLogFolderAction = FileMenu->addAction(QStringLiteral("Open &Log Folder"));
    FileMenu->addSeparator();
    ExitAction = FileMenu->addAction(QStringLiteral("E&xit"));

    MappingsMenu = menuBar()->addMenu(QStringLiteral("&Mappings"));
    StartRestartAction = MappingsMenu->addAction(QStringLiteral("St&art/Restart"));
    StopAction = MappingsMenu->addAction(QStringLiteral("St&op"));
    ResetCountersAction = MappingsMenu->addAction(QStringLiteral("R&eset Counters"));

    ScreenlogMenu = menuBar()->addMenu(QStringLiteral("S&creenlog"));
    ClearAction = ScreenlogMenu->addAction(QStringLiteral("Clear"));
    SaveToFileAction = ScreenlogMenu->addAction(QStringLiteral("Save to file"));
    SaveToFileAction->setEnabled(false);  // enabled at the end of FormCreate

    HelpMenu = menuBar()->addMenu(QStringLiteral("?"));
    AboutAction = HelpMenu->addAction(QStringLiteral("About"));
}

void TMainForm::CreateStatusBar()
{
    // A permanent label: QStatusBar's own message would be replaced by menu hints.
    StatusBarText = new QLabel(this);
    statusBar()->addWidget(StatusBarText, 1);
}

void TMainForm::CreateTimers()
{
    Timer1 = new QTimer(this);
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer1->start();
    // The deferred start-up step: ticks until it has run once after the event loop started.
    Timer2 = new QTimer(this);
    Timer2->setInterval(100);
    connect(Timer2, &QTimer::timeout, this, &TMainForm::Timer2Timer);
    Timer2->start();
}

void TMainForm::ConnectHandlers()
{
    connect(SaveConfigAction, &QAction::triggered, this, &TMainForm::SaveConfig1Click);
    connect(OpenLogFolderAction, &QAction::triggered, this, &TMainForm::OpenLogFolder);
    connect(ExitAction, &QAction::triggered, this, &QWidget::close);
    connect(StartRestartAction, &QAction::triggered, this, &TMainForm::B_StartClick);
    connect(StatusPage->StartButton, &QPushButton::clicked, this, &TMainForm::B_StartClick);
    connect(StopAction, &QAction::triggered, this, &TMainForm::B_StopClick);
    connect(StatusPage->StopButton, &QPushButton::clicked, this, &TMainForm::B_StopClick);
    connect(ResetCountersAction, &QAction::triggered, this, &TMainForm::B_ResetCountersClick);
    connect(StatusPage->ResetButton, &QPushButton::clicked, this, &TMainForm::B_ResetCountersClick);
    connect(ClearAction, &QAction::triggered, this, &TMainForm::B_ClearClick);
    connect(LoggingPage->ClearButton, &QPushButton::clicked, this, &TMainForm::B_ClearClick);
    connect(SaveToFileAction, &QAction::triggered, this, &TMainForm::B_SaveToFileClick);
    connect(LoggingPage->SaveButton, &QPushButton::clicked, this, &TMainForm::B_SaveToFileClick);
    connect(AboutAction, &QAction::triggered, this, &TMainForm::ShowAbout);
    connect(Tray, &TTrayIcon::RestoreRequested, this, &TMainForm::Restore1Click);
    connect(Tray, &TTrayIcon::ExitRequested, this, &TMainForm::Exit2Click);

    for (int n = 1; n <= ChannelCount; ++n)
        ConnectChannelRow(n);
    connect(StatusPage->Channels, &TChannelTable::SettingsRequested, this,
            &TMainForm::ShowChannelSettings);
    ConnectOptionControls();
}

void TMainForm::B_StartClick()
{
    SaveConfigIfChanged(true);
    StartMappings();
}

void TMainForm::B_StopClick()
{
    StopMappings();
}

void TMainForm::SaveConfig1Click()
{
    SaveConfigIfChanged(false);
}

void TMainForm::B_ResetCountersClick()
{
    ResetAllCounters();
}

void TMainForm::B_ClearClick()
{
    ClearScreenLog();
}

void TMainForm::B_SaveToFileClick()
{
    SaveScreenLog();
}

void TMainForm::Exit2Click()
{
    // The tray menu still works while the close question waits. Qt does not deliver a second
    // close to a window whose close is in progress: it only destroys the native window, and
    // the program would run on without one.
    if (CloseQueryRunning)
        return;
    close();
}

void TMainForm::Restore1Click()
{
    ComeFromTaskBar();
}

void TMainForm::FormCreate()
{
    Loading = true;
    Router->LogEntryCount.store(0);
    OsShutdown = false;
    SetTitles();

    MappingsActive = false;
    UpdateStartStopButtons();
    Pages->setCurrentIndex(0);  // "S&tatus"

    if (Settings.Load()) {
        ConfigToControls();
        ConfigChanged = false;
        PortConfigChanged = false;
        TFormBounds bounds(*this);
        const QSize first = FirstSize();
        trabix::LoadWindowPos(bounds, 0, 0, first.width(), first.height());
        FitIntoScreen();
        SetTitles();
    } else {
        Prompts.ShowMessage(this,
                            QStringLiteral("Error loading configuration, using default values"));
    }
    SyncRouting();
    // The AppTitle setting extends both titles.
    const QString extra = QString::fromStdString(Settings.General().AppTitle);
    AppTitleText = TitleWithExtra(ShortTitle, extra);
    setWindowTitle(TitleWithExtra(LongTitle, extra));
    Prompts.SetBoxTitle(AppTitleText);

    std::unique_ptr<trabix::TQVX_Logger> logger = MakeProgramLogger();
    ShowPlaces(*logger);
    Router->OpenLogFile(std::move(logger));

    EnableControls();
    LogWindowLine(ProgramStartedText());
    if (const std::string notice = RaiseOpenFileLimit(); !notice.empty())
        LogWindowLine(notice);
    SaveDialogFolder = QCoreApplication::applicationDirPath();
    CreateMappings();
    StartControlApi();
    Loading = false;
}

QRect FitIntoArea(const QRect& bounds, const QRect& area, const QMargins& frame)
{
    // The frame around the client area counts: the whole window must fit.
    const QRect inner = area.marginsRemoved(frame);
    QRect fitted(bounds.topLeft(), bounds.size().boundedTo(inner.size()));
    fitted.moveLeft(std::clamp(fitted.left(), inner.left(), inner.right() + 1 - fitted.width()));
    fitted.moveTop(std::clamp(fitted.top(), inner.top(), inner.bottom() + 1 - fitted.height()));
    return fitted;
}

// What the pages ask for, in the window's own units: the channel table's page as its layout
// wants it, and the Connections tab's columns side by side, each with room for a vertical
// scroll bar (should the height not do), plus what the tabs and the window put around a page.
// FitIntoScreen then cuts it to the screen.
QSize TMainForm::FirstSize() const
{
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int status = StatusPage->sizeHint().width() + scrollBar;
    const QTableView* view = ConnectionsPage->View;
    const QMargins pageMargins = ConnectionsPage->layout()->contentsMargins();
    const int connections = view->horizontalHeader()->length() + 2 * view->frameWidth() +
        scrollBar + pageMargins.left() + pageMargins.right();
    int widestPage = 0;
    for (int i = 0; i < Pages->count(); ++i)
        widestPage = std::max(widestPage, Pages->widget(i)->sizeHint().width());
    const int around = sizeHint().width() - widestPage;
    return QSize(std::max({950, status + around, connections + around}), 500);
}

// Stored bounds come from another screen or another scale: what is left of them on this
// screen is what a user can reach. The frame is not known before the window is shown; the
// style's title bar and frame stand in for it.
void TMainForm::FitIntoScreen()
{
    const QScreen* target = QGuiApplication::screenAt(geometry().center());
    if (!target)
        target = screen();
    if (!target)
        return;
    const int border = style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth);
    const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const QMargins frame(border, border + title, border, border);
    setGeometry(FitIntoArea(geometry(), target->availableGeometry(), frame));
}

void TMainForm::SetTitles()
{
    setWindowTitle(LongTitle);
    AppTitleText = ShortTitle;
    Prompts.SetBoxTitle(AppTitleText);
}

void TMainForm::EnableControls()
{
    StatusPage->Channels->SetRowsEnabled(true);
    for (QWidget* w :
         {static_cast<QWidget*>(StatusPage->AutoStart), static_cast<QWidget*>(StatusPage->GotoTNA),
          static_cast<QWidget*>(StatusPage->DelayPerThread)})
        w->setEnabled(true);
    for (QWidget* w : LoggingPage->OptionControls())
        w->setEnabled(true);
    LoggingPage->SaveButton->setEnabled(true);
    SaveToFileAction->setEnabled(true);
}

void TMainForm::Timer2Timer()
{
    // A tick can arrive while a message box of FormCreate is open.
    if (Loading)
        return;
    if (!AboutDialog)
        return;
    Timer2->stop();
    if (Settings.General().AutoStart) {
        StartMappings();
        GoToTray();
    }
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (ShutDownDone) {
        event->accept();
        return;
    }
    CloseQueryRunning = true;
    const bool canClose = FormCloseQuery();
    CloseQueryRunning = false;
    if (!canClose) {
        event->ignore();
        return;
    }
    event->accept();
    emit ProgramClosed();
}

bool TMainForm::FormCloseQuery()
{
    if (OsShutdown) {
        // A log-off or shutdown: no question, edited settings are saved silently.
        SaveConfigIfChanged(false);
        ShutDownProgram();
        return true;
    }
    bool canClose = true;
    if (MappingsActive)
        canClose = Prompts.AskYesNo(
            this,
            QStringLiteral("Closing the program stops all active port mappings!\r\n"
                           "Close program?"));
    // A log-off signal handled while the question was open may have closed everything.
    if (ShutDownDone)
        return true;
    if (canClose) {
        SaveConfigIfChanged(true);
        ShutDownProgram();
    }
    return canClose;
}

void TMainForm::OsShutdownQuery()
{
    if (ShutDownDone || OsShutdown)
        return;
    // The log-off runs here and now, not through close(): this may run inside the event loop
    // of a modal box (the close question among them), and a close requested while another is
    // in progress never reaches the window. The boxes are ended afterwards; the code waiting
    // on each of them finds the program shut down and does nothing more.
    OsShutdown = true;
    FormCloseQuery();
    CloseModalBoxes();
    emit ProgramClosed();
}

void TMainForm::ShutDownProgram()
{
    if (ShutDownDone)
        return;
    ShowWaitCursor();
    SetStatusText(QStringLiteral("closing mappings - please wait ..."));
    // The stop of StopMappings, with the servers released before its stop line: releasing a
    // server waits for its connection threads, whose last lines (handed over while they end)
    // thus come before the stop line, and the log ends with the stop line and the line below.
    MappingsActive = false;
    UpdateStartStopButtons();
    FreeMappings();
    UpdateStatusLights();
    SetStatusText(QString());
    LogWindowLine(ProgramStoppedText());
    // From here on no line reaches the logger or the view: the stop line stays the last one.
    // Closing the router releases the daily file logger.
    Router->Close();
    FlushScreenLog();
    TFormBounds bounds(*this);
    trabix::SaveWindowPos(bounds);
    Tray->Remove();
    RestoreCursor();
    ShutDownDone = true;
}

void TMainForm::CreateMappings()
{
    std::weak_ptr<TLogRouter> router = Router;
    Channels = std::make_unique<TChannelSet>(Settings, [router](const std::string& text) {
        if (auto target = router.lock())
            target->AddLogLine(text);
    });
}

// Every server stopped and released, then the stop line (TChannelSet::ShutDown).
void TMainForm::FreeMappings()
{
    StopControlApi();
    if (Channels)
        Channels->ShutDown();
    else
        LogWindowLine(StoppedAllText);
}

TqvMappedPortTCP* TMainForm::Mapping(int channel) const
{
    return Channels ? Channels->Server(channel) : nullptr;
}

void TMainForm::AddLogLine(const std::string& text)
{
    Router->AddLogLine(text);
}

void TMainForm::FlushScreenLog()
{
    Router->FlushToView();
}

void TMainForm::LogWindowLine(const std::string& text)
{
    AddLogLine(ProgramLine(text));
}

QString TMainForm::StatusText() const
{
    return StatusBarText->text();
}

void TMainForm::SetStatusText(const QString& text)
{
    StatusBarText->setText(text);
}

// The wait cursor is one state, not a stack: any restore brings the normal cursor back.
void TMainForm::ShowWaitCursor()
{
    if (WaitCursorShown)
        return;
    WaitCursorShown = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void TMainForm::RestoreCursor()
{
    if (!WaitCursorShown)
        return;
    WaitCursorShown = false;
    QApplication::restoreOverrideCursor();
}

void TMainForm::ShowAbout()
{
    if (!AboutDialog)
        return;
    AboutDialog->SetPlaces(SettingsFileText, LogFolderText);
    AboutDialog->ShowAbout(ShortTitle, LongTitle);
}

void TMainForm::PrepareAbout()
{
    if (!AboutDialog)
        return;
    AboutDialog->SetPlaces(SettingsFileText, LogFolderText);
    AboutDialog->PrepareShow(ShortTitle, LongTitle);
}

// Where this run keeps its settings and writes its log files, taken from the logger itself.
void TMainForm::ShowPlaces(const trabix::TQVX_Logger& logger)
{
    SettingsFileText = QString::fromStdString(trabix::ConfigFileName());
    LogFolderText = QString::fromStdString(logger.Directory);
    LoggingPage->ShowPlaces(SettingsFileText, LogFolderText);
}

// Opens the log folder in the file manager the same way the About box opens its link.
void TMainForm::OpenLogFolder()
{
    const std::string url = QUrl::fromLocalFile(LogFolderText).toString().toStdString();
    if (!AboutDialog || !AboutDialog->OpenAddress(url))
        Prompts.ShowMessage(this, QStringLiteral("Error opening the log folder ") + LogFolderText);
}
