#include "engine/capture/CaptureTap.h"

namespace {

TWireEndpoint WireEndpoint(const TEndpoint& AEndpoint)
{
    return ParseWireEndpoint(AEndpoint.IP, AEndpoint.Port);
}

TWireEnd WireEnd(TConnectionEnd AEnd)
{
    switch (AEnd) {
        case TConnectionEnd::TargetClosed: return TWireEnd::TargetFin;
        case TConnectionEnd::ClientReset: return TWireEnd::ClientRst;
        case TConnectionEnd::TargetReset:
        case TConnectionEnd::ResetOnRequest:
        case TConnectionEnd::Error: return TWireEnd::TargetRst;
        default: return TWireEnd::ClientFin;
    }
}

}  // namespace

void TCaptureTap::BeginConversation(TConnectionRecord& ARecord, TCaptureTime ATime)
{
    if (!ARecord.FileCapture)
        ARecord.FileCapture = std::make_unique<TFileCapture>();
    TFileCapture& fc = static_cast<TFileCapture&>(*ARecord.FileCapture);
    if (fc.Tried)
        return;  // one attempt per connection: a failing folder is not retried per read
    fc.Tried = true;
    fc.File = FFiles.Current();
    if (!fc.File)
        return;
    fc.Conversation = std::make_unique<TTcpConversation>(
        WireEndpoint(ARecord.ClientEndpoint()), WireEndpoint(ARecord.TargetEndpoint()), *fc.File);
    fc.Conversation->Open(ATime);
}

void TCaptureTap::Read(TConnectionRecord& ARecord, TRelayDirection ADirection,
                       std::string_view ABytes)
{
    if (ABytes.empty())
        return;
    const TCaptureTime now = std::chrono::system_clock::now();
    if (Memory.Get())
        FRegistry.AccountCapture(ARecord.Capture().Add(ADirection, now, ABytes));
    if (!InFile(ARecord) && File.Get())
        BeginConversation(ARecord, now);
    if (InFile(ARecord))
        static_cast<TFileCapture&>(*ARecord.FileCapture)
            .Conversation->Data(ADirection, now, ABytes);
}

void TCaptureTap::End(TConnectionRecord& ARecord)
{
    if (!InFile(ARecord))
        return;
    TFileCapture& fc = static_cast<TFileCapture&>(*ARecord.FileCapture);
    fc.Conversation->End(WireEnd(ARecord.Snapshot().End), std::chrono::system_clock::now());
    std::string error;
    if (!fc.File->Flush(error))
        FFiles.NoteFailure(error);
    fc.Conversation.reset();
    fc.File.reset();
}
