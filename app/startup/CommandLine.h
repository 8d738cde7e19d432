// The program's command line: --help, --version, --config FILE, --headless, --api and
// --export-ca FILE.
//
// How to use it: ParseCommandLine on the arguments before any application object exists (the
// window needs a QApplication, the headless twin must not have one), then FinishCommandLine
// for every action but Run and ExportCa; ExportCa runs ExportLocalAuthority once the program's
// paths are set up. Without options the program starts as it always did.
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
        ExportCa,  // write the local certificate authority's certificate to ExportFile
    };
    TAction Action = TAction::Run;
    bool Headless = false;
    std::string ConfigFile;  // empty: the settings file of the layout (config/ProgramPaths.h)
    // "[address:]port" of the control API; empty: ApiListen of the settings decides.
    std::string ApiListen;
    std::string ExportFile;
    std::string Message;
    std::string Usage;
};

TCommandLine ParseCommandLine(const QStringList& arguments);
TCommandLine ParseCommandLine(int argc, char* argv[]);

// "Trabix <version>", the version of the build.
std::string VersionText();

// Prints what the action asks for and returns the exit status. Not for TAction::Run or
// TAction::ExportCa.
int FinishCommandLine(const TCommandLine& commandLine);

// Writes the certificate of the local certificate authority kept beside the settings file
// (made there first when there is none) to AFile as PEM, and says so on standard output.
// Returns the exit status: 0 when written, 1 with the reason on standard error when not.
int ExportLocalAuthority(const std::string& AFile);
