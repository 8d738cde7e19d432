// HTTP/1.x header extraction for the dump modes 6 to 9. Each function looks at one read on its
// own: no state between reads, nothing buffered. Thread safe.
//
// The header text is every byte before the first CR LF CR LF plus that marker's first CR LF,
// so it ends with the line break of the last header line and never with an empty line.
#pragma once

#include <string>
#include <string_view>

// Header block of a request read from the client: the read must start with one of the methods
// GET, HEAD, POST, PUT, OPTIONS, TRACE followed by a blank, hold its first CR LF no earlier than
// an "HTTP/1." tag (a read without the tag passes) and hold CR LF CR LF after that tag.
// Returns the header text, empty when none was found; `found` (optional) tells which.
std::string ExtractRequestHeader(std::string_view read, bool* found = nullptr);

// Header block of a response read from the target: the first word must be exactly
// "HTTP/1.0" or "HTTP/1.1" and the read must hold CR LF CR LF.
std::string ExtractResponseHeader(std::string_view read, bool* found = nullptr);
