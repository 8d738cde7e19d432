// The mapping server of one channel: a TIdMappedPortTCP that counts connections and bytes,
// writes the engine's log texts (connection lines, data records in ten dump modes, delay lines,
// error lines) and can hold each direction to a bytes-per-second limit.
//
//   TqvMappedPortTCP map;                          // main thread
//   map.ChannelName = "Channel 1;";
//   map.OnLog = [](const std::string& text) { ... };   // main thread, and any thread for
//                                                       // the error line
//   map.Bindings().Clear(); map.SetDefaultPort(8080); map.Bindings().Add();
//   map.SetMappedHost("10.0.0.1"); map.SetMappedPort(80);
//   map.Logging = true; map.LogConnInfo = true; map.LogDataMode = 4; map.MaxSpeedCS = 0;
//   map.SetActive(true);
//   ... map.GetCounters(...), map.GetStatistics(), map.ResetCounters() ...
//   map.SetActive(false);
//
// Threads:
//  - Set only on the main thread while the server is inactive: ChannelName, the mapping
//    target and bindings, SetEngineClock.
//  - OnLog: set on the main thread (at every start); safe to replace while peer threads of
//    an earlier activation are still ending (see TLogCallback).
//  - Live settings (LogDataMode, Logging, MaxSpeedCS, MaxSpeedSC, LogConnInfo, LogDelayInfo,
//    DelayPerThread, MaxConnections, MaxConnectionsPerSource): written by the main thread at
//    any time, read afresh by the peer threads (and the listener) at each use; each is one
//    relaxed atomic word, so no lock is taken. SetAllowFrom swaps the whole list under the
//    gate's lock.
//  - Access: the listener thread admits or refuses every accepted client (DoAdmit) before a
//    peer thread or an outbound connection exists; a refused one is reset, counted in
//    RefusedIn and reported by at most one line a second, delivered on the listener thread.
//  - Counters: changed by peer threads with atomic operations; GetCounters, GetStatistics and
//    ResetCounters are thread safe (the window calls them on the main thread).
//  - Conditions(): set on the main thread at any time (see NetConditions.h); a connection
//    draws its conditions when it connects and applies the values afresh to every piece.
//  - Connections: every connection has a record in the channel's registry from its accept on;
//    ConnectionSnapshot, FindConnection and CloseConnection are thread safe (the window calls
//    them on the main thread). Capture and CaptureToFile are live settings like the others.
//  - Texts go to OnLog on the main thread through the peer thread's Synchronize, which blocks
//    the peer until the main thread has served it; only the error line of a thread that ends
//    by an exception is delivered on the peer thread itself (LogDirect).
//
// Two ways to carry a connection: while the channel is unwatched (RelayWatched false) a
// connection rides the server's relay pool (see RelayPool.h) once its peer thread has
// connected it, and that thread ends; when the channel becomes watched, each pooled connection
// continues on a new peer thread of its own. Counters count both alike (CurrentThreads counts
// connections, not threads); pooled connections write no lines but the error line a peer
// thread would write.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ConnectionGate.h"
#include "engine/CaptureFile.h"
#include "engine/CaptureTap.h"
#include "engine/ConnectionRegistry.h"
#include "engine/DumpFormats.h"
#include "engine/EngineClock.h"
#include "engine/IdMappedPortTCP.h"
#include "engine/LineThrottle.h"
#include "engine/LiveSetting.h"
#include "engine/NetConditions.h"
#include "engine/RelayPool.h"
#include "engine/LogCallback.h"

class TqvMappedPortTCP : public TIdMappedPortTCP {
public:
    explicit TqvMappedPortTCP(TIdBaseComponent* AOwner = nullptr);
    ~TqvMappedPortTCP() override;

    // Counters. The byte counters are 64-bit so that a channel past 2 GiB keeps counting.
    std::atomic<std::int32_t> CurrentThreads{0};
    std::atomic<std::int32_t> MaxThreads{0};
    std::atomic<std::int32_t> ConnectsIn{0};
    std::atomic<std::int32_t> DisconnectsIn{0};
    std::atomic<std::int32_t> ConnectsOut{0};
    std::atomic<std::int32_t> CurrentTransmittingThreads{0};
    std::atomic<std::int64_t> BusyBytesCS{0};
    std::atomic<std::int64_t> BusyBytesSC{0};
    std::atomic<std::int64_t> BytesCS{0};
    std::atomic<std::int64_t> BytesSC{0};
    // Local date-time (days since 1899-12-30) at which the current busy period began.
    std::atomic<double> BusyStart{0.0};
    // Clients refused by the access settings since the last reset.
    std::atomic<std::int32_t> RefusedIn{0};

