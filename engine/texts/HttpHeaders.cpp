#include "engine/texts/HttpHeaders.h"

#include <array>

namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// The part before the first blank, or the whole read when it has none.
std::string_view FirstWord(std::string_view read)
{
    return read.substr(0, read.find(' '));
}

// 1-based position of the first occurrence, 0 when absent: the position arithmetic of the
// checks below compares these numbers, absent ones included.
std::size_t Position(std::string_view read, std::string_view what)
{
    const std::size_t at = read.find(what);
    return at == std::string_view::npos ? 0 : at + 1;
}

// Everything before the marker at 1-based position p3, plus the marker's first CR LF.
std::string CutHeader(std::string_view read, std::size_t p3, bool* found)
{
    if (found)
        *found = true;
    return std::string(read.substr(0, p3 - 1 + kLineBreak.size()));
}

std::string NotFound(bool* found)
{
    if (found)
        *found = false;
    return {};
}

bool IsRequestMethod(std::string_view word)
{
    static constexpr std::array<std::string_view, 6> kMethods = {"GET", "HEAD",    "POST",
                                                                 "PUT", "OPTIONS", "TRACE"};
    for (std::string_view m : kMethods) {
        if (word == m)
            return true;
    }
    return false;
}

}  // namespace

std::string ExtractRequestHeader(std::string_view read, bool* found)
{
    if (!IsRequestMethod(FirstWord(read)))
        return NotFound(found);
    const std::size_t p1 = Position(read, kLineBreak);
    if (p1 == 0)
        return NotFound(found);
    const std::size_t p2 = Position(read, "HTTP/1.");
    if (p1 < p2)
        return NotFound(found);  // the version tag lies beyond the first line
    const std::size_t p3 = Position(read, kHeaderEnd);
    if (p3 == 0 || p2 > p3)
        return NotFound(found);
    return CutHeader(read, p3, found);
}

std::string ExtractResponseHeader(std::string_view read, bool* found)
{
    const std::string_view word = FirstWord(read);
    if (word != "HTTP/1.0" && word != "HTTP/1.1")
        return NotFound(found);
    if (Position(read, kLineBreak) == 0)
        return NotFound(found);
    const std::size_t p3 = Position(read, kHeaderEnd);
    if (p3 == 0)
        return NotFound(found);
    return CutHeader(read, p3, found);
}
