// TChannelSet: the eight mapping servers of the program and what both faces do with them. It
// starts and stops the channels with the program's lines in their order, hands the live
// settings to running servers, restarts the channels whose listening settings changed, and
// answers whether a channel is reachable from other machines. The window and the headless twin
// each own one and keep no servers of their own, so a channel starts, logs and stops the same
// way in either face.
//
// How to use it: construct it with the settings it reads (owned by the face, which loads and
// edits them) and the sink that takes every line: the set's own lines (already made program
// lines, "** hh:mm:ss:zzz ...") and the lines of the servers' connections. Then StartAll,
// StopAll, ShutDown. A set that is destroyed without ShutDown stops and releases its servers
// without the stop line.
//
// Threads: every member is called on the main thread only. The sink is called on the main
// thread and, through the servers' OnLog, on connection threads; a connection thread may still
// call it after the set is gone, so the face hands in a sink that stays safe (one holding a
// weak reference to its log).
#pragma once

#include "config/pm_config.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TqvMappedPortTCP;

class TChannelSet {
public:
    using TLineSink = std::function<void(const std::string&)>;

    TChannelSet(trabix::TSettings& settings, TLineSink sink);
    ~TChannelSet();
    TChannelSet(const TChannelSet&) = delete;
    TChannelSet& operator=(const TChannelSet&) = delete;

    // Channels are numbered 1 to 8. Nullptr once the servers are released.
    TqvMappedPortTCP* Server(int channel) const;
    // Whether the channel's server listens now.
    bool Listening(int channel) const;
    int ListeningCount() const;

    // Starts every channel whose Map is checked and stops the others; each channel's error
    // becomes its error line and the others start regardless. Errors() then holds those lines.
    void StartAll();
    // (Re)starts one channel from its settings. True when it listens.
    bool Start(int channel);
    // Stops every channel (their bindings cleared), then logs "Stopped all (active) mappings".
    void StopAll();
    // Stops one channel (its bindings cleared), without a line.
    void Stop(int channel);
    // The stop of the program: every channel stopped, every server released (which waits for
    // its connection threads, whose last lines thus come first), then the stop line. Once only.
    void ShutDown();
    bool IsShutDown() const { return Released; }

    // Hands the live settings of the records to every running server.
    void ApplyLiveSettings();
    // Takes settings re-read from the file: restarts the channels whose listening settings
    // differ from `previous`, hands the live settings to the others. Returns the restarted.
    std::vector<int> ApplyChanges(const trabix::TSettings& previous);

    // Takes a change of one channel's record (from the control API): restarts the channel
    // when its listening settings differ from `previous`, else hands it the live settings.
    // True when it was restarted.
    bool ApplyChange(int channel, const trabix::TPM_port& previous);
    // Whether every open connection of the channel rides a carrier that applies the live
    // settings just handed over to each piece: none waits on the relay pool any more while
    // the channel is watched. Thread safe; the pool moves its connections on its own threads.
    bool LiveSettingsTaken(int channel) const;
    // The port the channel's listener is bound to (0 when it does not listen).
    int BoundPort(int channel) const;
    // Zeroes the counters of every channel.
    void ResetCounters();

    // The error lines of the last StartAll.
    const std::vector<std::string>& Errors() const { return StartErrors; }

    // Where no window shows the warning mark, a channel that starts while it is reachable from
    // other machines logs "Channel n: (remarks) Reachable from other machines" after its
    // listening line. Off for the window, whose rows show the mark.
    bool LogReachable = false;

    // A channel that listens, or will listen at its next start (Map checked), on every address
    // of the machine (Bind IP empty, 0.0.0.0 or ::) for every client (no allow list).
    static bool ReachableFromOtherMachines(const trabix::TPM_port& port);
    bool ReachableFromOtherMachines(int channel) const;

private:
    void Log(const std::string& text) const;
    void ReportError(int channel, const std::string& message);

    trabix::TSettings& Settings;
    TLineSink Sink;
    std::array<std::unique_ptr<TqvMappedPortTCP>, trabix::ChannelCount + 1> Servers;
    std::vector<std::string> StartErrors;
    bool Released = false;
};
