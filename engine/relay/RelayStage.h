// One stage of a connection's relay pipeline, and the bytes that flow between stages.
//
// A stage sees every piece of one or both directions in the order it was read, with the moment
// it was read, and leaves in the piece what it passes on: the same bytes (most stages), other
// bytes (a stage that decodes or encodes), or nothing (a stage that holds the piece for later,
// or that used it up, as a decoder does with a piece that completes nothing yet; the stages
// after it then do not see the piece).
// A stage that holds says when it wants to be woken (DueAt) and hands the piece on in Release;
// it says when it has enough held (WantsRead false) so that the carrier stops reading that side.
// A stage never touches a socket or waits: the carrier that drives the pipeline does both.
//
//   class TUpperCase : public TRelayStage {
//       void Pass(TRelayDirection, TRelayBytes& ABytes, TRelayMicros) override
//       {
//           std::string s(ABytes.View());
//           for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
//           ABytes.Replace(std::move(s));
//       }
//   };
//
// Threads: a stage belongs to its connection's pipeline and is used by the one thread that
// carries the connection at the time (a peer thread or a relay pool thread).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "engine/common/RelayDirection.h"

// Microseconds of the monotonic clock (steady_clock): when a piece was read or is due.
using TRelayMicros = std::int64_t;

TRelayMicros RelayNow();

// A piece on its way through the stages: a view of the reader's buffer while every stage
// passes it on unchanged (no copy), or bytes of its own once a stage replaced or kept them.
class TRelayBytes {
public:
    TRelayBytes() = default;
    explicit TRelayBytes(std::string_view AView) : FView(AView) {}
    TRelayBytes(const TRelayBytes&) = delete;
    TRelayBytes& operator=(const TRelayBytes&) = delete;

    std::string_view View() const { return FView; }
    bool Empty() const { return FView.empty(); }
    std::size_t Size() const { return FView.size(); }

    // The stage passes other bytes on instead.
    void Replace(std::string ABytes)
    {
        FOwned = std::move(ABytes);
        FView = FOwned;
    }
    // The stage keeps the bytes: they are moved out (copied once when still a view) and nothing
    // is passed on.
    std::string Take()
    {
        std::string bytes = FView.data() == FOwned.data() ? std::move(FOwned) : std::string(FView);
        Clear();
        return bytes;
    }
    void Clear()
    {
        FView = {};
        FOwned.clear();
    }

private:
    std::string_view FView;
    std::string FOwned;
};

// How a direction ends after the bytes a stage released last: nothing more (a stall), or a
// reset of both sides once the receiver has acknowledged what was written.
enum class TDirectionEnd : std::uint8_t { None, Stall, Reset };

class TRelayStage {
public:
    virtual ~TRelayStage() = default;

    // A piece that reached the stage at ANow: read from the direction's source (an empty piece
    // is the source's orderly close), or passed on by the stage before.
    virtual void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros ANow) = 0;
    // The connection is set up and relays from now on (a stage that speaks first, such as a
    // handshake's opening, emits its bytes here; see TRelayPipeline::Emit).
    virtual void Start(TRelayMicros) {}
    // Bytes held by the stage that are due at ANow, into AOut (left empty when none are).
    // AEnd: how the direction ends after them, when a budget ends it.
    virtual void Release(TRelayDirection, TRelayMicros, TRelayBytes&, TDirectionEnd&) {}
    // When the stage wants the direction woken for bytes it holds, or -1.
    virtual TRelayMicros DueAt(TRelayDirection) const { return -1; }
    // False while the stage holds as much as it will take: the source is not read meanwhile.
    virtual bool WantsRead(TRelayDirection) const { return true; }
    // True while bytes are held (or a direction is stalled): the connection may not leave the
    // carrier that watches the time for it.
    virtual bool Busy() const { return false; }
    // True when the stage's bytes must not leave through a closed destination silently: the
    // plain step writes to a closed side and fails; a held piece for a side that has closed is
    // dropped instead.
    virtual bool HoldsForLater() const { return false; }
    // True once the connection cannot go on (a failed TLS handshake): the carrier writes what
    // waits for each side (an alert) and ends the connection.
    virtual bool Failed() const { return false; }
};
