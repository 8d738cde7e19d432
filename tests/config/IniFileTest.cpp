#include "IniFile.h"
#include "AtomicFile.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <random>

namespace trabix {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

TEST(IniInteger, AcceptsBlanksSignsAndEveryHexPrefix) {
    const std::pair<const char*, std::int32_t> good[] = {
        {"42", 42},           {"   42", 42},          {"\t-7", -7},      {"+7", 7},
        {"007", 7},           {"0x10", 16},           {"0X1f", 31},      {"$ff", 255},
        {"x10", 16},          {"X10", 16},            {"-$10", -16},     {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN}, {"0x7FFFFFFF", INT32_MAX}, {"-0x80000000", INT32_MIN},
    };
    for (const auto& [text, value] : good)
        EXPECT_EQ(ParseIniInteger(text), value) << text;
}

TEST(IniInteger, RejectsWhatIsNotOneWhole32BitNumber) {
    for (const char* text : {"", "   ", "-", "0x", "$", "yes", "true", "12a", "1 2", "--1", "+-1",
                             "2147483648", "-2147483649", "0x80000000", "99999999999999999999999",
                             "0x1g", "1.5", "١"})
        EXPECT_FALSE(ParseIniInteger(text).has_value()) << text;
}

TEST(IniFile, UnknownLinesAndLineEndsSurviveWritesByteForByte) {
    const std::string original =
        "; comment\r\n"
        "orphan=before any section\r\n"
        "[Other]\n"
        "Key = kept  \r\n"
        "\r\n"
        "[General]\r\n"
        "AutoStart=1\r\n"
        "Unknown=x\r\n"
        "\r\n"
        "[Tail]\r\n"
        "no line end at all";
    TIniFile ini("unused");
    ini.Parse(original);
    EXPECT_EQ(ini.Render(), original);

    ini.WriteBool("General", "AutoStart", false);
    ini.WriteInteger("General", "ScreenLogLines", 5000);
    ini.WriteString("Tail", "Added", "v");
    ini.WriteString("New", "Key", "w");
    EXPECT_EQ(ini.Render(),
              "; comment\r\n"
              "orphan=before any section\r\n"
              "[Other]\n"
              "Key = kept  \r\n"
              "\r\n"
              "[General]\r\n"
              "AutoStart=0\r\n"
              "Unknown=x\r\n"
              "ScreenLogLines=5000\r\n"
              "\r\n"
              "[Tail]\r\n"
              "no line end at all\r\n"
              "Added=v\r\n"
              "[New]\r\n"
              "Key=w\r\n");
}

TEST(IniFile, NamesMatchWithoutCaseAndTheFirstDuplicateWins) {
    TIniFile ini("unused");
    ini.Parse("[mappedport_2]\nmapport = 80\nMAPPORT=81\n[MappedPort_2]\nMapPort=82\n");
    EXPECT_EQ(ini.ReadInteger("MappedPort_2", "MapPort", 0), 80);

    ini.WriteInteger("MAPPEDPORT_2", "MapPort", 90);
    EXPECT_EQ(ini.Render(), "[mappedport_2]\nmapport=90\nMAPPORT=81\n[MappedPort_2]\nMapPort=82\n");
}

TEST(IniFile, MalformedLinesAreNeitherSectionsNorKeys) {
    TIniFile ini("unused");
    ini.Parse("Top=1\n[WindowPos\nLeft=2\n[General]\n=3\nno equals sign\n;Height=4\n");
    // Without its bracket the header opens nothing, and a key before any section is in none.
    EXPECT_FALSE(ini.ReadValue("WindowPos", "Left"));
    EXPECT_FALSE(ini.ReadValue("", "Top"));
    EXPECT_FALSE(ini.ReadValue("General", "no equals sign"));
    EXPECT_FALSE(ini.ReadValue("General", ";Height"));
}

TEST(IniFile, ValuesAreTrimmedAndCutAndCannotAddLines) {
    TIniFile ini("unused");
    const std::string longValue(5000, 'a');
    ini.Parse("[S]\nlong=" + longValue + "\nspaced =  two words \t\n");
    EXPECT_EQ(ini.ReadString("S", "long", ""), longValue.substr(0, IniMaxValueLength));
    EXPECT_EQ(ini.ReadString("S", "spaced", ""), "two words");

    ini.WriteString("S", "spaced", "x\r\n[General]\nAutoStart=1");
    EXPECT_EQ(ini.ReadString("S", "spaced", ""), "x  [General] AutoStart=1");
    EXPECT_FALSE(ini.ReadValue("General", "AutoStart"));
}

TEST(IniFile, ParseAndRenderGiveBackAnyInputUnchanged) {
    std::mt19937 random(4711);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string alphabet = "[]=;\r\n \tAb0x$";
    for (int round = 0; round < 200; ++round) {
        std::string input(static_cast<std::size_t>(random() % 400), '\0');
        for (char& c : input)
            c = (round % 2) ? static_cast<char>(byte(random)) : alphabet[random() % alphabet.size()];
        TIniFile ini("unused");
        ini.Parse(input);
        ASSERT_EQ(ini.Render(), input);
    }
}

TEST(IniFileLoad, MissingFileIsEmptyButUnreadablePathsFailAndBlockWrites) {
    TTempDir dir;
    TIniFile missing(dir / "none.ini");
    EXPECT_TRUE(missing.Load());

    TIniFile directory(dir.Path());
    EXPECT_FALSE(directory.Load());
    directory.WriteString("S", "K", "v");
    EXPECT_FALSE(directory.UpdateFile());
    EXPECT_EQ(directory.LastError(), "Unable to write to " + dir.Path());

    // A FIFO would block an ordinary open until a writer came.
    ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0666), 0);
    TIniFile fifo(dir / "fifo.ini");
    EXPECT_FALSE(fifo.Load());

    const std::string secret = dir / "secret.ini";
    WriteFile(secret, "[S]\nK=old\nother=line\n");
    chmod(secret.c_str(), 0200);
    EXPECT_TRUE(test::RunWithoutPrivileges([&] {
        TIniFile ini(secret);
        const bool loadFailed = !ini.Load();
        ini.WriteString("S", "K", "new");
        return loadFailed && !ini.UpdateFile();
    }));
    chmod(secret.c_str(), 0600);
    EXPECT_EQ(ReadFile(secret), "[S]\nK=old\nother=line\n");
}

