// One IP address of either family, with an IPv6 scope (the interface a link-local address
// belongs to). The socket layer binds, accepts, connects and reports ends with it; the text
// form is what every line, view and setting shows.
//
//   auto a = TIdIPAddress::Parse("[fe80::1%lo]");   // brackets and scope optional
//   if (a) { a->ToText();  // "fe80::1%lo"
//            TIdIPAddress::WithPort(a->ToText(), 80); }  // "[fe80::1%lo]:80"
//
// Text out: IPv4 as a dotted quad, IPv6 in its short form (lowercase, the longest run of zero
// groups as "::", no leading zeros). An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is the IPv4
// address it stands for: FromSockAddr unmaps it, so a client that reaches a dual-stack socket
// over IPv4 is shown, counted and matched as the IPv4 client it is.
//
// A value type; thread safe as any value. Parse may look up an interface name for a scope
// (if_nametoindex), which asks the kernel and never the network.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class TIdIPVersion : std::uint8_t { V4, V6 };

class TIdIPAddress {
public:
    TIdIPAddress() = default;  // 0.0.0.0

    // A dotted quad as the layer has always read one (four integers 0..255, see
    // TIdStack::IsDottedQuad) or an IPv6 literal, with or without brackets, with an optional
    // "%scope" (an interface name or number). Nothing for anything else, and for a scope that
    // names no interface (ScopeProblem tells which).
    static std::optional<TIdIPAddress> Parse(std::string_view AText);
    // True for text that has the shape of an IPv6 literal (a colon in it), valid or not: such
    // text is never a host name.
    static bool LooksLikeIPv6(std::string_view AText);
    // For an IPv6 literal whose scope names no interface: a sentence that says so, else empty.
    static std::string ScopeProblem(std::string_view AText);

    static TIdIPAddress AnyV4() { return {}; }
    static TIdIPAddress AnyV6();
    static TIdIPAddress LoopbackV4();
    static TIdIPAddress LoopbackV6();
    static TIdIPAddress FromV4(std::uint32_t AHostOrder);
    static TIdIPAddress FromV6(const std::array<std::uint8_t, 16>& ABytes,
                               std::uint32_t AScope = 0);
    // The address and port of a sockaddr_in or sockaddr_in6 (IPv4-mapped ones unmapped).
    static TIdIPAddress FromSockAddr(const sockaddr* AAddr, int* APort = nullptr);

    TIdIPVersion Version() const { return FVersion; }
    bool IsV6() const { return FVersion == TIdIPVersion::V6; }
    bool IsAny() const;
    // The IPv4 address in host byte order (0 for an IPv6 address).
    std::uint32_t V4() const;
    // 16 bytes in network order: the IPv6 address, or for IPv4 its IPv4-mapped form.
    std::array<std::uint8_t, 16> V6Bytes() const;
    std::uint32_t Scope() const { return FScope; }
    int Family() const;  // AF_INET or AF_INET6

    std::string ToText() const;
    // AIP as it stands with ":port" after it, in brackets when it is IPv6 text.
    static std::string WithPort(const std::string& AIP, int APort);
    // Fills AStorage with the address and port; returns the length to pass to the system.
    socklen_t ToSockAddr(int APort, sockaddr_storage& AStorage) const;

    friend bool operator==(const TIdIPAddress&, const TIdIPAddress&) = default;

private:
    TIdIPVersion FVersion = TIdIPVersion::V4;
    std::array<std::uint8_t, 16> FBytes{};  // IPv4: the first four bytes, network order
    std::uint32_t FScope = 0;
};
