// Where the window keeps its settings and logs (the Logging tab, the About box, "File > Open
// Log Folder"), and the command line.
#include "WindowFixture.h"

#include "app/startup/CommandLine.h"
#include "config/ProgramPaths.h"

#include <QAction>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QUrl>

using namespace apptest;

namespace {

// Points the program's log folder somewhere else for one test.
struct TLogFolder {
    explicit TLogFolder(const QString& settingsFile, const QString& folder)
    {
        QDir().mkpath(folder);
        trabix::UseProgramPaths({false, settingsFile.toStdString(), (folder + "/").toStdString()});
    }
    ~TLogFolder() { trabix::UseProgramPaths({}); }
};

TCommandLine Parse(QStringList arguments)
{
    arguments.prepend(QStringLiteral("trabix"));
    return ParseCommandLine(arguments);
}

}  // namespace

TEST_F(TWindowTest, WindowLogsToTheChosenFolderShowsItAndOpensItThroughTheAboutBoxLauncher)
{
    const QString logs = Sandbox.Path() + QStringLiteral("/state/trabix");
    TLogFolder folder(Sandbox.IniPath(), logs);
    Open(Ini({}));
    std::vector<std::string> opened;
    bool succeed = true;
    TPMAboutDialog about(Prompts, [&](const std::string& url) {
        opened.push_back(url);
        return succeed;
    });
    Form->SetAboutDialog(&about);

    const QString places = Form->LoggingPage->Places->text();
    EXPECT_TRUE(places.contains(Sandbox.IniPath())) << places.toStdString();
    EXPECT_TRUE(places.contains(logs + "/")) << places.toStdString();
    QFile log(logs + "/" + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + ".log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly)) << "the daily log goes to the chosen folder";
    EXPECT_TRUE(log.readAll().contains("Program started"));
    EXPECT_TRUE(Sandbox.TodaysLog().isEmpty()) << "and not to the working directory";

    Form->OpenLogFolderAction->trigger();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(QUrl(QString::fromStdString(opened[0])).toLocalFile(), logs + "/");
    EXPECT_TRUE(Prompts.Messages.isEmpty());
    succeed = false;
    Form->OpenLogFolderAction->trigger();
    EXPECT_EQ(Prompts.Messages,
              QStringList(QStringLiteral("Error opening the log folder ") + logs + "/"));

    about.SetPlaces(QStringLiteral("/a/Trabix.ini"), QStringLiteral("/b/"));
    EXPECT_EQ(about.PlacesLabel->text(),
              QStringLiteral("Settings: /a/Trabix.ini\nLog folder: /b/"));
    Form->SetAboutDialog(About.get());
}

TEST(CommandLineTest, OptionsActionsAndFailures)
{
    using A = TCommandLine::TAction;
    TCommandLine c = Parse({});
    EXPECT_EQ(c.Action, A::Run);
    EXPECT_FALSE(c.Headless);
    EXPECT_TRUE(c.ConfigFile.empty());

    c = Parse({QStringLiteral("--headless"), QStringLiteral("--config"), QStringLiteral("x.ini")});
    EXPECT_EQ(c.Action, A::Run);
    EXPECT_TRUE(c.Headless);
    EXPECT_EQ(c.ConfigFile, "x.ini");
    EXPECT_EQ(Parse({QStringLiteral("--config=/e/t.ini")}).ConfigFile, "/e/t.ini");

    EXPECT_EQ(Parse({QStringLiteral("--help")}).Action, A::Help);
    EXPECT_EQ(Parse({QStringLiteral("-h")}).Action, A::Help);
    EXPECT_EQ(Parse({QStringLiteral("--version")}).Action, A::Version);
    EXPECT_EQ(VersionText(), "Trabix 1.2");

    c = Parse({QStringLiteral("--export-ca"), QStringLiteral("ca.pem"), QStringLiteral("--config"),
               QStringLiteral("x.ini")});
    EXPECT_EQ(c.Action, A::ExportCa);
    EXPECT_EQ(c.ExportFile, "ca.pem");
    EXPECT_EQ(c.ConfigFile, "x.ini");

    for (const QStringList& wrong :
         {QStringList{QStringLiteral("--bogus")}, QStringList{QStringLiteral("--config")},
          QStringList{QStringLiteral("--export-ca")}, QStringList{QStringLiteral("--export-ca=")},
          QStringList{QStringLiteral("--config=")}, QStringList{QStringLiteral("stray")}}) {
        c = Parse(wrong);
        EXPECT_EQ(c.Action, A::Fail) << wrong.join(' ').toStdString();
        EXPECT_FALSE(c.Message.empty());
    }
    EXPECT_NE(Parse({QStringLiteral("--bogus")}).Message.find("bogus"), std::string::npos);

    // Qt's own options pass through for QApplication, and stay out of the usage.
    c = Parse(
        {QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("-reverse")});
    EXPECT_EQ(c.Action, A::Run);
    EXPECT_EQ(c.Usage.rfind("Usage: trabix [options]\n", 0), 0u) << c.Usage;
    for (const char* shown :
         {"--help", "--version", "--config <FILE>", "--headless", "--export-ca <FILE>"})
        EXPECT_NE(c.Usage.find(shown), std::string::npos) << shown;
    EXPECT_EQ(c.Usage.find("platform"), std::string::npos);
}
