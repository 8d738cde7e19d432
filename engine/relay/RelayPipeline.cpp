#include "engine/relay/RelayPipeline.h"

#include <chrono>

namespace {

// A rest buffer larger than this is given back once written: an idle connection keeps little.
constexpr std::size_t kKeptOutCapacity = 4096;

}  // namespace

TRelayMicros RelayNow()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void TRelayPipeline::Add(std::unique_ptr<TRelayStage> AStage)
{
    FStages.push_back(std::move(AStage));
}

void TRelayPipeline::AddFirst(std::unique_ptr<TRelayStage> AStage)
{
    FStages.insert(FStages.begin(), std::move(AStage));
}

void TRelayPipeline::PassFrom(std::size_t AFirst, TRelayDirection ADirection, TRelayBytes& APiece,
                              TRelayMicros ANow)
{
    const bool close = APiece.Empty();
    for (std::size_t i = AFirst; i < FStages.size(); ++i) {
        FStages[i]->Pass(ADirection, APiece, ANow);
        // A held piece goes on from its stage when it is released, and a piece a stage used up
        // goes no further (to the later stages an empty piece is a close); an empty read (a
        // close) passes every stage so that each sees the end.
        if (APiece.Empty() && (!close || FStages[i]->HoldsForLater()))
            return;
    }
}

std::string_view TRelayPipeline::Feed(TRelayDirection ADirection, TRelayBytes& APiece,
                                      TRelayMicros ANow)
{
    PassFrom(0, ADirection, APiece, ANow);
    if (Outgoing(ADirection).empty())
        return APiece.View();
    Append(ADirection, APiece.View());
    return Outgoing(ADirection);
}

void TRelayPipeline::Pump(TRelayMicros ANow)
{
    for (const TRelayDirection direction : kBothDirections) {
        for (std::size_t i = 0; i < FStages.size(); ++i) {
            // A stage may release several pieces at once; each goes on through the stages
            // after it before the next is taken, so that none overtakes another.
            for (;;) {
                TRelayBytes released;
                TDirectionEnd end = TDirectionEnd::None;
                FStages[i]->Release(direction, ANow, released, end);
                if (!released.Empty()) {
                    PassFrom(i + 1, direction, released, ANow);
                    Append(direction, released.View());
                }
                if (end == TDirectionEnd::Reset)
                    FResetDue[DirectionIndex(direction)] = true;
                if (released.Empty() || end != TDirectionEnd::None)
                    break;
            }
        }
    }
}

void TRelayPipeline::Start(TRelayMicros ANow)
{
    for (const auto& stage : FStages)
        stage->Start(ANow);
}

void TRelayPipeline::Append(TRelayDirection ADirection, std::string_view ABytes)
{
    std::string& out = FOut[DirectionIndex(ADirection)];
    std::size_t& pos = FOutPos[DirectionIndex(ADirection)];
    if (pos == out.size()) {
        out.clear();
        pos = 0;
    }
    out.append(ABytes);
}

std::string_view TRelayPipeline::Outgoing(TRelayDirection ADirection) const
{
    const std::size_t i = DirectionIndex(ADirection);
    return std::string_view(FOut[i]).substr(FOutPos[i]);
}

void TRelayPipeline::Wrote(TRelayDirection ADirection, std::string_view AOut, std::size_t AWritten)
{
    const std::size_t i = DirectionIndex(ADirection);
    std::string& out = FOut[i];
    if (!out.empty() && AOut.data() == out.data() + FOutPos[i]) {
        FOutPos[i] += AWritten;
        if (FOutPos[i] < out.size())
            return;
        FOutPos[i] = 0;
        if (out.capacity() > kKeptOutCapacity)
            std::string().swap(out);
        else
            out.clear();
        return;
    }
    // The rest of a piece written straight from the reader's buffer waits here.
    if (AWritten < AOut.size())
        Append(ADirection, AOut.substr(AWritten));
}

void TRelayPipeline::DropOutgoing(TRelayDirection ADirection)
{
    const std::size_t i = DirectionIndex(ADirection);
    std::string().swap(FOut[i]);
    FOutPos[i] = 0;
}

TRelayMicros TRelayPipeline::DueAt(TRelayDirection ADirection) const
{
    TRelayMicros due = -1;
    for (const auto& stage : FStages) {
        const TRelayMicros at = stage->DueAt(ADirection);
        if (at >= 0 && (due < 0 || at < due))
            due = at;
    }
    return due;
}

TRelayMicros TRelayPipeline::DueAt() const
{
    const TRelayMicros cs = DueAt(TRelayDirection::ClientToServer);
    const TRelayMicros sc = DueAt(TRelayDirection::ServerToClient);
    if (cs < 0)
        return sc;
    return sc < 0 || cs < sc ? cs : sc;
}

bool TRelayPipeline::WantsRead(TRelayDirection ADirection) const
{
    if (FResetDue[DirectionIndex(ADirection)])
        return false;
    for (const auto& stage : FStages)
        if (!stage->WantsRead(ADirection))
            return false;
    return true;
}

bool TRelayPipeline::StagesBusy() const
{
    for (const auto& stage : FStages)
        if (stage->Busy())
            return true;
    return FResetDue[0] || FResetDue[1];
}

bool TRelayPipeline::HasOutgoing() const
{
    return !Outgoing(TRelayDirection::ClientToServer).empty() ||
        !Outgoing(TRelayDirection::ServerToClient).empty();
}

bool TRelayPipeline::Busy() const
{
    return StagesBusy() || HasOutgoing();
}

bool TRelayPipeline::HoldsForLater() const
{
    for (const auto& stage : FStages)
        if (stage->HoldsForLater())
            return true;
    return false;
}

bool TRelayPipeline::Failed() const
{
    for (const auto& stage : FStages)
        if (stage->Failed())
            return true;
    return false;
}

bool TRelayPipeline::ResetDue(TRelayDirection ADirection) const
{
    return FResetDue[DirectionIndex(ADirection)] && Outgoing(ADirection).empty();
}

std::vector<std::string> TRelayPipeline::TakeTexts()
{
    std::vector<std::string> texts;
    texts.swap(FTexts);
    return texts;
}
