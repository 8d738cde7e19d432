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
//    any time, read afresh by the peer threads (and the accepting threads) at each use; each
//    is one relaxed atomic word, so no lock is taken. SetAllowFrom swaps the whole list under
//    the gate's lock.
//  - Access: the accepting thread admits or refuses every accepted client (DoAdmit) before a
//    peer thread or an outbound connection exists; a refused one is reset, counted in
//    RefusedIn and reported by at most one line a second, delivered on the accepting thread.
//    The accepting thread is the listener, or a relay pool thread while the pool accepts.
//  - Counters: changed by peer threads with atomic operations; GetCounters, GetStatistics and
//    ResetCounters are thread safe (the window calls them on the main thread).
//  - Conditions(): set on the main thread at any time (see NetConditions.h); a connection
//    draws its conditions when it connects and applies the values afresh to every piece.
//  - Connections: every connection has a record in the channel's registry from its accept on;
//    ConnectionSnapshot, FindConnection and CloseConnection are thread safe (the window calls
//    them on the main thread). Capture and CaptureToFile are live settings like the others,
//    and so is SetTls: a new connection takes the TLS contexts current when it connects.
//  - Texts go to OnLog on the main thread through the peer thread's Synchronize, which blocks
//    the peer until the main thread has served it; only the error line of a thread that ends
//    by an exception is delivered on the peer thread itself (LogDirect).
//
// The server is a conductor: it keeps the channel's interface, counters and texts, and hands
// the work to the components it owns: the access gate (who may connect), the registry (one
// record per connection), capture files and tap, the network conditions, the pipelines (the
// stages every connection's bytes pass, see ChannelStages.h) and the relay pool.
//
// Two carriers drive a connection's pipeline: while the channel is unwatched (RelayWatched
// false) a connection rides the server's relay pool (see RelayPool.h) once its peer thread has
// connected it, and that thread ends; when the channel becomes watched, each pooled connection
// continues on a new peer thread of its own (see PeerRelay.h), with its pipeline. Counters
// count both alike (CurrentThreads counts connections, not threads); pooled connections write
// no lines but the error line a peer thread would write.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/IdMappedPortTCP.h"
#include "engine/access/ConnectionGate.h"
#include "engine/access/LineThrottle.h"
#include "engine/capture/CaptureFile.h"
#include "engine/capture/CaptureTap.h"
#include "engine/common/EngineClock.h"
#include "engine/common/LiveSetting.h"
#include "engine/common/LogCallback.h"
#include "engine/conditions/NetConditions.h"
#include "engine/connections/ConnectionRegistry.h"
#include "engine/relay/ChannelStages.h"
#include "engine/relay/RelayPool.h"
#include "engine/tls/TlsContexts.h"

class TqvMappedPortTCP : public TIdMappedPortTCP, private TRelayChannel {
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
    // Every byte read from each side, counted whatever the data mode (BytesCS and BytesSC
    // count only while a data mode or a speed limit is set). Zeroed with the others.
    std::atomic<std::int64_t> RelayedBytesCS{0};
    std::atomic<std::int64_t> RelayedBytesSC{0};
    // Local date-time (days since 1899-12-30) at which the current busy period began.
    std::atomic<double> BusyStart{0.0};
    // Clients refused by the access settings since the last reset.
    std::atomic<std::int32_t> RefusedIn{0};
    // The same refusals by reason, since the server was made: never reset, as counters that
    // monitoring reads must only grow. A client not on the allow list, and the channel's and
    // the per-client limit.
    std::atomic<std::int64_t> RefusedNotAllowed{0};
    std::atomic<std::int64_t> RefusedChannelLimit{0};
    std::atomic<std::int64_t> RefusedSourceLimit{0};

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

    // TLS on either leg (see TlsContexts.h), for the connections from now on; AFolder holds
    // the local certificate authority. Empty when applied; else the one-line problem (a file
    // that cannot be read or parsed, named): the connections keep the previous TLS settings
    // and the next start fails with that problem. Main thread.
    std::string SetTls(const TTlsSettings& ASettings, const std::string& AFolder);
    std::string TlsProblem() const { return FTlsProblem; }

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

    // Admits or refuses an accepted client by the access settings. Listener or pool thread.
    bool DoAdmit(TIdTCPServerConnection& AConnection) override;
    // False while the relay pool's threads accept the channel's clients themselves (see
    // PoolAccepts). Listener thread.
    bool DoListenerAccepts() override;
    // Takes an admitted client of an unwatched channel straight to the relay pool, its connect
    // to the target begun (a target's name looked up on the pool's lookup thread first),
    // counted as a peer thread would count it: no thread is started for it. Listener thread.
    bool DoTakeAccepted(std::unique_ptr<TIdTCPServerConnection>& AConnection) override;
    // True while the relay pool accepts and carries new clients: the channel is unwatched.
    // Thread safe.
    bool PoolAccepts() const;
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
    // The relay step: one step of the connection's pipeline on its peer thread (counts,
    // dumps, logs, captures, holds and paces what it relays); hands the connection to the relay
    // pool instead when the channel is unwatched. Peer thread.
    bool DoExecute(TIdPeerThread* AThread) override;
    // Pauses the peer thread long enough that a chunk of ALength bytes written AElapsedMs after
    // its start keeps the direction's limit; writes the delay lines. Peer thread.
    void DelayTransmission(TRelayDirection ADirection, std::int32_t ALength,
                           std::int32_t AElapsedMs, TIdPeerThread* AThread);

