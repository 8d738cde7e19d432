#include "engine/connections/ConnectionRecord.h"

#include "net/IdStack.h"

std::string ConnectionStateText(const TConnectionSnapshot& ASnapshot)
{
    switch (ASnapshot.State) {
        case TConnectionState::Connecting: return "connecting";
        case TConnectionState::Relaying: return "relaying";
        case TConnectionState::Closing: return "closing";
        case TConnectionState::Ended: break;
    }
    switch (ASnapshot.End) {
        case TConnectionEnd::ClientClosed: return "closed by client";
        case TConnectionEnd::TargetClosed: return "closed by target";
        case TConnectionEnd::ClientReset: return "reset by client";
        case TConnectionEnd::TargetReset: return "reset by target";
        case TConnectionEnd::ClosedOnRequest: return "closed on request";
        case TConnectionEnd::ResetOnRequest: return "reset on request";
        case TConnectionEnd::Stopped: return "closed by stop";
        case TConnectionEnd::Error: return "error: " + ASnapshot.ErrorText;
        case TConnectionEnd::None: break;
    }
    return "ended";
}

TConnectionRecord::TConnectionRecord(std::uint64_t AId, int AChannel, TEndpoint AClient,
                                     TCaptureTime AOpened, std::size_t ACaptureLimit,
                                     void* ACarrier)
    : Id(AId),
      Channel(AChannel),
      Carrier(ACarrier),
      FClient(std::move(AClient)),
      FOpened(AOpened),
      FCapture(ACaptureLimit)
{}

void TConnectionRecord::SetTarget(TEndpoint ATarget)
{
    std::lock_guard lock(FLock);
    FTarget = std::move(ATarget);
}

TEndpoint TConnectionRecord::TargetEndpoint() const
{
    std::lock_guard lock(FLock);
    return FTarget;
}

void TConnectionRecord::SetState(TConnectionState AState)
{
    std::lock_guard lock(FLock);
    if (FState != TConnectionState::Ended)
        FState = AState;
}

void TConnectionRecord::NoteEnd(TConnectionEnd AEnd, const std::string& AText)
{
    std::lock_guard lock(FLock);
    if (FEnd != TConnectionEnd::None || FState == TConnectionState::Ended)
        return;
    FEnd = AEnd;
    FErrorText = AText;
    if (FState != TConnectionState::Connecting)
        FState = TConnectionState::Closing;
}

void TConnectionRecord::NoteTls(bool AClientLeg, const std::string& AFacts)
{
    std::lock_guard lock(FLock);
    (AClientLeg ? FTlsClient : FTlsTarget) = AFacts;
}

void TConnectionRecord::NoteSideEnd(bool AClientSide, int AError, const std::string& AText)
{
    if (AError == 0)
        NoteEnd(AClientSide ? TConnectionEnd::ClientClosed : TConnectionEnd::TargetClosed);
    else if (AError == Id_WSAECONNRESET)
        NoteEnd(AClientSide ? TConnectionEnd::ClientReset : TConnectionEnd::TargetReset);
    else
        NoteEnd(TConnectionEnd::Error, AText);
}

bool TConnectionRecord::RequestEnd(TEndRequest ARequest)
{
    {
        std::lock_guard lock(FLock);
        if (FState == TConnectionState::Ended)
            return false;
        FState = TConnectionState::Closing;
    }
    TEndRequest none = TEndRequest::None;
    FEndRequest.compare_exchange_strong(none, ARequest);
    return true;
}

void TConnectionRecord::Finish(TCaptureTime AEnded, bool AStopped)
{
    std::lock_guard lock(FLock);
    if (AStopped)
        FEnd = TConnectionEnd::Stopped;
    // What the user asked for tells the end better than what the sockets saw afterwards.
    switch (FEndRequest.load()) {
        case TEndRequest::Close: FEnd = TConnectionEnd::ClosedOnRequest; break;
        case TEndRequest::Reset: FEnd = TConnectionEnd::ResetOnRequest; break;
        case TEndRequest::None: break;
    }
    FState = TConnectionState::Ended;
    FEnded = AEnded;
}

TConnectionSnapshot TConnectionRecord::Snapshot() const
{
    TConnectionSnapshot s;
    s.Id = Id;
    s.Channel = Channel;
    s.Client = FClient;
    s.Opened = FOpened;
    s.BytesCS = FBytesCS.load(std::memory_order_relaxed);
    s.BytesSC = FBytesSC.load(std::memory_order_relaxed);
    std::lock_guard lock(FLock);
    s.Target = FTarget;
    s.State = FState;
    s.End = FEnd;
    s.ErrorText = FErrorText;
    s.Ended = FEnded;
    s.TlsClient = FTlsClient;
    s.TlsTarget = FTlsTarget;
    return s;
}
