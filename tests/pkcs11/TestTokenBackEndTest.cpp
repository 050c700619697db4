// The back end against the scenario-driven test token: every failure the frame, the listing,
// the lookup and the signature can meet, the PIN records, the domain check and the call orders.
#include <gtest/gtest.h>
#include <nss.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BackEndTesting.h"
#include "pkcs11/Pkcs11Module.h"
#include "support/CallLog.h"
#include "support/Pkcs1.h"
#include "support/TempDir.h"
#include "support/TestTokenScenario.h"

namespace p11bridge::test {
namespace {

constexpr char kPin[] = "1234";
constexpr unsigned long kSlot = 3;
constexpr unsigned long kDeviceError = 0x30;  // CKR_DEVICE_ERROR
constexpr unsigned long kGeneralError = 0x5;  // CKR_GENERAL_ERROR

const Bytes kValidId{0x0a, 0x01};
const Bytes kDigitalSignatureOnlyId{0x0a, 0x02};
const Bytes kNonRepudiationOnlyId{0x0a, 0x03};
const Bytes kExpiredId{0x0a, 0x04};
const Bytes kNotYetValidId{0x0a, 0x05};
const Bytes kNoKeyUsageId{0x0a, 0x06};
const Bytes kUndecodableId{0x0a, 0x07};
const Bytes kUnknownId{0x7f, 0x7f, 0x7f};

// Keys and certificates are costly to make: one set serves the whole suite.
struct Credentials {
    TempDir dir;
    CertFactory factory{dir.Path()};
    IssuedCert valid, digitalSignatureOnly, nonRepudiationOnly, expired, notYetValid, noKeyUsage;
    std::string undecodablePath = dir.File("undecodable.der");

    Credentials() {
        valid = factory.Issue("valid");
        CertRequest request;
        request.key = valid.key;  // signing tests need only one key
        request.keyUsage = KeyUsage::kDigitalSignature;
        digitalSignatureOnly = factory.Issue("ds-only", request);
        request.keyUsage = KeyUsage::kNonRepudiation;
        nonRepudiationOnly = factory.Issue("nr-only", request);
        request.keyUsage = KeyUsage::kSigning;
        request.validFromDays = -30;
        request.validToDays = -1;
        expired = factory.Issue("expired", request);
        // NSS lets a certificate in up to a day before it begins; start well beyond that.
        request.validFromDays = 3;
        request.validToDays = 30;
        notYetValid = factory.Issue("not-yet-valid", request);
        request.validFromDays = -1;
        request.validToDays = 365;
        request.keyUsage = KeyUsage::kAbsent;
        noKeyUsage = factory.Issue("no-key-usage", request);
        FILE* f = fopen(undecodablePath.c_str(), "wb");
        fputs("\x30\x03not a certificate", f);
        fclose(f);
    }
};

Credentials* gCredentials = nullptr;

enum class Operation { List, Lookup, Sign };

class TestTokenBackEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!gCredentials) gCredentials = new Credentials();
        Pkcs11Module::SetPathForTesting(TestTokenModulePath());
    }
    static void TearDownTestSuite() {
        delete gCredentials;
        gCredentials = nullptr;
    }

    void SetUp() override { gPines.clear(); }

    void TearDown() override {
        CallLog log = Log();
        EXPECT_TRUE(log.EveryInitializeFinalized());
        EXPECT_TRUE(log.EverySessionClosed());
        EXPECT_TRUE(log.EveryLoginLoggedOut());
        EXPECT_TRUE(log.EverySearchFinished());
        gPines.clear();
    }

    const Credentials& Creds() const { return *gCredentials; }

    TestTokenScenario Scenario() const {
        TestTokenScenario scenario(dir_.File("scenario"));
        scenario.Log(LogPath());
        return scenario;
    }
    // One token holding one usable signing credential and the right PIN.
    TestTokenScenario StandardToken() const {
        TestTokenScenario scenario = Scenario();
        scenario.Slot(kSlot, "Primary").Pin(kPin).Credential(kSlot, kValidId, Creds().valid);
        return scenario;
    }

    std::string LogPath() const { return dir_.File("calls.log"); }
    CallLog Log() const { return CallLog::Read(LogPath()); }
    void ClearLog() const { CallLog::Clear(LogPath()); }

    static std::string Run(DigitalSignatureUtilPkcs11& utility, Operation operation,
                           const Bytes& id = kValidId, const Bytes& hash = Bytes(32, 0x5a)) {
        switch (operation) {
            case Operation::List:
                return utility.ListCertificates("");
            case Operation::Lookup:
                return utility.GetCertificateBase64(Base64Encode(id));
            case Operation::Sign:
                return utility.SignPkcs1Base64(Base64Encode(id), Base64Encode(hash));
        }
        return {};
    }

    TempDir dir_;
};

