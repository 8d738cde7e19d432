#include "engine/tls/TlsConnection.h"

#include <arpa/inet.h>

#include <utility>

#include <openssl/err.h>
#include <openssl/tls1.h>
#include <openssl/x509v3.h>

namespace {

constexpr unsigned char kHandshakeRecord = 0x16;
constexpr unsigned char kAlertRecord = 0x15;
constexpr std::size_t kReadChunk = 16 * 1024;

bool IsAddress(const std::string& AName)
{
    unsigned char buffer[16];
    return inet_pton(AF_INET, AName.c_str(), buffer) == 1 ||
        inet_pton(AF_INET6, AName.c_str(), buffer) == 1;
}

// Alerts by which a client says that it does not accept the certificate it got.
bool RejectsCertificate(int AAlert)
{
    switch (AAlert) {
        case SSL_AD_BAD_CERTIFICATE:
        case SSL_AD_UNSUPPORTED_CERTIFICATE:
        case SSL_AD_CERTIFICATE_REVOKED:
        case SSL_AD_CERTIFICATE_EXPIRED:
        case SSL_AD_CERTIFICATE_UNKNOWN:
        case SSL_AD_UNKNOWN_CA:
        case SSL_AD_ACCESS_DENIED: return true;
        default: return false;
    }
}

std::string AlertText(int AAlert)
{
    return SSL_alert_desc_string_long(AAlert);
}

// The host name of a client hello's server_name extension, or empty.
std::string SniOf(SSL* ASsl)
{
    const unsigned char* p = nullptr;
    std::size_t size = 0;
    if (SSL_client_hello_get0_ext(ASsl, TLSEXT_TYPE_server_name, &p, &size) != 1 || size < 5)
        return {};
    // list length (2), name type (1, 0 = host name), name length (2), name
    if (p[2] != TLSEXT_NAMETYPE_host_name)
        return {};
    const std::size_t length = static_cast<std::size_t>(p[3]) << 8 | p[4];
    if (length + 5 > size)
        return {};
    return std::string(reinterpret_cast<const char*>(p + 5), length);
}

// A client hello's ALPN offer in wire form (length-prefixed names), or empty.
std::string AlpnOf(SSL* ASsl)
{
    const unsigned char* p = nullptr;
    std::size_t size = 0;
    if (SSL_client_hello_get0_ext(ASsl, TLSEXT_TYPE_application_layer_protocol_negotiation, &p,
                                  &size) != 1 ||
        size < 2)
        return {};
    const std::size_t length = static_cast<std::size_t>(p[0]) << 8 | p[1];
    if (length + 2 > size)
        return {};
    return std::string(reinterpret_cast<const char*>(p + 2), length);
}

TTlsConnection* ConnectionOf(const SSL* ASsl)
{
    return static_cast<TTlsConnection*>(SSL_get_app_data(ASsl));
}

}  // namespace

std::string TakeTlsError(const std::string& AFallback)
{
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    const char* reason = error ? ERR_reason_error_string(error) : nullptr;
    return reason ? reason : AFallback;
}

TTlsConnection::TTlsConnection(std::shared_ptr<const TTlsContexts> AContexts, std::string ADialled,
                               std::string ATargetHost)
    : FContexts(std::move(AContexts)),
      FDialled(std::move(ADialled)),
      FTargetHost(std::move(ATargetHost))
{
    const auto open = [this](TLeg& ALeg, SSL_CTX* AContext) {
        ALeg.Ssl.reset(SSL_new(AContext));
        ALeg.In = BIO_new(BIO_s_mem());
        ALeg.Out = BIO_new(BIO_s_mem());
        if (!ALeg.Ssl || !ALeg.In || !ALeg.Out) {
            BIO_free(ALeg.In);
            BIO_free(ALeg.Out);
            ALeg.In = ALeg.Out = nullptr;
            Fail(ALeg, "cannot make a TLS session: " + TakeTlsError());
            return;
        }
        SSL_set_bio(ALeg.Ssl.get(), ALeg.In, ALeg.Out);
        SSL_set_app_data(ALeg.Ssl.get(), this);
        ALeg.State = TState::Idle;
    };
    if (TerminatesClient()) {
        open(FClient, FContexts->Server.get());
        if (FClient.Ssl) {
            SSL_set_accept_state(FClient.Ssl.get());
            FClient.State = TState::Handshake;
        }
    }
    if (OriginatesTarget())
        open(FTarget, FContexts->Client.get());
}

