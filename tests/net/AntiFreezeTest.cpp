// The anti-freeze: slicing of long waits, the event hook on the main thread only.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "net/IdAntiFreeze.h"
#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "support/Loopback.h"

using namespace testkit;

namespace {

struct ConnectedPair {
    ConnectedPair()
    {
        Client.SetHost("127.0.0.1");
        Client.SetPort(Listener.Port());
        Client.Connect();
        Far = Listener.Accept();
    }
    TListener Listener;
    TIdTCPClient Client;
    TFd Far;
};

}  // namespace

// The hook is the only thing that sends, so the wait can only end if it was cut into slices
// and the main thread handled its events between them.
TEST(AntiFreeze, MainThreadWaitIsSlicedAndHandlesEvents)
{
    ConnectedPair p;
    TIdAntiFreeze antiFreeze;
    antiFreeze.SetIdleTimeOut(10);
    int calls = 0;
    bool handleAll = false;
    antiFreeze.SetProcessHook([&](bool all) {
        handleAll = all;
        if (++calls == 3)
            SendAll(p.Far.Get(), "wake");
    });
    EXPECT_TRUE(p.Client.Binding()->WaitForData(InfiniteTimeout));
    EXPECT_GE(calls, 3);
    EXPECT_TRUE(handleAll);
    EXPECT_EQ(p.Client.ReadAvailable(), "wake");

    antiFreeze.SetActive(false);  // inactive: no slices, no events
    SendAll(p.Far.Get(), "x");
    const int before = calls;
    EXPECT_TRUE(p.Client.Binding()->WaitForData(InfiniteTimeout));
    EXPECT_EQ(calls, before);
}

TEST(AntiFreeze, WorkerWaitsNeverHandleEvents)
{
    ConnectedPair p;
    TIdAntiFreeze antiFreeze;
    antiFreeze.SetIdleTimeOut(10);
    std::atomic<int> calls{0};
    antiFreeze.SetProcessHook([&](bool) { ++calls; });
    std::thread worker([&] {
        p.Client.Binding()->ClaimOwnership();  // the socket is handed to the worker
        EXPECT_FALSE(p.Client.Binding()->WaitForData(60));
    });
    worker.join();
    EXPECT_EQ(calls, 0);
}

TEST(AntiFreeze, LatestIsTheProcessWideOneAndAnyDestructionClearsIt)
{
    auto first = std::make_unique<TIdAntiFreeze>();
    {
        TIdAntiFreeze second;
        EXPECT_EQ(TIdAntiFreezeBase::Instance(), &second);
        EXPECT_EQ(TIdAntiFreezeBase::ActiveIdleTimeOut(), 250);
    }
    EXPECT_EQ(TIdAntiFreezeBase::Instance(), nullptr);
    EXPECT_EQ(TIdAntiFreezeBase::ActiveIdleTimeOut(), 0);
}
