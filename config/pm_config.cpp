#include "config/pm_config.h"

#include "config/IniFile.h"
#include "config/ProgramPaths.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <type_traits>
#include <unistd.h>
#include <variant>

namespace trabix {

namespace {

std::string& FileNameOverride()
{
    static std::string path;
    return path;
}

// One key of a record: its INI name, the field it fills, its default and, for an integer, the
// range it is clamped into on load. The same table drives TSettings::Load and Save, so a key
// cannot be read under one name and written under another, and the order of the table is the
// order of the file. A new key is one more row.
template <class Record>
struct TSetting {
    const char* Key;
    std::variant<bool Record::*, std::int32_t Record::*, std::string Record::*> Field;
    std::int32_t NumberDefault = 0;  // for booleans 1 or 0
    const char* TextDefault = "";
    TIntRange Range{};
    bool Written = true;
    bool DefaultEndsInChannel = false;  // "Mapped Port " followed by the channel number
};

using TGeneralSetting = TSetting<TPM_GeneralConfig>;
using TPortSetting = TSetting<TPM_port>;
using G = TPM_GeneralConfig;
using P = TPM_port;

const TGeneralSetting GeneralSettings[] = {
    {.Key = "AutoStart", .Field = &G::AutoStart},
    {.Key = "LogToScreen", .Field = &G::LogToScreen, .NumberDefault = 1},
    {.Key = "LogToFile", .Field = &G::LogToFile},
    {.Key = "LimitScreenLog", .Field = &G::LimitScreenLog, .NumberDefault = 1},
    {.Key = "ScreenLogLines",
     .Field = &G::ScreenLogLines,
     .NumberDefault = 5000,
     .Range = SettingRange::ScreenLogLines},
    {.Key = "WrapLines", .Field = &G::WrapLines, .NumberDefault = 1},
    {.Key = "AppTitle", .Field = &G::AppTitle, .Written = false},
    {.Key = "GotoTNA", .Field = &G::GotoTNA},
    {.Key = "LogConnInfo", .Field = &G::LogConnInfo, .NumberDefault = 1},
    {.Key = "LogDelayInfo", .Field = &G::LogDelayInfo, .NumberDefault = 1},
    {.Key = "DelayPerThread", .Field = &G::DelayPerThread},
    {.Key = "ApiListen", .Field = &G::ApiListen, .Written = false},
};

// Read and written in this order, which is not the order of the record's fields. The ports'
// default 0 lies below their range: an absent port loads as 1, as the window shows it.
const TPortSetting PortSettings[] = {
    {.Key = "Remarks",
     .Field = &P::Remarks,
     .TextDefault = "Mapped Port ",
     .DefaultEndsInChannel = true},
    {.Key = "BindIp", .Field = &P::BindIp},
    {.Key = "ListenPort", .Field = &P::ListenPort, .Range = SettingRange::Port},
    {.Key = "MapIp", .Field = &P::MapIp, .TextDefault = "127.0.0.1"},
    {.Key = "MapPort", .Field = &P::MapPort, .Range = SettingRange::Port},
    {.Key = "Map", .Field = &P::Map},
    {.Key = "Logging", .Field = &P::Logging},
    {.Key = "LogDataMode", .Field = &P::LogDataMode, .Range = SettingRange::LogDataMode},
    {.Key = "MaxSpeed", .Field = &P::MaxSpeed, .Range = SettingRange::MaxSpeed},
    {.Key = "AllowFrom", .Field = &P::AllowFrom},
    {.Key = "MaxConnections", .Field = &P::MaxConnections, .Range = SettingRange::Connections},
    {.Key = "MaxConnectionsPerSource",
     .Field = &P::MaxConnectionsPerSource,
     .Range = SettingRange::Connections},
    {.Key = "LatencyCS", .Field = &P::LatencyCS, .Range = SettingRange::ConditionMs},
    {.Key = "LatencySC", .Field = &P::LatencySC, .Range = SettingRange::ConditionMs},
    {.Key = "JitterCS", .Field = &P::JitterCS, .Range = SettingRange::ConditionMs},
    {.Key = "JitterSC", .Field = &P::JitterSC, .Range = SettingRange::ConditionMs},
    {.Key = "ResetAfterCS", .Field = &P::ResetAfterCS, .Range = SettingRange::ByteBudget},
    {.Key = "ResetAfterSC", .Field = &P::ResetAfterSC, .Range = SettingRange::ByteBudget},
    {.Key = "StallAfterCS", .Field = &P::StallAfterCS, .Range = SettingRange::ByteBudget},
    {.Key = "StallAfterSC", .Field = &P::StallAfterSC, .Range = SettingRange::ByteBudget},
    {.Key = "ConditionChance",
     .Field = &P::ConditionChance,
     .NumberDefault = 100,
     .Range = SettingRange::Percent},
    {.Key = "ConditionSeed", .Field = &P::ConditionSeed},
    {.Key = "Capture", .Field = &P::Capture},
    {.Key = "CaptureToFile", .Field = &P::CaptureToFile},
    {.Key = "TlsClient", .Field = &P::TlsClient, .Range = SettingRange::TlsMode},
    {.Key = "TlsCertFile", .Field = &P::TlsCertFile},
    {.Key = "TlsKeyFile", .Field = &P::TlsKeyFile},
    {.Key = "TlsTarget", .Field = &P::TlsTarget, .Range = SettingRange::TlsMode},
    {.Key = "TlsServerName", .Field = &P::TlsServerName},
    {.Key = "TlsVerify", .Field = &P::TlsVerify, .NumberDefault = 1},
    {.Key = "TlsCaFile", .Field = &P::TlsCaFile},
    {.Key = "TlsClientCertFile", .Field = &P::TlsClientCertFile},
    {.Key = "TlsClientKeyFile", .Field = &P::TlsClientKeyFile},
    {.Key = "TlsPassThroughRejected", .Field = &P::TlsPassThroughRejected, .NumberDefault = 1},
    {.Key = "TlsKeyLogFile", .Field = &P::TlsKeyLogFile},
};

const char* const GeneralSection = "General";
const char* const WindowSection = "WindowPos";

std::string ChannelSection(int Channel)
{
    return "MappedPort_" + std::to_string(Channel);
}

template <class Record, std::size_t N>
void ReadSection(const TIniFile& Ini, const std::string& Section,
                 const TSetting<Record> (&Table)[N], Record& Target, int Channel)
{
    for (const TSetting<Record>& s : Table) {
        std::visit(
            [&](auto Field) {
                using T = std::remove_reference_t<decltype(Target.*Field)>;
                if constexpr (std::is_same_v<T, bool>) {
                    Target.*Field = Ini.ReadBool(Section, s.Key, s.NumberDefault != 0);
                } else if constexpr (std::is_same_v<T, std::int32_t>) {
                    Target.*Field = s.Range.Clamp(Ini.ReadInteger(Section, s.Key, s.NumberDefault));
                } else {
                    std::string def = s.TextDefault;
                    if (s.DefaultEndsInChannel)
                        def += std::to_string(Channel);
                    Target.*Field = Ini.ReadString(Section, s.Key, def);
                }
            },
            s.Field);
    }
}

template <class Record, std::size_t N>
void WriteSection(TIniFile& Ini, const std::string& Section, const TSetting<Record> (&Table)[N],
                  const Record& Source)
{
    for (const TSetting<Record>& s : Table) {
        if (!s.Written)
            continue;
        std::visit(
            [&](auto Field) {
                using T = std::remove_cv_t<std::remove_reference_t<decltype(Source.*Field)>>;
                if constexpr (std::is_same_v<T, bool>)
                    Ini.WriteBool(Section, s.Key, Source.*Field);
                else if constexpr (std::is_same_v<T, std::int32_t>)
                    Ini.WriteInteger(Section, s.Key, Source.*Field);
                else
                    Ini.WriteString(Section, s.Key, Source.*Field);
            },
            s.Field);
    }
}

bool SameKeyName(const std::string& A, const char* B)
{
    const std::string b = B;
    return A.size() == b.size() &&
        std::equal(A.begin(), A.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                   std::tolower(static_cast<unsigned char>(y));
           });
}

const TPortSetting* FindPortSetting(const std::string& Name)
{
    for (const TPortSetting& s : PortSettings)
        if (SameKeyName(Name, s.Key))
            return &s;
    return nullptr;
}

}  // namespace

