#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace p11bridge::test {

struct OpenSslFree {
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(ASN1_INTEGER* p) const { ASN1_INTEGER_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};

template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// A shared key, so that one key can back several certificates.
using SharedKey = std::shared_ptr<EVP_PKEY>;

// The queued OpenSSL error texts, for exception messages.
std::string OpenSslErrors();

}  // namespace p11bridge::test
