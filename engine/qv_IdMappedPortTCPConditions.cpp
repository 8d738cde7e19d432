// The relay step of a connection that network conditions hold, reset or stall. It keeps the
// order of the plain step (read, count, dump, capture, then write with the speed limit) and
// puts the hold between the capture and the limit: the dump and the capture see bytes as they
// were read, the limit paces what leaves the hold.
#include "engine/qv_IdMappedPortTCP.h"

#include "engine/CountedRead.h"
#include "net/IdGlobal.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPServerConnection.h"
#include "engine/MappingTexts.h"

#include <chrono>

namespace {

constexpr TRelayDirection kClientToServer = TRelayDirection::ClientToServer;
constexpr TRelayDirection kServerToClient = TRelayDirection::ServerToClient;
// A step with no side to read (both stalled or full) waits this long for a stop at a time.
constexpr int kIdleSliceMs = 1000;
// How long a reset waits for the receiver to acknowledge the bytes before it (milliseconds).
constexpr int kAcknowledgeWaitMs = 60000;

// Holds run on real time even when a test clock paces the speed limit: the step's wait in
// Select is real. Microseconds, so that no piece leaves before its time.
std::int64_t HoldNow()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool IsOpen(TIdTCPConnection& AConnection)
{
    return AConnection.Binding()->HandleAllocated();
}

}  // namespace

void TqvMappedPortTCP::RelayConditioned(TIdPeerThread* AThread, TIdMappedPortTCPData& AData)
{
    TConnectionConditions& conditions = *AData.Conditions;
    TIdTCPServerConnection& client = *AThread->Connection();
    TIdTCPClient& target = *AData.Outbound;
    const int clientHandle = client.Binding()->Handle();
    const int targetHandle = target.Binding()->Handle();
    AData.ReadList.clear();
    if (conditions.WantsRead(kClientToServer))
        AData.ReadList.push_back(clientHandle);
    if (conditions.WantsRead(kServerToClient))
        AData.ReadList.push_back(targetHandle);
    // Held pieces bound the wait: the step wakes when the first of them is due.
    const std::int32_t due = conditions.NextDueIn(HoldNow());
    if (AData.ReadList.empty())
        AThread->Pause(due < 0 ? kIdleSliceMs : due);  // only time or a stop can wake it
    else if (GStack().Select(AData.ReadList, due < 0 ? InfiniteTimeout : due) < 0)
        return;
    // A stop ends the held pieces here: nothing more is written.
    if (AThread->Aborted())
        return;
    if (ResetIfAsked(*AData.Record, client, target))
        return;
    if (SocketListContains(AData.ReadList, clientHandle))
        ReadIntoHold(kClientToServer, client, target, AThread, AData);
    if (IsOpen(client) && IsOpen(target) && SocketListContains(AData.ReadList, targetHandle))
        ReadIntoHold(kServerToClient, target, client, AThread, AData);
    WriteDuePieces(kClientToServer, target, AThread, AData);
    WriteDuePieces(kServerToClient, client, AThread, AData);
}

void TqvMappedPortTCP::ReadIntoHold(TRelayDirection ADirection, TIdTCPConnection& ASource,
                                    TIdTCPConnection& ADestination, TIdPeerThread* AThread,
                                    TIdMappedPortTCPData& AData)
{
    std::string bytes =
        CountedRead(ADirection, *AData.Record, [&] { return ASource.ReadAvailable(); });
    if (bytes.empty()) {
        // The source has ended (and closed its socket): what it sent before still arrives,
        // each piece at its time, before the relay ends the mapping.
        FlushHeldPieces(ADirection, ADestination, AThread, AData);
        return;
    }
    ReadCounter(ADirection).fetch_add(static_cast<std::int64_t>(bytes.size()));
    LogRead(ADirection, bytes, AThread);
    // The capture shows the bytes as they were read, before the hold.
    if (FTap.Wanted(*AData.Record))
        CaptureRead(*AData.Record, ADirection, bytes, AThread);
    AData.Conditions->Hold(ADirection, std::move(bytes), HoldNow(), FConditions.Latency(ADirection),
                           FConditions.Jitter(ADirection));
}

