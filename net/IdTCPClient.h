// The outbound TCP connection.
//
//   TIdTCPClient client;
//   client.SetHost("127.0.0.1"); client.SetPort(port);
//   client.Connect();                     // raises EIdSocketError (10061 refused, ...)
//   client.Write("hello"); std::string answer = client.ReadAvailable();
//
// Connect on a peer thread of a TIdTCPServer registers the client with that thread: the
// server's deactivation or destruction then aborts a connect still waiting for a host that
// never answers (it fails with EIdSocketError 10053) and wakes any later read or write on the
// client, so no peer thread keeps the server waiting because of its outbound connection.
// The registration ends when the client is destroyed.
#pragma once

#include <string>

#include <vector>

#include "net/IdTCPConnection.h"

class TIdPeerThread;

// SOCKS settings; this program always connects directly.
struct TSocksInfo {
    int Version = 0;
};

class TIdTCPClient : public TIdTCPConnection {
public:
    explicit TIdTCPClient(TIdBaseComponent* AOwner = nullptr);
    ~TIdTCPClient() override;

    virtual void NotifyConnected();
    // Raises EIdAlreadyConnected when the socket is open. On any failure the socket is closed
    // again and the exception passes on; the client can then connect again.
    virtual void Connect();
    // Connect to ATarget (one of TargetsToTry) for an event loop, which waits for the socket
    // itself and races several addresses itself: true when connected at once, false while the
    // connect is under way (the socket turns writable when it ends: TIdStack::ConnectOutcome
    // tells how, and the caller fires NotifyConnected or closes the client).
    // Raises like Connect when it fails at once. The socket stays non-blocking, connected or
    // not: a thread that blocks on it must switch it back.
    bool BeginConnectTo(const TIdIPAddress& ATarget);
    // Every address of Host in the order to try them (raises when a lookup fails; a name's
    // lookup may take as long as the name servers do).
    std::vector<TIdIPAddress> TargetsToTry() const;

    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& AHost) { FHost = AHost; }
    int Port() const { return FPort; }
    void SetPort(int APort) { FPort = APort; }
    const std::string& BoundIP() const { return FBoundIP; }
    void SetBoundIP(const std::string& AIP) { FBoundIP = AIP; }
    bool UseNagle() const { return FUseNagle; }
    void SetUseNagle(bool AUseNagle) { FUseNagle = AUseNagle; }
    TSocksInfo& SocksInfo() { return FSocksInfo; }
    // The connection this client is made for (a relay's accepted client), watched while
    // Connect waits: when its peer resets it, or closes it with nothing unread, the connect
    // is given up with EIdConnectAbandoned. It must belong to the thread that connects.
    // nullptr (the default) watches nothing.
    void SetWatchWhileConnecting(TIdTCPConnection* AConnection)
    {
        FWatchWhileConnecting = AConnection;
    }

    std::function<void(TIdTCPClient* ASender)> OnConnected;

private:
    friend class TIdPeerThread;
    void SetupSocket(const TIdIPAddress& ATarget);
    // One target: a plain connect; several: the first of them to answer (Happy Eyeballs).
    void ConnectWatched(const std::vector<TIdIPAddress>& ATargets);
    bool WatchedConnectionLeft() const;

    std::string FHost;
    int FPort = 0;
    std::string FBoundIP;
    bool FUseNagle = true;
    TSocksInfo FSocksInfo;
    TIdPeerThread* FWatcher = nullptr;  // set and cleared under the watcher's lock
    TIdTCPConnection* FWatchWhileConnecting = nullptr;
};
