#include "config/AtomicFile.h"
#include "config/IniFile.h"
#include "support/Files.h"

#include <gtest/gtest.h>

namespace trabix {
namespace {

using testkit::ReadFile;
using testkit::TTempDir;
using testkit::WriteFile;

void CreateFiles(const TTempDir& Dir, std::initializer_list<std::string> Names)
{
    for (const std::string& name : Names)
        WriteFile(Dir / name, "partial");
}

TEST(IniInteger, ReadsOnlyOneWhole32BitNumber)
{
    const std::pair<const char*, std::int32_t> good[] = {{"   42", 42},
                                                         {"\t-7", -7},
                                                         {"+7", 7},
                                                         {"0x10", 16},
                                                         {"0X1f", 31},
                                                         {"$ff", 255},
                                                         {"x10", 16},
                                                         {"X10", 16},
                                                         {"-$10", -16},
                                                         {"-2147483648", INT32_MIN},
                                                         {"0x7FFFFFFF", INT32_MAX},
                                                         {"-0x80000000", INT32_MIN}};
    for (const auto& [text, value] : good)
        EXPECT_EQ(ParseIniInteger(text), value) << text;
    for (const char* text : {"", "-", "0x", "$", "yes", "12a", "1 2", "--1", "2147483648",
                             "-2147483649", "0x80000000", "99999999999999999999", "1.5"})
        EXPECT_FALSE(ParseIniInteger(text).has_value()) << text;
}

TEST(IniFile, UnknownLinesAndLineEndsSurviveWritesByteForByte)
{
    const std::string original =
        "; comment\r\norphan=before any section\r\n[Other]\nKey = kept  \r\n\r\n"
        "[General]\r\nAutoStart=1\r\nUnknown=x\r\n\r\n[Tail]\r\nno line end at all";
    TIniFile ini("unused");
    ini.Parse(original);
    EXPECT_EQ(ini.Render(), original);

    ini.WriteBool("General", "AutoStart", false);
    ini.WriteInteger("General", "ScreenLogLines", 5000);
    ini.WriteString("Tail", "Added", "v");
    ini.WriteString("New", "Key", "w");
    EXPECT_EQ(ini.Render(),
              "; comment\r\norphan=before any section\r\n[Other]\nKey = kept  \r\n\r\n"
              "[General]\r\nAutoStart=0\r\nUnknown=x\r\nScreenLogLines=5000\r\n\r\n"
              "[Tail]\r\nno line end at all\r\nAdded=v\r\n[New]\r\nKey=w\r\n");
}

TEST(IniFile, CaseBlindNamesFirstDuplicateAndMalformedLines)
{
    TIniFile ini("unused");
    ini.Parse(
        "Top=1\n[WindowPos\nLeft=2\n[mappedport_2]\nmapport = 80\nMAPPORT=81\n;Map=1\n"
        "[MappedPort_2]\nMapPort=82\nMap=1\n");
    EXPECT_EQ(ini.ReadInteger("MappedPort_2", "MapPort", 0), 80);
    // A header without its bracket opens nothing, a key before any section is in none, and a
    // comment is no key; the second section of the same name is never reached.
    EXPECT_FALSE(ini.ReadValue("WindowPos", "Left"));
    EXPECT_FALSE(ini.ReadValue("", "Top"));
    EXPECT_FALSE(ini.ReadValue("MappedPort_2", "Map"));

    ini.WriteInteger("MAPPEDPORT_2", "MapPort", 90);
    ini.WriteString("mappedport_2", "Remarks", "two\r\n[General]\nAutoStart=1");
    EXPECT_EQ(ini.Render(),
              "Top=1\n[WindowPos\nLeft=2\n[mappedport_2]\nmapport=90\nMAPPORT=81\n"
              ";Map=1\nRemarks=two  [General] AutoStart=1\n[MappedPort_2]\n"
              "MapPort=82\nMap=1\n");
}

TEST(IniFile, ValuesAreTrimmedAndCutTo2047Bytes)
{
    TIniFile ini("unused");
    ini.Parse("[S]\nlong=" + std::string(5000, 'a') + "\nspaced =  two words \t\n");
    EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(IniMaxValueLength, 'a'));
    EXPECT_EQ(ini.ReadString("S", "spaced", ""), "two words");
}

TEST(IniFile, PathsThatAreNoRegularFilesFailWithoutHanging)
{
    TTempDir dir;
    EXPECT_TRUE(TIniFile(dir / "missing.ini").Load());
    ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0666), 0);  // an ordinary open would block
    EXPECT_FALSE(TIniFile(dir / "fifo.ini").Load());
    TIniFile directory(dir.Path());
    EXPECT_FALSE(directory.Load());
    directory.WriteString("S", "K", "v");
    EXPECT_FALSE(directory.UpdateFile());
    EXPECT_EQ(directory.LastError(), "Unable to write to " + dir.Path());
}

TEST(AtomicReplace, KeepsTheModeAndFollowsALink)
{
    TTempDir dir;
    WriteFile(dir / "real.ini", "old");
    chmod((dir / "real.ini").c_str(), 0640);
    ASSERT_EQ(symlink("real.ini", (dir / "link.ini").c_str()), 0);

    ASSERT_TRUE(ReplaceFileContent(dir / "link.ini", "new"));
    EXPECT_EQ(ReadFile(dir / "real.ini"), "new");
    struct stat st {};
    ASSERT_EQ(stat((dir / "real.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
    EXPECT_EQ(dir.Names().size(), 2u);
}

TEST(AtomicReplace, RemovesTheTemporaryFilesOfDeadWritersOnly)
{
    TTempDir dir;
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string stale = ".a.ini." + std::to_string(dead) + "-0.tmp";
    const std::string live = ".a.ini." + std::to_string(getpid()) + "-999.tmp";
    const std::string otherFile = ".b.ini." + std::to_string(dead) + "-0.tmp";
    CreateFiles(dir, {stale, live, otherFile});
    ASSERT_TRUE(ReplaceFileContent(dir / "a.ini", "new"));
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"a.ini", live, otherFile}));
}

std::string StepName(const ::testing::TestParamInfo<TReplaceStep>& Info)
{
    static const char* const names[] = {"TempCreated", "PartWritten", "TempSynced", "Renamed"};
    return names[static_cast<int>(Info.param)];
}

class AtomicReplaceFailure : public ::testing::TestWithParam<TReplaceStep> {
protected:
    void TearDown() override { SetReplaceHookForTesting({}); }
};

TEST_P(AtomicReplaceFailure, KeepsTheOldFileAndRemovesTheTemporaryOne)
{
    TTempDir dir;
    WriteFile(dir / "a.ini", "old content\n");
    SetReplaceHookForTesting([failing = GetParam()](TReplaceStep step) { return step != failing; });
    EXPECT_FALSE(ReplaceFileContent(dir / "a.ini", std::string(10000, 'n')));
    EXPECT_EQ(ReadFile(dir / "a.ini"), "old content\n");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"a.ini"});
}

INSTANTIATE_TEST_SUITE_P(BeforeTheRename, AtomicReplaceFailure,
                         ::testing::Values(TReplaceStep::TempCreated, TReplaceStep::PartWritten,
                                           TReplaceStep::TempSynced),
                         StepName);

}  // namespace
}  // namespace trabix
