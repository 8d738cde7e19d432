#include "net/IdIPAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "net/IdStack.h"

namespace {

constexpr std::array<std::uint8_t, 12> MappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

std::string_view WithoutBrackets(std::string_view AText)
{
    if (AText.size() >= 2 && AText.front() == '[' && AText.back() == ']')
        return AText.substr(1, AText.size() - 2);
    return AText;
}

bool AllDigits(std::string_view AText)
{
    if (AText.empty() || AText.size() > 10)
        return false;
    for (char c : AText)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The interface index a scope names: a number as it stands, a name through the kernel.
std::optional<std::uint32_t> ScopeIndex(std::string_view AScope)
{
    if (AllDigits(AScope)) {
        const unsigned long value = std::stoul(std::string(AScope));
        if (value > 0xFFFFFFFFul)
            return std::nullopt;
        return static_cast<std::uint32_t>(value);
    }
    if (AScope.empty() || AScope.size() >= IF_NAMESIZE)
        return std::nullopt;
    const unsigned index = if_nametoindex(std::string(AScope).c_str());
    if (index == 0)
        return std::nullopt;
    return index;
}

std::string ScopeText(std::uint32_t AScope)
{
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(AScope, name))
        return name;
    return std::to_string(AScope);
}

// The eight groups in short form: the longest run of two or more zero groups (the first of
// equal runs) becomes "::", the rest lowercase hex without leading zeros.
std::string ShortForm(const std::array<std::uint8_t, 16>& ABytes)
{
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < 8; ++i)
        groups[i] = static_cast<unsigned>(ABytes[2 * i] << 8 | ABytes[2 * i + 1]);
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[static_cast<std::size_t>(j)] == 0)
            ++j;
        if (j - i > bestLength && j - i >= 2) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        char group[8];
        std::snprintf(group, sizeof group, "%x", groups[static_cast<std::size_t>(i)]);
        text += group;
    }
    return text;
}

}  // namespace

bool TIdIPAddress::LooksLikeIPv6(std::string_view AText)
{
    return AText.find(':') != std::string_view::npos;
}

std::optional<TIdIPAddress> TIdIPAddress::Parse(std::string_view AText)
{
    const std::string text(AText);
    if (TIdStack::IsDottedQuad(text)) {
        const std::array<std::uint8_t, 4> quad = TIdStack::TextToAddress(text);
        TIdIPAddress address;
        std::memcpy(address.FBytes.data(), quad.data(), quad.size());
        return address;
    }
    const std::string_view inner = WithoutBrackets(AText);
    const std::size_t percent = inner.find('%');
    const std::string literal(inner.substr(0, percent));
    in6_addr parsed{};
    if (!LooksLikeIPv6(literal) || inet_pton(AF_INET6, literal.c_str(), &parsed) != 1)
        return std::nullopt;
    std::uint32_t scope = 0;
    if (percent != std::string_view::npos) {
        const auto index = ScopeIndex(inner.substr(percent + 1));
        if (!index)
            return std::nullopt;
        scope = *index;
    }
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &parsed, bytes.size());
    return FromV6(bytes, scope);
}

std::string TIdIPAddress::ScopeProblem(std::string_view AText)
{
    const std::string_view inner = WithoutBrackets(AText);
    const std::size_t percent = inner.find('%');
    if (percent == std::string_view::npos)
        return {};
    in6_addr parsed{};
    const std::string literal(inner.substr(0, percent));
    if (inet_pton(AF_INET6, literal.c_str(), &parsed) != 1 || ScopeIndex(inner.substr(percent + 1)))
        return {};
    return "No network interface \"" + std::string(inner.substr(percent + 1)) + "\" for " +
        literal + ".";
}

TIdIPAddress TIdIPAddress::AnyV6()
{
    return FromV6({});
}

TIdIPAddress TIdIPAddress::LoopbackV4()
{
    return FromV4(INADDR_LOOPBACK);
}

