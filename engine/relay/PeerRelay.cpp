#include "engine/relay/PeerRelay.h"

#include <algorithm>

#include "engine/connections/ConnectionRecord.h"
#include "engine/texts/DumpFormats.h"
#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdStack.h"
#include "net/IdTCPConnection.h"

namespace {

constexpr TRelayDirection kClientToServer = TRelayDirection::ClientToServer;
constexpr TRelayDirection kServerToClient = TRelayDirection::ServerToClient;
// A step with no side to read (both stalled or full) waits this long for a stop at a time.
constexpr int kIdleSliceMs = 1000;
// How long a reset waits for the receiver to acknowledge the bytes before it (milliseconds),
// and the longest gap between two looks at what is still unacknowledged.
constexpr int kAcknowledgeWaitMs = 60000;
constexpr int kAcknowledgeLookMaxMs = 64;

bool IsOpen(TIdTCPConnection& AConnection)
{
    return AConnection.Binding()->HandleAllocated();
}

// Whole milliseconds until ADue, rounded up: a pause of this long never ends before it.
int MillisecondsUntil(TRelayMicros ADue, TRelayMicros ANow)
{
    return static_cast<int>((std::max<TRelayMicros>(0, ADue - ANow) + 999) / 1000);
}

}  // namespace

TPeerRelay::TPeerRelay(TIdPeerThread& AThread, TIdTCPConnection& AClient, TIdTCPConnection& ATarget,
                       TRelayPipeline& APipeline, TConnectionRecord* ARecord,
                       TIdSocketList& AReadList, TEngineClock& AClock, TDeliver ADeliver)
    : FThread(AThread),
      FClient(AClient),
      FTarget(ATarget),
      FPipeline(APipeline),
      FRecord(ARecord),
      FReadList(AReadList),
      FClock(AClock),
      FDeliver(std::move(ADeliver))
{}

bool TPeerRelay::ResetIfAsked(TConnectionRecord* ARecord, TIdTCPConnection& AClient,
                              TIdTCPConnection& ATarget)
{
    if (!ARecord || ARecord->EndRequested() != TEndRequest::Reset)
        return false;
    ATarget.DisconnectWithReset();
    AClient.DisconnectWithReset();
    return true;
}

TIdTCPConnection& TPeerRelay::Source(TRelayDirection ADirection) const
{
    return ADirection == kClientToServer ? FClient : FTarget;
}

TIdTCPConnection& TPeerRelay::Destination(TRelayDirection ADirection) const
{
    return ADirection == kClientToServer ? FTarget : FClient;
}

void TPeerRelay::Step()
{
    if (ResetIfAsked(FRecord, FClient, FTarget) || EndIfFailed())
        return;
    // The rest of a piece another carrier was writing when the connection came here.
    for (const TRelayDirection direction : kBothDirections)
        if (const std::string_view rest = FPipeline.Outgoing(direction); !rest.empty())
            WriteOut(direction, rest, FClock.TickCount());
    const bool holding = FPipeline.HoldsForLater();
    const int clientHandle = FClient.Binding()->Handle();
    const int targetHandle = FTarget.Binding()->Handle();
    FReadList.clear();
    if (FPipeline.WantsRead(kClientToServer))
        FReadList.push_back(clientHandle);
    if (FPipeline.WantsRead(kServerToClient))
        FReadList.push_back(targetHandle);
    // Held pieces bound the wait; without them an idle connection sleeps here and costs nothing.
    const TRelayMicros due = FPipeline.DueAt();
    // A held piece's wait ends at its due time to the microsecond, not at the next millisecond.
    if (FReadList.empty()) {
        FThread.Pause(due < 0 ? kIdleSliceMs : MillisecondsUntil(due, RelayNow()));
    } else if (due < 0) {
        if (GStack().Select(FReadList, InfiniteTimeout) < 0)
            return;
    } else if (GStack().SelectMicros(FReadList, std::max<TRelayMicros>(0, due - RelayNow())) < 0) {
        return;
    }
    // A stop ends the held pieces here: nothing more is written.
    if (holding && FThread.Aborted())
        return;
    if (ResetIfAsked(FRecord, FClient, FTarget))
        return;
    if (SocketListContains(FReadList, clientHandle))
        Relay(kClientToServer);
    // Held pieces are not read for a side that has just closed: they could not leave.
    if (SocketListContains(FReadList, targetHandle) &&
        (!holding || (IsOpen(FClient) && IsOpen(FTarget))))
        Relay(kServerToClient);
    if (FPipeline.DueAt() >= 0)
        WriteDue();
    EndIfFailed();
}

bool TPeerRelay::EndIfFailed()
{
    if (!FPipeline.Failed())
        return false;
    // The side that is told why (an alert) gets it; one that has gone meanwhile does not.
    for (const TRelayDirection direction : kBothDirections) {
        const std::string_view out = FPipeline.Outgoing(direction);
        try {
            if (!out.empty() && IsOpen(Destination(direction)))
                Destination(direction).Write(out);
        } catch (const EIdException&) {
        }
        FPipeline.DropOutgoing(direction);
    }
    DeliverTexts();
    FTarget.Disconnect();
    FClient.Disconnect();
    return true;
}

