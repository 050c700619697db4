// p11bridge-doctor: tells a person, in plain words, why the browser, the host or the token does
// not work together. It is a command for people: no browser starts it, and it never asks for,
// reads or handles a PIN.
#include <nss.h>

#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "BrowserManifests.h"
#include "DomainCheck.h"
#include "ModuleCheck.h"
#include "Report.h"

namespace {

using p11bridge::doctor::Report;

const char kUsage[] =
    "usage: p11bridge-doctor [--profile DIR] [--chrome-extension-id ID]...\n"
    "                        [--firefox-extension-id ID]...\n"
    "                        [--domains TEXT --signature BASE64 --origin URL]\n"
    "\n"
    "Checks the p11bridge setup and prints one verdict per line: ok, warning or problem,\n"
    "with what to do. Exits with 1 when there is a problem, 2 on a bad option, else 0.\n"
    "\n"
    "  --profile DIR   only the host registered in this Chromium user-data directory\n"
    "                  (as with p11bridge-install --profile); otherwise every browser's\n"
    "                  user and system manifest folders\n"
    "  --chrome-extension-id ID, --firefox-extension-id ID\n"
    "                  an extension that must be allowed to start the host; repeatable\n"
    "                  (default: the demo extension's IDs)\n"
    "  --domains TEXT --signature BASE64 --origin URL\n"
    "                  whether a page at URL is authorised by the signed domain list\n"
    "\n"
    "The module is loaded with this command's environment: run it with the variables the\n"
    "browser gets (SOFTHSM2_CONF for SoftHSM2, for one).\n";

constexpr char kDemoChromeId[] = "hakmpmcfgeeadocpiniabcilmlgnfghb";
constexpr char kDemoFirefoxId[] = "p11bridge-demo@p11bridge.org";

// NSS without databases, as the host runs it: the certificate decoder and the signature check
// need it. Shut down when the scope ends.
class NssScope {
public:
    NssScope() : ok_(NSS_NoDB_Init(nullptr) == SECSuccess) {}
    ~NssScope() {
        if (ok_) NSS_Shutdown();
    }
    NssScope(const NssScope&) = delete;
    NssScope& operator=(const NssScope&) = delete;
    bool Ok() const { return ok_; }

private:
    bool ok_;
};

struct Options {
    std::string profile;
    p11bridge::doctor::ManifestExpectations expected;
    std::string domains;
    std::string signature;
    std::string origin;
    bool domainCheck = false;
};

// False (with the reason on stderr) on a bad command line.
bool ParseOptions(int argc, char** argv, Options& options) {
    std::set<std::string> given;  // of --domains, --signature and --origin
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::cout << kUsage;
            std::exit(0);
        }
        std::string* text = option == "--profile"     ? &options.profile
                            : option == "--domains"   ? &options.domains
                            : option == "--signature" ? &options.signature
                            : option == "--origin"    ? &options.origin
                                                      : nullptr;
        std::vector<std::string>* list =
            option == "--chrome-extension-id"    ? &options.expected.chromeExtensionIds
            : option == "--firefox-extension-id" ? &options.expected.firefoxExtensionIds
                                                 : nullptr;
        if (!text && !list) {
            std::cerr << "p11bridge-doctor: unknown option " << option << " (see --help)\n";
            return false;
        }
        // No value starts with "--": one that does is the next option, its own value forgotten.
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0) {
            std::cerr << "p11bridge-doctor: " << option << " needs a value (see --help)\n";
            return false;
        }
        if (list) {
            list->push_back(argv[++i]);
        } else {
            *text = argv[++i];
            if (text != &options.profile) given.insert(option);
        }
    }
    if (!given.empty() && given.size() != 3) {
        std::cerr << "p11bridge-doctor: --domains, --signature and --origin go together\n";
        return false;
    }
    options.domainCheck = given.size() == 3;
    while (options.profile.size() > 1 && options.profile.back() == '/') options.profile.pop_back();
    if (options.expected.chromeExtensionIds.empty()) {
        options.expected.chromeExtensionIds.push_back(kDemoChromeId);
    }
    if (options.expected.firefoxExtensionIds.empty()) {
        options.expected.firefoxExtensionIds.push_back(kDemoFirefoxId);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    NssScope nss;
    Report report(std::cout);
    if (!nss.Ok()) {
        report.Problem(
            "NSS does not start, so certificates and domain lists cannot be checked "
            "(is libnss3 installed?)");
    }
    for (const std::string& host :
         p11bridge::doctor::CheckBrowserManifests(report, options.profile, options.expected)) {
        if (nss.Ok()) p11bridge::doctor::CheckHostModule(report, host);
    }
    if (nss.Ok()) {
        p11bridge::doctor::CheckDomainKey(report);
        if (options.domainCheck) {
            p11bridge::doctor::CheckDomainAuthorisation(report, options.domains, options.signature,
                                                        options.origin);
        }
    }
    report.Summary();
    return report.Problems() > 0 ? 1 : 0;
}
