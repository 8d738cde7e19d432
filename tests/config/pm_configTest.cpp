#include "pm_config.h"
#include "AtomicFile.h"
#include "IniFile.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <random>
#include <vector>

namespace trabix {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

// Each test gets its own INI path and zeroed records, as at program start.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_ / "Trabix.ini";
        OverrideConfigFileName(path_);
        GeneralConfig = {};
        PortConfig = {};
    }
    void TearDown() override {
        OverrideConfigFileName("");
        SetReplaceHookForTesting({});
    }

    TTempDir dir_;
    std::string path_;
};

class TRecordedBounds : public TWindowBounds {
public:
    std::int32_t Top() const override { return top; }
    std::int32_t Left() const override { return left; }
    std::int32_t Height() const override { return height; }
    std::int32_t Width() const override { return width; }
    void SetTop(std::int32_t v) override { top = v, order += "T"; }
    void SetLeft(std::int32_t v) override { left = v, order += "L"; }
    void SetHeight(std::int32_t v) override { height = v, order += "H"; }
    void SetWidth(std::int32_t v) override { width = v, order += "W"; }

    std::int32_t top = -1, left = -1, height = -1, width = -1;
    std::string order;
};

TEST(ConfigFileNameTest, IsBesideTheExecutableWhateverTheWorkingDirectory) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    std::string expected(exe, static_cast<std::size_t>(n));
    expected = expected.substr(0, expected.rfind('/') + 1) + "Trabix.ini";

    const auto previous = std::filesystem::current_path();
    TTempDir elsewhere;
    std::filesystem::current_path(elsewhere.Path());
    const std::string name = ConfigFileName();
    std::filesystem::current_path(previous);
    EXPECT_EQ(name, expected);
}

TEST_F(ConfigTest, FirstRunLoadsTheDefaults) {
    ASSERT_TRUE(LoadConfig());
    EXPECT_FALSE(GeneralConfig.AutoStart);
    EXPECT_TRUE(GeneralConfig.LogToScreen);
    EXPECT_FALSE(GeneralConfig.LogToFile);
    EXPECT_TRUE(GeneralConfig.LimitScreenLog);
    EXPECT_EQ(GeneralConfig.ScreenLogLines, 5000);
    EXPECT_TRUE(GeneralConfig.WrapLines);
    EXPECT_EQ(GeneralConfig.AppTitle, "");
    EXPECT_FALSE(GeneralConfig.GotoTNA);
    EXPECT_TRUE(GeneralConfig.LogConnInfo);
    EXPECT_TRUE(GeneralConfig.LogDelayInfo);
    EXPECT_FALSE(GeneralConfig.DelayPerThread);
    for (int n = 1; n <= ChannelCount; ++n) {
        EXPECT_EQ(PortConfig[n].Remarks, "Mapped Port " + std::to_string(n));
        EXPECT_EQ(PortConfig[n].BindIp, "");
        EXPECT_EQ(PortConfig[n].MapIp, "127.0.0.1");
        EXPECT_EQ(PortConfig[n].ListenPort, 0);
        EXPECT_FALSE(PortConfig[n].Map);
    }
    EXPECT_FALSE(std::filesystem::exists(path_));  // loading never creates the file
}

TEST_F(ConfigTest, ValuesAreReadByTheIntegerAndBooleanRules) {
    WriteFile(path_,
              "[General]\nScreenLogLines=\nWrapLines=0\nAppTitle=  Lab  \nLogToFile=-1\n"
              "[mappedport_2]\nMap=yes\nMaxSpeed=0x10\nListenPort= 8080\n"
              "[MappedPort_3]\nMap=2\nMapPort=$1F90\nLogDataMode=9x\n");
    ASSERT_TRUE(LoadConfig());
    EXPECT_EQ(GeneralConfig.ScreenLogLines, 5000);
    EXPECT_FALSE(GeneralConfig.WrapLines);
    EXPECT_EQ(GeneralConfig.AppTitle, "Lab");
    EXPECT_TRUE(GeneralConfig.LogToFile);
    EXPECT_FALSE(PortConfig[2].Map);
    EXPECT_EQ(PortConfig[2].MaxSpeed, 16);
    EXPECT_EQ(PortConfig[2].ListenPort, 8080);
    EXPECT_TRUE(PortConfig[3].Map);
    EXPECT_EQ(PortConfig[3].MapPort, 8080);
    EXPECT_EQ(PortConfig[3].LogDataMode, 0);
}

