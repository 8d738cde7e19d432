// The program's settings: the general record, the eight channel records and the window
// bounds, kept in "Trabix.ini" beside the executable or where ProgramPaths.h puts it.
//
// How to use it: the program makes one TSettings at start and hands it to the window or the
// headless twin; Load() fills it, the window shows and edits it and Save() stores it; the
// window calls LoadWindowPos after a load and SaveWindowPos when it closes. All of it is called
// on the main thread only; the mapping servers get copies of the values.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace trabix {

struct TPM_GeneralConfig {
    bool AutoStart = false;
    bool LogToScreen = false;
    bool LogToFile = false;
    bool LimitScreenLog = false;
    std::int32_t ScreenLogLines = 0;
    bool WrapLines = false;
    std::string AppTitle;  // read, never written: it exists only if the user puts it in the file
    bool GotoTNA = false;
    bool LogConnInfo = false;
    bool LogDelayInfo = false;
    bool DelayPerThread = false;
    // Where the control API listens, "[address:]port" (empty: off; port 0: any free port).
    // Read, never written, as AppTitle: the user puts it in the file.
    std::string ApiListen;
};

struct TPM_port {
    std::string BindIp;
    std::int32_t ListenPort = 0;
    std::string MapIp;
    std::int32_t MapPort = 0;
    bool Map = false;
    std::string Remarks;
    bool Logging = false;
    std::int32_t LogDataMode = 0;
    std::int32_t MaxSpeed = 0;
    // Who may connect: allowed client addresses and ranges (empty: everyone) and the most
    // connections held at once, in all and per client address (0: no limit).
    std::string AllowFrom;
    std::int32_t MaxConnections = 0;
    std::int32_t MaxConnectionsPerSource = 0;
    // Network conditions (see the README): milliseconds, bytes (0 = off), percent, seed.
    std::int32_t LatencyCS = 0;
    std::int32_t LatencySC = 0;
    std::int32_t JitterCS = 0;
    std::int32_t JitterSC = 0;
    std::int32_t ResetAfterCS = 0;
    std::int32_t ResetAfterSC = 0;
    std::int32_t StallAfterCS = 0;
    std::int32_t StallAfterSC = 0;
    std::int32_t ConditionChance = 100;
    std::int32_t ConditionSeed = 0;
    bool Capture = false;  // keep the bytes of the connections for the stream view
    bool CaptureToFile = false;  // write them to the channel's daily capture file as well
    // TLS on either leg (see the README): the client side (0 off, 1 terminate) with its
    // certificate and key (empty: issued by the local authority), the target side (0 off,
    // 1 originate) with the name it sends, verification, trust anchors (empty: the system's)
    // and client certificate, rejected names passed through, and the key log file.
    std::int32_t TlsClient = 0;
    std::string TlsCertFile;
    std::string TlsKeyFile;
    std::int32_t TlsTarget = 0;
    std::string TlsServerName;
    bool TlsVerify = true;
    std::string TlsCaFile;
    std::string TlsClientCertFile;
    std::string TlsClientKeyFile;
    bool TlsPassThroughRejected = true;
    std::string TlsKeyLogFile;
};

// Latency and jitter are at most a minute; byte budgets never negative; chance a percentage.
constexpr std::int32_t MaxConditionMs = 60000;
// Brings the condition values of a channel into their ranges, the ones TSettings::Load clamps them
// into (SettingRange below).
void ClampConditions(TPM_port& Port);

constexpr int ChannelCount = 8;

// The values an integer setting may take. TSettings::Load clamps every integer it reads into its
// key's range, and the window's editors offer the same range, so the window and the mapping
// servers always see the same value.
struct TIntRange {
    std::int32_t Min = INT32_MIN;
    std::int32_t Max = INT32_MAX;
    constexpr std::int32_t Clamp(std::int32_t Value) const
    {
        return Value < Min ? Min : (Value > Max ? Max : Value);
    }
};

// The ranges of the integer keys, used by the settings table and by the window's editors.
namespace SettingRange {
inline constexpr TIntRange ScreenLogLines{1000, 1000000};
inline constexpr TIntRange Port{1, 65535};  // ListenPort and MapPort
inline constexpr TIntRange LogDataMode{0, 9};
inline constexpr TIntRange MaxSpeed{0, 100000000};
inline constexpr TIntRange Connections{0, 1000000};  // MaxConnections(PerSource); 0: no limit
inline constexpr TIntRange ConditionMs{0, MaxConditionMs};  // latency and jitter
inline constexpr TIntRange ByteBudget{0, INT32_MAX};  // ResetAfter, StallAfter; 0: off
inline constexpr TIntRange Percent{0, 100};  // ConditionChance
inline constexpr TIntRange TlsMode{0, 1};  // TlsClient, TlsTarget: off or on
}  // namespace SettingRange

