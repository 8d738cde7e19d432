#include "engine/qv_IdMappedPortTCP.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <utility>

#include "engine/conditions/TrafficShaping.h"
#include "engine/relay/PeerRelay.h"
#include "engine/tls/TlsConnection.h"
#include "engine/texts/DumpFormats.h"
#include "engine/texts/MappingTexts.h"
#include "net/IdException.h"
#include "net/IdListenerThread.h"
#include "net/IdPeerThread.h"
#include "net/IdStack.h"
#include "net/IdTCPServerConnection.h"

namespace {

// "a.b.c.d:port", or "[IPv6]:port"; a host name as it stands with its port.
std::string Address(const std::string& AIP, int APort)
{
    return TIdIPAddress::WithPort(AIP, APort);
}

// Keeps CurrentTransmittingThreads counting this step until it has left, by any way.
class TTransmittingStep {
public:
    explicit TTransmittingStep(std::atomic<std::int32_t>& ACounter) : FCounter(ACounter)
    {
        FCounter.fetch_add(1);
    }
    ~TTransmittingStep() { FCounter.fetch_sub(1); }
    TTransmittingStep(const TTransmittingStep&) = delete;
    TTransmittingStep& operator=(const TTransmittingStep&) = delete;

private:
    std::atomic<std::int32_t>& FCounter;
};

}  // namespace

TqvMappedPortTCP::TqvMappedPortTCP(TIdBaseComponent* AOwner)
    : TIdMappedPortTCP(AOwner),
      FClock(&SystemEngineClock()),
      FPool(TRelayPoolHooks{
          [this] { return RelayWatched(); },
          [this](const std::shared_ptr<TConnectionRecord>& ARecord, bool AClientLeftBeforeAnswer,
                 bool AStopped) {
              PooledConnectionEnded(ARecord, AClientLeftBeforeAnswer, AStopped);
          },
          [this](TPooledMapping& AMapping, const std::exception* AFailure, bool AAbandoned) {
              PooledConnectEnded(AMapping, AFailure, AAbandoned);
          },
          [this](std::unique_ptr<TPooledMapping> AMapping) {
              return ResumeOnPeerThread(std::move(AMapping));
          },
          [this] { return PoolAccepts(); },
          [this](int AListenSocket, std::unique_ptr<TPooledMapping>& AMapping) {
              return AcceptOnPool(AListenSocket, AMapping);
          }})
{
    // A setting that makes the channel watched moves its pooled connections at once, also
    // the idle ones; and the pool's threads or the listener take the accepting over.
    const auto settingChanged = [this] {
        FPool.SettingsChanged();
        WakeListener();
    };
    LogDataMode.SetOnChange(settingChanged);
    LogConnInfo.SetOnChange(settingChanged);
    MaxSpeedCS.SetOnChange(settingChanged);
    Capture.SetOnChange(settingChanged);
    CaptureToFile.SetOnChange(settingChanged);
    MaxSpeedSC.SetOnChange(settingChanged);
    FConditions.SetOnChange(settingChanged);
    OnBeforeClientConnect = [this](TIdMappedPortTCP* ASender, TIdPeerThread* AThread,
                                   TIdTCPClient* AClient) {
        IdMappedPortTCP1BeforeClientConnect(ASender, AThread, AClient);
    };
    OnConnect = [this](TIdPeerThread* AThread) { IdMappedPortTCP1Connect(AThread); };
    // On the carrying thread, as the error line: a TLS failure is told however it is carried.
    FTls.OnLine = [this](const std::string& AText) { LogDirect(LinePrefix() + " " + AText); };
    OnDisconnect = [this](TIdPeerThread* AThread) { IdMappedPortTCP1Disconnect(AThread); };
}

TqvMappedPortTCP::~TqvMappedPortTCP()
{
    // The peer threads use this object's counters and settings up to their last line.
    Shutdown();
}

void TqvMappedPortTCP::SetEngineClock(TEngineClock* AClock)
{
    FClock = AClock ? AClock : &SystemEngineClock();
}

void TqvMappedPortTCP::SetCapturePlace(const std::string& AFolder, int AChannel)
{
    FCaptureFiles.SetPlace(AFolder, AChannel);
    FRegistry.SetChannel(AChannel);
}

