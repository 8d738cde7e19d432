#include "engine/IdMappedPortTCP.h"

#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPServerConnection.h"
#include "engine/relay/PeerRelay.h"

TIdMappedPortTCPData::TIdMappedPortTCPData() : Pipeline(std::make_unique<TRelayPipeline>())
{}

TIdMappedPortTCPData::~TIdMappedPortTCPData() = default;

TIdMappedPortTCP::TIdMappedPortTCP(TIdBaseComponent* AOwner) : TIdTCPServer(AOwner)
{
    // A relay passes each piece on as soon as it has it (see DoConnect); the clients' sockets
    // get that from the listening sockets.
    SetClientsWithoutNagle(true);
}

TIdMappedPortTCP::~TIdMappedPortTCP()
{
    // Peer threads run DoExecute of this class; they must be gone before its members are.
    Shutdown();
}

int TIdMappedPortTCP::MappedPort() const
{
    std::lock_guard lock(FTargetLock);
    return FMappedPort;
}

void TIdMappedPortTCP::SetMappedPort(int APort)
{
    std::lock_guard lock(FTargetLock);
    FMappedPort = APort;
}

std::string TIdMappedPortTCP::MappedHost() const
{
    std::lock_guard lock(FTargetLock);
    return FMappedHost;
}

void TIdMappedPortTCP::SetMappedHost(const std::string& AHost)
{
    std::lock_guard lock(FTargetLock);
    FMappedHost = AHost;
}

TIdMappedPortTCPData& TIdMappedPortTCP::MappingData(TIdPeerThread* AThread)
{
    return *AThread->DataAs<TIdMappedPortTCPData>();
}

void TIdMappedPortTCP::DoConnect(TIdPeerThread* AThread)
{
    // The Data exists before OnConnect fires, so that the handler can attach to it.
    auto data = std::make_unique<TIdMappedPortTCPData>();
    TIdMappedPortTCPData* d = data.get();
    AThread->SetData(std::move(data));
    TIdTCPServer::DoConnect(AThread);
    // A relay passes each piece on as soon as it has it. With Nagle's algorithm a piece would
    // wait for the acknowledgement of the one before whenever it is smaller than a segment:
    // the tail of every burst, and the second half of a request written in two, would be held
    // back by a round trip or a delayed ACK. The endpoints keep whatever they chose themselves.
    // The client's socket has it off from the listening socket (see the constructor).
    d->Outbound = std::make_unique<TIdTCPClient>();
    d->Outbound->SetUseNagle(false);
    d->Outbound->SetPort(MappedPort());
    d->Outbound->SetHost(MappedHost());
    if (OnBeforeClientConnect)
        OnBeforeClientConnect(this, AThread, d->Outbound.get());
    // A target that drops SYNs keeps a connect waiting for minutes; a client that gives up
    // meanwhile must not hold its thread and descriptors that long.
    d->Outbound->SetWatchWhileConnecting(AThread->Connection());
    try {
        d->Outbound->Connect();
    } catch (const EIdConnectAbandoned&) {
        // Nothing to relay: the connection ends through the usual disconnect step, as when a
        // client leaves a running relay, and without an error line.
        AThread->Connection()->Disconnect();
        AThread->Stop();
    }
}

void TIdMappedPortTCP::DisconnectIfTargetGone(TIdPeerThread* AThread, TIdMappedPortTCPData& AData)
{
    if (!AData.Outbound->Connected())
        AThread->Connection()->Disconnect();
}

bool TIdMappedPortTCP::DoExecute(TIdPeerThread* AThread)
{
    TIdMappedPortTCPData& data = MappingData(AThread);
    RunStep(AThread, data, [&] {
        TPeerRelay(*AThread, *AThread->Connection(), *data.Outbound, *data.Pipeline,
                   data.Record.get(), data.ReadList, SystemEngineClock(), {})
            .Step();
    });
    return true;
}
