// The doctor's verdicts: all ok on a healthy setup, and the verdict that names each way a setup
// breaks, on a SoftHSM2 token registered in a Chromium profile by the real installer.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>

#include "support/CertFactory.h"
#include "support/Crypto.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a case may break: the installed profile, the token and the doctor's arguments.
struct Deployment {
    const TempDir& dir;
    SoftHsmToken& token;
    CertFactory& certs;
    std::vector<std::string> arguments;

    std::string Profile() const { return dir.File("profile"); }
    std::string Manifest() const {
        return Profile() + "/NativeMessagingHosts/org.p11bridge.host.json";
    }
    std::string Link() const { return Profile() + "/p11bridge-host/p11bridge-pkcs11.so"; }
    // A second certificate on the token beside the signing one, with its key.
    void AddCert(unsigned keyUsage, int validFromDays, int validToDays) {
        CertRequest request;
        request.keyUsage = keyUsage;
        request.validFromDays = validFromDays;
        request.validToDays = validToDays;
        token.ImportCredential(certs.Issue("excluded", request), {2}, "excluded");
    }
    void Replace(const std::string& option, const std::string& value) {
        for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == option) arguments[i + 1] = value;
        }
    }
};

// Runs a command line of quoted words; returns its exit status and writes its output to `out`.
int RunCommand(const std::vector<std::string>& words, const std::string& out) {
    std::string command;
    for (const std::string& word : words) command += "'" + word + "' ";
    int status = std::system((command + ">'" + out + "' 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Case {
    const char* behaviour;
    std::function<void(Deployment&)> breakIt;
    const char* verdict;  // a line of the output matches it
    int exitCode;
};

TEST(DoctorVerdicts, NameWhatIsWrongWithTheSetup) {
    const std::vector<Case> cases = {
        {"healthy", [](Deployment&) {}, "ok: certificate \"signer\" \\(CKA_ID 01\\) will be listed",
         0},
        {"manifest missing", [](Deployment& s) { std::remove(s.Manifest().c_str()); },
         "problem: Chromium profile .*: manifest missing: there is no .*", 1},
        {"manifest with a wrong path",
         [](Deployment& s) {
             std::string text = ReadFile(s.Manifest());
             text = std::regex_replace(text, std::regex("\"path\": *\"[^\"]*\""),
                                       "\"path\": \"/nonexistent/p11bridge\"");
             std::ofstream(s.Manifest()) << text;
         },
         "problem: .*the manifest names the host /nonexistent/p11bridge, which does not exist.*",
         1},
        {"extension ID not allowed",
         [](Deployment& s) {
             s.arguments.insert(s.arguments.end(),
                                {"--chrome-extension-id", "abcdefghijklmnopabcdefghijklmnop"});
         },
         "problem: .*extension ID not allowed: abcdefghijklmnopabcdefghijklmnop may not start.*",
         1},
        {"module link broken",
         [](Deployment& s) {
             std::remove(s.Link().c_str());
             ASSERT_EQ(symlink("/nonexistent/module.so", s.Link().c_str()), 0);
         },
         "problem: module link broken: .* points to /nonexistent/module\\.so, which does not.*", 1},
        {"no digitalSignature", [](Deployment& s) { s.AddCert(KeyUsage::kNonRepudiation, -1, 30); },
         "warning: certificate \"excluded\" \\(CKA_ID 02\\) will not be listed: no "
         "digitalSignature in its key usage.*",
         0},
        {"no nonRepudiation", [](Deployment& s) { s.AddCert(KeyUsage::kDigitalSignature, -1, 30); },
         "warning: certificate \"excluded\" .* will not be listed: no nonRepudiation in its.*", 0},
        {"expired", [](Deployment& s) { s.AddCert(KeyUsage::kSigning, -30, -1); },
         "warning: certificate \"excluded\" .* will not be listed: expired on .*", 0},
        // NSS lets a certificate in up to a day before it starts, for clocks that are behind.
        {"not yet valid", [](Deployment& s) { s.AddCert(KeyUsage::kSigning, 2, 30); },
         "warning: certificate \"excluded\" .* will not be listed: not yet valid: valid from .*",
         0},
        {"empty CKA_ID",
         [](Deployment& s) {
             s.token.ImportCert(s.certs.Issue("empty-id").derPath, {}, "excluded");
         },
         "warning: certificate \"excluded\" \\(CKA_ID empty\\) will not be listed: empty CKA_ID.*",
         0},
        {"undecodable",
         [](Deployment& s) {
             // Trailing bytes pass pkcs11-tool's parser but not the host's strict decoder.
             IssuedCert cert = s.certs.Issue("undecodable");
             std::ofstream(cert.derPath, std::ios::app) << "trailing";
             s.token.ImportCert(cert.derPath, {2}, "excluded");
         },
         "warning: certificate \"excluded\" \\(CKA_ID 02\\) will not be listed: undecodable: .*",
         0},
        {"list signed with another key or text",
         [](Deployment& s) { s.Replace("--signature", SignDomainList("example.com")); },
         "problem: the page at .* is not authorised: the signature does not verify over this .*",
         1},
        {"origin on no entry",
         [](Deployment& s) { s.Replace("--origin", "https://badexample.org"); },
         "problem: the page at https://badexample\\.org \\(domain \"badexample\\.org\"\\) is not "
         "authorised: no matching entry; .*",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        TempDir dir;
        SoftHsm hsm;  // a token folder of its own for every case
        SoftHsmToken token = hsm.AddToken("doctor", "1234");
        CertFactory certs(dir.Path());
        token.ImportCredential(certs.Issue("signer"), {1}, "signer");
        Deployment setup{dir, token, certs, {}};
        ASSERT_EQ(RunCommand({P11BRIDGE_INSTALLER, "--profile", setup.Profile(), "--host",
                              P11BRIDGE_HOST, "--module", SoftHsm::ModulePath()},
                             dir.File("install.txt")),
                  0)
            << ReadFile(dir.File("install.txt"));
        setup.arguments = {P11BRIDGE_DOCTOR,
                           "--profile",
                           setup.Profile(),
                           "--domains",
                           "example.org",
                           "--signature",
                           SignDomainList("example.org"),
                           "--origin",
                           "https://www.example.org"};
        c.breakIt(setup);

        int exitCode = RunCommand(setup.arguments, dir.File("doctor.txt"));
        std::string output = ReadFile(dir.File("doctor.txt"));
        EXPECT_EQ(exitCode, c.exitCode) << output;
        EXPECT_TRUE(std::regex_search(output, std::regex("(^|\n)" + std::string(c.verdict) + "\n")))
            << output;
        // Only what was broken is flagged, once.
        std::regex flag("(^|\n)(warning|problem): ");
        auto flagged = std::distance(std::sregex_iterator(output.begin(), output.end(), flag),
                                     std::sregex_iterator());
        EXPECT_EQ(flagged, std::string(c.behaviour) == "healthy" ? 0 : 1) << output;
    }
}

}  // namespace
}  // namespace p11bridge::test