// ---- connections ----

bool TqvMappedPortTCP::CloseConnection(std::uint64_t AId, bool AReset)
{
    const std::shared_ptr<TConnectionRecord> record = FRegistry.Find(AId);
    if (!record || !record->RequestEnd(AReset ? TEndRequest::Reset : TEndRequest::Close))
        return false;
    // A pooled connection (or one on its way to the pool) is ended by its pool thread.
    FPool.EndRequested();
    auto list = Threads().LockList();
    for (TIdPeerThread* peer : *list) {
        if (static_cast<void*>(peer) != record->Carrier)
            continue;
        if (AReset) {
            // Wakes the relay step without a word on the wire; the step sees the request and
            // resets both sides itself, as the owner of their sockets.
            peer->Connection()->Binding()->ShutdownReceive();
        } else {
            // What a stop does to every connection.
            peer->Connection()->Disconnect();
            peer->AbortWaits();
        }
    }
    return true;
}

// ---- counters and texts ----

bool TqvMappedPortTCP::GetCounters(std::int32_t& ACurrentThreads, std::int32_t& ADisconnectsIn,
                                   std::int64_t& ABytesCS, std::int64_t& ABytesSC) const
{
    ACurrentThreads = CurrentThreads.load();
    ADisconnectsIn = DisconnectsIn.load();
    const bool counting = LogDataMode.Get() > 0;
    ABytesCS = counting ? BytesCS.load() : -1;
    ABytesSC = counting ? BytesSC.load() : -1;
    return true;
}

void TqvMappedPortTCP::ResetCounters()
{
    CurrentThreads = 0;
    MaxThreads = 0;
    ConnectsIn = 0;
    DisconnectsIn = 0;
    ConnectsOut = 0;
    BytesCS = 0;
    BytesSC = 0;
    RelayedBytesCS = 0;
    RelayedBytesSC = 0;
    RefusedIn = 0;
}

std::string TqvMappedPortTCP::GetStatistics() const
{
    TCounterSnapshot c;
    c.CurrentThreads = CurrentThreads.load();
    c.MaxThreads = MaxThreads.load();
    c.ConnectsIn = ConnectsIn.load();
    c.DisconnectsIn = DisconnectsIn.load();
    c.ConnectsOut = ConnectsOut.load();
    c.BytesCS = BytesCS.load();
    c.BytesSC = BytesSC.load();
    return FormatStatistics(c, LogDataMode.Get());
}

std::string TqvMappedPortTCP::GetConnectionInfo()
{
    const std::int32_t mode = LogDataMode.Get();
    if (mode <= 0)
        return {};
    const double seconds = SecondsBetween(BusyStart.load(), FClock->Now());
    return FormatConnectionInfo(mode, BusyBytesCS.load(), BusyBytesSC.load(), BytesCS.load(),
                                BytesSC.load(), seconds);
}

// ---- log delivery ----

std::string TqvMappedPortTCP::TimeStamp() const
{
    return TimeStampText(FormatTime());
}

std::string TqvMappedPortTCP::ThreadTag(const TIdThread* AThread)
{
    return ThreadTagText(AThread->ThreadID());
}

std::string TqvMappedPortTCP::LinePrefix(const TIdThread* AThread) const
{
    return TimeStamp() + ChannelName + ThreadTag(AThread);
}

// The carrying thread's own tag: a peer thread's kernel id is the id it was started with.
std::string TqvMappedPortTCP::LinePrefix() const
{
    return TimeStamp() + ChannelName + ThreadTagText(gettid());
}

void TqvMappedPortTCP::LogSynchronized(const std::string& AText, TIdThread* AThread)
{
    if (!Logging.Get())
        return;
    AThread->Synchronize([this, &AText] { OnLog(AText); });
}

void TqvMappedPortTCP::LogDirect(const std::string& AText)
{
    // On the peer thread: OnLog may be set anew meanwhile by a restart on the main thread.
    if (Logging.Get())
        OnLog(AText);
}

// ---- connection lifecycle ----

void TqvMappedPortTCP::RaiseMaxThreads(std::int32_t ACurrent)
{
    std::int32_t seen = MaxThreads.load();
    while (ACurrent > seen && !MaxThreads.compare_exchange_weak(seen, ACurrent)) {}
}