TEST_F(ConfigTest, SaveWritesTheSectionsAndKeysInTheirOrder) {
    ASSERT_TRUE(LoadConfig());
    PortConfig[1].ListenPort = 8080;
    PortConfig[1].MapPort = 80;
    PortConfig[1].Map = true;
    ASSERT_TRUE(SaveConfig());
    const std::string file = ReadFile(path_);
    EXPECT_EQ(file.substr(0, file.find("[MappedPort_2]")),
              "[General]\nAutoStart=0\nLogToScreen=1\nLogToFile=0\nLimitScreenLog=1\n"
              "ScreenLogLines=5000\nWrapLines=1\nGotoTNA=0\nLogConnInfo=1\nLogDelayInfo=1\n"
              "DelayPerThread=0\n"
              "[MappedPort_1]\nRemarks=Mapped Port 1\nBindIp=\nListenPort=8080\nMapIp=127.0.0.1\n"
              "MapPort=80\nMap=1\nLogging=0\nLogDataMode=0\nMaxSpeed=0\n");
    std::size_t at = 0;
    for (int n = 1; n <= ChannelCount; ++n) {
        at = file.find("[MappedPort_" + std::to_string(n) + "]\nRemarks=", at);
        EXPECT_NE(at, std::string::npos) << n;
    }
    EXPECT_EQ(file.find("AppTitle"), std::string::npos);
}

TEST_F(ConfigTest, SaveAndLoadGiveBackEveryValue) {
    GeneralConfig = {true, false, true, false, -12, false, "", true, false, false, true};
    for (int n = 1; n <= ChannelCount; ++n)
        PortConfig[n] = {"10.0.0." + std::to_string(n), 1000 + n, "host " + std::to_string(n),
                         INT32_MIN + n, n % 2 == 0, " remark; with = signs ", n % 3 == 0, n,
                         INT32_MAX - n};
    ASSERT_TRUE(SaveConfig());
    const TPM_GeneralConfig general = GeneralConfig;
    const auto ports = PortConfig;
    GeneralConfig = {};
    PortConfig = {};
    ASSERT_TRUE(LoadConfig());
    EXPECT_EQ(GeneralConfig.ScreenLogLines, general.ScreenLogLines);
    EXPECT_EQ(GeneralConfig.DelayPerThread, general.DelayPerThread);
    EXPECT_EQ(GeneralConfig.GotoTNA, general.GotoTNA);
    for (int n = 1; n <= ChannelCount; ++n) {
        EXPECT_EQ(PortConfig[n].BindIp, ports[n].BindIp);
        EXPECT_EQ(PortConfig[n].ListenPort, ports[n].ListenPort);
        EXPECT_EQ(PortConfig[n].MapIp, ports[n].MapIp);
        EXPECT_EQ(PortConfig[n].MapPort, ports[n].MapPort);
        EXPECT_EQ(PortConfig[n].Map, ports[n].Map);
        // Blanks at either end of a value do not survive the file; inner ones do.
        EXPECT_EQ(PortConfig[n].Remarks, "remark; with = signs");
        EXPECT_EQ(PortConfig[n].Logging, ports[n].Logging);
        EXPECT_EQ(PortConfig[n].LogDataMode, ports[n].LogDataMode);
        EXPECT_EQ(PortConfig[n].MaxSpeed, ports[n].MaxSpeed);
    }
}

