// The frames of one synthetic TCP conversation between a client and a target, so that a
// relayed connection reads in a capture file as if it had been taken on the wire between the
// two: handshake, data segments with consistent sequence and acknowledgement numbers (each
// answered by an acknowledgement, so no window ever fills), and an orderly end or a reset.
// Frames are raw IP packets (no link layer) with correct IP and TCP checksums: IPv4 when both
// ends are IPv4, else IPv6, with an IPv4 end in its IPv4-mapped form (::ffff:a.b.c.d), since
// one conversation has one family on the wire.
//
//   TTcpConversation c(client, target, sink);
//   c.Open(t0);  c.Data(TRelayDirection::ClientToServer, t1, bytes);  c.End(TWireEnd::ClientFin, t2);
//
// Threads: one thread at a time (the connection's carrying thread); the sink decides how
// frames of several conversations meet.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/connections/CaptureRing.h"
#include "engine/common/RelayDirection.h"

// One finished frame: its IP and TCP headers, then its payload (which points into the
// caller's bytes).
struct TFrame {
    TCaptureTime Time;
    std::string_view Head;
    std::string_view Payload;
};

// Receives finished frames, a batch at a time (the frames of one call of the conversation),
// and keeps a batch together. Implemented by the capture file.
class TFrameSink {
public:
    virtual ~TFrameSink() = default;
    virtual void Frames(const std::vector<TFrame>& AFrames) = 0;
};

struct TWireEndpoint {
    std::array<std::uint8_t, 16> Address{};  // network order; IPv4 in the first four bytes
    bool V6 = false;
    std::uint16_t Port = 0;
};

// An address as the connection record shows it (a dotted quad or IPv6 text) with its port;
// 0.0.0.0 for text that is neither.
TWireEndpoint ParseWireEndpoint(const std::string& AText, int APort);

enum class TWireEnd { ClientFin, TargetFin, ClientRst, TargetRst };

class TTcpConversation {
public:
    // The largest payload of one segment: an IPv4 packet holds at most 65535 bytes (an IPv6
    // packet's payload as much, without its 40-byte header).
    static constexpr std::size_t MaxSegment = 65535 - 20 - 20;

    TTcpConversation(TWireEndpoint AClient, TWireEndpoint ATarget, TFrameSink& ASink);

    void Open(TCaptureTime ATime);
    // Segments of at most MaxSegment bytes, each acknowledged by the other side.
    void Data(TRelayDirection ADirection, TCaptureTime ATime, std::string_view ABytes);
    // Ends the conversation once; later calls do nothing.
    void End(TWireEnd AHow, TCaptureTime ATime);
    bool Ended() const { return FEnded; }

private:
    struct TSide {
        TWireEndpoint Endpoint;
        std::uint32_t NextSeq = 0;
        std::uint16_t IpId = 0;
    };
    // Adds a frame to the batch; its payload must live until Send.
    void Segment(bool AFromClient, std::uint8_t AFlags, TCaptureTime ATime,
                 std::string_view APayload);
    void Fin(bool AFromClient, TCaptureTime ATime);
    // Hands the batch to the sink.
    void Send();

    TSide FClient;
    TSide FTarget;
    TFrameSink& FSink;
    std::vector<TFrame> FBatch;
    std::string FHeads;  // the batch's headers, one after the other
    bool FEnded = false;
    bool FV6 = false;
    std::size_t FHeadBytes = 40;  // IP and TCP header of every frame
};
