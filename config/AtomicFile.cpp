#include "config/AtomicFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trabix {

namespace {

TReplaceHook& ReplaceHook()
{
    static TReplaceHook hook;
    return hook;
}

bool StepAllowed(TReplaceStep Step)
{
    const TReplaceHook& hook = ReplaceHook();
    return !hook || hook(Step);
}

// The file a path names in the end: the target of a symbolic link, or the path itself.
std::string ResolveTarget(const std::string& Path)
{
    struct stat st {};
    if (lstat(Path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return Path;
    char resolved[PATH_MAX];
    if (realpath(Path.c_str(), resolved) == nullptr)
        return Path;  // a dangling link is replaced by a plain file
    return resolved;
}

std::string DirectoryOf(const std::string& Path)
{
    const auto slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return Path.substr(0, slash);
}

std::string BaseName(const std::string& Path)
{
    return Path.substr(Path.rfind('/') + 1);  // npos + 1 is 0: the whole name
}

// The prefix of the temporary files of Path; the writer's process id and a counter follow.
std::string TempPrefix(const std::string& Path)
{
    return "." + BaseName(Path) + ".";
}

// Removes temporary files that a killed writer left behind. Only files of our own naming
// whose process no longer exists go, so a save running elsewhere keeps its file.
void RemoveStaleTemps(const std::string& Path)
{
    const std::string dirName = DirectoryOf(Path);
    const std::string prefix = TempPrefix(Path);
    DIR* dir = opendir(dirName.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < prefix.size() + 4 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

// Creates a new, empty file beside Path under an unused name. The mode 0666 goes through
// the umask, as for any new file of the process.
int CreateTempBeside(const std::string& Path, std::string& TempName)
{
    static std::atomic<unsigned> counter{0};
    const std::string start = DirectoryOf(Path) + "/" + TempPrefix(Path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        TempName =
            start + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
        const int fd = open(TempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Gives the temporary file the old file's permissions and, where allowed, its owner.
bool CopyModeOfOldFile(int Fd, const std::string& Path)
{
    struct stat old {};
    if (stat(Path.c_str(), &old) != 0)
        return errno == ENOENT;  // a new file keeps the umask's mode
    if (fchmod(Fd, old.st_mode & 07777) != 0)
        return false;
    struct stat now {};
    if (fstat(Fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        // Only a privileged process may hand a file to another owner; otherwise it stays ours.
        [[maybe_unused]] int ignored = fchown(Fd, old.st_uid, old.st_gid);
    }
    return true;
}

bool WriteAll(int Fd, std::string_view Content)
{
    constexpr std::size_t chunk = 4096;
    while (!Content.empty()) {
        const ssize_t n = write(Fd, Content.data(), std::min(chunk, Content.size()));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Content.remove_prefix(static_cast<std::size_t>(n));
        if (!StepAllowed(TReplaceStep::PartWritten))
            return false;
    }
    return true;
}

// Makes the rename itself durable; a failure here does not undo the replacement.
void SyncDirectory(const std::string& Path)
{
    const int dirFd = open(DirectoryOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

bool FillTemp(int Fd, const std::string& Target, std::string_view Content)
{
    return StepAllowed(TReplaceStep::TempCreated) && CopyModeOfOldFile(Fd, Target) &&
        WriteAll(Fd, Content) && fsync(Fd) == 0 && StepAllowed(TReplaceStep::TempSynced);
}

}  // namespace

void SetReplaceHookForTesting(TReplaceHook Hook)
{
    ReplaceHook() = std::move(Hook);
}

bool ReplaceFileContent(const std::string& Path, std::string_view Content)
{
    const std::string target = ResolveTarget(Path);
    // The rename needs only the directory's permission; a file the user made read-only must
    // still refuse the write, as it would refuse an ordinary one.
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT)
        return false;
    RemoveStaleTemps(target);
    std::string temp;
    const int fd = CreateTempBeside(target, temp);
    if (fd < 0)
        return false;
    bool ok = FillTemp(fd, target, Content);
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    SyncDirectory(target);
    StepAllowed(TReplaceStep::Renamed);  // only a stopping point: the new content is in place
    return true;
}

}  // namespace trabix
