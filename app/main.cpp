// Program entry: the main window, then the About box, then the event loop until the window
// has closed. SIGTERM and SIGHUP and the session manager's commit request run the window's
// log-off path, which saves edited settings silently and stops the mappings in order.
#include "ProgramMain.h"
#include "ScreenshotSeam.h"

int main(int argc, char *argv[])
{
    TProgramHooks hooks;
    hooks.BeforeShow = [](TMainForm &mainForm, TShutdownSignals &) {
        InstallScreenshotSeam(mainForm);
    };
    return RunProgram(argc, argv, hooks);
}
