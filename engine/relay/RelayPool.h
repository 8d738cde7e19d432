// The relay of the mappings nobody watches: a few event-driven threads (epoll, one per core)
// that move the bytes of many mappings, one wake-up serving every mapping that is ready.
//
// A mapping of a channel that shows and shapes nothing (data mode 0, no speed limit,
// connection logging off) has nothing that needs a thread of its own; a peer thread costs a
// stack and a thread wake-up per piece. So the mapping server's listener hands a connection
// of such a channel here as soon as it has admitted it, with its connect to the target under
// way (Connecting) or yet to begin (ConnectNotBegun()), and the pool finishes the connect; a
// connection that began on a peer thread (its channel was watched then) is handed here by that
// thread, which then ends. The pool relays them exactly as the plain relay step does: a piece
// is read from one side, fed through the mapping's pipeline (whose stages pass it on untouched
// while nobody watches) and written whole to the other before anything more is read from that
// mapping. When the channel becomes
// watched (Hooks.Watched turns true), each mapping goes back to a new peer thread of its own
// (Hooks.Resume) between two pieces, with its pipeline and the unwritten rest of a piece.
//
//   TRelayPool pool(hooks);
//   pool.Open();                      // main thread, at activation
//   pool.Adopt(mapping);              // peer thread: moves the mapping in (false: keep it)
//   pool.SettingsChanged();           // any thread, after a live setting changed
//   pool.Close();                     // main thread, at deactivation: ends every mapping
//
// Threads: Open and Close on the main thread; Adopt, SettingsChanged and the counters from any
// thread. The hooks are called on the pool's own threads, never under a lock of the pool.
// The pool's threads start with the first adoption after Open and end in Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/connections/ConnectionRecord.h"
#include "engine/relay/RelayPipeline.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServerConnection.h"

// One mapping while it rides the pool. The pool owns it; the sockets belong to the pool
// thread that serves it.
struct TPooledMapping {
    std::unique_ptr<TIdTCPServerConnection> Client;
    std::unique_ptr<TIdTCPClient> Target;
    // The connection's stages, and the unwritten rest of a piece when the mapping leaves the
    // pool in the middle of writing it.
    std::unique_ptr<TRelayPipeline> Pipeline;
    // The connect to the target is under way; the pool finishes it (see Hooks.Connected).
    bool Connecting = false;
    // A Connecting mapping whose Target has no socket yet has its connect not begun: the pool
    // thread that takes the mapping in begins it. So the listener only accepts and admits, and
    // the connects spread over the pool's threads.
    bool ConnectNotBegun() const { return Connecting && !Target->Binding()->HandleAllocated(); }
    // The connection's entry in its channel's registry, or nullptr. The pool thread counts
    // each piece into it and notes which side ended the connection; a requested end (Close
    // or Reset Connection) ends the mapping on the pool thread (see EndRequested).
    std::shared_ptr<TConnectionRecord> Record;
};

struct TRelayPoolHooks {
    // True when the channel's mappings want threads of their own. Called often: cheap.
    std::function<bool()> Watched;
    // A pooled mapping has ended and its client connection is closed (the target's follows).
    // ARecord: the mapping's record (may be nullptr). AClientLeftBeforeAnswer: the client
    // closed while the target had bytes waiting for it, the case in which a peer thread ends
    // by "Connection Closed Gracefully.". AStopped: the pool's Close ended it.
    std::function<void(const std::shared_ptr<TConnectionRecord>& ARecord,
                       bool AClientLeftBeforeAnswer, bool AStopped)>
        Ended;
    // The connect of a Connecting mapping ended: AFailure is nullptr when it succeeded, else
    // what it raised (Ended follows then). Also when the client left meanwhile: AAbandoned.
    std::function<void(TPooledMapping& AMapping, const std::exception* AFailure, bool AAbandoned)>
        Connected;
    // Carries the mapping on to a new peer thread; false when that was refused or failed,
    // the mapping then being closed (Ended follows, with the record the mapping had).
    std::function<bool(std::unique_ptr<TPooledMapping> AMapping)> Resume;
};

class TRelayPool {
public:
    explicit TRelayPool(TRelayPoolHooks AHooks, unsigned AThreads = 0);  // 0: one per core
    ~TRelayPool();
    TRelayPool(const TRelayPool&) = delete;
    TRelayPool& operator=(const TRelayPool&) = delete;

    // Lets adoptions in. Main thread.
    void Open();
    // Takes AMapping over (AMapping then empty) unless the pool is closed or cannot start a
    // thread. Thread safe.
    bool Adopt(std::unique_ptr<TPooledMapping>& AMapping);
    // Wakes the pool threads so that they look at Hooks.Watched now, not only at the next
    // piece of each mapping. Thread safe.
    void SettingsChanged();
    // Makes the pool threads look for mappings whose record asks for an end (Close or Reset
    // Connection) and end them, a Reset one by resetting both sides. Thread safe.
    void EndRequested();
    // Refuses further adoptions, ends every pooled mapping (Hooks.Ended for each) and waits
    // for the pool threads to end. The threads never block on anything but their wait for
    // events, so this is quick. Main thread.
    void Close();

    // Mappings on the pool, including those on their way in or out. Thread safe.
    int Count() const { return FCount.load(); }
    // Mappings taken in, and handed on to peer threads, since construction. Thread safe.
    std::int64_t Adopted() const { return FAdopted.load(); }
    std::int64_t Resumed() const { return FResumed.load(); }

private:
    class TWorker;
    friend class TWorker;

    TRelayPoolHooks FHooks;
    unsigned FThreadCount;
    std::mutex FLock;  // guards the three fields below
    bool FOpen = false;
    std::vector<std::unique_ptr<TWorker>> FWorkers;
    unsigned FNextWorker = 0;
    std::atomic<int> FCount{0};
    std::atomic<std::int64_t> FAdopted{0};
    std::atomic<std::int64_t> FResumed{0};
};
