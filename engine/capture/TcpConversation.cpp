#include "engine/capture/TcpConversation.h"

#include "net/IdIPAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

constexpr std::uint8_t FlagFin = 0x01;
constexpr std::uint8_t FlagSyn = 0x02;
constexpr std::uint8_t FlagRst = 0x04;
constexpr std::uint8_t FlagPsh = 0x08;
constexpr std::uint8_t FlagAck = 0x10;
constexpr std::size_t TcpHeaderBytes = 20;
constexpr std::size_t IPv4HeaderBytes = 20;
constexpr std::size_t IPv6HeaderBytes = 40;

void Put16(char* AOut, std::size_t AAt, std::uint32_t AValue)
{
    AOut[AAt] = static_cast<char>((AValue >> 8) & 0xFF);
    AOut[AAt + 1] = static_cast<char>(AValue & 0xFF);
}

void Put32(char* AOut, std::size_t AAt, std::uint32_t AValue)
{
    Put16(AOut, AAt, AValue >> 16);
    Put16(AOut, AAt + 2, AValue & 0xFFFF);
}

// One's complement sum of the bytes as big-endian 16-bit words, folded to 16 bits. Such a sum
// does not depend on the byte order it is taken in (RFC 1071), so it adds native 32-bit words
// and turns the result around at the end: a capture sums every relayed byte.
std::uint64_t Sum16(const char* AData, std::size_t ALength)
{
    if (ALength == 0)
        return 0;
    // Four sums of 32-bit halves of 64-bit words run side by side (no carry is lost: a segment
    // is far too short to fill 64 bits); the rest goes word by word.
    std::uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::size_t i = 0;
    for (; i + 32 <= ALength; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, AData + i, sizeof w);
        s0 += (w[0] & 0xFFFFFFFF) + (w[0] >> 32);
        s1 += (w[1] & 0xFFFFFFFF) + (w[1] >> 32);
        s2 += (w[2] & 0xFFFFFFFF) + (w[2] >> 32);
        s3 += (w[3] & 0xFFFFFFFF) + (w[3] >> 32);
    }
    std::uint64_t sum = s0 + s1 + s2 + s3;
    for (; i + 4 <= ALength; i += 4) {
        std::uint32_t word;
        std::memcpy(&word, AData + i, 4);
        sum += word;
    }
    std::uint32_t tail = 0;  // the last 0 to 3 bytes, padded with zeros
    std::memcpy(&tail, AData + i, ALength - i);
    sum += tail;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return ntohs(static_cast<std::uint16_t>(sum));
}

std::uint16_t Fold(std::uint64_t ASum)
{
    while (ASum >> 16)
        ASum = (ASum & 0xFFFF) + (ASum >> 16);
    return static_cast<std::uint16_t>(~ASum & 0xFFFF);
}

// Initial sequence numbers differ per conversation, as on the wire.
std::uint32_t NextIsn()
{
    static std::atomic<std::uint32_t> seed{0x1000};
    return seed.fetch_add(0x01000193u) * 2654435761u;
}

}  // namespace

TWireEndpoint ParseWireEndpoint(const std::string& AText, int APort)
{
    TWireEndpoint endpoint;
    endpoint.Port = static_cast<std::uint16_t>(APort);
    if (const auto address = TIdIPAddress::Parse(AText)) {
        endpoint.V6 = address->IsV6();
        const auto bytes = address->V6Bytes();
        if (endpoint.V6)
            endpoint.Address = bytes;
        else
            std::copy(bytes.begin() + 12, bytes.end(), endpoint.Address.begin());
    }
    return endpoint;
}

namespace {

// An IPv4 end of a conversation written as IPv6.
TWireEndpoint Mapped(TWireEndpoint AEndpoint)
{
    if (AEndpoint.V6)
        return AEndpoint;
    std::array<std::uint8_t, 16> mapped{};
    mapped[10] = mapped[11] = 0xFF;
    std::copy(AEndpoint.Address.begin(), AEndpoint.Address.begin() + 4, mapped.begin() + 12);
    AEndpoint.Address = mapped;
    AEndpoint.V6 = true;
    return AEndpoint;
}

}  // namespace

TTcpConversation::TTcpConversation(TWireEndpoint AClient, TWireEndpoint ATarget, TFrameSink& ASink)
    : FSink(ASink), FV6(AClient.V6 || ATarget.V6)
{
    FClient.Endpoint = FV6 ? Mapped(AClient) : AClient;
    FTarget.Endpoint = FV6 ? Mapped(ATarget) : ATarget;
    FHeadBytes = (FV6 ? IPv6HeaderBytes : IPv4HeaderBytes) + TcpHeaderBytes;
    FClient.NextSeq = NextIsn();
    FTarget.NextSeq = NextIsn();
}

