// What the listing cannot show of the host's own certificate decoder: whose bytes the record
// holds, and where its key identifier comes from.
#include <gtest/gtest.h>
#include <nss.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include "pkcs11/CertificateDecoding.h"
#include "pkcs11/NssOwners.h"
#include "support/Crypto.h"

namespace p11bridge {
namespace {

using test::Bytes;
using test::OpenSslPtr;

TEST(CertificateDecoding, RecordOwnershipAndKeyIdentifier) {
    ASSERT_EQ(NSS_NoDB_Init(nullptr), SECSuccess);  // the identifier fallback hashes through NSS
    const auto bytes = [](const SECItem& item) { return Bytes(item.data, item.data + item.len); };
    OpenSslPtr<EVP_PKEY> key(EVP_RSA_gen(1024));
    // With the extension the record must carry its identifier, which is not the key's SHA-1.
    for (bool extension : {true, false}) {
        OpenSslPtr<X509> x509(X509_new());
        X509_set_version(x509.get(), 2);
        X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(x509.get()), 0);
        X509_set_pubkey(x509.get(), key.get());
        Bytes keyId = {1, 2, 3, 4};
        OpenSslPtr<X509_EXTENSION> id(
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_key_identifier, "01:02:03:04"));
        if (extension) X509_add_ext(x509.get(), id.get(), -1);
        ASSERT_GT(X509_sign(x509.get(), key.get(), EVP_sha256()), 0);
        unsigned int length = SHA_DIGEST_LENGTH;
        if (!extension) {  // the SHA-1 of the whole subject public key info
            keyId.resize(length);
            ASN1_item_digest(ASN1_ITEM_rptr(X509_PUBKEY), EVP_sha1(),
                             X509_get_X509_PUBKEY(x509.get()), keyId.data(), &length);
        }
        Bytes original(static_cast<std::size_t>(i2d_X509(x509.get(), nullptr)));
        unsigned char* end = original.data();
        i2d_X509(x509.get(), &end);
        for (PRBool copy : {PR_TRUE, PR_FALSE}) {
            Bytes der = original;
            SECItem item{siBuffer, der.data(), static_cast<unsigned int>(der.size())};
            Certificate cert(certificate_decoding::CERT_DecodeDERCertificate(&item, copy, "x"));
            ASSERT_TRUE(cert);
            EXPECT_EQ(bytes(cert->subjectKeyID), keyId) << extension;
            EXPECT_EQ(cert->keyIDGenerated, !extension);
            EXPECT_EQ(cert->derCert.data == der.data(), !copy)
                << "without copy, the caller's bytes";
            if (copy) std::fill(der.begin(), der.end(), 0);  // the caller may drop its bytes
            EXPECT_EQ(bytes(cert->derCert), original);
        }
    }
    EXPECT_EQ(NSS_Shutdown(), SECSuccess);
}

}  // namespace
}  // namespace p11bridge
