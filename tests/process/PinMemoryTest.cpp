// The PIN's bytes in the live host's memory: after typing, after a whole PIN, after signing.
#include <gtest/gtest.h>

#include "DomainSigning.h"
#include "HostProcess.h"
#include "ProcessMemory.h"
#include "support/CertFactory.h"
#include "support/TempDir.h"
#include "support/TestTokenScenario.h"

namespace p11bridge::testing {
namespace {

using namespace p11bridge::test;

// Distinctive enough that no other bytes of the process match it by chance.
const std::string kPin = "Qz7!pM2#wK9$";

MemoryScan Scan(HostProcess& host) {
    EXPECT_TRUE(WaitUntilReadingInput(host.pid())) << "the host did not come back to its input";
    return ScanWritableMemory(host.pid(), kPin);
}

TEST(PinMemory, OnlyTheLivePinSurvivesTypingAndSigning) {
    TempDir dir;
    CertFactory certs(dir.Path());
    IssuedCert signer = certs.Issue("signer");
    TestTokenScenario scenario(dir.File("scenario"));
    scenario.Slot(1, "Memory").PinDigest(kPin).Credential(1, {0x4b, 0x01}, signer);
    HostProcess::Options options;
    options.module = TestTokenModulePath();
    options.env[TestTokenScenario::kEnvironmentVariable] = scenario.Write();
    HostProcess host(options);

    // The token knows its PIN only as a digest, so every copy found is the host's. A listing
    // loads the token first, so that whatever it keeps is in place before the counting starts.
    host.send(SignedInitialize("localhost", "http://localhost"));
    host.reply();
    host.send(R"({"command":2})");
    EXPECT_NE(host.reply().find("\"lastError\" : 0"), std::string::npos);
    EXPECT_EQ(Scan(host).copies, 0u) << "before the PIN is sent";

    // Typed with a slip and its correction, then sent whole: every request, receive buffer,
    // parsed text and outgrown buffer must be gone, leaving the host's one buffer.
    for (std::size_t i = 0; i < kPin.size(); ++i) {
        if (i == 5) {
            host.send(R"({"command":6,"pinChar":"x"})");
            host.send(R"({"command":7})");
        }
        host.send(std::string(R"({"command":6,"pinChar":")") + kPin[i] + R"("})");
    }
    for (std::size_t i = 0; i < kPin.size() + 2; ++i) host.reply();
    MemoryScan typed = Scan(host);
    ASSERT_GT(typed.bytesScanned, 0u) << "the host's memory could not be read";
    EXPECT_EQ(typed.copies, 1u) << "after typing";

    host.send(R"({"command":3,"pin":")" + kPin + R"("})");
    host.reply();
    EXPECT_EQ(Scan(host).copies, 1u) << "after the whole PIN";

    // The first signature names the module; the second hands the PIN over and signs with it.
    const std::string sign = R"({"command":5,"certId":"SwE=","digest":")" +
                             std::string("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=") + R"("})";
    host.send(sign);
    EXPECT_NE(host.reply().find("\"missingPin\" : true"), std::string::npos);
    host.send(sign);
    std::string signedReply = host.reply();
    EXPECT_NE(signedReply.find("\"lastError\" : 0"), std::string::npos) << signedReply;
    EXPECT_EQ(signedReply.find("\"pkcs1\" : \"\""), std::string::npos) << signedReply;

    // One copy stays: the PIN record that serves later signatures.
    EXPECT_EQ(Scan(host).copies, 1u) << "after signing";
}

}  // namespace
}  // namespace p11bridge::testing