void TTcpConversation::Open(TCaptureTime ATime)
{
    Segment(true, FlagSyn, ATime, {});
    ++FClient.NextSeq;
    Segment(false, FlagSyn | FlagAck, ATime, {});
    ++FTarget.NextSeq;
    Segment(true, FlagAck, ATime, {});
    Send();
}

void TTcpConversation::Data(TRelayDirection ADirection, TCaptureTime ATime, std::string_view ABytes)
{
    if (FEnded)
        return;
    const bool fromClient = ADirection == TRelayDirection::ClientToServer;
    TSide& from = fromClient ? FClient : FTarget;
    while (!ABytes.empty()) {
        const std::string_view piece = ABytes.substr(0, MaxSegment);
        ABytes.remove_prefix(piece.size());
        const std::uint8_t flags = ABytes.empty() ? FlagPsh | FlagAck : FlagAck;
        Segment(fromClient, flags, ATime, piece);
        from.NextSeq += static_cast<std::uint32_t>(piece.size());
        Segment(!fromClient, FlagAck, ATime, {});
    }
    Send();
}

void TTcpConversation::Fin(bool AFromClient, TCaptureTime ATime)
{
    Segment(AFromClient, FlagFin | FlagAck, ATime, {});
    ++(AFromClient ? FClient : FTarget).NextSeq;
    Segment(!AFromClient, FlagAck, ATime, {});
}

void TTcpConversation::End(TWireEnd AHow, TCaptureTime ATime)
{
    if (FEnded)
        return;
    FEnded = true;
    switch (AHow) {
        case TWireEnd::ClientFin:
            Fin(true, ATime);
            Fin(false, ATime);
            break;
        case TWireEnd::TargetFin:
            Fin(false, ATime);
            Fin(true, ATime);
            break;
        case TWireEnd::ClientRst: Segment(true, FlagRst | FlagAck, ATime, {}); break;
        case TWireEnd::TargetRst: Segment(false, FlagRst | FlagAck, ATime, {}); break;
    }
    Send();
}

void TTcpConversation::Segment(bool AFromClient, std::uint8_t AFlags, TCaptureTime ATime,
                               std::string_view APayload)
{
    TSide& from = AFromClient ? FClient : FTarget;
    const TSide& to = AFromClient ? FTarget : FClient;
    const std::size_t tcpLength = TcpHeaderBytes + APayload.size();
    const std::size_t at = FHeads.size();
    FHeads.resize(at + FHeadBytes, '\0');  // its capacity stays from batch to batch
    char* head = FHeads.data() + at;
    // The checksum covers a pseudo header: addresses, protocol and TCP length.
    std::uint64_t sum = 6 + tcpLength;
    if (FV6) {
        // IPv6 header: no flow label, next header TCP, hop limit 64.
        head[0] = 0x60;
        Put16(head, 4, static_cast<std::uint32_t>(tcpLength));
        head[6] = 6;
        head[7] = 64;
        std::memcpy(head + 8, from.Endpoint.Address.data(), 16);
        std::memcpy(head + 24, to.Endpoint.Address.data(), 16);
        sum += Sum16(head + 8, 32);
        ++from.IpId;
    } else {
        // IPv4 header: no options, don't fragment, TTL 64, protocol TCP.
        head[0] = 0x45;
        Put16(head, 2, static_cast<std::uint32_t>(IPv4HeaderBytes + tcpLength));
        Put16(head, 4, from.IpId++);
        Put16(head, 6, 0x4000);
        head[8] = 64;
        head[9] = 6;
        std::memcpy(head + 12, from.Endpoint.Address.data(), 4);
        std::memcpy(head + 16, to.Endpoint.Address.data(), 4);
        Put16(head, 10, Fold(Sum16(head, IPv4HeaderBytes)));
        sum += Sum16(head + 12, 8);
    }
    // TCP header: no options, a fixed window that the acknowledgements keep from filling.
    char* tcp = head + (FHeadBytes - TcpHeaderBytes);
    Put16(tcp, 0, from.Endpoint.Port);
    Put16(tcp, 2, to.Endpoint.Port);
    Put32(tcp, 4, from.NextSeq);
    Put32(tcp, 8, (AFlags & FlagAck) ? to.NextSeq : 0);
    tcp[12] = 0x50;
    tcp[13] = static_cast<char>(AFlags);
    Put16(tcp, 14, 0xFFFF);
    sum += Sum16(tcp, TcpHeaderBytes) + Sum16(APayload.data(), APayload.size());
    Put16(tcp, 16, Fold(sum));
    // The head's place is fixed by Send, once FHeads no longer grows.
    FBatch.push_back(TFrame{ATime, std::string_view(), APayload});
}

void TTcpConversation::Send()
{
    for (std::size_t i = 0; i < FBatch.size(); ++i)
        FBatch[i].Head = std::string_view(FHeads).substr(i * FHeadBytes, FHeadBytes);
    if (!FBatch.empty())
        FSink.Frames(FBatch);
    FBatch.clear();
    FHeads.clear();
}
