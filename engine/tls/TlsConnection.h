// The two TLS legs of one connection over memory buffers: what the client sent is decrypted
// here and what goes to it encrypted (a terminating client side); the same towards the target
// (an originating target side). It reads and writes no socket: bytes go in, plain text or
// ciphertext comes out, and the handshake's own messages wait in TakeForClient/TakeForTarget
// until the caller sends them.
//
//   TTlsConnection tls(channel.Current(), "127.0.0.1", "backend.test");
//   tls.Start();                                  // an originating side speaks first
//   send(target, tls.TakeForTarget());
//   std::string plain = tls.FromClient(readFromClient);   // then TakeForClient(), TakeForTarget()
//   send(target, tls.ToTarget(plain));
//
// With both legs on, the client's handshake waits (in OpenSSL's client hello callback) until
// the target's is done: the target gets the client's server name and ALPN offer, and the client
// gets the protocol the target chose, so both negotiate what a direct connection would.
//
// Threads: the one that carries the connection at the time, only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/tls/TlsContexts.h"

class TTlsConnection {
public:
    // ADialled: the local address the client dialled (the leaf's name when it sends no server
    // name). ATargetHost: the channel's Map IP, a name or an address.
    TTlsConnection(std::shared_ptr<const TTlsContexts> AContexts, std::string ADialled,
                   std::string ATargetHost);
    ~TTlsConnection();
    TTlsConnection(const TTlsConnection&) = delete;
    TTlsConnection& operator=(const TTlsConnection&) = delete;

    bool TerminatesClient() const { return FContexts->Settings.Client; }
    bool OriginatesTarget() const { return FContexts->Settings.Target; }

    // The connection to the target is up: an originating side that need not wait for the
    // client's offer sends its hello.
    void Start();
    // Ciphertext from a side in, the plain text it carried out (while a leg passes through:
    // the bytes themselves).
    std::string FromClient(std::string_view ABytes);
    std::string FromTarget(std::string_view ABytes);
    // Plain text for a side in, its ciphertext out; empty while the leg's handshake runs (the
    // text is kept and goes out with TakeFor... once it is done).
    std::string ToClient(std::string_view APlain);
    std::string ToTarget(std::string_view APlain);
    // A side closed its connection: a client that leaves while checking the issued
    // certificate has rejected it.
    void ClientClosed();
    void TargetClosed();
    // The close_notify for a side whose peer has gone, or empty.
    std::string CloseNotifyTo(bool AClient);
    // Bytes TLS sends to a side on its own (handshake messages, alerts, held text).
    std::string TakeForClient();
    std::string TakeForTarget();

    // A handshake or a record failed: the connection is to end, once the alert is sent.
    bool Failed() const { return FFailed; }
    const std::string& Problem() const { return FProblem; }
    // Plain text waits for a handshake.
    bool Holding() const { return !FClient.Pending.empty() || !FTarget.Pending.empty(); }
    bool PassingThrough() const { return FClient.State == TState::PassThrough; }

    // What a leg negotiated ("TLSv1.3 TLS_AES_128_GCM_SHA256 h2 example.test"), empty before.
    std::string Facts(bool AClient) const;

    // OpenSSL's callbacks, registered on the channel's contexts.
    static int OnClientHello(SSL* ASsl, int* AAlert, void*);
    static int OnAlpnSelect(SSL* ASsl, const unsigned char** AOut, unsigned char* AOutSize,
                            const unsigned char* AIn, unsigned int AInSize, void*);
    static void OnInfo(const SSL* ASsl, int AWhere, int AValue);
    static void OnKeyLog(const SSL* ASsl, const char* ALine);

private:
    enum class TState : std::uint8_t { Off, Idle, Handshake, Waiting, Open, PassThrough, Failed };
    struct TLeg {
        TSslPtr Ssl;
        BIO* In = nullptr;  // owned by Ssl
        BIO* Out = nullptr;  // owned by Ssl
        TState State = TState::Off;
        std::string Pending;  // plain text for the side, until its handshake is done
        bool First = true;  // nothing has come from the side yet
        bool Plain = false;  // the first byte from the side began no TLS record
        int Alert = -1;  // the last alert the side sent us, or -1
        bool Closed = false;
    };

    int ClientHello(SSL* ASsl, int* AAlert);
    void AdvanceClient();
    void StartTarget();
    void AdvanceTarget();
    void ClientHandshakeFailed();
    std::string TargetProblem(const TLeg& ALeg) const;
    void Reject(const std::string& AHow);
    void Fail(TLeg& ALeg, const std::string& AProblem);
    std::string ReadPlain(TLeg& ALeg, const char* ASide);
    std::string Encrypt(TLeg& ALeg, std::string_view APlain);
    static void Flush(TLeg& ALeg);
    static std::string Drain(TLeg& ALeg);
    static bool Feed(TLeg& ALeg, std::string_view ABytes);
    // What a leg that does not decrypt makes of ABytes: passes them on (off, passed through)
    // or drops them (failed, or nothing read); nullopt when the leg decrypts them.
    static std::optional<std::string> Undecrypted(const TLeg& ALeg, std::string_view ABytes);

    const std::shared_ptr<const TTlsContexts> FContexts;
    const std::string FDialled;
    const std::string FTargetHost;
    TLeg FClient;
    TLeg FTarget;
    std::string FRaw;  // the client's bytes until its hello is decided (for a pass-through)
    std::string FClientName;  // the client's server name, or the dialled address
    std::string FClientSni;
    std::string FClientAlpn;  // the client's ALPN offer in wire form
    std::string FTargetName;
    std::string FTargetAlpn;  // the protocol the target chose
    std::shared_ptr<const TTlsLeaf> FLeaf;  // the certificate the client got
    bool FHelloSeen = false;
    bool FPassThrough = false;
    bool FAbortClient = false;
    bool FCertificateSent = false;
    bool FFailed = false;
    std::string FProblem;
};
