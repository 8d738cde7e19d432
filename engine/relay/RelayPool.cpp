#include "engine/relay/RelayPool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "engine/relay/TargetLookup.h"
#include "engine/texts/DumpFormats.h"
#include "net/IdException.h"
#include "net/IdListenerThread.h"
#include "net/IdStack.h"

namespace {

// The most one read takes from a side: a side's pieces grow from the least to the most while
// its destination takes each whole, and fall back to the least once one is not (see
// MovePiece).
constexpr int kLeastPiece = 64 * 1024;
constexpr int kMostPiece = 1024 * 1024;
// Pieces, and bytes, one mapping may move in a row before the other ready mappings get their
// turn.
constexpr int kPiecesPerTurn = 16;
constexpr std::size_t kBytesPerTurn = 1024 * 1024;
constexpr int kEventsPerWait = 256;
// Clients one thread accepts in a row before it serves its mappings again.
constexpr int kAcceptsPerEvent = 16;

// The epoll data of an event says whose it is: 0 the wake-up; the low bit set a listening
// socket (its number above it); the next bit set a mapping's side (its slot and the slot's
// generation, see TWorker::KeyOf); neither a racer's side (its address, which is aligned).
std::uint64_t ListenTag(int ASocket)
{
    return (static_cast<std::uint64_t>(ASocket) << 1) | 1u;
}
bool IsListenTag(std::uint64_t AData)
{
    return (AData & 1u) != 0;
}
int ListenSocketOf(std::uint64_t AData)
{
    return static_cast<int>(AData >> 1);
}
constexpr std::uint64_t kSideKeyBit = 2;
constexpr std::uint64_t kTargetSideBit = 4;
bool IsSideKey(std::uint64_t AData)
{
    return (AData & kSideKeyBit) != 0;
}

constexpr TRelayDirection kClientToServer = TRelayDirection::ClientToServer;
constexpr TRelayDirection kServerToClient = TRelayDirection::ServerToClient;

}  // namespace

// One pool thread and the mappings it serves. Everything but the inbox, the stop flag and the
// wake-up descriptor is used on the pool thread only.
//
// The listening sockets are registered level-triggered with EPOLLEXCLUSIVE: a client wakes one
// waiting pool thread, not all.
//
// Each socket is registered edge-triggered for reading and writing once, so a mapping costs no
// epoll_ctl while it relays; the side's Readable and Writable flags remember what the edges
// said until a read or write finds the socket drained or full. A mapping that ends closes its
// sockets without taking them out of the epoll set first (closing does that): its events name
// a slot whose generation changes when it is freed, so an event that still comes for a
// socket closed here (one a child being spawned shares for a moment) names nobody.
class TRelayPool::TWorker {
public:
    // Starts the thread; std::system_error when the system has no thread or descriptor left.
    explicit TWorker(TRelayPool& APool);
    // Stops and joins the thread (which ends every mapping it still has).
    ~TWorker();
    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;

    // Thread safe.
    void Post(std::unique_ptr<TPooledMapping> AMapping);
    void Wake();
    void Stop();
    void EndRequested();

private:
    struct TEntry;
    struct TSide {
        TEntry* Entry = nullptr;
        int Fd = -1;
        bool Readable = false;  // an edge said so, and no read has found it drained since
        bool Writable = true;
        bool Closing = false;  // the peer's end (or an error) is queued behind its bytes
        bool Racer = false;  // a later attempt of a raced connect (TRacer::Side)
        int PieceLimit = kLeastPiece;  // the most the next read from this side takes
    };
    // A later attempt of a connect that races several addresses; the first is the Target's.
    struct TRacer {
        std::unique_ptr<TIdTCPClient> Client;
        TSide Side;
    };
    struct TEntry {
        std::unique_ptr<TPooledMapping> Mapping;
        TSide Client;
        TSide Target;  // Fd -1 once a raced connect's first attempt has failed
        std::size_t Index = 0;  // position in FEntries
        std::uint32_t Slot = 0;  // in FSlots, while registered
        bool Queued = false;  // in FAgain
        bool Gone = false;  // ended or moved on; freed after the current batch of events
        std::vector<std::unique_ptr<TRacer>> Racers;
        bool Racing = false;  // in FRacing: another address begins at NextAttemptDue
        std::chrono::steady_clock::time_point NextAttemptDue;
        int LastConnectError = 0;
    };
    enum class TOutcome { Done, Blocked, Ended };

