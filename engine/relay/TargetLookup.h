// Name lookups for the relay pool, on a thread of their own: a lookup blocks for as long as
// the name servers take, and each pool thread serves many connections.
//
//   TTargetLookup lookup([](std::unique_ptr<TPooledMapping> AMapping) { ... });
//   lookup.Ask(std::move(mapping));    // any thread; the answer comes on the lookup's thread
//   auto unanswered = lookup.Stop();   // the lookup under way is answered first
//
// A mapping comes back with Targets filled or LookupFailure set. Mappings asked for while a
// lookup of their name is under way get its answer too; those of other names are looked up
// together afterwards, once per name. So at a high rate of new connections to one name the
// name servers are asked once per lookup's time, not once per connection, and a slow answer
// delays every waiting connection by one lookup, never by several in a row.
//
// Threads: Ask from any thread, Stop and the destructor from one; the answer callback runs on
// the lookup's thread.
#pragma once

#include <condition_variable>
#include <optional>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/relay/RelayPool.h"
#include "net/IdIPAddress.h"

class TTargetLookup {
public:
    using TAnswered = std::function<void(std::unique_ptr<TPooledMapping> AMapping)>;

    // Starts the thread; std::system_error when the system has none left.
    explicit TTargetLookup(TAnswered AAnswered);
    ~TTargetLookup();
    TTargetLookup(const TTargetLookup&) = delete;
    TTargetLookup& operator=(const TTargetLookup&) = delete;

    // Queues AMapping (its Target names the host) for a lookup. Thread safe.
    void Ask(std::unique_ptr<TPooledMapping> AMapping);
    // Ends the thread once the lookup under way has been answered and gives back the mappings
    // that were still waiting.
    std::vector<std::unique_ptr<TPooledMapping>> Stop();

private:
    struct TAnswer {
        std::vector<TIdIPAddress> Targets;
        std::optional<TPooledMapping::TLookupFailure> Failure;
    };
    // By name and bound address (which decides the family kept).
    using TAnswers = std::map<std::pair<std::string, std::string>, TAnswer>;

    void Run();
    // One lookup per name and bound address in ABatch; each mapping gets its answer.
    TAnswers LookUp(std::vector<std::unique_ptr<TPooledMapping>>& ABatch);
    static void Apply(const TAnswer& AAnswer, TPooledMapping& AMapping);

    TAnswered FAnswer;
    std::mutex FLock;  // guards the two fields below
    std::vector<std::unique_ptr<TPooledMapping>> FWaiting;
    bool FStopping = false;
    std::condition_variable FWake;
    std::thread FThread;
};
