// The program's start-up and event loop, shared by the program entry and by tools that run
// the real window (the benchmark's event-loop probe). Main thread only.
#pragma once

#include <functional>
#include <string>

class TMainForm;
class TProgramSignals;

struct TProgramHooks {
    // Runs once the window and the shutdown signals exist, before the window's log-off path is
    // connected to those signals and before the window is shown.
    std::function<void(TMainForm&, TProgramSignals&)> BeforeShow;
    // Runs when the event loop has ended, while the application object still exists.
    std::function<void()> AfterExec;
    // Opens an address for the About box's link; the user's default browser when not set.
    std::function<bool(const std::string&)> OpenBrowser;
};

// Creates the application, the main window and the About box, runs the event loop until the
// window has closed, and returns the exit status.
int RunProgram(int argc, char* argv[], const TProgramHooks& hooks = {});
