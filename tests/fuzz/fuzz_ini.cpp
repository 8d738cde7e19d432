// Feeds arbitrary bytes to the INI reader as file content. Checks that reading gives back the
// input unchanged, that lookups never fail on it, and that keys written into it read back.
#include "config/IniFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Require(bool Condition)
{
    if (!Condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    trabix::TIniFile ini("unused.ini");
    ini.Parse(input);
    Require(ini.Render() == input);

    for (const char* section : {"General", "MappedPort_1", "mappedport_8", "WindowPos", ""}) {
        for (const char* key : {"AutoStart", "ScreenLogLines", "Remarks", "Top", ""}) {
            Require(ini.ReadString(section, key, "d").size() <= trabix::IniMaxValueLength);
            ini.ReadInteger(section, key, 7);
            ini.ReadBool(section, key, true);
        }
    }
    trabix::ParseIniInteger(input.substr(0, 64));

    // Writing must touch only its own keys: what it wrote reads back, and so does a key the
    // input already had in a section that the writes do not touch.
    const std::string value = "v=" + std::to_string(Size);
    ini.WriteString("General", "AutoStart", value);
    const auto number = static_cast<std::int32_t>(Size) - 5;
    ini.WriteInteger("MappedPort_3", "MapPort", number);
    ini.WriteString(input.substr(0, 8), "Remarks", "r");
    trabix::TIniFile reread("unused.ini");
    reread.Parse(ini.Render());
    Require(reread.ReadString("General", "AutoStart", "") == value);
    Require(reread.ReadInteger("MappedPort_3", "MapPort", 0) == number);
    Require(reread.ReadValue("WindowPos", "Top") == ini.ReadValue("WindowPos", "Top"));
    return 0;
}
