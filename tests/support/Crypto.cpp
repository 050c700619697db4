#include "support/Crypto.h"

#include <openssl/pem.h>

#include <cstdio>
#include <map>
#include <stdexcept>

#include "support/OpenSsl.h"

namespace p11bridge::test {
namespace {

const EVP_MD* Md(const std::string& algorithm) {
    static const std::map<std::string, const EVP_MD* (*)()> kDigests = {
        {"md5", EVP_md5},       {"sha1", EVP_sha1},     {"sha256", EVP_sha256},
        {"sha384", EVP_sha384}, {"sha512", EVP_sha512},
    };
    auto found = kDigests.find(algorithm);
    if (found == kDigests.end()) throw std::invalid_argument("unknown digest " + algorithm);
    return found->second();
}

}  // namespace

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

std::string DevelopmentPrivateKeyPath() {
    return P11BRIDGE_DEVELOPMENT_PRIVATE_KEY;
}

std::string SignDomainList(const std::string& text) {
    static const SharedKey key = [] {
        FILE* file = std::fopen(DevelopmentPrivateKeyPath().c_str(), "r");
        if (!file) throw std::runtime_error("cannot read " + DevelopmentPrivateKeyPath());
        EVP_PKEY* loaded = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        if (!loaded) throw std::runtime_error("domain-list key: " + OpenSslErrors());
        return SharedKey(loaded, EVP_PKEY_free);
    }();
    OpenSslPtr<EVP_MD_CTX> context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
        throw std::runtime_error("sign: " + OpenSslErrors());
    }
    Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length,
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

}  // namespace p11bridge::test
