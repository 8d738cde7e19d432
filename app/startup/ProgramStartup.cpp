#include "app/startup/ProgramStartup.h"

#include "app/startup/AppTitles.h"

#include "engine/texts/DumpFormats.h"
#include "net/IdStack.h"
#include "config/ProgramPaths.h"
#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"
#include "config/qvx_logger.h"

#include <cstdio>

void SetUpProgramPaths(const std::string& configOverride)
{
    const trabix::TProgramPaths paths =
        trabix::ChooseProgramPaths(trabix::GatherPathFacts(configOverride));
    std::string error;
    if (!trabix::PrepareProgramPaths(paths, error))
        std::fprintf(stderr, "trabix: %s\n", error.c_str());
    trabix::UseProgramPaths(paths);
}

std::unique_ptr<trabix::TQVX_Logger> MakeProgramLogger()
{
    auto logger = std::make_unique<trabix::TQVX_Logger>(trabix::LogDirectory(), "");
    logger->UseLock = true;
    logger->LineBreak = true;
    logger->ShortTimeStamp = false;
    return logger;
}

std::unique_ptr<TqvMappedPortTCP> MakeChannelServer(int channel)
{
    auto server = std::make_unique<TqvMappedPortTCP>();
    server->SetTerminateWaitTime(500);
    server->ChannelName = "Channel " + std::to_string(channel) + ";";
    server->SetCapturePlace(trabix::LogDirectory(), channel);
    return server;
}

TConditionValues ConditionValues(const trabix::TPM_port& port)
{
    TConditionValues v;
    v.Latency = {port.LatencyCS, port.LatencySC};
    v.Jitter = {port.JitterCS, port.JitterSC};
    v.ResetAfter = {port.ResetAfterCS, port.ResetAfterSC};
    v.StallAfter = {port.StallAfterCS, port.StallAfterSC};
    v.Chance = port.ConditionChance;
    v.Seed = port.ConditionSeed;
    return v;
}

TTlsSettings TlsSettings(const trabix::TPM_port& port)
{
    TTlsSettings t;
    t.Client = port.TlsClient != 0;
    t.CertFile = port.TlsCertFile;
    t.KeyFile = port.TlsKeyFile;
    t.Target = port.TlsTarget != 0;
    t.ServerName = port.TlsServerName;
    t.Verify = port.TlsVerify;
    t.CaFile = port.TlsCaFile;
    t.ClientCertFile = port.TlsClientCertFile;
    t.ClientKeyFile = port.TlsClientKeyFile;
    t.PassThroughRejected = port.TlsPassThroughRejected;
    t.KeyLogFile = port.TlsKeyLogFile;
    return t;
}

void ApplyLiveSettings(TqvMappedPortTCP& server, const trabix::TPM_port& port,
                       const trabix::TPM_GeneralConfig& general)
{
    server.LogDataMode = port.LogDataMode;
    server.Logging = port.Logging;
    server.MaxSpeedCS = port.MaxSpeed;
    server.MaxSpeedSC = port.MaxSpeed;
    server.LogDelayInfo = general.LogDelayInfo;
    server.LogConnInfo = general.LogConnInfo;
    server.DelayPerThread = general.DelayPerThread;
    server.MaxConnections = port.MaxConnections;
    server.MaxConnectionsPerSource = port.MaxConnectionsPerSource;
    server.SetAllowFrom(port.AllowFrom);  // a problem is told by the channel's start line
    server.Conditions().Set(ConditionValues(port));
    server.Capture = port.Capture;
    server.CaptureToFile = port.CaptureToFile;
    // New connections take it at once; a file that cannot be read fails the channel's next
    // start with the problem named.
    server.SetTls(TlsSettings(port), trabix::SettingsFolder());
}

bool StartChannelServer(TqvMappedPortTCP& server, const trabix::TPM_port& port,
                        const trabix::TPM_GeneralConfig& general,
                        std::function<void(const std::string&)> onLog)
{
    server.SetActive(false);
    server.Bindings().Clear();
    if (!port.Map)
        return false;
    server.SetDefaultPort(port.ListenPort);
    TIdSocketHandle* binding = server.Bindings().Add();
    if (!port.BindIp.empty())
        binding->SetIP(port.BindIp);
    server.SetMappedHost(port.MapIp);
    server.SetMappedPort(port.MapPort);
    server.OnLog = std::move(onLog);
    ApplyLiveSettings(server, port, general);
    server.SetActive(true);
    return true;
}

std::string ProgramLine(const std::string& text)
{
    return "** " + FormatTime() + " " + text;
}

std::string RaiseOpenFileLimit()
{
    constexpr long LowHardLimit = 4096;
    const long limit = TIdStack::RaiseDescriptorLimit();
    if (limit < 0 || limit >= LowHardLimit)
        return {};
    return "Open file limit " + std::to_string(limit) + " (hard limit): room for about " +
        std::to_string(TIdStack::ConnectionsWithin(limit)) + " connections at a time";
}

std::string ProgramStartedText()
{
    return ShortTitle.toStdString() + " - Program started";
}

std::string ProgramStoppedText()
{
    return ShortTitle.toStdString() + " - Program stopped";
}

namespace {

// The start of the lines about one channel: "Channel n: (remarks)".
std::string ChannelPrefix(int channel, const std::string& remarks)
{
    return "Channel " + std::to_string(channel) + ": (" + remarks + ")";
}

}  // namespace

std::string ListeningText(int channel, const std::string& remarks, TqvMappedPortTCP& server)
{
    const TIdSocketHandle* bound = server.Bindings().Items(0);
    // A list that does not parse lets no one in; the start line says so and why.
    const std::string problem = server.AllowFromProblem();
    const std::string refusing = problem.empty()
        ? std::string()
        : "; AllowFrom not valid (" + problem + "): refusing every client";
    // A binding without an IP listens on [::] too; when it could not, the line says why.
    const std::string& noIPv6 = server.EveryFamilyProblem();
    const std::string ipv6 = noIPv6.empty()
        ? std::string()
        : "; not on IPv6 (" + ReplaceLineBreaks(noIPv6, " - ") + ")";
    return ChannelPrefix(channel, remarks) + " listening to connections on " +
        TIdIPAddress::WithPort(bound->IP(), bound->Port()) + ipv6 + refusing;
}

std::string ChannelErrorText(int channel, const std::string& remarks, const std::string& message)
{
    return ChannelPrefix(channel, remarks) + " Error: " + ReplaceLineBreaks(message, " - ");
}

std::string ReachableWarningText(int channel, const std::string& remarks)
{
    return ChannelPrefix(channel, remarks) + " " + ReachableText;
}