struct FailureRow {
    const char* behaviour;
    Operation operation;
    std::function<void(TestTokenScenario&)> configure;
    int32_t code;
    const char* message;
    int64_t lowLevel;
    bool moduleFinalized = true;
    // Listing: the entries still listed (by credential), in order.
    std::vector<std::pair<const IssuedCert Credentials::*, const Bytes*>> listed = {};
};

TEST_F(TestTokenBackEnd, EveryTokenFailureIsRecordedAndTheFrameUnwound) {
    auto addSecond = [](TestTokenScenario& s) {
        s.Cert(kSlot, kNoKeyUsageId, gCredentials->noKeyUsage.derPath);
    };
    std::vector<FailureRow> rows = {
        {"slot count grows beyond the list", Operation::List,
         [](TestTokenScenario& s) { s.SlotCountGrows(); }, 12, "get slot list", kGeneralError},
        {"C_Login fails otherwise", Operation::Sign,
         [](TestTokenScenario& s) { s.FailAlways("C_Login", 0xE0); }, 12, "C_Login", 0xE0},
        {"PIN locked", Operation::Sign, [](TestTokenScenario& s) { s.Locked(); }, 5,
         kPinInvalidMessage, 0xA4},
        {"PIN incorrect", Operation::Sign, [](TestTokenScenario& s) { s.Fail("C_Login", 1, 0xA0); },
         5, kPinInvalidMessage, 0xA0},
        {"listing search cannot start", Operation::List,
         [](TestTokenScenario& s) { s.Fail("C_FindObjectsInit", 1, kDeviceError); }, 12,
         "Find objects init", kDeviceError},
        {"lookup search cannot start", Operation::Lookup,
         [](TestTokenScenario& s) { s.Fail("C_FindObjectsInit", 1, kDeviceError); }, 12,
         "Find objects init", kDeviceError},
        {"key search cannot start", Operation::Sign,
         [](TestTokenScenario& s) { s.Fail("C_FindObjectsInit", 1, kDeviceError); }, 12,
         "Find objects init", kDeviceError},
        {"listing first search step fails", Operation::List,
         [](TestTokenScenario& s) { s.Fail("C_FindObjects", 1, kDeviceError); }, 12,
         "Find first object", kDeviceError},
        {"lookup first search step fails", Operation::Lookup,
         [](TestTokenScenario& s) { s.Fail("C_FindObjects", 1, kDeviceError); }, 12,
         "Find first object", kDeviceError},
        {"key search step fails", Operation::Sign,
         [](TestTokenScenario& s) { s.Fail("C_FindObjects", 1, kDeviceError); }, 12,
         "Find first object", kDeviceError},
        {"later listing step fails: certificates found so far",
         Operation::List,
         [&](TestTokenScenario& s) {
             addSecond(s);
             s.Fail("C_FindObjects", 2, kDeviceError);
         },
         12,
         "Find other objects",
         kDeviceError,
         true,
         {{&Credentials::valid, &kValidId}}},
        {"attribute lengths of one object fail: the others listed",
         Operation::List,
         [&](TestTokenScenario& s) {
             addSecond(s);
             s.Fail("C_GetAttributeValue", 1, kDeviceError);
         },
         12,
         "get attribute value",
         kDeviceError,
         true,
         {{&Credentials::noKeyUsage, &kNoKeyUsageId}}},
        {"attribute read of one object fails: the others listed",
         Operation::List,
         [&](TestTokenScenario& s) {
             addSecond(s);
             s.Fail("C_GetAttributeValue", 4, kDeviceError);
         },
         12,
         "get attribute value",
         kDeviceError,
         true,
         {{&Credentials::valid, &kValidId}}},
        {"lookup value read fails", Operation::Lookup,
         [](TestTokenScenario& s) { s.Fail("C_GetAttributeValue", 2, kDeviceError); }, 12,
         "get attribute value", kDeviceError},
        {"listing meets an unavailable attribute length", Operation::List,
         [](TestTokenScenario& s) { s.AttributeLengthInvalid(); }, 12, "get attribute value",
         kGeneralError},
        {"lookup meets an unavailable attribute length", Operation::Lookup,
         [](TestTokenScenario& s) { s.AttributeLengthInvalid(); }, 12, "get attribute value",
         kGeneralError},
        {"sign init fails", Operation::Sign,
         [](TestTokenScenario& s) { s.Fail("C_SignInit", 1, kDeviceError); }, 12, "sign init new",
         kDeviceError},
        {"sign fails", Operation::Sign, [](TestTokenScenario& s) { s.Fail("C_Sign", 1, 0x150); },
         12, "sign final", 0x150},
        {"signature longer than its buffer", Operation::Sign,
         [](TestTokenScenario& s) { s.SignLengthOverflow(); }, 12, "sign final", kGeneralError},
        {"signature of length zero", Operation::Sign,
         [](TestTokenScenario& s) { s.SignZeroLength(); }, 0, "", 0},
    };
    // The three operations share one frame, so each of its steps must fail alike in all three.
    const FailureRow frame[] = {
        {"slot list reports no slot", Operation::List,
         [](TestTokenScenario& s) { s.SlotCountZero(); }, 12, "No se encontro ningun slot", 0},
        {"C_Initialize fails", Operation::List,
         [](TestTokenScenario& s) { s.Fail("C_Initialize", 1, kDeviceError); }, 12,
         "C_Initialize failed", kDeviceError, false},
        {"slot count query fails", Operation::List,
         [](TestTokenScenario& s) { s.Fail("C_GetSlotList", 1, kDeviceError); }, 12,
         "get slot list", kDeviceError},
        {"slot list read fails", Operation::List,
         [](TestTokenScenario& s) { s.Fail("C_GetSlotList", 2, kDeviceError); }, 12,
         "get slot list", kDeviceError},
        {"session cannot open", Operation::List,
         [](TestTokenScenario& s) { s.Fail("C_OpenSession", 1, kDeviceError); }, 12, "open session",
         kDeviceError},
    };
    for (Operation operation : {Operation::List, Operation::Lookup, Operation::Sign}) {
        for (FailureRow row : frame) {
            row.operation = operation;
            rows.push_back(row);
        }
    }
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(std::string(row.behaviour) + " (operation " +
                     std::to_string(static_cast<int>(row.operation)) + ")");
        TestTokenScenario scenario = StandardToken();
        row.configure(scenario);
        scenario.Install();
        ClearLog();
        gPines.clear();
        auto utility = AuthorisedUtility();
        GivePin(*utility, kPin);

        std::string result = Run(*utility, row.operation);

        std::string expected;
        for (const auto& [cert, id] : row.listed) {
            expected += (expected.empty() ? "" : "|") + ListingEntry(Creds().*cert, *id);
        }
        EXPECT_EQ(result, expected);
        EXPECT_EQ(utility->LastError(), row.code);
        EXPECT_EQ(utility->LastErrorMessage(), row.message);
        EXPECT_EQ(utility->LastLowLevelError(), row.lowLevel);
        CallLog log = Log();
        EXPECT_EQ(log.Count("C_Finalize"), row.moduleFinalized ? 1u : 0u) << log.ToString();
        EXPECT_TRUE(log.EveryInitializeFinalized());
        EXPECT_TRUE(log.EverySessionClosed());
        EXPECT_TRUE(log.EveryLoginLoggedOut());
        EXPECT_TRUE(log.EverySearchFinished());
    }
}

