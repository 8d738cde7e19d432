#include "engine/texts/DumpFormats.h"

#include "engine/texts/HttpHeaders.h"

#include <ctime>

namespace {

constexpr int kBytesPerLine = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// One dump line: 16 hexadecimal cells of three characters, one space, 16 character cells,
// CR LF. Positions that no byte fills stay blanks, which is the padding of the last line.
constexpr std::size_t kHexColumnWidth = 3 * kBytesPerLine;
constexpr std::size_t kLineWidth = kHexColumnWidth + 1 + kBytesPerLine + 2;

std::string TwoDigits(int v)
{
    return {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

}  // namespace

bool IsTextByte(unsigned char b)
{
    return b == 9 || b == 10 || b == 13 || (b >= 32 && b <= 127);
}

bool IsShowableByte(unsigned char b)
{
    return b >= 32 && b <= 127;
}

std::string HexDump(std::string_view data)
{
    // The dump runs on the relay thread for every read, so it writes each byte's cells in
    // place in a result laid out in advance instead of building the columns piece by piece.
    const std::size_t lines = data.empty() ? 1 : (data.size() + kBytesPerLine - 1) / kBytesPerLine;
    std::string result(lines * kLineWidth, ' ');
    for (std::size_t line = 0; line < lines; ++line) {
        char* out = result.data() + line * kLineWidth;
        out[kLineWidth - 2] = '\r';
        out[kLineWidth - 1] = '\n';
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        char* out = result.data() + (i / kBytesPerLine) * kLineWidth;
        const std::size_t cell = i % kBytesPerLine;
        out[3 * cell] = kHexDigits[b >> 4];
        out[3 * cell + 1] = kHexDigits[b & 0x0F];
        out[kHexColumnWidth + 1 + cell] = IsShowableByte(b) ? data[i] : ' ';
    }
    return result;
}

std::string FilterAscii(std::string_view data, std::string_view replacement)
{
    std::string result;
    result.reserve(data.size());
    for (char c : data) {
        if (IsTextByte(static_cast<unsigned char>(c)))
            result.push_back(c);
        else
            result += replacement;
    }
    return result;
}

std::string AutoDump(std::string_view data)
{
    for (char c : data) {
        if (!IsTextByte(static_cast<unsigned char>(c)))
            return HexDump(data);
    }
    return std::string(data);
}

std::string FormatTime()
{
    return FormatTime(std::chrono::system_clock::now());
}

std::string FormatTime(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto sinceEpoch = when.time_since_epoch();
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
    if (millis < 0) {  // time points before 1970 floor towards the earlier second
        millis += 1000;
        secs -= seconds(1);
    }
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm local{};
    localtime_r(&t, &local);
    std::string text = TwoDigits(local.tm_hour) + ':' + TwoDigits(local.tm_min) + ':' +
        TwoDigits(local.tm_sec) + ':';
    text.push_back(static_cast<char>('0' + millis / 100));
    text += TwoDigits(static_cast<int>(millis % 100));
    return text;
}

std::string ReplaceLineBreaks(std::string_view text, std::string_view replacement)
{
    std::string result;
    result.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t hit = text.find("\r\n", pos);
        if (hit == std::string_view::npos) {
            result.append(text.substr(pos));
            break;
        }
        result.append(text.substr(pos, hit - pos));
        result.append(replacement);
        pos = hit + 2;
    }
    return result;
}

std::string BuildDumpText(int logDataMode, TRelayDirection direction, std::string_view data)
{
    const bool fromClient = direction == TRelayDirection::ClientToServer;
    switch (logDataMode) {
        case 1: return std::string(data);
        case 2: return FilterAscii(data, "");
        case 3: return FilterAscii(data, ".");
        case 4: return HexDump(data);
        case 5: return AutoDump(data);
        case 6: return fromClient ? ExtractRequestHeader(data) : ExtractResponseHeader(data);
        case 7: return fromClient ? FilterAscii(data, "") : ExtractResponseHeader(data);
        case 8: return fromClient ? ExtractRequestHeader(data) : FilterAscii(data, "");
        case 9: return FilterAscii(data, "");
        default: return {};
    }
}
