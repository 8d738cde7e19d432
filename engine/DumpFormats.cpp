#include "DumpFormats.h"

#include "HttpHeaders.h"

#include <ctime>

namespace {

constexpr int kBytesPerLine = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Pads the current line to 16 positions and moves it into the result.
void CompleteHexLine(std::string& hex, std::string& chars, int count, std::string& result) {
    for (int i = count; i < kBytesPerLine; ++i) {
        hex.append(3, ' ');
        chars.push_back(' ');
    }
    result += hex;
    result.push_back(' ');
    result += chars;
    result += "\r\n";
    hex.clear();
    chars.clear();
}

std::string TwoDigits(int v) {
    return {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

}  // namespace

bool IsTextByte(unsigned char b) {
    return b == 9 || b == 10 || b == 13 || (b >= 32 && b <= 127);
}

bool IsShowableByte(unsigned char b) {
    return b >= 32 && b <= 127;
}

std::string HexDump(std::string_view data) {
    std::string result;
    // 65 characters plus CR LF per started line of 16 bytes.
    result.reserve((data.size() / kBytesPerLine + 1) * 67);
    std::string hex;
    std::string chars;
    int count = 0;
    for (char c : data) {
        const auto b = static_cast<unsigned char>(c);
        if (count == kBytesPerLine) {
            CompleteHexLine(hex, chars, count, result);
            count = 0;
        }
        chars.push_back(IsShowableByte(b) ? c : ' ');
        hex.push_back(kHexDigits[b >> 4]);
        hex.push_back(kHexDigits[b & 0x0F]);
        hex.push_back(' ');
        ++count;
    }
    CompleteHexLine(hex, chars, count, result);
    return result;
}

std::string FilterAscii(std::string_view data, std::string_view replacement) {
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

std::string AutoDump(std::string_view data) {
    for (char c : data) {
        if (!IsTextByte(static_cast<unsigned char>(c)))
            return HexDump(data);
    }
    return std::string(data);
}

std::string FormatTime() {
    return FormatTime(std::chrono::system_clock::now());
}

std::string FormatTime(std::chrono::system_clock::time_point when) {
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

std::string ReplaceLineBreaks(std::string_view text, std::string_view replacement) {
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

std::string BuildDumpText(int logDataMode, TRelayDirection direction, std::string_view data) {
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