    void Run();
    int WaitTimeout() const;
    // Registers or unregisters the listening sockets as Hooks.AcceptHere, the pool and a pause
    // after a failed accept want it.
    void UpdateAccepting();
    void OnListenEvent(int AListenSocket);
    void ServeQueued();
    void OnWake();
    void TakeInbox();
    void Register(std::unique_ptr<TPooledMapping> AMapping);
    bool BeginConnect(TPooledMapping& AMapping);
    void EndUnregistered(TPooledMapping& AMapping);
    void StartRelaying(TPooledMapping& AMapping);
    bool Watch(TSide& ASide);
    std::uint64_t KeyOf(const TSide& ASide) const;
    TSide* SideOf(std::uint64_t AKey);
    void TakeSlot(TEntry& AEntry);
    void FreeSlot(TEntry& AEntry);
    void OnEvent(TSide& ASide, std::uint32_t AEvents);
    // A Connecting mapping's event: true once it relays.
    bool AdvanceConnect(TEntry& AEntry, TSide& ASide);
    static bool TargetConnectEnded(TEntry& AEntry);
    int EndAttempt(TIdTCPClient& AClient, int AFd);
    bool StartNextAttempt(TEntry& AEntry);
    void AttemptFailed(TEntry& AEntry, int ACode);
    void OnRacerEvent(TEntry& AEntry, TSide& ASide, std::uint32_t AEvents);
    void WinRace(TEntry& AEntry, std::unique_ptr<TRacer> AWinner);
    void GiveUpRacers(TEntry& AEntry);
    void ScheduleNextAttempt(TEntry& AEntry);
    void Unschedule(TEntry& AEntry);
    void StartDueAttempts();
    void Serve(TEntry& AEntry);
    TOutcome MovePiece(TEntry& AEntry, TSide& ASource, TSide& ADestination);
    TOutcome Write(TEntry& AEntry, TRelayDirection ADirection, std::string_view AOut);
    TOutcome WriteRest(TEntry& AEntry);
    static bool HasRest(const TEntry& AEntry) { return AEntry.Mapping->Pipeline->HasOutgoing(); }
    TSide& DestinationOf(TEntry& AEntry, TRelayDirection ADirection)
    {
        return ADirection == kClientToServer ? AEntry.Target : AEntry.Client;
    }
    static bool HasBytesWaiting(const TSide& ASide);
    void HearLastWords(TEntry& AEntry, const TSide& ASide);
    // ADrained: neither socket has bytes unread (see TIdSocketHandle::CloseDrained).
    void End(TEntry& AEntry, bool AClientLeftBeforeAnswer, bool ADrained = false);
    bool EndIfRequested(TEntry& AEntry);
    void NoteSideEnd(TEntry& AEntry, const TSide& ASide, int AError);
    void MoveToPeerThread(TEntry& AEntry);
    // Out of FEntries and its slot; a mapping that moves on leaves the epoll set too (one that
    // ends closes its sockets instead).
    std::unique_ptr<TEntry> Remove(TEntry& AEntry, bool ALeaveEpoll);
    void EndAll();

    TRelayPool& FPool;
    int FEpoll = -1;
    int FWakeFd = -1;
    // A wake-up for the inbox is on its way: later posts need not write to FWakeFd again.
    std::atomic<bool> FInboxWakePending{false};
    std::mutex FInboxLock;  // guards FInbox
    std::vector<std::unique_ptr<TPooledMapping>> FInbox;
    std::atomic<bool> FStopping{false};
    std::atomic<bool> FEndRequested{false};
    std::vector<std::unique_ptr<TEntry>> FEntries;
    struct TSlot {
        TEntry* Entry = nullptr;
        std::uint32_t Generation = 0;
    };
    std::vector<TSlot> FSlots;
    std::vector<std::uint32_t> FFreeSlots;
    std::vector<std::unique_ptr<TEntry>> FGone;
    std::vector<TEntry*> FAgain;  // used their turn up with bytes still ready
    std::vector<TEntry*> FRacing;  // connects with another address to begin at a time
    std::vector<std::unique_ptr<TRacer>> FLostRacers;  // closed; freed with FGone
    std::unique_ptr<char[]> FBuffer;
    std::size_t FTurnBytes = 0;  // read by the mapping being served in its turn so far
    std::vector<int> FListening;  // the pool's listening sockets while registered here
    bool FListenBroken = false;  // a listening socket failed: no more accepts
    bool FAcceptPaused = false;  // until FAcceptResumes
    std::chrono::steady_clock::time_point FAcceptResumes;
    std::thread FThread;
};

TPooledMapping::TLookupFailure TPooledMapping::FailureOf(const std::exception& AFailure)
{
    const auto* socketError = dynamic_cast<const EIdSocketError*>(&AFailure);
    return TLookupFailure{socketError ? socketError->LastError() : 0, AFailure.what()};
}

void TPooledMapping::RaiseLookupFailure() const
{
    if (LookupFailure->Code != 0)
        throw EIdSocketError(LookupFailure->Code, LookupFailure->Text);
    throw EIdException(LookupFailure->Text);
}

// ---- the pool ----

TRelayPool::TRelayPool(TRelayPoolHooks AHooks, unsigned AThreads)
    : FHooks(std::move(AHooks)),
      FThreadCount(AThreads > 0 ? AThreads : DefaultThreadCount(std::thread::hardware_concurrency()))
{}

unsigned TRelayPool::DefaultThreadCount(unsigned ACores)
{
    return ACores > 2 ? ACores - 1 : 1;  // 0: the count is unknown
}

TRelayPool::~TRelayPool()
{
    Close();
}

void TRelayPool::Open()
{
    std::lock_guard lock(FLock);
    FOpen = true;
}

bool TRelayPool::Adopt(std::unique_ptr<TPooledMapping>& AMapping)
{
    std::lock_guard lock(FLock);
    if (!FOpen)
        return false;
    // Threads start as mappings come, up to the thread count.
    if (FWorkers.size() < FThreadCount) {
        try {
            FWorkers.push_back(std::make_unique<TWorker>(*this));
        } catch (const std::system_error&) {
            if (FWorkers.empty())
                return false;
        }
    }
    TWorker& worker = *FWorkers[FNextWorker++ % FWorkers.size()];
    FCount.fetch_add(1);
    FAdopted.fetch_add(1);
    worker.Post(std::move(AMapping));
    return true;
}

void TRelayPool::Listen(const std::vector<int>& ASockets)
{
    std::lock_guard lock(FLock);
    if (!FOpen || FListens.load() || ASockets.empty())
        return;
    // All or none: a socket neither the pool nor the listener accepted on would be deaf.
    std::vector<int> own;
    for (int socket : ASockets) {
        const int copy = fcntl(socket, F_DUPFD_CLOEXEC, 0);
        if (copy == -1 || GStack().SetNonBlocking(copy, true) == -1) {
            if (copy != -1)
                close(copy);
            for (int made : own)
                close(made);
            return;
        }
        own.push_back(copy);
    }
    FListenSockets = std::move(own);
    while (FWorkers.size() < FThreadCount) {
        try {
            FWorkers.push_back(std::make_unique<TWorker>(*this));
        } catch (const std::system_error&) {
            break;
        }
    }
    if (FWorkers.empty()) {
        for (int socket : FListenSockets)
            close(socket);
        FListenSockets.clear();
        return;
    }
    FListens = true;
    for (auto& worker : FWorkers)
        worker->Wake();
}