TTlsConnection::~TTlsConnection() = default;

// ---- the client's leg ----

int TTlsConnection::OnClientHello(SSL* ASsl, int* AAlert, void*)
{
    return ConnectionOf(ASsl)->ClientHello(ASsl, AAlert);
}

int TTlsConnection::ClientHello(SSL* ASsl, int* AAlert)
{
    if (!FHelloSeen) {
        FHelloSeen = true;
        FClientSni = SniOf(ASsl);
        FClientAlpn = AlpnOf(ASsl);
        FClientName = FClientSni.empty() ? FDialled : FClientSni;
        if (FContexts->Settings.PassThroughRejected && FContexts->Channel.Rejected(FClientName)) {
            FPassThrough = true;
            return SSL_CLIENT_HELLO_RETRY;
        }
    }
    if (FAbortClient) {
        *AAlert = SSL_AD_HANDSHAKE_FAILURE;
        return SSL_CLIENT_HELLO_ERROR;
    }
    // The target's choice of protocol is the client's answer: wait for it.
    if (OriginatesTarget() && FTarget.State != TState::Open)
        return SSL_CLIENT_HELLO_RETRY;
    if (FContexts->Authority) {
        FLeaf = FContexts->Authority->LeafFor(FClientName);
        if (!FLeaf || SSL_use_certificate(ASsl, FLeaf->Certificate.get()) != 1 ||
            SSL_use_PrivateKey(ASsl, FLeaf->Key.get()) != 1) {
            FProblem = "cannot issue a certificate for " + FClientName;
            *AAlert = SSL_AD_INTERNAL_ERROR;
            return SSL_CLIENT_HELLO_ERROR;
        }
    }
    FCertificateSent = true;
    FRaw.clear();
    FRaw.shrink_to_fit();
    return SSL_CLIENT_HELLO_SUCCESS;
}

int TTlsConnection::OnAlpnSelect(SSL* ASsl, const unsigned char** AOut, unsigned char* AOutSize,
                                 const unsigned char* AIn, unsigned int AInSize, void*)
{
    // The client gets what the target chose; without a TLS target nobody knows what the
    // target speaks, so nothing is chosen (the client takes its default, as with a server
    // that has no ALPN).
    const std::string& chosen = ConnectionOf(ASsl)->FTargetAlpn;
    for (unsigned int i = 0; !chosen.empty() && i < AInSize; i += 1u + AIn[i]) {
        const unsigned int size = AIn[i];
        if (i + 1 + size > AInSize)
            break;
        if (std::string_view(reinterpret_cast<const char*>(AIn + i + 1), size) == chosen) {
            *AOut = AIn + i + 1;
            *AOutSize = static_cast<unsigned char>(size);
            return SSL_TLSEXT_ERR_OK;
        }
    }
    return SSL_TLSEXT_ERR_NOACK;
}

void TTlsConnection::OnInfo(const SSL* ASsl, int AWhere, int AValue)
{
    if (!(AWhere & SSL_CB_READ_ALERT))
        return;
    TTlsConnection* self = ConnectionOf(ASsl);
    TLeg& leg = ASsl == self->FClient.Ssl.get() ? self->FClient : self->FTarget;
    leg.Alert = AValue & 0xff;
}

void TTlsConnection::OnKeyLog(const SSL* ASsl, const char* ALine)
{
    const auto* contexts =
        static_cast<const TTlsContexts*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ASsl)));
    contexts->KeyLog(ALine);
}