TEST_F(TestTokenBackEnd, NoTokenInAnySlotStillFinalizesTheModule) {
    Scenario().EmptySlot(1).EmptySlot(2).Install();
    auto utility = AuthorisedUtility();
    for (Operation operation : {Operation::List, Operation::Lookup, Operation::Sign}) {
        ClearLog();
        EXPECT_EQ(Run(*utility, operation), "");
        EXPECT_EQ(utility->LastError(), 12);
        EXPECT_EQ(utility->LastErrorMessage(), "No se encontro ningun slot");
        EXPECT_EQ(Log().Count("C_Finalize"), 1u);
    }
}

TEST_F(TestTokenBackEnd, IdentifierMatchingNothingGivesNoResultAndNoError) {
    StandardToken().Install();
    auto utility = AuthorisedUtility();
    GivePin(*utility, kPin);
    for (Operation operation : {Operation::Lookup, Operation::Sign}) {
        EXPECT_EQ(Run(*utility, operation, kUnknownId), "");
        EXPECT_EQ(utility->LastError(), 0);
    }
}

TEST_F(TestTokenBackEnd, UnloadableModuleFailsLikeInitializeAndIsRetried) {
    StandardToken().Install();
    auto utility = AuthorisedUtility();
    Pkcs11Module::SetPathForTesting(dir_.File("no-such-module.so"));
    EXPECT_EQ(utility->ListCertificates(""), "");
    EXPECT_EQ(utility->LastError(), 12);
    EXPECT_EQ(utility->LastErrorMessage(), "C_Initialize failed");
    EXPECT_EQ(utility->LastLowLevelError(), 5);

    Pkcs11Module::SetPathForTesting(TestTokenModulePath());
    EXPECT_EQ(utility->ListCertificates(""), ListingEntry(Creds().valid, kValidId));
    EXPECT_EQ(utility->LastError(), 0);
    // The old failure stays on record beside the code of the success.
    EXPECT_EQ(utility->LastErrorMessage(), "C_Initialize failed");
    EXPECT_EQ(utility->LastLowLevelError(), 5);
}

