#include "engine/connections/CaptureRing.h"

#include <algorithm>

std::int64_t TCaptureRing::Add(TRelayDirection ADirection, TCaptureTime ATime,
                               std::string_view ABytes)
{
    if (ABytes.empty() || FLimit == 0)
        return 0;
    std::lock_guard lock(FLock);
    TSide& side = Side(ADirection);
    // A piece bigger than the whole limit keeps only its newest bytes.
    const std::size_t cut = ABytes.size() > FLimit ? ABytes.size() - FLimit : 0;
    side.Dropped += cut;
    const std::string_view kept = ABytes.substr(cut);
    side.Pieces.push_back(TCapturePiece{FNextIndex++, ADirection, ATime, std::string(kept)});
    side.Held += kept.size();
    const std::size_t dropped = side.Held > FLimit ? DropFront(side, side.Held - FLimit) : 0;
    return static_cast<std::int64_t>(kept.size()) - static_cast<std::int64_t>(dropped);
}

std::size_t TCaptureRing::DropFront(TSide& ASide, std::size_t ABytes)
{
    std::size_t dropped = 0;
    while (dropped < ABytes && !ASide.Pieces.empty()) {
        std::string& front = ASide.Pieces.front().Bytes;
        const std::size_t take = std::min(front.size(), ABytes - dropped);
        if (take == front.size())
            ASide.Pieces.pop_front();
        else
            front.erase(0, take);
        dropped += take;
    }
    ASide.Held -= dropped;
    ASide.Dropped += dropped;
    return dropped;
}

std::size_t TCaptureRing::DropOldest(std::size_t ABytes)
{
    std::lock_guard lock(FLock);
    std::size_t dropped = 0;
    // Oldest first over both directions: the side whose front piece was read earlier.
    while (dropped < ABytes && (!FCS.Pieces.empty() || !FSC.Pieces.empty())) {
        TSide* side = &FCS;
        if (FCS.Pieces.empty() ||
            (!FSC.Pieces.empty() && FSC.Pieces.front().Index < FCS.Pieces.front().Index))
            side = &FSC;
        dropped += DropFront(*side, std::min(ABytes - dropped, side->Pieces.front().Bytes.size()));
    }
    return dropped;
}

TCaptureCopy TCaptureRing::CopyFrom(std::uint64_t AIndex) const
{
    std::lock_guard lock(FLock);
    TCaptureCopy copy;
    copy.NextIndex = FNextIndex;
    copy.DroppedCS = FCS.Dropped;
    copy.DroppedSC = FSC.Dropped;
    auto cs = FCS.Pieces.begin();
    auto sc = FSC.Pieces.begin();
    while (cs != FCS.Pieces.end() && cs->Index < AIndex)
        ++cs;
    while (sc != FSC.Pieces.end() && sc->Index < AIndex)
        ++sc;
    while (cs != FCS.Pieces.end() || sc != FSC.Pieces.end()) {
        const bool takeCS =
            sc == FSC.Pieces.end() || (cs != FCS.Pieces.end() && cs->Index < sc->Index);
        copy.Pieces.push_back(takeCS ? *cs++ : *sc++);
    }
    return copy;
}

std::size_t TCaptureRing::Clear()
{
    std::lock_guard lock(FLock);
    return DropFront(FCS, FCS.Held) + DropFront(FSC, FSC.Held);
}

std::size_t TCaptureRing::Held() const
{
    std::lock_guard lock(FLock);
    return FCS.Held + FSC.Held;
}