    TLogCallback OnLog;
    TLiveSetting<std::int32_t> LogDataMode{0};
    TLiveSetting<bool> Logging{false};
    std::string ChannelName;
    TLiveSetting<bool> LogDelayInfo{false};
    TLiveSetting<bool> LogConnInfo{false};
    TLiveSetting<bool> DelayPerThread{false};
    TLiveSetting<std::int32_t> MaxSpeedCS{0};
    TLiveSetting<std::int32_t> MaxSpeedSC{0};
    // Most connections held at once, in all and per client address; 0 or less: no limit.
    TLiveSetting<std::int32_t> MaxConnections{0};
    TLiveSetting<std::int32_t> MaxConnectionsPerSource{0};

    // The clients served from now on (see TAllowList; empty: everyone). Returns empty when the
    // text parsed, else what is wrong with it; the channel then refuses every client. Thread
    // safe (the window calls it on the main thread).
    std::string SetAllowFrom(const std::string& AText);
    // What SetAllowFrom last found wrong, or empty. Thread safe.
    std::string AllowFromProblem() const { return FGate.AllowFromProblem(); }
    // Connections admitted and not yet ended, as the limits count them. Thread safe.
    std::int32_t AdmittedConnections() const { return FGate.OpenConnections(); }
    // Keep the bytes of the connections in memory; write them to the channel's capture file.
    TLiveSetting<bool> Capture{false};
    TLiveSetting<bool> CaptureToFile{false};

    // The channel number of the records and the capture files' names, and the folder of those
    // files. Main thread, while inactive.
    void SetCapturePlace(const std::string& AFolder, int AChannel);
    // The open and the recently ended connections. Thread safe.
    std::vector<TConnectionSnapshot> ConnectionSnapshot() const { return FRegistry.Snapshot(); }
    // The record of an open or recently ended connection (for its capture), or nullptr.
    std::shared_ptr<TConnectionRecord> FindConnection(std::uint64_t AId) const
    {
        return FRegistry.Find(AId);
    }
    // Ends an open connection as a stop does (both sides disconnected; the disconnect line
    // and counters follow), or with AReset by a reset (RST) to both sides. False when the id
    // is not open. Thread safe.
    bool CloseConnection(std::uint64_t AId, bool AReset);
    TConnectionRegistry& Registry() { return FRegistry; }

    // CurrentThreads, DisconnectsIn, BytesCS and BytesSC; the byte values are -1 while
    // LogDataMode is 0 or less. Returns true. Thread safe.
    bool GetCounters(std::int32_t& ACurrentThreads, std::int32_t& ADisconnectsIn,
                     std::int64_t& ABytesCS, std::int64_t& ABytesSC) const;
    // Zeroes the connection, refusal and byte counters; leaves the busy period and
    // CurrentTransmittingThreads alone. Thread safe.
    void ResetCounters();
    // "CurrentThreads: ...  Connects (Out): n" plus the byte part above mode 0. Thread safe.
    std::string GetStatistics() const;
    // The busy-period text of a data record (empty in mode 0). Thread safe.
    std::string GetConnectionInfo();

    // Admits or refuses an accepted client by the access settings. Listener thread.
    bool DoAdmit(TIdTCPServerConnection& AConnection) override;
    // True when the channel shows or shapes something per connection (a data mode above 0,
    // a speed limit, connection lines, network conditions, an in-memory capture or a capture
    // file): its connections then want threads of their own. Thread safe.
    bool RelayWatched() const;
    // Connections on the relay pool now, and moves between pool and peer threads so far.
    // Thread safe.
    int PooledConnections() const { return FPool.Count(); }
    std::int64_t MovesToPool() const { return FPool.Adopted(); }
    std::int64_t MovesFromPool() const { return FPool.Resumed(); }

    // Also opens (true) and closes (false) the relay pool; closing it ends every pooled
    // connection after the peer threads have been stopped. Starting also starts the network
    // conditions' draws again from their seed. Main thread.
    void SetActive(bool AValue) override;
    // The mapping's DoConnect, noting the target and how a failed connect ended; for a thread
    // that takes a connection over from the relay pool, whose connection is set up already,
    // only takes its sockets and record over. Peer thread.
    void DoConnect(TIdPeerThread* AThread) override;
    // The relay step: counts, dumps, logs, captures and paces what it relays; hands the
    // connection to the relay pool instead when the channel is unwatched. Peer thread.
    bool DoExecute(TIdPeerThread* AThread) override;
    // Pauses the peer thread long enough that a chunk of ALength bytes written AElapsedMs after
    // its start keeps the direction's limit; writes the delay lines. Peer thread.
    void DelayTransmission(TRelayDirection ADirection, std::int32_t ALength,
                           std::int32_t AElapsedMs, TIdPeerThread* AThread);

    // Header blocks of one read (see HttpHeaders.h). Thread safe.
    std::string ExtractRequestHeader(const std::string& ARead, bool& AFound) const;
    std::string ExtractResponseHeader(const std::string& ARead, bool& AFound) const;

