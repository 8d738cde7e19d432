// The pipeline of one connection without sockets: what the stages pass on, hold and change,
// and what waits when a write is short.
#include "engine/relay/RelayPipeline.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

constexpr TRelayDirection kCS = TRelayDirection::ClientToServer;
constexpr TRelayDirection kSC = TRelayDirection::ServerToClient;

// Upper-cases what the client sends; passes the server's bytes on.
class TUpperCase final : public TRelayStage {
public:
    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        if (ADirection != kCS || ABytes.Empty())
            return;
        std::string s(ABytes.View());
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ABytes.Replace(std::move(s));
    }
};

// Notes what reaches it.
class TRecorder final : public TRelayStage {
public:
    explicit TRecorder(std::vector<std::string>& ASeen) : FSeen(ASeen) {}
    void Pass(TRelayDirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        FSeen.emplace_back(ABytes.View());
    }

private:
    std::vector<std::string>& FSeen;
};

// Holds every piece for 1000 microseconds after its read.
class THold final : public TRelayStage {
public:
    void Pass(TRelayDirection, TRelayBytes& ABytes, TRelayMicros ANow) override
    {
        if (ABytes.Empty())
            return;
        FHeld = ABytes.Take();
        FDue = ANow + 1000;
    }
    void Release(TRelayDirection ADirection, TRelayMicros ANow, TRelayBytes& AOut,
                 TDirectionEnd&) override
    {
        if (ADirection == kCS && !FHeld.empty() && ANow >= FDue)
            AOut.Replace(std::exchange(FHeld, {}));
    }
    TRelayMicros DueAt(TRelayDirection ADirection) const override
    {
        return ADirection == kCS && !FHeld.empty() ? FDue : -1;
    }
    bool Busy() const override { return !FHeld.empty(); }
    bool HoldsForLater() const override { return true; }

private:
    std::string FHeld;
    TRelayMicros FDue = 0;
};

TEST(RelayPipeline, UntouchedPiecesAreWrittenFromTheReadersBufferAndShortWritesKeepTheOrder)
{
    TRelayPipeline pipe;
    std::vector<std::string> seen;
    pipe.Add(std::make_unique<TRecorder>(seen));
    const std::string read = "hello world";
    TRelayBytes first(read);
    const std::string_view out = pipe.Feed(kCS, first, 0);
    EXPECT_EQ(out.data(), read.data());  // no copy while nothing changes the bytes
    pipe.Wrote(kCS, out, 5);  // the destination took only "hello"
    EXPECT_EQ(pipe.Outgoing(kCS), " world");
    EXPECT_TRUE(pipe.Busy());
    EXPECT_FALSE(pipe.StagesBusy());  // a carrier may move it with its rest

    const std::string next = "!";
    TRelayBytes second(next);
    const std::string_view after = pipe.Feed(kCS, second, 0);
    EXPECT_EQ(after, " world!");  // the new piece waits behind the rest
    pipe.Wrote(kCS, after, after.size());
    EXPECT_TRUE(pipe.Outgoing(kCS).empty());
    EXPECT_TRUE(pipe.Outgoing(kSC).empty());
    EXPECT_EQ(seen, (std::vector<std::string>{"hello world", "!"}));
}

TEST(RelayPipeline, AStageThatChangesBytesIsSeenChangedByTheStagesAfterIt)
{
    TRelayPipeline pipe;
    std::vector<std::string> seen;
    pipe.Add(std::make_unique<TRecorder>(seen));
    pipe.AddFirst(std::make_unique<TUpperCase>());
    TRelayBytes fromClient(std::string_view("get /"));
    EXPECT_EQ(pipe.Feed(kCS, fromClient, 0), "GET /");
    TRelayBytes fromServer(std::string_view("ok"));
    EXPECT_EQ(pipe.Feed(kSC, fromServer, 0), "ok");
    EXPECT_EQ(seen, (std::vector<std::string>{"GET /", "ok"}));
}

TEST(RelayPipeline, AHeldPieceGoesOnThroughTheLaterStagesWhenItIsDue)
{
    TRelayPipeline pipe;
    std::vector<std::string> seen;
    pipe.Add(std::make_unique<THold>());
    pipe.Add(std::make_unique<TUpperCase>());
    pipe.Add(std::make_unique<TRecorder>(seen));
    TRelayBytes piece(std::string_view("late"));
    EXPECT_TRUE(pipe.Feed(kCS, piece, 5000).empty());
    EXPECT_TRUE(seen.empty());  // the stages after the hold have not seen it yet
    EXPECT_EQ(pipe.DueAt(), 6000);
    EXPECT_TRUE(pipe.StagesBusy());

    pipe.Pump(5999);
    EXPECT_TRUE(pipe.Outgoing(kCS).empty());
    pipe.Pump(6000);
    EXPECT_EQ(pipe.Outgoing(kCS), "LATE");
    EXPECT_EQ(seen, (std::vector<std::string>{"LATE"}));
    EXPECT_EQ(pipe.DueAt(), -1);
}

}  // namespace