std::string TTlsConnection::FromClient(std::string_view ABytes)
{
    TLeg& leg = FClient;
    if (std::optional<std::string> untouched = Undecrypted(leg, ABytes))
        return std::move(*untouched);
    if (leg.First) {
        leg.First = false;
        if (static_cast<unsigned char>(ABytes[0]) != kHandshakeRecord) {
            Fail(leg, "the client spoke plain text, not TLS, to a channel that terminates TLS");
            FContexts->Channel.Line("TLS: " + FProblem);
            return {};
        }
    }
    if (!FCertificateSent)
        FRaw.append(ABytes);
    if (!Feed(leg, ABytes))
        return {};
    if (leg.State == TState::Handshake)
        AdvanceClient();
    if (leg.State == TState::PassThrough)
        return std::exchange(FRaw, {});
    return leg.State == TState::Open ? ReadPlain(leg, "client") : std::string();
}

void TTlsConnection::AdvanceClient()
{
    TLeg& leg = FClient;
    const int result = SSL_do_handshake(leg.Ssl.get());
    if (result == 1) {
        leg.State = TState::Open;
        Flush(leg);
        return;
    }
    const int error = SSL_get_error(leg.Ssl.get(), result);
    if (error == SSL_ERROR_WANT_READ)
        return;
    if (error == SSL_ERROR_WANT_CLIENT_HELLO_CB) {
        if (FPassThrough) {
            leg.State = TState::PassThrough;
            if (FTarget.State != TState::Off)
                FTarget.State = TState::PassThrough;
            FContexts->Channel.Line("TLS: passes " + FClientName +
                                    " through untouched: its client rejected the channel's "
                                    "certificate before");
            return;
        }
        if (FTarget.State == TState::Idle) {
            leg.State = TState::Waiting;
            StartTarget();
        }
        return;
    }
    ClientHandshakeFailed();
}

void TTlsConnection::ClientHandshakeFailed()
{
    TLeg& leg = FClient;
    if (FAbortClient) {  // the target's failure has its line already
        Fail(leg, FProblem);
        return;
    }
    if (FCertificateSent && RejectsCertificate(leg.Alert)) {
        Reject("sent the alert \"" + AlertText(leg.Alert) + "\"");
        return;
    }
    std::string reason = leg.Alert >= 0
        ? "the client sent the alert \"" + AlertText(leg.Alert) + "\""
        : TakeTlsError();
    if (!FProblem.empty())
        reason = FProblem;  // the hello callback's own
    Fail(leg, "TLS handshake with the client failed: " + reason);
    FContexts->Channel.Line("TLS: " + FProblem);
}

void TTlsConnection::Reject(const std::string& AHow)
{
    const bool passLater = FContexts->Settings.PassThroughRejected;
    if (passLater)
        FContexts->Channel.NoteRejected(FClientName);
    Fail(FClient, "the client rejected the certificate for " + FClientName + " (it " + AHow + ")");
    FContexts->Channel.Line(
        "TLS: " + FProblem +
        (passLater ? "; later connections for " + FClientName + " pass through untouched" : ""));
}

void TTlsConnection::ClientClosed()
{
    TLeg& leg = FClient;
    if (leg.Closed)
        return;
    leg.Closed = true;
    if ((leg.State == TState::Handshake || leg.State == TState::Waiting) && FCertificateSent &&
        !FFailed)
        Reject("closed the connection during the handshake");
}

// ---- the target's leg ----

void TTlsConnection::Start()
{
    // With the client side terminating, the target's hello carries what the client offers.
    if (FTarget.State == TState::Idle && !TerminatesClient())
        StartTarget();
}

