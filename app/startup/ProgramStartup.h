// The start-up the window and the headless twin share: where settings and logs live, the
// file logger, the mapping servers and how a channel is started, and the program's own lines.
// TChannelSet builds on these for both faces, so a channel starts, logs and stops the same way
// in either.
// Called on the main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/tls/TlsContexts.h"

class TqvMappedPortTCP;
struct TConditionValues;
namespace trabix {
class TQVX_Logger;
struct TPM_GeneralConfig;
struct TPM_port;
}  // namespace trabix

// Chooses the settings file and the log folder (config/ProgramPaths.h), creates the folders
// of the installed layout and makes them the ones in use. A folder that cannot be created is
// reported on standard error; the program goes on (the logger then writes to the working
// directory, a settings file that cannot be read gives the defaults).
void SetUpProgramPaths(const std::string& configOverride);

// The daily file logger as the program uses it: the log folder in use, its lock on, CR LF after
// every entry, no time stamp of its own (the lines carry theirs).
std::unique_ptr<trabix::TQVX_Logger> MakeProgramLogger();

// Channel n's mapping server, inactive.
std::unique_ptr<TqvMappedPortTCP> MakeChannelServer(int channel);

// A channel's network conditions as the engine takes them.
TConditionValues ConditionValues(const trabix::TPM_port& port);

// The settings a running server picks up at once (log switches, data mode, speed limits, who
// may connect).
// The TLS keys of a channel's settings as the engine takes them.
TTlsSettings TlsSettings(const trabix::TPM_port& port);
void ApplyLiveSettings(TqvMappedPortTCP& server, const trabix::TPM_port& port,
                       const trabix::TPM_GeneralConfig& general);

// Stops the server and clears its bindings; when the channel's Map is checked, binds it to the
// channel's address and port, points it at its target and OnLog, and activates it. True when
// it listens. Throws what the server throws (the caller turns it into the channel's error line).
bool StartChannelServer(TqvMappedPortTCP& server, const trabix::TPM_port& port,
                        const trabix::TPM_GeneralConfig& general,
                        std::function<void(const std::string&)> onLog);

// Raises the soft limit of open files to the hard limit: each connection holds two, and a
// desktop session starts programs with 1024. Returns the line to log when even the hard limit
// is low (under 4096), saying how many connections fit; empty otherwise. For program start.
std::string RaiseOpenFileLimit();

// The program's own lines: "** " + the time of day + " " + text.
std::string ProgramLine(const std::string& text);
std::string ProgramStartedText();
std::string ProgramStoppedText();
inline const char* const StoppedAllText = "Stopped all (active) mappings";
// "Channel n: (remarks) listening to connections on ip:port" for a listening server, followed
// by "; AllowFrom not valid (why): refusing every client" when its allow list does not parse.
std::string ListeningText(int channel, const std::string& remarks, TqvMappedPortTCP& server);
std::string ChannelErrorText(int channel, const std::string& remarks, const std::string& message);
// The warning of a channel that other machines can reach: the tooltip of the window's mark, and
// in the headless twin's log "Channel n: (remarks) Reachable from other machines".
inline const char* const ReachableText = "Reachable from other machines";
std::string ReachableWarningText(int channel, const std::string& remarks);
