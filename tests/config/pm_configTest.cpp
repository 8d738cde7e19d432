#include "support/Files.h"
#include "config/pm_config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <vector>

namespace trabix {
namespace {

using testkit::ReadFile;
using testkit::TTempDir;
using testkit::WriteFile;

// Each test gets its own INI path and fresh records, as at program start.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { OverrideConfigFileName(path_); }
    void TearDown() override { OverrideConfigFileName(""); }

    TTempDir dir_;
    const std::string path_ = dir_ / "Trabix.ini";
    TSettings settings_;
};

TEST(ConfigFileNameTest, IsBesideTheExecutableWhateverTheWorkingDirectory)
{
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    const auto previous = std::filesystem::current_path();
    TTempDir elsewhere;
    std::filesystem::current_path(elsewhere.Path());
    const std::string name = ConfigFileName();
    std::filesystem::current_path(previous);
    EXPECT_EQ(name, exe.substr(0, exe.rfind('/') + 1) + "Trabix.ini");
}

TEST_F(ConfigTest, FirstRunDefaultsAreSavedInTheFileLayout)
{
    ASSERT_TRUE(settings_.Load());
    EXPECT_FALSE(std::filesystem::exists(path_));  // loading never creates the file
    EXPECT_EQ(settings_.Port(5).Remarks, "Mapped Port 5");
    ASSERT_TRUE(settings_.Save());
    std::string expected =
        "[General]\nAutoStart=0\nLogToScreen=1\nLogToFile=0\nLimitScreenLog=1\n"
        "ScreenLogLines=5000\nWrapLines=1\nGotoTNA=0\nLogConnInfo=1\nLogDelayInfo=1\n"
        "DelayPerThread=0\n";
    for (int n = 1; n <= ChannelCount; ++n)
        expected += "[MappedPort_" + std::to_string(n) + "]\nRemarks=Mapped Port " +
            std::to_string(n) +
            "\nBindIp=\nListenPort=1\nMapIp=127.0.0.1\nMapPort=1\nMap=0\nLogging=0\n"
            "LogDataMode=0\nMaxSpeed=0\nAllowFrom=\nMaxConnections=0\n"
            "MaxConnectionsPerSource=0\nLatencyCS=0\nLatencySC=0\nJitterCS=0\n"
            "JitterSC=0\nResetAfterCS=0\nResetAfterSC=0\nStallAfterCS=0\n"
            "StallAfterSC=0\nConditionChance=100\nConditionSeed=0\nCapture=0\n"
            "CaptureToFile=0\nTlsClient=0\nTlsCertFile=\nTlsKeyFile=\nTlsTarget=0\n"
            "TlsServerName=\nTlsVerify=1\nTlsCaFile=\nTlsClientCertFile=\n"
            "TlsClientKeyFile=\nTlsPassThroughRejected=1\nTlsKeyLogFile=\n";
    EXPECT_EQ(ReadFile(path_), expected);
}

TEST_F(ConfigTest, TlsKeysLoadClampedAndComeBack)
{
    WriteFile(path_,
              "[MappedPort_2]\nTlsClient=1\nTlsTarget=7\nTlsVerify=0\nTlsServerName=db.test\n"
              "TlsCaFile=/etc/ca.pem\nTlsPassThroughRejected=0\nTlsKeyLogFile=/tmp/k.log\n"
              "[MappedPort_3]\nTlsClient=-1\n");
    ASSERT_TRUE(settings_.Load());
    const TPM_port& p = settings_.Port(2);
    EXPECT_EQ(p.TlsClient, 1);
    EXPECT_EQ(p.TlsTarget, 1);  // clamped: on
    EXPECT_FALSE(p.TlsVerify);
    EXPECT_FALSE(p.TlsPassThroughRejected);
    EXPECT_EQ(p.TlsServerName, "db.test");
    EXPECT_EQ(settings_.Port(3).TlsClient, 0);
    EXPECT_TRUE(settings_.Port(3).TlsVerify);  // defaults of missing keys
    EXPECT_TRUE(settings_.Port(3).TlsPassThroughRejected);
    ASSERT_TRUE(settings_.Save());
    settings_ = TSettings{};
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.Port(2).TlsCaFile, "/etc/ca.pem");
    EXPECT_EQ(settings_.Port(2).TlsKeyLogFile, "/tmp/k.log");
    EXPECT_FALSE(settings_.Port(2).TlsVerify);
}

