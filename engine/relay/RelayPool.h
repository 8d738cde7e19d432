// The relay of the mappings nobody watches: a few event-driven threads (epoll, about one per
// core) that move the bytes of many mappings, one wake-up serving every mapping that is ready.
//
// A mapping of a channel that shows and shapes nothing (data mode 0, no speed limit,
// connection logging off) has nothing that needs a thread of its own; a peer thread costs a
// stack and a thread wake-up per piece. While such a channel is unwatched, the pool's threads
// accept its clients themselves on the server's listening sockets (Listen, Hooks.AcceptHere,
// Hooks.Accept) and the listener thread leaves those sockets alone: a new connection then
// costs no hand-over between threads. Otherwise the listener hands an admitted connection of
// an unwatched channel here (Adopt). Either way the mapping arrives with its connect to the
// target under way (Connecting) or yet to begin (ConnectNotBegun()), and the pool begins and
// finishes the connect: a target's name is looked up on a lookup thread of the pool's own
// (TTargetLookup), so that no pool thread waits for the name servers, and several addresses
// are raced as on a peer thread. A connection that began on a peer thread (its channel was
// watched then) is handed here by that thread, which then ends. The pool relays them exactly
// as the plain relay step does: a piece is read from one side, fed through the mapping's
// pipeline (whose stages pass it on untouched while nobody watches) and written whole to the
// other before anything more is read from that mapping. When the channel becomes watched
// (Hooks.Watched turns true), each mapping goes back to a new peer thread of its own
// (Hooks.Resume) between two pieces, with its pipeline and the unwritten rest of a piece.
//
//   TRelayPool pool(hooks);
//   pool.Open();                      // main thread, at activation
//   pool.Listen(server.ListeningSockets());  // main thread, once the server listens
//   pool.Adopt(mapping);              // listener or peer thread: moves the mapping in
//   pool.SettingsChanged();           // any thread, after a live setting changed
//   pool.Close();                     // main thread, at deactivation: ends every mapping
//
// Threads: Open, Listen and Close on the main thread; Adopt, SettingsChanged and the counters
// from any thread. The hooks are called on the pool's own threads (its lookup thread among
// them; Hooks.Ended also on the main thread in Close), never under a lock of the pool. The pool's threads start with Listen or the first adoption after Open and end in Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/connections/ConnectionRecord.h"
#include "engine/relay/RelayPipeline.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServerConnection.h"

class TTargetLookup;

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
    // The target's addresses in the order to try them (Target->TargetsToTry()): given when the
    // mapping is made for a target known without a lookup, else filled in by the pool's lookup
    // thread before the connect begins. Several are raced as a peer thread's connect races
    // them; NextTarget is the first not tried yet.
    std::vector<TIdIPAddress> Targets;
    std::size_t NextTarget = 0;
    // Why the lookup failed; the connect then fails with it. Kept as code and text, not as the
    // exception object, which the lookup's thread and a pool thread would share.
    struct TLookupFailure {
        int Code = 0;  // 0: not a socket error
        std::string Text;
    };
    std::optional<TLookupFailure> LookupFailure;
    bool LookupNeeded() const { return Targets.empty() && !LookupFailure; }
    static TLookupFailure FailureOf(const std::exception& AFailure);
    [[noreturn]] void RaiseLookupFailure() const;
    // The connection's entry in its channel's registry, or nullptr. The pool thread counts
    // each piece into it and notes which side ended the connection; a requested end (Close
    // or Reset Connection) ends the mapping on the pool thread (see EndRequested).
    std::shared_ptr<TConnectionRecord> Record;
};

// What a pool thread does after one accept (see TRelayPoolHooks::Accept).
enum class TPoolAcceptNext {
    More,  // accept again (a client came, was refused or had left)
    Drained,  // nothing pending: wait for the next one
    Pause,  // out of descriptors or memory: leave the sockets alone for a moment
    Stop,  // the listening socket was shut down or broke: accept no more on it
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
    // True while the pool's threads should accept on the listening sockets given to Listen
    // (the server's listener leaves them alone meanwhile). Called at every wake-up: cheap.
    std::function<bool()> AcceptHere;
    // Accepts one client from AListenSocket (non-blocking) and admits it. An admitted client
    // comes back in AMapping, as the listener would hand it to Adopt; a refused one is closed
    // by the hook. The result says whether to go on accepting.
    std::function<TPoolAcceptNext(int AListenSocket, std::unique_ptr<TPooledMapping>& AMapping)>
        Accept;
};

class TRelayPool {
public:
    explicit TRelayPool(TRelayPoolHooks AHooks, unsigned AThreads = 0);  // 0: DefaultThreadCount()
    ~TRelayPool();
    TRelayPool(const TRelayPool&) = delete;
    TRelayPool& operator=(const TRelayPool&) = delete;

    // One thread per core but one, and at least one. The clients and targets of a desktop
    // relay mostly run on the same machine: a pool thread on every core wakes on a core they
    // are using for nearly every new connection, where one thread fewer finds more of its
    // connections ready in each wake-up (new connections per second on two cores: about 0.87
    // of haproxy's with two threads, 1.0 with one).
    static unsigned DefaultThreadCount(unsigned ACores);

    // Lets adoptions in. Main thread.
    void Open();
    // Starts every pool thread and lets them accept on ASockets while Hooks.AcceptHere says so.
    // The pool accepts on duplicates of the sockets of its own, made non-blocking (the file is
    // shared: so are the originals) and closed by Close: the server may close its own at any
    // time. Once per Open. Main thread.
    void Listen(const std::vector<int>& ASockets);
    // Listen was called since the last Open. Thread safe.
    bool Listens() const { return FListens.load(); }
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

    // Hands a mapping whose target is a name to the lookup thread (started by the first);
    // Answered gives it back to a pool thread. Either ends it when the pool is closed. Pool
    // threads and the lookup's thread.
    void LookUp(std::unique_ptr<TPooledMapping> AMapping);
    void Answered(std::unique_ptr<TPooledMapping> AMapping);
    // Ends a mapping that is on no pool thread (Hooks.Ended follows).
    void EndWaiting(std::unique_ptr<TPooledMapping> AMapping);

    TRelayPoolHooks FHooks;
    unsigned FThreadCount;
    std::mutex FLock;  // guards the five fields below
    bool FOpen = false;
    std::vector<std::unique_ptr<TWorker>> FWorkers;
    unsigned FNextWorker = 0;
    std::vector<int> FListenSockets;  // the pool's duplicates; closed after the threads end
    std::unique_ptr<TTargetLookup> FLookup;
    std::atomic<bool> FListens{false};
    std::atomic<int> FCount{0};
    std::atomic<std::int64_t> FAdopted{0};
    std::atomic<std::int64_t> FResumed{0};
};