    // Latency, jitter, reset, stall, chance and seed of the channel's connections.
    TNetConditions& Conditions() override { return FConditions; }
    const TNetConditions& Conditions() const { return FConditions; }

    // Test seam: the clock for ticks, busy periods and pauses (nullptr: the system clock).
    // Main thread, while inactive.
    void SetEngineClock(TEngineClock* AClock);
    // Test seam: a stage put before all others into the pipeline of every new connection (a
    // stage that turns bytes into others, as a decoder would). Main thread, while inactive.
    void SetFirstStage(TChannelPipelines::TStageMaker AMaker)
    {
        FPipelines.SetFirstStage(std::move(AMaker));
    }

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
    // The line that names the address a named target was reached at (peer thread).
    void LogAddressReached(TIdPeerThread* AThread, const TIdTCPClient& AOutbound);
    bool MoveToPool(TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    // An admitted client as the pool carries it: counted, recorded, its connect to begin on
    // the pool. Listener or pool thread.
    std::unique_ptr<TPooledMapping> PooledMappingFor(
        std::unique_ptr<TIdTCPServerConnection> AConnection);
    // Relay pool thread: the pool's hooks.
    TPoolAcceptNext AcceptOnPool(int AListenSocket, std::unique_ptr<TPooledMapping>& AMapping);
    bool ResumeOnPeerThread(std::unique_ptr<TPooledMapping> AMapping);
    void PooledConnectionEnded(const std::shared_ptr<TConnectionRecord>& ARecord,
                               bool AClientLeftBeforeAnswer, bool AStopped);
    void PooledConnectEnded(TPooledMapping& AMapping, const std::exception* AFailure,
                            bool AAbandoned);
    // Listener thread: counts a connection taken by DoTakeAccepted that ends there.
    void EndTakenConnection(const std::shared_ptr<TConnectionRecord>& ARecord, bool AStopped);
    // The counters and busy period of a new outbound connection.
    void CountConnectOut();
    // The pipeline of a new connection: its draw of the conditions and, when the channel
    // speaks TLS, its TLS legs (ALocalIP: the address the client dialled).
    std::unique_ptr<TRelayPipeline> MakePipeline(const std::shared_ptr<TConnectionRecord>& ARecord,
                                                 const std::string& ALocalIP,
                                                 const std::string& ATargetHost);
    void AttachErrorLine(TIdPeerThread* AThread);
    void CountDisconnect();
    // One channel line for a capture file failure not reported yet. Peer thread.
    void ReportCaptureError(TIdPeerThread* AThread);
    std::string LinePrefix(const TIdThread* AThread) const;
    void RaiseMaxThreads(std::int32_t ACurrent);
    void LogRefusal(const std::string& AFrom, const std::string& AReason);
    // Counts a refusal under its reason (the gate's TAdmission::Reason). Listener or pool
    // thread.
    void CountRefusal(const std::string& AReason);

    // What the stages ask of the channel (TRelayChannel); called by the carrying threads.
    std::int32_t DataMode() const override { return LogDataMode.Get(); }
    bool LogsTexts() const override { return Logging.Get(); }
    bool LogsConnections() const override { return LogConnInfo.Get(); }
    bool LogsDelays() const override { return LogDelayInfo.Get(); }
    bool DelaysPerStep() const override { return DelayPerThread.Get(); }
    std::int32_t MaxSpeed(TRelayDirection ADirection) const override;
    std::int32_t TransmittingSteps() const override { return CurrentTransmittingThreads.load(); }
    void CountRead(TRelayDirection ADirection, std::int64_t ABytes) override;
    void CountWritten(TRelayDirection ADirection, std::int64_t ABytes) override;
    void CountRelayed(TRelayDirection ADirection, std::int64_t ABytes) override;
    std::string ConnectionInfo() override { return GetConnectionInfo(); }
    std::string LinePrefix() const override;
    TEngineClock& Clock() override { return *FClock; }
    TCaptureTap& Tap() override { return FTap; }
    std::string TakeCaptureError() override { return FCaptureFiles.TakeError(); }

    TEngineClock* FClock;
    TConnectionGate FGate;
    std::mutex FRefusalLinesLock;  // guards FRefusalLines (listener and pool threads admit)
    TLineThrottle FRefusalLines;
    TNetConditions FConditions;
    TCaptureFiles FCaptureFiles;
    TConnectionRegistry FRegistry;
    TCaptureTap FTap{FRegistry, FCaptureFiles, Capture, CaptureToFile};
    TChannelPipelines FPipelines{*this};
    TTlsChannel FTls;  // configured on the main thread; read by the peer threads
    std::string FTlsProblem;  // main thread, as the two below
    std::optional<TTlsSettings> FTlsApplied;
    std::string FTlsFolder;
    // Last: its threads call back into this object (and its registry) until Close.
    TRelayPool FPool;
};
