#include "qvx_logger.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace trabix {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

TLocalDateTime At(int Year, int Month, int Day, int Hour = 12, int Minute = 0, int Second = 0,
                  int Millisecond = 0) {
    return {Year, Month, Day, Hour, Minute, Second, Millisecond};
}

// A clock the test moves by hand. Readings queued with Then() come first, one per reading;
// after them the clock keeps returning the last time set.
class TTestClock {
public:
    explicit TTestClock(TLocalDateTime Now) : state_(std::make_shared<TState>()) { state_->Now = Now; }
    void Set(TLocalDateTime Now) { state_->Now = Now; }
    void Then(TLocalDateTime Next) { state_->Queue.push_back(Next); }
    TLogClock Function() const {
        return [state = state_] {
            if (state->Queue.empty())
                return state->Now;
            state->Now = state->Queue.front();
            state->Queue.pop_front();
            return state->Now;
        };
    }

private:
    struct TState {
        TLocalDateTime Now;
        std::deque<TLocalDateTime> Queue;
    };
    std::shared_ptr<TState> state_;
};

void CreateDayFiles(const TTempDir& Dir, std::initializer_list<const char*> Names) {
    for (const char* name : Names)
        WriteFile(Dir / name, "old\r\n");
}

TEST(LoggerCreate, EmptyArgumentsMeanTheWorkingDirectoryAtConstructionAndDotLog) {
    TTempDir dir;
    TTestClock clock(At(2026, 12, 8));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    TQVX_Logger logger("", "", clock.Function());
    TQVX_Logger missingDir(dir / "does-not-exist", "txt", clock.Function());
    std::filesystem::current_path(previous);  // moving away later does not move the log

    EXPECT_EQ(logger.Directory, dir.Path() + "/");
    EXPECT_EQ(missingDir.Directory, dir.Path() + "/");
    EXPECT_EQ(missingDir.Extension, ".txt");
    EXPECT_TRUE(logger.WriteLog("first"));
    EXPECT_TRUE(missingDir.WriteLog("second"));
    EXPECT_EQ(ReadFile(dir / "20261208.log"), "first\r\n");
    EXPECT_EQ(ReadFile(dir / "20261208.txt"), "second\r\n");
    EXPECT_EQ(logger.FileName, dir / "20261208.log");

    TQVX_Logger withSlash(dir.Path() + "/", ".dat", clock.Function());
    EXPECT_EQ(withSlash.Directory, dir.Path() + "/");
    EXPECT_EQ(withSlash.Extension, ".dat");
}

TEST(LoggerEntry, TimeStampsAndLineBreakShapeTheEntry) {
    TTempDir dir;
    TTestClock clock(At(2026, 1, 2, 3, 4, 5, 7));
    TQVX_Logger logger(dir.Path(), "", clock.Function());
    logger.ShortTimeStamp = true;
    logger.WriteLog("short");
    logger.LongTimeStamp = true;  // wins over the short one
    logger.WriteLog("long");
    logger.LongTimeStamp = logger.ShortTimeStamp = false;
    logger.LineBreak = false;
    logger.WriteLog("run");
    logger.WriteLog("together\x01\xff");
    EXPECT_EQ(ReadFile(dir / "20260102.log"),
              "03:04:05:007: short\r\n2026.01.02-03:04:05:007: long\r\nruntogether\x01\xff");
    EXPECT_EQ(logger.WriteCount, 4);
    EXPECT_EQ(logger.WriteErrors, 0);
}

TEST(LoggerEntry, MidnightSendsTheEntryToTheNewDaysFile) {
    TTempDir dir;
    TTestClock clock(At(2026, 12, 31, 23, 59, 59, 998));
    TQVX_Logger logger(dir.Path(), "", clock.Function());
    logger.ShortTimeStamp = true;
    logger.WriteLog("old day");
    clock.Then(At(2026, 12, 31, 23, 59, 59, 999));  // the time stamp
    clock.Then(At(2027, 1, 1, 0, 0, 0, 0));         // the file name, read a moment later
    logger.WriteLog("across");
    logger.WriteLog("new day");
    EXPECT_EQ(ReadFile(dir / "20261231.log"), "23:59:59:998: old day\r\n");
    EXPECT_EQ(ReadFile(dir / "20270101.log"),
              "23:59:59:999: across\r\n00:00:00:000: new day\r\n");
}