TEST_F(ConfigTest, NetworkConditionsAreClampedOnLoadAndComeBack)
{
    WriteFile(path_,
              "[MappedPort_4]\nLatencyCS=40\nLatencySC=60001\nJitterCS=-3\nJitterSC=20\n"
              "ResetAfterCS=-1\nResetAfterSC=100000\nStallAfterCS=7\nStallAfterSC=-9\n"
              "ConditionChance=101\nConditionSeed=-42\n"
              "[MappedPort_5]\nConditionChance=-1\n");
    ASSERT_TRUE(settings_.Load());
    const TPM_port& p = settings_.Port(4);
    EXPECT_EQ(std::vector<std::int32_t>({p.LatencyCS, p.LatencySC, p.JitterCS, p.JitterSC,
                                         p.ResetAfterCS, p.ResetAfterSC, p.StallAfterCS,
                                         p.StallAfterSC, p.ConditionChance, p.ConditionSeed}),
              std::vector<std::int32_t>({40, 60000, 0, 20, 0, 100000, 7, 0, 100, -42}));
    EXPECT_EQ(settings_.Port(5).ConditionChance, 0);
    EXPECT_EQ(settings_.Port(6).ConditionChance, 100);  // the default of a missing key
    ASSERT_TRUE(settings_.Save());
    settings_ = TSettings{};
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.Port(4).LatencySC, 60000);
    EXPECT_EQ(settings_.Port(4).ConditionSeed, -42);
}

