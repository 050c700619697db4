#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "TestTokenFixture.h"
#include "support/Pkcs1.h"

namespace p11bridge::test {
namespace {

using TestTokenModule = TestTokenFixture;

CK_MECHANISM RsaPkcs() {
    return CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0};
}

TEST_F(TestTokenModule, SigningNeedsRsaPkcsALoginAndAKey) {
    Standard().Cert(kSlot, {0x09}, Certs().other.derPath);
    ASSERT_EQ(Initialize(), CKR_OK);
    CK_SESSION_HANDLE session = OpenSession();
    ASSERT_EQ(Login(session, "1234"), CKR_OK);
    CK_OBJECT_HANDLE key = FindKey(session, kId);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_OBJECT_HANDLE cert = Find(session, {{CKA_CLASS, &certClass, sizeof certClass}}).at(0);
    CK_MECHANISM sha256Rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE parameter = 0;
    CK_MECHANISM withParameter{CKM_RSA_PKCS, &parameter, 1};
    CK_MECHANISM rsaPkcs = RsaPkcs();
    EXPECT_EQ(f->C_SignInit(session, &sha256Rsa, key), CKR_MECHANISM_INVALID);
    EXPECT_EQ(f->C_SignInit(session, &withParameter, key), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(f->C_SignInit(session, &rsaPkcs, cert), CKR_KEY_HANDLE_INVALID);
    ASSERT_EQ(f->C_Logout(session), CKR_OK);
    EXPECT_EQ(f->C_SignInit(session, &rsaPkcs, key), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(session, "1234"), CKR_OK);
    ASSERT_EQ(f->C_SignInit(session, &rsaPkcs, key), CKR_OK);
    Bytes tooLong(256 - 10);
    CK_ULONG length = 2048;
    Bytes signature(length);
    EXPECT_EQ(f->C_Sign(session, tooLong.data(), tooLong.size(), signature.data(), &length),
              CKR_DATA_LEN_RANGE);
}

TEST_F(TestTokenModule, LoginChecksThePin) {
    struct Case {
        const char* name;
        const char* pinLine;  // nullptr: no pin line
        bool locked;
        std::string pin;
        CK_RV expected;
        bool digestOnly = false;
    } cases[] = {
        {"right", "1234", false, "1234", CKR_OK},
        {"wrong", "1234", false, "1235", CKR_PIN_INCORRECT},
        {"prefix", "1234", false, "123", CKR_PIN_INCORRECT},
        {"longer", "1234", false, "12345", CKR_PIN_INCORRECT},
        {"empty", "1234", false, "", CKR_PIN_INCORRECT},
        {"locked", "1234", true, "1234", CKR_PIN_LOCKED},
        {"no pin set", nullptr, false, "1234", CKR_USER_PIN_NOT_INITIALIZED},
        {"right, known by digest", "1234", false, "1234", CKR_OK, true},
        {"wrong, known by digest", "1234", false, "12345", CKR_PIN_INCORRECT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario = TestTokenScenario(dir.File("scenario.txt"));
        scenario.Slot(kSlot, "Primary");
        if (c.pinLine && c.digestOnly) scenario.PinDigest(c.pinLine);
        if (c.pinLine && !c.digestOnly) scenario.Pin(c.pinLine);
        if (c.locked) scenario.Locked();
        ASSERT_EQ(Initialize(), CKR_OK);
        CK_SESSION_HANDLE session = OpenSession();
        EXPECT_EQ(Login(session, c.pin), c.expected);
        if (c.expected == CKR_OK) {
            EXPECT_EQ(Login(session, c.pin), CKR_USER_ALREADY_LOGGED_IN);
            EXPECT_EQ(f->C_Logout(session), CKR_OK);
            EXPECT_EQ(f->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
        }
        EXPECT_EQ(f->C_Login(session, CKU_SO, nullptr, 0), CKR_USER_TYPE_INVALID);
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    }
}

}  // namespace
}  // namespace p11bridge::test
