#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <fstream>

#include "support/Base64.h"
#include "support/CallLog.h"
#include "support/CertFactory.h"
#include "support/Pkcs1.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

class CertFactoryTest : public ::testing::Test {
protected:
    static OpenSslPtr<X509> Parse(const Bytes& der) {
        const unsigned char* p = der.data();
        return OpenSslPtr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    }
    TempDir dir;
    CertFactory factory{dir.Path()};
};

TEST_F(CertFactoryTest, CertificatesCarryTheRequestedValidityAndKeyUsage) {
    struct Case {
        const char* name;
        int from, to;
        unsigned keyUsage;
        int expectedTimeCheck;  // X509_cmp_time of notBefore/notAfter against now
    } cases[] = {
        {"valid signing", -1, 365, KeyUsage::kSigning, 0},
        {"expired", -30, -1, KeyUsage::kSigning, 1},
        {"not yet valid", 1, 30, KeyUsage::kDigitalSignature, -1},
        {"no key usage", -1, 365, KeyUsage::kAbsent, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertRequest request;
        request.commonName = c.name;
        request.validFromDays = c.from;
        request.validToDays = c.to;
        request.keyUsage = c.keyUsage;
        request.keyBits = 1024;
        IssuedCert issued = factory.Issue("cert", request);
        OpenSslPtr<X509> cert = Parse(issued.der);
        ASSERT_TRUE(cert);
        bool started = X509_cmp_current_time(X509_get0_notBefore(cert.get())) < 0;
        bool ended = X509_cmp_current_time(X509_get0_notAfter(cert.get())) < 0;
        EXPECT_EQ(c.expectedTimeCheck, !started ? -1 : ended ? 1 : 0);
        uint32_t usage = X509_get_key_usage(cert.get());
        if (c.keyUsage == KeyUsage::kAbsent) {
            EXPECT_EQ(X509_get_extension_flags(cert.get()) & EXFLAG_KUSAGE, 0u);
        } else {
            EXPECT_EQ(usage, c.keyUsage);
        }
        EXPECT_EQ(issued.subject, std::string("CN=") + c.name);
        EXPECT_EQ(issued.issuer, "CN=p11bridge Test CA");
        EXPECT_EQ(X509_verify(cert.get(), factory.Ca().key.get()), 1);
    }
}

TEST_F(CertFactoryTest, SelfSignedCertificateWithoutKeyIdentifierAndReusedKey) {
    CertRequest request;
    request.selfSigned = true;
    request.subjectKeyIdentifier = false;
    request.organization = "Org";
    request.keyBits = 1024;
    IssuedCert first = factory.Issue("first", request);
    request.key = first.key;
    IssuedCert second = factory.Issue("second", request);
    OpenSslPtr<X509> cert = Parse(second.der);
    ASSERT_TRUE(cert);
    EXPECT_EQ(second.subject, "CN=p11bridge Test Signer,O=Org");
    EXPECT_EQ(second.issuer, second.subject);
    EXPECT_EQ(X509_get0_subject_key_id(cert.get()), nullptr);
    EXPECT_EQ(X509_verify(cert.get(), first.key.get()), 1);
    EXPECT_NE(first.der, second.der);
}

TEST(Pkcs1, VerifyRejectsAnotherHashOrAlgorithm) {
    TempDir dir;
    CertFactory factory(dir.Path());
    CertRequest request;
    request.keyBits = 1024;
    IssuedCert cert = factory.Issue("c", request);
    Bytes hash = Digest(HashAlgorithm::Sha256, ToBytes("a"));
    OpenSslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(cert.key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
    Bytes info = DigestInfo(HashAlgorithm::Sha256, hash);
    Bytes signature(128);
    size_t length = signature.size();
    ASSERT_EQ(EVP_PKEY_sign(ctx.get(), signature.data(), &length, info.data(), info.size()), 1);
    EXPECT_TRUE(VerifyPkcs1(cert.der, hash, signature, HashAlgorithm::Sha256));
    Bytes otherHash = Digest(HashAlgorithm::Sha256, ToBytes("b"));
    EXPECT_FALSE(VerifyPkcs1(cert.der, otherHash, signature, HashAlgorithm::Sha256));
    EXPECT_FALSE(VerifyPkcs1(cert.der, Bytes(hash.begin(), hash.begin() + 20), signature,
                             HashAlgorithm::Sha1));
    EXPECT_FALSE(VerifyPkcs1(Bytes{1, 2, 3}, hash, signature, HashAlgorithm::Sha256));
    EXPECT_EQ(RecoverPkcs1Payload(cert.der, signature), info);
}

TEST(CallLog, InvariantsCatchTheCallOrdersTheyName) {
    struct Case {
        const char* name;
        const char* log;
        bool finalized, closed, loggedOut, noLogin;
    } cases[] = {
        {"signing done right",
         "C_Initialize 0\nC_OpenSession 0\nC_Login 0\nC_Logout 0\nC_CloseSession 0\n"
         "C_Finalize 0\n",
         true, true, true, false},
        {"failed initialise needs no finalise", "C_Initialize 6\n", true, true, true, true},
        {"no finalise", "C_Initialize 0\nC_GetSlotList 0\n", false, true, true, true},
        {"initialised twice", "C_Initialize 0\nC_Initialize 0\nC_Finalize 0\n", false, true, true,
         true},
        {"session left open", "C_Initialize 0\nC_OpenSession 0\nC_Finalize 0\n", true, false, true,
         true},
        {"no logout",
         "C_Initialize 0\nC_OpenSession 0\nC_Login 0\nC_CloseSession 0\nC_Finalize 0\n", true, true,
         false, false},
        {"refused login needs no logout",
         "C_Initialize 0\nC_OpenSession 0\nC_Login 160\nC_CloseSession 0\nC_Finalize 0\n", true,
         true, true, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir.File("log")) << "# remark\n" << c.log;
        CallLog log = CallLog::Read(dir.File("log"));
        EXPECT_EQ(bool(log.EveryInitializeFinalized()), c.finalized);
        EXPECT_EQ(bool(log.EverySessionClosed()), c.closed);
        EXPECT_EQ(bool(log.EveryLoginLoggedOut()), c.loggedOut);
        EXPECT_EQ(bool(log.NoLogin()), c.noLogin);
        EXPECT_EQ(log.Remarks().size(), 1u);
    }
    std::ofstream(dir.File("log")) << "C_Initialize zero\n";
    EXPECT_THROW(CallLog::Read(dir.File("log")), std::runtime_error);
    EXPECT_TRUE(CallLog::Read(dir.File("missing")).Calls().empty());
}

}  // namespace
}  // namespace p11bridge::test
