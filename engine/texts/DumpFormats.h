// Dump-formatting functions of the mapping engine: the texts that the relay step writes into
// the log for each read, plus the time-of-day stamp and line-break replacement that every log
// line uses. All are free functions over byte strings (std::string holding arbitrary bytes,
// NUL and high bytes included); they keep no state and are thread safe.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "engine/common/RelayDirection.h"

// A text byte: tab, line feed, carriage return or 32..127 (127 counts as text).
bool IsTextByte(unsigned char b);
// Showable in the character column of a hex dump: 32..127 only.
bool IsShowableByte(unsigned char b);

// 16 bytes per line; each line is exactly 65 characters (48 hex, one blank, 16 characters)
// followed by CR LF. The last line is padded; an empty input gives one line of blanks.
std::string HexDump(std::string_view data);

// Text bytes unchanged, every other byte replaced by `replacement` (dropped when empty).
std::string FilterAscii(std::string_view data, std::string_view replacement);

// The input unchanged when it holds only text bytes (empty input included), else its HexDump.
std::string AutoDump(std::string_view data);

// Local time of day as "hh:nn:ss:zzz" with literal colons, e.g. "09:05:03:007".
std::string FormatTime();
std::string FormatTime(std::chrono::system_clock::time_point when);

// Every CR LF pair, scanned left to right without overlap, replaced by `replacement`;
// lone CR or LF bytes stay.
std::string ReplaceLineBreaks(std::string_view text, std::string_view replacement);

// The dump text of one read for a data dump mode (0..9; other values give an empty text).
std::string BuildDumpText(int logDataMode, TRelayDirection direction, std::string_view data);
