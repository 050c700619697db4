// The whole road of a signing request through the real host on SoftHSM2, a real software token:
// Initialize, list, fetch, the PIN typed after the host asks for it, signatures OpenSSL verifies.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "DomainSigning.h"
#include "HostProcess.h"
#include "support/Base64.h"
#include "support/CertFactory.h"
#include "support/Pkcs1.h"
#include "support/SoftHsmToken.h"

namespace p11bridge::testing {
namespace {

using namespace p11bridge::test;

const std::string kPin = "4321";
const std::string kPinMessage = "Pin invalido para Certificado QARTO";

struct Credential {
    const char* name;
    CertRequest request;
    Bytes id;
    bool listed;
    IssuedCert cert;
};

class SoftHsmRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!SoftHsm::Available()) GTEST_SKIP() << "SoftHSM2 is not installed";
        hsm_ = new SoftHsm();
        certs_ = new CertFactory(hsm_->Directory());
        SoftHsmToken token = hsm_->AddToken("Road", kPin);
        for (Credential& c : Credentials()) {
            c.cert = certs_->Issue(c.name, c.request);
            token.ImportCredential(c.cert, c.id);
        }
    }
    static void TearDownTestSuite() {
        delete certs_;
        delete hsm_;
    }
    static std::vector<Credential>& Credentials() {
        auto usage = [](unsigned keyUsage, int from = -1, int to = 365) {
            CertRequest r;
            r.keyUsage = keyUsage;
            r.validFromDays = from;
            r.validToDays = to;
            return r;
        };
        static std::vector<Credential> all = {
            {"signing", usage(KeyUsage::kSigning), {0x01}, true, {}},
            {"digital-signature-only", usage(KeyUsage::kDigitalSignature), {0x02}, false, {}},
            {"no-key-usage", usage(KeyUsage::kAbsent), {0x03}, true, {}},
            {"expired", usage(KeyUsage::kSigning, -30, -1), {0x04}, false, {}},
            // NSS forgives a start up to a day ahead (clock skew), so "not yet" means days ahead.
            {"not-yet-valid", usage(KeyUsage::kSigning, 3, 30), {0x05}, false, {}},
        };
        return all;
    }
    void SetUp() override {
        HostProcess::Options options;
        options.module = SoftHsm::ModulePath();
        host_ = std::make_unique<HostProcess>(options);
        host_->send(SignedInitialize("localhost|example.org", "http://localhost:8080/page"));
        EXPECT_EQ(Member(host_->reply(), "message"), "InitializeComponent OK");
    }
    std::string Ask(const std::string& request) {
        host_->send(request);
        return host_->reply();
    }
    std::string Sign(const Bytes& id, const Bytes& hash) {
        return Ask(R"({"command":5,"certId":")" + Base64Encode(id) + R"(","digest":")" +
                   Base64Encode(hash) + R"("})");
    }
    void TypePin(const std::string& pin) {
        for (char c : pin) Ask(std::string(R"({"command":6,"pinChar":")") + c + R"("})");
    }

    static SoftHsm* hsm_;
    static CertFactory* certs_;
    std::unique_ptr<HostProcess> host_;
};
SoftHsm* SoftHsmRoad::hsm_ = nullptr;
CertFactory* SoftHsmRoad::certs_ = nullptr;

