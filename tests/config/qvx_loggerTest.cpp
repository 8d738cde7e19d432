#include "support/Files.h"
#include "config/qvx_logger.h"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <deque>
#include <map>
#include <thread>
#include <vector>

namespace trabix {
namespace {

using testkit::ReadFile;
using testkit::TTempDir;
using testkit::WriteFile;

TLocalDateTime At(int Year, int Month, int Day, int Hour = 12, int Minute = 0, int Second = 0,
                  int Millisecond = 0)
{
    return {Year, Month, Day, Hour, Minute, Second, Millisecond};
}

// A clock that gives the queued readings one by one and then repeats the last.
TLogClock Readings(std::deque<TLocalDateTime> Queue)
{
    return [queue = std::move(Queue)]() mutable {
        const TLocalDateTime now = queue.front();
        if (queue.size() > 1)
            queue.pop_front();
        return now;
    };
}

TLogClock Fixed(TLocalDateTime Now)
{
    return Readings({Now});
}

void CreateFiles(const TTempDir& Dir, std::initializer_list<const char*> Names)
{
    for (const char* name : Names)
        WriteFile(Dir / name, "old\r\n");
}

TEST(LoggerCreate, EmptyArgumentsMeanTheWorkingDirectoryAtConstructionAndDotLog)
{
    TTempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    TQVX_Logger logger("", "", Fixed(At(2026, 12, 8)));
    TQVX_Logger missingDir(dir / "does-not-exist", "txt", Fixed(At(2026, 12, 8)));
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0777), 0);
    TQVX_Logger relative("sub", "", Fixed(At(2026, 12, 8)));
    std::filesystem::current_path(previous);  // moving away later does not move the log

    EXPECT_EQ(logger.Directory, dir.Path() + "/");
    EXPECT_EQ(missingDir.Directory, dir.Path() + "/");
    EXPECT_TRUE(logger.WriteLog("first"));
    EXPECT_TRUE(missingDir.WriteLog("second"));
    EXPECT_EQ(ReadFile(dir / "20261208.log"), "first\r\n");
    EXPECT_EQ(ReadFile(dir / "20261208.txt"), "second\r\n");
    EXPECT_TRUE(relative.WriteLog("third"));
    EXPECT_EQ(ReadFile(dir / "sub/20261208.log"), "third\r\n");
    EXPECT_EQ(TQVX_Logger(dir.Path() + "/", ".dat").Directory, dir.Path() + "/");
}

TEST(LoggerEntry, TimeStampsAndLineBreakShapeTheEntry)
{
    TTempDir dir;
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 1, 2, 3, 4, 5, 7)));
    logger.ShortTimeStamp = true;
    logger.WriteLog("short");
    logger.LongTimeStamp = true;  // wins over the short one
    logger.WriteLog("long");
    logger.LongTimeStamp = logger.ShortTimeStamp = logger.LineBreak = false;
    logger.WriteLog("run");
    logger.WriteLog("together\x01\xff");
    EXPECT_EQ(ReadFile(dir / "20260102.log"),
              "03:04:05:007: short\r\n2026.01.02-03:04:05:007: long\r\nruntogether\x01\xff");
}

TEST(LoggerEntry, MidnightSendsTheEntryToTheNewDaysFile)
{
    TTempDir dir;
    // Each entry reads the clock twice: for the time stamp, then for the file name.
    const TLocalDateTime late = At(2026, 12, 31, 23, 59, 59, 998);
    TQVX_Logger logger(
        dir.Path(), "",
        Readings({late, late, At(2026, 12, 31, 23, 59, 59, 999), At(2027, 1, 1, 0, 0, 0, 0)}));
    logger.ShortTimeStamp = true;
    logger.WriteLog("old day");
    logger.WriteLog("across");
    logger.WriteLog("new day");
    EXPECT_EQ(ReadFile(dir / "20261231.log"), "23:59:59:998: old day\r\n");
    EXPECT_EQ(ReadFile(dir / "20270101.log"), "23:59:59:999: across\r\n00:00:00:000: new day\r\n");
}

TEST(LoggerEntry, FileHeldByAnotherWriterFailsEveryEntryAndCountsIt)
{
    TTempDir dir;
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 12, 8)));
    ASSERT_TRUE(logger.WriteLog("before"));
    const int holder = open((dir / "20261208.log").c_str(), O_RDWR);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_FALSE(logger.WriteLog("lost 1"));
    EXPECT_FALSE(logger.WriteLog("lost 2"));
    close(holder);
    EXPECT_TRUE(logger.WriteLog("after"));
    EXPECT_EQ(ReadFile(dir / "20261208.log"), "before\r\nafter\r\n");
    EXPECT_EQ(std::make_pair(logger.WriteCount, logger.WriteErrors), std::make_pair(4, 2));
}

TEST(LoggerCleanup, CountLimitIsCheckedBeforeTheNewDaysFileExists)
{
    TTempDir dir;
    CreateFiles(dir,
                {"20261201.log", "20261202.log", "20261203.log", "20261204.log", "20261205.log",
                 "20261201.txt"});
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 12, 6)));
    logger.AutoCleanup = true;
    logger.MaxFiles = 3;
    ASSERT_TRUE(logger.WriteLog("sixth day"));
    EXPECT_EQ(dir.Names(),
              (std::set<std::string>{"20261201.txt", "20261203.log", "20261204.log", "20261205.log",
                                     "20261206.log"}));
}