void TqvMappedPortTCP::AttachErrorLine(TIdPeerThread* AThread)
{
    AThread->OnException = [this](TIdThread* ASender, const std::exception& AException) {
        LogException(ASender, AException);
    };
}

void TqvMappedPortTCP::IdMappedPortTCP1Connect(TIdPeerThread* AThread)
{
    AttachErrorLine(AThread);
    {
        const TIdSocketHandle& b = *AThread->Connection()->Binding();
        MappingData(AThread).Record = FRegistry.Open(TEndpoint{b.PeerIP(), b.PeerPort()}, AThread);
    }
    ConnectsIn.fetch_add(1);
    RaiseMaxThreads(CurrentThreads.fetch_add(1) + 1);
    if (LogConnInfo.Get()) {
        const TIdSocketHandle& b = *AThread->Connection()->Binding();
        LogSynchronized(LinePrefix(AThread) + " Incoming connection from " +
                            Address(b.PeerIP(), b.PeerPort()) + " to " + Address(b.IP(), b.Port()) +
                            ". " + GetStatistics(),
                        AThread);
    }
}

void TqvMappedPortTCP::IdMappedPortTCP1BeforeClientConnect(TIdMappedPortTCP*,
                                                           TIdPeerThread* AThread,
                                                           TIdTCPClient* AClient)
{
    CountConnectOut();
    TIdMappedPortTCPData& data = MappingData(AThread);
    data.Pipeline =
        MakePipeline(data.Record, AThread->Connection()->Binding()->IP(), AClient->Host());
    if (LogConnInfo.Get()) {
        const TIdSocketHandle& b = *AThread->Connection()->Binding();
        LogSynchronized(LinePrefix(AThread) + " Mapping connection from " +
                            Address(b.PeerIP(), b.PeerPort()) + " to  " +
                            Address(AClient->Host(), AClient->Port()) + ". " + GetStatistics(),
                        AThread);
    }
}

std::unique_ptr<TRelayPipeline> TqvMappedPortTCP::MakePipeline(
    const std::shared_ptr<TConnectionRecord>& ARecord, const std::string& ALocalIP,
    const std::string& ATargetHost)
{
    std::shared_ptr<TTlsConnection> tls;
    if (std::shared_ptr<const TTlsContexts> contexts = FTls.Current())
        tls = std::make_shared<TTlsConnection>(std::move(contexts), ALocalIP, ATargetHost);
    return FPipelines.Make(ARecord, FConditions.DrawSeed(), std::move(tls));
}

void TqvMappedPortTCP::CountConnectOut()
{
    ConnectsOut.fetch_add(1);
    if (CurrentThreads.load() == 1) {  // the channel was idle: a new busy period begins
        BusyStart = FClock->Now();
        BusyBytesCS = 0;
        BusyBytesSC = 0;
    }
}

void TqvMappedPortTCP::CountDisconnect()
{
    DisconnectsIn.fetch_add(1);
    // After ResetCounters the decrements of connections opened before it would go below 0.
    std::int32_t current = CurrentThreads.load();
    while (!CurrentThreads.compare_exchange_weak(current, current > 0 ? current - 1 : 0)) {}
}

void TqvMappedPortTCP::IdMappedPortTCP1Disconnect(TIdPeerThread* AThread)
{
    if (auto* data = AThread->DataAs<TIdMappedPortTCPData>(); data && data->Record) {
        FRegistry.Close(data->Record, AThread->Aborted());
        FTap.End(*data->Record);
        ReportCaptureError(AThread);
    }
    CountDisconnect();
    if (LogConnInfo.Get())
        LogSynchronized(LinePrefix(AThread) + " Disconnect (incoming). " + GetStatistics(),
                        AThread);
}

void TqvMappedPortTCP::LogException(TIdThread*, const std::exception& AException)
{
    LogDirect(TimeStamp() + ChannelName + " Error: " + ReplaceLineBreaks(AException.what(), " - "));
}

// ---- access ----

std::string TqvMappedPortTCP::SetAllowFrom(const std::string& AText)
{
    return FGate.SetAllowFrom(AText);
}

