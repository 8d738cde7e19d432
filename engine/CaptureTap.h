// The capture stage of the relay step: keeps what a connection reads in its record's ring
// (switch Memory) and writes it as a TCP conversation to the channel's capture file (switch
// File). A connection whose conversation has begun in a file keeps writing there until it
// ends, so that each conversation in a file is whole; switching File on during a connection
// begins its conversation (with a handshake) at the next piece.
//
// Threads: the switches are live settings (the window writes, any thread reads). Wanted,
// Read and End run on the connection's carrying thread.
#pragma once

#include <string_view>

#include "engine/CaptureFile.h"
#include "engine/ConnectionRegistry.h"
#include "engine/LiveSetting.h"

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
        return Memory.Get() || File.Get() || ARecord.FileCapture.Conversation;
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
