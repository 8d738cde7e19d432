#include "config/ProgramPaths.h"

#include "config/pm_config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trabix {

namespace {

std::string& LogDirectoryInUse()
{
    static std::string path;
    return path;
}

std::string WithSlash(std::string Path)
{
    if (Path.empty() || Path.back() != '/')
        Path += '/';
    return Path;
}

// An XDG base directory: the variable when it holds an absolute path, else Home + Fallback.
std::string BaseDirectory(const std::string& Variable, const std::string& Home,
                          const char* Fallback)
{
    if (!Variable.empty() && Variable.front() == '/')
        return WithSlash(Variable);
    return WithSlash(Home) + Fallback;
}

std::string Environment(const char* Name)
{
    const char* value = std::getenv(Name);
    return value ? value : "";
}

std::string HomeDirectory()
{
    std::string home = Environment("HOME");
    if (!home.empty())
        return home;
    if (const passwd* entry = getpwuid(getuid()))
        return entry->pw_dir;
    return "/";
}

std::string WorkingDirectory()
{
    char path[PATH_MAX];
    return getcwd(path, sizeof path) ? path : "";
}

bool Exists(const std::string& Path)
{
    struct stat st {};
    return stat(Path.c_str(), &st) == 0;
}

// <prefix>/bin/ holding the program, <prefix>/share/metainfo/ holding the package's metainfo.
bool IsInstalledPrefix(const std::string& ProgramDirectory)
{
    const std::string bin = "/bin/";
    if (ProgramDirectory.size() < bin.size() ||
        ProgramDirectory.compare(ProgramDirectory.size() - bin.size(), bin.size(), bin) != 0)
        return false;
    const std::string prefix = ProgramDirectory.substr(0, ProgramDirectory.size() - bin.size());
    return Exists(prefix + "/share/metainfo/" + MetainfoFileName);
}

// mkdir -p; existing folders are fine.
bool MakeDirectories(const std::string& Path, std::string& Error)
{
    for (std::size_t cut = Path.find('/', 1); cut != std::string::npos;
         cut = Path.find('/', cut + 1)) {
        const std::string part = Path.substr(0, cut);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            Error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string ExecutableDirectory()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    const std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

TProgramPaths ChooseProgramPaths(const TPathFacts& Facts)
{
    TProgramPaths paths;
    paths.Portable =
        Facts.SettingsBesideProgram || (Facts.ProgramDirectoryWritable && !Facts.InstalledPrefix);
    if (paths.Portable) {
        paths.ConfigFile = Facts.ProgramDirectory + "Trabix.ini";
        if (!Facts.WorkingDirectory.empty())
            paths.LogDirectory = WithSlash(Facts.WorkingDirectory);
    } else {
        paths.ConfigFile =
            BaseDirectory(Facts.XdgConfigHome, Facts.Home, ".config/") + "trabix/Trabix.ini";
        paths.LogDirectory =
            BaseDirectory(Facts.XdgStateHome, Facts.Home, ".local/state/") + "trabix/";
    }
    if (!Facts.ConfigOverride.empty())
        paths.ConfigFile = Facts.ConfigOverride;
    return paths;
}

TPathFacts GatherPathFacts(const std::string& ConfigOverride)
{
    TPathFacts facts;
    facts.ProgramDirectory = ExecutableDirectory();
    facts.WorkingDirectory = WorkingDirectory();
    facts.ProgramDirectoryWritable = access(facts.ProgramDirectory.c_str(), W_OK) == 0;
    facts.InstalledPrefix = IsInstalledPrefix(facts.ProgramDirectory);
    facts.SettingsBesideProgram = Exists(facts.ProgramDirectory + "Trabix.ini");
    facts.Home = HomeDirectory();
    facts.XdgConfigHome = Environment("XDG_CONFIG_HOME");
    facts.XdgStateHome = Environment("XDG_STATE_HOME");
    facts.ConfigOverride = ConfigOverride;
    if (!ConfigOverride.empty() && ConfigOverride.front() != '/')
        facts.ConfigOverride = WithSlash(facts.WorkingDirectory) + ConfigOverride;
    return facts;
}

bool PrepareProgramPaths(const TProgramPaths& Paths, std::string& Error)
{
    if (Paths.Portable)
        return true;
    const std::string configFolder = Paths.ConfigFile.substr(0, Paths.ConfigFile.rfind('/') + 1);
    return MakeDirectories(configFolder, Error) && MakeDirectories(Paths.LogDirectory, Error);
}

void UseProgramPaths(const TProgramPaths& Paths)
{
    OverrideConfigFileName(Paths.ConfigFile);
    LogDirectoryInUse() = Paths.LogDirectory;
}

std::string LogDirectory()
{
    return LogDirectoryInUse();
}

}  // namespace trabix
