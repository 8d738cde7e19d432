#include "engine/relay/TlsStages.h"

#include "engine/connections/ConnectionRecord.h"
#include "engine/tls/TlsConnection.h"

namespace {

constexpr TRelayDirection kClientToServer = TRelayDirection::ClientToServer;
constexpr TRelayDirection kServerToClient = TRelayDirection::ServerToClient;

// What both stages share: the connection, and sending what TLS has for either side.
class TTlsStage : public TRelayStage {
public:
    TTlsStage(TRelayPipeline& APipeline, std::shared_ptr<TTlsConnection> AConnection,
              std::shared_ptr<TConnectionRecord> ARecord)
        : FPipeline(APipeline), FTls(std::move(AConnection)), FRecord(std::move(ARecord))
    {}
    bool Failed() const override { return FTls->Failed(); }

protected:
    // Handshake messages, alerts and held text go out behind what waits for each side.
    void SendOwn()
    {
        if (const std::string bytes = FTls->TakeForTarget(); !bytes.empty())
            FPipeline.Emit(kClientToServer, bytes);
        if (const std::string bytes = FTls->TakeForClient(); !bytes.empty())
            FPipeline.Emit(kServerToClient, bytes);
        if (FTls->Failed() && FRecord && !FNoted) {
            FNoted = true;
            FRecord->NoteEnd(TConnectionEnd::Error, FTls->Problem());
        }
    }
    static void Put(TRelayBytes& ABytes, std::string ANew)
    {
        if (ANew.empty())
            ABytes.Clear();
        else
            ABytes.Replace(std::move(ANew));
    }

    TRelayPipeline& FPipeline;
    std::shared_ptr<TTlsConnection> FTls;
    std::shared_ptr<TConnectionRecord> FRecord;
    bool FNoted = false;
};

// First in the chain: ciphertext from a TLS side becomes the plain text every later stage sees.
class TTlsDecryptStage final : public TTlsStage {
public:
    using TTlsStage::TTlsStage;

    void Start(TRelayMicros) override
    {
        FTls->Start();
        SendOwn();
        NoteFacts();
    }
    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        const bool fromClient = ADirection == kClientToServer;
        if (!(fromClient ? FTls->TerminatesClient() : FTls->OriginatesTarget()))
            return;
        if (ABytes.Empty()) {  // the side closed: the close goes on
            fromClient ? FTls->ClientClosed() : FTls->TargetClosed();
            SendOwn();
            return;
        }
        Put(ABytes, fromClient ? FTls->FromClient(ABytes.View()) : FTls->FromTarget(ABytes.View()));
        SendOwn();
        NoteFacts();
    }

private:
    // Each leg's facts go into the record once: when its handshake is done, or when the
    // client's bytes turn out to pass through. Handshakes end only here, in what comes in.
    void NoteFacts()
    {
        for (const bool client : {true, false}) {
            bool& noted = client ? FClientNoted : FTargetNoted;
            if (noted)
                continue;
            if (!FRecord || !(client ? FTls->TerminatesClient() : FTls->OriginatesTarget())) {
                noted = true;
                continue;
            }
            std::string facts = FTls->PassingThrough() ? std::string("passed through untouched")
                                                       : FTls->Facts(client);
            if (facts.empty())
                continue;
            noted = true;
            FRecord->NoteTls(client, facts);
        }
    }

    bool FClientNoted = false;
    bool FTargetNoted = false;
};

// Last in the chain: plain text for a TLS side becomes its ciphertext.
class TTlsEncryptStage final : public TTlsStage {
public:
    using TTlsStage::TTlsStage;

    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        const bool toTarget = ADirection == kClientToServer;
        if (!(toTarget ? FTls->OriginatesTarget() : FTls->TerminatesClient()))
            return;
        if (ABytes.Empty()) {
            // The other side closed: this one hears it as TLS would say it, then the close.
            FPipeline.Emit(ADirection, FTls->CloseNotifyTo(!toTarget));
            return;
        }
        Put(ABytes, toTarget ? FTls->ToTarget(ABytes.View()) : FTls->ToClient(ABytes.View()));
        SendOwn();
    }
    bool Busy() const override { return FTls->Holding(); }
};

}  // namespace

void AddTlsStages(TRelayPipeline& APipeline, const std::shared_ptr<TTlsConnection>& AConnection,
                  std::shared_ptr<TConnectionRecord> ARecord)
{
    APipeline.AddFirst(std::make_unique<TTlsDecryptStage>(APipeline, AConnection, ARecord));
    APipeline.Add(std::make_unique<TTlsEncryptStage>(APipeline, AConnection, std::move(ARecord)));
}