void TRelayPool::SettingsChanged()
{
    if (FCount.load() == 0 && !FListens.load())
        return;
    std::lock_guard lock(FLock);
    for (auto& worker : FWorkers)
        worker->Wake();
}

void TRelayPool::EndRequested()
{
    if (FCount.load() == 0)
        return;
    std::lock_guard lock(FLock);
    for (auto& worker : FWorkers)
        worker->EndRequested();
}

void TRelayPool::Close()
{
    std::unique_ptr<TTargetLookup> lookup;
    {
        std::lock_guard lock(FLock);
        FOpen = false;
        lookup = std::move(FLookup);
    }
    // The lookup under way is answered to a pool thread first, which ends it below.
    if (lookup)
        for (auto& mapping : lookup->Stop())
            EndWaiting(std::move(mapping));
    std::vector<std::unique_ptr<TWorker>> workers;
    {
        std::lock_guard lock(FLock);
        workers.swap(FWorkers);
    }
    for (auto& worker : workers)
        worker->Stop();
    workers.clear();  // joins each
    std::lock_guard lock(FLock);
    for (int socket : FListenSockets)
        close(socket);
    FListenSockets.clear();
    FListens = false;
}

void TRelayPool::LookUp(std::unique_ptr<TPooledMapping> AMapping)
{
    std::unique_lock lock(FLock);
    if (!FOpen) {
        lock.unlock();
        EndWaiting(std::move(AMapping));
        return;
    }
    if (!FLookup) {
        try {
            FLookup = std::make_unique<TTargetLookup>(
                [this](std::unique_ptr<TPooledMapping> AAnswered) {
                    Answered(std::move(AAnswered));
                });
        } catch (const std::system_error& e) {
            // No thread for the lookup: the connect fails with that.
            AMapping->LookupFailure = TPooledMapping::FailureOf(e);
            lock.unlock();
            Answered(std::move(AMapping));
            return;
        }
    }
    FLookup->Ask(std::move(AMapping));
}

void TRelayPool::Answered(std::unique_ptr<TPooledMapping> AMapping)
{
    {
        std::lock_guard lock(FLock);
        if (!FWorkers.empty()) {
            FWorkers[FNextWorker++ % FWorkers.size()]->Post(std::move(AMapping));
            return;
        }
    }
    EndWaiting(std::move(AMapping));
}

void TRelayPool::EndWaiting(std::unique_ptr<TPooledMapping> AMapping)
{
    AMapping->Client.reset();
    bool stopped;
    {
        std::lock_guard lock(FLock);
        stopped = !FOpen;
    }
    FHooks.Ended(AMapping->Record, false, stopped);
    AMapping.reset();
    FCount.fetch_sub(1);
}

// ---- a pool thread: set-up, wake-ups, end ----

TRelayPool::TWorker::TWorker(TRelayPool& APool)
    : FPool(APool), FBuffer(std::make_unique_for_overwrite<char[]>(kMostPiece))
{
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the wake-up
    if (FEpoll == -1 || FWakeFd == -1 || epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &ev) == -1) {
        const int error = errno;
        if (FEpoll != -1)
            close(FEpoll);
        if (FWakeFd != -1)
            close(FWakeFd);
        throw std::system_error(error, std::generic_category());
    }
    FThread = std::thread([this] { Run(); });
}

TRelayPool::TWorker::~TWorker()
{
    Stop();
    if (FThread.joinable())
        FThread.join();
    close(FWakeFd);
    close(FEpoll);
}

void TRelayPool::TWorker::Post(std::unique_ptr<TPooledMapping> AMapping)
{
    {
        std::lock_guard lock(FInboxLock);
        FInbox.push_back(std::move(AMapping));
    }
    // At a high rate of new connections most posts find the thread not yet awake from the
    // last one; one wake-up takes them all.
    if (!FInboxWakePending.exchange(true))
        Wake();
}

void TRelayPool::TWorker::Wake()
{
    const std::uint64_t one = 1;
    // A full counter (never reached) would still leave the descriptor readable.
    [[maybe_unused]] const ssize_t n = write(FWakeFd, &one, sizeof one);
}

void TRelayPool::TWorker::Stop()
{
    FStopping = true;
    Wake();
}

void TRelayPool::TWorker::EndRequested()
{
    FEndRequested = true;
    Wake();
}

void TRelayPool::TWorker::Run()
{
    epoll_event events[kEventsPerWait];
    UpdateAccepting();
    while (!FStopping.load()) {
        const int n = epoll_wait(FEpoll, events, kEventsPerWait, WaitTimeout());
        if (n == -1 && errno != EINTR)
            break;  // a broken epoll descriptor: end the mappings
        for (int i = 0; i < n; ++i) {
            if (IsListenTag(events[i].data.u64)) {
                OnListenEvent(ListenSocketOf(events[i].data.u64));
                continue;
            }
            if (events[i].data.u64 == 0) {
                OnWake();
                continue;
            }
            if (TSide* side = SideOf(events[i].data.u64))
                OnEvent(*side, events[i].events);
        }
        ServeQueued();
        StartDueAttempts();
        FGone.clear();
        FLostRacers.clear();
        if (FAcceptPaused && std::chrono::steady_clock::now() >= FAcceptResumes) {
            FAcceptPaused = false;
            UpdateAccepting();
        }
    }
    EndAll();
}