void TTlsConnection::StartTarget()
{
    TLeg& leg = FTarget;
    SSL* ssl = leg.Ssl.get();
    const TTlsSettings& settings = FContexts->Settings;
    FTargetName = !FClientSni.empty()  ? FClientSni
        : !settings.ServerName.empty() ? settings.ServerName
                                       : FTargetHost;
    const bool address = IsAddress(FTargetName);
    if (!address)
        SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(FTargetName.c_str()));
    if (settings.Verify) {
        if (address)
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), FTargetName.c_str());
        else
            SSL_set1_host(ssl, FTargetName.c_str());
    }
    if (!FClientAlpn.empty())
        SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(FClientAlpn.data()),
                            static_cast<unsigned int>(FClientAlpn.size()));
    SSL_set_connect_state(ssl);
    leg.State = TState::Handshake;
    AdvanceTarget();
}

void TTlsConnection::AdvanceTarget()
{
    TLeg& leg = FTarget;
    const int result = SSL_do_handshake(leg.Ssl.get());
    if (result == 1) {
        leg.State = TState::Open;
        const unsigned char* alpn = nullptr;
        unsigned int size = 0;
        SSL_get0_alpn_selected(leg.Ssl.get(), &alpn, &size);
        FTargetAlpn.assign(reinterpret_cast<const char*>(alpn), size);
        Flush(leg);
        if (FClient.State == TState::Waiting) {
            FClient.State = TState::Handshake;
            AdvanceClient();
        }
        return;
    }
    if (SSL_get_error(leg.Ssl.get(), result) == SSL_ERROR_WANT_READ)
        return;
    Fail(leg, "TLS handshake with the target " + FTargetName + " failed: " + TargetProblem(leg));
    FContexts->Channel.Line("TLS: " + FProblem);
    if (FClient.State == TState::Waiting) {
        // The client gets a handshake failure alert instead of a certificate.
        FAbortClient = true;
        FClient.State = TState::Handshake;
        AdvanceClient();
    }
}

std::string TTlsConnection::TargetProblem(const TLeg& ALeg) const
{
    if (ALeg.Plain) {
        ERR_clear_error();
        return "the target answered in plain text, not TLS";
    }
    const long verified = SSL_get_verify_result(ALeg.Ssl.get());
    if (verified != X509_V_OK) {
        ERR_clear_error();
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    }
    if (ALeg.Alert >= 0) {
        ERR_clear_error();
        return "the target sent the alert \"" + AlertText(ALeg.Alert) + "\"";
    }
    return TakeTlsError();
}

std::string TTlsConnection::FromTarget(std::string_view ABytes)
{
    TLeg& leg = FTarget;
    if (std::optional<std::string> untouched = Undecrypted(leg, ABytes))
        return std::move(*untouched);
    if (leg.First) {
        leg.First = false;
        const auto type = static_cast<unsigned char>(ABytes[0]);
        leg.Plain = type != kHandshakeRecord && type != kAlertRecord;
    }
    if (!Feed(leg, ABytes))
        return {};
    if (leg.State == TState::Handshake)
        AdvanceTarget();
    return leg.State == TState::Open ? ReadPlain(leg, "target") : std::string();
}

void TTlsConnection::TargetClosed()
{
    TLeg& leg = FTarget;
    if (leg.Closed)
        return;
    leg.Closed = true;
    if (leg.State == TState::Handshake && !FFailed) {
        Fail(leg,
             "TLS handshake with the target " + FTargetName +
                 " failed: the target closed the connection" +
                 (leg.Plain ? " after answering in plain text, not TLS" : ""));
        FContexts->Channel.Line("TLS: " + FProblem);
    }
}

// ---- both legs ----

std::optional<std::string> TTlsConnection::Undecrypted(const TLeg& ALeg, std::string_view ABytes)
{
    if (ALeg.State == TState::Off || ALeg.State == TState::PassThrough)
        return std::string(ABytes);
    if (ALeg.State == TState::Failed || ABytes.empty())
        return std::string();
    return std::nullopt;
}

bool TTlsConnection::Feed(TLeg& ALeg, std::string_view ABytes)
{
    // A memory buffer takes everything.
    return BIO_write(ALeg.In, ABytes.data(), static_cast<int>(ABytes.size())) ==
        static_cast<int>(ABytes.size());
}

