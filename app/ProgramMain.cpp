#include "app/ProgramMain.h"

#include "app/window/ProgramIcon.h"
#include "app/startup/ProgramSignals.h"
#include "app/startup/SyncPump.h"
#include "app/window/UserPrompts.h"
#include "app/pm_About.h"
#include "app/pm_main.h"

#include "config/pm_config.h"
#include "config/qv_InetFuncs.h"

#include <QApplication>
#include <QSessionManager>

#include <csignal>

int RunProgram(int argc, char* argv[], const TProgramHooks& hooks)
{
    // Before any thread exists, so every thread Qt starts keeps the signals blocked.
    TProgramSignals::HoldSignals(TProgramSignals::TFace::Window);
    // A send to a vanished peer must end that connection, not the program.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trabix"));
    QApplication::setWindowIcon(ProgramIcon());
    // The window decides itself when the program ends (a window hidden in the tray is closed
    // without ever being the last visible one).
    QApplication::setQuitOnLastWindowClosed(false);

    TQtUserPrompts prompts;
    int exitCode = 0;
    {
        // Installed before the window, whose start-up may already show a message box: a
        // log-off meanwhile ends that box and is carried out once the window exists.
        TProgramSignals shutdownSignals(TProgramSignals::TFace::Window);
        bool logOffDuringStartUp = false;
        const QMetaObject::Connection startUpWatch = QObject::connect(
            &shutdownSignals, &TProgramSignals::ShutdownRequested, [&logOffDuringStartUp] {
                logOffDuringStartUp = true;
                CloseModalBoxes();
            });

        trabix::TSettings settings;  // the window's to load, show, edit and save
        TMainForm mainForm(prompts, settings);
        QObject::disconnect(startUpWatch);
        std::function<bool(const std::string&)> openBrowser = hooks.OpenBrowser;
        if (!openBrowser)
            openBrowser = [](const std::string& url) { return trabix::OpenInDefaultBrowser(url); };
        TPMAboutDialog about(prompts, openBrowser);
        mainForm.SetAboutDialog(&about);
        QObject::connect(&mainForm, &TMainForm::ProgramClosed, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);

        if (hooks.BeforeShow)
            hooks.BeforeShow(mainForm, shutdownSignals);
        QObject::connect(&shutdownSignals, &TProgramSignals::ShutdownRequested, &mainForm,
                         &TMainForm::OsShutdownQuery);
        QObject::connect(
            &app, &QGuiApplication::commitDataRequest, &mainForm,
            [&mainForm](QSessionManager&) { mainForm.OsShutdownQuery(); }, Qt::DirectConnection);
        if (logOffDuringStartUp)
            mainForm.OsShutdownQuery();
        else
            mainForm.show();
        exitCode = QApplication::exec();
        UninstallSyncPump();
        if (hooks.AfterExec)
            hooks.AfterExec();
    }
    return exitCode;
}
