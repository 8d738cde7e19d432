// What the program knows about one relayed connection: who talks to whom, how far it got and
// how it ended, when, and how many bytes went each way; with its in-memory capture and, while
// a capture file takes its bytes, the conversation written there.
//
// A TConnectionRegistry makes records (Open) and ends them (Close); the thread that carries
// the connection counts into it and notes its state; the window reads it through Snapshot.
//
// State diagram (an end request or a side's end moves to Closing; Close always ends):
//
//   Connecting --connected--> Relaying --a side ends / end requested--> Closing
//        \                        \                                       |
//         +------------------------+------------- Close ------------> Ended
//
// Threads: Count, SetTarget, SetState, NoteEnd and NoteTls are called by the carrying thread; Count
// is a relaxed atomic add. RequestEnd, Snapshot and Capture() are thread safe. FileCapture is
// used by the carrying thread only. The record's lock is a leaf lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/connections/CaptureRing.h"
#include "engine/common/RelayDirection.h"
#include "net/IdIPAddress.h"


// One end of a connection: IP as the socket layer writes it (a dotted quad or IPv6 short form).
struct TEndpoint {
    std::string IP;
    int Port = 0;
    // "a.b.c.d:port" or "[IPv6]:port".
    std::string Text() const { return TIdIPAddress::WithPort(IP, Port); }
};

enum class TConnectionState : std::uint8_t { Connecting, Relaying, Closing, Ended };

// How a connection ended; the first cause noted wins, except that an end the user asked for
// (Close Connection, Reset Connection) or a stop of the channel is told as such.
enum class TConnectionEnd : std::uint8_t {
    None,
    ClientClosed,
    TargetClosed,
    ClientReset,
    TargetReset,
    ClosedOnRequest,
    ResetOnRequest,
    Stopped,
    Error,
};

enum class TEndRequest : std::uint8_t { None, Close, Reset };

struct TConnectionSnapshot {
    std::uint64_t Id = 0;
    int Channel = 0;
    TEndpoint Client;
    TEndpoint Target;
    TConnectionState State = TConnectionState::Connecting;
    TConnectionEnd End = TConnectionEnd::None;
    std::string ErrorText;
    TCaptureTime Opened;
    std::optional<TCaptureTime> Ended;
    std::uint64_t BytesCS = 0;
    std::uint64_t BytesSC = 0;
    // What each TLS leg negotiated ("TLSv1.3 TLS_AES_128_GCM_SHA256 ALPN h2 SNI a.test"), or
    // how it relays without decrypting; empty for a leg without TLS.
    std::string TlsClient;
    std::string TlsTarget;
};

// "connecting", "relaying", "closing", "closed by client", ..., "error: <text>".
std::string ConnectionStateText(const TConnectionSnapshot& ASnapshot);

// What a feature keeps in a connection's record beside the record's own fields; the feature
// that attaches it defines it (the capture file's conversation, see TCaptureTap).
class TRecordPart {
public:
    virtual ~TRecordPart() = default;
};

class TConnectionRecord {
public:
    TConnectionRecord(std::uint64_t AId, int AChannel, TEndpoint AClient, TCaptureTime AOpened,
                      std::size_t ACaptureLimit, void* ACarrier);

    const std::uint64_t Id;
    const int Channel;
    // Who carries the connection (the peer thread; nullptr while the relay pool does); used
    // to find it for Close/Reset. Changed by the carrying thread when the connection moves.
    std::atomic<void*> Carrier;

    void Count(TRelayDirection ADirection, std::size_t ABytes)
    {
        (ADirection == TRelayDirection::ClientToServer ? FBytesCS : FBytesSC)
            .fetch_add(ABytes, std::memory_order_relaxed);
    }
    void SetTarget(TEndpoint ATarget);
    void SetState(TConnectionState AState);
    void NoteEnd(TConnectionEnd AEnd, const std::string& AText = {});
    // What the TLS leg towards the client (AClientLeg) or the target negotiated.
    void NoteTls(bool AClientLeg, const std::string& AFacts);
    // Notes how one side ended the connection: AError 0 is its orderly close, 10054 its
    // reset, any other number an error told by AText.
    void NoteSideEnd(bool AClientSide, int AError, const std::string& AText);
    // Marks the end Close or Reset asked for; false when the record had ended already.
    bool RequestEnd(TEndRequest ARequest);
    TEndRequest EndRequested() const { return FEndRequest.load(); }
    // Ended state and time; AStopped when the channel's stop ended it. The registry's Close
    // calls it.
    void Finish(TCaptureTime AEnded, bool AStopped);

    TConnectionSnapshot Snapshot() const;
    const TEndpoint& ClientEndpoint() const { return FClient; }
    TEndpoint TargetEndpoint() const;

    TCaptureRing& Capture() { return FCapture; }
    // The capture file's side of the connection; carrying thread only.
    std::unique_ptr<TRecordPart> FileCapture;

private:
    const TEndpoint FClient;
    const TCaptureTime FOpened;
    std::atomic<std::uint64_t> FBytesCS{0};
    std::atomic<std::uint64_t> FBytesSC{0};
    std::atomic<TEndRequest> FEndRequest{TEndRequest::None};
    mutable std::mutex FLock;  // guards the fields below
    TEndpoint FTarget;
    TConnectionState FState = TConnectionState::Connecting;
    TConnectionEnd FEnd = TConnectionEnd::None;
    std::string FErrorText;
    std::optional<TCaptureTime> FEnded;
    std::string FTlsClient;
    std::string FTlsTarget;
    TCaptureRing FCapture;
};
