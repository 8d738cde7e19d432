#include "app/headless/HeadlessTwin.h"

#include "app/headless/HeadlessLog.h"
#include "app/api/ControlApi.h"
#include "app/startup/ChannelSet.h"
#include "app/startup/ProgramSignals.h"
#include "app/startup/ProgramStartup.h"
#include "app/startup/SyncPump.h"

#include "config/qvx_logger.h"

#include <QCoreApplication>

#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <utility>

namespace {

std::string ChannelList(const std::vector<int>& channels)
{
    std::string text;
    for (int n : channels)
        text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text;
}

}  // namespace

THeadlessTwin::THeadlessTwin(trabix::TSettings& settings, QObject* parent)
    : QObject(parent),
      Records(settings),
      Output(std::make_shared<THeadlessLog>(MakeProgramLogger()))
{
    std::weak_ptr<THeadlessLog> output = Output;
    ChannelSet = std::make_unique<TChannelSet>(Records, [output](const std::string& text) {
        if (auto target = output.lock())
            target->AddLogLine(text);
    });
    ChannelSet->LogReachable = true;
}

THeadlessTwin::~THeadlessTwin()
{
    Stop();
}

void THeadlessTwin::Log(const std::string& text)
{
    Output->AddLogLine(ProgramLine(text));
}

void THeadlessTwin::ApplySwitches()
{
    Output->SetSwitches(Records.General().LogToScreen, Records.General().LogToFile);
}

bool THeadlessTwin::Start(std::string& why)
{
    const std::string file = trabix::ConfigFileName();
    const bool loaded = Records.Load();
    ApplySwitches();
    Log(ProgramStartedText());
    if (const std::string notice = RaiseOpenFileLimit(); !notice.empty())
        Log(notice);
    if (!loaded)
        Log("Error loading configuration from " + file + ", using default values");
    ChannelSet->StartAll();
    Api = StartControlApi(*this, Records.General().ApiListen);
    if (ListeningCount() > 0 || Api)
        return true;
    bool anyChecked = false;
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        anyChecked = anyChecked || Records.Port(n).Map;
    if (!anyChecked)
        why = "no channel has Map checked in " + file;
    else {
        why = "no channel could start:";
        for (const std::string& error : ChannelSet->Errors())
            why += "\n  " + error;
    }
    return false;
}

int THeadlessTwin::ListeningCount() const
{
    return ChannelSet->ListeningCount();
}

void THeadlessTwin::Reload()
{
    if (Stopped)
        return;
    const std::string file = trabix::ConfigFileName();
    trabix::TSettings reread = Records;
    if (!reread.Load()) {
        Log("Error loading configuration from " + file + ", settings unchanged");
        return;
    }
    const trabix::TSettings previous = std::exchange(Records, std::move(reread));
    ApplySwitches();
    const std::vector<int> changed = ChannelSet->ApplyChanges(previous);
    Log("Settings re-read from " + file + ", " +
        (changed.empty() ? std::string("no channel restarted")
                         : "restarted channel(s) " + ChannelList(changed)));
}

bool THeadlessTwin::SaveSettings()
{
    return Records.Save();
}

void THeadlessTwin::Stop()
{
    if (Stopped)
        return;
    Stopped = true;
    Api.reset();
    // As the window's shutdown: the servers are released before the stop line, so the last
    // lines of their connections come before it and the log ends with the two stop lines.
    ChannelSet->ShutDown();
    Log(ProgramStoppedText());
    Output->Close();
}

int RunHeadless(int argc, char* argv[])
{
    // Before any thread exists, so every thread inherits the blocked signals.
    TProgramSignals::HoldSignals(TProgramSignals::TFace::Headless);
    // A send to a vanished peer must end that connection, not the program.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Trabix"));
    InstallSyncPump();
    TProgramSignals signalSource(TProgramSignals::TFace::Headless);

    int exitCode = 0;
    {
        trabix::TSettings settings;
        THeadlessTwin twin(settings);
        std::string why;
        if (!twin.Start(why)) {
            std::fprintf(stderr, "trabix: %s\n", why.c_str());
            twin.Stop();
            exitCode = 1;
        } else {
            QObject::connect(&signalSource, &TProgramSignals::ShutdownRequested, &twin, [&twin] {
                sd_notify(0, "STOPPING=1");
                twin.Stop();
                QCoreApplication::quit();
            });
            QObject::connect(&signalSource, &TProgramSignals::ReloadRequested, &twin, [&twin] {
                sd_notify(0, "RELOADING=1");
                twin.Reload();
                sd_notifyf(0, "READY=1\nSTATUS=%d channel(s) listening", twin.ListeningCount());
            });
            sd_notifyf(0, "READY=1\nSTATUS=%d channel(s) listening", twin.ListeningCount());
            exitCode = QCoreApplication::exec();
        }
    }
    UninstallSyncPump();
    return exitCode;
}
