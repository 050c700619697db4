// The host's own certificate decoder fills what NSS's template leaves empty and follows the
// key-usage rule the listing depends on.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "BackEndTesting.h"
#include "pkcs11/CertificateDecoding.h"
#include "pkcs11/NssOwners.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

namespace decoding = certificate_decoding;

Bytes ExpectedKeyId(const Bytes& der, bool fromExtension) {
    const unsigned char* p = der.data();
    OpenSslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (fromExtension) {
        const ASN1_OCTET_STRING* id = X509_get0_subject_key_id(cert.get());
        return Bytes(id->data, id->data + id->length);
    }
    unsigned char* spki = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &spki);
    Bytes hash(SHA_DIGEST_LENGTH);
    SHA1(spki, static_cast<size_t>(length), hash.data());
    OPENSSL_free(spki);
    return hash;
}

Bytes ItemBytes(const SECItem& item) {
    return Bytes(item.data, item.data + item.len);
}

TEST(CertificateDecoding, RecordCarriesNamesKeyUsageAndKeyIdentifier) {
    TempDir dir;
    CertFactory factory(dir.Path());
    auto nss = AuthorisedUtility();  // keeps NSS running for the decoder
    struct Row {
        const char* behaviour;
        unsigned keyUsage;
        bool subjectKeyIdentifier;
        unsigned expectedUsage;
        bool usagePresent;
    };
    const std::vector<Row> rows = {
        {"signing usages", KeyUsage::kSigning, true, 0xC0, true},
        {"digital signature only", KeyUsage::kDigitalSignature, true, 0x80, true},
        {"CA usages", KeyUsage::kKeyCertSign | KeyUsage::kCrlSign, true, 0x06, true},
        {"no key usage: everything allowed", KeyUsage::kAbsent, true, 0xFF, false},
        {"no subject key identifier: SHA-1 of the key", KeyUsage::kSigning, false, 0xC0, true},
    };
    SharedKey key = CertFactory::GenerateRsaKey(1024);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        CertRequest request;
        request.key = key;
        request.keyUsage = row.keyUsage;
        request.subjectKeyIdentifier = row.subjectKeyIdentifier;
        request.organization = "Org | with a bar";
        IssuedCert issued = factory.Issue("decoded", request);
        Bytes der = issued.der;
        SECItem item{siBuffer, der.data(), static_cast<unsigned int>(der.size())};

        Certificate cert(decoding::CERT_DecodeDERCertificate(&item, PR_TRUE, "Certificado"));
        ASSERT_TRUE(cert);
        EXPECT_EQ(ItemBytes(cert->derCert), issued.der);
        EXPECT_NE(cert->derCert.data, der.data());
        EXPECT_STREQ(cert->nickname, "Certificado");
        ASSERT_TRUE(cert->subjectName && cert->issuerName);
        EXPECT_EQ(std::string(cert->subjectName), issued.subject);
        EXPECT_EQ(std::string(cert->issuerName), issued.issuer);
        EXPECT_EQ(cert->keyUsage, row.expectedUsage);
        EXPECT_EQ(cert->rawKeyUsage, row.expectedUsage);
        EXPECT_EQ(cert->keyUsagePresent, row.usagePresent ? PR_TRUE : PR_FALSE);
        EXPECT_EQ(ItemBytes(cert->subjectKeyID), ExpectedKeyId(der, row.subjectKeyIdentifier));
        EXPECT_EQ(cert->keyIDGenerated, row.subjectKeyIdentifier ? PR_FALSE : PR_TRUE);
        // The copy is the record's own: the caller's bytes may go at once.
        std::fill(der.begin(), der.end(), 0);
        EXPECT_EQ(ItemBytes(cert->derCert), issued.der);
    }
}

TEST(CertificateDecoding, WithoutCopyTheRecordUsesTheCallersBytes) {
    TempDir dir;
    CertFactory factory(dir.Path());
    auto nss = AuthorisedUtility();
    IssuedCert issued = factory.Issue("in-place");
    SECItem item{siBuffer, issued.der.data(), static_cast<unsigned int>(issued.der.size())};
    Certificate cert(decoding::CERT_DecodeDERCertificate(&item, PR_FALSE, nullptr));
    ASSERT_TRUE(cert);
    EXPECT_EQ(cert->derCert.data, issued.der.data());
    EXPECT_EQ(cert->nickname, nullptr);
}

TEST(CertificateDecoding, BytesThatAreNoCertificateGiveNothing) {
    auto nss = AuthorisedUtility();
    std::vector<Bytes> rows = {ToBytes("\x30\x03"
                                       "abc"),
                               Bytes{0x30}, ToBytes("not DER at all")};
    for (Bytes& bytes : rows) {
        SECItem item{siBuffer, bytes.data(), static_cast<unsigned int>(bytes.size())};
        EXPECT_EQ(decoding::CERT_DecodeDERCertificate(&item, PR_TRUE, "x"), nullptr);
    }
}

}  // namespace
}  // namespace p11bridge::test
