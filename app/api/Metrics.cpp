#include "app/api/Metrics.h"

#include "app/startup/ChannelSet.h"

#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <cstdint>
#include <functional>
#include <limits>

namespace {

// One metric family: its HELP and TYPE lines, then a sample per channel (and per label value).
class TFamily {
public:
    TFamily(std::string& out, const char* name, const char* type, const char* help)
        : Out(out), Name(name)
    {
        Out += std::string("# HELP ") + name + " " + help + "\n";
        Out += std::string("# TYPE ") + name + " " + type + "\n";
    }
    void Sample(int channel, std::int64_t value, const std::string& extraLabel = {})
    {
        Out += Name + "{channel=\"" + std::to_string(channel) + "\"" +
            (extraLabel.empty() ? "" : "," + extraLabel) + "} " + std::to_string(value) + "\n";
    }

private:
    std::string& Out;
    std::string Name;
};

using TServerValue = std::function<std::int64_t(const TqvMappedPortTCP&)>;

void PerChannel(std::string& out, TChannelSet& channels, const char* name, const char* type,
                const char* help, const TServerValue& value)
{
    TFamily family(out, name, type, help);
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        if (const TqvMappedPortTCP* server = channels.Server(n))
            family.Sample(n, value(*server));
}

std::int64_t DroppedCaptureBytes(const TqvMappedPortTCP& server)
{
    std::int64_t dropped = 0;
    for (const TConnectionSnapshot& c : server.ConnectionSnapshot())
        if (const auto record = server.FindConnection(c.Id)) {
            const TCaptureCopy copy =
                record->Capture().CopyFrom(std::numeric_limits<std::uint64_t>::max());
            dropped += static_cast<std::int64_t>(copy.DroppedCS + copy.DroppedSC);
        }
    return dropped;
}

void Listening(std::string& out, TChannelSet& channels)
{
    TFamily family(out, "trabix_channel_listening", "gauge",
                   "Whether the channel listens for connections (1) or not (0).");
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        family.Sample(n, channels.Listening(n) ? 1 : 0);
}

void Conditions(std::string& out, TChannelSet& channels)
{
    TFamily family(out, "trabix_conditions_active", "gauge",
                   "Whether network conditions (latency, jitter, reset or stall) are set on the "
                   "channel.");
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        if (const TqvMappedPortTCP* server = channels.Server(n))
            family.Sample(n, server->Conditions().Active() ? 1 : 0);
}

void Refusals(std::string& out, TChannelSet& channels)
{
    TFamily family(out, "trabix_refused_connections_total", "counter",
                   "Clients refused by the channel's access settings, by reason.");
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        const TqvMappedPortTCP* server = channels.Server(n);
        if (!server)
            continue;
        family.Sample(n, server->RefusedNotAllowed.load(), "reason=\"not_allowed\"");
        family.Sample(n, server->RefusedChannelLimit.load(), "reason=\"channel_limit\"");
        family.Sample(n, server->RefusedSourceLimit.load(), "reason=\"source_limit\"");
    }
}

void Carriers(std::string& out, TChannelSet& channels)
{
    TFamily family(out, "trabix_open_connections_by_carrier", "gauge",
                   "Open connections of the channel by what carries them: the relay pool or a "
                   "thread of their own.");
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        const TqvMappedPortTCP* server = channels.Server(n);
        if (!server)
            continue;
        const std::int64_t pooled = server->PooledConnections();
        const std::int64_t open = server->CurrentThreads.load();
        family.Sample(n, pooled, "carrier=\"pool\"");
        family.Sample(n, open > pooled ? open - pooled : 0, "carrier=\"thread\"");
    }
}

}  // namespace

std::string MetricsText(TChannelSet& channels, const trabix::TSettings&)
{
    std::string out;
    Listening(out, channels);
    PerChannel(out, channels, "trabix_open_connections", "gauge",
               "Connections of the channel open now.",
               [](const TqvMappedPortTCP& s) { return s.CurrentThreads.load(); });
    PerChannel(out, channels, "trabix_connections_total", "counter",
               "Connections the channel accepted since the counters were last reset.",
               [](const TqvMappedPortTCP& s) { return s.ConnectsIn.load(); });
    PerChannel(out, channels, "trabix_target_connections_total", "counter",
               "Connections the channel opened to its target since the counters were last "
               "reset.",
               [](const TqvMappedPortTCP& s) { return s.ConnectsOut.load(); });
    Refusals(out, channels);
    PerChannel(out, channels, "trabix_client_to_server_bytes_total", "counter",
               "Bytes read from the clients of the channel since the counters were last reset.",
               [](const TqvMappedPortTCP& s) { return s.RelayedBytesCS.load(); });
    PerChannel(out, channels, "trabix_server_to_client_bytes_total", "counter",
               "Bytes read from the target of the channel since the counters were last reset.",
               [](const TqvMappedPortTCP& s) { return s.RelayedBytesSC.load(); });
    Carriers(out, channels);
    Conditions(out, channels);
    PerChannel(out, channels, "trabix_capture_dropped_bytes", "gauge",
               "Captured bytes dropped to keep within the capture memory, over the "
               "connections the channel still keeps.",
               DroppedCaptureBytes);
    return out;
}
