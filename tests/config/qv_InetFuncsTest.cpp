#include "support/Files.h"
#include "config/qv_InetFuncs.h"

#include <gtest/gtest.h>

#include <clocale>

namespace trabix {
namespace {

using testkit::ReadFile;
using testkit::TTempDir;
using testkit::WriteFile;

TEST(FormatByteSize, GivesTheTableAndItsEdges)
{
    const std::tuple<std::int32_t, std::int64_t, const char*> cases[] = {
        {5, 0, "    0B"},          {5, 123, "  123B"},
        {5, 1000, " 1000B"},       {5, 1000000, "976.6k"},
        {5, 2147483647, " 2048M"},  // the whole-number branch rounds, it does not cut
        {5, 99999, "99999B"},      {5, 100000, "97.66k"},
        {5, 1023948, "999.9k"},    {5, 1023949, "1000.0k"},  // 999.95k carries into six characters
        {3, 1000000, "977k"},      {1, 10, "0k"},
        {3, 1280, "1.2k"},  // an exact tie goes to the even digit, as %.*f does
        {5, INT64_MAX, " 8192P"},  {1, INT64_MAX, "8X"},
        {0, 123456789, "0G"},  // a width below 1 counts as 1 instead of looping forever
    };
    for (const auto& [width, value, expected] : cases)
        EXPECT_EQ(FormatByteSize(width, value), expected) << width << " " << value;
}

TEST(FormatByteSize, UsesTheDecimalSeparatorOfTheLocale)
{
    EXPECT_EQ(FormatByteSize(5, 1000000, ","), "976,6k");
    EXPECT_EQ(FormatByteSize(5, 100000, "\xD9\xAB"),
              "97\xD9\xAB"
              "66k");  // one character
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);  // the only locale these machines have
    EXPECT_EQ(FormatByteSize(5, 1000000), "976.6k");
}

// A stand-in for xdg-open first in PATH: it writes its arguments, one per line, to "args".
class BrowserLaunch : public ::testing::Test {
protected:
    void SetUp() override { setenv("PATH", (dir_.Path() + ":" + oldPath_).c_str(), 1); }
    void TearDown() override
    {
        setenv("PATH", oldPath_.c_str(), 1);
        SetBrowserLauncher({});
    }
    void InstallOpener(int ExitCode, const std::string& Then = "")
    {
        WriteFile(dir_ / "xdg-open",
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                      (dir_ / "args") + "'\n" + Then + "exit " + std::to_string(ExitCode) + "\n");
        chmod((dir_ / "xdg-open").c_str(), 0755);
    }

    TTempDir dir_;
    const std::string oldPath_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
};

TEST_F(BrowserLaunch, HandsTheAddressOverAsOneArgumentWithoutAShell)
{
    InstallOpener(0);
    const std::string url = "http://127.0.0.1/a b?q=\"x\"&y='z';touch " + (dir_ / "p1") +
        ";$(touch " + (dir_ / "p2") + ")`id`";
    EXPECT_TRUE(OpenInDefaultBrowser(url));
    EXPECT_EQ(ReadFile(dir_ / "args"), url + "\n");
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"args", "xdg-open"}));
}

TEST_F(BrowserLaunch, FailsWhenTheOpenerFailsOrIsMissing)
{
    InstallOpener(3);
    EXPECT_FALSE(OpenInDefaultBrowser("http://127.0.0.1/"));
    EXPECT_FALSE(RunUrlOpener("no-such-opener-here", "http://127.0.0.1/", 1000));
}

TEST_F(BrowserLaunch, AnOpenerThatStaysInTheForegroundCountsAsStarted)
{
    ASSERT_EQ(mkfifo((dir_ / "release").c_str(), 0666), 0);
    InstallOpener(1, "read line < '" + (dir_ / "release") + "'\n");
    EXPECT_TRUE(RunUrlOpener("xdg-open", "http://127.0.0.1/", 50));
    WriteFile(dir_ / "release", "\n");  // let it end, so no process outlives the test
}

TEST_F(BrowserLaunch, TheLauncherCanBeReplaced)
{
    std::vector<std::string> opened;
    SetBrowserLauncher([&](const std::string& url) {
        opened.push_back(url);
        return opened.size() == 1;
    });
    EXPECT_TRUE(OpenInDefaultBrowser("http://127.0.0.1/one"));
    EXPECT_FALSE(OpenInDefaultBrowser("http://127.0.0.1/two"));
    EXPECT_EQ(opened, (std::vector<std::string>{"http://127.0.0.1/one", "http://127.0.0.1/two"}));
}

}  // namespace
}  // namespace trabix
