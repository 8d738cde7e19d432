#include "qv_InetFuncs.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>

namespace trabix {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

TEST(FormatByteSize, GivesTheTableAtWidthFive) {
    EXPECT_EQ(FormatByteSize(5, 0), "    0B");
    EXPECT_EQ(FormatByteSize(5, 123), "  123B");
    EXPECT_EQ(FormatByteSize(5, 1000), " 1000B");
    EXPECT_EQ(FormatByteSize(5, 1000000), "976.6k");
    EXPECT_EQ(FormatByteSize(5, 2147483647), " 2048M");  // rounded, not cut
}

TEST(FormatByteSize, ScalesRoundsAndCarriesAtTheEdges) {
    const std::tuple<std::int32_t, std::int64_t, const char*> cases[] = {
        {5, 99999, "99999B"},              // five digits still fit unscaled
        {5, 100000, "97.66k"},             // two integer digits leave two decimals
        {5, 1023948, "999.9k"},            // just under the carry
        {5, 1023949, "1000.0k"},           // 999.95k carries into a sixth character
        {3, 1000000, "977k"},              // no room for a decimal: whole and rounded
        {1, 10, "0k"},                     // 0.0098k
        {3, 1280, "1.2k"},                 // an exact tie goes to the even digit, as %.*f does
        {5, std::int64_t{1} << 60, " 1024P"},
        {5, INT64_MAX, " 8192P"},
        {1, INT64_MAX, "8X"},              // scaled seven times
        {12, INT64_MAX, "8589934592.0G"},
    };
    for (const auto& [width, value, expected] : cases)
        EXPECT_EQ(FormatByteSize(width, value), expected) << width << " " << value;
}

TEST(FormatByteSize, WidthBelowOneEndsInsteadOfLoopingForever) {
    EXPECT_EQ(FormatByteSize(0, 10), FormatByteSize(1, 10));
    EXPECT_EQ(FormatByteSize(-5, 123456789), FormatByteSize(1, 123456789));
}

TEST(FormatByteSize, UsesTheDecimalSeparatorOfTheLocale) {
    EXPECT_EQ(FormatByteSize(5, 1000000, ","), "976,6k");
    EXPECT_EQ(FormatByteSize(5, 100000, "\xD9\xAB"), "97\xD9\xAB" "66k");  // counted as one
    EXPECT_EQ(FormatByteSize(5, 1000, ","), " 1000B");
    // The C locale is all these machines have; its separator is the full stop.
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
    EXPECT_EQ(FormatByteSize(5, 1000000), "976.6k");
}

// --- browser launch

// A stand-in for xdg-open that records its arguments, one per line, and ends with the code
// the test chose.
class BrowserLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        oldPath_ = getenv("PATH") ? getenv("PATH") : "";
        setenv("PATH", (dir_.Path() + ":/usr/bin:/bin").c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", oldPath_.c_str(), 1);
        SetBrowserLauncher({});
    }
    void InstallOpener(int ExitCode, const std::string& Extra = "") {
        const std::string script = dir_ / "xdg-open";
        WriteFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                              (dir_ / "args") + "'\n" + Extra + "exit " +
                              std::to_string(ExitCode) + "\n");
        chmod(script.c_str(), 0755);
    }

    TTempDir dir_;
    std::string oldPath_;
};

TEST_F(BrowserLaunch, HandsTheAddressOverAsOneArgumentWithoutAShell) {
    InstallOpener(0);
    const std::string url = "http://127.0.0.1/a b?q=\"x\"&y='z';touch " + (dir_ / "pwned") +
                            ";$(touch " + (dir_ / "pwned2") + ")`id`";
    EXPECT_TRUE(OpenInDefaultBrowser(url));
    EXPECT_EQ(ReadFile(dir_ / "args"), url + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pwned"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pwned2"));
}

TEST_F(BrowserLaunch, FailsWhenTheOpenerFailsOrIsMissing) {
    InstallOpener(3);
    EXPECT_FALSE(OpenInDefaultBrowser("http://127.0.0.1/"));
    EXPECT_FALSE(RunUrlOpener("no-such-opener-here", "http://127.0.0.1/", 1000));
}

TEST_F(BrowserLaunch, AnOpenerThatStaysInTheForegroundCountsAsStarted) {
    const std::string fifo = dir_ / "release";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    InstallOpener(1, "read line < '" + fifo + "'\n");
    EXPECT_TRUE(RunUrlOpener("xdg-open", "http://127.0.0.1/", 50));
    // Let the opener end, so that no process of the test outlives it.
    const int release = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(release, 0);
    ASSERT_EQ(write(release, "\n", 1), 1);
    close(release);
}

TEST_F(BrowserLaunch, TheLauncherCanBeReplaced) {
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
