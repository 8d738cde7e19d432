// The metrics page of the control API in the Prometheus text format (version 0.0.4): per
// channel the open and total connections, refusals by reason, bytes each way, the carriers of
// the open connections, the conditions in force and the capture bytes dropped.
#pragma once

#include <string>

class TChannelSet;
namespace trabix {
class TSettings;
}

// Main thread; reads only atomic counters and snapshots, so it never waits for a connection.
std::string MetricsText(TChannelSet& channels, const trabix::TSettings& settings);