int TRelayPool::TWorker::WaitTimeout() const
{
    if (!FAgain.empty())
        return 0;
    if (!FAcceptPaused && FRacing.empty())
        return -1;
    auto next = FAcceptPaused ? FAcceptResumes : FRacing.front()->NextAttemptDue;
    for (const TEntry* entry : FRacing)
        next = std::min(next, entry->NextAttemptDue);
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void TRelayPool::TWorker::UpdateAccepting()
{
    const bool wanted = FPool.FListens.load() && !FListenBroken && !FAcceptPaused &&
        !FStopping.load() && FPool.FHooks.AcceptHere && FPool.FHooks.AcceptHere();
    if (wanted == !FListening.empty())
        return;
    if (!wanted) {
        for (int socket : FListening)
            epoll_ctl(FEpoll, EPOLL_CTL_DEL, socket, nullptr);
        FListening.clear();
        return;
    }
    {
        std::lock_guard lock(FPool.FLock);
        FListening = FPool.FListenSockets;
    }
    for (int socket : FListening) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.u64 = ListenTag(socket);
        if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, socket, &ev) == -1) {
            // Not for this thread, then; the others (or the listener, at the next activation)
            // accept.
            FListenBroken = true;
            UpdateAccepting();
            return;
        }
    }
}

void TRelayPool::TWorker::OnListenEvent(int AListenSocket)
{
    // Asked again before each batch: a client that connects after the channel became watched
    // is left to the listener even when this thread has not had the wake-up yet.
    UpdateAccepting();
    if (FListening.empty())
        return;
    for (int i = 0; i < kAcceptsPerEvent; ++i) {
        std::unique_ptr<TPooledMapping> mapping;
        const TPoolAcceptNext next = FPool.FHooks.Accept(AListenSocket, mapping);
        if (mapping) {
            FPool.FCount.fetch_add(1);
            FPool.FAdopted.fetch_add(1);
            Register(std::move(mapping));
        }
        switch (next) {
            case TPoolAcceptNext::More: break;
            case TPoolAcceptNext::Drained: return;
            case TPoolAcceptNext::Pause:
                // The client stays pending and the socket readable: spinning on it would not
                // free a descriptor.
                FAcceptPaused = true;
                FAcceptResumes = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(TIdListenerThread::ResourcePauseMs);
                UpdateAccepting();
                return;
            case TPoolAcceptNext::Stop:
                FListenBroken = true;
                UpdateAccepting();
                return;
        }
    }
}

void TRelayPool::TWorker::ServeQueued()
{
    std::vector<TEntry*> queued;
    queued.swap(FAgain);
    for (TEntry* entry : queued) {
        entry->Queued = false;
        if (!entry->Gone)
            Serve(*entry);
    }
}

void TRelayPool::TWorker::OnWake()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(FWakeFd, &count, sizeof count);
    // Cleared before the inbox is taken: a post after this finds it clear and wakes again.
    FInboxWakePending.store(false);
    TakeInbox();
    if (FStopping.load())
        return;
    UpdateAccepting();
    if (FEndRequested.exchange(false)) {
        for (std::size_t i = 0; i < FEntries.size();) {
            if (!EndIfRequested(*FEntries[i]))
                ++i;  // an ended entry's place takes the last
        }
    }
    // A setting changed (or a mapping came in just after one did): a watched channel's
    // mappings leave now, also those that are idle and would not be looked at otherwise.
    if (!FEntries.empty() && FPool.FHooks.Watched()) {
        // A mapping whose connect is under way moves once it has ended.
        for (std::size_t i = FEntries.size(); i-- > 0;)
            if (!FEntries[i]->Mapping->Connecting)
                MoveToPeerThread(*FEntries[i]);
    }
}

void TRelayPool::TWorker::TakeInbox()
{
    std::vector<std::unique_ptr<TPooledMapping>> inbox;
    {
        std::lock_guard lock(FInboxLock);
        inbox.swap(FInbox);
    }
    for (auto& mapping : inbox)
        Register(std::move(mapping));
}

void TRelayPool::TWorker::Register(std::unique_ptr<TPooledMapping> AMapping)
{
    if (AMapping->ConnectNotBegun()) {
        if (FStopping.load()) {  // the pool is closing: no connect is begun any more
            EndUnregistered(*AMapping);
            return;
        }
        if (AMapping->LookupNeeded()) {  // comes back here with its addresses
            FPool.LookUp(std::move(AMapping));
            return;
        }
        if (!BeginConnect(*AMapping))
            return;
    }
    auto owned = std::make_unique<TEntry>();
    TEntry& entry = *owned;
    entry.Mapping = std::move(AMapping);
    // From now on this thread reads, writes and closes both sockets.
    entry.Mapping->Client->Binding()->ClaimOwnership();
    entry.Mapping->Target->Binding()->ClaimOwnership();
    entry.Client = TSide{&entry, entry.Mapping->Client->Binding()->Handle()};
    entry.Target = TSide{&entry, entry.Mapping->Target->Binding()->Handle()};
    entry.Index = FEntries.size();
    FEntries.push_back(std::move(owned));
    TakeSlot(entry);
    // An end asked for while the mapping was on its way here.
    if (EndIfRequested(entry))
        return;
    // Registering reports what is ready already, so bytes that came meanwhile are not missed.
    if (entry.Mapping->Connecting)
        entry.Target.Writable = false;  // until the connect has ended
    if (!Watch(entry.Client) || !Watch(entry.Target)) {
        End(entry, false);
        return;
    }
    if (entry.Mapping->Connecting && entry.Mapping->NextTarget < entry.Mapping->Targets.size())
        ScheduleNextAttempt(entry);
}