TEST_F(TestTokenBackEnd, ListingNamesOnlyCurrentSigningCertificatesInTokenOrder) {
    const Credentials& c = Creds();
    TestTokenScenario scenario = Scenario();
    scenario.Slot(kSlot, "Primary")
        .Pin(kPin)
        .Cert(kSlot, kExpiredId, c.expired.derPath)
        .Cert(kSlot, kValidId, c.valid.derPath)
        .Cert(kSlot, kDigitalSignatureOnlyId, c.digitalSignatureOnly.derPath)
        .Cert(kSlot, kNonRepudiationOnlyId, c.nonRepudiationOnly.derPath)
        .Cert(kSlot, kUndecodableId, c.undecodablePath)
        .Cert(kSlot, {}, c.valid.derPath)
        .Cert(kSlot, kNotYetValidId, c.notYetValid.derPath)
        .Cert(kSlot, kNoKeyUsageId, c.noKeyUsage.derPath)
        .Install();
    auto utility = AuthorisedUtility();
    const std::string expected =
        ListingEntry(c.valid, kValidId) + "|" + ListingEntry(c.noKeyUsage, kNoKeyUsageId);
    // The CA subject names are kept for the page, not applied.
    for (const char* caNames : {"", "CN=p11bridge Test CA", "CN=Someone Else|O=Nobody"}) {
        EXPECT_EQ(utility->ListCertificates(caNames), expected) << caNames;
        EXPECT_EQ(utility->LastError(), 0);
    }
    EXPECT_TRUE(Log().NoLogin());
}

