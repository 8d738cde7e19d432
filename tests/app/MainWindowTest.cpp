// The main window driven as a user would: channels relaying to a loopback target, live and
// restart edits, the close and save questions, the screen log commands and the log-off path.
#include "WindowFixture.h"

#include "app/startup/ProgramSignals.h"
#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSpinBox>
#include <QLineEdit>
#include <QStatusBar>

#include <csignal>

using namespace apptest;

namespace {

const QString RestartNotice =
    QStringLiteral("Configuration of mapping(s) changed - Restart mappings now.");
// The notice comes with the next 250 ms tick; the bound leaves room for a loaded machine.
constexpr int NoticeWaitMs = 2000;

}  // namespace

TEST_F(TWindowTest, ChannelRelaysThroughTheTargetAndLogsToScreenAndFile)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port()}});
    Form->StartMappings();
    const QString listening =
        QStringLiteral("Channel 1: (echo) listening to connections on 127.0.0.1:%1").arg(port);
    EXPECT_TRUE(ScreenHas(listening));

    TClient client(port);
    ASSERT_TRUE(client.Send("hello relay"));
    EXPECT_EQ(client.Receive(11), "HELLO RELAY");
    client.Close();
    ASSERT_TRUE(WaitScreenHas(QStringLiteral("Disconnect (incoming).")));

    const QStringList lines = ScreenLines();
    EXPECT_TRUE(lines.first().endsWith(QStringLiteral(" Trabix V1.2 - Program started")));
    EXPECT_TRUE(lines.first().startsWith(QStringLiteral("** ")));
    EXPECT_TRUE(ScreenHas(QStringLiteral("Incoming connection from 127.0.0.1:")));
    EXPECT_TRUE(ScreenHas(QStringLiteral("hello relay")));
    EXPECT_TRUE(ScreenHas(QStringLiteral("HELLO RELAY")));
    const QString file = Sandbox.TodaysLog();
    EXPECT_TRUE(file.contains(listening + QStringLiteral("\r\n")));
    EXPECT_TRUE(file.contains(QStringLiteral("Incoming connection from 127.0.0.1:")));
    EXPECT_TRUE(file.contains(QStringLiteral("HELLO RELAY")));
}

TEST_F(TWindowTest, LiveEditReachesTheRunningServerAtOnceRestartEditWaitsForRestart)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port()}});
    Form->StartMappings();
    TqvMappedPortTCP* server = Form->Mapping(1);
    ASSERT_TRUE(server->Active());

    Row(1).MaxSpeed->setValue(12345);
    EXPECT_EQ(int(server->MaxSpeedCS), 12345);
    EXPECT_EQ(int(server->MaxSpeedSC), 12345);
    Row(1).DataMode->setCurrentIndex(4);
    EXPECT_EQ(int(server->LogDataMode), 4);
    EXPECT_NE(Form->StatusText(), RestartNotice) << "a live edit needs no restart";

    Row(1).BindIp->setText(QStringLiteral("127.0.0.2"));
    EXPECT_TRUE(WaitFor([&] { return Form->StatusText() == RestartNotice; }, NoticeWaitMs));
    EXPECT_EQ(server->Bindings().Items(0)->IP(), "127.0.0.1");
    TClient client(port);
    ASSERT_TRUE(client.Send("still here"));
    EXPECT_EQ(client.Receive(10), "STILL HERE");

    // A restart after answering No to the save question uses the edited values and keeps
    // the notice and the old file.
    const QString before = Sandbox.ReadIni();
    Prompts.Answers = {false};
    Form->StatusPage->StartButton->click();
    EXPECT_EQ(Prompts.Questions.value(0), QStringLiteral("Save configuration?"));
    EXPECT_EQ(Form->Mapping(1)->Bindings().Items(0)->IP(), "127.0.0.2");
    EXPECT_EQ(Sandbox.ReadIni(), before);
    EXPECT_TRUE(WaitFor([&] { return Form->StatusText() == RestartNotice; }, NoticeWaitMs));
}

TEST_F(TWindowTest, IPv6AddressesAreTakenWholeSavedAsTypedAndListenedOn)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port()}});
    const QString widest = QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    Row(1).MapIp->setText(widest);
    EXPECT_EQ(Row(1).MapIp->text(), widest) << "cut short";
    EXPECT_EQ(Row(1).MapIp->toolTip(), widest) << "the field scrolls; the tooltip shows it whole";
    Row(1).MapIp->setText(QStringLiteral("127.0.0.1"));
    Row(1).BindIp->setText(QStringLiteral("[::1]"));
    Form->SaveConfigAction->trigger();
    EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("BindIp=[::1]"))) << "kept as typed";
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    Form->StartMappings();
    ASSERT_TRUE(WaitScreenHas(QStringLiteral("listening to connections on [::1]:%1").arg(port)));
    TFd client = ConnectTo6(port);
    ASSERT_TRUE(SendAll(client.Get(), "six"));
    std::string got;
    ASSERT_TRUE(WaitFor([&] {
        got += RecvAtMost(client.Get(), 3 - got.size(), Clock::now() + std::chrono::milliseconds(20));
        return got.size() == 3;
    }));
    EXPECT_EQ(got, "SIX");
    EXPECT_TRUE(WaitScreenHas(QStringLiteral("Incoming connection from [::1]:")));
}

