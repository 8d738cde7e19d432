// Program entry: the main window, then the About box, then the event loop until the window
// has closed. SIGTERM and SIGHUP and the session manager's commit request run the window's
// log-off path, which saves edited settings silently and stops the mappings in order.
#include "ProgramIcon.h"
#include "ScreenshotSeam.h"
#include "ShutdownSignals.h"
#include "SyncPump.h"
#include "UserPrompts.h"
#include "pm_About.h"
#include "pm_main.h"

#include "qv_InetFuncs.h"

#include <QApplication>
#include <QSessionManager>
#include <QTimer>

#include <csignal>

int main(int argc, char *argv[])
{
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
        TMainForm mainForm(prompts);
        TPMAboutDialog about(prompts, [](const std::string &url) {
            return trabix::OpenInDefaultBrowser(url);
        });
        mainForm.SetAboutDialog(&about);
        QObject::connect(&mainForm, &TMainForm::ProgramClosed, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);

        TShutdownSignals shutdownSignals;
        QObject::connect(&shutdownSignals, &TShutdownSignals::ShutdownRequested, &mainForm,
                         &TMainForm::OsShutdownQuery);
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &mainForm,
                         [&mainForm](QSessionManager &) { mainForm.OsShutdownQuery(); },
                         Qt::DirectConnection);

        InstallScreenshotSeam(mainForm);
        mainForm.show();
        exitCode = QApplication::exec();
        UninstallSyncPump();
    }
    return exitCode;
}