TEST_F(TestTokenBackEnd, EmptyTokenListsNothingWithoutError) {
    Scenario().Slot(kSlot, "Primary").Pin(kPin).Install();
    auto utility = AuthorisedUtility();
    EXPECT_EQ(utility->ListCertificates(""), "");
    EXPECT_EQ(utility->LastError(), 0);
}

TEST_F(TestTokenBackEnd, OnlyTheFirstSlotWithATokenIsUsed) {
    Scenario()
        .EmptySlot(1)
        .Slot(2, "First")
        .Slot(4, "Second")
        .Pin(kPin)
        .Cert(2, kValidId, Creds().valid.derPath)
        .Cert(4, kNoKeyUsageId, Creds().noKeyUsage.derPath)
        .Install();
    auto utility = AuthorisedUtility();
    EXPECT_EQ(utility->ListCertificates(""), ListingEntry(Creds().valid, kValidId));
}

TEST_F(TestTokenBackEnd, LookupReturnsAnyCertificateWithNssLineBreaks) {
    const Credentials& c = Creds();
    Scenario()
        .Slot(kSlot, "Primary")
        .Pin(kPin)
        .Cert(kSlot, kValidId, c.valid.derPath)
        .Cert(kSlot, kDigitalSignatureOnlyId, c.digitalSignatureOnly.derPath)
        .Cert(kSlot, kExpiredId, c.expired.derPath)
        .Install();
    auto utility = AuthorisedUtility();
    const std::vector<std::pair<const IssuedCert*, const Bytes*>> rows = {
        {&c.valid, &kValidId},
        {&c.digitalSignatureOnly, &kDigitalSignatureOnlyId},
        {&c.expired, &kExpiredId},
    };
    for (const auto& [cert, id] : rows) {
        std::string text = utility->GetCertificateBase64(Base64Encode(*id));
        EXPECT_EQ(text, Base64Encode(cert->der, 64));
        EXPECT_NE(text.find("\r\n"), std::string::npos);
        EXPECT_EQ(utility->LastError(), 0);
    }
}

TEST_F(TestTokenBackEnd, UndecodableIdentifierFailsTheLookupOnly) {
    StandardToken().Install();
    auto utility = AuthorisedUtility();
    EXPECT_EQ(utility->GetCertificateBase64(""), "");
    EXPECT_EQ(utility->LastError(), 12);
    EXPECT_EQ(utility->LastErrorMessage(), "Invalid cert id base64");
    EXPECT_EQ(utility->GetCertificateBase64(Base64Encode(kValidId)),
              Base64Encode(Creds().valid.der, 64));
    EXPECT_EQ(utility->LastError(), 0);
}

TEST_F(TestTokenBackEnd, SignaturesOverEachAcceptedHashVerifyWithTheCertificate) {
    StandardToken().Install();
    auto utility = AuthorisedUtility();
    GivePin(*utility, kPin);
    const std::vector<HashAlgorithm> algorithms = {HashAlgorithm::Md5, HashAlgorithm::Sha1,
                                                   HashAlgorithm::Sha256};
    for (HashAlgorithm algorithm : algorithms) {
        Bytes hash = Digest(algorithm, ToBytes("the page's document"));
        SCOPED_TRACE(hash.size());
        ClearLog();
        std::string text = utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(hash));
        EXPECT_EQ(utility->LastError(), 0) << utility->LastErrorMessage();
        auto signature = Base64Decode(text);
        ASSERT_TRUE(signature);
        EXPECT_EQ(text, Base64Encode(*signature, 64));
        EXPECT_TRUE(VerifyPkcs1(Creds().valid.der, hash, *signature, algorithm));
        // The token signs the DigestInfo, never the bare hash.
        EXPECT_EQ(RecoverPkcs1Payload(Creds().valid.der, *signature), DigestInfo(algorithm, hash));
        CallLog log = Log();
        EXPECT_EQ(log.CountOk("C_Login"), 1u);
        EXPECT_EQ(log.Count("C_Logout"), 1u);
        // The key search is over before signing starts: one operation per session at a time.
        std::vector<std::string> calls = log.Functions();
        auto final = std::find(calls.begin(), calls.end(), "C_FindObjectsFinal");
        auto signInit = std::find(calls.begin(), calls.end(), "C_SignInit");
        EXPECT_LT(final, signInit) << log.ToString();
        EXPECT_EQ(log.Count("C_FindObjectsFinal"), 1u);
    }
}