void TqvMappedPortTCP::WriteDuePieces(TRelayDirection ADirection, TIdTCPConnection& ADestination,
                                      TIdPeerThread* AThread, TIdMappedPortTCPData& AData)
{
    TConnectionConditions& conditions = *AData.Conditions;
    while (IsOpen(ADestination) && conditions.Due(ADirection, HoldNow()) && !AThread->Aborted()) {
        if (!WriteHeldPiece(ADirection, conditions.Take(ADirection), ADestination, AThread, AData))
            return;
    }
}

void TqvMappedPortTCP::FlushHeldPieces(TRelayDirection ADirection, TIdTCPConnection& ADestination,
                                       TIdPeerThread* AThread, TIdMappedPortTCPData& AData)
{
    TConnectionConditions& conditions = *AData.Conditions;
    while (IsOpen(ADestination) && conditions.Holding(ADirection)) {
        const std::int32_t wait = conditions.DueIn(ADirection, HoldNow());
        if (wait > 0 && !AThread->Pause(wait))
            return;  // stopped meanwhile
        if (!WriteHeldPiece(ADirection, conditions.Take(ADirection), ADestination, AThread, AData))
            return;
    }
}

bool TqvMappedPortTCP::WriteHeldPiece(TRelayDirection ADirection, const std::string& APiece,
                                      TIdTCPConnection& ADestination, TIdPeerThread* AThread,
                                      TIdMappedPortTCPData& AData)
{
    TConnectionConditions& conditions = *AData.Conditions;
    const TConnectionConditions::TBudget budget =
        conditions.Budget(ADirection, APiece.size(), FConditions.ResetAfter(ADirection),
                          FConditions.StallAfter(ADirection));
    WriteShaped(ADirection, std::string_view(APiece).substr(0, budget.Allowed), FClock->TickCount(),
                ADestination, AThread);
    conditions.Wrote(ADirection, budget.Allowed);
    switch (budget.Then) {
        case TConnectionConditions::TBudgetEnd::None: return true;
        case TConnectionConditions::TBudgetEnd::Stall:
            conditions.Stall(ADirection);
            LogCondition("stall", ADirection, budget.After, AThread);
            return false;
        case TConnectionConditions::TBudgetEnd::Reset:
            AData.Record->NoteEnd(
                TConnectionEnd::Error,
                ConditionText("reset", budget.After, ADirection == kClientToServer).substr(1));
            LogCondition("reset", ADirection, budget.After, AThread);
            ResetByCondition(ADirection, ADestination, AThread, AData);
            return false;
    }
    return false;
}

void TqvMappedPortTCP::ResetByCondition(TRelayDirection ADirection, TIdTCPConnection& ADestination,
                                        TIdPeerThread* AThread, TIdMappedPortTCPData& AData)
{
    // A reset drops whatever the receiver has not acknowledged: wait for that first, so that
    // it gets exactly the budget (a stop ends the wait).
    for (int waited = 0; waited < kAcknowledgeWaitMs; ++waited) {
        if (ADestination.Binding()->UnacknowledgedBytes() <= 0 || !AThread->Pause(1))
            break;
    }
    TIdTCPConnection& source = ADirection == kClientToServer
        ? static_cast<TIdTCPConnection&>(*AThread->Connection())
        : static_cast<TIdTCPConnection&>(*AData.Outbound);
    ADestination.DisconnectWithReset();
    source.DisconnectWithReset();
}

void TqvMappedPortTCP::LogCondition(const std::string& AWhat, TRelayDirection ADirection,
                                    std::int64_t ABytes, TIdPeerThread* AThread)
{
    if (LogConnInfo.Get())
        LogSynchronized(
            LinePrefix(AThread) + ConditionText(AWhat, ABytes, ADirection == kClientToServer),
            AThread);
}