bool TqvMappedPortTCP::DoAdmit(TIdTCPServerConnection& AConnection)
{
    const TIdSocketHandle& b = *AConnection.Binding();
    const std::string peerIP = b.PeerIP();
    TAdmission admission = FGate.Admit(peerIP, MaxConnections.Get(), MaxConnectionsPerSource.Get());
    if (admission.Ticket) {
        AConnection.Admission = std::move(admission.Ticket);
        return true;
    }
    RefusedIn.fetch_add(1);
    CountRefusal(admission.Reason);
    LogRefusal(Address(peerIP, b.PeerPort()), admission.Reason);
    return false;
}

bool TqvMappedPortTCP::PoolAccepts() const
{
    return !RelayWatched();
}

bool TqvMappedPortTCP::DoListenerAccepts()
{
    return !(FPool.Listens() && PoolAccepts());
}

bool TqvMappedPortTCP::DoTakeAccepted(std::unique_ptr<TIdTCPServerConnection>& AConnection)
{
    if (!PoolAccepts())
        return false;
    std::unique_ptr<TPooledMapping> mapping = PooledMappingFor(std::move(AConnection));
    const std::shared_ptr<TConnectionRecord> record = mapping->Record;
    if (FPool.Adopt(mapping))
        return true;
    // The pool is closed: the channel is stopping, and the connection ends here.
    CurrentTransmittingThreads.fetch_sub(1);
    mapping->Client.reset();
    EndTakenConnection(record, true);
    return true;
}

TPoolAcceptNext TqvMappedPortTCP::AcceptOnPool(int AListenSocket,
                                               std::unique_ptr<TPooledMapping>& AMapping)
{
    auto connection = std::make_unique<TIdTCPServerConnection>(this);
    try {
        // Only a TLS stage needs the address the client reached (PooledMappingFor asks for it).
        if (!connection->Binding()->Accept(AListenSocket, false))
            return TPoolAcceptNext::Drained;
    } catch (const EIdSocketError& e) {
        const TIdAcceptFailure failure = ClassifyAcceptFailure(e.LastError());
        if (failure == TIdAcceptFailure::Broken)
            return TPoolAcceptNext::Stop;
        if (OnAcceptError)
            OnAcceptError(e.LastError());
        return failure == TIdAcceptFailure::ClientGone ? TPoolAcceptNext::More
                                                       : TPoolAcceptNext::Pause;
    }
    if (!DoAdmit(*connection)) {
        connection->Binding()->CloseWithReset();
        return TPoolAcceptNext::More;
    }
    // Pooled even when the channel became watched a moment ago: the pool hands it on to a
    // peer thread once its connect has ended, as any pooled connection of a watched channel.
    AMapping = PooledMappingFor(std::move(connection));
    return TPoolAcceptNext::More;
}

std::unique_ptr<TPooledMapping> TqvMappedPortTCP::PooledMappingFor(
    std::unique_ptr<TIdTCPServerConnection> AConnection)
{
    TIdTCPServerConnection& client = *AConnection;
    const TIdSocketHandle& b = *client.Binding();
    auto mapping = std::make_unique<TPooledMapping>();
    mapping->Record = FRegistry.Open(TEndpoint{b.PeerIP(), b.PeerPort()}, nullptr);
    ConnectsIn.fetch_add(1);
    RaiseMaxThreads(CurrentThreads.fetch_add(1) + 1);
    CountConnectOut();
    if (b.IP().empty() && FTls.Current())
        client.Binding()->UpdateLocal();
    mapping->Pipeline = MakePipeline(mapping->Record, b.IP(), MappedHost());
    mapping->Target = std::make_unique<TIdTCPClient>();
    mapping->Target->SetUseNagle(false);
    mapping->Target->SetPort(MappedPort());
    mapping->Target->SetHost(MappedHost());
    // A name is looked up on the pool's lookup thread, never on the thread that accepts.
    if (TIdStack::ResolvesWithoutLookup(MappedHost())) {
        try {
            mapping->Targets = mapping->Target->TargetsToTry();
        } catch (const EIdSocketError& e) {
            mapping->LookupFailure = TPooledMapping::FailureOf(e);
        }
    }
    // The pool thread begins the connect: whoever accepted goes back to accepting at once.
    mapping->Connecting = true;
    mapping->Client = std::move(AConnection);
    // Counted before the pool can end it; a pooled connection counts as a step waiting.
    CurrentTransmittingThreads.fetch_add(1);
    return mapping;
}

