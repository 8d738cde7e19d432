// The relay step of a peer thread: the carrier of a connection whose channel is watched (and of
// every connection of the plain mapping server). One step writes what waits from an earlier
// carrier, waits in Select for either side or for the pipeline's next due time, feeds what it
// reads through the pipeline, delivers the stages' lines and writes, with blocking writes and
// the pauses of the speed limit on this thread.
//
//   TPeerRelay(thread, client, target, pipeline, record, readList, clock, deliver).Step();
//
// Threads: the peer thread that owns the connection, only. ADeliver hands a line to the log
// (the mapping server's LogSynchronized, which waits until the main thread has taken it).
#pragma once

#include <functional>
#include <string>

#include "engine/common/EngineClock.h"
#include "engine/relay/RelayPipeline.h"
#include "net/IdStack.h"

class TIdPeerThread;
class TIdTCPConnection;
class TConnectionRecord;

class TPeerRelay final : private TRelayShaper::TSink {
public:
    using TDeliver = std::function<void(const std::string&)>;

    // ARecord may be nullptr (a mapping server that keeps no records).
    TPeerRelay(TIdPeerThread& AThread, TIdTCPConnection& AClient, TIdTCPConnection& ATarget,
               TRelayPipeline& APipeline, TConnectionRecord* ARecord, TIdSocketList& AReadList,
               TEngineClock& AClock, TDeliver ADeliver);

    // One relay step. Exceptions of reads and writes go on to the caller after the record has
    // noted which side failed.
    void Step();

    // Resets both sides when Reset Connection asked for it; true when it did.
    static bool ResetIfAsked(TConnectionRecord* ARecord, TIdTCPConnection& AClient,
                             TIdTCPConnection& ATarget);

private:
    void Relay(TRelayDirection ADirection);
    std::string_view ReadCounted(TRelayDirection ADirection);
    void WriteOut(TRelayDirection ADirection, std::string_view AOut, std::uint32_t AStartTick);
    void HearLastWords(TRelayDirection AFromSide);
    void WriteDue();
    void FlushHeld(TRelayDirection ADirection);
    void ResetByCondition(TRelayDirection ADirection);
    // Ends a connection a stage has failed (see TRelayStage::Failed); true when it did.
    bool EndIfFailed();
    TIdTCPConnection& Source(TRelayDirection ADirection) const;
    TIdTCPConnection& Destination(TRelayDirection ADirection) const;

    // The shaper's sink: writes and pauses on this thread.
    void Write(std::string_view AChunk) override;
    void DeliverTexts() override;
    void Pause(std::int32_t AMilliseconds) override;

    TIdPeerThread& FThread;
    TIdTCPConnection& FClient;
    TIdTCPConnection& FTarget;
    TRelayPipeline& FPipeline;
    TConnectionRecord* FRecord;
    TIdSocketList& FReadList;
    TEngineClock& FClock;
    TDeliver FDeliver;
    TIdTCPConnection* FWriting = nullptr;  // the shaper's destination
};
