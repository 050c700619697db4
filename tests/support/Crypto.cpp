#include "support/Crypto.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <stdexcept>

namespace p11bridge::test {
namespace {

const EVP_MD* Md(const std::string& algorithm) {
    const EVP_MD* md = EVP_get_digestbyname(algorithm.c_str());
    if (!md) throw std::invalid_argument("unknown digest " + algorithm);
    return md;
}

}  // namespace

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) out += {kDigits[b >> 4], kDigits[b & 0xf]};
    return out;
}

Bytes FromHex(const std::string& hex) {
    Bytes out(hex.size() / 2);
    std::size_t length = 0;
    if (OPENSSL_hexstr2buf_ex(out.data(), out.size(), &length, hex.c_str(), '\0') != 1) {
        throw std::invalid_argument("not hex: '" + hex + "': " + OpenSslErrors());
    }
    return out;
}

std::string OpenSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += (text.empty() ? "" : "; ") + std::string(buffer);
    }
    return text;
}

std::string Base64(const Bytes& data, std::size_t lineLength) {
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    text.resize(
        static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                 data.data(), static_cast<int>(data.size()))));
    if (lineLength == 0) return text;
    std::string lines;
    for (std::size_t at = 0; at < text.size(); at += lineLength) {
        lines += (at ? "\r\n" : "") + text.substr(at, lineLength);
    }
    return lines;
}

std::optional<Bytes> Base64Decode(const std::string& text) {
    std::string plain;
    for (char c : text) {
        if (c != '\r' && c != '\n') plain += c;
    }
    if (plain.size() % 4 != 0) return std::nullopt;
    Bytes out(plain.size() / 4 * 3 + 1);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(plain.data()),
                            static_cast<int>(plain.size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding as data.
    std::size_t padding = plain.size() - plain.find_last_not_of('=') - 1;
    out.resize(static_cast<std::size_t>(n) - std::min<std::size_t>(padding, 2));
    return out;
}

Bytes Digest(const std::string& algorithm, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (!EVP_Digest(data.data(), data.size(), out.data(), &n, Md(algorithm), nullptr)) {
        throw std::runtime_error("digest: " + OpenSslErrors());
    }
    out.resize(n);
    return out;
}

std::string SignDomainList(const std::string& text) {
    static const SharedKey key = [] {
        OpenSslPtr<BIO> file(BIO_new_file(P11BRIDGE_DEVELOPMENT_PRIVATE_KEY, "r"));
        SharedKey loaded(
            file ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr,
            OpenSslFree());
        if (!loaded) throw std::runtime_error("domain-list key: " + OpenSslErrors());
        return loaded;
    }();
    OpenSslPtr<EVP_MD_CTX> context(EVP_MD_CTX_new());
    Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())));
    std::size_t length = signature.size();
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
        throw std::runtime_error("sign: " + OpenSslErrors());
    }
    signature.resize(length);
    return Base64(signature);
}

bool VerifyPkcs1(const Bytes& certDer, const std::string& algorithm, const Bytes& hash,
                 const Bytes& signature) {
    const unsigned char* der = certDer.data();
    OpenSslPtr<X509> cert(d2i_X509(nullptr, &der, static_cast<long>(certDer.size())));
    if (!cert) return false;
    OpenSslPtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), Md(algorithm)) == 1 &&
           EVP_PKEY_verify(context.get(), signature.data(), signature.size(), hash.data(),
                           hash.size()) == 1;
}

bool VerifyEcdsa(const Bytes& certDer, const Bytes& hash, const Bytes& signature) {
    const unsigned char* der = certDer.data();
    OpenSslPtr<X509> cert(d2i_X509(nullptr, &der, static_cast<long>(certDer.size())));
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
    // Each half is exactly the order's length: a DER signature, or halves cut short, is not r||s.
    const std::size_t half = static_cast<std::size_t>(EVP_PKEY_get_bits(key) + 7) / 8;
    if (signature.size() != 2 * half) return false;
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
    BIGNUM* r = BN_bin2bn(signature.data(), static_cast<int>(half), nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* encoded = nullptr;
    int length = i2d_ECDSA_SIG(sig.get(), &encoded);
    OpenSslPtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(key, nullptr));
    // No digest is set: the hash is verified as given, as CKM_ECDSA signed it.
    bool ok = length > 0 && context && EVP_PKEY_verify_init(context.get()) == 1 &&
              EVP_PKEY_verify(context.get(), encoded, static_cast<std::size_t>(length), hash.data(),
                              hash.size()) == 1;
    OPENSSL_free(encoded);
    return ok;
}

}  // namespace p11bridge::test