TIdIPAddress TIdIPAddress::LoopbackV6()
{
    std::array<std::uint8_t, 16> bytes{};
    bytes[15] = 1;
    return FromV6(bytes);
}

TIdIPAddress TIdIPAddress::FromV4(std::uint32_t AHostOrder)
{
    TIdIPAddress address;
    for (std::size_t i = 0; i < 4; ++i)
        address.FBytes[i] = static_cast<std::uint8_t>(AHostOrder >> (24 - 8 * i));
    return address;
}

TIdIPAddress TIdIPAddress::FromV6(const std::array<std::uint8_t, 16>& ABytes, std::uint32_t AScope)
{
    if (std::equal(MappedPrefix.begin(), MappedPrefix.end(), ABytes.begin())) {
        TIdIPAddress unmapped;
        std::copy(ABytes.begin() + 12, ABytes.end(), unmapped.FBytes.begin());
        return unmapped;
    }
    TIdIPAddress address;
    address.FVersion = TIdIPVersion::V6;
    address.FBytes = ABytes;
    address.FScope = AScope;
    return address;
}

TIdIPAddress TIdIPAddress::FromSockAddr(const sockaddr* AAddr, int* APort)
{
    if (AAddr->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, AAddr, sizeof in6);
        if (APort)
            *APort = ntohs(in6.sin6_port);
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
        return FromV6(bytes, in6.sin6_scope_id);
    }
    sockaddr_in in4{};
    std::memcpy(&in4, AAddr, sizeof in4);
    if (APort)
        *APort = ntohs(in4.sin_port);
    return FromV4(ntohl(in4.sin_addr.s_addr));
}

bool TIdIPAddress::IsAny() const
{
    const std::size_t length = IsV6() ? 16 : 4;
    for (std::size_t i = 0; i < length; ++i)
        if (FBytes[i] != 0)
            return false;
    return true;
}

std::uint32_t TIdIPAddress::V4() const
{
    if (IsV6())
        return 0;
    return std::uint32_t{FBytes[0]} << 24 | std::uint32_t{FBytes[1]} << 16 |
        std::uint32_t{FBytes[2]} << 8 | FBytes[3];
}

std::array<std::uint8_t, 16> TIdIPAddress::V6Bytes() const
{
    if (IsV6())
        return FBytes;
    std::array<std::uint8_t, 16> mapped{};
    std::copy(MappedPrefix.begin(), MappedPrefix.end(), mapped.begin());
    std::copy(FBytes.begin(), FBytes.begin() + 4, mapped.begin() + 12);
    return mapped;
}

int TIdIPAddress::Family() const
{
    return IsV6() ? AF_INET6 : AF_INET;
}

std::string TIdIPAddress::ToText() const
{
    if (!IsV6())
        return TIdStack::AddressToText({FBytes[0], FBytes[1], FBytes[2], FBytes[3]});
    std::string text = ShortForm(FBytes);
    if (FScope != 0)
        text += "%" + ScopeText(FScope);
    return text;
}

std::string TIdIPAddress::WithPort(const std::string& AIP, int APort)
{
    if (LooksLikeIPv6(AIP) && AIP.front() != '[')
        return "[" + AIP + "]:" + std::to_string(APort);
    return AIP + ":" + std::to_string(APort);
}

socklen_t TIdIPAddress::ToSockAddr(int APort, sockaddr_storage& AStorage) const
{
    AStorage = {};
    if (IsV6()) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(APort));
        std::memcpy(&in6.sin6_addr, FBytes.data(), 16);
        in6.sin6_scope_id = FScope;
        std::memcpy(&AStorage, &in6, sizeof in6);
        return sizeof in6;
    }
    sockaddr_in in4{};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(static_cast<std::uint16_t>(APort));
    std::memcpy(&in4.sin_addr, FBytes.data(), 4);
    std::memcpy(&AStorage, &in4, sizeof in4);
    return sizeof in4;
}