// Begins the connect the listener left to the pool; false when it failed at once, the mapping
// then being ended (Hooks.Connected with the failure, then Hooks.Ended).
bool TRelayPool::TWorker::BeginConnect(TPooledMapping& AMapping)
{
    try {
        if (AMapping.LookupFailure)
            AMapping.RaiseLookupFailure();
        // An address that fails at once (of a family this host has no route for) gives way
        // to the next at once, as in a peer thread's race.
        for (;;) {
            try {
                AMapping.Connecting =
                    !AMapping.Target->BeginConnectTo(AMapping.Targets[AMapping.NextTarget++]);
                break;
            } catch (const EIdSocketError&) {
                if (AMapping.NextTarget == AMapping.Targets.size())
                    throw;
            }
        }
    } catch (const std::exception& e) {
        FPool.FHooks.Connected(AMapping, &e, false);
        EndUnregistered(AMapping);
        return false;
    }
    if (!AMapping.Connecting)
        StartRelaying(AMapping);
    return true;
}

// Ends a mapping that never got an entry (and so no place in the epoll set).
void TRelayPool::TWorker::EndUnregistered(TPooledMapping& AMapping)
{
    AMapping.Client.reset();
    FPool.FHooks.Ended(AMapping.Record, false, FStopping.load());
    FPool.FCount.fetch_sub(1);
}

bool TRelayPool::TWorker::Watch(TSide& ASide)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = KeyOf(ASide);
    return epoll_ctl(FEpoll, EPOLL_CTL_ADD, ASide.Fd, &ev) == 0;
}

std::uint64_t TRelayPool::TWorker::KeyOf(const TSide& ASide) const
{
    if (ASide.Racer)
        return reinterpret_cast<std::uintptr_t>(&ASide);
    const TEntry& entry = *ASide.Entry;
    return (std::uint64_t{FSlots[entry.Slot].Generation} << 32) |
        (std::uint64_t{entry.Slot} << 3) | (&ASide == &entry.Target ? kTargetSideBit : 0) |
        kSideKeyBit;
}

// The side an event names; nullptr for a mapping that has ended or moved on since.
TRelayPool::TWorker::TSide* TRelayPool::TWorker::SideOf(std::uint64_t AKey)
{
    if (!IsSideKey(AKey))
        return reinterpret_cast<TSide*>(static_cast<std::uintptr_t>(AKey));
    const auto slot = static_cast<std::uint32_t>((AKey & 0xffffffffu) >> 3);
    const TSlot& held = FSlots[slot];
    if (held.Generation != static_cast<std::uint32_t>(AKey >> 32) || !held.Entry)
        return nullptr;
    return (AKey & kTargetSideBit) ? &held.Entry->Target : &held.Entry->Client;
}

void TRelayPool::TWorker::TakeSlot(TEntry& AEntry)
{
    if (FFreeSlots.empty()) {
        AEntry.Slot = static_cast<std::uint32_t>(FSlots.size());
        FSlots.push_back(TSlot{});
    } else {
        AEntry.Slot = FFreeSlots.back();
        FFreeSlots.pop_back();
    }
    FSlots[AEntry.Slot].Entry = &AEntry;
}

void TRelayPool::TWorker::FreeSlot(TEntry& AEntry)
{
    TSlot& slot = FSlots[AEntry.Slot];
    slot.Entry = nullptr;
    ++slot.Generation;  // wraps after 2^32 mappings of one slot: no event waits that long
    FFreeSlots.push_back(AEntry.Slot);
}

void TRelayPool::TWorker::EndAll()
{
    TakeInbox();
    while (!FEntries.empty())
        End(*FEntries.back(), false);
    FGone.clear();
    FAgain.clear();
}

// ---- relaying ----

