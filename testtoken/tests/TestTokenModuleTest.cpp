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

TEST_F(TestTokenModule, SlotListHonoursTokenPresentAndTheLengthQuery) {
    scenario.Slot(9, "Second").EmptySlot(7).Slot(kSlot, "Primary");
    ASSERT_EQ(Initialize(), CKR_OK);
    EXPECT_EQ(SlotList(CK_TRUE), (std::vector<CK_SLOT_ID>{9, kSlot}));
    EXPECT_EQ(SlotList(CK_FALSE), (std::vector<CK_SLOT_ID>{9, 7, kSlot}));
    CK_SLOT_ID one = 0;
    CK_ULONG count = 1;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, &one, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);

    CK_TOKEN_INFO token;
    ASSERT_EQ(f->C_GetTokenInfo(9, &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), sizeof token.label),
              "Second" + std::string(32 - 6, ' '));
    EXPECT_EQ(f->C_GetTokenInfo(7, &token), CKR_TOKEN_NOT_PRESENT);
    CK_SLOT_INFO slot;
    ASSERT_EQ(f->C_GetSlotInfo(7, &slot), CKR_OK);
    EXPECT_EQ(slot.flags & CKF_TOKEN_PRESENT, 0u);
    EXPECT_EQ(f->C_GetSlotInfo(8, &slot), CKR_SLOT_ID_INVALID);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(f->C_OpenSession(7, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_OpenSession(kSlot, 0, nullptr, nullptr, &session),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
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

TEST_F(TestTokenModule, InitializeAndFinalizeFollowTheCryptokiStates) {
    Standard();
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(Initialize(), CKR_OK);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_SESSION_HANDLE session = OpenSession();
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);

    // The scenario is read again: the token now has another label, the old session is gone.
    scenario.Slot(11, "Later");
    ASSERT_EQ(Initialize(), CKR_OK);
    EXPECT_EQ(SlotList(CK_TRUE), (std::vector<CK_SLOT_ID>{kSlot, 11}));
    EXPECT_EQ(f->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
    CK_C_INITIALIZE_ARGS args{};
    EXPECT_EQ(f->C_Initialize(&args), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_Initialize(&args), CKR_OK);
}

TEST_F(TestTokenModule, BadScenarioFailsInitializeAndSaysWhy) {
    const std::string badLines[] = {
        "slot x token \"A\"",
        "slot 5 token",
        "slot 5 token \"unterminated",
        "slot 5 token \"a label that is longer than thirty-two bytes\"",
        "slot 5 token \"A\"\nslot 5 empty",
        "pin 1\npin 2",
        "pin 1\npin-sha256 " + std::string(64, 'a'),
        "pin-sha256 abcd",
        "cert slot=5 id=01 der=/nonexistent/file.der",
        "cert slot=5 id=0 der=CERT",
        "cert slot=5 id=zz der=CERT",
        "cert slot=6 id=01 der=CERT",
        "cert slot=7 id=01 der=CERT",
        "cert slot=5 id=01",
        "cert slot=5 id=01 der=CERT colour=red",
        "key slot=5 id=01 pem=CERT",
        "fail C_Sing 1 5",
        "fail C_Sign 0 5",
        "fail C_Sign 1 0",
        "fail C_Sign -1 5",
        "fail C_Sign 1",
        "locked now",
        "frobnicate",
    };
    for (std::string line : badLines) {
        SCOPED_TRACE(line);
        size_t at = line.find("CERT");
        if (at != std::string::npos) line.replace(at, 4, Certs().signer.derPath);
        CallLog::Clear(logPath);
        scenario = TestTokenScenario(dir.File("scenario.txt"));
        scenario.Log(logPath).Slot(kSlot, "Primary").EmptySlot(7).Line(line);
        EXPECT_EQ(Initialize(), CKR_GENERAL_ERROR);
        CallLog log = Log();
        EXPECT_EQ(log.Functions(), std::vector<std::string>{"C_Initialize"});
        EXPECT_EQ(log.Remarks().size(), 1u);
        CK_ULONG count = 0;
        EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    }
    unsetenv(TestTokenScenario::kEnvironmentVariable);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_GENERAL_ERROR);
    // The same scenario, made well-formed, is accepted; comments and quoting work.
    scenario = TestTokenScenario(dir.File("scenario.txt"));
    scenario.Log(logPath)
        .Line("  # a comment")
        .Line("")
        .Line("slot 0x5 token \"Two words\"   # trailing comment");
    ASSERT_EQ(Initialize(), CKR_OK);
    CK_TOKEN_INFO token;
    ASSERT_EQ(f->C_GetTokenInfo(kSlot, &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 9), "Two words");
}

TEST_F(TestTokenModule, CallLogRecordsEveryCallWithItsResult) {
    Standard().Fail("C_Login", 1, CKR_PIN_INCORRECT);
    ASSERT_EQ(Initialize(), CKR_OK);
    CK_SESSION_HANDLE session = OpenSession();
    EXPECT_EQ(Login(session, "1234"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, "1234"), CKR_OK);
    EXPECT_EQ(f->C_Logout(session), CKR_OK);
    EXPECT_EQ(f->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    std::string text;
    std::ifstream in(logPath);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    EXPECT_EQ(text,
              "C_Initialize 0\nC_OpenSession 0\nC_Login 160\nC_Login 0\nC_Logout 0\n"
              "C_CloseSession 0\nC_Finalize 0\nC_Finalize 400\n");
    EXPECT_EQ(text.find("1234"), std::string::npos);
}

TEST_F(TestTokenModule, FunctionListIsCompleteAndUnimplementedCallsAreRefused) {
    // CK_FUNCTION_LIST is a version followed by function pointers only.
    size_t slots = (sizeof(CK_FUNCTION_LIST) - sizeof(CK_VERSION)) / sizeof(void*);
    size_t offset = (sizeof(CK_VERSION) + alignof(void*) - 1) / alignof(void*) * alignof(void*);
    const auto* begin = reinterpret_cast<const unsigned char*>(f) + offset;
    for (size_t i = 0; i < slots; ++i) {
        void* entry = nullptr;
        std::memcpy(&entry, begin + i * sizeof(void*), sizeof entry);
        EXPECT_NE(entry, nullptr) << "entry " << i;
    }
    Standard();
    ASSERT_EQ(Initialize(), CKR_OK);
    CK_SESSION_HANDLE session = OpenSession();
    EXPECT_EQ(f->C_GenerateRandom(session, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_DestroyObject(session, 1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(Log().Calls().back().function, "C_DestroyObject");
}

}  // namespace
}  // namespace p11bridge::test
