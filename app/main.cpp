// Program entry. The command line decides first (--help, --version, a wrong option end here);
// then the settings file and log folder are chosen (and --api, which wins over ApiListen),
// and --export-ca writes the local authority found beside that settings file, or either the
// headless twin or the window starts on them.
// The window: the main window, then the About box, then the event loop until the window has
// closed. SIGTERM and SIGHUP and the session manager's commit request run the window's log-off
// path, which saves edited settings silently and stops the mappings in order.
#include "app/ProgramMain.h"
#include "app/api/ApiAddress.h"
#include "app/headless/HeadlessTwin.h"
#include "app/startup/CommandLine.h"
#include "app/startup/ProgramStartup.h"

int main(int argc, char* argv[])
{
    const TCommandLine commandLine = ParseCommandLine(argc, argv);
    using TAction = TCommandLine::TAction;
    if (commandLine.Action != TAction::Run && commandLine.Action != TAction::ExportCa)
        return FinishCommandLine(commandLine);
    SetUpProgramPaths(commandLine.ConfigFile);
    if (commandLine.Action == TAction::ExportCa)
        return ExportLocalAuthority(commandLine.ExportFile);
    OverrideApiListen(commandLine.ApiListen);
    if (commandLine.Headless)
        return RunHeadless(argc, argv);
    return RunProgram(argc, argv);
}
