#include "engine/relay/ChannelStages.h"

#include "engine/capture/CaptureTap.h"
#include "engine/conditions/NetConditions.h"
#include "engine/conditions/TrafficShaping.h"
#include "engine/connections/ConnectionRecord.h"
#include "engine/relay/TlsStages.h"
#include "engine/texts/DumpFormats.h"
#include "engine/texts/MappingTexts.h"

namespace {

constexpr TRelayDirection kClientToServer = TRelayDirection::ClientToServer;

// Whether the described step counts, dumps and paces a direction: a data mode or a limit.
bool Watched(const TRelayChannel& AChannel, TRelayDirection ADirection)
{
    return AChannel.DataMode() > 0 || AChannel.MaxSpeed(ADirection) > 0;
}

// Counts every piece into the connection's record and the channel's count of all bytes, and
// into the channel's read counter while the direction is counted.
class TCountStage final : public TRelayStage {
public:
    TCountStage(TRelayChannel& AChannel, std::shared_ptr<TConnectionRecord> ARecord)
        : FChannel(AChannel), FRecord(std::move(ARecord))
    {}
    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        FRecord->Count(ADirection, ABytes.Size());
        FChannel.CountRelayed(ADirection, static_cast<std::int64_t>(ABytes.Size()));
        if (Watched(FChannel, ADirection))
            FChannel.CountRead(ADirection, static_cast<std::int64_t>(ABytes.Size()));
    }

private:
    TRelayChannel& FChannel;
    std::shared_ptr<TConnectionRecord> FRecord;
};

// The data record of each read, in the channel's data mode (an empty read, a close, too).
class TDumpStage final : public TRelayStage {
public:
    TDumpStage(TRelayChannel& AChannel, std::vector<std::string>& ATexts)
        : FChannel(AChannel), FTexts(ATexts)
    {}
    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        // Nothing can be delivered without Logging: spare the dump (a hex dump is 4 times the read).
        if (!Watched(FChannel, ADirection) || !FChannel.LogsTexts())
            return;
        std::string dump = BuildDumpText(FChannel.DataMode(), ADirection, ABytes.View());
        if (FChannel.LogsConnections()) {
            const char* header = ADirection == kClientToServer ? " DATA (Client -> Server):"
                                                               : " DATA (Server -> Client):";
            FTexts.push_back(FChannel.LinePrefix() + header +
                             " Length= " + std::to_string(ABytes.Size()) +
                             FChannel.ConnectionInfo() + "\r\n" + dump);
        } else if (!dump.empty()) {
            FTexts.push_back(std::move(dump));
        }
    }

private:
    TRelayChannel& FChannel;
    std::vector<std::string>& FTexts;
};

// Keeps the bytes in the record's ring and the channel's capture file, as they were read.
class TCaptureStage final : public TRelayStage {
public:
    TCaptureStage(TRelayChannel& AChannel, std::shared_ptr<TConnectionRecord> ARecord,
                  std::vector<std::string>& ATexts)
        : FChannel(AChannel), FRecord(std::move(ARecord)), FTexts(ATexts)
    {}
    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        if (ABytes.Empty() || !FChannel.Tap().Wanted(*FRecord))
            return;
        FChannel.Tap().Read(*FRecord, ADirection, ABytes.View());
        const std::string error = FChannel.TakeCaptureError();
        if (!error.empty())
            FTexts.push_back(FChannel.LinePrefix() + " Capture file error: " + error);
    }

private:
    TRelayChannel& FChannel;
    std::shared_ptr<TConnectionRecord> FRecord;
    std::vector<std::string>& FTexts;
};

// Network conditions: holds each piece for its latency, then lets it go within the byte
// budgets; a budget that runs out stalls the direction or resets the connection.
class TConditionsStage final : public TRelayStage {
public:
    TConditionsStage(TRelayChannel& AChannel, std::shared_ptr<TConnectionRecord> ARecord,
                     std::optional<std::uint64_t> ASeed, std::vector<std::string>& ATexts)
        : FChannel(AChannel), FRecord(std::move(ARecord)), FSeed(ASeed), FTexts(ATexts)
    {}

    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros ANow) override
    {
        if (!HoldsForLater() || ABytes.Empty())
            return;
        // Made at the first piece the conditions touch: an idle connection keeps no queues.
        if (!FHit)
            FHit = std::make_unique<TConnectionConditions>(*FSeed);
        const TNetConditions& c = FChannel.Conditions();
        FHit->Hold(ADirection, ABytes.Take(), ANow, c.Latency(ADirection), c.Jitter(ADirection));
    }

    void Release(TRelayDirection ADirection, TRelayMicros ANow, TRelayBytes& AOut,
                 TDirectionEnd& AEnd) override
    {
        if (!FHit || !FHit->Due(ADirection, ANow))
            return;
        std::string piece = FHit->Take(ADirection);
        const TNetConditions& c = FChannel.Conditions();
        const TConnectionConditions::TBudget budget = FHit->Budget(
            ADirection, piece.size(), c.ResetAfter(ADirection), c.StallAfter(ADirection));
        FHit->Wrote(ADirection, budget.Allowed);
        piece.resize(budget.Allowed);
        AOut.Replace(std::move(piece));
        const bool clientToServer = ADirection == kClientToServer;
        switch (budget.Then) {
            case TConnectionConditions::TBudgetEnd::None: return;
            case TConnectionConditions::TBudgetEnd::Stall:
                FHit->Stall(ADirection);
                Line("stall", budget.After, clientToServer);
                AEnd = TDirectionEnd::Stall;
                return;
            case TConnectionConditions::TBudgetEnd::Reset:
                FRecord->NoteEnd(TConnectionEnd::Error,
                                 ConditionText("reset", budget.After, clientToServer).substr(1));
                Line("reset", budget.After, clientToServer);
                AEnd = TDirectionEnd::Reset;
                return;
        }
    }

    TRelayMicros DueAt(TRelayDirection ADirection) const override
    {
        return FHit ? FHit->DueAt(ADirection) : -1;
    }
    bool WantsRead(TRelayDirection ADirection) const override
    {
        return !FHit || FHit->WantsRead(ADirection);
    }
    bool Busy() const override { return FHit && FHit->Busy(); }
    // A connection the draw hit, while the channel's conditions are on or it still holds or
    // stalls something after they were switched off.
    bool HoldsForLater() const override
    {
        return FSeed && (FChannel.Conditions().Active() || (FHit && FHit->Busy()));
    }