std::string TTlsConnection::ReadPlain(TLeg& ALeg, const char* ASide)
{
    std::string plain;
    for (;;) {
        const std::size_t before = plain.size();
        plain.resize(before + kReadChunk);
        std::size_t read = 0;
        const int result = SSL_read_ex(ALeg.Ssl.get(), plain.data() + before, kReadChunk, &read);
        plain.resize(before + read);
        if (result == 1)
            continue;
        const int error = SSL_get_error(ALeg.Ssl.get(), result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_ZERO_RETURN)
            break;
        const std::string reason = ALeg.Alert >= 0
            ? std::string("the ") + ASide + " sent the alert \"" + AlertText(ALeg.Alert) + "\""
            : TakeTlsError();
        Fail(ALeg, std::string("TLS with the ") + ASide + " failed: " + reason);
        FContexts->Channel.Line("TLS: " + FProblem);
        break;
    }
    return plain;
}

std::string TTlsConnection::Encrypt(TLeg& ALeg, std::string_view APlain)
{
    switch (ALeg.State) {
        case TState::Off:
        case TState::PassThrough: return std::string(APlain);
        case TState::Failed: return {};
        case TState::Open: break;
        default: ALeg.Pending.append(APlain); return {};
    }
    std::size_t written = 0;
    if (!APlain.empty() &&
        SSL_write_ex(ALeg.Ssl.get(), APlain.data(), APlain.size(), &written) != 1) {
        Fail(ALeg, "TLS write failed: " + TakeTlsError());
        return {};
    }
    return Drain(ALeg);
}

std::string TTlsConnection::ToClient(std::string_view APlain)
{
    return Encrypt(FClient, APlain);
}

std::string TTlsConnection::ToTarget(std::string_view APlain)
{
    return Encrypt(FTarget, APlain);
}

void TTlsConnection::Flush(TLeg& ALeg)
{
    if (ALeg.Pending.empty())
        return;
    std::size_t written = 0;
    SSL_write_ex(ALeg.Ssl.get(), ALeg.Pending.data(), ALeg.Pending.size(), &written);
    std::string().swap(ALeg.Pending);
}

std::string TTlsConnection::Drain(TLeg& ALeg)
{
    if (!ALeg.Out)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(ALeg.Out, &data);
    if (size <= 0)
        return {};
    std::string bytes(data, static_cast<std::size_t>(size));
    (void)BIO_reset(ALeg.Out);
    return bytes;
}

std::string TTlsConnection::TakeForClient()
{
    return FClient.State == TState::PassThrough ? std::string() : Drain(FClient);
}

std::string TTlsConnection::TakeForTarget()
{
    return FTarget.State == TState::PassThrough ? std::string() : Drain(FTarget);
}

std::string TTlsConnection::CloseNotifyTo(bool AClient)
{
    TLeg& leg = AClient ? FClient : FTarget;
    if (leg.State != TState::Open)
        return {};
    SSL_shutdown(leg.Ssl.get());
    ERR_clear_error();
    return Drain(leg);
}

void TTlsConnection::Fail(TLeg& ALeg, const std::string& AProblem)
{
    ALeg.State = TState::Failed;
    std::string().swap(ALeg.Pending);
    if (!FFailed) {
        FFailed = true;
        FProblem = AProblem;
    }
}

std::string TTlsConnection::Facts(bool AClient) const
{
    const TLeg& leg = AClient ? FClient : FTarget;
    if (leg.State != TState::Open)
        return {};
    const std::string& alpn = FTargetAlpn;  // what both legs agreed on
    const std::string& name = AClient ? FClientSni : FTargetName;
    std::string facts =
        std::string(SSL_get_version(leg.Ssl.get())) + " " + SSL_get_cipher_name(leg.Ssl.get());
    if (!alpn.empty() && (!AClient || OriginatesTarget()))
        facts += " ALPN " + alpn;
    if (!name.empty())
        facts += " SNI " + name;
    return facts;
}
