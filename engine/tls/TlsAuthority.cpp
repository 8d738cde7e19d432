#include "engine/tls/TlsAuthority.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using TBignumPtr = std::unique_ptr<BIGNUM, TOpenSslFree<&BN_free>>;

// The authority outlives no folder change: ten years, long after any leaf it issued.
constexpr int kAuthorityDays = 3650;
constexpr long kHourSeconds = 3600;

bool IsAddress(const std::string& AName)
{
    unsigned char buffer[16];
    return inet_pton(AF_INET, AName.c_str(), buffer) == 1 ||
        inet_pton(AF_INET6, AName.c_str(), buffer) == 1;
}

// A name the client sent that can stand in a subject alternative name as it is: the
// extension's text form would read a comma or colon as a separator.
bool IsHostName(const std::string& AName)
{
    if (AName.empty() || AName.size() > 253)
        return false;
    for (const char c : AName)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
              c == '*'))
            return false;
    return true;
}

bool ReadFile(const std::string& APath, std::string& AText)
{
    std::ifstream in(APath, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    AText = text.str();
    return !in.bad();
}

// Writes AText to APath through a file beside it that replaces it whole, with AMode from the
// start (a key is never readable by others, not even for a moment).
std::string WriteFile(const std::string& APath, const std::string& AText, mode_t AMode)
{
    const std::string temporary = APath + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, AMode);
    if (fd < 0)
        return "cannot write " + temporary + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < AText.size()) {
        const ssize_t n = ::write(fd, AText.data() + done, AText.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            return "cannot write " + temporary + ": " + reason;
        }
        done += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, AMode);  // an older file of that name kept its own mode
    ::fsync(fd);
    ::close(fd);
    if (std::rename(temporary.c_str(), APath.c_str()) != 0)
        return "cannot replace " + APath + ": " + std::strerror(errno);
    return {};
}

std::string BioText(BIO* ABio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(ABio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

bool AddExtension(X509* ACertificate, X509* AIssuer, int ANid, const char* AValue)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, AIssuer, ACertificate, nullptr, nullptr, 0);
    TX509ExtPtr extension(X509V3_EXT_conf_nid(nullptr, &context, ANid, AValue));
    return extension && X509_add_ext(ACertificate, extension.get(), -1) == 1;
}

bool SetRandomSerial(X509* ACertificate)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f;  // a serial is a positive number
    TBignumPtr number(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(ACertificate));
}

// A version 3 certificate for AKey with a random serial and subject CN=ACommonName, valid from
// an hour ago for ADays days; nullptr on failure.
TX509Ptr NewCertificate(EVP_PKEY* AKey, const std::string& ACommonName, int ADays)
{
    TX509Ptr certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), 2) != 1 ||
        !SetRandomSerial(certificate.get()) || X509_set_pubkey(certificate.get(), AKey) != 1)
        return nullptr;
    if (!X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kHourSeconds) ||
        !X509_time_adj_ex(X509_getm_notAfter(certificate.get()), ADays, -kHourSeconds, nullptr))
        return nullptr;
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    // A common name is at most 64 characters; the alternative name is what clients check.
    const std::string cn = ACommonName.substr(0, 64);
    if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                   0) != 1)
        return nullptr;
    return certificate;
}

std::shared_ptr<TTlsAuthority> Create(const std::string& AFolder, std::string& AProblem)
{
    TPkeyPtr key(EVP_EC_gen("P-256"));
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    TX509Ptr certificate =
        key ? NewCertificate(key.get(), std::string("Trabix local CA (") + host + ")",
                             kAuthorityDays)
            : nullptr;
    X509* c = certificate.get();
    if (!c || X509_set_issuer_name(c, X509_get_subject_name(c)) != 1 ||
        !AddExtension(c, c, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
        !AddExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !AddExtension(c, c, NID_subject_key_identifier, "hash") ||
        !AddExtension(c, c, NID_authority_key_identifier, "keyid:always") ||
        X509_sign(c, key.get(), EVP_sha256()) == 0) {
        AProblem = "cannot make the local certificate authority: " + TakeTlsError();
        return nullptr;
    }
    TBioPtr keyPem(BIO_new(BIO_s_mem()));
    TBioPtr certificatePem(BIO_new(BIO_s_mem()));
    if (!keyPem || !certificatePem ||
        PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1 ||
        PEM_write_bio_X509(certificatePem.get(), c) != 1) {
        AProblem = "cannot store the local certificate authority: " + TakeTlsError();
        return nullptr;
    }
    std::error_code ignored;
    std::filesystem::create_directories(AFolder, ignored);
    const std::filesystem::path folder(AFolder);
    // The key first: a certificate without its key would be of no use at the next start.
    AProblem = WriteFile((folder / TTlsAuthority::kKeyFile).string(), BioText(keyPem.get()), 0600);
    if (AProblem.empty())
        AProblem = WriteFile((folder / TTlsAuthority::kCertificateFile).string(),
                             BioText(certificatePem.get()), 0644);
    if (!AProblem.empty())
        return nullptr;
    return std::make_shared<TTlsAuthority>(std::move(certificate), std::move(key));
}

std::shared_ptr<TTlsAuthority> Load(const std::string& ACertificatePath,
                                    const std::string& AKeyPath, std::string& AProblem)
{
    std::string certificateText, keyText;
    if (!ReadFile(ACertificatePath, certificateText)) {
        AProblem = "cannot read " + ACertificatePath;
        return nullptr;
    }
    if (!ReadFile(AKeyPath, keyText)) {
        AProblem = "cannot read " + AKeyPath;
        return nullptr;
    }
    TBioPtr certificateBio(BIO_new_mem_buf(certificateText.data(),
                                           static_cast<int>(certificateText.size())));
    TBioPtr keyBio(BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
    TX509Ptr certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        AProblem = ACertificatePath + " holds no PEM certificate: " + TakeTlsError();
        return nullptr;
    }
    TPkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        AProblem = AKeyPath + " holds no PEM private key: " + TakeTlsError();
        return nullptr;
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        AProblem = AKeyPath + " is not the key of " + ACertificatePath;
        ERR_clear_error();
        return nullptr;
    }
    return std::make_shared<TTlsAuthority>(std::move(certificate), std::move(key));
}

}  // namespace

