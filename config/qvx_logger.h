// The daily file logger: appends text entries to one file per calendar day.
//
// How to use it: construct with a directory and an extension (either may be empty), set the
// public flags and limits right after construction, then call WriteLog for every entry. Every
// entry opens, appends to and closes the file of the current day, so no file stays open between
// entries and the day's file may be moved or deleted at any time. With AutoCleanup on, the
// oldest files of the directory are deleted by age (MaxAgeDays) or count (MaxFiles).
//
// WriteLog is thread safe while UseLock is on: the lock is held for the whole entry, so entries
// of several threads never interleave. With UseLock off the caller must keep calls apart.
// The fields and counters change only inside WriteLog; read them when no WriteLog runs.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace trabix {

// A local date and time to the millisecond, as the logger's clock reports it.
struct TLocalDateTime {
    int Year = 0;
    int Month = 1;  // 1..12
    int Day = 1;  // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// Returns the local date and time now. Must be callable from any thread that logs.
using TLogClock = std::function<TLocalDateTime()>;

// The wall clock (CLOCK_REALTIME in the local time zone). Thread safe.
TLocalDateTime SystemLocalDateTime();

// Formats a date-time by a pattern of "yyyy" (year), "mm" (month), "dd", "hh" (00..23), "nn"
// (minute), "ss" and "zzz" (millisecond); ":" becomes the time separator (":" on Linux); other
// characters stand as they are.
std::string FormatLocalDateTime(const std::string& Pattern, const TLocalDateTime& When);

class TQVX_Logger {
public:
    // Dir: the log directory; empty or not an existing directory means the working directory
    // at construction, and a relative one is taken relative to it. Ext: the extension; empty
    // means ".log", and a missing "." is added.
    // Clock: the source of the local date-time; empty means SystemLocalDateTime.
    TQVX_Logger(const std::string& Dir, const std::string& Ext, TLogClock Clock = {});
    TQVX_Logger(const TQVX_Logger&) = delete;
    TQVX_Logger& operator=(const TQVX_Logger&) = delete;
    ~TQVX_Logger() = default;  // touches no file

    // Appends one entry to the file of the current day. False when the file could not be
    // opened or written; WriteErrors counts those calls.
    bool WriteLog(const std::string& Text);

    // The cleanup steps, open for tests; WriteLog runs them itself when AutoCleanup is on.
    void BuildFileName();
    // Counts the non-directory entries of Directory whose names end in Extension and finds the
    // name that sorts first byte by byte. False when the directory cannot be read.
    bool ScanLogFiles(std::int32_t& Count, std::string& FirstName) const;
    // True when Name sorts before the name of the file of the day MaxAgeDays days ago.
    bool IsTooOld(const std::string& Name) const;
    // Deletes the oldest files one at a time until the age and count limits hold. False when
    // both limits are off or a deletion failed.
    bool CleanupOldFiles();

    std::string Extension;
    std::string FileName;
    std::mutex Lock;
    std::string Directory;  // always ends in "/"
    bool LineBreak = true;
    bool ShortTimeStamp = false;
    bool LongTimeStamp = false;
    bool AutoCleanup = false;
    bool CleanupEveryWrite = false;
    std::int32_t MaxAgeDays = 0;
    std::int32_t MaxFiles = 0;
    bool UseLock = false;
    std::int32_t WriteCount = 0;
    std::int32_t WriteErrors = 0;
    std::int32_t DeleteErrors = 0;
    std::string DateFormat = "yyyymmdd";

private:
    bool WriteLogUnlocked(const std::string& Text);
    bool AppendEntry(const std::string& Entry);
    std::string TimeStampPrefix() const;

    TLogClock clock_;
};

}  // namespace trabix