void TqvMappedPortTCP::EndTakenConnection(const std::shared_ptr<TConnectionRecord>& ARecord,
                                          bool AStopped)
{
    FRegistry.Close(ARecord, AStopped);
    FTap.End(*ARecord);
    CountDisconnect();
}

// Written on the accepting thread itself: there is no peer thread to synchronize through, and
// the window's log entry accepts any thread (as for the error line).
void TqvMappedPortTCP::CountRefusal(const std::string& AReason)
{
    const std::string_view reason = AReason;
    if (reason.starts_with("channel limit"))
        RefusedChannelLimit.fetch_add(1);
    else if (reason.starts_with("source limit"))
        RefusedSourceLimit.fetch_add(1);
    else
        RefusedNotAllowed.fetch_add(1);
}

void TqvMappedPortTCP::LogRefusal(const std::string& AFrom, const std::string& AReason)
{
    if (!Logging.Get())
        return;
    std::int32_t heldBack = 0;
    {
        std::lock_guard lock(FRefusalLinesLock);
        if (!FRefusalLines.Pass(FClock->TickCount(), heldBack))
            return;
    }
    LogDirect(TimeStamp() + ChannelName + RefusalText(AFrom, AReason, heldBack));
}

// ---- the two ways to carry a connection ----

bool TqvMappedPortTCP::RelayWatched() const
{
    return LogDataMode.Get() > 0 || MaxSpeedCS.Get() > 0 || MaxSpeedSC.Get() > 0 ||
        LogConnInfo.Get() || FConditions.Active() || Capture.Get() || CaptureToFile.Get();
}

std::string TqvMappedPortTCP::SetTls(const TTlsSettings& ASettings, const std::string& AFolder)
{
    // The window applies every setting at each edit: contexts are made anew only on a change.
    if (FTlsApplied && *FTlsApplied == ASettings && FTlsFolder == AFolder)
        return FTlsProblem;
    FTlsProblem = FTls.Configure(ASettings, AFolder);
    FTlsApplied = ASettings;
    FTlsFolder = AFolder;
    return FTlsProblem;
}

void TqvMappedPortTCP::SetActive(bool AValue)
{
    if (AValue) {
        // A channel whose TLS files are wrong would only fail every connection.
        if (!Active() && !FTlsProblem.empty())
            throw EIdException("TLS: " + FTlsProblem);
        if (!Active()) {
            FPool.Open();
            const auto clock = std::chrono::system_clock::now().time_since_epoch().count();
            FConditions.RestartDraws(static_cast<std::uint64_t>(clock));
        }
        const bool starting = !Active();
        TIdMappedPortTCP::SetActive(true);
        if (starting) {
            FPool.Listen(ListeningSockets());
            WakeListener();  // it may wait on the sockets the pool accepts on now
        }
        return;
    }
    TIdMappedPortTCP::SetActive(false);
    // Last: until every peer thread has been stopped, one may still hand its connection over.
    FPool.Close();
}

