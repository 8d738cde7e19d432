// The relay of one connection: per direction, the ordered stages every piece goes through
// between its read and its write, the bytes released and not yet written, and the lines the
// stages want in the channel's log. A carrier (a peer thread, or a relay pool thread) reads,
// feeds the pipeline, delivers the lines and writes what the pipeline gives it; it wakes the
// pipeline (Pump) when a stage's due time comes. The pipeline moves with its connection
// between carriers, half-written rest and held pieces included.
//
//   TRelayPipeline pipe;
//   pipe.Add(std::make_unique<TCountStage>(...));          // in the order the bytes pass
//   TRelayBytes piece(read);                               // carrier thread from here on
//   std::string_view out = pipe.Feed(direction, piece, RelayNow());
//   deliver(pipe.TakeTexts()); n = write(out); pipe.Wrote(direction, out, n);
//   if (pipe.DueAt() >= 0) { ... at that time: pipe.Pump(RelayNow()); write(pipe.Outgoing(d)) }
//
// Threads: the carrier that holds the connection at the time, only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/relay/RelayStage.h"

// The stage that paces writes (a speed limit): it cuts what is written into chunks with a
// pause after each. It pauses its carrier, so only a carrier that may block (a peer thread)
// uses it; a connection with a speed limit never rides the relay pool.
class TRelayShaper {
public:
    // What the shaper asks of the carrier that writes.
    class TSink {
    public:
        virtual void Write(std::string_view AChunk) = 0;
        // Delivers the lines the stages have for the log now (a pause's start line before
        // the pause).
        virtual void DeliverTexts() = 0;
        virtual void Pause(std::int32_t AMilliseconds) = 0;

    protected:
        ~TSink() = default;
    };
    virtual ~TRelayShaper() = default;
    // Writes ABytes of ADirection through ASink. AStartTick: the engine clock's tick the first
    // chunk's time counts from (taken before the read).
    virtual void Write(TRelayDirection ADirection, std::string_view ABytes,
                       std::uint32_t AStartTick, TSink& ASink) = 0;
};

class TRelayPipeline {
public:
    TRelayPipeline() = default;
    TRelayPipeline(const TRelayPipeline&) = delete;
    TRelayPipeline& operator=(const TRelayPipeline&) = delete;

    // Appends a stage; a piece passes the stages in the order they were added.
    void Add(std::unique_ptr<TRelayStage> AStage);
    // Puts a stage before all others (a stage that decodes what was read).
    void AddFirst(std::unique_ptr<TRelayStage> AStage);
    void SetShaper(std::unique_ptr<TRelayShaper> AShaper) { FShaper = std::move(AShaper); }
    TRelayShaper* Shaper() const { return FShaper.get(); }

    // A piece read from ADirection's source at ANow (empty: the source closed). Returns what
    // is to be written to the direction's destination now, in order: a view of APiece while
    // nothing waits before it, else of the direction's waiting bytes; valid until the next
    // call for the direction.
    std::string_view Feed(TRelayDirection ADirection, TRelayBytes& APiece, TRelayMicros ANow);
    // Moves the held bytes due at ANow on through the later stages to the waiting bytes.
    void Pump(TRelayMicros ANow);
    // Tells the stages that the connection relays from now on; once, by the first carrier.
    void Start(TRelayMicros ANow);
    // Bytes a stage sends to a direction's destination on its own (an answer within a
    // handshake): they wait behind what waits already and pass no further stage. A carrier
    // writes every direction's waiting bytes after each piece it feeds.
    void Emit(TRelayDirection ADirection, std::string_view ABytes) { Append(ADirection, ABytes); }
    // The bytes of a direction released and not yet written.
    std::string_view Outgoing(TRelayDirection ADirection) const;
    // AWritten bytes of AOut (from Feed or Outgoing) reached the destination; the rest waits.
    void Wrote(TRelayDirection ADirection, std::string_view AOut, std::size_t AWritten);
    // Drops what waits for a direction whose destination has gone.
    void DropOutgoing(TRelayDirection ADirection);

    // The earliest time a stage wants to be woken, or -1.
    TRelayMicros DueAt() const;
    TRelayMicros DueAt(TRelayDirection ADirection) const;
    bool WantsRead(TRelayDirection ADirection) const;
    // True while a stage holds bytes, or bytes wait to be written.
    bool Busy() const;
    bool HasOutgoing() const;
    bool StagesBusy() const;
    // True when a stage holds pieces for later (see TRelayStage::HoldsForLater).
    bool HoldsForLater() const;
    // True when a stage says the connection cannot go on (see TRelayStage::Failed).
    bool Failed() const;
    // A direction that a stage ended by a reset, once everything before it is written.
    bool ResetDue(TRelayDirection ADirection) const;

    // Lines for the channel's log, in the order the stages wrote them; the carrier delivers them.
    std::vector<std::string>& Texts() { return FTexts; }
    std::vector<std::string> TakeTexts();
    bool HasTexts() const { return !FTexts.empty(); }

private:
    void PassFrom(std::size_t AFirst, TRelayDirection ADirection, TRelayBytes& APiece,
                  TRelayMicros ANow);
    void Append(TRelayDirection ADirection, std::string_view ABytes);

    std::vector<std::unique_ptr<TRelayStage>> FStages;
    std::unique_ptr<TRelayShaper> FShaper;
    TPerDirection<std::string> FOut;
    TPerDirection<std::size_t> FOutPos{};  // written part of FOut
    TPerDirection<bool> FResetDue{};
    std::vector<std::string> FTexts;
};