    // Latency, jitter, reset, stall, chance and seed of the channel's connections.
    TNetConditions& Conditions() { return FConditions; }
    const TNetConditions& Conditions() const { return FConditions; }

    // Test seam: the clock for ticks, busy periods and pauses (nullptr: the system clock).
    // Main thread, while inactive.
    void SetEngineClock(TEngineClock* AClock);

protected:
    // The server's own handlers, attached by the constructor.
    void IdMappedPortTCP1Connect(TIdPeerThread* AThread);
    void IdMappedPortTCP1BeforeClientConnect(TIdMappedPortTCP* ASender, TIdPeerThread* AThread,
                                             TIdTCPClient* AClient);
    void IdMappedPortTCP1Disconnect(TIdPeerThread* AThread);
    void LogException(TIdThread* AThread, const std::exception& AException);

    std::string TimeStamp() const;
    static std::string ThreadTag(const TIdThread* AThread);
    // Hands the text to OnLog on the main thread when Logging is on. Peer thread.
    void LogSynchronized(const std::string& AText, TIdThread* AThread);
    // Hands the text to OnLog on the calling thread when Logging is on.
    void LogDirect(const std::string& AText);

private:
    // Peer thread: moves the connection to the pool; false when it stays on this thread.
    bool MoveToPool(TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    // Relay pool thread: the pool's hooks.
    bool ResumeOnPeerThread(std::unique_ptr<TPooledMapping> AMapping);
    void PooledConnectionEnded(const std::shared_ptr<TConnectionRecord>& ARecord,
                               bool AClientLeftBeforeAnswer, bool AStopped);
    void AttachErrorLine(TIdPeerThread* AThread);
    void CountDisconnect();
    void RelayOnce(TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    void RelayDirection(TRelayDirection ADirection, TIdTCPConnection& ASource,
                        TIdTCPConnection& ADestination, TIdPeerThread* AThread,
                        TConnectionRecord& ARecord);
    // Writes what the relay passes on, paced by the direction's limit; AStart is the tick the
    // first chunk's time counts from.
    void WriteShaped(TRelayDirection ADirection, std::string_view ABytes, std::uint32_t AStart,
                     TIdTCPConnection& ADestination, TIdPeerThread* AThread);

    // The relay step of a connection with conditions (qv_IdMappedPortTCPConditions.cpp).
    void RelayConditioned(TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    void ReadIntoHold(TRelayDirection ADirection, TIdTCPConnection& ASource,
                      TIdTCPConnection& ADestination, TIdPeerThread* AThread,
                      TIdMappedPortTCPData& AData);
    void WriteDuePieces(TRelayDirection ADirection, TIdTCPConnection& ADestination,
                        TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    void FlushHeldPieces(TRelayDirection ADirection, TIdTCPConnection& ADestination,
                         TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    // False when a budget ended the direction (or the connection) with this piece.
    bool WriteHeldPiece(TRelayDirection ADirection, const std::string& APiece,
                        TIdTCPConnection& ADestination, TIdPeerThread* AThread,
                        TIdMappedPortTCPData& AData);
    void ResetByCondition(TRelayDirection ADirection, TIdTCPConnection& ADestination,
                          TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    void LogCondition(const std::string& AWhat, TRelayDirection ADirection, std::int64_t ABytes,
                      TIdPeerThread* AThread);
    void CaptureRead(TConnectionRecord& ARecord, TRelayDirection ADirection,
                     std::string_view ABytes, TIdPeerThread* AThread);
    // One channel line for a capture file failure not reported yet. Peer thread.
    void ReportCaptureError(TIdPeerThread* AThread);
    static bool ResetIfAsked(TConnectionRecord& ARecord, TIdTCPConnection& AClient,
                             TIdTCPConnection& ATarget);
    void LogRead(TRelayDirection ADirection, const std::string& ABytes, TIdPeerThread* AThread);
    std::string LinePrefix(const TIdThread* AThread) const;
    TLiveSetting<std::int32_t>& MaxSpeed(TRelayDirection ADirection);
    std::atomic<std::int64_t>& ReadCounter(TRelayDirection ADirection);
    std::atomic<std::int64_t>& BusyCounter(TRelayDirection ADirection);
    void RaiseMaxThreads(std::int32_t ACurrent);
    void LogRefusal(const std::string& AFrom, const std::string& AReason);

    TEngineClock* FClock;
    TConnectionGate FGate;
    TLineThrottle FRefusalLines;  // listener thread
    TNetConditions FConditions;
    TCaptureFiles FCaptureFiles;
    TConnectionRegistry FRegistry;
    TCaptureTap FTap{FRegistry, FCaptureFiles, Capture, CaptureToFile};
    // Last: its threads call back into this object (and its registry) until Close.
    TRelayPool FPool;
};