TEST(LoggerEntry, FileHeldByAnotherWriterFailsEveryEntryAndCountsIt) {
    TTempDir dir;
    TTestClock clock(At(2026, 12, 8));
    TQVX_Logger logger(dir.Path(), "", clock.Function());
    ASSERT_TRUE(logger.WriteLog("before"));
    const int holder = open((dir / "20261208.log").c_str(), O_RDWR);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_FALSE(logger.WriteLog("lost 1"));
    EXPECT_FALSE(logger.WriteLog("lost 2"));
    close(holder);
    EXPECT_TRUE(logger.WriteLog("after"));
    EXPECT_EQ(ReadFile(dir / "20261208.log"), "before\r\nafter\r\n");
    EXPECT_EQ(logger.WriteCount, 4);
    EXPECT_EQ(logger.WriteErrors, 2);

    std::filesystem::remove_all(dir.Path());  // the directory vanished under the logger
    EXPECT_FALSE(logger.WriteLog("nowhere"));
    EXPECT_EQ(logger.WriteErrors, 3);
}

TEST(LoggerCleanup, CountLimitIsCheckedBeforeTheNewDaysFileExists) {
    TTempDir dir;
    CreateDayFiles(dir, {"20261201.log", "20261202.log", "20261203.log", "20261204.log",
                         "20261205.log", "20261201.txt"});
    TQVX_Logger logger(dir.Path(), "", TTestClock(At(2026, 12, 6)).Function());
    logger.AutoCleanup = true;
    logger.MaxFiles = 3;
    ASSERT_TRUE(logger.WriteLog("sixth day"));
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"20261201.txt", "20261203.log", "20261204.log",
                                                  "20261205.log", "20261206.log"}));
}

TEST(LoggerCleanup, AgeLimitKeepsYesterdayAcrossMonthAndLeapDay) {
    TTempDir dir;
    CreateDayFiles(dir, {"20240227.log", "20240228.log", "20240229.log", "notes.log"});
    TQVX_Logger logger(dir.Path(), "", TTestClock(At(2024, 3, 1)).Function());
    logger.AutoCleanup = true;
    logger.MaxAgeDays = 1;
    ASSERT_TRUE(logger.WriteLog("today"));
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"20240229.log", "20240301.log", "notes.log"}));

    TQVX_Logger newYear(dir.Path(), "", TTestClock(At(2027, 1, 1)).Function());
    newYear.MaxAgeDays = 1;
    EXPECT_FALSE(newYear.IsTooOld("20261231.log"));
    EXPECT_TRUE(newYear.IsTooOld("20261230.log"));
    EXPECT_TRUE(newYear.IsTooOld("2026"));  // a prefix sorts first
    newYear.MaxAgeDays = INT32_MAX;         // older than the calendar: nothing is too old
    EXPECT_FALSE(newYear.IsTooOld("00000000.log"));
}

TEST(LoggerCleanup, NamesThatAreNoDatesGoOnlyWhenTheyAreFirst) {
    TTempDir dir;
    CreateDayFiles(dir, {"20261001.log", "notes.log", "zeta.log", "x.log.bak", ".log"});
    ASSERT_EQ(mkdir((dir / "folder.log").c_str(), 0777), 0);
    TQVX_Logger logger(dir.Path(), "", TTestClock(At(2026, 12, 8)).Function());

    std::int32_t count = 0;
    std::string first;
    ASSERT_TRUE(logger.ScanLogFiles(count, first));
    EXPECT_EQ(count, 4);  // not the folder, not the .bak
    EXPECT_EQ(first, ".log");

    logger.MaxAgeDays = 30;  // ".log" and the date go, "notes" is never too old
    EXPECT_TRUE(logger.CleanupOldFiles());
    EXPECT_TRUE(dir.Names().count("notes.log"));
    EXPECT_FALSE(dir.Names().count("20261001.log"));
    logger.MaxAgeDays = 0;
    logger.MaxFiles = 1;  // now "notes" is first and one file too many
    EXPECT_TRUE(logger.CleanupOldFiles());
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"folder.log", "x.log.bak", "zeta.log"}));

    TQVX_Logger gone(dir / "sub", "", TTestClock(At(2026, 12, 8)).Function());
    gone.Directory = dir / "missing/";
    EXPECT_FALSE(gone.ScanLogFiles(count, first));
}

