// Whole conversations under Valgrind memcheck, with the test token and with SoftHSM2: any memory
// error, or any block definitely lost, fails the test.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "DomainSigning.h"
#include "HostProcess.h"
#include "support/Base64.h"
#include "support/CertFactory.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"
#include "support/TestTokenScenario.h"

namespace p11bridge::testing {
namespace {

using namespace p11bridge::test;

const std::string kPin = "2468";

HostProcess::Options UnderValgrind(const std::string& module, const std::string& log) {
    HostProcess::Options options;
    options.module = module;
    options.wrapper = {"valgrind",
                       "--quiet",
                       "--error-exitcode=99",
                       "--leak-check=full",
                       "--show-leak-kinds=definite",
                       "--errors-for-leak-kinds=definite",
                       "--suppressions=" P11BRIDGE_VALGRIND_SUPPRESSIONS,
                       "--log-file=" + log};
    return options;
}

// Every command, the framing errors, a refused and an accepted PIN, then the end of input.
void Converse(HostProcess& host, const Bytes& id) {
    const std::string sign = R"({"command":5,"certId":")" + Base64Encode(id) +
                             R"(","digest":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="})";
    const std::uint32_t tooLong = 5000;
    host.sendRaw(std::string(reinterpret_cast<const char*>(&tooLong), 4) + std::string(5000, 'x'));
    host.send("not json");
    host.send(R"({"command":2})");
    host.send(SignedInitialize("localhost", "http://localhost"));
    host.send(R"({"command":2})");
    host.send(R"({"command":4,"certId":")" + Base64Encode(id) + R"("})");
    host.send(R"({"command":4,"certId":"***"})");
    host.send(sign);
    host.send(R"({"command":3,"pin":"1357"})");
    host.send(sign);
    for (char c : kPin) host.send(std::string(R"({"command":6,"pinChar":")") + c + R"("})");
    host.send(R"({"command":6,"pinChar":"z"})");
    host.send(R"({"command":7})");
    host.send(sign);
    host.send(SignedInitialize("localhost", "http://localhost"));
    host.send(sign);
    host.closeInput();
}

void ExpectClean(HostProcess& host, const std::string& log) {
    std::string output = host.drainOutput(std::chrono::seconds(600));
    const std::string empty = "\"pkcs1\" : \"\"", any = "\"pkcs1\" : \"";
    std::size_t signatures = 0;
    for (std::size_t at = output.find(any); at != std::string::npos; at = output.find(any, at + 1))
        signatures += output.compare(at, empty.size(), empty) != 0;
    EXPECT_EQ(signatures, 2u) << "both signatures with the right PIN were made";
    EXPECT_NE(output.find("\"lastError\" : 5"), std::string::npos) << "the refused PIN";
    int status = host.wait(std::chrono::seconds(600));
    std::ifstream in(log);
    std::stringstream report;
    report << in.rdbuf();
    EXPECT_EQ(status, 0) << report.str();
    EXPECT_EQ(report.str(), "");
}

TEST(Valgrind, ConversationWithTheTestTokenIsClean) {
    TempDir dir;
    CertFactory certs(dir.Path());
    IssuedCert signer = certs.Issue("signer");
    TestTokenScenario scenario(dir.File("scenario"));
    scenario.Slot(1, "Valgrind").Pin(kPin).Credential(1, {0x11}, signer);
    HostProcess::Options options = UnderValgrind(TestTokenModulePath(), dir.File("memcheck.log"));
    options.env[TestTokenScenario::kEnvironmentVariable] = scenario.Write();
    HostProcess host(options);
    Converse(host, {0x11});
    ExpectClean(host, dir.File("memcheck.log"));
}

TEST(Valgrind, ConversationWithSoftHsmIsClean) {
    if (!SoftHsm::Available()) GTEST_SKIP() << "SoftHSM2 is not installed";
    SoftHsm hsm;
    CertFactory certs(hsm.Directory());
    SoftHsmToken token = hsm.AddToken("Valgrind", kPin);
    token.ImportCredential(certs.Issue("signer"), {0x11});
    TempDir dir;
    HostProcess host(UnderValgrind(SoftHsm::ModulePath(), dir.File("memcheck.log")));
    Converse(host, {0x11});
    ExpectClean(host, dir.File("memcheck.log"));
}

}  // namespace
}  // namespace p11bridge::testing
