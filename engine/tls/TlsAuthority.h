// The program's local certificate authority: an ECDSA P-256 key and a self-signed certificate
// kept in a folder (the settings folder), made on first need, and the leaf certificates it
// issues for the names clients ask a terminating channel for.
//
//   std::string problem;
//   std::shared_ptr<TTlsAuthority> ca = TTlsAuthority::Open("/home/u/.config/trabix", problem);
//   std::shared_ptr<const TTlsLeaf> leaf = ca->LeafFor("example.test");   // or "127.0.0.1"
//   SSL_use_certificate(ssl, leaf->Certificate.get());
//
// Threads: Open on any thread (the channels of one folder share one authority, made by the
// first); LeafFor, CertificatePem, ExportCertificate and Fingerprint on any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/tls/TlsOpenSsl.h"

// A certificate and its key, issued for one name or address.
struct TTlsLeaf {
    TX509Ptr Certificate;
    TPkeyPtr Key;
};

class TTlsAuthority {
public:
    // The file names in the folder: the certificate to export and trust, and its key (0600).
    static constexpr const char* kCertificateFile = "TrabixCA.pem";
    static constexpr const char* kKeyFile = "TrabixCA-key.pem";
    // Leaves are valid this many days, counted from an hour back (clocks differ a little).
    static constexpr int kLeafDays = 397;

    // The authority kept in AFolder, loaded, or made and stored when the folder has none; the
    // same object for the same folder while anyone holds it. nullptr and AProblem when the
    // files cannot be read, parsed or written.
    static std::shared_ptr<TTlsAuthority> Open(const std::string& AFolder, std::string& AProblem);

    // A leaf for AName: a host name (DNS subject alternative name) or an IPv4/IPv6 address (IP
    // subject alternative name), issued on first request and kept for the rest of the run.
    // nullptr when issuing fails.
    std::shared_ptr<const TTlsLeaf> LeafFor(const std::string& AName);
    std::string CertificatePem() const;
    // Writes the certificate as PEM to APath, replacing the file whole or not at all. Empty
    // when done, else what went wrong, naming the file.
    std::string ExportCertificate(const std::string& APath) const;
    // SHA-256 of the certificate, as colon-separated upper-case hex pairs.
    std::string Fingerprint() const;
    X509* Certificate() const { return FCertificate.get(); }

    TTlsAuthority(TX509Ptr ACertificate, TPkeyPtr AKey)
        : FCertificate(std::move(ACertificate)), FKey(std::move(AKey))
    {}

private:
    std::shared_ptr<const TTlsLeaf> Issue(const std::string& AName) const;

    const TX509Ptr FCertificate;
    const TPkeyPtr FKey;
    std::mutex FLock;  // guards FLeaves
    std::map<std::string, std::shared_ptr<const TTlsLeaf>> FLeaves;
};