void TqvMappedPortTCP::DoConnect(TIdPeerThread* AThread)
{
    if (auto* resumed = AThread->DataAs<TIdMappedPortTCPData>(); resumed && resumed->Resumed) {
        // Counted, logged and connected when it was accepted; from now on this thread owns
        // both sockets, and deactivation must be able to wake it from a write to the target.
        // Its pipeline (its draw of the conditions included) came along.
        AttachErrorLine(AThread);
        resumed->Outbound->Binding()->ClaimOwnership();
        AThread->AdoptClient(resumed->Outbound.get());
        // Close Connection finds the connection by its carrier from now on; one asked for
        // while it was on its way here is done now (a Reset one by the relay step).
        if (resumed->Record) {
            resumed->Record->Carrier = AThread;
            if (resumed->Record->EndRequested() == TEndRequest::Close) {
                AThread->Connection()->Disconnect();
                AThread->AbortWaits();
            }
        }
        return;
    }
    try {
        TIdMappedPortTCP::DoConnect(AThread);
    } catch (const std::exception& e) {
        auto* data = AThread->DataAs<TIdMappedPortTCPData>();
        if (data && data->Record)
            data->Record->NoteEnd(TConnectionEnd::Error, ReplaceLineBreaks(e.what(), " - "));
        throw;
    }
    TIdMappedPortTCPData& data = MappingData(AThread);
    if (!data.Outbound->Binding()->HandleAllocated()) {
        // The client left while the connect was pending; the connect was given up.
        data.Record->NoteEnd(TConnectionEnd::ClientClosed);
        return;
    }
    const TIdSocketHandle& target = *data.Outbound->Binding();
    data.Record->SetTarget(TEndpoint{target.PeerIP(), target.PeerPort()});
    LogAddressReached(AThread, *data.Outbound);
    data.Record->SetState(TConnectionState::Relaying);
    data.Pipeline->Start(RelayNow());
}

void TqvMappedPortTCP::LogAddressReached(TIdPeerThread* AThread, const TIdTCPClient& AOutbound)
{
    // A literal target names its address in the mapping line already; a name may have
    // several, and which one answered first is worth a line.
    if (!LogConnInfo.Get() || TIdIPAddress::Parse(AOutbound.Host()))
        return;
    const TIdSocketHandle& target = *AOutbound.Binding();
    LogSynchronized(LinePrefix(AThread) + " Mapping connection to  " +
                        Address(AOutbound.Host(), AOutbound.Port()) + " reached " +
                        Address(target.PeerIP(), target.PeerPort()) + ".",
                    AThread);
}

bool TqvMappedPortTCP::MoveToPool(TIdPeerThread* AThread, TIdMappedPortTCPData& AData)
{
    TIdTCPServerConnection& client = *AThread->Connection();
    // Only between two pieces: nothing read and not yet written may stay behind, held pieces
    // of network conditions and a stalled direction included.
    if (!AData.Outbound || !client.InputBuffer().empty() || !AData.Outbound->InputBuffer().empty())
        return false;
    if (AData.Pipeline->StagesBusy())
        return false;
    if (!client.Connected() || !AData.Outbound->Connected())
        return false;
    // A conversation begun in a capture file stays whole: it ends on this thread.
    if (AData.Record &&
        (TCaptureTap::InFile(*AData.Record) || AData.Record->EndRequested() != TEndRequest::None))
        return false;
    return AThread->HandOffConnection([&](std::unique_ptr<TIdTCPServerConnection>& AConnection) {
        auto mapping = std::make_unique<TPooledMapping>();
        mapping->Client = std::move(AConnection);
        mapping->Target = std::move(AData.Outbound);
        mapping->Record = std::move(AData.Record);
        mapping->Pipeline = std::move(AData.Pipeline);
        // No peer thread carries it now; Close Connection asks the pool.
        if (mapping->Record)
            mapping->Record->Carrier = nullptr;
        // Counted before the pool can end it; a pooled connection counts as a step waiting.
        CurrentTransmittingThreads.fetch_add(1);
        if (FPool.Adopt(mapping))
            return;
        CurrentTransmittingThreads.fetch_sub(1);
        AConnection = std::move(mapping->Client);
        AData.Outbound = std::move(mapping->Target);
        AData.Record = std::move(mapping->Record);
        AData.Pipeline = std::move(mapping->Pipeline);
        if (AData.Record)
            AData.Record->Carrier = AThread;
    });
}

bool TqvMappedPortTCP::ResumeOnPeerThread(std::unique_ptr<TPooledMapping> AMapping)
{
    auto data = std::make_unique<TIdMappedPortTCPData>();
    data->Resumed = true;
    data->Outbound = std::move(AMapping->Target);
    data->Pipeline = std::move(AMapping->Pipeline);
    data->Record = std::move(AMapping->Record);
    std::unique_ptr<TIdObject> object = std::move(data);
    if (ResumePeer(AMapping->Client, object)) {
        CurrentTransmittingThreads.fetch_sub(1);  // the new thread's steps count themselves
        return true;
    }
    // Refused (the server is stopping) or no thread: the connection ends here, client first.
    AMapping->Client.reset();
    return false;
}

