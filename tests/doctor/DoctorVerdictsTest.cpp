// The doctor's verdicts: all ok on a healthy setup, and the verdict that names each way a setup
// breaks, on a SoftHSM2 token registered in a Chromium profile by the real installer.
#include <gtest/gtest.h>
#include <openssl/obj_mac.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>

#include "support/CertFactory.h"
#include "support/Crypto.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

// What a case may break: the installed profile, the token, the scratch user and system folders
// that stand in for the real ones, and the doctor's arguments.
struct Deployment {
    const TempDir& dir;
    SoftHsm& hsm;
    SoftHsmToken& token;
    CertFactory& certs;
    const IssuedCert& signer;
    std::vector<std::string> arguments;
    std::unique_ptr<FILE, int (*)(FILE*)> card{nullptr, pclose};  // stops when its input ends
    bool skipped = false;                                         // why the case cannot run here
    // For the installer and the doctor: scratch HOME, XDG_CONFIG_HOME, root and PC/SC socket.
    std::vector<std::string> environment = {
        "env", "HOME=" + dir.File("home"), "XDG_CONFIG_HOME=" + dir.File("config"),
        "P11BRIDGE_INSTALL_ROOT=" + dir.File("root"), "PCSCLITE_CSOCK_NAME=" + dir.File("pcscd")};

