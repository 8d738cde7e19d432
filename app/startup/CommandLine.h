// The program's command line: --help, --version, --config FILE, --headless and --api.
//
// How to use it: ParseCommandLine on the arguments before any application object exists (the
// window needs a QApplication, the headless twin must not have one), then FinishCommandLine
// for every action but Run. Without options the program starts as it always did.
// Qt's own options of a graphical program (-platform NAME, -style NAME, -session ID, ...) are
// accepted and left in the arguments for QApplication.
#pragma once

#include <QStringList>

#include <string>

struct TCommandLine {
    enum class TAction {
        Run,  // start the window or the headless twin
        Help,  // print the usage to standard output, exit 0
        Version,  // print "Trabix <version>", exit 0
        Fail,  // print Message and the usage to standard error, exit 2
    };
    TAction Action = TAction::Run;
    bool Headless = false;
    std::string ConfigFile;  // empty: the settings file of the layout (config/ProgramPaths.h)
    // "[address:]port" of the control API; empty: ApiListen of the settings decides.
    std::string ApiListen;
    std::string Message;
    std::string Usage;
};

TCommandLine ParseCommandLine(const QStringList& arguments);
TCommandLine ParseCommandLine(int argc, char* argv[]);

// "Trabix <version>", the version of the build.
std::string VersionText();

// Prints what the action asks for and returns the exit status. Not for TAction::Run.
int FinishCommandLine(const TCommandLine& commandLine);
