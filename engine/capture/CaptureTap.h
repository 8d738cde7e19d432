// The capture stage of the relay step: keeps what a connection reads in its record's ring
// (switch Memory) and writes it as a TCP conversation to the channel's capture file (switch
// File). A connection whose conversation has begun in a file keeps writing there until it
// ends, so that each conversation in a file is whole; switching File on during a connection
// begins its conversation (with a handshake) at the next piece.
//
// Threads: the switches are live settings (the window writes, any thread reads). Wanted,
// Read and End run on the connection's carrying thread.
#pragma once

#include <memory>
#include <string_view>

#include "engine/capture/CaptureFile.h"
#include "engine/connections/ConnectionRegistry.h"
#include "engine/common/LiveSetting.h"

// The capture file side of a connection, kept in its record; carrying thread only.
struct TFileCapture final : TRecordPart {
    std::shared_ptr<TCaptureFile> File;
    std::unique_ptr<TTcpConversation> Conversation;
    bool Tried = false;  // a conversation was begun (or could not be) for this connection
};

class TCaptureTap {
public:
    // AMemory and AFile are the channel's switches, read afresh at each use.
    TCaptureTap(TConnectionRegistry& ARegistry, TCaptureFiles& AFiles,
                const TLiveSetting<bool>& AMemory, const TLiveSetting<bool>& AFile)
        : Memory(AMemory), File(AFile), FRegistry(ARegistry), FFiles(AFiles)
    {}

    // The bytes of ARecord go through Read now.
    bool Wanted(const TConnectionRecord& ARecord) const
    {
        return Memory.Get() || File.Get() || InFile(ARecord);
    }
    // A conversation of ARecord has begun in a capture file (and must end there whole).
    static bool InFile(const TConnectionRecord& ARecord)
    {
        const auto* fc = static_cast<const TFileCapture*>(ARecord.FileCapture.get());
        return fc && fc->Conversation;
    }
    void Read(TConnectionRecord& ARecord, TRelayDirection ADirection, std::string_view ABytes);
    // Writes the conversation's end as the record tells it; call after the registry's Close.
    void End(TConnectionRecord& ARecord);

    const TLiveSetting<bool>& Memory;
    const TLiveSetting<bool>& File;

private:
    void BeginConversation(TConnectionRecord& ARecord, TCaptureTime ATime);

    TConnectionRegistry& FRegistry;
    TCaptureFiles& FFiles;
};
