#include "config/qvx_logger.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trabix {

namespace {

// The locale's time separator. Linux locales have no such setting of their own; ":" is what
// the time formats of every locale here use.
constexpr char TimeSeparator = ':';

std::string WorkingDirectory()
{
    char path[PATH_MAX];
    if (getcwd(path, sizeof path) == nullptr)
        return ".";  // the working directory was removed; stay relative to it
    return path;
}

bool IsDirectory(const std::string& Path)
{
    struct stat st {};
    return stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& Path)
{
    struct stat st {};
    return stat(Path.c_str(), &st) == 0;
}

void AppendNumber(std::string& Out, int Value, int Digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*d", Digits, Value);
    Out += buffer;
}

bool EndsWith(const std::string& Text, const std::string& Suffix)
{
    return Text.size() >= Suffix.size() &&
        Text.compare(Text.size() - Suffix.size(), Suffix.size(), Suffix) == 0;
}

bool IsDirectoryEntry(int DirFd, const dirent& Entry)
{
    if (Entry.d_type != DT_UNKNOWN)
        return Entry.d_type == DT_DIR;
    struct stat st {};
    return fstatat(DirFd, Entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Holds an exclusive advisory lock on the open file, which stands in for opening it without
// sharing: a program that holds the day's file locked makes the entry fail instead of wait.
bool LockExclusively(int Fd)
{
    return flock(Fd, LOCK_EX | LOCK_NB) == 0;
}

// The counters are 32 bits wide; after 2^31 calls they wrap instead of overflowing.
void CountOne(std::int32_t& Counter)
{
    Counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(Counter) + 1u);
}

bool WriteWhole(int Fd, const std::string& Data)
{
    std::size_t done = 0;
    while (done < Data.size()) {
        const ssize_t n = write(Fd, Data.data() + done, Data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TLocalDateTime SystemLocalDateTime()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return {local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec,
            static_cast<int>(now.tv_nsec / 1000000)};
}

std::string FormatLocalDateTime(const std::string& Pattern, const TLocalDateTime& When)
{
    std::string out;
    std::size_t i = 0;
    auto take = [&](const char* Token) {
        const std::size_t n = std::char_traits<char>::length(Token);
        if (Pattern.compare(i, n, Token) != 0)
            return false;
        i += n;
        return true;
    };
    while (i < Pattern.size()) {
        if (take("yyyy"))
            AppendNumber(out, When.Year, 4);
        else if (take("zzz"))
            AppendNumber(out, When.Millisecond, 3);
        else if (take("mm"))
            AppendNumber(out, When.Month, 2);
        else if (take("dd"))
            AppendNumber(out, When.Day, 2);
        else if (take("hh"))
            AppendNumber(out, When.Hour, 2);
        else if (take("nn"))
            AppendNumber(out, When.Minute, 2);
        else if (take("ss"))
            AppendNumber(out, When.Second, 2);
        else {
            out += Pattern[i] == ':' ? TimeSeparator : Pattern[i];
            ++i;
        }
    }
    return out;
}

TQVX_Logger::TQVX_Logger(const std::string& Dir, const std::string& Ext, TLogClock Clock)
    : clock_(Clock ? std::move(Clock) : TLogClock(SystemLocalDateTime))
{
    const std::string workingDirectory = WorkingDirectory();
    Directory = Dir.empty() ? workingDirectory : Dir;
    if (!IsDirectory(Directory))
        Directory = workingDirectory;
    // A relative directory is pinned to today's working directory, so a later change of the
    // working directory does not move the log.
    if (Directory.front() != '/')
        Directory = workingDirectory + "/" + Directory;
    if (Directory.back() != '/')
        Directory += '/';
    Extension = Ext.empty() ? ".log" : Ext;
    if (Extension.front() != '.')
        Extension.insert(0, ".");
}

std::string TQVX_Logger::TimeStampPrefix() const
{
    if (LongTimeStamp)
        return FormatLocalDateTime("yyyy.mm.dd-hh:nn:ss:zzz", clock_()) + ": ";
    if (ShortTimeStamp)
        return FormatLocalDateTime("hh:nn:ss:zzz", clock_()) + ": ";
    return {};
}

bool TQVX_Logger::WriteLog(const std::string& Text)
{
    if (!UseLock)
        return WriteLogUnlocked(Text);
    std::lock_guard<std::mutex> guard(Lock);
    return WriteLogUnlocked(Text);
}

bool TQVX_Logger::WriteLogUnlocked(const std::string& Text)
{
    std::string entry = TimeStampPrefix();
    entry += Text;
    if (LineBreak)
        entry += "\r\n";
    CountOne(WriteCount);
    BuildFileName();
    if (!AppendEntry(entry)) {
        CountOne(WriteErrors);
        return false;
    }
    return true;
}

void TQVX_Logger::BuildFileName()
{
    FileName = Directory + FormatLocalDateTime(DateFormat, clock_()) + Extension;
}

// A day's first entry creates the file. It is created without truncation, so entries another
// process put into a file that appeared meanwhile are kept.
bool TQVX_Logger::AppendEntry(const std::string& Entry)
{
    const bool exists = FileExists(FileName);
    if (AutoCleanup && (!exists || CleanupEveryWrite))
        CleanupOldFiles();
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | (exists ? 0 : O_CREAT);
    const int fd = open(FileName.c_str(), flags, 0666);
    if (fd < 0)
        return false;
    const bool ok = LockExclusively(fd) && WriteWhole(fd, Entry);
    return (close(fd) == 0) && ok;
}

bool TQVX_Logger::ScanLogFiles(std::int32_t& Count, std::string& FirstName) const
{
    Count = 0;
    FirstName.clear();
    DIR* dir = opendir(Directory.c_str());
    if (dir == nullptr)
        return false;
    bool ok = true;
    for (;;) {
        errno = 0;  // readdir tells its end from an error only through errno
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        const std::string name = entry->d_name;
        if (!EndsWith(name, Extension) || IsDirectoryEntry(dirfd(dir), *entry))
            continue;
        ++Count;
        if (FirstName.empty() || name < FirstName)
            FirstName = name;
    }
    closedir(dir);
    return ok;
}

bool TQVX_Logger::IsTooOld(const std::string& Name) const
{
    using namespace std::chrono;
    const TLocalDateTime now = clock_();
    const sys_days today = year_month_day{year{now.Year}, month{static_cast<unsigned>(now.Month)},
                                          day{static_cast<unsigned>(now.Day)}};
    // Beyond the first year of the calendar no date name can be older than the limit.
    const sys_days firstDay = year_month_day{year{1}, January, day{1}};
    if (days{MaxAgeDays} > today - firstDay)
        return false;
    const year_month_day limit{today - days{MaxAgeDays}};
    TLocalDateTime boundary;
    boundary.Year = static_cast<int>(limit.year());
    boundary.Month = static_cast<int>(static_cast<unsigned>(limit.month()));
    boundary.Day = static_cast<int>(static_cast<unsigned>(limit.day()));
    return Name < FormatLocalDateTime("yyyymmdd", boundary) + Extension;
}

bool TQVX_Logger::CleanupOldFiles()
{
    if (MaxAgeDays <= 0 && MaxFiles <= 0)
        return false;
    std::int32_t count = 0;
    std::string first;
    std::int32_t deletionsLeft = -1;
    while (ScanLogFiles(count, first)) {
        const bool tooOld = count > 0 && MaxAgeDays > 0 && IsTooOld(first);
        const bool tooMany = MaxFiles > 0 && count > MaxFiles;
        if (!(tooOld || tooMany))
            break;
        // Every pass deletes one file, so the first count bounds the passes even if files
        // keep appearing in the directory.
        if (deletionsLeft < 0)
            deletionsLeft = count;
        if (deletionsLeft-- == 0)
            break;
        if (unlink((Directory + first).c_str()) != 0) {
            CountOne(DeleteErrors);
            return false;
        }
    }
    return true;
}

}  // namespace trabix