TEST_F(TestTokenBackEnd, UnlistedCertificateCanStillSign) {
    StandardToken()
        .Credential(kSlot, kDigitalSignatureOnlyId, Creds().digitalSignatureOnly)
        .Install();
    auto utility = AuthorisedUtility();
    GivePin(*utility, kPin);
    Bytes hash = Digest(HashAlgorithm::Sha256, ToBytes("x"));
    auto signature = Base64Decode(
        utility->SignPkcs1Base64(Base64Encode(kDigitalSignatureOnlyId), Base64Encode(hash)));
    ASSERT_TRUE(signature);
    EXPECT_TRUE(
        VerifyPkcs1(Creds().digitalSignatureOnly.der, hash, *signature, HashAlgorithm::Sha256));
}

TEST_F(TestTokenBackEnd, BadSigningInputIsRefusedAfterTheLogin) {
    struct Row {
        const char* behaviour;
        std::string certId;
        std::string digest;
    };
    const std::vector<Row> rows = {
        {"SHA-384 length", Base64Encode(kValidId), Base64Encode(Bytes(48, 1))},
        {"SHA-512 length", Base64Encode(kValidId), Base64Encode(Bytes(64, 1))},
        {"one byte short of SHA-1", Base64Encode(kValidId), Base64Encode(Bytes(19, 1))},
        {"digest not Base64", Base64Encode(kValidId), ""},
        {"identifier not Base64", "", Base64Encode(Bytes(32, 1))},
    };
    StandardToken().Install();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        ClearLog();
        auto utility = AuthorisedUtility();
        GivePin(*utility, kPin);
        EXPECT_EQ(utility->SignPkcs1Base64(row.certId, row.digest), "");
        EXPECT_EQ(utility->LastError(), 3);
        CallLog log = Log();
        EXPECT_EQ(log.CountOk("C_Login"), 1u) << log.ToString();
        EXPECT_EQ(log.Count("C_Logout"), 1u);
        EXPECT_EQ(log.Count("C_FindObjectsInit"), 0u);
        EXPECT_EQ(log.Count("C_SignInit"), 0u);
    }
}

