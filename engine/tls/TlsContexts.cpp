#include "engine/tls/TlsContexts.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "engine/tls/TlsConnection.h"

namespace {

// One line naming the key and the file when a file is missing or unreadable.
std::string Unreadable(const char* AKey, const std::string& APath)
{
    std::ifstream in(APath, std::ios::binary);
    if (in)
        return {};
    return std::string(AKey) + " " + APath + ": cannot read it (" + std::strerror(errno) + ")";
}

std::string Unparsed(const char* AKey, const std::string& APath, const char* AWhat)
{
    return std::string(AKey) + " " + APath + ": not " + AWhat + " (" + TakeTlsError() + ")";
}

// A certificate (chain) and its key into AContext; empty, or what is wrong.
std::string UseCertificate(SSL_CTX* AContext, const char* ACertKey, const std::string& ACert,
                           const char* AKeyKey, const std::string& AKey)
{
    if (std::string problem = Unreadable(ACertKey, ACert); !problem.empty())
        return problem;
    if (std::string problem = Unreadable(AKeyKey, AKey); !problem.empty())
        return problem;
    if (SSL_CTX_use_certificate_chain_file(AContext, ACert.c_str()) != 1)
        return Unparsed(ACertKey, ACert, "a PEM certificate");
    if (SSL_CTX_use_PrivateKey_file(AContext, AKey.c_str(), SSL_FILETYPE_PEM) != 1)
        return Unparsed(AKeyKey, AKey, "a PEM private key");
    if (SSL_CTX_check_private_key(AContext) != 1) {
        ERR_clear_error();
        return std::string(AKeyKey) + " " + AKey + ": not the key of " + ACert;
    }
    return {};
}

// What both legs share: TLS 1.2 at least, the info and key log callbacks.
TSslCtxPtr NewContext(const SSL_METHOD* AMethod, const TTlsContexts& AOwner)
{
    TSslCtxPtr context(SSL_CTX_new(AMethod));
    if (!context)
        return nullptr;
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_app_data(context.get(), const_cast<TTlsContexts*>(&AOwner));
    SSL_CTX_set_info_callback(context.get(), &TTlsConnection::OnInfo);
    if (!AOwner.Settings.KeyLogFile.empty())
        SSL_CTX_set_keylog_callback(context.get(), &TTlsConnection::OnKeyLog);
    return context;
}

std::string MakeServer(TTlsContexts& AContexts, const std::string& AFolder)
{
    const TTlsSettings& s = AContexts.Settings;
    AContexts.Server = NewContext(TLS_server_method(), AContexts);
    SSL_CTX* context = AContexts.Server.get();
    if (!context)
        return "cannot make a TLS context: " + TakeTlsError();
    // Every connection is a full handshake: no tickets or session cache to keep per channel.
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_client_hello_cb(context, &TTlsConnection::OnClientHello, nullptr);
    SSL_CTX_set_alpn_select_cb(context, &TTlsConnection::OnAlpnSelect, nullptr);
    if (!s.CertFile.empty() || !s.KeyFile.empty())
        return UseCertificate(context, "TlsCertFile", s.CertFile, "TlsKeyFile",
                              s.KeyFile.empty() ? s.CertFile : s.KeyFile);
    std::string problem;
    AContexts.Authority = TTlsAuthority::Open(AFolder, problem);
    return AContexts.Authority ? std::string() : "local certificate authority: " + problem;
}

// The system's trust store, its bundle parsed into memory once and its hashed folder as the
// fallback for certificates added beside the bundle. OpenSSL's default paths would also
// search the folder as a store URI, which lists the whole folder on every handshake whose
// issuer is not in memory: a millisecond of the relay's time per connection.
bool LoadSystemTrustStore(SSL_CTX* AContext)
{
    X509_STORE* store = SSL_CTX_get_cert_store(AContext);
    auto fromEnvironment = [](const char* AVariable, const char* AFallback) {
        const char* value = std::getenv(AVariable);
        return value && *value ? value : AFallback;
    };
    const char* bundle = fromEnvironment(X509_get_default_cert_file_env(),
                                         X509_get_default_cert_file());
    if (X509_STORE_load_file(store, bundle) != 1)
        ERR_clear_error();  // no bundle: the folder alone, as OpenSSL's own default
    X509_LOOKUP* folder = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    return folder &&
        X509_LOOKUP_add_dir(folder, fromEnvironment(X509_get_default_cert_dir_env(),
                                                    X509_get_default_cert_dir()),
                            X509_FILETYPE_PEM) == 1;
}

std::string MakeClient(TTlsContexts& AContexts)
{
    const TTlsSettings& s = AContexts.Settings;
    AContexts.Client = NewContext(TLS_client_method(), AContexts);
    SSL_CTX* context = AContexts.Client.get();
    if (!context)
        return "cannot make a TLS context: " + TakeTlsError();
    SSL_CTX_set_verify(context, s.Verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    if (!s.CaFile.empty()) {
        if (std::string problem = Unreadable("TlsCaFile", s.CaFile); !problem.empty())
            return problem;
        if (SSL_CTX_load_verify_locations(context, s.CaFile.c_str(), nullptr) != 1)
            return Unparsed("TlsCaFile", s.CaFile, "PEM certificates");
    } else if (s.Verify && !LoadSystemTrustStore(context)) {
        return "the system's trust store: " + TakeTlsError();
    }
    if (!s.ClientCertFile.empty() || !s.ClientKeyFile.empty())
        return UseCertificate(context, "TlsClientCertFile", s.ClientCertFile, "TlsClientKeyFile",
                              s.ClientKeyFile.empty() ? s.ClientCertFile : s.ClientKeyFile);
    return {};
}

}  // namespace

TTlsContexts::~TTlsContexts()
{
    if (FKeyLog)
        std::fclose(FKeyLog);
}

void TTlsContexts::KeyLog(const char* ALine) const
{
    std::lock_guard guard(FKeyLogLock);
    if (!FKeyLog)
        return;
    std::fputs(ALine, FKeyLog);
    std::fputc('\n', FKeyLog);
    // A reader (Wireshark) follows the file while the connection runs.
    std::fflush(FKeyLog);
}

std::string TTlsChannel::Configure(const TTlsSettings& ASettings, const std::string& AFolder)
{
    if (!ASettings.Client && !ASettings.Target) {
        std::lock_guard guard(FLock);
        FCurrent.reset();
        return {};
    }
    auto contexts = std::make_shared<TTlsContexts>(ASettings, *this);
    std::string problem;
    if (ASettings.Client)
        problem = MakeServer(*contexts, AFolder);
    if (problem.empty() && ASettings.Target)
        problem = MakeClient(*contexts);
    if (problem.empty() && !ASettings.KeyLogFile.empty()) {
        contexts->FKeyLog = std::fopen(ASettings.KeyLogFile.c_str(), "ae");
        if (!contexts->FKeyLog)
            problem = "TlsKeyLogFile " + ASettings.KeyLogFile + ": cannot write it (" +
                std::strerror(errno) + ")";
    }
    if (!problem.empty())
        return problem;
    std::lock_guard guard(FLock);
    FCurrent = std::move(contexts);
    return {};
}

std::shared_ptr<const TTlsContexts> TTlsChannel::Current() const
{
    std::lock_guard guard(FLock);
    return FCurrent;
}

bool TTlsChannel::Rejected(const std::string& AName) const
{
    std::lock_guard guard(FLock);
    return FRejected.count(AName) != 0;
}

void TTlsChannel::NoteRejected(const std::string& AName)
{
    std::lock_guard guard(FLock);
    FRejected.insert(AName);
}