const std::vector<TChannelKey>& ChannelKeys()
{
    static const std::vector<TChannelKey> keys = [] {
        std::vector<TChannelKey> list;
        for (const TPortSetting& s : PortSettings) {
            TChannelKey key{.Name = s.Key, .Type = TKeyType::Text, .Range = s.Range};
            if (std::holds_alternative<bool P::*>(s.Field))
                key.Type = TKeyType::Bool;
            else if (std::holds_alternative<std::int32_t P::*>(s.Field))
                key.Type = TKeyType::Integer;
            list.push_back(key);
        }
        return list;
    }();
    return keys;
}

const TChannelKey* FindChannelKey(const std::string& Name)
{
    for (const TChannelKey& key : ChannelKeys())
        if (SameKeyName(Name, key.Name.c_str()))
            return &key;
    return nullptr;
}

TKeyValue ReadChannelKey(const TPM_port& Port, const TChannelKey& Key)
{
    const TPortSetting* s = FindPortSetting(Key.Name);
    if (!s)
        return std::string();
    return std::visit([&](auto Field) -> TKeyValue { return Port.*Field; }, s->Field);
}

bool WriteChannelKey(TPM_port& Port, const TChannelKey& Key, const TKeyValue& Value)
{
    const TPortSetting* s = FindPortSetting(Key.Name);
    if (!s)
        return false;
    return std::visit(
        [&](auto Field) {
            using T = std::remove_reference_t<decltype(Port.*Field)>;
            const T* value = std::get_if<T>(&Value);
            if (!value)
                return false;
            if constexpr (std::is_same_v<T, std::int32_t>) {
                if (s->Range.Clamp(*value) != *value)
                    return false;
            }
            Port.*Field = *value;
            return true;
        },
        s->Field);
}