TEST_F(ConfigTest, ValuesAreReadByTheIntegerAndBooleanRules)
{
    WriteFile(path_,
              "[General]\nScreenLogLines=\nWrapLines=0\nAppTitle=  Lab  \nLogToFile=-1\n"
              "[mappedport_2]\nMap=yes\nMaxSpeed=0x10\nListenPort= 8080\n"
              "[MappedPort_3]\nMap=2\nMapPort=$1F90\nLogDataMode=9x\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.General().ScreenLogLines, 5000);
    EXPECT_FALSE(settings_.General().WrapLines);
    EXPECT_EQ(settings_.General().AppTitle, "Lab");
    EXPECT_TRUE(settings_.General().LogToFile);
    EXPECT_FALSE(settings_.Port(2).Map);
    EXPECT_EQ(settings_.Port(2).MaxSpeed, 16);
    EXPECT_EQ(settings_.Port(2).ListenPort, 8080);
    EXPECT_TRUE(settings_.Port(3).Map);
    EXPECT_EQ(settings_.Port(3).MapPort, 8080);
    EXPECT_EQ(settings_.Port(3).LogDataMode, 0);
}

TEST_F(ConfigTest, IntegersLoadClampedIntoTheRangesTheWindowOffers)
{
    WriteFile(path_,
              "[General]\nScreenLogLines=5\n"
              "[MappedPort_1]\nListenPort=0\nMapPort=65536\nLogDataMode=42\nMaxSpeed=-1\n"
              "MaxConnections=-3\nMaxConnectionsPerSource=2000000\n"
              "[MappedPort_2]\nListenPort=-5\nMapPort=65535\nLogDataMode=-1\n"
              "MaxSpeed=2147483647\n"
              "[MappedPort_3]\nListenPort=1\nLogDataMode=9\nMaxSpeed=100000000\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.General().ScreenLogLines, 1000);
    const auto values = [this](int n) {
        const TPM_port& p = settings_.Port(n);
        return std::make_tuple(p.ListenPort, p.MapPort, p.LogDataMode, p.MaxSpeed);
    };
    EXPECT_EQ(values(1), std::make_tuple(1, 65535, 9, 0));
    EXPECT_EQ(settings_.Port(1).MaxConnections, 0);
    EXPECT_EQ(settings_.Port(1).MaxConnectionsPerSource, 1000000);
    EXPECT_EQ(values(2), std::make_tuple(1, 65535, 0, 100000000));
    EXPECT_EQ(values(3), std::make_tuple(1, 1, 9, 100000000)) << "absent port: 1, bounds kept";
    EXPECT_EQ(values(4), std::make_tuple(1, 1, 0, 0)) << "an absent section";
    WriteFile(path_, "[General]\nScreenLogLines=2000000\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.General().ScreenLogLines, 1000000);
}

// Fills the records with one of two value sets that differ in every written key.
void SetRecords(TSettings& Settings, int Variant)
{
    const bool on = Variant % 2 == 1;
    Settings.General() = {on, !on, on, !on, 1000 * Variant, on, "", on, !on, !on, on, ""};
    for (int n = 1; n <= ChannelCount; ++n)
        Settings.Port(n) = {"bind " + std::to_string(Variant),
                            65535 - 10 * Variant - n,
                            "map;" + std::to_string(n),
                            Variant + n,
                            on,
                            "remark=" + std::string(200 * Variant, 'r'),
                            !on,
                            Variant,
                            100000000 - Variant - n,
                            "10.0.0." + std::to_string(n) + "/" + std::to_string(Variant),
                            Variant * 100 + n,
                            Variant + 2 * n,
                            Variant,
                            n,
                            Variant + 1,
                            n + 1,
                            Variant * 1000,
                            n * 1000,
                            Variant * 7,
                            n * 7,
                            50 + Variant,
                            Variant - n,
                            on,
                            !on,
                            on ? 1 : 0,
                            "cert" + std::to_string(Variant),
                            "key" + std::to_string(Variant),
                            on ? 0 : 1,
                            "name" + std::to_string(n),
                            !on,
                            "ca" + std::to_string(Variant),
                            "ccert" + std::to_string(Variant),
                            "ckey" + std::to_string(Variant),
                            on,
                            "keylog" + std::to_string(Variant)};
}

TEST_F(ConfigTest, EveryValueComesBackAndAppTitleAndForeignLinesSurvive)
{
    const std::string foreign = "; kept comment\r\n[Tools]\r\nEditor=vi\r\n";
    WriteFile(path_, foreign + "[General]\r\nAppTitle=Bench\r\nMine=yes\r\n");
    SetRecords(settings_, 1);
    settings_.General().AppTitle = "changed in memory";
    ASSERT_TRUE(settings_.Save());
    const std::string first = ReadFile(path_);

    settings_ = TSettings{};
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.General().AppTitle, "Bench");
    ASSERT_TRUE(settings_.Save());  // the same records give the same file
    EXPECT_EQ(ReadFile(path_), first);
    EXPECT_EQ(first.substr(0, foreign.size()), foreign);
    EXPECT_EQ(first.find("[General]\r\nAppTitle=Bench\r\nMine=yes\r\nAutoStart=1\r\n"),
              foreign.size());
}

TEST_F(ConfigTest, BadInputLoadsWhatItCanAndSaveKeepsEveryLineItDoesNotWrite)
{
    std::mt19937 random(99);
    std::string garbage(4096, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    const std::string kept[] = {"Remarks=before any section",
                                "[WindowPos",
                                garbage,
                                "[General]",
                                std::string(10u << 20, 'Q'),
                                "ScreenLogLines=1234",
                                "ScreenLogLines=999",
                                "[MappedPort_4]",
                                "\r",
                                "MapPort=4444"};
    std::string content;
    for (const std::string& line : kept)
        content += line + "\n";
    WriteFile(path_, content + "Remarks=no final line end");

    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.General().ScreenLogLines, 1234);  // the first of two wins
    EXPECT_EQ(settings_.Port(4).MapPort, 4444);
    EXPECT_EQ(settings_.Port(4).Remarks, "no final line end");
    settings_.General().ScreenLogLines = 77;
    ASSERT_TRUE(settings_.Save());
    const std::string saved = ReadFile(path_);
    std::size_t at = 0;
    for (const std::string& line : kept) {
        at = saved.find(line == "ScreenLogLines=1234" ? "ScreenLogLines=77\n" : line + "\n", at);
        ASSERT_NE(at, std::string::npos) << line.substr(0, 40);
    }
}

TEST_F(ConfigTest, UnreadableOrReadOnlyFileOrDirectoryFailsAndWritesNothing)
{
    WriteFile(path_, "[General]\nScreenLogLines=77\n");
    chmod(path_.c_str(), 0200);
    EXPECT_TRUE(testkit::RunWithoutPrivileges([&] {
        settings_.General().ScreenLogLines = 1;
        return !settings_.Load() && settings_.General().ScreenLogLines == 1 && !settings_.Save();
    }));
    chmod(path_.c_str(), 0444);  // read-only file in a writable directory
    EXPECT_TRUE(
        testkit::RunWithoutPrivileges([&] { return settings_.Load() && !settings_.Save(); }));
    chmod(path_.c_str(), 0644);
    chmod(dir_.Path().c_str(), 0555);
    EXPECT_TRUE(
        testkit::RunWithoutPrivileges([&] { return settings_.Load() && !settings_.Save(); }));
    chmod(dir_.Path().c_str(), 0777);
    EXPECT_EQ(dir_.Names(), std::set<std::string>{"Trabix.ini"});
    EXPECT_EQ(ReadFile(path_), "[General]\nScreenLogLines=77\n");

    OverrideConfigFileName(dir_.Path());  // the name is a directory
    EXPECT_FALSE(settings_.Load());
    EXPECT_FALSE(settings_.Save());
}

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

TEST_F(ConfigTest, WindowPositionTakesEachMissingKeyFromItsDefault)
{
    WriteFile(path_, "[WindowPos]\nWidth=700\nTop=junk\n");
    TRecordedBounds form;
    LoadWindowPos(form, 0, 0, 950, 500);
    EXPECT_EQ(form.order, "TLHW");
    EXPECT_EQ(std::tie(form.top, form.left, form.height, form.width),
              std::make_tuple(0, 0, 500, 700));

    form.top = -20, form.left = 3000, form.height = 1, form.width = 2;
    ASSERT_TRUE(SaveWindowPos(form));
    EXPECT_EQ(ReadFile(path_), "[WindowPos]\nWidth=2\nTop=-20\nLeft=3000\nHeight=1\n");

    OverrideConfigFileName(dir_.Path());  // unreadable: all four defaults, whatever was there
    LoadWindowPos(form, 11, 12, 13, 14);
    EXPECT_EQ(std::tie(form.top, form.left, form.height, form.width),
              std::make_tuple(12, 11, 14, 13));
}

// --- interrupted saves: the file always holds one whole save, old or new; a failure injected
// at each step of the replacement is tested with the INI file

std::string SaveOf(TSettings& Settings, int Variant, const std::string& Path)
{
    SetRecords(Settings, Variant);
    return Settings.Save() ? ReadFile(Path) : "save failed";
}

TEST_F(ConfigTest, SaveLoopKilledAtRandomMomentsNeverLeavesAMixedFile)
{
    WriteFile(path_, "[General]\nAppTitle=Kept\n");
    const std::string one = SaveOf(settings_, 1, path_);
    const std::string two = SaveOf(settings_, 2, path_);
    std::mt19937 random(12345);
    for (int round = 0; round < 25; ++round) {
        int progress[2];
        ASSERT_EQ(pipe(progress), 0);
        const pid_t child = fork();
        if (child == 0) {
            for (int i = 0; i < 100000 && write(progress[1], "s", 1) == 1; ++i)
                SaveOf(settings_, 1 + i % 2, path_);
            _exit(0);
        }
        close(progress[1]);
        // Let a random number of saves begin, then kill at a random moment of the last one.
        char done = 0;
        for (int saves = 1 + static_cast<int>(random() % 4); saves > 0; --saves)
            ASSERT_EQ(read(progress[0], &done, 1), 1);
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 2000);
        while (std::chrono::steady_clock::now() < until) {}
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(progress[0]);
        const std::string now = ReadFile(path_);
        ASSERT_TRUE(now == one || now == two) << "round " << round;
    }
}

TEST_F(ConfigTest, ChannelKeysByNameHaveTheTableRangesAndRefuseWhatLoadWouldClamp)
{
    // Every key the file holds is reachable by name, in the file's order.
    ASSERT_TRUE(settings_.Save());
    const std::string file = ReadFile(path_);
    size_t at = file.find("[MappedPort_1]");
    for (const TChannelKey& key : ChannelKeys()) {
        const size_t found = file.find("\n" + key.Name + "=", at);
        ASSERT_NE(found, std::string::npos) << key.Name;
        at = found + 1;
    }
    const TChannelKey* latency = FindChannelKey("latencysc");
    ASSERT_NE(latency, nullptr);
    EXPECT_EQ(latency->Name, "LatencySC");
    EXPECT_EQ(latency->Range.Max, MaxConditionMs);
    EXPECT_EQ(FindChannelKey("NoSuchKey"), nullptr);
    EXPECT_EQ(FindChannelKey("AppTitle"), nullptr);  // a general key, not a channel's

    TPM_port& port = settings_.Port(3);
    EXPECT_TRUE(WriteChannelKey(port, *latency, std::int32_t{250}));
    EXPECT_EQ(port.LatencySC, 250);
    EXPECT_FALSE(WriteChannelKey(port, *latency, std::int32_t{MaxConditionMs + 1}));
    EXPECT_FALSE(WriteChannelKey(port, *latency, std::int32_t{-1}));
    EXPECT_FALSE(WriteChannelKey(port, *latency, std::string("250")));
    EXPECT_EQ(port.LatencySC, 250);
    EXPECT_TRUE(WriteChannelKey(port, *FindChannelKey("Capture"), true));
    EXPECT_TRUE(WriteChannelKey(port, *FindChannelKey("AllowFrom"), std::string("127.0.0.1")));
    EXPECT_EQ(std::get<bool>(ReadChannelKey(port, *FindChannelKey("Capture"))), true);
    EXPECT_EQ(std::get<std::string>(ReadChannelKey(port, *FindChannelKey("ALLOWFROM"))),
              "127.0.0.1");
    EXPECT_FALSE(WriteChannelKey(port, *FindChannelKey("ListenPort"), std::int32_t{0}));
}

TEST_F(ConfigTest, ApiListenIsReadButNeverWritten)
{
    WriteFile(path_, "[General]\nApiListen=127.0.0.1:0\n");
    ASSERT_TRUE(settings_.Load());
    EXPECT_EQ(settings_.General().ApiListen, "127.0.0.1:0");
    settings_.General().ApiListen = "changed";
    ASSERT_TRUE(settings_.Save());
    EXPECT_NE(ReadFile(path_).find("ApiListen=127.0.0.1:0\n"), std::string::npos);
    EXPECT_EQ(ReadFile(path_).find("changed"), std::string::npos);
}

}  // namespace
}  // namespace trabix
