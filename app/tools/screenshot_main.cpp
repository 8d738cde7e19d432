// trabix-screenshot: the window program with the screenshot seam (ScreenshotSeam.h), for
// scripts/screenshot.sh only. It starts as the program's window does, on the same command
// line; the shipped program has no seam.
#include "app/ProgramMain.h"
#include "app/startup/CommandLine.h"
#include "app/startup/ProgramStartup.h"
#include "app/tools/ScreenshotSeam.h"

int main(int argc, char* argv[])
{
    const TCommandLine commandLine = ParseCommandLine(argc, argv);
    if (commandLine.Action != TCommandLine::TAction::Run)
        return FinishCommandLine(commandLine);
    SetUpProgramPaths(commandLine.ConfigFile);
    TProgramHooks hooks;
    hooks.BeforeShow = [](TMainForm& mainForm, TProgramSignals&) {
        InstallScreenshotSeam(mainForm);
    };
    return RunProgram(argc, argv, hooks);
}
