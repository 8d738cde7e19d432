#include "app/HeadlessTwin.h"

#include "app/HeadlessLog.h"
#include "app/HeadlessSignals.h"
#include "app/ProgramStartup.h"
#include "app/SyncPump.h"

#include "engine/qv_IdMappedPortTCP.h"
#include "config/qvx_logger.h"

#include <QCoreApplication>

#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <utility>

namespace {

// A change of these needs the channel's listener or target anew; the rest is live.
bool NeedsRestart(const trabix::TPM_port& before, const trabix::TPM_port& after)
{
    return before.BindIp != after.BindIp || before.ListenPort != after.ListenPort ||
        before.MapIp != after.MapIp || before.MapPort != after.MapPort || before.Map != after.Map;
}

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
      Settings(settings),
      Output(std::make_shared<THeadlessLog>(MakeProgramLogger()))
{
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        Servers[size_t(n)] = MakeChannelServer(n);
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
    Output->SetSwitches(Settings.General().LogToScreen, Settings.General().LogToFile);
}

bool THeadlessTwin::Start(std::string& why)
{
    const std::string file = trabix::ConfigFileName();
    const bool loaded = Settings.Load();
    ApplySwitches();
    Log(ProgramStartedText());
    if (const std::string notice = RaiseOpenFileLimit(); !notice.empty())
        Log(notice);
    if (!loaded)
        Log("Error loading configuration from " + file + ", using default values");
    Errors.clear();
    bool anyChecked = false;
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        anyChecked = anyChecked || Settings.Port(n).Map;
        StartChannel(n);
    }
    if (ListeningCount() > 0)
        return true;
    if (!anyChecked)
        why = "no channel has Map checked in " + file;
    else {
        why = "no channel could start:";
        for (const std::string& error : Errors)
            why += "\n  " + error;
    }
    return false;
}

bool THeadlessTwin::StartChannel(int channel)
{
    const trabix::TPM_port& port = Settings.Port(channel);
    TqvMappedPortTCP& server = *Servers[size_t(channel)];
    Listening[size_t(channel)] = false;
    try {
        std::weak_ptr<THeadlessLog> output = Output;
        auto onLog = [output](const std::string& text) {
            if (auto target = output.lock())
                target->AddLogLine(text);
        };
        if (StartChannelServer(server, port, Settings.General(), onLog)) {
            Listening[size_t(channel)] = true;
            Log(ListeningText(channel, port.Remarks, server));
        }
    } catch (const std::exception& e) {
        const std::string text = ChannelErrorText(channel, port.Remarks, e.what());
        Errors.push_back(text);
        Log(text);
    }
    return Listening[size_t(channel)];
}

void THeadlessTwin::StopChannel(int channel)
{
    TqvMappedPortTCP* server = Servers[size_t(channel)].get();
    if (!server)
        return;
    Listening[size_t(channel)] = false;
    try {
        server->SetActive(false);
        server->Bindings().Clear();
    } catch (const std::exception& e) {
        Log(ChannelErrorText(channel, Settings.Port(channel).Remarks, e.what()));
    }
}

int THeadlessTwin::ListeningCount() const
{
    int count = 0;
    for (bool listening : Listening)
        count += listening ? 1 : 0;
    return count;
}

void THeadlessTwin::Reload()
{
    if (Stopped)
        return;
    const std::string file = trabix::ConfigFileName();
    trabix::TSettings reread = Settings;
    if (!reread.Load()) {
        Log("Error loading configuration from " + file + ", settings unchanged");
        return;
    }
    const trabix::TSettings previous = std::exchange(Settings, std::move(reread));
    ApplySwitches();
    std::vector<int> changed;
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        const trabix::TPM_port& port = Settings.Port(n);
        if (NeedsRestart(previous.Port(n), port)) {
            changed.push_back(n);
            StartChannel(n);
        } else {
            ApplyLiveSettings(*Servers[size_t(n)], port, Settings.General());
        }
    }
    Log("Settings re-read from " + file + ", " +
        (changed.empty() ? std::string("no channel restarted")
                         : "restarted channel(s) " + ChannelList(changed)));
}

void THeadlessTwin::Stop()
{
    if (Stopped)
        return;
    Stopped = true;
    // As the window's shutdown: the servers are released before the stop line, so the last
    // lines of their connections come before it and the log ends with the two stop lines.
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        StopChannel(n);
    for (auto& server : Servers)
        server.reset();
    Log(StoppedAllText);
    Log(ProgramStoppedText());
    Output->Close();
}

int RunHeadless(int argc, char* argv[])
{
    // Before any thread exists, so every thread inherits the blocked signals.
    THeadlessSignals::BlockSignals();
    // A send to a vanished peer must end that connection, not the program.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Trabix"));
    InstallSyncPump();
    THeadlessSignals signalSource;

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
            QObject::connect(&signalSource, &THeadlessSignals::StopRequested, &twin, [&twin] {
                sd_notify(0, "STOPPING=1");
                twin.Stop();
                QCoreApplication::quit();
            });
            QObject::connect(&signalSource, &THeadlessSignals::ReloadRequested, &twin, [&twin] {
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