// The keys of a channel record by their INI names, for those who set a channel's values one key
// at a time from outside the window (the control API). The names, types and ranges are those of
// the table that Load and Save use.
enum class TKeyType { Bool, Integer, Text };
struct TChannelKey {
    std::string Name;
    TKeyType Type = TKeyType::Text;
    TIntRange Range{};  // for an integer
};
// Every channel key in the file's order (AppTitle and the other general keys are not among them).
const std::vector<TChannelKey>& ChannelKeys();
// The key named Name (matched case-blind, as the file does), or nullptr.
const TChannelKey* FindChannelKey(const std::string& Name);
// A key's value in a record: a bool, an integer or a text, as its type says.
using TKeyValue = std::variant<bool, std::int32_t, std::string>;
TKeyValue ReadChannelKey(const TPM_port& Port, const TChannelKey& Key);
// Stores Value under Key. False, with Port unchanged, when Value is not of the key's type or an
// integer lies outside the key's range: unlike Load, nothing is clamped here.
bool WriteChannelKey(TPM_port& Port, const TChannelKey& Key, const TKeyValue& Value);

// The program's settings, owned by whoever made them (the program's start, a test) and handed
// to the one window or headless twin that uses them. The records hold their fields' initial
// values until Load runs.
class TSettings {
public:
    TPM_GeneralConfig& General() { return general_; }
    const TPM_GeneralConfig& General() const { return general_; }
    // The record of channel Channel, 1 to ChannelCount.
    TPM_port& Port(int Channel) { return ports_.at(Index(Channel)); }
    const TPM_port& Port(int Channel) const { return ports_.at(Index(Channel)); }

    // Reads the settings file into the records. A missing file, section or key gives the key's
    // default and is no failure; every integer, read or default, is clamped into its key's
    // range (SettingRange), silently. False when the file exists but cannot be read; the
    // records then keep their previous values.
    bool Load();
    // Writes the records (all but AppTitle) in one atomic replacement of the file, keeping
    // every line it does not write. False when the file could not be read first or could not
    // be replaced; the file is then unchanged.
    bool Save() const;

private:
    static std::size_t Index(int Channel) { return static_cast<std::size_t>(Channel - 1); }

    TPM_GeneralConfig general_;
    std::array<TPM_port, ChannelCount> ports_;
};

// The bounds of a window, as LoadWindowPos and SaveWindowPos see it. The main window
// implements it over its own geometry.
class TWindowBounds {
public:
    virtual ~TWindowBounds() = default;
    virtual std::int32_t Top() const = 0;
    virtual std::int32_t Left() const = 0;
    virtual std::int32_t Height() const = 0;
    virtual std::int32_t Width() const = 0;
    virtual void SetTop(std::int32_t Value) = 0;
    virtual void SetLeft(std::int32_t Value) = 0;
    virtual void SetHeight(std::int32_t Value) = 0;
    virtual void SetWidth(std::int32_t Value) = 0;
};

// The directory of the running executable (from /proc/self/exe) followed by "Trabix.ini";
// the working directory plays no part. Returns the test override instead when one is set.
std::string ConfigFileName();

// The folder of ConfigFileName, with a trailing slash: the local certificate authority of the
// TLS channels lives beside the settings file.
std::string SettingsFolder();

// Makes ConfigFileName return Path: the start-up's choice of settings file (ProgramPaths.h) or a
// test's file; an empty Path goes back to the name beside the executable.
void OverrideConfigFileName(const std::string& Path);

// Sets the form's top, left, height and width, in that order, from section "WindowPos"; a
// missing or unreadable key gives its default, an unreadable file all four defaults.
void LoadWindowPos(TWindowBounds& Form, std::int32_t Left, std::int32_t Top, std::int32_t Width,
                   std::int32_t Height);

// Stores the form's bounds in section "WindowPos". The window ignores the result.
bool SaveWindowPos(const TWindowBounds& Form);

}  // namespace trabix
