// The TLS side of one channel: its settings, the OpenSSL contexts made from them (one per leg),
// the local authority's leaves, the key log file, and the names whose clients rejected the
// channel's certificate.
//
//   TTlsChannel tls;                                   // owned by the mapping server
//   tls.OnLine = [](const std::string& s) { ... };     // before activation
//   std::string problem = tls.Configure(settings, settingsFolder);   // main thread
//   std::shared_ptr<const TTlsContexts> now = tls.Current();  // a new connection, any thread
//
// Threads: Configure and OnLine on the main thread while no connection of the channel starts;
// everything else on any thread. A connection keeps the contexts it started with, so a change
// applies to new connections only and never pulls a context from under a running one.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "engine/tls/TlsAuthority.h"
#include "engine/tls/TlsOpenSsl.h"

// A channel's TLS keys (see the README for what each does). Both legs off: no TLS at all.
struct TTlsSettings {
    bool Client = false;  // terminate the clients' TLS
    std::string CertFile;  // the client side's certificate (chain) and key; empty: issue
    std::string KeyFile;
    bool Target = false;  // speak TLS to the target
    std::string ServerName;  // the name sent to and checked at the target; empty: see below
    bool Verify = true;
    std::string CaFile;  // the target's trust anchors; empty: the system's store
    std::string ClientCertFile;  // offered to a target that asks for one
    std::string ClientKeyFile;
    bool PassThroughRejected = true;
    std::string KeyLogFile;  // NSS key log of both legs; empty: none

    bool operator==(const TTlsSettings&) const = default;
};

class TTlsChannel;

// The contexts of one configuration. Immutable once built; connections share them.
class TTlsContexts {
public:
    TTlsContexts(const TTlsSettings& ASettings, TTlsChannel& AChannel)
        : Settings(ASettings), Channel(AChannel)
    {}
    ~TTlsContexts();
    TTlsContexts(const TTlsContexts&) = delete;
    TTlsContexts& operator=(const TTlsContexts&) = delete;

    const TTlsSettings Settings;
    TTlsChannel& Channel;
    TSslCtxPtr Server;  // towards the clients, when the client side terminates
    TSslCtxPtr Client;  // towards the target, when the target side originates
    std::shared_ptr<TTlsAuthority> Authority;  // when the client side issues its leaves

    // Appends a key log line (both legs' secrets); any thread.
    void KeyLog(const char* ALine) const;

private:
    friend class TTlsChannel;
    mutable std::mutex FKeyLogLock;  // guards FKeyLog's writes
    std::FILE* FKeyLog = nullptr;
};

class TTlsChannel {
public:
    // A line for the channel's log (a failed handshake, a pass-through); called on the thread
    // that carries the connection.
    std::function<void(const std::string&)> OnLine;

    // Makes the contexts of ASettings (certificates, keys and CA file read now; the local
    // authority made in AFolder on first need). Empty when done; else a one-line problem that
    // names the file, and the channel keeps its previous contexts.
    std::string Configure(const TTlsSettings& ASettings, const std::string& AFolder);
    // The contexts new connections use, or nullptr while both legs are off.
    std::shared_ptr<const TTlsContexts> Current() const;

    // Names whose clients rejected the issued certificate; later connections for them pass
    // through untouched.
    bool Rejected(const std::string& AName) const;
    void NoteRejected(const std::string& AName);

    void Line(const std::string& AText) const
    {
        if (OnLine)
            OnLine(AText);
    }

private:
    mutable std::mutex FLock;  // guards the two below
    std::shared_ptr<const TTlsContexts> FCurrent;
    std::set<std::string> FRejected;
};
