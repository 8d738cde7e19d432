#include "config/IniFile.h"

#include "config/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trabix {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

int DigitValue(char c, int Base)
{
    int v = 99;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < Base ? v : -1;
}

// Strips a hexadecimal prefix and reports the base of the digits that follow.
int TakeBase(std::string_view& Text)
{
    for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (Text.substr(0, prefix.size()) == prefix) {
            Text.remove_prefix(prefix.size());
            return 16;
        }
    }
    return 10;
}

// Reads the whole of a regular file of bounded size. Opening without blocking keeps a FIFO
// from stalling the program; fstat then turns it (and a directory) away.
bool ReadRegularFile(const std::string& Path, std::string& Content, bool& Missing)
{
    Missing = false;
    const int fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Missing = (errno == ENOENT);
        return Missing;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) <= TIniFile::MaxFileSize;
    char buffer[65536];
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0 && Content.size() + static_cast<std::size_t>(n) <= TIniFile::MaxFileSize;
        if (ok)
            Content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return ok;
}

}  // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view Text)
{
    while (!Text.empty() && IsBlank(Text.front()))
        Text.remove_prefix(1);
    bool negative = false;
    if (!Text.empty() && (Text.front() == '-' || Text.front() == '+')) {
        negative = Text.front() == '-';
        Text.remove_prefix(1);
    }
    const int base = TakeBase(Text);
    if (Text.empty())
        return std::nullopt;
    const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
    std::int64_t magnitude = 0;
    for (char c : Text) {
        const int digit = DigitValue(c, base);
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

TIniFile::TIniFile(std::string FileName) : fileName_(std::move(FileName))
{}

bool TIniFile::Load()
{
    std::string content;
    bool missing = false;
    loadFailed_ = !ReadRegularFile(fileName_, content, missing);
    Parse(loadFailed_ ? std::string_view{} : std::string_view{content});
    return !loadFailed_;
}

void TIniFile::Parse(std::string_view Content)
{
    lines_.clear();
    while (!Content.empty()) {
        const auto newline = Content.find('\n');
        if (newline == std::string_view::npos) {
            lines_.push_back(Classify(std::string(Content), ""));
            break;
        }
        const bool crlf = newline > 0 && Content[newline - 1] == '\r';
        const std::size_t textLength = crlf ? newline - 1 : newline;
        lines_.push_back(
            Classify(std::string(Content.substr(0, textLength)), crlf ? "\r\n" : "\n"));
        Content.remove_prefix(newline + 1);
    }
}

TIniFile::TLine TIniFile::Classify(std::string Text, std::string End)
{
    TLine line{std::move(Text), std::move(End), TKind::Other, {}};
    const std::string_view body = Trim(line.Text);
    if (body.empty() || body.front() == ';' || body.front() == '#')
        return line;
    if (body.front() == '[') {
        const auto close = body.find(']');
        if (close != std::string_view::npos) {
            line.Kind = TKind::Section;
            line.Name = Trim(body.substr(1, close - 1));
        }
        return line;  // without its bracket it is no header, and no key either
    }
    const auto equals = body.find('=');
    if (equals != std::string_view::npos) {
        line.Kind = TKind::Key;
        line.Name = Trim(body.substr(0, equals));
    }
    return line;
}

std::string TIniFile::Render() const
{
    std::string out;
    for (const TLine& line : lines_) {
        out += line.Text;
        out += line.End;
    }
    return out;
}

std::optional<TIniFile::TRange> TIniFile::FindSection(std::string_view Section) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].Kind != TKind::Section || !SameName(lines_[i].Name, Section))
            continue;
        std::size_t end = i + 1;
        while (end < lines_.size() && lines_[end].Kind != TKind::Section)
            ++end;
        return TRange{i, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> TIniFile::FindKey(const TRange& Range, std::string_view Key) const
{
    for (std::size_t i = Range.Header + 1; i < Range.End; ++i)
        if (lines_[i].Kind == TKind::Key && SameName(lines_[i].Name, Key))
            return i;
    return std::nullopt;
}

std::optional<std::string> TIniFile::ReadValue(std::string_view Section, std::string_view Key) const
{
    const auto range = FindSection(Section);
    if (!range)
        return std::nullopt;
    const auto index = FindKey(*range, Key);
    if (!index)
        return std::nullopt;
    const std::string& text = lines_[*index].Text;
    return std::string(Trim(std::string_view(text).substr(text.find('=') + 1)));
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 const std::string& Default) const
{
    std::string value = ReadValue(Section, Key).value_or(Default);
    if (value.size() > IniMaxValueLength)
        value.resize(IniMaxValueLength);
    return value;
}

std::int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key,
                                   std::int32_t Default) const
{
    const auto value = ReadValue(Section, Key);
    return value ? ParseIniInteger(*value).value_or(Default) : Default;
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Key, bool Default) const
{
    return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

std::string TIniFile::DefaultLineEnd() const
{
    for (const TLine& line : lines_)
        if (!line.End.empty())
            return line.End;
    return "\n";
}

// A line added after a last line that had no line end must not run on from it.
void TIniFile::EndLastLine()
{
    if (!lines_.empty() && lines_.back().End.empty())
        lines_.back().End = DefaultLineEnd();
}

void TIniFile::InsertLine(std::size_t At, std::string Text)
{
    if (At == lines_.size())
        EndLastLine();
    const std::string end = DefaultLineEnd();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(At), Classify(std::move(Text), end));
}

namespace {

// Text that goes into one line of the file, with CR and LF made blanks.
std::string OneLine(std::string_view Text)
{
    std::string line(Text);
    for (char& c : line)
        if (c == '\r' || c == '\n')
            c = ' ';
    return line;
}

}  // namespace

void TIniFile::WriteString(std::string_view SectionName, std::string_view KeyName,
                           std::string_view Value)
{
    const std::string section = OneLine(SectionName);
    const std::string key = OneLine(KeyName);
    const std::string value = OneLine(Value);
    const auto range = FindSection(section);
    if (!range) {
        InsertLine(lines_.size(), "[" + section + "]");
        InsertLine(lines_.size(), key + "=" + value);
        return;
    }
    if (const auto index = FindKey(*range, key)) {
        TLine& line = lines_[*index];
        line.Text = line.Name + "=" + value;
        return;
    }
    // New keys go after the section's last non-blank line, before blank lines that set it
    // apart from the next section.
    std::size_t at = range->End;
    while (at > range->Header + 1 && Trim(lines_[at - 1].Text).empty())
        --at;
    InsertLine(at, key + "=" + value);
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value)
{
    WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Key, bool Value)
{
    WriteString(Section, Key, Value ? "1" : "0");
}

bool TIniFile::UpdateFile()
{
    if (loadFailed_ || !ReplaceFileContent(fileName_, Render())) {
        lastError_ = "Unable to write to " + fileName_;
        return false;
    }
    lastError_.clear();
    return true;
}

}  // namespace trabix
