// The read of one relayed piece on a peer thread, counted into the connection's record:
//
//   std::string bytes = CountedRead(direction, record, [&] { return source.ReadAvailable(); });
//
// An empty read is the source's orderly close, a socket error raised by the read is its
// reset or an error; either is noted on the record before the result or the exception goes
// on. Peer thread (the record's carrying thread).
#pragma once

#include "engine/ConnectionRecord.h"
#include "engine/DumpFormats.h"
#include "net/IdException.h"

template <class TRead>
auto CountedRead(TRelayDirection ADirection, TConnectionRecord& ARecord, TRead&& ARead)
{
    const bool fromClient = ADirection == TRelayDirection::ClientToServer;
    try {
        auto bytes = ARead();
        ARecord.Count(ADirection, bytes.size());
        if (bytes.empty())
            ARecord.NoteSideEnd(fromClient, 0, {});
        return bytes;
    } catch (const EIdSocketError& e) {
        ARecord.NoteSideEnd(fromClient, e.LastError(), ReplaceLineBreaks(e.what(), " - "));
        throw;
    }
}