    std::string Profile() const { return dir.File("profile"); }
    std::string Manifest() const {
        return Profile() + "/NativeMessagingHosts/org.p11bridge.host.json";
    }
    std::string Link() const { return Profile() + "/p11bridge-host/p11bridge-pkcs11.so"; }
    // A second certificate on the token beside the signing one, with its key.
    void AddCert(unsigned keyUsage, int validFromDays, int validToDays,
                 const std::string& label = "excluded") {
        CertRequest request{"excluded", validFromDays, validToDays, keyUsage, 2048, {}};
        token.ImportCredential(certs.Issue("excluded", request), {2}, label);
    }
    void EditManifest(const std::string& pattern, const std::string& replacement) {
        std::string text =
            std::regex_replace(ReadFile(Manifest()), std::regex(pattern), replacement);
        std::ofstream(Manifest()) << text;
    }
    // As root, the module (a copy of SoftHSM2's, or a link to it) at `where` in the scratch
    // folder, whose folder `folder` is given `mode` or, with mode 0, to nobody.
    void PlaceModule(const std::string& folder, mode_t mode, const std::string& where, bool link) {
        if ((skipped = geteuid() != 0)) return void(std::cout << "skip: needs root\n");
        std::filesystem::create_directories(dir.File(folder));
        if (link) {
            std::filesystem::create_symlink(SoftHsm::ModulePath(), dir.File(where));
        } else {
            std::filesystem::copy_file(SoftHsm::ModulePath(), dir.File(where));
        }
        ASSERT_EQ(mode ? chmod(dir.File(folder).c_str(), mode)
                       : chown(dir.File(folder).c_str(), getpwnam("nobody")->pw_uid, 0),
                  0);
        Relink(dir.File(where));
    }
    // Runs the words, quoted, in `environment`; the exit status, with the output in `out`.
    int Run(const std::vector<std::string>& words, const std::string& out) const {
        std::string command;
        for (const std::string& word : environment) command += "'" + word + "' ";
        for (const std::string& word : words) command += "'" + word + "' ";
        int status = std::system((command + ">'" + out + "' 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The doctor scans the user's and system folders instead of the profile, with the host
    // installed for the user's `browsers` and the profile's manifest in the system `folder`.
    void Scan(const std::string& browsers, const std::string& folder = "") {
        arguments.erase(arguments.begin() + 1, arguments.begin() + 3);
        if (!folder.empty()) {
            std::filesystem::create_directories(dir.File("root") + folder);
            std::filesystem::copy_file(Manifest(),
                                       dir.File("root") + folder + "/org.p11bridge.host.json");
        }
        if (!browsers.empty()) Install({"--browsers", browsers});
    }
    void Install(std::vector<std::string> where) {
        where.insert(where.begin(), P11BRIDGE_INSTALLER);
        where.insert(where.end(), {"--host", P11BRIDGE_HOST, "--module", SoftHsm::ModulePath()});
        ASSERT_EQ(Run(where, dir.File("install.txt")), 0) << ReadFile(dir.File("install.txt"));
    }
    // Puts the signer's private key back under `id`, in sight without the PIN: pkcs11-tool makes
    // every private key private; p11tool can leave one in sight.
    void ShowKey(const char* id) {
        std::string m = SoftHsm::ModulePath();
        hsm.Run({"pkcs11-tool", "--module", m, "--login", "--pin", "1234", "--token-label",
                 "doctor", "--delete-object", "--type", "privkey", "--id", "01"});
        hsm.Run({"p11tool", "--provider", m, "--login", "--set-pin", "1234", "--write",
                 "--no-mark-private", "--load-privkey", signer.keyPemPath, "--id", id,
                 "pkcs11:token=doctor"});
    }
    // The module seen through the fault shim, with these rules.
    void Shim(const std::string& rules) {
        std::ofstream(dir.File("rules")) << rules;
        environment.push_back("P11BRIDGE_SHIM_RULES=" + dir.File("rules"));
        // A copy in the test's own folder: as root the doctor loads no module from a build tree
        // that others could write into (a checkout below /tmp, say).
        std::filesystem::copy_file(P11BRIDGE_SHIM, dir.File("faultshim.so"),
                                   std::filesystem::copy_options::overwrite_existing);
        Relink(dir.File("faultshim.so"));
    }
    void Relink(const std::string& module) {
        std::remove(Link().c_str());
        ASSERT_EQ(symlink(module.c_str(), Link().c_str()), 0);
    }
    void Replace(const std::string& option, const std::string& value) {
        for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == option) arguments[i + 1] = value;
        }
    }
};

struct Case {
    std::string behaviour;
    std::function<void(Deployment&)> breakIt;
    std::string verdict;  // a line of the output matches it; a warning or problem is the only one
    int exitCode;
};

TEST(DoctorVerdicts, NameWhatIsWrongWithTheSetup) {
    std::vector<Case> cases = {
        {"healthy", [](Deployment&) {},
         "ok: certificate \"signer\" \\(CKA_ID 01\\) will be listed(\n    .*)*\n    key: RSA 2048 "
         "bits",
         0},
        {"an EC key",
         [](Deployment& s) {
             CertRequest ec{"ec", -1, 30, KeyUsage::kSigning, 0, {}, NID_X9_62_prime256v1};
             s.token.ImportCert(s.certs.Issue("ec", ec).derPath, {2}, "ec");
         },
         "ok: certificate \"ec\" \\(CKA_ID 02\\) will be listed(\n    .*)*\n    key: EC P-256", 0},
        {"an uninitialised slot first", [](Deployment& s) { s.Shim("slot-order - doctor\n"); },
         "ok: slot [0-9]+ \\(\"[^\"]*\"\\) holds an uninitialised token: the host passes over it "
         "\\(not initialised: no session opens on it, CKR_TOKEN_NOT_RECOGNIZED \\(0xe1\\)\\)\n"
         "ok: slot .* holds token \"doctor\" .*: the host takes this one for listing, the first .*",
         0},
        {"a token without signing certificates first",
         [](Deployment& s) {
             CertRequest badge{"badge", -1, 30, KeyUsage::kDigitalSignature, 2048, {}};
             s.hsm.AddToken("badge", "1234").ImportCredential(s.certs.Issue("badge", badge), {1});
             s.Shim("slot-order badge doctor -\n");
         },
         "ok: slot .* holds token \"badge\" .*: the host passes over it \\(it holds no certificate "
         "the host lists\\)\nok: slot .* holds token \"doctor\" .*: the host takes this one.*\n"
         "ok: slot .* holds an uninitialised token: the host does not look at it, .*",
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
        {"host not executable",
         [](Deployment& s) { chmod((s.Profile() + "/p11bridge-host/p11bridge").c_str(), 0644); },
         "problem: .*: the host .*/p11bridge is not an executable file: the browser cannot .*", 1},
        {"XDG_CONFIG_HOME", [](Deployment& s) { s.Scan("chromium"); },
         "ok: Chromium \\(user\\): the manifest .*/config/chromium/NativeMessagingHosts/.*", 0},
        {"Firefox's user folder", [](Deployment& s) { s.Scan("firefox"); },
         "ok: Firefox \\(user\\): extensions allowed to start the host: p11bridge-demo@.*", 0},
        {"system folder",
         [](Deployment& s) { s.Scan("", "/etc/opt/chrome/native-messaging-hosts"); },
         "ok: Google Chrome \\(system\\): the manifest .*/root/etc/opt/chrome/.* is well.*", 0},
        {"user's and system's",
         [](Deployment& s) { s.Scan("chromium", "/etc/chromium/native-messaging-hosts"); },
         "ok: Chromium: the system manifest .*/root/etc/chromium/.* is there too, but the .*", 0},
        {"browser used but not registered",
         [](Deployment& s) {
             s.Scan("chromium");
             std::filesystem::create_directories(s.dir.File("config/vivaldi"));
         },
         "warning: Vivaldi is used here \\(.*/config/vivaldi exists\\) but the host is not .*", 0},
        {"registered nowhere", [](Deployment& s) { s.Scan(""); },
         "problem: manifest missing: no browser has the host registered, so they all say .*", 1},
        {"p11-kit's proxy without pcscd",
         [](Deployment& s) {
             s.Relink("/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so");
             // p11-kit takes the scratch HOME's configuration: the SoftHSM2 token alone.
             std::filesystem::create_directories(s.dir.File("home/.config/pkcs11/modules"));
             std::ofstream(s.dir.File("home/.config/pkcs11/pkcs11.conf")) << "user-config: only";
             std::ofstream(s.dir.File("home/.config/pkcs11/modules/s.module"))
                 << "module: " << SoftHsm::ModulePath();
         },
         "warning: the PC/SC service \\(pcscd\\) is not reachable at .*/pcscd \\(.*\\): .*", 0},
        {"private key under another CKA_ID", [](Deployment& s) { s.ShowKey("02"); },
         "problem: certificate \"signer\" \\(CKA_ID 01\\): its private key is missing: .*02\\).*",
         1},
        {"a key that does not need the PIN for every use", [](Deployment& s) { s.ShowKey("01"); },
         "ok: certificate \"signer\" \\(CKA_ID 01\\): its private key does not need the PIN for "
         "every use .*",
         0},
        {"a key that needs the PIN for every use",
         [](Deployment& s) {
             s.ShowKey("01");
             s.Shim("always-auth\n");
         },
         "ok: certificate \"signer\" \\(CKA_ID 01\\): its private key needs the PIN for every use "
         ".*",
         0},
        {"a card through OpenSC",
         [](Deployment& s) {
             s.card.reset(
                 popen(("sh " P11BRIDGE_CARD_STACK " " + s.dir.File("card")).c_str(), "w"));
             std::string status;
             for (int i = 0; i < 600 && (status = ReadFile(s.dir.File("card/status"))).empty(); ++i)
                 usleep(100000);
             s.skipped = status.rfind("skip", 0) == 0;  // the card stack says why
             if (s.skipped) return void(std::cout << status);
             ASSERT_EQ(status, "ready\n");
             s.environment.push_back("PCSCLITE_CSOCK_NAME=" +
                                     s.dir.File("card/run/pcscd/pcscd.comm"));
             s.Relink("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
         },
         "ok: card reader \"p11bridge virtual reader 00 00\": a card is in it[^]*\nok: slot [0-9]+ "
         "\\(\"p11bridge virtual reader 00 00\"\\) holds token[^]*\nwarning: certificate \"Cert"
         "ificate for PIV Authentication\" .* will not be listed[^]*\nok: certificate \"Certificate"
         " for Digital Signature\" .* will be listed",
         0},
        {"as root, a module in a sticky folder all can write",
         [](Deployment& s) { s.PlaceModule("tmp", 01777, "tmp/softhsm.so", false); },
         "problem: not loading the module .*/tmp/softhsm\\.so as root: .*/tmp is writable by group "
         "or others .*",
         1},
        {"as root, a link to the module in another user's folder",
         [](Deployment& s) { s.PlaceModule("theirs", 0, "theirs/softhsm.so", true); },
         "problem: not loading the module .*libsofthsm2\\.so as root: .*/theirs is owned by "
         "nobody, not root, .*",
         1},
        {"terminal escapes in a label",
         [](Deployment& s) {
             s.AddCert(KeyUsage::kNonRepudiation, -1, 30, "\x1b]0;owned\x07\x1b[2J\xc2\x9b\\");
         },
         R"(warning: certificate "\\x1b\]0;owned\\x07\\x1b\[2J\\u009b\\\\" \(CKA_ID 02\) will not.*)",
         0},
        {"module link broken", [](Deployment& s) { s.Relink("/nonexistent/module.so"); },
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
    // What browsers refuse or read otherwise, in the profile's manifest.
    const std::vector<std::array<std::string, 4>> manifests = {
        {"a member twice, the second spelt in escapes", R"(("path": *"[^"]*"))",
         R"($1, "pa\u0074h": "/nonexistent/p11bridge")", R"(the member "path" appears twice)"},
        {"a comma before the closing brace", R"(\]\s*\}\s*$)", "],\n}\n", "a comma before '\\}'"},
        {"a comment", "^", "// written by hand\n", "a comment"},
        {"no description", R"("description": *"[^"]*",)", "", R"("description" is not a text)"},
    };
    for (const auto& [name, pattern, replacement, fault] : manifests) {
        cases.push_back({"manifest with " + name,
                         [p = pattern, r = replacement](Deployment& s) { s.EditManifest(p, r); },
                         "problem: Chromium profile .*: the manifest .* is not .*" + fault + ".*",
                         1});
    }
    for (std::string option : {"--profile", "--chrome-extension-id", "--firefox-extension-id",
                               "--domains", "--signature", "--origin"}) {
        cases.push_back({option + " without its value",
                         [option](Deployment& s) {
                             s.arguments = {P11BRIDGE_DOCTOR, option, "--help"};
                             if (option == "--origin") s.arguments.pop_back();
                         },
                         "p11bridge-doctor: " + option + " needs a value \\(see --help\\)", 2});
    }
    TempDir shared;
    CertFactory certs(shared.Path());
    IssuedCert signer = certs.Issue("signer");
    const std::string signature = SignDomainList("example.org");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        TempDir dir;
        SoftHsm hsm;  // a token folder of its own for every case
        SoftHsmToken token = hsm.AddToken("doctor", "1234");
        token.ImportCredential(signer, {1}, "signer");
        Deployment setup{dir, hsm, token, certs, signer, {}};
        ASSERT_NO_FATAL_FAILURE(setup.Install({"--profile", setup.Profile()}));
        const std::string profile = setup.Profile();
        setup.arguments = {P11BRIDGE_DOCTOR, "--profile",   profile,
                           "--domains",      "example.org", "--signature",
                           signature,        "--origin",    "https://www.example.org"};
        c.breakIt(setup);
        if (setup.skipped) continue;

        int exitCode = setup.Run(setup.arguments, dir.File("doctor.txt"));
        std::string output = ReadFile(dir.File("doctor.txt"));
        EXPECT_EQ(exitCode, c.exitCode) << output;
        EXPECT_TRUE(std::regex_search(output, std::regex("(^|\n)" + c.verdict + "\n"))) << output;
        // Only what was broken is flagged, once.
        std::regex flag("(^|\n)(warning|problem): ");
        auto flagged = std::distance(std::sregex_iterator(output.begin(), output.end(), flag),
                                     std::sregex_iterator());
        EXPECT_EQ(flagged, std::regex_search(c.verdict, flag) ? 1 : 0) << output;
        // Nothing a token, module, certificate or file says reaches the terminal raw.
        EXPECT_FALSE(
            std::regex_search(output, std::regex("[\x01-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]")))
            << output;
    }
}

}  // namespace
}  // namespace p11bridge::test
