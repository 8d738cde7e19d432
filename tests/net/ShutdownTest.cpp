// Stopping and destroying servers while their peers are busy: every wait is woken, no thread
// touches freed memory or a recycled descriptor, and nothing is left behind.
#include <atomic>
#include <mutex>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"
#include "support/Loopback.h"
#include "support/ServingWaits.h"

using namespace testkit;

namespace {

int Start(TIdTCPServer& AServer, int ATerminateWaitTime = 500)
{
    AServer.SetTerminateWaitTime(ATerminateWaitTime);
    AServer.Bindings().Add()->SetIP("127.0.0.1");
    AServer.SetActive(true);
    return AServer.Bindings().Items(0)->Port();
}

// What the mapping engine keeps per connection: the outbound client.
struct Outbound : TIdObject {
    TIdTCPClient Client;
};

}  // namespace

TEST(Shutdown, DeactivationWakesPeersInSelectReadAndWrite)
{
    TListener target;  // accepts nothing, reads nothing
    std::atomic<int> entered{0}, ended{0};
    TIdTCPServer server;
    server.OnExecute = [&](TIdPeerThread* t) {
        TIdTCPServerConnection& c = *t->Connection();
        const std::string role = c.ReadAvailable();
        if (role.empty())
            return;
        const std::string block(1 << 20, 'b');
        if (role == "select") {
            ++entered;
            TIdSocketList list{c.Binding()->Handle()};
            GStack().Select(list, InfiniteTimeout);
        } else if (role == "read") {
            ++entered;
            c.ReadAvailable();
        } else if (role == "write") {  // the client never reads: send blocks
            ++entered;
            for (int i = 0; i < 64 && c.Connected(); ++i)
                c.Write(block);
        } else if (role == "outbound") {  // the same on an outbound connection
            auto data = std::make_unique<Outbound>();
            data->Client.SetHost("127.0.0.1");
            data->Client.SetPort(target.Port());
            data->Client.Connect();
            Outbound* out = data.get();
            t->SetData(std::move(data));
            ++entered;
            for (int i = 0; i < 64; ++i)
                out->Client.Write(block);
        }
    };
    server.OnDisconnect = [&](TIdPeerThread*) { ++ended; };
    const int port = Start(server);
    const char* roles[] = {"select", "read", "write", "outbound"};
    std::vector<TFd> clients(4);
    for (int i = 0; i < 4; ++i) {
        clients[i] = ConnectTo(port);
        ASSERT_TRUE(SendAll(clients[i].Get(), roles[i]));
    }
    ASSERT_TRUE(WaitUntil([&] { return entered == 4; }));
    server.SetActive(false);
    EXPECT_EQ(ended, 4);
    EXPECT_EQ(server.Threads().Count(), 0u);
}

// Destroying the server must wait for, or wake, every peer still on its way out, and must
// return: here one blocked in a synchronized call after TerminateWaitTime ran out, one in an
// outbound connect to a host that never answers, one pausing to hold a speed limit.
TEST(Shutdown, DestroyingTheServerWhilePeersStillFinish)
{
    // The host that never answers: a connect to it stays pending (retrying for minutes) until
    // something ends it.
    TSilentListener silent;

    std::atomic<int> connecting{0}, pausing{0}, syncing{0}, served{0}, exceptions{0}, aborted{0};
    std::atomic<bool> pauseCut{false};
    std::mutex textsLock;
    std::string texts;  // what each exception said, for a failure message
    auto server = std::make_unique<TIdTCPServer>();
    // As the mapping engine does, the outbound connect happens in the connect hook.
    server->OnConnect = [&](TIdPeerThread* t) {
        t->OnException = [&](TIdThread*, const std::exception& e) {
            {
                std::lock_guard lock(textsLock);
                texts += std::string(e.what()) + "; ";
            }
            ++exceptions;
            if (auto* se = dynamic_cast<const EIdSocketError*>(&e); se && se->LastError() == 10053)
                ++aborted;
        };
        TIdTCPServerConnection& c = *t->Connection();
        const std::string role = c.ReadAvailable();
        if (role == "connect") {
            auto data = std::make_unique<Outbound>();
            data->Client.SetHost("127.0.0.1");
            data->Client.SetPort(silent.Port());
            Outbound* out = data.get();
            t->SetData(std::move(data));
            ++connecting;
            out->Client.Connect();
        } else if (role == "pause") {
            ++pausing;
            pauseCut = !t->Pause(600000);
        } else if (role == "sync") {
            ++syncing;
        }
    };
    server->OnExecute = [](TIdPeerThread* t) { t->Connection()->ReadAvailable(); };
    server->OnDisconnect = [&](TIdPeerThread* t) { t->Synchronize([&] { ++served; }); };
    const int port = Start(*server, 0);
    std::vector<TFd> clients(3);
    const char* roles[] = {"connect", "pause", "sync"};
    for (int i = 0; i < 3; ++i) {
        clients[i] = ConnectTo(port);
        ASSERT_TRUE(SendAll(clients[i].Get(), roles[i]));
    }
    ASSERT_TRUE(WaitUntil([&] { return connecting == 1 && pausing == 1 && syncing == 1; }));
    ASSERT_EQ(silent.Queued(), 1);  // the outbound SYN is still unanswered

    server.reset();
    EXPECT_EQ(served, 3);
    EXPECT_TRUE(pauseCut);
    EXPECT_EQ(aborted, 1);
    EXPECT_EQ(exceptions, 1) << texts;
}

// 200 rounds of: activate, 20 clients that keep sending, deactivate. Descriptors and threads
// must come back to their starting numbers.
TEST(Shutdown, RepeatedActivationUnderLoadLeavesNothingBehind)
{
    // A sanitizer runtime starts its helper thread at the first thread creation: count after it.
    std::thread([] {}).join();
    const int fdsBefore = OpenFds();
    const int threadsBefore = LiveThreads();
    {
        TIdTCPServer server;
        std::atomic<int> running{0};
        server.OnExecute = [](TIdPeerThread* t) { t->Connection()->ReadAvailable(); };
        server.OnConnect = [&](TIdPeerThread*) { ++running; };
        server.OnDisconnect = [&](TIdPeerThread*) { --running; };
        server.SetTerminateWaitTime(2000);
        server.Bindings().Add()->SetIP("127.0.0.1");
        for (int round = 0; round < 200; ++round) {
            server.Bindings().Items(0)->SetPort(0);
            server.SetActive(true);
            const int port = server.Bindings().Items(0)->Port();
            // In fives: the accept queue holds six, and a seventh SYN would wait a second for
            // its retransmission.
            std::vector<TFd> clients(20);
            for (int i = 0; i < 20; ++i) {
                clients[i] = ConnectTo(port);
                if (i % 5 == 4) {
                    ASSERT_TRUE(WaitUntil([&] { return running == i + 1; })) << "round " << round;
                }
            }
            std::atomic<bool> stop{false};
            std::thread sender([&] {
                for (int i = 0; i < 100000 && !stop; ++i)
                    for (auto& c : clients)
                        if (!SendAll(c.Get(), "0123456789abcdef"))
                            return;
            });
            server.SetActive(false);
            stop = true;
            sender.join();
            ASSERT_EQ(running, 0) << "round " << round;
            ASSERT_EQ(server.Threads().Count(), 0u);
        }
    }
    // At most: a thread of an earlier test may still have been on its way out at the start.
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() <= fdsBefore && LiveThreads() <= threadsBefore; }))
        << OpenFds() << " fds (" << fdsBefore << " before), " << LiveThreads() << " threads ("
        << threadsBefore << " before)";
}
