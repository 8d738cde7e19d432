// Where the program keeps its settings file and its daily log files.
//
// Two layouts, decided once at start by ChooseProgramPaths:
// - portable: the program's folder is writable (the build folder, a copy in a folder of the
//   user's). Trabix.ini lies beside the program and the daily log files go to the working
//   directory at start, as they always did.
// - installed: the folder is not writable, or the program sits in an installed prefix
//   (<prefix>/bin, with the package's metainfo in <prefix>/share/metainfo; root may write to
//   /usr/bin, and its settings still do not belong there). Settings go to
//   $XDG_CONFIG_HOME/trabix/Trabix.ini (default ~/.config), log files to $XDG_STATE_HOME/trabix/
//   (default ~/.local/state); PrepareProgramPaths creates both folders.
// A Trabix.ini that already lies beside the program always means portable. A settings file
// named on the command line replaces the settings file only; the log folder stays the
// layout's.
//
// How to use it: at start, GatherPathFacts, ChooseProgramPaths, PrepareProgramPaths, then
// UseProgramPaths so that ConfigFileName and the window's logger follow. Main thread only.
#pragma once

#include <string>

namespace trabix {

// Everything the choice depends on, read from the system by GatherPathFacts (tests make
// their own).
struct TPathFacts {
    std::string ProgramDirectory;  // ends in "/"
    std::string WorkingDirectory;  // empty when it cannot be read
    bool ProgramDirectoryWritable = false;
    bool InstalledPrefix = false;
    bool SettingsBesideProgram = false;
    std::string Home;
    std::string XdgConfigHome;  // as in the environment; relative values are ignored
    std::string XdgStateHome;
    std::string ConfigOverride;  // a settings file named on the command line, or empty
};

struct TProgramPaths {
    bool Portable = true;
    std::string ConfigFile;
    // Ends in "/"; empty means the working directory at the logger's construction.
    std::string LogDirectory;
};

// The name of the metainfo file the package installs; its presence marks an installed prefix.
inline constexpr const char* MetainfoFileName = "org.example.trabix.metainfo.xml";

TProgramPaths ChooseProgramPaths(const TPathFacts& Facts);

// Reads the facts for the running program. ConfigOverride may be relative to the working
// directory; it is made absolute here.
TPathFacts GatherPathFacts(const std::string& ConfigOverride);

// Creates the folders of the installed layout when missing (mode 0700, parents as needed).
// False with a message when one cannot be created; nothing to do for the portable layout.
bool PrepareProgramPaths(const TProgramPaths& Paths, std::string& Error);

// Makes ConfigFileName return Paths.ConfigFile and LogDirectory return Paths.LogDirectory.
void UseProgramPaths(const TProgramPaths& Paths);

// The folder of the running program, with a trailing slash (empty when unknown).
std::string ExecutableDirectory();

// The log folder in use: what UseProgramPaths set, or empty (the working directory).
std::string LogDirectory();

}  // namespace trabix