std::shared_ptr<TTlsAuthority> TTlsAuthority::Open(const std::string& AFolder,
                                                   std::string& AProblem)
{
    // One authority per folder, so that its leaves are issued once for all channels.
    static std::mutex lock;
    static std::map<std::string, std::weak_ptr<TTlsAuthority>> opened;
    std::lock_guard guard(lock);
    if (std::shared_ptr<TTlsAuthority> known = opened[AFolder].lock())
        return known;
    const std::filesystem::path folder(AFolder);
    const std::string certificatePath = (folder / kCertificateFile).string();
    const std::string keyPath = (folder / kKeyFile).string();
    std::error_code ignored;
    const bool certificateThere = std::filesystem::exists(certificatePath, ignored);
    const bool keyThere = std::filesystem::exists(keyPath, ignored);
    std::shared_ptr<TTlsAuthority> authority;
    if (certificateThere || keyThere)
        authority = Load(certificatePath, keyPath, AProblem);
    else
        authority = Create(AFolder, AProblem);
    if (authority)
        opened[AFolder] = authority;
    return authority;
}

std::shared_ptr<const TTlsLeaf> TTlsAuthority::LeafFor(const std::string& AName)
{
    {
        std::lock_guard guard(FLock);
        if (auto known = FLeaves.find(AName); known != FLeaves.end())
            return known->second;
    }
    // Issued outside the lock: a new name does not hold up the connections of known ones. Two
    // first connections for one name may both issue; the first stored wins.
    std::shared_ptr<const TTlsLeaf> leaf = Issue(AName);
    if (!leaf)
        return nullptr;
    std::lock_guard guard(FLock);
    return FLeaves.emplace(AName, std::move(leaf)).first->second;
}

std::shared_ptr<const TTlsLeaf> TTlsAuthority::Issue(const std::string& AName) const
{
    const bool address = IsAddress(AName);
    if (!address && !IsHostName(AName))
        return nullptr;
    auto leaf = std::make_shared<TTlsLeaf>();
    leaf->Key.reset(EVP_EC_gen("P-256"));
    if (!leaf->Key)
        return nullptr;
    leaf->Certificate = NewCertificate(leaf->Key.get(), AName, kLeafDays);
    X509* c = leaf->Certificate.get();
    X509* issuer = FCertificate.get();
    const std::string alternative = (address ? "IP:" : "DNS:") + AName;
    if (!c || X509_set_issuer_name(c, X509_get_subject_name(issuer)) != 1 ||
        !AddExtension(c, issuer, NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExtension(c, issuer, NID_key_usage, "critical,digitalSignature") ||
        !AddExtension(c, issuer, NID_ext_key_usage, "serverAuth") ||
        !AddExtension(c, issuer, NID_subject_alt_name, alternative.c_str()) ||
        !AddExtension(c, issuer, NID_subject_key_identifier, "hash") ||
        !AddExtension(c, issuer, NID_authority_key_identifier, "keyid:always") ||
        X509_sign(c, FKey.get(), EVP_sha256()) == 0) {
        ERR_clear_error();
        return nullptr;
    }
    return leaf;
}

std::string TTlsAuthority::CertificatePem() const
{
    TBioPtr pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_X509(pem.get(), FCertificate.get()) != 1)
        return {};
    return BioText(pem.get());
}

std::string TTlsAuthority::ExportCertificate(const std::string& APath) const
{
    const std::string pem = CertificatePem();
    if (pem.empty())
        return "cannot write the certificate as PEM: " + TakeTlsError();
    // A certificate is public: anyone may read the file, as the authority's own.
    return WriteFile(APath, pem, 0644);
}

std::string TTlsAuthority::Fingerprint() const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(FCertificate.get(), EVP_sha256(), digest, &size) != 1)
        return {};
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X", digest[i]);
        text += pair;
    }
    return text;
}
