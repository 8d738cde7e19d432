#include "app/startup/ChannelSet.h"

#include "app/startup/ProgramStartup.h"

#include "engine/qv_IdMappedPortTCP.h"
#include "net/ThreadChecks.h"

namespace {

// A change of these needs the channel's listener or target anew; the rest is live.
bool NeedsRestart(const trabix::TPM_port& before, const trabix::TPM_port& after)
{
    return before.BindIp != after.BindIp || before.ListenPort != after.ListenPort ||
        before.MapIp != after.MapIp || before.MapPort != after.MapPort || before.Map != after.Map;
}

}  // namespace

TChannelSet::TChannelSet(trabix::TSettings& settings, TLineSink sink)
    : Settings(settings), Sink(std::move(sink))
{
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        Servers[size_t(n)] = MakeChannelServer(n);
}

TChannelSet::~TChannelSet()
{
    if (Released)
        return;
    // Without the stop line: no connection thread may outlive the objects it reports to.
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        Stop(n);
    for (auto& server : Servers)
        server.reset();
}

TqvMappedPortTCP* TChannelSet::Server(int channel) const
{
    return Servers[size_t(channel)].get();
}

bool TChannelSet::Listening(int channel) const
{
    const TqvMappedPortTCP* server = Server(channel);
    return server && server->Active();
}

int TChannelSet::ListeningCount() const
{
    int count = 0;
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        count += Listening(n) ? 1 : 0;
    return count;
}

void TChannelSet::Log(const std::string& text) const
{
    Sink(ProgramLine(text));
}

void TChannelSet::ReportError(int channel, const std::string& message)
{
    Log(ChannelErrorText(channel, Settings.Port(channel).Remarks, message));
}

void TChannelSet::StartAll()
{
    AssertMainThread();
    StartErrors.clear();
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        Start(n);
}

bool TChannelSet::Start(int channel)
{
    TqvMappedPortTCP* server = Server(channel);
    if (!server)
        return false;
    const trabix::TPM_port& port = Settings.Port(channel);
    // Any error of this channel, while stopping it, configuring it or binding it, becomes its
    // error line; the other channels start regardless.
    try {
        if (!StartChannelServer(*server, port, Settings.General(), Sink))
            return false;
        Log(ListeningText(channel, port.Remarks, *server));
        if (LogReachable && ReachableFromOtherMachines(port))
            Log(ReachableWarningText(channel, port.Remarks));
        return true;
    } catch (const std::exception& e) {
        const std::string text = ChannelErrorText(channel, port.Remarks, e.what());
        StartErrors.push_back(text);
        Log(text);
        return false;
    }
}

void TChannelSet::Stop(int channel)
{
    TqvMappedPortTCP* server = Server(channel);
    if (!server)
        return;
    try {
        server->SetActive(false);
        server->Bindings().Clear();
    } catch (const std::exception& e) {
        ReportError(channel, e.what());
    }
}

void TChannelSet::StopAll()
{
    AssertMainThread();
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        Stop(n);
    Log(StoppedAllText);
}

void TChannelSet::ShutDown()
{
    AssertMainThread();
    if (Released)
        return;
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        Stop(n);
    // Releasing a server waits for its connection threads, whose last lines (handed over while
    // they end) thus come before the stop line.
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        auto& server = Servers[size_t(n)];
        if (!server)
            continue;
        try {
            server->SetActive(false);
        } catch (const std::exception& e) {
            ReportError(n, e.what());
        }
        server.reset();
    }
    Released = true;
    Log(StoppedAllText);
}

void TChannelSet::ApplyLiveSettings()
{
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        if (TqvMappedPortTCP* server = Server(n))
            ::ApplyLiveSettings(*server, Settings.Port(n), Settings.General());
}

std::vector<int> TChannelSet::ApplyChanges(const trabix::TSettings& previous)
{
    std::vector<int> restarted;
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        TqvMappedPortTCP* server = Server(n);
        if (!server)
            continue;
        const trabix::TPM_port& port = Settings.Port(n);
        if (NeedsRestart(previous.Port(n), port)) {
            restarted.push_back(n);
            Start(n);
        } else {
            ::ApplyLiveSettings(*server, port, Settings.General());
        }
    }
    return restarted;
}

bool TChannelSet::ApplyChange(int channel, const trabix::TPM_port& previous)
{
    AssertMainThread();
    TqvMappedPortTCP* server = Server(channel);
    if (!server)
        return false;
    const trabix::TPM_port& port = Settings.Port(channel);
    if (NeedsRestart(previous, port)) {
        if (port.Map)
            Start(channel);
        else
            Stop(channel);
        return true;
    }
    ::ApplyLiveSettings(*server, port, Settings.General());
    return false;
}

bool TChannelSet::LiveSettingsTaken(int channel) const
{
    const TqvMappedPortTCP* server = Server(channel);
    return !server || !server->RelayWatched() || server->PooledConnections() == 0;
}

int TChannelSet::BoundPort(int channel) const
{
    TqvMappedPortTCP* server = Server(channel);
    if (!server || !server->Active() || server->Bindings().Count() == 0)
        return 0;
    return server->Bindings().Items(0)->Port();
}

void TChannelSet::ResetCounters()
{
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        if (TqvMappedPortTCP* server = Server(n))
            server->ResetCounters();
}

bool TChannelSet::ReachableFromOtherMachines(const trabix::TPM_port& port)
{
    const auto trimmed = [](const std::string& text) {
        static constexpr const char* Blanks = " \t\r\n\v\f";
        const size_t first = text.find_first_not_of(Blanks);
        if (first == std::string::npos)
            return std::string();
        return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
    };
    const std::string bindIp = trimmed(port.BindIp);
    // "::" (in any of its spellings) serves both families, as an empty Bind IP does.
    const auto ipv6 = TIdIPAddress::LooksLikeIPv6(bindIp) ? TIdIPAddress::Parse(bindIp)
                                                          : std::nullopt;
    const bool everyAddress =
        bindIp.empty() || bindIp == "0.0.0.0" || (ipv6 && ipv6->IsV6() && ipv6->IsAny());
    const bool everyClient = trimmed(port.AllowFrom).empty();
    return port.Map && everyAddress && everyClient;
}

bool TChannelSet::ReachableFromOtherMachines(int channel) const
{
    return ReachableFromOtherMachines(Settings.Port(channel));
}