TEST_F(TestTokenBackEnd, PinRecordsFollowTheTokenAcrossUtilities) {
    StandardToken().Install();
    {
        auto utility = AuthorisedUtility();
        // Listing needs no PIN and asks for none.
        EXPECT_EQ(utility->ListCertificates(""), ListingEntry(Creds().valid, kValidId));
        EXPECT_TRUE(gPines.empty());

        // A signature without a PIN leaves an empty record: the host's cue to ask for one.
        EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(32))), "");
        EXPECT_EQ(utility->LastError(), 11);
        EXPECT_EQ(utility->LastErrorMessage(), kPinMissingMessage);
        ASSERT_EQ(gPines.count(kModuleName), 1u);
        EXPECT_TRUE(gPines[kModuleName].pin.empty());
        EXPECT_TRUE(Log().NoLogin());

        // From now on nothing reaches the module, listing included.
        ClearLog();
        EXPECT_EQ(utility->ListCertificates(""), "");
        EXPECT_EQ(utility->LastError(), 11);
        EXPECT_EQ(Log().Calls().size(), 0u);

        GivePin(*utility, "9999");
        ClearLog();
        EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(32))), "");
        EXPECT_EQ(utility->LastError(), 5);
        EXPECT_EQ(utility->LastErrorMessage(), kPinInvalidMessage);
        EXPECT_EQ(utility->LastLowLevelError(), 0xA0);
        EXPECT_TRUE(gPines[kModuleName].invalid);
        EXPECT_EQ(gPines[kModuleName].retries, 1);
        EXPECT_EQ(utility->InvalidPinRetries(kModuleName), 1);

        // A refused PIN is never presented again.
        ClearLog();
        EXPECT_EQ(utility->ListCertificates(""), "");
        EXPECT_EQ(utility->LastError(), 5);
        EXPECT_EQ(Log().Calls().size(), 0u);
    }
    {
        // The records outlive the utility; the same PIN again changes nothing.
        auto utility = AuthorisedUtility();
        GivePin(*utility, "9999");
        ClearLog();
        EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(32))), "");
        EXPECT_EQ(utility->LastError(), 5);
        EXPECT_EQ(Log().Calls().size(), 0u);

        GivePin(*utility, "8888");
        EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(32))), "");
        EXPECT_EQ(utility->LastError(), 5);
        EXPECT_EQ(gPines[kModuleName].retries, 2);

        GivePin(*utility, kPin);
        EXPECT_NE(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(32))), "");
        EXPECT_EQ(utility->LastError(), 0);
        EXPECT_FALSE(gPines[kModuleName].invalid);
        EXPECT_EQ(gPines[kModuleName].retries, 2);
    }
}

TEST_F(TestTokenBackEnd, PinIsPresentedUpToItsFirstNul) {
    StandardToken().Install();
    auto utility = AuthorisedUtility();
    utility->SetPin(kModuleName, SecureString(std::string(kPin) + std::string(1, '\0') + "99"));
    EXPECT_NE(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(20))), "");
    EXPECT_EQ(utility->LastError(), 0);
}

TEST_F(TestTokenBackEnd, UnauthorisedDomainIsReportedOnceThenSilentlyRefused) {
    StandardToken().Install();
    ClearLog();
    auto utility = std::make_unique<DigitalSignatureUtilPkcs11>("", SignDomainList(kDomains),
                                                                kDomains, "https://evil.test/");
    GivePin(*utility, kPin);
    EXPECT_EQ(utility->ListCertificates(""), "");
    EXPECT_EQ(utility->LastError(), 9);
    EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(32))), "");
    EXPECT_EQ(utility->LastError(), 0);
    EXPECT_EQ(utility->GetCertificateBase64(Base64Encode(kValidId)), "");
    EXPECT_EQ(utility->LastError(), 0);
    EXPECT_EQ(Log().Calls().size(), 0u);
}

TEST_F(TestTokenBackEnd, DomainListThatDoesNotVerifyIsRefused) {
    struct Row {
        const char* behaviour;
        std::string signature;
        std::string domains;
        const char* message;
    };
    const std::string list = kDomains;
    const std::vector<Row> rows = {
        {"signature of another text", SignDomainList("example.org"), list, "VFY_VerifyData failed"},
        {"a space added inside the signed list", SignDomainList(list), "example.org |other.net",
         "VFY_VerifyData failed"},
        {"signature not Base64", "", list, "NSSBase64_DecodeBuffer failed"},
        {"signature truncated", SignDomainList(list).substr(0, 40), list, "VFY_VerifyData failed"},
    };
    StandardToken().Install();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        ClearLog();
        DigitalSignatureUtilPkcs11 utility("", row.signature, row.domains, kPage);
        GivePin(utility, kPin);
        EXPECT_EQ(utility.ListCertificates(""), "");
        EXPECT_EQ(utility.LastError(), 10);
        EXPECT_EQ(utility.LastErrorMessage(), row.message);
        EXPECT_TRUE(utility.InvalidDomainsSignature());
        EXPECT_EQ(utility.ListCertificates(""), "");
        EXPECT_EQ(utility.LastError(), 0);
        EXPECT_EQ(Log().Calls().size(), 0u);
    }
}

