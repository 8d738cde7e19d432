#include "engine/access/AllowList.h"

#include <algorithm>
#include <iterator>

namespace {

std::string_view Trimmed(std::string_view AText)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!AText.empty() && blank(AText.front()))
        AText.remove_prefix(1);
    while (!AText.empty() && blank(AText.back()))
        AText.remove_suffix(1);
    return AText;
}

// A decimal number of 1 to 3 digits, at most AMax.
std::optional<std::uint32_t> SmallNumber(std::string_view AText, std::uint32_t AMax)
{
    if (AText.empty() || AText.size() > 3)
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : AText) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > AMax)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint32_t> TAllowList::ParseAddress(std::string_view AText)
{
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = AText.find('.');
        const bool last = part == 3;
        if (last != (dot == std::string_view::npos))
            return std::nullopt;
        const auto value = SmallNumber(AText.substr(0, dot), 255);
        if (!value)
            return std::nullopt;
        address = address << 8 | *value;
        if (!last)
            AText.remove_prefix(dot + 1);
    }
    return address;
}

std::optional<TAllowList::TRange> TAllowList::ParseEntry(std::string_view AEntry)
{
    const std::size_t slash = AEntry.find('/');
    const auto address = ParseAddress(AEntry.substr(0, slash));
    if (!address)
        return std::nullopt;
    std::uint32_t prefix = 32;
    if (slash != std::string_view::npos) {
        const auto bits = SmallNumber(AEntry.substr(slash + 1), 32);
        if (!bits)
            return std::nullopt;
        prefix = *bits;
    }
    // Shifting a 32-bit value by 32 is undefined: /0 gets its mask by hand.
    const std::uint32_t hostMask = prefix == 0 ? ~0u : (1u << (32 - prefix)) - 1;
    return TRange{*address & ~hostMask, (*address & ~hostMask) | hostMask};
}

namespace {

// Clears the bits of AAddress below APrefix (0..128).
std::array<std::uint8_t, 16> Masked(std::array<std::uint8_t, 16> AAddress, int APrefix)
{
    for (int bit = APrefix; bit < 128; ++bit)
        AAddress[static_cast<std::size_t>(bit / 8)] &=
            static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
    return AAddress;
}

}  // namespace

bool TAllowList::AddIPv6Entry(std::string_view AEntry)
{
    const std::size_t slash = AEntry.find('/');
    const auto address = TIdIPAddress::Parse(AEntry.substr(0, slash));
    if (!address || !TIdIPAddress::LooksLikeIPv6(AEntry.substr(0, slash)))
        return false;
    int prefix = 128;
    if (slash != std::string_view::npos) {
        const auto bits = SmallNumber(AEntry.substr(slash + 1), 128);
        if (!bits)
            return false;
        prefix = static_cast<int>(*bits);
    }
    if (!address->IsV6()) {
        // ::ffff:a.b.c.d/n is the IPv4 range a.b.c.d/(n - 96); a shorter prefix reaches
        // beyond the IPv4-mapped block into addresses no client has.
        if (prefix < 96)
            return false;
        const auto range = ParseEntry(address->ToText() + "/" + std::to_string(prefix - 96));
        FRanges.push_back(*range);
        return true;
    }
    FRanges6.push_back(TRange6{Masked(address->V6Bytes(), prefix), prefix});
    return true;
}

std::string TAllowList::Parse(std::string_view AText)
{
    FRanges.clear();
    FRanges6.clear();
    FEveryone = Trimmed(AText).empty();
    if (FEveryone)
        return {};
    for (;;) {
        const std::size_t comma = AText.find(',');
        const std::string_view entry = Trimmed(AText.substr(0, comma));
        const bool v6 = TIdIPAddress::LooksLikeIPv6(entry);
        const auto range = v6 ? std::nullopt : ParseEntry(entry);
        if (v6 ? !AddIPv6Entry(entry) : !range) {
            FRanges.clear();
            FRanges6.clear();
            if (entry.empty())
                return "empty entry in the list";
            return "\"" + std::string(entry) + "\" is not an " + (v6 ? "IPv6" : "IPv4") +
                " address or range";
        }
        if (range)
            FRanges.push_back(*range);
        if (comma == std::string_view::npos)
            break;
        AText.remove_prefix(comma + 1);
    }
    Merge();
    return {};
}

void TAllowList::Merge()
{
    std::sort(FRanges.begin(), FRanges.end(),
              [](const TRange& a, const TRange& b) { return a.First < b.First; });
    std::vector<TRange> merged;
    for (const TRange& r : FRanges) {
        // Adjacent ranges join too (10.0.0.0/25 and 10.0.0.128/25); a range reaching the top
        // address swallows every later one, and its Last + 1 would wrap.
        TRange* back = merged.empty() ? nullptr : &merged.back();
        if (back && (back->Last == ~0u || r.First <= back->Last + 1))
            back->Last = std::max(back->Last, r.Last);
        else
            merged.push_back(r);
    }
    FRanges = std::move(merged);
}

bool TAllowList::Allows(std::uint32_t AAddress) const
{
    if (FEveryone)
        return true;
    // The last range that starts at or below the address is the only one that can hold it.
    auto after = std::upper_bound(FRanges.begin(), FRanges.end(), AAddress,
                                  [](std::uint32_t a, const TRange& r) { return a < r.First; });
    return after != FRanges.begin() && AAddress <= std::prev(after)->Last;
}

bool TAllowList::Allows(const TIdIPAddress& AAddress) const
{
    if (FEveryone)
        return true;
    if (!AAddress.IsV6())
        return Allows(AAddress.V4());
    const TBytes bytes = AAddress.V6Bytes();
    for (const TRange6& r : FRanges6)
        if (Masked(bytes, r.Prefix) == r.Network)
            return true;
    return false;
}
