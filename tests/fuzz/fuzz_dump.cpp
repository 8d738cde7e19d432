// Feeds arbitrary bytes to the dump formats and checks the shape of what comes out.
#include "engine/texts/DumpFormats.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

void CheckHexDump(std::string_view in)
{
    const std::string dump = HexDump(in);
    const std::size_t lines = in.empty() ? 1 : (in.size() + 15) / 16;
    Check(dump.size() == lines * 67);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::size_t line = i / 16, col = i % 16;
        const auto b = static_cast<unsigned char>(in[i]);
        static constexpr char hex[] = "0123456789ABCDEF";
        const std::size_t at = line * 67 + col * 3;
        Check(dump[at] == hex[b >> 4] && dump[at + 1] == hex[b & 15] && dump[at + 2] == ' ');
        const char shown = dump[line * 67 + 49 + col];
        Check(shown == (IsShowableByte(b) ? in[i] : ' '));
    }
    for (std::size_t line = 0; line < lines; ++line) {
        Check(dump[line * 67 + 48] == ' ');
        Check(dump.compare(line * 67 + 65, 2, "\r\n") == 0);
    }
}

void CheckFilterAscii(std::string_view in)
{
    const std::string dropped = FilterAscii(in, "");
    const std::string dotted = FilterAscii(in, ".");
    Check(dotted.size() == in.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const bool text = IsTextByte(static_cast<unsigned char>(in[i]));
        Check(dotted[i] == (text ? in[i] : '.'));
        if (text)
            Check(kept < dropped.size() && dropped[kept++] == in[i]);
    }
    Check(kept == dropped.size());
    const std::string autoDump = AutoDump(in);
    Check(autoDump == (FilterAscii(in, "") == in ? std::string(in) : HexDump(in)));
}

void CheckReplaceLineBreaks(std::string_view in)
{
    const std::string out = ReplaceLineBreaks(in, "\n");  // each pair shrinks by one byte
    std::size_t pairs = 0;
    for (std::size_t at = in.find("\r\n"); at != std::string_view::npos;
         at = in.find("\r\n", at + 2))
        ++pairs;
    Check(out.size() == in.size() - pairs);
    Check(ReplaceLineBreaks(in, "\r\n") == in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    CheckHexDump(in);
    CheckFilterAscii(in);
    CheckReplaceLineBreaks(in);
    for (int mode = -1; mode <= 10; ++mode) {
        BuildDumpText(mode, TRelayDirection::ClientToServer, in);
        BuildDumpText(mode, TRelayDirection::ServerToClient, in);
    }
    return 0;
}