private:
    void Line(const char* AWhat, std::int64_t ABytes, bool AClientToServer)
    {
        if (FChannel.LogsConnections())
            FTexts.push_back(FChannel.LinePrefix() + ConditionText(AWhat, ABytes, AClientToServer));
    }

    TRelayChannel& FChannel;
    std::shared_ptr<TConnectionRecord> FRecord;
    std::optional<std::uint64_t> FSeed;  // the connection's draw; nullopt: untouched
    std::unique_ptr<TConnectionConditions> FHit;
    std::vector<std::string>& FTexts;
};

// The speed limit: a counted direction's bytes go out in chunks of the limit, each followed
// by the pause that keeps the rate, with the delay lines.
class TSpeedShaper final : public TRelayShaper {
public:
    TSpeedShaper(TRelayChannel& AChannel, std::vector<std::string>& ATexts)
        : FChannel(AChannel), FTexts(ATexts)
    {}

    void Write(TRelayDirection ADirection, std::string_view ABytes, std::uint32_t AStartTick,
               TSink& ASink) override
    {
        if (!Watched(FChannel, ADirection)) {
            ASink.Write(ABytes);  // nothing to count or pace
            return;
        }
        if (FChannel.MaxSpeed(ADirection) == 0) {
            ASink.Write(ABytes);
            FChannel.CountWritten(ADirection, static_cast<std::int64_t>(ABytes.size()));
            return;
        }
        WriteInChunks(
            ABytes, [&] { return FChannel.MaxSpeed(ADirection); }, AStartTick, FChannel.Clock(),
            [&](std::string_view AChunk) { ASink.Write(AChunk); },
            [&](std::int32_t ALength, std::int32_t AElapsedMs) {
                FChannel.CountWritten(ADirection, ALength);
                Pause(ADirection, ALength, AElapsedMs, ASink);
            });
    }

private:
    void Pause(TRelayDirection ADirection, std::int32_t ALength, std::int32_t AElapsedMs,
               TSink& ASink)
    {
        const TDelayPlan plan = PlanDelay(FChannel.MaxSpeed(ADirection), FChannel.DelaysPerStep(),
                                          FChannel.TransmittingSteps(), ALength, AElapsedMs);
        RunDelay(
            plan, [this] { return FChannel.LogsDelays(); },
            [&](const std::string& ATail) {
                FTexts.push_back(FChannel.LinePrefix() + ATail);
                ASink.DeliverTexts();
            },
            [&](std::int32_t AMilliseconds) { ASink.Pause(AMilliseconds); });
    }

    TRelayChannel& FChannel;
    std::vector<std::string>& FTexts;
};

}  // namespace

std::unique_ptr<TRelayPipeline> TChannelPipelines::Make(
    std::shared_ptr<TConnectionRecord> ARecord, std::optional<std::uint64_t> AConditionsSeed,
    std::shared_ptr<TTlsConnection> ATls)
{
    auto pipe = std::make_unique<TRelayPipeline>();
    std::vector<std::string>& texts = pipe->Texts();
    if (FFirstStage)
        pipe->Add(FFirstStage());
    pipe->Add(std::make_unique<TCountStage>(FChannel, ARecord));
    pipe->Add(std::make_unique<TDumpStage>(FChannel, texts));
    pipe->Add(std::make_unique<TCaptureStage>(FChannel, ARecord, texts));
    pipe->Add(std::make_unique<TConditionsStage>(FChannel, ARecord, AConditionsSeed, texts));
    // Around all of them: every stage above sees plain text. The speed limit paces the
    // ciphertext that is written.
    if (ATls)
        AddTlsStages(*pipe, ATls, std::move(ARecord));
    pipe->SetShaper(std::make_unique<TSpeedShaper>(FChannel, texts));
    return pipe;
}
