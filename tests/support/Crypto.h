// What the tests need of bytes and cryptography, all done by OpenSSL: hex, Base64 as NSS writes
// it, digests, domain lists signed as a deployer signs them, and PKCS#1 v1.5 and ECDSA
// verification.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace p11bridge::test {

using Bytes = std::vector<unsigned char>;

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Lower-case hex, two digits per byte.
std::string ToHex(const Bytes& bytes);
// Throws std::invalid_argument on an odd length or a non-hex digit.
Bytes FromHex(const std::string& hex);

struct OpenSslFree {
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};

template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// A shared key, so that one key can back several certificates.
using SharedKey = std::shared_ptr<EVP_PKEY>;

// The queued OpenSSL error texts, for exception messages.
std::string OpenSslErrors();

// Base64 of the bytes; with lineLength, a CR LF after every lineLength characters (NSS's style).
std::string Base64(const Bytes& data, std::size_t lineLength = 0);
// Empty optional when the text (CR and LF aside) is not Base64.
std::optional<Bytes> Base64Decode(const std::string& text);

// algorithm: an OpenSSL digest name (md5, sha1, sha256...); throws std::invalid_argument otherwise.
Bytes Digest(const std::string& algorithm, const Bytes& data);

// The Base64 RSA PKCS#1 v1.5 SHA-1 signature of the text with the development domain-list key
// that test builds carry.
std::string SignDomainList(const std::string& text);

// True when signature is the PKCS#1 v1.5 signature of the DigestInfo of hash under algorithm,
// made with the key of the DER certificate.
bool VerifyPkcs1(const Bytes& certDer, const std::string& algorithm, const Bytes& hash,
                 const Bytes& signature);

// True when signature is an ECDSA signature over hash, as PKCS#11 gives it (r then s, each the
// byte length of the curve's order), made with the EC key of the DER certificate.
bool VerifyEcdsa(const Bytes& certDer, const Bytes& hash, const Bytes& signature);

}  // namespace p11bridge::test