TEST_F(ConfigTest, AppTitleAndForeignLinesSurviveRepeatedSaves) {
    const std::string foreign = "; kept comment\r\n[Tools]\r\nEditor=vi\r\n";
    WriteFile(path_, foreign + "[General]\r\nAppTitle=Bench\r\nAutoStart=1\r\nMine=yes\r\n");
    ASSERT_TRUE(LoadConfig());
    for (int round = 0; round < 3; ++round) {
        GeneralConfig.AppTitle = "changed in memory";
        GeneralConfig.AutoStart = round % 2 == 0;
        ASSERT_TRUE(SaveConfig());
    }
    const std::string file = ReadFile(path_);
    EXPECT_EQ(file.substr(0, foreign.size()), foreign);
    EXPECT_NE(file.find("[General]\r\nAppTitle=Bench\r\nAutoStart=1\r\nMine=yes\r\nLogToScreen="),
              std::string::npos);
    EXPECT_EQ(file.find("\r\r"), std::string::npos);
    EXPECT_EQ(file.find("changed"), std::string::npos);
}

TEST_F(ConfigTest, BadInputLoadsWhatItCanAndSaveKeepsEveryLineItDoesNotWrite) {
    std::mt19937 random(99);
    std::string garbage(4096, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    const std::vector<std::string> keep = {
        "Remarks=before any section",
        "[WindowPos",
        garbage,
        "[General]",
        std::string(10u << 20, 'Q'),
        "ScreenLogLines=1234",
        "ScreenLogLines=999",
        "[MappedPort_4]",
        "\r",
        "MapPort=4444",
    };
    std::string content;
    for (const std::string& line : keep)
        content += line + "\n";
    content += "Remarks=no final line end";
    WriteFile(path_, content);

    ASSERT_TRUE(LoadConfig());
    EXPECT_EQ(GeneralConfig.ScreenLogLines, 1234);  // the first of two wins
    EXPECT_EQ(PortConfig[4].MapPort, 4444);
    EXPECT_EQ(PortConfig[4].Remarks, "no final line end");
    EXPECT_EQ(PortConfig[1].Remarks, "Mapped Port 1");

    ASSERT_TRUE(SaveConfig());
    const std::string saved = ReadFile(path_);
    std::size_t at = 0;
    for (const std::string& line : keep) {
        if (line == "ScreenLogLines=1234")
            continue;  // the one line that was written
        at = saved.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << line.substr(0, 40);
    }
    GeneralConfig = {};
    ASSERT_TRUE(LoadConfig());
    EXPECT_EQ(GeneralConfig.ScreenLogLines, 1234);
}

TEST_F(ConfigTest, UnreadableFileFailsBothWaysAndStaysAsItWas) {
    WriteFile(path_, "[General]\nScreenLogLines=77\n");
    chmod(path_.c_str(), 0200);
    EXPECT_TRUE(test::RunWithoutPrivileges([] {
        GeneralConfig.ScreenLogLines = 1;
        return !LoadConfig() && GeneralConfig.ScreenLogLines == 1 && !SaveConfig();
    }));
    chmod(path_.c_str(), 0600);
    EXPECT_EQ(ReadFile(path_), "[General]\nScreenLogLines=77\n");

    OverrideConfigFileName(dir_.Path());  // the name is a directory
    EXPECT_FALSE(LoadConfig());
    EXPECT_FALSE(SaveConfig());
}

TEST_F(ConfigTest, ReadOnlyDirectoryMakesSaveFailAndWriteNothing) {
    chmod(dir_.Path().c_str(), 0555);
    EXPECT_TRUE(test::RunWithoutPrivileges([] { return LoadConfig() && !SaveConfig(); }));
    chmod(dir_.Path().c_str(), 0777);
    EXPECT_TRUE(dir_.Names().empty());
}

TEST_F(ConfigTest, WindowPositionTakesEachMissingKeyFromItsDefault) {
    WriteFile(path_, "[WindowPos]\nWidth=700\nTop=junk\n");
    TRecordedBounds form;
    LoadWindowPos(form, 0, 0, 950, 500);
    EXPECT_EQ(form.order, "TLHW");
    EXPECT_EQ(form.top, 0);
    EXPECT_EQ(form.left, 0);
    EXPECT_EQ(form.height, 500);
    EXPECT_EQ(form.width, 700);

    form.top = -20, form.left = 3000, form.height = 1, form.width = 2;
    ASSERT_TRUE(SaveWindowPos(form));
    EXPECT_EQ(ReadFile(path_), "[WindowPos]\nWidth=2\nTop=-20\nLeft=3000\nHeight=1\n");

    OverrideConfigFileName(dir_.Path());  // unreadable: all four defaults, whatever was there
    LoadWindowPos(form, 11, 12, 13, 14);
    EXPECT_EQ(form.left, 11);
    EXPECT_EQ(form.top, 12);
    EXPECT_EQ(form.width, 13);
    EXPECT_EQ(form.height, 14);
}

// --- interrupted saves: the file must always hold one whole save

// Fills the records with one of two value sets that differ in every written key.
void SetRecords(int Variant) {
    GeneralConfig = {Variant == 1, Variant != 1, Variant == 1, Variant != 1, 1000 + Variant,
                     Variant == 1, "", Variant == 1, Variant != 1, Variant != 1, Variant == 1};
    for (int n = 1; n <= ChannelCount; ++n)
        PortConfig[n] = {"bind" + std::to_string(Variant), Variant, "map" + std::to_string(Variant),
                         Variant + n, Variant == 1, "remark " + std::string(200 * Variant, 'r'),
                         Variant == 1, Variant, Variant * 100};
}

std::string SavedContent(const std::string& Start, int Variant, const std::string& Path) {
    WriteFile(Path, Start);
    SetRecords(Variant);
    return SaveConfig() ? ReadFile(Path) : "save failed";
}

TEST_F(ConfigTest, SaveStoppedAtAnyStepLeavesTheOldOrTheNewFileWhole) {
    const std::string start = "; user comment\n[General]\nAppTitle=Kept\n";
    const std::string contentA = SavedContent(start, 1, path_);
    const std::string contentB = SavedContent(contentA, 2, path_);
    ASSERT_NE(contentA, contentB);

    const std::pair<TReplaceStep, const std::string*> stops[] = {
        {TReplaceStep::TempCreated, &contentA},
        {TReplaceStep::PartWritten, &contentA},
        {TReplaceStep::TempSynced, &contentA},
        {TReplaceStep::Renamed, &contentB},
    };
    for (const auto& [step, expected] : stops) {
        WriteFile(path_, contentA);
        const pid_t child = fork();
        if (child == 0) {
            const TReplaceStep stopAt = step;
            SetReplaceHookForTesting([stopAt](TReplaceStep now) {
                if (now == stopAt)
                    _exit(0);  // as abrupt as a kill: no cleanup runs
                return true;
            });
            SetRecords(2);
            SaveConfig();
            _exit(3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(ReadFile(path_), *expected) << static_cast<int>(step);
    }
}

TEST_F(ConfigTest, SaveLoopKilledAtRandomMomentsNeverLeavesAMixedFile) {
    const std::string contentA = SavedContent("[General]\nAppTitle=Kept\n", 1, path_);
    const std::string contentB = SavedContent(contentA, 2, path_);
    std::mt19937 random(12345);
    for (int round = 0; round < 25; ++round) {
        int progress[2];
        ASSERT_EQ(pipe(progress), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(progress[0]);
            for (int i = 0; i < 100000; ++i) {
                SetRecords(1 + i % 2);
                SaveConfig();
                if (write(progress[1], "s", 1) != 1)
                    _exit(1);
            }
            _exit(0);
        }
        close(progress[1]);
        // Let a random number of saves finish, then kill at a random moment of the next one.
        char done = 0;
        for (int saves = static_cast<int>(random() % 4); saves > 0; --saves)
            ASSERT_EQ(read(progress[0], &done, 1), 1);
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::microseconds(random() % 3000);
        while (std::chrono::steady_clock::now() < until) {
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(progress[0]);

        const std::string now = ReadFile(path_);
        ASSERT_TRUE(now == contentA || now == contentB) << "round " << round;
        ASSERT_TRUE(LoadConfig());
        EXPECT_EQ(GeneralConfig.AppTitle, "Kept");
    }
}

}  // namespace
}  // namespace trabix
