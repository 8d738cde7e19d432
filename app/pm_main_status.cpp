// The status display, the tray, and the screen log commands of the main window.
#include "app/pm_main.h"

#include "app/window/LogRouter.h"
#include "app/startup/ChannelSet.h"
#include "app/window/MainPages.h"
#include "app/window/ScreenLog.h"
#include "app/window/TrayIcon.h"
#include "app/window/UserPrompts.h"

#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"
#include "config/qv_InetFuncs.h"

#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>

namespace {

// One status label: "%3d" act, "%5d" tot, then each byte count in five characters and a unit
// letter, or a dash where the channel does not count bytes (data dump mode 0).
QString StatusLabelText(int act, int tot, std::int64_t bytesCS, std::int64_t bytesSC)
{
    QString text = QString::asprintf("%3d %5d ", act, tot);
    text += bytesCS < 0 ? QStringLiteral("    - ")
                        : QString::fromStdString(trabix::FormatByteSize(5, bytesCS)) + ' ';
    text += bytesSC < 0 ? QStringLiteral("    -")
                        : QString::fromStdString(trabix::FormatByteSize(5, bytesSC));
    return text;
}

}  // namespace

void TMainForm::Timer1Timer()
{
    if (PortConfigChanged)
        SetStatusText(
            QStringLiteral("Configuration of mapping(s) changed - Restart mappings now."));
    if (MappingsActive)
        UpdateStatusLabels();
}

void TMainForm::UpdateStatusLabels()
{
    for (int n = 1; n <= ChannelCount; ++n) {
        TqvMappedPortTCP* server = Mapping(n);
        QString text;
        if (server && server->Active()) {
            std::int32_t act = 0, tot = 0;
            std::int64_t bytesCS = 0, bytesSC = 0;
            server->GetCounters(act, tot, bytesCS, bytesSC);
            text = StatusLabelText(act, tot, bytesCS, bytesSC);
        }
        StatusPage->Channels->Row(n).Status->setText(text);
        UpdateRefusedTip(n, server && server->Active() ? server : nullptr);
    }
}

// The refusal counter has no column of its own: the row's tooltip shows it.
void TMainForm::UpdateRefusedTip(int channel, const TqvMappedPortTCP* server)
{
    const QString tip = server
        ? QStringLiteral("Refused connections: %1").arg(server->RefusedIn.load())
        : QString();
    const TChannelRow& row = StatusPage->Channels->Row(channel);
    for (QWidget* w : {static_cast<QWidget*>(row.Status), static_cast<QWidget*>(row.Light)})
        if (w->toolTip() != tip)
            w->setToolTip(tip);
}

void TMainForm::UpdateStatusLights()
{
    // Released servers (after the shutdown) show the neutral light.
    for (int n = 1; n <= ChannelCount; ++n)
        StatusPage->Channels->SetLight(n, Channels && Channels->Listening(n));
}

void TMainForm::ResetAllCounters()
{
    for (int n = 1; n <= ChannelCount; ++n)
        if (TqvMappedPortTCP* server = Mapping(n))
            server->ResetCounters();
    UpdateStatusLabels();
}

void TMainForm::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // Hiding inside the state change would fight the window manager's own handling of it.
    QTimer::singleShot(0, this, [this] {
        if (isMinimized())
            ApplicationMinimize();
    });
}

void TMainForm::ApplicationMinimize()
{
    // Without "Mi&nimize->TNA" (or without a tray) the window stays minimised as usual.
    if (Settings.General().GotoTNA)
        GoToTray();
}

void TMainForm::GoToTray()
{
    if (!Settings.General().GotoTNA)
        return;
    // Where the desktop has no tray the icon could never be seen: hiding the window would
    // leave the program unreachable, so it stays as it is.
    if (!TTrayIcon::Available())
        return;
    Tray->Add(AppTitleText);
    hide();
}

void TMainForm::ComeFromTaskBar()
{
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
    Tray->Remove();
    show();
}

void TMainForm::ClearScreenLog()
{
    FlushScreenLog();
    LoggingPage->View->clear();
}

void TMainForm::SaveScreenLog()
{
    FlushScreenLog();
    QString name = Prompts.AskSaveFileName(this, SaveDialogFolder, QStringLiteral("txt"));
    if (name.isEmpty())
        return;
    if (QFileInfo(name).suffix().isEmpty())
        name += QStringLiteral(".txt");
    if (!LoggingPage->View->SaveToFile(name))
        Prompts.ShowMessage(this, QStringLiteral("Error saving file"));
}