TEST_F(TestTokenBackEnd, BadDomainListWithAPinOutstandingIsCheckedAgain) {
    StandardToken().Install();
    DigitalSignatureUtilPkcs11 utility("", SignDomainList("example.org"), kDomains, kPage);
    utility.SetPin(kModuleName, SecureString());
    EXPECT_FALSE(utility.IsAuthorized());
    EXPECT_EQ(utility.LastError(), 11);
    EXPECT_FALSE(utility.InvalidDomainsSignature());
    GivePin(utility, kPin);
    EXPECT_FALSE(utility.IsAuthorized());
    EXPECT_EQ(utility.LastError(), 10);
    EXPECT_TRUE(utility.InvalidDomainsSignature());
}

TEST_F(TestTokenBackEnd, DomainMatchesOnlyAtALabelBoundary) {
    struct Row {
        const char* domains;
        const char* page;
        bool authorised;
    };
    const std::vector<Row> rows = {
        {"a.b", "a.b", true},
        {"a.b", "https://x.a.b/", true},
        {"a.b", "Proto://X.A.B:81/p?q=1", true},
        {"a.b", "a.b.a.b", true},
        {"a.b", "xa.b", false},
        {"a.b", "https://evila.b/", false},
        {"a.b", "a.b.evil.test", false},
        {"a.b", "", false},
        {".a.b", "x.a.b", true},
        {"X.A.B | c.d|", "https://c.d:8443/", true},
        {"X.A.B | c.d|", "https://y.x.a.b/", true},
        {"X.A.B | c.d|", "https://a.b/", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.domains) + " / " + row.page);
        DigitalSignatureUtilPkcs11 utility("", SignDomainList(row.domains), row.domains, row.page);
        EXPECT_EQ(utility.IsAuthorized(), row.authorised);
        EXPECT_EQ(utility.LastError(), row.authorised ? 0 : 9);
    }
}

TEST_F(TestTokenBackEnd, PinResultsAreMappedFromTheReturnValueAlone) {
    auto utility = AuthorisedUtility();
    const std::vector<std::pair<unsigned long, int32_t>> rows = {
        {0xA0, 5}, {0xA4, 5}, {0xA1, 12}, {0xA2, 12}, {0xA3, 12}, {0xE0, 12}, {0x5, 12},
    };
    for (const auto& [rv, code] : rows) {
        EXPECT_FALSE(utility->checkReturnValue(rv, "step"));
        EXPECT_EQ(utility->LastError(), code) << rv;
        EXPECT_EQ(utility->LastLowLevelError(), static_cast<int64_t>(rv));
        EXPECT_EQ(utility->LastErrorMessage(), "step");
    }
    EXPECT_TRUE(utility->checkReturnValue(0, "other"));
    EXPECT_EQ(utility->LastErrorMessage(), "step");
}

TEST_F(TestTokenBackEnd, NssIsShutDownOnlyByTheUtilityThatStartedIt) {
    ASSERT_FALSE(NSS_IsInitialized());
    {
        auto utility = AuthorisedUtility();
        EXPECT_TRUE(utility->IsInitialized());
        EXPECT_FALSE(utility->NeedConfigDir());
    }
    EXPECT_FALSE(NSS_IsInitialized());

    ASSERT_EQ(NSS_NoDB_Init(nullptr), SECSuccess);
    {
        auto utility = AuthorisedUtility();
        EXPECT_TRUE(utility->IsInitialized());
    }
    EXPECT_TRUE(NSS_IsInitialized());
    NSS_Shutdown();
}

TEST_F(TestTokenBackEnd, ClearPinForgetsEveryRecord) {
    auto utility = AuthorisedUtility();
    utility->SetPin(kModuleName, SecureString(kPin));
    utility->SetPin("Another token", SecureString("0000"));
    utility->ClearPin();
    EXPECT_TRUE(gPines.empty());
}

}  // namespace
}  // namespace p11bridge::test
