#include "support/Pkcs1.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <stdexcept>

#include "support/OpenSsl.h"

namespace p11bridge::test {
namespace {

const EVP_MD* Md(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Md5:
            return EVP_md5();
        case HashAlgorithm::Sha1:
            return EVP_sha1();
        case HashAlgorithm::Sha256:
            return EVP_sha256();
    }
    throw std::invalid_argument("unknown hash algorithm");
}

OpenSslPtr<EVP_PKEY> PublicKeyOf(const Bytes& certDer) {
    const unsigned char* p = certDer.data();
    OpenSslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
    if (!cert) return nullptr;
    return OpenSslPtr<EVP_PKEY>(X509_get_pubkey(cert.get()));
}

}  // namespace

Bytes Digest(HashAlgorithm algorithm, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, Md(algorithm), nullptr) != 1) {
        throw std::runtime_error("EVP_Digest: " + OpenSslErrors());
    }
    out.resize(length);
    return out;
}

Bytes DigestInfo(HashAlgorithm algorithm, const Bytes& hash) {
    static const Bytes kMd5 = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                               0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    static const Bytes kSha1 = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    static const Bytes kSha256 = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    const Bytes& prefix = algorithm == HashAlgorithm::Md5    ? kMd5
                          : algorithm == HashAlgorithm::Sha1 ? kSha1
                                                             : kSha256;
    // The prefix fixes the hash length; another length would make invalid DER.
    if (hash.size() != prefix.back()) throw std::invalid_argument("hash length does not match");
    Bytes out = prefix;
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

bool VerifyPkcs1(const Bytes& certDer, const Bytes& hash, const Bytes& signature,
                 HashAlgorithm algorithm) {
    OpenSslPtr<EVP_PKEY> key = PublicKeyOf(certDer);
    if (!key) return false;
    OpenSslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), Md(algorithm)) == 1 &&
              EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(),
                              hash.size()) == 1;
    ERR_clear_error();
    return ok;
}

std::optional<Bytes> RecoverPkcs1Payload(const Bytes& certDer, const Bytes& signature) {
    OpenSslPtr<EVP_PKEY> key = PublicKeyOf(certDer);
    if (!key) return std::nullopt;
    OpenSslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
    size_t length = out.size();
    bool ok = ctx && EVP_PKEY_verify_recover_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_verify_recover(ctx.get(), out.data(), &length, signature.data(),
                                      signature.size()) == 1;
    ERR_clear_error();
    if (!ok) return std::nullopt;
    out.resize(length);
    return out;
}

}  // namespace p11bridge::test