void TqvMappedPortTCP::PooledConnectEnded(TPooledMapping& AMapping, const std::exception* AFailure,
                                          bool AAbandoned)
{
    TConnectionRecord& record = *AMapping.Record;
    if (AAbandoned) {
        // As on a peer thread: nothing to relay, no error line.
        record.NoteEnd(TConnectionEnd::ClientClosed);
        return;
    }
    if (AFailure) {
        record.NoteEnd(TConnectionEnd::Error, ReplaceLineBreaks(AFailure->what(), " - "));
        LogException(nullptr, *AFailure);
        return;
    }
    const TIdSocketHandle& target = *AMapping.Target->Binding();
    record.SetTarget(TEndpoint{target.PeerIP(), target.PeerPort()});
    record.SetState(TConnectionState::Relaying);
}

void TqvMappedPortTCP::PooledConnectionEnded(const std::shared_ptr<TConnectionRecord>& ARecord,
                                             bool AClientLeftBeforeAnswer, bool AStopped)
{
    if (ARecord) {
        FRegistry.Close(ARecord, AStopped);
        FTap.End(*ARecord);
    }
    CurrentTransmittingThreads.fetch_sub(1);
    CountDisconnect();
    if (AClientLeftBeforeAnswer)
        LogException(nullptr, EIdConnClosedGracefully());
}

// ---- relay ----

std::int32_t TqvMappedPortTCP::MaxSpeed(TRelayDirection ADirection) const
{
    return (ADirection == TRelayDirection::ClientToServer ? MaxSpeedCS : MaxSpeedSC).Get();
}

void TqvMappedPortTCP::CountRead(TRelayDirection ADirection, std::int64_t ABytes)
{
    (ADirection == TRelayDirection::ClientToServer ? BytesCS : BytesSC).fetch_add(ABytes);
}

void TqvMappedPortTCP::CountRelayed(TRelayDirection ADirection, std::int64_t ABytes)
{
    (ADirection == TRelayDirection::ClientToServer ? RelayedBytesCS : RelayedBytesSC)
        .fetch_add(ABytes, std::memory_order_relaxed);
}

void TqvMappedPortTCP::CountWritten(TRelayDirection ADirection, std::int64_t ABytes)
{
    (ADirection == TRelayDirection::ClientToServer ? BusyBytesCS : BusyBytesSC).fetch_add(ABytes);
}

bool TqvMappedPortTCP::DoExecute(TIdPeerThread* AThread)
{
    TIdMappedPortTCPData& data = MappingData(AThread);
    if (!RelayWatched() && MoveToPool(AThread, data))
        return true;
    TTransmittingStep step(CurrentTransmittingThreads);
    RunStep(AThread, data, [&] {
        try {
            TPeerRelay(*AThread, *AThread->Connection(), *data.Outbound, *data.Pipeline,
                       data.Record.get(), data.ReadList, *FClock,
                       [&](const std::string& AText) { LogSynchronized(AText, AThread); })
                .Step();
        } catch (const std::exception& e) {
            if (data.Record)
                data.Record->NoteEnd(TConnectionEnd::Error, ReplaceLineBreaks(e.what(), " - "));
            throw;
        }
    });
    return true;
}

void TqvMappedPortTCP::ReportCaptureError(TIdPeerThread* AThread)
{
    const std::string error = FCaptureFiles.TakeError();
    if (!error.empty())
        LogSynchronized(LinePrefix(AThread) + " Capture file error: " + error, AThread);
}

void TqvMappedPortTCP::DelayTransmission(TRelayDirection ADirection, std::int32_t ALength,
                                         std::int32_t AElapsedMs, TIdPeerThread* AThread)
{
    const TDelayPlan plan = PlanDelay(MaxSpeed(ADirection), DelayPerThread.Get(),
                                      CurrentTransmittingThreads.load(), ALength, AElapsedMs);
    RunDelay(
        plan, [this] { return LogDelayInfo.Get(); },
        [&](const std::string& ATail) { LogSynchronized(LinePrefix(AThread) + ATail, AThread); },
        [&](std::int32_t AMilliseconds) { FClock->Sleep(AMilliseconds, AThread); });
}
