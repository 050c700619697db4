// The back end on a real software token: SoftHSM2 provisioned per test run with certificates
// made at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "BackEndTesting.h"
#include "pkcs11/Pkcs11Module.h"
#include "support/Pkcs1.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

constexpr char kPin[] = "246810";

const Bytes kValidId{0x51, 0x01};
const Bytes kDigitalSignatureOnlyId{0x51, 0x02};
const Bytes kNoKeyUsageId{0x51, 0x03};
const Bytes kExpiredId{0x51, 0x04};
const Bytes kNotYetValidId{0x51, 0x05};

struct Store {
    TempDir dir;
    SoftHsm hsm;
    CertFactory factory{dir.Path()};
    IssuedCert valid, digitalSignatureOnly, noKeyUsage, expired, notYetValid;

    Store() {
        SoftHsmToken token = hsm.AddToken("p11bridge signer", kPin);
        valid = factory.Issue("valid");
        CertRequest request;
        request.keyUsage = KeyUsage::kDigitalSignature;
        digitalSignatureOnly = factory.Issue("ds-only", request);
        request.keyUsage = KeyUsage::kAbsent;
        noKeyUsage = factory.Issue("no-key-usage", request);
        request.keyUsage = KeyUsage::kSigning;
        request.key = valid.key;
        request.validFromDays = -30;
        request.validToDays = -1;
        expired = factory.Issue("expired", request);
        request.validFromDays = 3;
        request.validToDays = 30;
        notYetValid = factory.Issue("not-yet-valid", request);
        token.ImportCredential(valid, kValidId);
        token.ImportCredential(digitalSignatureOnly, kDigitalSignatureOnlyId);
        token.ImportCredential(noKeyUsage, kNoKeyUsageId);
        token.ImportCert(expired.derPath, kExpiredId);
        token.ImportCert(notYetValid.derPath, kNotYetValidId);
    }
};

Store* gStore = nullptr;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// The listing's entries (issuer|subject|id), in the module's order.
std::vector<std::string> Entries(const std::string& listing) {
    std::vector<std::string> fields = Split(listing, '|'), entries;
    for (size_t i = 0; i + 2 < fields.size(); i += 3) {
        entries.push_back(fields[i] + "|" + fields[i + 1] + "|" + fields[i + 2]);
    }
    return entries;
}

class SoftHsmBackEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!SoftHsm::Available()) return;
        gStore = new Store();
        Pkcs11Module::SetPathForTesting(SoftHsm::ModulePath());
    }
    static void TearDownTestSuite() {
        delete gStore;
        gStore = nullptr;
    }
    void SetUp() override {
        if (!gStore) GTEST_SKIP() << "SoftHSM2 is not installed";
        gPines.clear();
    }
    void TearDown() override { gPines.clear(); }
    const Store& S() const { return *gStore; }
};

TEST_F(SoftHsmBackEnd, ListsFetchesAndSignsWithTheTokensCertificates) {
    auto utility = AuthorisedUtility();
    std::vector<std::string> listed = Entries(utility->ListCertificates(""));
    EXPECT_EQ(utility->LastError(), 0) << utility->LastErrorMessage();
    std::vector<std::string> expected = {ListingEntry(S().valid, kValidId),
                                         ListingEntry(S().noKeyUsage, kNoKeyUsageId)};
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);

    const std::vector<std::pair<const IssuedCert*, const Bytes*>> certificates = {
        {&S().valid, &kValidId},
        {&S().digitalSignatureOnly, &kDigitalSignatureOnlyId},
        {&S().expired, &kExpiredId},
    };
    for (const auto& [cert, id] : certificates) {
        EXPECT_EQ(utility->GetCertificateBase64(Base64Encode(*id)), Base64Encode(cert->der, 64));
    }

    GivePin(*utility, kPin);
    for (HashAlgorithm algorithm :
         {HashAlgorithm::Md5, HashAlgorithm::Sha1, HashAlgorithm::Sha256}) {
        Bytes hash = Digest(algorithm, ToBytes("document"));
        SCOPED_TRACE(hash.size());
        std::string text = utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(hash));
        EXPECT_EQ(utility->LastError(), 0)
            << utility->LastErrorMessage() << " " << utility->LastLowLevelError();
        auto signature = Base64Decode(text);
        ASSERT_TRUE(signature);
        // 2048-bit key: 344 characters of Base64 in lines of 64.
        EXPECT_EQ(text.size(), 344u + 5 * 2);
        EXPECT_TRUE(VerifyPkcs1(S().valid.der, hash, *signature, algorithm));
    }
    EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(kValidId), Base64Encode(Bytes(48, 7))), "");
    EXPECT_EQ(utility->LastError(), 3);
    EXPECT_EQ(utility->SignPkcs1Base64(Base64Encode(Bytes{9, 9}), Base64Encode(Bytes(32, 7))), "");
    EXPECT_EQ(utility->LastError(), 0);
}

TEST_F(SoftHsmBackEnd, MissingThenWrongThenRightPin) {
    auto utility = AuthorisedUtility();
    const std::string certId = Base64Encode(kValidId);
    const Bytes hash = Digest(HashAlgorithm::Sha256, ToBytes("contract"));

    EXPECT_EQ(utility->SignPkcs1Base64(certId, Base64Encode(hash)), "");
    EXPECT_EQ(utility->LastError(), 11);
    EXPECT_EQ(utility->LastErrorMessage(), kPinMissingMessage);
    EXPECT_EQ(utility->ListCertificates(""), "");
    EXPECT_EQ(utility->LastError(), 11);

    GivePin(*utility, "000000");
    EXPECT_EQ(utility->SignPkcs1Base64(certId, Base64Encode(hash)), "");
    EXPECT_EQ(utility->LastError(), 5);
    EXPECT_EQ(utility->LastErrorMessage(), kPinInvalidMessage);
    EXPECT_EQ(utility->LastLowLevelError(), 0xA0);
    EXPECT_EQ(utility->InvalidPinRetries(kModuleName), 1);

    // A new utility, as after the page's next Initialize, keeps the records. The host ends the
    // old utility first: it shuts down the NSS it started.
    utility.reset();
    utility = AuthorisedUtility();
    GivePin(*utility, kPin);
    auto signature = Base64Decode(utility->SignPkcs1Base64(certId, Base64Encode(hash)));
    ASSERT_TRUE(signature);
    EXPECT_TRUE(VerifyPkcs1(S().valid.der, hash, *signature, HashAlgorithm::Sha256));
    EXPECT_EQ(utility->InvalidPinRetries(kModuleName), 1);
}

}  // namespace
}  // namespace p11bridge::test
