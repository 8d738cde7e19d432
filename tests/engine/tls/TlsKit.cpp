#include "tls/TlsKit.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <functional>

#include "support/Backend.h"

namespace enginetest {

using namespace testkit;

namespace {

std::string AlpnWire(const std::string& AList)
{
    std::string wire;
    std::size_t from = 0;
    while (from < AList.size()) {
        std::size_t comma = AList.find(',', from);
        if (comma == std::string::npos)
            comma = AList.size();
        wire += static_cast<char>(comma - from);
        wire += AList.substr(from, comma - from);
        from = comma + 1;
    }
    return wire;
}

void NonBlocking(int AFd)
{
    fcntl(AFd, F_SETFL, fcntl(AFd, F_GETFL) | O_NONBLOCK);
}

void WaitFor(int AFd, short AEvents)
{
    pollfd p{AFd, AEvents, 0};
    poll(&p, 1, 50);
}

std::string ErrorText(SSL* ASsl)
{
    const long verified = SSL_get_verify_result(ASsl);
    if (verified != X509_V_OK)
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    const char* reason = error ? ERR_reason_error_string(error) : nullptr;
    return reason ? reason : "closed";
}

// Shakes hands on a non-blocking socket; empty when done, else why not.
std::string Handshake(SSL* ASsl, int AFd, const std::atomic<bool>* AStop = nullptr)
{
    const auto deadline = Clock::now() + kDeadline;
    while (Clock::now() < deadline && !(AStop && AStop->load())) {
        const int result = SSL_do_handshake(ASsl);
        if (result == 1)
            return {};
        const int error = SSL_get_error(ASsl, result);
        if (error == SSL_ERROR_WANT_READ)
            WaitFor(AFd, POLLIN);
        else if (error == SSL_ERROR_WANT_WRITE)
            WaitFor(AFd, POLLOUT);
        else
            return ErrorText(ASsl);
    }
    return "timed out";
}

// Writes AOut (and what AAnswer makes of each piece that comes) and reads until AEnough bytes
// came, the peer closed, AStop or the deadline. True when AEnough came.
bool Pump(SSL* ASsl, int AFd, std::string AOut, std::size_t AEnough, std::string& AIn,
          const std::function<std::string(std::string)>& AAnswer,
          const std::atomic<bool>* AStop = nullptr)
{
    const auto deadline = Clock::now() + kDeadline;
    std::size_t sent = 0;
    std::string buffer(64 * 1024, '\0');
    while (Clock::now() < deadline && !(AStop && AStop->load())) {
        bool moved = false;
        bool closed = false;
        std::size_t n = 0;
        int result = SSL_read_ex(ASsl, buffer.data(), buffer.size(), &n);
        if (result == 1) {
            AIn.append(buffer, 0, n);
            if (AAnswer)
                AOut += AAnswer(buffer.substr(0, n));
            moved = true;
        } else {
            const int error = SSL_get_error(ASsl, result);
            closed = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
        }
        if (sent < AOut.size()) {
            result = SSL_write_ex(ASsl, AOut.data() + sent, AOut.size() - sent, &n);
            if (result == 1) {
                sent += n;
                moved = true;
            } else {
                const int error = SSL_get_error(ASsl, result);
                closed = closed ||
                    (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE);
            }
        }
        if (AIn.size() >= AEnough && sent == AOut.size())
            return true;
        if (closed)
            return false;
        if (!moved)
            WaitFor(AFd, static_cast<short>(POLLIN | (sent < AOut.size() ? POLLOUT : 0)));
    }
    return false;
}

void Moving(SSL_CTX* AContext)
{
    SSL_CTX_set_mode(AContext, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

}  // namespace

// ---- certificates ----

TTargetPki::TTargetPki()
{
    std::string problem;
    FAuthority = TTlsAuthority::Open(FDir.Path(), problem);
    if (!FAuthority)
        throw std::runtime_error(problem);
    FCaFile = FDir / TTlsAuthority::kCertificateFile;
}

void TTargetPki::Write(const std::string& AName)
{
    const std::string cert = FDir / (AName + ".pem");
    if (std::filesystem::exists(cert))
        return;
    std::shared_ptr<const TTlsLeaf> leaf = FAuthority->LeafFor(AName);
    if (!leaf)
        throw std::runtime_error("no leaf for " + AName);
    FILE* c = std::fopen(cert.c_str(), "w");
    PEM_write_X509(c, leaf->Certificate.get());
    std::fclose(c);
    FILE* k = std::fopen((FDir / (AName + ".key")).c_str(), "w");
    PEM_write_PrivateKey(k, leaf->Key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(k);
}

std::string TTargetPki::Cert(const std::string& AName)
{
    Write(AName);
    return FDir / (AName + ".pem");
}

std::string TTargetPki::Key(const std::string& AName)
{
    Write(AName);
    return FDir / (AName + ".key");
}

// ---- server ----

TTlsServer::TTlsServer(TTlsServerOptions AOptions)
    : FOptions(std::move(AOptions)), FContext(SSL_CTX_new(TLS_server_method()))
{
    SSL_CTX* c = FContext.get();
    Moving(c);
    if (SSL_CTX_use_certificate_chain_file(c, FOptions.CertFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(c, FOptions.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("test server certificate");
    if (FOptions.MaxVersion)
        SSL_CTX_set_max_proto_version(c, FOptions.MaxVersion);
    if (FOptions.RequireClientCert)
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                           [](int, X509_STORE_CTX*) { return 1; });  // any certificate will do
    FAlpnWire = AlpnWire(FOptions.Alpn);
    if (!FAlpnWire.empty())
        SSL_CTX_set_alpn_select_cb(
            c,
            [](SSL*, const unsigned char** AOut, unsigned char* AOutSize, const unsigned char* AIn,
               unsigned int AInSize, void* AArg) {
                const auto* ours = static_cast<const std::string*>(AArg);
                unsigned char* out = nullptr;
                if (SSL_select_next_proto(&out, AOutSize,
                                          reinterpret_cast<const unsigned char*>(ours->data()),
                                          static_cast<unsigned int>(ours->size()), AIn,
                                          AInSize) != OPENSSL_NPN_NEGOTIATED)
                    return SSL_TLSEXT_ERR_ALERT_FATAL;
                *AOut = out;
                return SSL_TLSEXT_ERR_OK;
            },
            &FAlpnWire);
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

TTlsServer::~TTlsServer()
{
    FStopping = true;
    ::shutdown(FListener.Fd(), SHUT_RDWR);
    FAcceptor.join();
    for (std::thread& t : FThreads)
        t.join();
}

void TTlsServer::AcceptLoop()
{
    while (!FStopping) {
        TFd fd(::accept(FListener.Fd(), nullptr, nullptr));
        if (fd.Get() < 0)
            return;
        std::lock_guard guard(FLock);
        FThreads.emplace_back([this, f = std::move(fd)]() mutable { Serve(std::move(f)); });
    }
}

void TTlsServer::Serve(TFd AFd)
{
    NonBlocking(AFd.Get());
    TSslPtr ssl(SSL_new(FContext.get()));
    SSL_set_fd(ssl.get(), AFd.Get());
    SSL_set_accept_state(ssl.get());
    if (!Handshake(ssl.get(), AFd.Get(), &FStopping).empty())
        return;
    {
        std::lock_guard guard(FLock);
        const char* sni = SSL_get_servername(ssl.get(), TLSEXT_NAMETYPE_host_name);
        FLastSni = sni ? sni : "";
        FLastVersion = SSL_get_version(ssl.get());
    }
    FHandshakes.fetch_add(1);
    std::string in;
    Pump(ssl.get(), AFd.Get(), {}, SIZE_MAX, in, Transformed, &FStopping);
    SSL_shutdown(ssl.get());
}

std::string TTlsServer::LastSni()
{
    std::lock_guard guard(FLock);
    return FLastSni;
}

std::string TTlsServer::LastVersion()
{
    std::lock_guard guard(FLock);
    return FLastVersion;
}

// ---- client ----

TTlsExchange TlsExchange(int APort, const TTlsClientOptions& AOptions,
                         const std::string& APayload)
{
    TTlsExchange result;
    TSslCtxPtr context(SSL_CTX_new(TLS_client_method()));
    Moving(context.get());
    if (AOptions.MaxVersion)
        SSL_CTX_set_max_proto_version(context.get(), AOptions.MaxVersion);
    if (!AOptions.CaFile.empty()) {
        SSL_CTX_load_verify_locations(context.get(), AOptions.CaFile.c_str(), nullptr);
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    }
    if (!AOptions.CertFile.empty()) {
        SSL_CTX_use_certificate_chain_file(context.get(), AOptions.CertFile.c_str());
        SSL_CTX_use_PrivateKey_file(context.get(), AOptions.KeyFile.c_str(), SSL_FILETYPE_PEM);
    }
    TFd fd = ConnectTo(APort);
    NonBlocking(fd.Get());
    TSslPtr ssl(SSL_new(context.get()));
    SSL_set_fd(ssl.get(), fd.Get());
    SSL_set_connect_state(ssl.get());
    if (!AOptions.Sni.empty()) {
        SSL_set_tlsext_host_name(ssl.get(), AOptions.Sni.c_str());
        if (!AOptions.CaFile.empty())
            SSL_set1_host(ssl.get(), AOptions.Sni.c_str());
    }
    if (!AOptions.VerifyIp.empty())
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), AOptions.VerifyIp.c_str());
    if (const std::string wire = AlpnWire(AOptions.Alpn); !wire.empty())
        SSL_set_alpn_protos(ssl.get(), reinterpret_cast<const unsigned char*>(wire.data()),
                            static_cast<unsigned int>(wire.size()));
    result.Error = Handshake(ssl.get(), fd.Get());
    if (!result.Error.empty())
        return result;
    result.Handshake = true;
    const unsigned char* alpn = nullptr;
    unsigned int size = 0;
    SSL_get0_alpn_selected(ssl.get(), &alpn, &size);
    result.Alpn.assign(reinterpret_cast<const char*>(alpn), size);
    result.Version = SSL_get_version(ssl.get());
    if (!Pump(ssl.get(), fd.Get(), APayload, APayload.size(), result.Answer, {}))
        result.Error = "exchange ended after " + std::to_string(result.Answer.size()) + " bytes";
    SSL_shutdown(ssl.get());
    return result;
}

}  // namespace enginetest
