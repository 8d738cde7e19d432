// The anti-freeze: slicing of long waits, the event hook on the main thread only.
#include <atomic>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
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

namespace {

// What a read that ends through its connection's close fails with: the socket error's code,
// or -1 for any other outcome (a graceful end, bytes, no failure).
int ReadFailure(TIdTCPClient& AClient)
{
    try {
        AClient.ReadAvailable();
    } catch (const EIdSocketError& e) {
        return e.LastError();
    } catch (const std::exception&) {
    }
    return -1;
}

// True once the thread ATid sleeps in poll, the wait of a read without a limit.
bool InPoll(pid_t ATid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(ATid) + "/syscall");
    long number = -1;
    in >> number;
    return number == SYS_poll || number == SYS_ppoll;
}

}  // namespace

// A read whose connection is closed on this side while it waits fails with the same socket
// error however the close meets the wait: waking the poll (a stop on another thread), or
// found between two slices (here the main thread's own event hook closes it). A peer thread's
// loop takes that error as its end; were it the peer's graceful end instead, a server stopping
// at the wrong moment would report an exception for a connection it closed itself.
TEST(AntiFreeze, ReadClosedOnThisSideFailsTheSameWhetherTheCloseWakesItOrNot)
{
    ConnectedPair woken;
    std::atomic<pid_t> reader{0};
    std::atomic<int> wokenFailure{0};
    std::thread thread([&] {
        woken.Client.Binding()->ClaimOwnership();
        reader = static_cast<pid_t>(gettid());
        wokenFailure = ReadFailure(woken.Client);
    });
    const bool polling = PollUntil([&] { return reader != 0 && InPoll(reader); }, kDeadline);
    woken.Client.Disconnect();
    thread.join();
    ASSERT_TRUE(polling);
    EXPECT_EQ(wokenFailure, 10009);

    TIdAntiFreeze antiFreeze;
    antiFreeze.SetIdleTimeOut(10);
    ConnectedPair sliced;
    int calls = 0;
    antiFreeze.SetProcessHook([&](bool) {
        if (++calls == 2)
            sliced.Client.Disconnect();
    });
    EXPECT_EQ(ReadFailure(sliced.Client), 10009);
    EXPECT_EQ(calls, 2);
}
