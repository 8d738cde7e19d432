// The plain mapping server: for every accepted client it opens one outbound connection to
// MappedHost:MappedPort on the client's peer thread and relays bytes both ways, unchanged,
// until either side closes. No counting, no logging (TqvMappedPortTCP adds those).
//
//   TIdMappedPortTCP map;
//   map.SetDefaultPort(0);                 // or the listen port
//   map.SetMappedHost("127.0.0.1"); map.SetMappedPort(target);
//   map.SetActive(true);                   // main thread
//
// Threads: settings and OnBeforeClientConnect are set on the main thread while the server is
// inactive; DoConnect and DoExecute run on the peer threads (see MappedHost for the target).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"
#include "net/IdThread.h"

class TIdPeerThread;
class TIdMappedPortTCP;
class TConnectionRecord;
class TRelayPipeline;

// Per-connection state of a mapping, owned by the peer thread as its Data. Used on that
// thread only. Destroying it frees the pipeline and ReadList, then Outbound (which closes the
// target socket). Record is the connection's entry in its channel's registry where the
// server keeps one.
class TIdMappedPortTCPData : public TIdObject {
public:
    TIdMappedPortTCPData();
    ~TIdMappedPortTCPData() override;
    std::shared_ptr<TConnectionRecord> Record;
    std::unique_ptr<TIdTCPClient> Outbound;
    TIdSocketList ReadList;
    // The stages the connection's bytes pass (none for the plain mapping server); they move
    // with the connection between carriers.
    std::unique_ptr<TRelayPipeline> Pipeline;
    // The connection was accepted, connected and counted on another carrier (the relay pool)
    // and goes on here.
    bool Resumed = false;
};

using TBeforeClientConnectEvent =
    std::function<void(TIdMappedPortTCP* ASender, TIdPeerThread* AThread, TIdTCPClient* AClient)>;

class TIdMappedPortTCP : public TIdTCPServer {
public:
    explicit TIdMappedPortTCP(TIdBaseComponent* AOwner = nullptr);
    ~TIdMappedPortTCP() override;

    // The target. Set on the main thread while the server is inactive; read once per
    // connection by its peer thread, which may belong to an earlier activation and still be
    // on its way to its connect when a restart sets a new target. Thread safe.
    int MappedPort() const;
    void SetMappedPort(int APort);
    std::string MappedHost() const;
    void SetMappedHost(const std::string& AHost);

    // Fired on the peer thread once the outbound client is set up, before it connects.
    TBeforeClientConnectEvent OnBeforeClientConnect;

    // Sets up the thread's Data, fires OnConnect, sets up the outbound client, fires
    // OnBeforeClientConnect and connects; a failed connect raises and ends the thread. When
    // the client leaves while the connect is pending (closes with nothing unread, or resets),
    // the connect is given up and the thread stops without an exception.
    void DoConnect(TIdPeerThread* AThread) override;
    // One relay step through the connection's pipeline (see TPeerRelay); always true.
    bool DoExecute(TIdPeerThread* AThread) override;

protected:
    static TIdMappedPortTCPData& MappingData(TIdPeerThread* AThread);
    // Closes the accepted connection once the target side is gone; the end of every step.
    static void DisconnectIfTargetGone(TIdPeerThread* AThread, TIdMappedPortTCPData& AData);
    // Runs ARelayStep; closes the accepted connection once the target side is gone, also when
    // the step raised.
    template <class TStep>
    static void RunStep(TIdPeerThread* AThread, TIdMappedPortTCPData& AData, TStep&& ARelayStep)
    {
        try {
            ARelayStep();
        } catch (...) {
            DisconnectIfTargetGone(AThread, AData);
            throw;
        }
        DisconnectIfTargetGone(AThread, AData);
    }

private:
    mutable std::mutex FTargetLock;  // guards the two below
    int FMappedPort = 0;
    std::string FMappedHost;
};
