// Which client addresses a channel serves: the AllowFrom setting, a comma-separated list of
// IPv4 and IPv6 addresses and CIDR ranges ("127.0.0.1, 192.168.1.0/24, ::1, fd00::/8"). An
// empty text (or one of blanks only) allows every client. An IPv4 entry matches an IPv4 client
// whichever socket it came through (an IPv4-mapped one is its IPv4 address); an IPv4-mapped
// entry (::ffff:10.0.0.0/104) is the IPv4 entry it stands for.
//
//   TAllowList list;
//   const std::string problem = list.Parse(text);   // empty when the text parsed
//   if (list.Allows(address)) ...                    // address in host byte order
//
// A text that does not parse leaves a list that allows no one: a typing error must close the
// channel, never open it to everybody. Host bits below a prefix are ignored (192.168.1.7/24
// is 192.168.1.0/24).
//
// The IPv4 ranges are kept sorted and merged, so Allows is one binary search: a channel with a
// hundred ranges decides as fast as one with a single address. IPv6 ranges are few in
// practice and are looked through one by one.
//
// Threads: Parse on one thread; Allows is const and safe from any thread on a list that no
// thread parses at the same time (the mapping server replaces whole lists, see
// TConnectionGate).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdIPAddress.h"

class TAllowList {
public:
    // Replaces the list by AText. Returns an empty string when it parsed, else a short
    // description of the first entry that did not, and the list then allows no one.
    std::string Parse(std::string_view AText);
    bool Allows(std::uint32_t AAddress) const;
    bool Allows(const TIdIPAddress& AAddress) const;
    bool AllowsEveryone() const { return FEveryone; }
    // Merged ranges in the list (0 for everyone and for no one).
    std::size_t RangeCount() const { return FRanges.size() + FRanges6.size(); }

    // A dotted quad of four decimal parts 0..255 in host byte order; nothing for anything else
    // (blanks, signs, missing or extra parts).
    static std::optional<std::uint32_t> ParseAddress(std::string_view AText);

private:
    struct TRange {
        std::uint32_t First;
        std::uint32_t Last;
    };
    using TBytes = std::array<std::uint8_t, 16>;
    struct TRange6 {
        TBytes Network;  // host bits cleared
        int Prefix;
    };
    static std::optional<TRange> ParseEntry(std::string_view AEntry);
    // An entry with a colon in it; an IPv4-mapped one comes back as an IPv4 range.
    static std::optional<TRange> ParseMappedEntry(const TIdIPAddress& AAddress, int APrefix);
    bool AddIPv6Entry(std::string_view AEntry);
    void Merge();

    bool FEveryone = true;
    std::vector<TRange> FRanges;
    std::vector<TRange6> FRanges6;
};