TEST(LoggerCleanup, RunsOnAppendOnlyWithCleanupEveryWriteAndNeverWithoutLimits) {
    TTempDir dir;
    CreateDayFiles(dir, {"20261101.log", "20261208.log"});
    TQVX_Logger logger(dir.Path(), "", TTestClock(At(2026, 12, 8)).Function());
    logger.AutoCleanup = true;
    logger.CleanupEveryWrite = true;
    EXPECT_FALSE(logger.CleanupOldFiles());  // both limits off
    logger.WriteLog("append");
    EXPECT_EQ(dir.Names().size(), 2u);

    logger.MaxAgeDays = 7;
    logger.CleanupEveryWrite = false;
    logger.WriteLog("append");
    EXPECT_EQ(dir.Names().size(), 2u);
    logger.CleanupEveryWrite = true;
    logger.WriteLog("append");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"20261208.log"});
}

TEST(LoggerCleanup, UndeletableFileEndsTheCleanupButNotTheEntry) {
    TTempDir dir;
    CreateDayFiles(dir, {"20261101.log", "20261208.log"});
    chmod((dir / "20261208.log").c_str(), 0666);
    chmod(dir.Path().c_str(), 0555);
    EXPECT_TRUE(test::RunWithoutPrivileges([&] {
        TQVX_Logger logger(dir.Path(), "", TTestClock(At(2026, 12, 8)).Function());
        logger.AutoCleanup = logger.CleanupEveryWrite = true;
        logger.MaxAgeDays = 7;
        return logger.WriteLog("still written") && logger.DeleteErrors == 1 &&
               !logger.CleanupOldFiles() && logger.DeleteErrors == 2;
    }));
    chmod(dir.Path().c_str(), 0777);
    EXPECT_EQ(ReadFile(dir / "20261208.log"), "old\r\nstill written\r\n");
}

TEST(LoggerThreads, EntriesOfEightThreadsLandWholeAndExactlyOnce) {
    TTempDir dir;
    TQVX_Logger logger(dir.Path(), "", TTestClock(At(2026, 12, 8)).Function());
    logger.UseLock = true;
    logger.LongTimeStamp = true;
    constexpr int threads = 8;
    constexpr int entries = 5000;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&logger, t] {
            const std::string tail(40 + t * 13, static_cast<char>('a' + t));
            for (int i = 0; i < entries; ++i)
                logger.WriteLog(std::to_string(t) + "/" + std::to_string(i) + " " + tail);
        });
    for (std::thread& w : writers)
        w.join();

    EXPECT_EQ(logger.WriteCount, threads * entries);
    EXPECT_EQ(logger.WriteErrors, 0);
    const std::string content = ReadFile(dir / "20261208.log");
    std::map<std::string, int> seen;
    std::size_t at = 0;
    const std::string prefix = "2026.12.08-12:00:00:000: ";
    while (at < content.size()) {
        const std::size_t end = content.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = content.substr(at, end - at);
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        const std::string body = line.substr(prefix.size());
        const std::size_t blank = body.find(' ');
        const int t = std::stoi(body);
        ASSERT_EQ(body.substr(blank + 1), std::string(40 + t * 13, static_cast<char>('a' + t)));
        ++seen[body.substr(0, blank)];
        at = end + 2;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * entries));
    for (const auto& [key, times] : seen)
        ASSERT_EQ(times, 1) << key;
}

}  // namespace
}  // namespace trabix
