// Our own reader and writer of INI files.
//
// How to use it: construct with a path, Load(), read and write values, then UpdateFile() to
// replace the file on disk in one atomic step. Reads and writes between Load and UpdateFile
// work on the text in memory only.
//
// The format: a line "[name]" opens a section; a line "key=value" inside a section sets a key.
// Blanks around section names, keys and values are ignored; section and key names match
// without regard to ASCII letter case. Lines that are neither (comments, blank lines, keys before
// the first section, a "[name" without its closing bracket, binary garbage) are kept byte for
// byte, as are the line ends (LF or CR LF) of every line not written. Where a section or a key
// occurs twice, the first occurrence is read and written; the later ones are kept but ignored.
//
// Not thread safe: one thread owns an instance.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trabix {

// Longest string value handed out; longer values are cut to this many bytes.
constexpr std::size_t IniMaxValueLength = 2047;

// Reads an INI integer: optional leading blanks, an optional sign, then decimal digits or
// hexadecimal digits after "0x", "0X", "$", "x" or "X". Nothing may follow the digits, and the
// value must lie in the 32-bit signed range. Returns nothing when the text does not qualify.
std::optional<std::int32_t> ParseIniInteger(std::string_view Text);

class TIniFile {
public:
    explicit TIniFile(std::string FileName);

    // Reads the file into memory. A missing file reads as empty and succeeds. A file that
    // exists but cannot be read (no permission, a directory, not a regular file, larger than
    // MaxFileSize) fails; the content is then empty and UpdateFile refuses to write, since it
    // would replace lines it never saw.
    bool Load();
    // Takes the content from memory instead of the file (the fuzz target and tests).
    void Parse(std::string_view Content);
    // The content as UpdateFile would write it.
    std::string Render() const;

    std::optional<std::string> ReadValue(std::string_view Section, std::string_view Key) const;
    std::string ReadString(std::string_view Section, std::string_view Key,
                           const std::string& Default) const;
    std::int32_t ReadInteger(std::string_view Section, std::string_view Key,
                             std::int32_t Default) const;
    // An integer read with the default 1 or 0; any non-zero value is true.
    bool ReadBool(std::string_view Section, std::string_view Key, bool Default) const;

    // Updates the first occurrence of the key in place, or adds it at the end of its section,
    // or adds the section at the end of the file. CR and LF inside the names and the value
    // become blanks so that a write can never add lines of its own.
    void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
    void WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value);
    void WriteBool(std::string_view Section, std::string_view Key, bool Value);

    // Replaces the file with the content in memory, atomically. On failure LastError holds
    // "Unable to write to <path>" and the file is unchanged.
    bool UpdateFile();

    const std::string& FileName() const { return fileName_; }
    const std::string& LastError() const { return lastError_; }

    static constexpr std::size_t MaxFileSize = 64u << 20;

private:
    enum class TKind { Other, Section, Key };
    struct TLine {
        std::string Text;  // without its line end
        std::string End;  // "\n", "\r\n", or "" for a last line without one
        TKind Kind = TKind::Other;
        std::string Name;  // section or key name, blanks removed
    };
    struct TRange {
        std::size_t Header;  // index of the section line
        std::size_t End;  // one past its last line
    };

    static TLine Classify(std::string Text, std::string End);
    std::optional<TRange> FindSection(std::string_view Section) const;
    std::optional<std::size_t> FindKey(const TRange& Range, std::string_view Key) const;
    std::string DefaultLineEnd() const;
    void EndLastLine();
    void InsertLine(std::size_t At, std::string Text);

    std::string fileName_;
    std::string lastError_;
    std::vector<TLine> lines_;
    bool loadFailed_ = false;
};

}  // namespace trabix