void TRelayPool::TWorker::OnEvent(TSide& ASide, std::uint32_t AEvents)
{
    TEntry& entry = *ASide.Entry;
    if (entry.Gone)
        return;
    if (ASide.Racer) {
        OnRacerEvent(entry, ASide, AEvents);
        return;
    }
    // Hang-ups and errors count as both: the next read or write reports them.
    if (AEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        ASide.Readable = true;
    if (AEvents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        ASide.Closing = true;
    if (AEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR))
        ASide.Writable = true;
    if (entry.Mapping->Connecting && !AdvanceConnect(entry, ASide))
        return;
    Serve(entry);
}

// True when the target's connect has ended (its event may be behind in this batch).
bool TRelayPool::TWorker::TargetConnectEnded(TEntry& AEntry)
{
    pollfd pfd{AEntry.Target.Fd, POLLOUT, 0};
    if (::poll(&pfd, 1, 0) != 1)
        return false;
    AEntry.Target.Writable = true;
    if (pfd.revents & (POLLERR | POLLHUP))
        AEntry.Target.Closing = true;
    return true;
}

// The target's socket turning writable ends the connect. A client that resets, or closes with
// nothing unread, before that gives the connect up; one that sent bytes and closed keeps it
// going, so that its bytes still reach the target.
bool TRelayPool::TWorker::AdvanceConnect(TEntry& AEntry, TSide& ASide)
{
    TPooledMapping& mapping = *AEntry.Mapping;
    if (&ASide == &AEntry.Client) {
        if (!ASide.Closing || !GStack().PeerHasLeft(ASide.Fd))
            return false;
        // A connect that has ended already is told first, as a peer thread's wait does: a
        // refused target still gives its error line when the client has gone meanwhile. A
        // race that would go on to the next address is given up instead.
        if (TargetConnectEnded(AEntry) && AdvanceConnect(AEntry, AEntry.Target))
            return true;
        if (AEntry.Gone)
            return false;
        FPool.FHooks.Connected(mapping, nullptr, true);
        End(AEntry, false);
        return false;
    }
    if (!ASide.Writable)
        return false;
    // Writable without an error or hang-up is a connect that succeeded: only the others are
    // asked how it ended.
    if (const int code = ASide.Closing ? EndAttempt(*mapping.Target, ASide.Fd) : 0; code != 0) {
        ASide.Fd = -1;
        AttemptFailed(AEntry, code);
        return false;
    }
    mapping.Target->NotifyConnected();
    GiveUpRacers(AEntry);  // the first address won
    mapping.Connecting = false;
    StartRelaying(mapping);
    return true;
}

// How the connect of one attempt ended: 0, or the error code, the attempt's socket having left
// the epoll set and been closed (its number may be reused at once).
int TRelayPool::TWorker::EndAttempt(TIdTCPClient& AClient, int AFd)
{
    if (GStack().ConnectOutcome(AFd) == 0)
        return 0;
    const int code = TIdStack::LastErrorCode();
    epoll_ctl(FEpoll, EPOLL_CTL_DEL, AFd, nullptr);
    AClient.Disconnect();
    return code;
}

// Begins the connect to the next address not tried yet, as a racer beside the attempts under
// way; an address that fails at once gives way to the next. False when no attempt began.
bool TRelayPool::TWorker::StartNextAttempt(TEntry& AEntry)
{
    TPooledMapping& mapping = *AEntry.Mapping;
    while (mapping.NextTarget < mapping.Targets.size()) {
        auto racer = std::make_unique<TRacer>();
        racer->Client = std::make_unique<TIdTCPClient>();
        TIdTCPClient& client = *racer->Client;
        client.SetHost(mapping.Target->Host());
        client.SetPort(mapping.Target->Port());
        client.SetBoundIP(mapping.Target->BoundIP());
        client.SetUseNagle(mapping.Target->UseNagle());
        try {
            // One connected at once is told by its first event, as any other.
            client.BeginConnectTo(mapping.Targets[mapping.NextTarget++]);
        } catch (const EIdSocketError& e) {
            AEntry.LastConnectError = e.LastError();
            continue;
        }
        racer->Side = TSide{&AEntry, client.Binding()->Handle()};
        racer->Side.Racer = true;
        if (!Watch(racer->Side)) {
            AEntry.LastConnectError = errno;
            continue;
        }
        AEntry.Racers.push_back(std::move(racer));
        if (mapping.NextTarget < mapping.Targets.size())
            ScheduleNextAttempt(AEntry);
        else
            Unschedule(AEntry);
        return true;
    }
    Unschedule(AEntry);
    return false;
}

// An attempt failed with ACode: with none left under way the next address begins at once (a
// refusal does not wait out the delay); with none left to begin either, the connect has failed
// with the last failure's code.
void TRelayPool::TWorker::AttemptFailed(TEntry& AEntry, int ACode)
{
    AEntry.LastConnectError = ACode;
    if (AEntry.Target.Fd != -1 || !AEntry.Racers.empty() || StartNextAttempt(AEntry))
        return;
    try {
        GStack().RaiseError(AEntry.LastConnectError);
    } catch (const std::exception& e) {
        FPool.FHooks.Connected(*AEntry.Mapping, &e, false);
    }
    End(AEntry, false);
}

void TRelayPool::TWorker::OnRacerEvent(TEntry& AEntry, TSide& ASide, std::uint32_t AEvents)
{
    if (!(AEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR)))
        return;
    const auto it = std::find_if(AEntry.Racers.begin(), AEntry.Racers.end(),
                                 [&ASide](const auto& ARacer) { return &ARacer->Side == &ASide; });
    if (it == AEntry.Racers.end())
        return;
    std::unique_ptr<TRacer> racer = std::move(*it);
    AEntry.Racers.erase(it);
    if (const int code = EndAttempt(*racer->Client, racer->Side.Fd); code != 0) {
        FLostRacers.push_back(std::move(racer));
        AttemptFailed(AEntry, code);
        return;
    }
    WinRace(AEntry, std::move(racer));
    Serve(AEntry);
}

// A later address answered first: its socket becomes the target's, every other attempt is
// given up, and the mapping relays.
void TRelayPool::TWorker::WinRace(TEntry& AEntry, std::unique_ptr<TRacer> AWinner)
{
    TPooledMapping& mapping = *AEntry.Mapping;
    if (AEntry.Target.Fd != -1)
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, AEntry.Target.Fd, nullptr);
    GiveUpRacers(AEntry);
    mapping.Target = std::move(AWinner->Client);  // the first attempt's socket closes
    AEntry.Target = TSide{&AEntry, mapping.Target->Binding()->Handle()};
    // The registration stays; its events now name the target's side. Modifying it reports
    // what is ready already.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = KeyOf(AEntry.Target);
    if (epoll_ctl(FEpoll, EPOLL_CTL_MOD, AEntry.Target.Fd, &ev) == -1) {
        NoteSideEnd(AEntry, AEntry.Target, errno);
        End(AEntry, false);
        return;
    }
    mapping.Target->NotifyConnected();
    mapping.Connecting = false;
    StartRelaying(mapping);
}

// The attempts still under way leave the epoll set; their sockets close after this batch of
// events, which may still name them. No further address begins.
void TRelayPool::TWorker::GiveUpRacers(TEntry& AEntry)
{
    for (auto& racer : AEntry.Racers) {
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, racer->Side.Fd, nullptr);
        FLostRacers.push_back(std::move(racer));
    }
    AEntry.Racers.clear();
    Unschedule(AEntry);
}

void TRelayPool::TWorker::ScheduleNextAttempt(TEntry& AEntry)
{
    AEntry.NextAttemptDue =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TIdStack::AttemptDelayMs);
    if (!AEntry.Racing) {
        AEntry.Racing = true;
        FRacing.push_back(&AEntry);
    }
}

void TRelayPool::TWorker::Unschedule(TEntry& AEntry)
{
    if (!AEntry.Racing)
        return;
    AEntry.Racing = false;
    FRacing.erase(std::find(FRacing.begin(), FRacing.end(), &AEntry));
}

