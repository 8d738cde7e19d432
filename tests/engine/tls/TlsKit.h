// TLS ends for the engine's TLS tests, on OpenSSL over loopback sockets: certificates of a
// target's own authority, a TLS server that answers every byte with its Transformed byte, and
// a TLS client that sends a payload and reads the answer. Every wait has a deadline.
//
//   TTargetPki pki;                                   // the target's authority, in a temp dir
//   TTlsServer server({.CertFile = pki.Cert("backend.test"), .KeyFile = pki.Key("backend.test")});
//   TTlsExchange got = TlsExchange(port, {.Sni = "backend.test", .CaFile = pki.CaFile()}, "ping");
//
// Any thread; a server serves each connection on a thread of its own.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/tls/TlsAuthority.h"
#include "support/Files.h"
#include "support/Loopback.h"

namespace enginetest {

// An authority that is not the channel's, and its leaves as PEM files.
class TTargetPki {
public:
    TTargetPki();
    const std::string& CaFile() const { return FCaFile; }
    std::string Cert(const std::string& AName);
    std::string Key(const std::string& AName);
    const std::string& Folder() const { return FDir.Path(); }

private:
    void Write(const std::string& AName);
    testkit::TTempDir FDir;
    std::shared_ptr<TTlsAuthority> FAuthority;
    std::string FCaFile;
};

struct TTlsServerOptions {
    std::string CertFile;
    std::string KeyFile;
    std::string Alpn;  // offered protocols, comma separated ("h2,http/1.1"); empty: no ALPN
    bool RequireClientCert = false;
    int MaxVersion = 0;  // TLS1_2_VERSION ...; 0: the highest
};

class TTlsServer {
public:
    explicit TTlsServer(TTlsServerOptions AOptions);
    ~TTlsServer();
    int Port() const { return FListener.Port(); }
    // The handshakes completed, and what the last one negotiated.
    int Handshakes() const { return FHandshakes.load(); }
    std::string LastSni();
    std::string LastVersion();

private:
    void AcceptLoop();
    void Serve(testkit::TFd AFd);

    TTlsServerOptions FOptions;
    TSslCtxPtr FContext;
    std::string FAlpnWire;
    testkit::TListener FListener;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FHandshakes{0};
    std::mutex FLock;  // guards the three below
    std::string FLastSni;
    std::string FLastVersion;
    std::list<std::thread> FThreads;
    std::thread FAcceptor;
};

struct TTlsClientOptions {
    std::string Sni;  // empty: none
    std::string CaFile;  // verify against it (and the name: Sni, or VerifyIp); empty: no check
    std::string VerifyIp;
    std::string Alpn;  // comma separated; empty: no ALPN
    int MaxVersion = 0;
    std::string CertFile;  // a client certificate
    std::string KeyFile;
};

struct TTlsExchange {
    bool Handshake = false;
    std::string Error;  // why the handshake or the exchange failed
    std::string Alpn;
    std::string Version;
    std::string Answer;
};

// Connects to 127.0.0.1:APort, shakes hands, sends APayload and reads as many bytes back.
TTlsExchange TlsExchange(int APort, const TTlsClientOptions& AOptions,
                         const std::string& APayload);

}  // namespace enginetest
