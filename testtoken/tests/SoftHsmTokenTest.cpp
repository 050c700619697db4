#include <gtest/gtest.h>

#include <cstdlib>

#include "support/CertFactory.h"
#include "support/Pkcs1.h"
#include "support/Pkcs11Library.h"
#include "support/SoftHsmToken.h"

namespace p11bridge::test {
namespace {

std::string Label(const CK_TOKEN_INFO& info) {
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    return label.substr(0, label.find_last_not_of(' ') + 1);
}

TEST(SoftHsmToken, ProvisionedTokensAreListedAndSignWithTheImportedKey) {
    if (!SoftHsm::Available()) GTEST_SKIP() << "SoftHSM2 or pkcs11-tool not installed";
    TempDir dir;
    CertFactory factory(dir.Path());
    IssuedCert cert = factory.Issue("signer");
    const Bytes id = {0x0b, 0x0c};

    SoftHsm hsm;
    EXPECT_EQ(std::getenv("SOFTHSM2_CONF"), hsm.Directory() + "/softhsm2.conf");
    SoftHsmToken alpha = hsm.AddToken("Alpha", "1234");
    SoftHsmToken beta = hsm.AddToken("Beta", "5678");
    EXPECT_THROW(hsm.AddToken("Alphabet", "1234"), std::invalid_argument);
    alpha.ImportCredential(cert, id, "signer");

    Pkcs11Library softhsm(SoftHsm::ModulePath());
    CK_FUNCTION_LIST* f = softhsm.Functions();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    // The two tokens sorted by slot ID, then SoftHSM2's spare uninitialised token.
    ASSERT_EQ(count, 3u);
    std::vector<CK_SLOT_ID> expected = {std::min(alpha.SlotId(), beta.SlotId()),
                                        std::max(alpha.SlotId(), beta.SlotId())};
    EXPECT_EQ(std::vector<CK_SLOT_ID>(slots.begin(), slots.begin() + 2), expected);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f->C_GetTokenInfo(alpha.SlotId(), &info), CKR_OK);
    EXPECT_EQ(Label(info), "Alpha");

    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(f->C_OpenSession(alpha.SlotId(), CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_OK);
    std::string pin = alpha.Pin();
    ASSERT_EQ(f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()),
              CKR_OK);
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    Bytes idCopy = id;
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                            {CKA_ID, idCopy.data(), idCopy.size()}};
    ASSERT_EQ(f->C_FindObjectsInit(session, templ, 2), CKR_OK);
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(f->C_FindObjects(session, &key, 1, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(f->C_FindObjectsFinal(session), CKR_OK);

    Bytes hash = Digest(HashAlgorithm::Sha1, ToBytes("signed on SoftHSM2"));
    Bytes info1 = DigestInfo(HashAlgorithm::Sha1, hash);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(f->C_SignInit(session, &mechanism, key), CKR_OK);
    Bytes signature(2048);
    CK_ULONG length = signature.size();
    ASSERT_EQ(f->C_Sign(session, info1.data(), info1.size(), signature.data(), &length), CKR_OK);
    signature.resize(length);
    EXPECT_TRUE(VerifyPkcs1(cert.der, hash, signature, HashAlgorithm::Sha1));
    f->C_Logout(session);
    f->C_CloseSession(session);
    f->C_Finalize(nullptr);
}

TEST(SoftHsmToken, EnvironmentIsRestoredAndToolFailuresAreReported) {
    if (!SoftHsm::Available()) GTEST_SKIP() << "SoftHSM2 or pkcs11-tool not installed";
    setenv("SOFTHSM2_CONF", "/previous.conf", 1);
    {
        SoftHsm hsm;
        SoftHsmToken token = hsm.AddToken("Gamma", "1234");
        EXPECT_THROW(token.ImportKey(hsm.Directory() + "/missing.pem", {1}), std::runtime_error);
        EXPECT_THROW(hsm.Run({"/nonexistent/tool"}), std::runtime_error);
    }
    EXPECT_STREQ(std::getenv("SOFTHSM2_CONF"), "/previous.conf");
    unsetenv("SOFTHSM2_CONF");
}

}  // namespace
}  // namespace p11bridge::test
