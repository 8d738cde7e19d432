// Name lookups for the relay pool, on a thread of their own: a lookup blocks for as long as
// the name servers take, and each pool thread serves many connections.
//
//   TTargetLookup lookup([](std::unique_ptr<TPooledMapping> AMapping) { ... });
//   lookup.Ask(std::move(mapping));    // any thread; the answer comes on the lookup's thread
//   auto unanswered = lookup.Stop();   // never waits for a name server
//
// A mapping comes back with Targets filled or LookupFailure set. Every mapping waiting when a
// lookup of its name ends gets that answer, those asked for while it was under way too; one
// lookup is made per name at a time. So at a high rate of new connections to one name the name
// servers are asked once per lookup's time, not once per connection, and a slow answer delays
// every waiting connection by one lookup, never by several in a row.
//
// Stop gives back every mapping not answered yet, also those whose lookup is under way: the
// thread is then left to finish that lookup on its own (as a peer thread in a lookup is when
// its server stops) and drops the answer.
//
// Threads: Ask from any thread, Stop and the destructor from one; the answer callback runs on
// the lookup's thread, never after Stop has returned.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
    // Ends the thread, or leaves it to end after the lookup under way, and gives back the
    // mappings not answered yet.
    std::vector<std::unique_ptr<TPooledMapping>> Stop();

private:
    // Shared with the thread, which may outlive this object (see Stop).
    struct TState;
    // Name and bound address: the bound address decides the family kept.
    using TKey = std::pair<std::string, std::string>;
    struct TAnswer {
        std::vector<TIdIPAddress> Targets;
        std::optional<TPooledMapping::TLookupFailure> Failure;
    };

    static void Run(const std::shared_ptr<TState>& AState);
    static TKey KeyOf(const TPooledMapping& AMapping);
    static TAnswer LookUp(const TKey& AKey);

    std::shared_ptr<TState> FState;
    std::thread FThread;
};