// Connects whose attempts have gone unanswered for the delay begin with their next address.
void TRelayPool::TWorker::StartDueAttempts()
{
    if (FRacing.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<TEntry*> due;
    for (TEntry* entry : FRacing)
        if (now >= entry->NextAttemptDue)
            due.push_back(entry);
    for (TEntry* entry : due)
        if (!entry->Gone && entry->Mapping->Connecting && !StartNextAttempt(*entry))
            AttemptFailed(*entry, entry->LastConnectError);
}

// The connect has ended well: the channel hears of it and the pipeline's stages start.
void TRelayPool::TWorker::StartRelaying(TPooledMapping& AMapping)
{
    FPool.FHooks.Connected(AMapping, nullptr, false);
    AMapping.Pipeline->Start(RelayNow());
}

// Moves pieces as the plain relay step does: the client's piece first, then the target's,
// each written whole before the mapping reads again. Also the piece boundary at which a
// mapping whose channel became watched leaves for a peer thread.
void TRelayPool::TWorker::Serve(TEntry& AEntry)
{
    if (AEntry.Mapping->Connecting)
        return;
    if (FPool.FHooks.Watched()) {
        MoveToPeerThread(AEntry);
        return;
    }
    FTurnBytes = 0;
    for (int turn = 0; turn < kPiecesPerTurn && FTurnBytes < kBytesPerTurn; ++turn) {
        if (HasRest(AEntry)) {
            if (WriteRest(AEntry) != TOutcome::Done)
                return;
            continue;
        }
        bool moved = false;
        if (AEntry.Client.Readable) {
            if (MovePiece(AEntry, AEntry.Client, AEntry.Target) == TOutcome::Ended)
                return;
            moved = true;
        }
        if (!HasRest(AEntry) && AEntry.Target.Readable) {
            if (MovePiece(AEntry, AEntry.Target, AEntry.Client) == TOutcome::Ended)
                return;
            moved = true;
        }
        if (!moved)
            return;
    }
    // Edges do not come again for bytes already there: come back after the others.
    if (!AEntry.Queued) {
        AEntry.Queued = true;
        FAgain.push_back(&AEntry);
    }
}

TRelayPool::TWorker::TOutcome TRelayPool::TWorker::MovePiece(TEntry& AEntry, TSide& ASource, TSide&)
{
    const int n = GStack().RecvIfReady(ASource.Fd, FBuffer.get(), ASource.PieceLimit);
    if (n < 0) {
        if (TIdStack::LastErrorCode() == Id_WSAEWOULDBLOCK) {
            ASource.Readable = false;
            return TOutcome::Done;
        }
        NoteSideEnd(AEntry, ASource, TIdStack::LastErrorCode());
        End(AEntry, false);  // a reset or another failure: no line, as on a peer thread
        return TOutcome::Ended;
    }
    if (n == 0) {
        NoteSideEnd(AEntry, ASource, 0);
        // The stages see the close (a TLS client that leaves in its handshake rejected the
        // certificate); what they would answer has nobody to go to.
        TRelayBytes close;
        AEntry.Mapping->Pipeline->Feed(
            &ASource == &AEntry.Client ? kClientToServer : kServerToClient, close, RelayNow());
        // A peer thread that finds the client gone writes the target's waiting bytes to it
        // in the same step, which fails with its error line; bytes already read for the
        // client count as waiting too.
        const bool clientLeft = &ASource == &AEntry.Client;
        const bool answerWaiting = clientLeft &&
            (!AEntry.Mapping->Pipeline->Outgoing(kServerToClient).empty() ||
             HasBytesWaiting(AEntry.Target));
        // A client that left with no answer waiting leaves both sockets with nothing unread.
        End(AEntry, answerWaiting, clientLeft && !answerWaiting);
        return TOutcome::Ended;
    }
    // A short read drained the socket and a new edge comes with the next bytes; but none
    // comes for an end that was already queued behind these bytes.
    if (n < ASource.PieceLimit && !ASource.Closing)
        ASource.Readable = false;
    FTurnBytes += static_cast<std::size_t>(n);
    const TRelayDirection direction =
        &ASource == &AEntry.Client ? kClientToServer : kServerToClient;
    TRelayPipeline& pipeline = *AEntry.Mapping->Pipeline;
    TRelayBytes piece(std::string_view(FBuffer.get(), static_cast<std::size_t>(n)));
    const std::string_view out = pipeline.Feed(direction, piece, RelayNow());
    // An unwatched channel's stages write no lines; a stage's line has nobody to go to here.
    if (pipeline.HasTexts())
        pipeline.TakeTexts();
    TOutcome outcome = Write(AEntry, direction, out);
    // Bulk moves in fewer, larger system calls while the destination keeps up; a destination
    // that does not gets small pieces again, so at most one large rest waits here for it.
    if (outcome == TOutcome::Done && n == ASource.PieceLimit)
        ASource.PieceLimit = std::min(2 * ASource.PieceLimit, kMostPiece);
    else if (outcome == TOutcome::Blocked)
        ASource.PieceLimit = kLeastPiece;
    // What a stage answered on its own towards the source is written with the next rest.
    if (outcome == TOutcome::Done && pipeline.HasOutgoing())
        outcome = WriteRest(AEntry);
    // A connection a stage failed ends once the alert is written (or could not be at once).
    if (outcome != TOutcome::Ended && pipeline.Failed()) {
        End(AEntry, false);
        return TOutcome::Ended;
    }
    return outcome;
}

TRelayPool::TWorker::TOutcome TRelayPool::TWorker::Write(TEntry& AEntry, TRelayDirection ADirection,
                                                         std::string_view AOut)
{
    TSide& destination = DestinationOf(AEntry, ADirection);
    TRelayPipeline& pipeline = *AEntry.Mapping->Pipeline;
    std::size_t sent = 0;
    if (destination.Writable && !AOut.empty()) {
        const int n =
            GStack().SendIfReady(destination.Fd, AOut.data(), static_cast<int>(AOut.size()));
        if (n < 0 && TIdStack::LastErrorCode() != Id_WSAEWOULDBLOCK) {
            const int error = TIdStack::LastErrorCode();
            HearLastWords(AEntry, destination);
            NoteSideEnd(AEntry, destination, error);
            End(AEntry, false);
            return TOutcome::Ended;
        }
        sent = n < 0 ? 0 : static_cast<std::size_t>(n);
    }
    pipeline.Wrote(ADirection, AOut, sent);
    if (sent == AOut.size())
        return TOutcome::Done;
    destination.Writable = false;
    return TOutcome::Blocked;
}

TRelayPool::TWorker::TOutcome TRelayPool::TWorker::WriteRest(TEntry& AEntry)
{
    for (const TRelayDirection direction : kBothDirections) {
        const std::string_view rest = AEntry.Mapping->Pipeline->Outgoing(direction);
        if (rest.empty())
            continue;
        if (!DestinationOf(AEntry, direction).Writable)
            return TOutcome::Blocked;
        if (const TOutcome outcome = Write(AEntry, direction, rest); outcome != TOutcome::Done)
            return outcome;
    }
    return TOutcome::Done;
}

// Notes on the record how ASide ended the mapping: AError 0 is its orderly close.
void TRelayPool::TWorker::NoteSideEnd(TEntry& AEntry, const TSide& ASide, int AError)
{
    if (TConnectionRecord* record = AEntry.Mapping->Record.get())
        record->NoteSideEnd(
            &ASide == &AEntry.Client, AError,
            AError == 0 ? std::string() : ReplaceLineBreaks(TIdStack::ErrorText(AError), " - "));
}

bool TRelayPool::TWorker::HasBytesWaiting(const TSide& ASide)
{
    char byte;
    return ::recv(ASide.Fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// A side that fails a write by resetting may have said why just before (a TLS alert, sent
// as it closed with our bytes unread): its stages read that first, so that the reason is told.
void TRelayPool::TWorker::HearLastWords(TEntry& AEntry, const TSide& ASide)
{
    const int n = GStack().RecvIfReady(ASide.Fd, FBuffer.get(), kLeastPiece);
    if (n <= 0)
        return;
    TRelayPipeline& pipeline = *AEntry.Mapping->Pipeline;
    TRelayBytes words(std::string_view(FBuffer.get(), static_cast<std::size_t>(n)));
    pipeline.Feed(&ASide == &AEntry.Client ? kClientToServer : kServerToClient, words, RelayNow());
    if (pipeline.HasTexts())
        pipeline.TakeTexts();
}

// ---- leaving the pool ----

std::unique_ptr<TRelayPool::TWorker::TEntry> TRelayPool::TWorker::Remove(TEntry& AEntry,
                                                                        bool ALeaveEpoll)
{
    if (ALeaveEpoll) {
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, AEntry.Client.Fd, nullptr);
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, AEntry.Target.Fd, nullptr);
    }
    FreeSlot(AEntry);
    GiveUpRacers(AEntry);
    AEntry.Gone = true;
    const std::size_t index = AEntry.Index;
    std::unique_ptr<TEntry> owned = std::move(FEntries[index]);
    if (index + 1 != FEntries.size()) {
        FEntries[index] = std::move(FEntries.back());
        FEntries[index]->Index = index;
    }
    FEntries.pop_back();
    return owned;
}

void TRelayPool::TWorker::End(TEntry& AEntry, bool AClientLeftBeforeAnswer, bool ADrained)
{
    std::unique_ptr<TEntry> owned = Remove(AEntry, false);
    std::unique_ptr<TPooledMapping> mapping = std::move(owned->Mapping);
    if (ADrained) {
        mapping->Client->Binding()->CloseDrained();
        mapping->Target->Binding()->CloseDrained();
    }
    mapping->Client.reset();  // closes the client's socket first, as a peer thread does
    FPool.FHooks.Ended(mapping->Record, AClientLeftBeforeAnswer, FStopping.load());
    mapping.reset();
    FPool.FCount.fetch_sub(1);
    FGone.push_back(std::move(owned));  // events of this batch may still point at it
}

// Ends AEntry when its record asks for an end; true when it did.
bool TRelayPool::TWorker::EndIfRequested(TEntry& AEntry)
{
    TConnectionRecord* record = AEntry.Mapping->Record.get();
    if (!record)
        return false;
    const TEndRequest request = record->EndRequested();
    if (request == TEndRequest::None)
        return false;
    if (request == TEndRequest::Reset) {
        AEntry.Mapping->Target->DisconnectWithReset();
        AEntry.Mapping->Client->DisconnectWithReset();
    }
    End(AEntry, false);
    return true;
}

void TRelayPool::TWorker::MoveToPeerThread(TEntry& AEntry)
{
    // A connect begun here leaves the target's socket non-blocking (every call here passes
    // MSG_DONTWAIT anyway); a peer thread blocks on it. Moves are rare: no flag keeps track.
    if (GStack().SetNonBlocking(AEntry.Target.Fd, false) == -1) {
        NoteSideEnd(AEntry, AEntry.Target, TIdStack::LastErrorCode());
        End(AEntry, false);
        return;
    }
    std::unique_ptr<TEntry> owned = Remove(AEntry, true);
    std::unique_ptr<TPooledMapping> mapping = std::move(owned->Mapping);
    const std::shared_ptr<TConnectionRecord> record = mapping->Record;
    if (FPool.FHooks.Resume(std::move(mapping)))
        FPool.FResumed.fetch_add(1);
    else
        FPool.FHooks.Ended(record, false, FStopping.load());
    FPool.FCount.fetch_sub(1);
    FGone.push_back(std::move(owned));
}
