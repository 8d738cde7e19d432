// OpenSSL objects as sole owners, and the reason of the last OpenSSL failure in words.
//
//   TSslPtr ssl(SSL_new(ctx));          // SSL_free when it goes
//   if (!ssl) return "cannot make a TLS session: " + TakeTlsError();
//
// Any thread: OpenSSL's error queue is per thread.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

template <auto AFree>
struct TOpenSslFree {
    template <class T>
    void operator()(T* AObject) const
    {
        AFree(AObject);
    }
};

using TSslPtr = std::unique_ptr<SSL, TOpenSslFree<&SSL_free>>;
using TSslCtxPtr = std::unique_ptr<SSL_CTX, TOpenSslFree<&SSL_CTX_free>>;
using TX509Ptr = std::unique_ptr<X509, TOpenSslFree<&X509_free>>;
using TPkeyPtr = std::unique_ptr<EVP_PKEY, TOpenSslFree<&EVP_PKEY_free>>;
using TBioPtr = std::unique_ptr<BIO, TOpenSslFree<&BIO_free_all>>;
using TX509NamePtr = std::unique_ptr<X509_NAME, TOpenSslFree<&X509_NAME_free>>;
using TX509ExtPtr = std::unique_ptr<X509_EXTENSION, TOpenSslFree<&X509_EXTENSION_free>>;

// The reason of the first error in this thread's OpenSSL queue ("wrong version number"), or
// AFallback when the queue is empty; empties the queue.
std::string TakeTlsError(const std::string& AFallback = "unknown TLS error");