TEST(IniFileLoad, TenMegabyteLineDoesNotHideTheKeysAfterIt) {
    TTempDir dir;
    const std::string path = dir / "big.ini";
    const std::string content = "[S]\nhuge=" + std::string(10u << 20, 'z') + "\nK=5";
    WriteFile(path, content);
    TIniFile ini(path);
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.ReadInteger("S", "K", 0), 5);
    EXPECT_EQ(ini.ReadString("S", "huge", "").size(), IniMaxValueLength);
    ini.WriteInteger("S", "K", 6);
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_EQ(ReadFile(path), content.substr(0, content.size() - 1) + "6");
}

// --- the atomic replacement underneath every write

TEST(AtomicReplace, KeepsModeFollowsLinksAndLeavesNoTemporaryFile) {
    TTempDir dir;
    const std::string target = dir / "real.ini";
    WriteFile(target, "old");
    chmod(target.c_str(), 0640);
    ASSERT_EQ(symlink("real.ini", (dir / "link.ini").c_str()), 0);

    ASSERT_TRUE(ReplaceFileContent(dir / "link.ini", "new"));
    EXPECT_EQ(ReadFile(target), "new");
    struct stat st {};
    ASSERT_EQ(lstat((dir / "link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"link.ini", "real.ini"}));
}

std::string StepName(const ::testing::TestParamInfo<TReplaceStep>& Info) {
    static const char* const names[] = {"TempCreated", "PartWritten", "TempSynced", "Renamed"};
    return names[static_cast<int>(Info.param)];
}

class AtomicReplaceFailure : public ::testing::TestWithParam<TReplaceStep> {
protected:
    void TearDown() override { SetReplaceHookForTesting({}); }
};

TEST_P(AtomicReplaceFailure, FailureAtAnyStepKeepsTheOldFileAndRemovesTheTemporaryOne) {
    TTempDir dir;
    const std::string path = dir / "a.ini";
    WriteFile(path, "old content\n");
    const TReplaceStep failing = GetParam();
    SetReplaceHookForTesting([failing](TReplaceStep step) { return step != failing; });

    EXPECT_FALSE(ReplaceFileContent(path, std::string(10000, 'n')));
    EXPECT_EQ(ReadFile(path), "old content\n");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"a.ini"});
}

INSTANTIATE_TEST_SUITE_P(EveryStepBeforeTheRename, AtomicReplaceFailure,
                         ::testing::Values(TReplaceStep::TempCreated, TReplaceStep::PartWritten,
                                           TReplaceStep::TempSynced),
                         StepName);

TEST(AtomicReplace, ReadOnlyDirectoryFailsAndWritesNothing) {
    TTempDir dir;
    const std::string sub = dir / "ro";
    ASSERT_EQ(mkdir(sub.c_str(), 0777), 0);
    WriteFile(sub + "/a.ini", "old");
    chmod((sub + "/a.ini").c_str(), 0666);
    chmod(sub.c_str(), 0555);
    EXPECT_TRUE(test::RunWithoutPrivileges([&] {
        TIniFile ini(sub + "/a.ini");
        ini.Load();
        ini.WriteString("S", "K", "v");
        return !ini.UpdateFile() && ini.LastError() == "Unable to write to " + sub + "/a.ini";
    }));
    EXPECT_EQ(ReadFile(sub + "/a.ini"), "old");
    chmod(sub.c_str(), 0755);
    EXPECT_EQ(std::filesystem::directory_iterator(sub)->path().filename(), "a.ini");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sub), {}), 1);
}

}  // namespace
}  // namespace trabix