void ClampConditions(TPM_port& Port)
{
    for (std::int32_t* ms : {&Port.LatencyCS, &Port.LatencySC, &Port.JitterCS, &Port.JitterSC})
        *ms = SettingRange::ConditionMs.Clamp(*ms);
    for (std::int32_t* bytes :
         {&Port.ResetAfterCS, &Port.ResetAfterSC, &Port.StallAfterCS, &Port.StallAfterSC})
        *bytes = SettingRange::ByteBudget.Clamp(*bytes);
    Port.ConditionChance = SettingRange::Percent.Clamp(Port.ConditionChance);
}

std::string ConfigFileName()
{
    if (!FileNameOverride().empty())
        return FileNameOverride();
    return trabix::ExecutableDirectory() + "Trabix.ini";
}

std::string SettingsFolder()
{
    const std::string file = ConfigFileName();
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string("./") : file.substr(0, slash + 1);
}

void OverrideConfigFileName(const std::string& Path)
{
    FileNameOverride() = Path;
}

bool TSettings::Load()
{
    TIniFile ini(ConfigFileName());
    if (!ini.Load())
        return false;
    ReadSection(ini, GeneralSection, GeneralSettings, general_, 0);
    for (int n = 1; n <= ChannelCount; ++n)
        ReadSection(ini, ChannelSection(n), PortSettings, Port(n), n);
    return true;
}

bool TSettings::Save() const
{
    TIniFile ini(ConfigFileName());
    if (!ini.Load())
        return false;
    WriteSection(ini, GeneralSection, GeneralSettings, general_);
    for (int n = 1; n <= ChannelCount; ++n)
        WriteSection(ini, ChannelSection(n), PortSettings, Port(n));
    return ini.UpdateFile();
}

void LoadWindowPos(TWindowBounds& Form, std::int32_t Left, std::int32_t Top, std::int32_t Width,
                   std::int32_t Height)
{
    TIniFile ini(ConfigFileName());
    if (!ini.Load()) {
        Form.SetTop(Top);
        Form.SetLeft(Left);
        Form.SetHeight(Height);
        Form.SetWidth(Width);
        return;
    }
    Form.SetTop(ini.ReadInteger(WindowSection, "Top", Top));
    Form.SetLeft(ini.ReadInteger(WindowSection, "Left", Left));
    Form.SetHeight(ini.ReadInteger(WindowSection, "Height", Height));
    Form.SetWidth(ini.ReadInteger(WindowSection, "Width", Width));
}

bool SaveWindowPos(const TWindowBounds& Form)
{
    TIniFile ini(ConfigFileName());
    if (!ini.Load())
        return false;
    ini.WriteInteger(WindowSection, "Top", Form.Top());
    ini.WriteInteger(WindowSection, "Left", Form.Left());
    ini.WriteInteger(WindowSection, "Height", Form.Height());
    ini.WriteInteger(WindowSection, "Width", Form.Width());
    return ini.UpdateFile();
}

}  // namespace trabix