TEST_F(TWindowTest, OutOfRangeSettingsLoadClampedAndTheServerRunsWhatTheWindowShows)
{
    const int port = FreePort();
    Open(Ini({{.ListenPort = port, .MapPort = Target.Port(), .DataMode = 42}},
             QStringLiteral("ScreenLogLines=5\n")) +
         QStringLiteral("MaxSpeed=-1\n"));
    EXPECT_EQ(Form->LoggingPage->ScreenLogLines->value(), 1000);
    EXPECT_EQ(Form->LoggingPage->ScreenLogLines->value(), Settings.General().ScreenLogLines);
    Form->StartMappings();
    TqvMappedPortTCP* server = Form->Mapping(1);
    ASSERT_TRUE(server->Active());
    EXPECT_EQ(Row(1).MaxSpeed->value(), 0);
    EXPECT_EQ(int(server->MaxSpeedCS), 0);
    EXPECT_EQ(int(server->MaxSpeedSC), 0);
    EXPECT_EQ(Row(1).DataMode->currentIndex(), 9);
    EXPECT_EQ(int(server->LogDataMode), 9);

    TClient client(port);
    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(client.Receive(4), "PING");
    client.Close();
    ASSERT_TRUE(WaitScreenHas(QStringLiteral("Disconnect (incoming).")));
    for (const QString& line : ScreenLines())
        EXPECT_FALSE(line.contains(QStringLiteral("Delay")) ||
                     line.contains(QStringLiteral("Error")))
            << line.toStdString();
    EXPECT_TRUE(Prompts.Messages.isEmpty());
}

TEST_F(TWindowTest, StartAndStopKeepButtonsAndStateInAgreement)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port(), .Map = false}});
    QPushButton* start = Form->StatusPage->StartButton;
    QPushButton* stop = Form->StatusPage->StopButton;
    EXPECT_EQ(start->text(), QStringLiteral("St&art"));
    EXPECT_FALSE(stop->isEnabled());

    // Nothing mapped: nothing listens, yet the program counts as running.
    Form->StartMappings();
    EXPECT_FALSE(Form->Mapping(1)->Active());
    EXPECT_EQ(start->text(), QStringLiteral("Rest&art"));
    EXPECT_TRUE(stop->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    stop->click();
    EXPECT_FALSE(Form->MappingsActive);
    EXPECT_EQ(start->text(), QStringLiteral("St&art"));
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_TRUE(ScreenLines().last().endsWith(QStringLiteral(" Stopped all (active) mappings")));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(TWindowTest, CloseWarningRefusedKeepsEverythingAcceptedAsksToSave)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port()}});
    Form->show();
    Form->StartMappings();
    Row(1).Remarks->setText(QStringLiteral("edited"));

    Prompts.Answers = {false};
    EXPECT_FALSE(Form->close());
    EXPECT_EQ(Prompts.Questions,
              QStringList{QStringLiteral("Closing the program stops all active port mappings!\r\n"
                                         "Close program?")});
    EXPECT_TRUE(Form->MappingsActive);
    EXPECT_TRUE(Form->Mapping(1)->Active());

    Prompts.Questions.clear();
    Prompts.Answers = {true, true};
    EXPECT_TRUE(Form->close());
    ASSERT_EQ(Prompts.Questions.size(), 2);
    EXPECT_EQ(Prompts.Questions[1], QStringLiteral("Save configuration?"));
    EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("Remarks=edited")));
    const QStringList lines = ScreenLines();
    EXPECT_TRUE(lines[lines.size() - 2].endsWith(QStringLiteral(" Stopped all (active) mappings")));
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral(" Trabix V1.2 - Program stopped")));
    EXPECT_TRUE(Sandbox.TodaysLog().endsWith(QStringLiteral(" - Program stopped\r\n")));
    EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("[WindowPos]")));
}

TEST_F(TWindowTest, IdleCloseAsksNoWarningAndNoToSaveKeepsTheFile)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port()}});
    Row(1).Remarks->setText(QStringLiteral("edited"));
    Prompts.Answers = {false};
    EXPECT_TRUE(Form->close());
    EXPECT_EQ(Prompts.Questions, QStringList{QStringLiteral("Save configuration?")});
    EXPECT_FALSE(Sandbox.ReadIni().contains(QStringLiteral("Remarks=edited")));
}

