// Name lookups for the relay pool, on a thread of their own: a lookup blocks for as long as
// the name servers take, and each pool thread serves many connections.
//
//   TTargetLookup lookup([](std::unique_ptr<TPooledMapping> AMapping) { ... });
//   lookup.Ask(std::move(mapping));    // any thread; the answer comes on the lookup's thread
//   auto unanswered = lookup.Stop();   // the lookup under way is answered first
//
// A mapping comes back with Targets filled or LookupFailure set. Mappings asked for while a
// lookup is under way are looked up together afterwards, one lookup per target name: at a high
// rate of new connections to one name the name servers are asked once per lookup's time, not
// once per connection.
//
// Threads: Ask from any thread, Stop and the destructor from one; the answer callback runs on
// the lookup's thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct TPooledMapping;

class TTargetLookup {
public:
    using TAnswer = std::function<void(std::unique_ptr<TPooledMapping> AMapping)>;

    // Starts the thread; std::system_error when the system has none left.
    explicit TTargetLookup(TAnswer AAnswer);
    ~TTargetLookup();
    TTargetLookup(const TTargetLookup&) = delete;
    TTargetLookup& operator=(const TTargetLookup&) = delete;

    // Queues AMapping (its Target names the host) for a lookup. Thread safe.
    void Ask(std::unique_ptr<TPooledMapping> AMapping);
    // Ends the thread once the lookup under way has been answered and gives back the mappings
    // that were still waiting.
    std::vector<std::unique_ptr<TPooledMapping>> Stop();

private:
    void Run();
    void LookUp(std::vector<std::unique_ptr<TPooledMapping>>& ABatch);

    TAnswer FAnswer;
    std::mutex FLock;  // guards the two fields below
    std::vector<std::unique_ptr<TPooledMapping>> FWaiting;
    bool FStopping = false;
    std::condition_variable FWake;
    std::thread FThread;
};
