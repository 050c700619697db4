#include <gtest/gtest.h>

#include <memory>

#include "support/CallLog.h"
#include "support/CertFactory.h"
#include "support/Pkcs1.h"
#include "support/Pkcs11Library.h"
#include "support/TempDir.h"
#include "support/TestTokenScenario.h"

namespace p11bridge::test {
namespace {

constexpr CK_SLOT_ID kSlot = 5;
const Bytes kId = {0x01, 0xa2};

// Keys are slow to make, so one certificate and key serve the whole suite.
class TestTokenModule : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared_ = new Shared;
        shared_->signer = shared_->factory.Issue("signer");
    }
    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }

    void TearDown() override { f->C_Finalize(nullptr); }

    // The usual token: one slot with the signer's certificate and key, PIN 1234.
    TestTokenScenario& Standard() {
        return scenario.Log(logPath)
            .Slot(kSlot, "Primary")
            .Pin("1234")
            .Credential(kSlot, kId, shared_->signer);
    }

    CK_RV Initialize() {
        scenario.Install();
        return f->C_Initialize(nullptr);
    }

    CK_SESSION_HANDLE OpenSession(CK_SLOT_ID slot = kSlot) {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        return session;
    }

    CK_RV Login(CK_SESSION_HANDLE session, std::string pin) {
        return f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                          pin.size());
    }

    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> templ,
                                       CK_ULONG step = 1) {
        std::vector<CK_OBJECT_HANDLE> found;
        EXPECT_EQ(f->C_FindObjectsInit(session, templ.data(), templ.size()), CKR_OK);
        for (;;) {
            std::vector<CK_OBJECT_HANDLE> batch(step);
            CK_ULONG count = 0;
            EXPECT_EQ(f->C_FindObjects(session, batch.data(), step, &count), CKR_OK);
            if (count == 0) break;
            found.insert(found.end(), batch.begin(), batch.begin() + count);
        }
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        return found;
    }

    struct Shared {
        TempDir dir;
        CertFactory factory{dir.Path()};
        IssuedCert signer;
    };
    static Shared* shared_;

    TempDir dir;
    std::string logPath = dir.File("calls.log");
    TestTokenScenario scenario{dir.File("scenario.txt")};
    Pkcs11Library library{TestTokenModulePath()};
    CK_FUNCTION_LIST* f = library.Functions();
};

TestTokenModule::Shared* TestTokenModule::shared_ = nullptr;

TEST_F(TestTokenModule, SignsDigestInfoWithTheKeyOfTheCertificate) {
    Standard();
    ASSERT_EQ(Initialize(), CKR_OK);
    CK_SESSION_HANDLE session = OpenSession();
    ASSERT_EQ(Login(session, "1234"), CKR_OK);
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    Bytes id = kId;
    std::vector<CK_OBJECT_HANDLE> keys =
        Find(session, {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}});
    ASSERT_EQ(keys.size(), 1u);
    Bytes hash = Digest(HashAlgorithm::Sha256, ToBytes("text"));
    Bytes info = DigestInfo(HashAlgorithm::Sha256, hash);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(f->C_SignInit(session, &mechanism, keys[0]), CKR_OK);
    Bytes signature(2048);
    CK_ULONG length = signature.size();
    ASSERT_EQ(f->C_Sign(session, info.data(), info.size(), signature.data(), &length), CKR_OK);
    signature.resize(length);
    EXPECT_EQ(length, 256u);
    EXPECT_TRUE(VerifyPkcs1(shared_->signer.der, hash, signature, HashAlgorithm::Sha256));
}

}  // namespace
}  // namespace p11bridge::test