std::string_view TPeerRelay::ReadCounted(TRelayDirection ADirection)
{
    const bool fromClient = ADirection == kClientToServer;
    try {
        const std::string_view bytes = Source(ADirection).ReadAvailableInPlace();
        if (bytes.empty() && FRecord)
            FRecord->NoteSideEnd(fromClient, 0, {});
        return bytes;
    } catch (const EIdSocketError& e) {
        if (FRecord)
            FRecord->NoteSideEnd(fromClient, e.LastError(), ReplaceLineBreaks(e.what(), " - "));
        throw;
    }
}

void TPeerRelay::Relay(TRelayDirection ADirection)
{
    const std::uint32_t start = FClock.TickCount();
    TRelayBytes piece(ReadCounted(ADirection));
    const bool ended = piece.Empty();
    const std::string_view out = FPipeline.Feed(ADirection, piece, RelayNow());
    DeliverTexts();
    if (!out.empty())
        WriteOut(ADirection, out, start);
    // What a stage answered on its own towards the source.
    const TRelayDirection back = ADirection == kClientToServer ? kServerToClient : kClientToServer;
    if (const std::string_view answer = FPipeline.Outgoing(back); !answer.empty())
        WriteOut(back, answer, FClock.TickCount());
    // The source has ended: what it sent before still arrives, each piece at its time, before
    // the relay ends the mapping.
    if (ended && FPipeline.HoldsForLater())
        FlushHeld(ADirection);
}

void TPeerRelay::WriteOut(TRelayDirection ADirection, std::string_view AOut,
                          std::uint32_t AStartTick)
{
    TIdTCPConnection& destination = Destination(ADirection);
    try {
        if (TRelayShaper* shaper = FPipeline.Shaper()) {
            FWriting = &destination;
            shaper->Write(ADirection, AOut, AStartTick, *this);
        } else {
            destination.Write(AOut);
        }
    } catch (const EIdSocketError&) {
        HearLastWords(ADirection == kClientToServer ? kServerToClient : kClientToServer);
        throw;
    }
    FPipeline.Wrote(ADirection, AOut, AOut.size());
}

// A side that fails a write by resetting may have said why just before (a TLS alert, sent
// as it closed with our bytes unread): its stages read that first, so that the reason is told.
// Every step reads a side's buffer empty, so what is left waits in the socket.
void TPeerRelay::HearLastWords(TRelayDirection AFromSide)
{
    TIdTCPConnection& side = Source(AFromSide);
    if (!IsOpen(side))
        return;
    char words[16 * 1024];
    const int n = GStack().RecvIfReady(side.Binding()->Handle(), words, sizeof words);
    if (n <= 0)
        return;
    TRelayBytes piece(std::string_view(words, static_cast<std::size_t>(n)));
    FPipeline.Feed(AFromSide, piece, RelayNow());
    DeliverTexts();
}

void TPeerRelay::WriteDue()
{
    FPipeline.Pump(RelayNow());
    DeliverTexts();
    for (const TRelayDirection direction : kBothDirections) {
        const std::string_view out = FPipeline.Outgoing(direction);
        if (!out.empty()) {
            if (!IsOpen(Destination(direction)) || FThread.Aborted())
                FPipeline.DropOutgoing(direction);
            else
                WriteOut(direction, out, FClock.TickCount());
        }
        if (FPipeline.ResetDue(direction)) {
            ResetByCondition(direction);
            return;
        }
    }
}

void TPeerRelay::FlushHeld(TRelayDirection ADirection)
{
    while (IsOpen(Destination(ADirection))) {
        const TRelayMicros due = FPipeline.DueAt(ADirection);
        if (due < 0)
            return;
        const TRelayMicros now = RelayNow();
        if (due > now && !FThread.Pause(MillisecondsUntil(due, now)))
            return;  // stopped meanwhile
        WriteDue();
    }
}

void TPeerRelay::ResetByCondition(TRelayDirection ADirection)
{
    TIdTCPConnection& destination = Destination(ADirection);
    // A reset drops whatever the receiver has not acknowledged: wait for that first, so that
    // it gets exactly the budget. Looks come quickly at first (an acknowledgement on loopback
    // takes microseconds) and further apart while a slow receiver drains; a stop ends the wait.
    int waited = 0;
    for (int look = 1; waited < kAcknowledgeWaitMs;
         look = std::min(look * 2, kAcknowledgeLookMaxMs)) {
        if (destination.Binding()->UnacknowledgedBytes() <= 0 || !FThread.Pause(look))
            break;
        waited += look;
    }
    destination.DisconnectWithReset();
    Source(ADirection).DisconnectWithReset();
}

void TPeerRelay::Write(std::string_view AChunk)
{
    FWriting->Write(AChunk);
}

void TPeerRelay::DeliverTexts()
{
    if (!FPipeline.HasTexts())
        return;
    for (const std::string& text : FPipeline.TakeTexts())
        FDeliver(text);
}

void TPeerRelay::Pause(std::int32_t AMilliseconds)
{
    FClock.Sleep(AMilliseconds, &FThread);
}
