#include "support/CertFactory.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <utility>

namespace p11bridge::test {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + OpenSslErrors());
}

std::string KeyUsageText(unsigned bits) {
    static const std::pair<unsigned, const char*> kNames[] = {
        {KeyUsage::kDigitalSignature, "digitalSignature"},
        {KeyUsage::kNonRepudiation, "nonRepudiation"},
        {KeyUsage::kKeyCertSign, "keyCertSign"},
        {KeyUsage::kCrlSign, "cRLSign"}};
    std::string text = "critical";
    for (const auto& [bit, name] : kNames) {
        if (bits & bit) text += std::string(",") + name;
    }
    return text;
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
    OpenSslPtr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) Fail("extension " + value);
}

OpenSslPtr<X509> MakeCert(const CertRequest& request, EVP_PKEY* key, X509* issuer,
                          EVP_PKEY* issuerKey, bool isCa) {
    OpenSslPtr<X509> cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) Fail("X509_new");
    // A random serial, positive as DER INTEGER serials must be, and of full length.
    OpenSslPtr<BIGNUM> serial(BN_new());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* cn = reinterpret_cast<const unsigned char*>(request.commonName.c_str());
    if (!serial || !BN_rand(serial.get(), 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) ||
        (!request.commonName.empty() &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) != 1) ||
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), request.validFromDays * 86400L) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), request.validToDays * 86400L) ||
        X509_set_pubkey(cert.get(), key) != 1) {
        Fail("certificate fields");
    }
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    if (isCa) AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
    if (request.keyUsage != KeyUsage::kAbsent) {
        AddExtension(cert.get(), &ctx, NID_key_usage, KeyUsageText(request.keyUsage));
    }
    AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    if (issuer) AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid");
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0) Fail("X509_sign");
    return cert;
}

IssuedCert Save(const std::string& directory, const std::string& fileStem, X509* cert,
                SharedKey key) {
    IssuedCert out;
    int length = i2d_X509(cert, nullptr);
    if (length <= 0) Fail("i2d_X509");
    out.der.resize(static_cast<size_t>(length));
    unsigned char* p = out.der.data();
    i2d_X509(cert, &p);
    out.derPath = directory + "/" + fileStem + ".der";
    out.keyPemPath = directory + "/" + fileStem + ".key.pem";
    OpenSslPtr<BIO> derFile(BIO_new_file(out.derPath.c_str(), "wb"));
    OpenSslPtr<BIO> keyFile(BIO_new_file(out.keyPemPath.c_str(), "wb"));
    if (!derFile || !keyFile || i2d_X509_bio(derFile.get(), cert) != 1 ||
        PEM_write_bio_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1)
        Fail("write " + out.derPath);
    out.key = std::move(key);
    return out;
}

}  // namespace

CertFactory::CertFactory(std::string directory) : directory_(std::move(directory)) {}

SharedKey CertFactory::GenerateRsaKey(int bits) {
    SharedKey key(EVP_RSA_gen(static_cast<unsigned>(bits)), OpenSslFree());
    if (!key) Fail("EVP_RSA_gen");
    return key;
}

SharedKey CertFactory::GenerateEcKey(int curve) {
    // Ed25519 is a curve of its own kind: a key the host is not made to sign with.
    SharedKey key(curve == NID_ED25519 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                                       : EVP_EC_gen(OBJ_nid2sn(curve)),
                  OpenSslFree());
    if (!key) Fail("EVP_EC_gen");
    return key;
}

const IssuedCert& CertFactory::Ca() {
    if (!caCert_) {
        CertRequest request{
            "p11bridge Test CA", -30, 3650, KeyUsage::kKeyCertSign | KeyUsage::kCrlSign, 2048, {}};
        SharedKey key = GenerateRsaKey(2048);
        caCert_ = MakeCert(request, key.get(), nullptr, nullptr, true);
        ca_ = Save(directory_, "ca", caCert_.get(), key);
    }
    return ca_;
}

IssuedCert CertFactory::Issue(const std::string& name, const CertRequest& request) {
    SharedKey key = request.key     ? request.key
                    : request.curve ? GenerateEcKey(request.curve)
                                    : GenerateRsaKey(request.keyBits);
    EVP_PKEY* issuerKey = Ca().key.get();
    OpenSslPtr<X509> cert = MakeCert(request, key.get(), caCert_.get(), issuerKey, false);
    return Save(directory_, name, cert.get(), key);
}

}  // namespace p11bridge::test
