#include "config/ProgramPaths.h"
#include "support/Files.h"
#include "config/pm_config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace trabix {
namespace {

using testkit::TTempDir;

TPathFacts Facts(bool writable, bool installedPrefix, bool besideProgram)
{
    TPathFacts facts;
    facts.ProgramDirectory = "/opt/tools/";
    facts.WorkingDirectory = "/home/ann/work";
    facts.ProgramDirectoryWritable = writable;
    facts.InstalledPrefix = installedPrefix;
    facts.SettingsBesideProgram = besideProgram;
    facts.Home = "/home/ann";
    return facts;
}

TEST(ProgramPathsTest, WritableFolderKeepsSettingsBesideTheProgramAndLogsInTheStartFolder)
{
    const TProgramPaths paths = ChooseProgramPaths(Facts(true, false, false));
    EXPECT_TRUE(paths.Portable);
    EXPECT_EQ(paths.ConfigFile, "/opt/tools/Trabix.ini");
    EXPECT_EQ(paths.LogDirectory, "/home/ann/work/");
}

TEST(ProgramPathsTest, InstalledProgramUsesTheXdgFoldersOrTheirDefaults)
{
    // Not writable, or writable (root) but inside an installed prefix: both are installed.
    for (const TPathFacts& base : {Facts(false, false, false), Facts(true, true, false)}) {
        TPathFacts facts = base;
        TProgramPaths paths = ChooseProgramPaths(facts);
        EXPECT_FALSE(paths.Portable);
        EXPECT_EQ(paths.ConfigFile, "/home/ann/.config/trabix/Trabix.ini");
        EXPECT_EQ(paths.LogDirectory, "/home/ann/.local/state/trabix/");

        facts.XdgConfigHome = "/cfg/";
        facts.XdgStateHome = "/var/state";
        paths = ChooseProgramPaths(facts);
        EXPECT_EQ(paths.ConfigFile, "/cfg/trabix/Trabix.ini");
        EXPECT_EQ(paths.LogDirectory, "/var/state/trabix/");

        // The base directory rules ignore relative values.
        facts.XdgConfigHome = "cfg";
        facts.XdgStateHome = "./state";
        paths = ChooseProgramPaths(facts);
        EXPECT_EQ(paths.ConfigFile, "/home/ann/.config/trabix/Trabix.ini");
        EXPECT_EQ(paths.LogDirectory, "/home/ann/.local/state/trabix/");
    }
}

TEST(ProgramPathsTest, SettingsFileBesideTheProgramAlwaysWins)
{
    for (const TPathFacts& facts : {Facts(false, false, true), Facts(true, true, true)}) {
        const TProgramPaths paths = ChooseProgramPaths(facts);
        EXPECT_TRUE(paths.Portable);
        EXPECT_EQ(paths.ConfigFile, "/opt/tools/Trabix.ini");
        EXPECT_EQ(paths.LogDirectory, "/home/ann/work/");
    }
}

TEST(ProgramPathsTest, NamedSettingsFileReplacesOnlyTheSettingsFile)
{
    TPathFacts facts = Facts(false, false, false);
    facts.ConfigOverride = "/etc/trabix/Trabix.ini";
    TProgramPaths paths = ChooseProgramPaths(facts);
    EXPECT_EQ(paths.ConfigFile, "/etc/trabix/Trabix.ini");
    EXPECT_EQ(paths.LogDirectory, "/home/ann/.local/state/trabix/");

    facts = Facts(true, false, true);
    facts.ConfigOverride = "/srv/a.ini";
    paths = ChooseProgramPaths(facts);
    EXPECT_EQ(paths.ConfigFile, "/srv/a.ini");
    EXPECT_EQ(paths.LogDirectory, "/home/ann/work/");
}

// The facts of this test program: its folder (the build folder) is writable and holds no
// metainfo beside it, the environment gives HOME and the XDG variables.
TEST(ProgramPathsTest, GathersFactsFromTheRunningProgramAndTheEnvironment)
{
    TTempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    setenv("HOME", "/home/zed", 1);
    setenv("XDG_STATE_HOME", "/st", 1);
    unsetenv("XDG_CONFIG_HOME");
    const TPathFacts facts = GatherPathFacts("my.ini");
    std::filesystem::current_path(previous);

    const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(facts.ProgramDirectory, exe.substr(0, exe.rfind('/') + 1));
    EXPECT_EQ(facts.WorkingDirectory, dir.Path());
    EXPECT_FALSE(facts.InstalledPrefix);
    EXPECT_EQ(facts.Home, "/home/zed");
    EXPECT_EQ(facts.XdgStateHome, "/st");
    EXPECT_EQ(facts.ConfigOverride, dir / "my.ini");
}

TEST(ProgramPathsTest, PreparingCreatesMissingFoldersAndUseMakesThemCurrent)
{
    TTempDir dir;
    TProgramPaths paths;
    paths.Portable = false;
    paths.ConfigFile = dir / "a/b/trabix/Trabix.ini";
    paths.LogDirectory = dir / "c/trabix/";
    std::string error;
    ASSERT_TRUE(PrepareProgramPaths(paths, error)) << error;
    ASSERT_TRUE(PrepareProgramPaths(paths, error)) << "existing folders are fine: " << error;
    struct stat st {};
    ASSERT_EQ(stat((dir / "a/b/trabix").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "c/trabix"));

    UseProgramPaths(paths);
    EXPECT_EQ(ConfigFileName(), paths.ConfigFile);
    EXPECT_EQ(LogDirectory(), paths.LogDirectory);
    UseProgramPaths({});
    EXPECT_EQ(LogDirectory(), "");

    testkit::WriteFile(dir / "file", "x");
    paths.LogDirectory = dir / "file/trabix/";
    EXPECT_FALSE(PrepareProgramPaths(paths, error));
    EXPECT_NE(error.find("file/trabix"), std::string::npos) << error;
}

}  // namespace
}  // namespace trabix
