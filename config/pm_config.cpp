#include "pm_config.h"

#include "IniFile.h"
#include "ProgramPaths.h"

#include <algorithm>
#include <climits>
#include <type_traits>
#include <unistd.h>
#include <variant>

namespace trabix {

TPM_GeneralConfig GeneralConfig;
std::array<TPM_port, ChannelCount + 1> PortConfig;

namespace {

std::string& FileNameOverride() {
    static std::string path;
    return path;
}

// One key of a record: its INI name, the field it fills and its default. The same table
// drives LoadConfig and SaveConfig, so a key cannot be read under one name and written under
// another, and the order of the table is the order of the file.
template <class Record>
struct TSetting {
    const char* Key;
    std::variant<bool Record::*, std::int32_t Record::*, std::string Record::*> Field;
    std::int32_t NumberDefault;  // for booleans 1 or 0
    const char* TextDefault;
    bool Written = true;
    bool DefaultEndsInChannel = false;  // "Mapped Port " followed by the channel number
};

using TGeneralSetting = TSetting<TPM_GeneralConfig>;
using TPortSetting = TSetting<TPM_port>;
using G = TPM_GeneralConfig;
using P = TPM_port;

const TGeneralSetting GeneralSettings[] = {
    {"AutoStart", &G::AutoStart, 0, ""},
    {"LogToScreen", &G::LogToScreen, 1, ""},
    {"LogToFile", &G::LogToFile, 0, ""},
    {"LimitScreenLog", &G::LimitScreenLog, 1, ""},
    {"ScreenLogLines", &G::ScreenLogLines, 5000, ""},
    {"WrapLines", &G::WrapLines, 1, ""},
    {"AppTitle", &G::AppTitle, 0, "", false},
    {"GotoTNA", &G::GotoTNA, 0, ""},
    {"LogConnInfo", &G::LogConnInfo, 1, ""},
    {"LogDelayInfo", &G::LogDelayInfo, 1, ""},
    {"DelayPerThread", &G::DelayPerThread, 0, ""},
};

// Read and written in this order, which is not the order of the record's fields.
const TPortSetting PortSettings[] = {
    {"Remarks", &P::Remarks, 0, "Mapped Port ", true, true},
    {"BindIp", &P::BindIp, 0, ""},
    {"ListenPort", &P::ListenPort, 0, ""},
    {"MapIp", &P::MapIp, 0, "127.0.0.1"},
    {"MapPort", &P::MapPort, 0, ""},
    {"Map", &P::Map, 0, ""},
    {"Logging", &P::Logging, 0, ""},
    {"LogDataMode", &P::LogDataMode, 0, ""},
    {"MaxSpeed", &P::MaxSpeed, 0, ""},
    {"AllowFrom", &P::AllowFrom, 0, ""},
    {"MaxConnections", &P::MaxConnections, 0, ""},
    {"MaxConnectionsPerSource", &P::MaxConnectionsPerSource, 0, ""},
    {"LatencyCS", &P::LatencyCS, 0, ""},
    {"LatencySC", &P::LatencySC, 0, ""},
    {"JitterCS", &P::JitterCS, 0, ""},
    {"JitterSC", &P::JitterSC, 0, ""},
    {"ResetAfterCS", &P::ResetAfterCS, 0, ""},
    {"ResetAfterSC", &P::ResetAfterSC, 0, ""},
    {"StallAfterCS", &P::StallAfterCS, 0, ""},
    {"StallAfterSC", &P::StallAfterSC, 0, ""},
    {"ConditionChance", &P::ConditionChance, 100, ""},
    {"ConditionSeed", &P::ConditionSeed, 0, ""},
};

const char* const GeneralSection = "General";
const char* const WindowSection = "WindowPos";

std::string ChannelSection(int Channel) {
    return "MappedPort_" + std::to_string(Channel);
}

template <class Record, std::size_t N>
void ReadSection(const TIniFile& Ini, const std::string& Section,
                 const TSetting<Record> (&Table)[N], Record& Target, int Channel) {
    for (const TSetting<Record>& s : Table) {
        std::visit(
            [&](auto Field) {
                using T = std::remove_reference_t<decltype(Target.*Field)>;
                if constexpr (std::is_same_v<T, bool>) {
                    Target.*Field = Ini.ReadBool(Section, s.Key, s.NumberDefault != 0);
                } else if constexpr (std::is_same_v<T, std::int32_t>) {
                    Target.*Field = Ini.ReadInteger(Section, s.Key, s.NumberDefault);
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
                  const Record& Source) {
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

}  // namespace

void ClampConditions(TPM_port& Port) {
    for (std::int32_t* ms : {&Port.LatencyCS, &Port.LatencySC, &Port.JitterCS, &Port.JitterSC})
        *ms = std::clamp(*ms, 0, MaxConditionMs);
    for (std::int32_t* bytes :
         {&Port.ResetAfterCS, &Port.ResetAfterSC, &Port.StallAfterCS, &Port.StallAfterSC})
        *bytes = std::max(*bytes, 0);
    Port.ConditionChance = std::clamp(Port.ConditionChance, 0, 100);
}

std::string ConfigFileName() {
    if (!FileNameOverride().empty())
        return FileNameOverride();
    return trabix::ExecutableDirectory() + "Trabix.ini";
}

void OverrideConfigFileName(const std::string& Path) {
    FileNameOverride() = Path;
}

bool LoadConfig() {
    TIniFile ini(ConfigFileName());
    if (!ini.Load())
        return false;
    ReadSection(ini, GeneralSection, GeneralSettings, GeneralConfig, 0);
    for (int n = 1; n <= ChannelCount; ++n) {
        ReadSection(ini, ChannelSection(n), PortSettings, PortConfig[n], n);
        ClampConditions(PortConfig[n]);
    }
    return true;
}

bool SaveConfig() {
    TIniFile ini(ConfigFileName());
    if (!ini.Load())
        return false;
    WriteSection(ini, GeneralSection, GeneralSettings, GeneralConfig);
    for (int n = 1; n <= ChannelCount; ++n)
        WriteSection(ini, ChannelSection(n), PortSettings, PortConfig[n]);
    return ini.UpdateFile();
}

void LoadWindowPos(TWindowBounds& Form, std::int32_t Left, std::int32_t Top, std::int32_t Width,
                   std::int32_t Height) {
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

bool SaveWindowPos(const TWindowBounds& Form) {
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