TEST_F(TWindowTest, FailedSaveNamesTheFileAndKeepsTheEditsUnsaved)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port()}});
    Row(1).ListenPort->setValue(4321);
    // A folder in place of the settings file cannot be replaced, also not by the super-user.
    QFile::remove(Sandbox.IniPath());
    QDir(Sandbox.Path()).mkdir(QStringLiteral("Trabix.ini"));
    Form->SaveConfigAction->trigger();
    ASSERT_EQ(Prompts.Messages.size(), 1);
    EXPECT_TRUE(Prompts.Messages[0].contains(Sandbox.IniPath()));
    EXPECT_TRUE(Form->PortConfigChanged);
    EXPECT_TRUE(WaitFor([&] { return Form->StatusText() == RestartNotice; }, NoticeWaitMs));
}

TEST_F(TWindowTest, UnreadableSettingsGiveOneMessageAndTheBuiltInValues)
{
    // A folder where the settings file should be cannot be read, also not by the super-user.
    QDir(Sandbox.Path()).mkdir(QStringLiteral("Trabix.ini"));
    Form = std::make_unique<TMainForm>(Prompts, Settings);
    EXPECT_EQ(Prompts.Messages,
              QStringList{QStringLiteral("Error loading configuration, using default values")});
    EXPECT_FALSE(Form->Loading);
    EXPECT_EQ(Row(1).ListenPort->value(), 1);
    EXPECT_EQ(Row(1).DataMode->currentIndex(), -1);
    EXPECT_TRUE(Row(1).Remarks->isEnabled()) << "start-up went on";
    EXPECT_EQ(Form->geometry().size(), QSize(1000, 498));
}

TEST_F(TWindowTest, ScreenLogCommandsTrimClearAndSave)
{
    Open(Ini({}, QStringLiteral("LimitScreenLog=1\nScreenLogLines=1000\n")));
    Form->ClearScreenLog();
    for (int i = 1; i <= 1101; ++i)
        Form->AddLogLine("line " + std::to_string(i));
    EXPECT_EQ(ScreenLines().size(), 1101) << "the trim waits for 110 % of the limit";
    Form->AddLogLine("line 1102");
    QStringList lines = ScreenLines();
    EXPECT_LE(lines.size(), 1000);
    EXPECT_EQ(lines.last(), QStringLiteral("line 1102"));

    Prompts.SaveName = Sandbox.Path() + QStringLiteral("/without");
    Form->LoggingPage->SaveButton->click();
    EXPECT_EQ(Prompts.SaveSuffix, QStringLiteral("txt"));
    EXPECT_EQ(Prompts.SaveFolder, QCoreApplication::applicationDirPath());
    EXPECT_TRUE(QFileInfo::exists(Prompts.SaveName + QStringLiteral(".txt")));
    Prompts.SaveName = Sandbox.Path() + QStringLiteral("/with.log");
    Form->SaveToFileAction->trigger();
    EXPECT_TRUE(QFileInfo::exists(Prompts.SaveName));
    EXPECT_FALSE(QFileInfo::exists(Prompts.SaveName + QStringLiteral(".txt")));
    EXPECT_TRUE(Prompts.Messages.isEmpty());

    Prompts.SaveName = Prompts.SaveName + QStringLiteral("/below-a-file.txt");
    Form->LoggingPage->SaveButton->click();
    EXPECT_EQ(Prompts.Messages, QStringList{QStringLiteral("Error saving file")});

    Form->ClearAction->trigger();
    EXPECT_EQ(Form->LoggingPage->View->LineCount(), 0);
}

TEST_F(TWindowTest, TerminationSignalRunsTheSilentLogOffPath)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port()}});
    TProgramSignals shutdownSignals;
    QObject::connect(&shutdownSignals, &TProgramSignals::ShutdownRequested, Form.get(),
                     &TMainForm::OsShutdownQuery);
    bool closed = false;
    QObject::connect(Form.get(), &TMainForm::ProgramClosed, [&] { closed = true; });
    Form->show();
    Form->StartMappings();
    Row(1).Remarks->setText(QStringLiteral("saved silently"));

    ::raise(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return closed; }));
    EXPECT_TRUE(Prompts.Questions.isEmpty());
    EXPECT_TRUE(Prompts.Messages.isEmpty());
    EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("Remarks=saved silently")));
    EXPECT_EQ(Form->Mapping(1), nullptr);
    EXPECT_TRUE(ScreenLines().last().endsWith(QStringLiteral(" - Program stopped")));
    EXPECT_TRUE(Sandbox.TodaysLog().endsWith(QStringLiteral(" - Program stopped\r\n")));
}
