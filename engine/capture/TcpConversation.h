// The frames of one synthetic IPv4 TCP conversation between a client and a target, so that a
// relayed connection reads in a capture file as if it had been taken on the wire between the
// two: handshake, data segments with consistent sequence and acknowledgement numbers (each
// answered by an acknowledgement, so no window ever fills), and an orderly end or a reset.
// Frames are raw IPv4 packets (no link layer) with correct IP and TCP checksums.
//
//   TTcpConversation c(client, target, sink);
//   c.Open(t0);  c.Data(TRelayDirection::ClientToServer, t1, bytes);  c.End(TWireEnd::ClientFin, t2);
//
// Threads: one thread at a time (the connection's carrying thread); the sink decides how
// frames of several conversations meet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/connections/CaptureRing.h"
#include "engine/common/RelayDirection.h"

// One finished frame: its IPv4 and TCP headers, then its payload (which points into the
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

struct TIPv4Endpoint {
    std::uint32_t Address = 0;  // host byte order
    std::uint16_t Port = 0;
};

// "a.b.c.d" to an address; 0 when it is no dotted IPv4 address.
std::uint32_t ParseIPv4(const std::string& AText);

enum class TWireEnd { ClientFin, TargetFin, ClientRst, TargetRst };

class TTcpConversation {
public:
    // The largest payload of one segment: an IPv4 packet holds at most 65535 bytes.
    static constexpr std::size_t MaxSegment = 65535 - 20 - 20;

    TTcpConversation(TIPv4Endpoint AClient, TIPv4Endpoint ATarget, TFrameSink& ASink);

    void Open(TCaptureTime ATime);
    // Segments of at most MaxSegment bytes, each acknowledged by the other side.
    void Data(TRelayDirection ADirection, TCaptureTime ATime, std::string_view ABytes);
    // Ends the conversation once; later calls do nothing.
    void End(TWireEnd AHow, TCaptureTime ATime);
    bool Ended() const { return FEnded; }

private:
    struct TSide {
        TIPv4Endpoint Endpoint;
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
};