TEST(LoggerCleanup, AgeLimitKeepsYesterdayAcrossMonthYearAndLeapDay)
{
    TTempDir dir;
    CreateFiles(dir, {"20240227.log", "20240228.log", "20240229.log", "notes.log"});
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2024, 3, 1)));
    logger.AutoCleanup = true;
    logger.MaxAgeDays = 1;
    ASSERT_TRUE(logger.WriteLog("today"));
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"20240229.log", "20240301.log", "notes.log"}));

    TQVX_Logger newYear(dir.Path(), "", Fixed(At(2027, 1, 1)));
    newYear.MaxAgeDays = 1;
    EXPECT_FALSE(newYear.IsTooOld("20261231.log"));
    EXPECT_TRUE(newYear.IsTooOld("20261230.log"));
    newYear.MaxAgeDays = INT32_MAX;  // reaches before the calendar: nothing is too old
    EXPECT_FALSE(newYear.IsTooOld("00000000.log"));
}

TEST(LoggerCleanup, NamesThatAreNoDatesGoOnlyWhenTheyAreFirst)
{
    TTempDir dir;
    CreateFiles(dir, {"20261001.log", "notes.log", "zeta.log", "x.log.bak", ".log"});
    ASSERT_EQ(mkdir((dir / "folder.log").c_str(), 0777), 0);
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 12, 8)));
    std::int32_t count = 0;
    std::string first;
    ASSERT_TRUE(logger.ScanLogFiles(count, first));
    EXPECT_EQ(std::make_pair(count, first), std::make_pair(4, std::string(".log")));

    logger.MaxAgeDays = 30;  // ".log" and the old date go, "notes" is never too old
    EXPECT_TRUE(logger.CleanupOldFiles());
    EXPECT_EQ(dir.Names(),
              (std::set<std::string>{"folder.log", "notes.log", "x.log.bak", "zeta.log"}));
    logger.MaxAgeDays = 0;
    logger.MaxFiles = 1;  // now "notes" is first and one file too many
    EXPECT_TRUE(logger.CleanupOldFiles());
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"folder.log", "x.log.bak", "zeta.log"}));
}

TEST(LoggerCleanup, RunsOnAppendOnlyWithCleanupEveryWriteAndNeverWithoutLimits)
{
    TTempDir dir;
    CreateFiles(dir, {"20261101.log", "20261208.log"});
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 12, 8)));
    logger.AutoCleanup = logger.CleanupEveryWrite = true;
    EXPECT_FALSE(logger.CleanupOldFiles());  // both limits off
    logger.WriteLog("append");
    logger.MaxAgeDays = 7;
    logger.CleanupEveryWrite = false;
    logger.WriteLog("append");
    EXPECT_EQ(dir.Names().size(), 2u);
    logger.CleanupEveryWrite = true;
    logger.WriteLog("append");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"20261208.log"});
}

TEST(LoggerCleanup, UndeletableFileEndsTheCleanupButNotTheEntry)
{
    TTempDir dir;
    CreateFiles(dir, {"20261101.log", "20261208.log"});
    chmod((dir / "20261208.log").c_str(), 0666);
    chmod(dir.Path().c_str(), 0555);
    EXPECT_TRUE(testkit::RunWithoutPrivileges([&] {
        TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 12, 8)));
        logger.AutoCleanup = logger.CleanupEveryWrite = true;
        logger.MaxAgeDays = 7;
        return logger.WriteLog("still written") && logger.DeleteErrors == 1;
    }));
    EXPECT_EQ(ReadFile(dir / "20261208.log"), "old\r\nstill written\r\n");
}

TEST(LoggerThreads, EntriesOfEightThreadsLandWholeAndExactlyOnce)
{
    TTempDir dir;
    TQVX_Logger logger(dir.Path(), "", Fixed(At(2026, 12, 8)));
    logger.UseLock = logger.LongTimeStamp = true;
    constexpr int threads = 8, entries = 5000;
    auto tail = [](int t) { return std::string(40 + t * 13, static_cast<char>('a' + t)); };
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < entries; ++i)
                logger.WriteLog(std::to_string(t) + "/" + std::to_string(i) + " " + tail(t));
        });
    for (std::thread& w : writers)
        w.join();

    EXPECT_EQ(logger.WriteCount, threads * entries);
    EXPECT_EQ(logger.WriteErrors, 0);
    std::istringstream content(ReadFile(dir / "20261208.log"));
    const std::string prefix = "2026.12.08-12:00:00:000: ";
    std::map<std::string, int> seen;
    for (std::string line; std::getline(content, line);) {
        ASSERT_TRUE(line.size() > prefix.size() && line.back() == '\r') << line;
        const std::string body = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        ASSERT_EQ(line.substr(0, prefix.size()) + body.substr(body.find(' ') + 1),
                  prefix + tail(std::stoi(body)));
        ASSERT_EQ(++seen[body.substr(0, body.find(' '))], 1) << body;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * entries));
}

}  // namespace
}  // namespace trabix
