// The bytes of one connection as they crossed, kept in memory for the stream view: pieces in
// the order they were read, each with its read time and direction. Bounded per direction;
// when a direction is over its limit its oldest bytes go first and are counted as dropped.
//
//   TCaptureRing ring(1 << 20);
//   ring.Add(TRelayDirection::ClientToServer, now, bytes);   // owning thread
//   TCaptureCopy c = ring.CopyFrom(0);                        // any thread
//
// Threads: Add runs on the thread that relays the connection; CopyFrom, DropOldest and the
// counters are thread safe. The ring's lock is a leaf: nothing else is locked under it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/RelayDirection.h"

using TCaptureTime = std::chrono::system_clock::time_point;

struct TCapturePiece {
    std::uint64_t Index = 0;  // order of reading over both directions, from 0
    TRelayDirection Direction = TRelayDirection::ClientToServer;
    TCaptureTime Time;
    std::string Bytes;
};

struct TCaptureCopy {
    std::vector<TCapturePiece> Pieces;  // Index >= the asked index, in order
    std::uint64_t NextIndex = 0;  // ask from here next time
    std::uint64_t DroppedCS = 0;  // bytes dropped so far, per direction
    std::uint64_t DroppedSC = 0;
};

// The bytes of APieces as a raw file keeps them: those read in ADirection, or with nullopt
// every piece in the order it was read.
template <class TPieces>
std::string JoinedBytes(const TPieces& APieces, std::optional<TRelayDirection> ADirection)
{
    std::string out;
    for (const TCapturePiece& piece : APieces)
        if (!ADirection || piece.Direction == *ADirection)
            out += piece.Bytes;
    return out;
}

class TCaptureRing {
public:
    explicit TCaptureRing(std::size_t ALimitPerDirection) : FLimit(ALimitPerDirection) {}

    // Keeps ABytes (a piece bigger than the limit keeps its tail). Returns the change of the
    // bytes held: what was added minus what was dropped for it.
    std::int64_t Add(TRelayDirection ADirection, TCaptureTime ATime, std::string_view ABytes);
    // The pieces from AIndex on (older ones may have been dropped meanwhile).
    TCaptureCopy CopyFrom(std::uint64_t AIndex) const;
    // Drops up to ABytes of the oldest bytes, whole pieces first; returns how many it dropped.
    std::size_t DropOldest(std::size_t ABytes);
    // Drops everything (counted as dropped); returns how many bytes that was.
    std::size_t Clear();
    std::size_t Held() const;
    // The most bytes one direction keeps.
    std::size_t Limit() const { return FLimit; }

private:
    struct TSide {
        std::deque<TCapturePiece> Pieces;
        std::size_t Held = 0;
        std::uint64_t Dropped = 0;
    };
    TSide& Side(TRelayDirection ADirection)
    {
        return ADirection == TRelayDirection::ClientToServer ? FCS : FSC;
    }
    static std::size_t DropFront(TSide& ASide, std::size_t ABytes);

    const std::size_t FLimit;
    mutable std::mutex FLock;  // guards everything below
    TSide FCS;
    TSide FSC;
    std::uint64_t FNextIndex = 0;
};