TEST_F(SoftHsmRoad, ListsOnlyValidSigningCertificatesAndFetchesAny) {
    std::string reply = Ask(R"({"command":2})");
    EXPECT_EQ(Member(reply, "lastError"), "0") << reply;
    // Triples in the module's own order, which SoftHSM2 does not tie to the import order.
    std::multiset<std::string> expected, listed;
    for (const Credential& c : Credentials())
        if (c.listed)
            expected.insert(c.cert.issuer + "|" + c.cert.subject + "|" + Base64Encode(c.id));
    std::string listing = *Member(reply, "certificates");
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        std::size_t bar = listing.find('|', start);
        fields.push_back(listing.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    ASSERT_EQ(fields.size() % 3, 0u) << listing;
    for (std::size_t i = 0; i < fields.size(); i += 3)
        listed.insert(fields[i] + "|" + fields[i + 1] + "|" + fields[i + 2]);
    EXPECT_EQ(listed, expected);

    for (const Credential& c : Credentials()) {
        std::string fetched = Ask(R"({"command":4,"certId":")" + Base64Encode(c.id) + R"("})");
        std::string text = *Member(fetched, "certificate");
        EXPECT_NE(text.find("\r\n"), std::string::npos) << "NSS breaks Base64 lines with CR LF";
        EXPECT_EQ(Base64Decode(text), c.cert.der) << c.name;
    }
}

TEST_F(SoftHsmRoad, AsksForThePinThenSignsHashesThatOpenSslVerifies) {
    const Credential& signer = Credentials()[0];
    std::string first = Sign(signer.id, Digest(HashAlgorithm::Sha256, ToBytes("x")));
    EXPECT_EQ(Member(first, "lastError"), "11");
    EXPECT_EQ(Member(first, "missingPin"), "true");
    EXPECT_EQ(Member(first, "pinModuleName"), "Certificado QARTO");
    EXPECT_EQ(Member(first, "pkcs1"), "");

    TypePin(kPin);
    for (HashAlgorithm algorithm :
         {HashAlgorithm::Sha256, HashAlgorithm::Sha1, HashAlgorithm::Md5}) {
        Bytes hash = Digest(algorithm, ToBytes("the text the page signs"));
        std::string reply = Sign(signer.id, hash);
        EXPECT_EQ(Member(reply, "lastError"), "0") << reply;
        EXPECT_EQ(Member(reply, "pinLength"), "0") << "the PIN was handed over and wiped";
        EXPECT_EQ(Member(reply, "pinModuleName"), "");
        std::optional<Bytes> signature = Base64Decode(*Member(reply, "pkcs1"));
        ASSERT_TRUE(signature.has_value());
        EXPECT_EQ(signature->size(), 256u);
        EXPECT_TRUE(VerifyPkcs1(signer.cert.der, hash, *signature, algorithm));
    }

    // A hash of a length no DigestInfo is made for is refused after the login.
    std::string refused = Sign(signer.id, Bytes(48, 0x5a));
    EXPECT_EQ(Member(refused, "lastError"), "3");
    EXPECT_EQ(Member(refused, "pkcs1"), "");
    // An identifier without a private key gives nothing and no error.
    std::string unknown = Sign({0x7f}, Bytes(32, 1));
    EXPECT_EQ(Member(unknown, "lastError"), "0");
    EXPECT_EQ(Member(unknown, "pkcs1"), "");
}

TEST_F(SoftHsmRoad, WrongPinIsReportedAndNeverPresentedTwice) {
    const Credential& signer = Credentials()[0];
    Bytes hash = Digest(HashAlgorithm::Sha256, ToBytes("y"));
    Sign(signer.id, hash);
    Ask(R"({"command":3,"pin":"0000"})");
    std::string refused = Sign(signer.id, hash);
    EXPECT_EQ(Member(refused, "lastError"), "5");
    EXPECT_EQ(Member(refused, "lastLowLevelError"), "160");
    EXPECT_EQ(Member(refused, "errorMessage"), kPinMessage);
    EXPECT_EQ(Member(refused, "invalidPin"), "true");
    EXPECT_EQ(Member(refused, "pinRetryCount"), "1");

    // The same PIN again is refused by the host itself; listing is held back too.
    Ask(R"({"command":3,"pin":"0000"})");
    EXPECT_EQ(Member(Sign(signer.id, hash), "lastError"), "5");
    EXPECT_EQ(Member(Ask(R"({"command":2})"), "certificates"), "");

    Ask(R"({"command":3,"pin":")" + kPin + R"("})");
    std::string signedReply = Sign(signer.id, hash);
    EXPECT_EQ(Member(signedReply, "lastError"), "0") << signedReply;
    EXPECT_EQ(Member(signedReply, "invalidPin"), "false");
    EXPECT_NE(Member(signedReply, "pkcs1"), "");
}

TEST_F(SoftHsmRoad, DomainCheckVerdictsAndUtilityReplacement) {
    // Served, then a fresh Initialize builds a fresh utility (and NSS comes up again).
    EXPECT_EQ(Member(Ask(R"({"command":2})"), "lastError"), "0");

    host_->send(SignedInitialize("localhost", "https://evillocalhost"));
    host_->reply();
    std::string refused = Ask(R"({"command":2})");
    EXPECT_EQ(Member(refused, "lastError"), "9");
    // The verdict is kept: the same utility answers empty results with no new code.
    std::string again = Ask(R"({"command":2})");
    EXPECT_EQ(Member(again, "lastError"), "0");
    EXPECT_EQ(Member(again, "certificates"), "");

    // The signature covers the list as sent: one more space breaks it.
    std::string tampered = SignedInitialize("localhost", "http://localhost");
    tampered.replace(tampered.find(R"("domains":"localhost")"), 21, R"("domains":"localhost ")");
    host_->send(tampered);
    host_->reply();
    std::string invalid = Ask(R"({"command":2})");
    EXPECT_EQ(Member(invalid, "lastError"), "10");
    EXPECT_EQ(Member(invalid, "certificates"), "");

    host_->send(SignedInitialize("example.org", "http://www.example.org"));
    host_->reply();
    EXPECT_EQ(Member(Ask(R"({"command":2})"), "lastError"), "0");
}

}  // namespace
}  // namespace p11bridge::testing
