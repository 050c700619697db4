// Runs every conversation in this folder's *.conv files against the real p11bridge binary: the
// requests a browser would send, and the replies it must get back byte for byte. The transcript
// format is described in README.md beside this file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/CertFactory.h"
#include "support/Crypto.h"
#include "support/HostProcess.h"
#include "support/ProcessMemory.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

namespace fs = std::filesystem;
using p11bridge::testing::HostProcess;

// The credentials a transcript can put on its token, by name. The certificates are made once per
// run, relative to now, and share one key, which only the names marked so get on the token.
struct Credential {
    const char* name;
    Bytes id;
    unsigned keyUsage;
    int validFromDays, validToDays;
    bool withKey;
    int curve = 0;  // an EC key on this curve, else RSA
};
const Credential kCatalog[] = {
    {"valid", {0x0a, 0x01}, KeyUsage::kSigning, -1, 365, true},
    {"ds-only", {0x0a, 0x02}, KeyUsage::kDigitalSignature, -1, 365, true},
    {"nr-only", {0x0a, 0x03}, KeyUsage::kNonRepudiation, -1, 365, false},
    {"expired", {0x0a, 0x04}, KeyUsage::kSigning, -30, -1, false},
    // NSS lets a certificate in up to a day before it begins; start well beyond that.
    {"not-yet-valid", {0x0a, 0x05}, KeyUsage::kSigning, 3, 30, false},
    {"no-key-usage", {0x0a, 0x06}, KeyUsage::kAbsent, -1, 365, false},
    {"no-id", {}, KeyUsage::kSigning, -1, 365, false},
    {"undecodable", {0x0a, 0x07}, 0, 0, 0, false},
    {"long-id", Bytes(1000, 0x1d), KeyUsage::kSigning, -1, 365, false},
    {"always-auth", {0x0a, 0x08}, KeyUsage::kSigning, -1, 365, true},  // its key: PIN for each use
    {"oversized", {0x0a, 0x09}, 0, 0, 0, false},  // 800 kB: more than a reply carries as Base64
    {"ec256", {0x0a, 0x10}, KeyUsage::kSigning, -1, 365, true, NID_X9_62_prime256v1},
    {"ec384", {0x0a, 0x11}, KeyUsage::kSigning, -1, 365, true, NID_secp384r1},
    {"ed25519", {0x0a, 0x12}, KeyUsage::kSigning, -1, 365, false, NID_ED25519},  // no key type here
    // A badge's authentication certificate under the identifier of "valid", as cards share them.
    {"valid-twin", {0x0a, 0x01}, KeyUsage::kDigitalSignature, -1, 365, false},
    // The virtual smart card's (tests/card): OpenSC names PIV key 9A's objects 01, 9C's 02.
    {"card-sign", {0x02}, KeyUsage::kSigning, -1, 365, true},
    {"card-auth", {0x01}, KeyUsage::kDigitalSignature, -1, 365, true},
    {"card-ec256", {0x02}, KeyUsage::kSigning, -1, 365, true, NID_X9_62_prime256v1},
    {"card-ec384", {0x02}, KeyUsage::kSigning, -1, 365, true, NID_secp384r1},
};

struct Certificates {
    TempDir dir;
    std::map<std::string, IssuedCert> issued;
    Certificates() {
        CertFactory factory(dir.Path());
        SharedKey key = CertFactory::GenerateRsaKey();
        for (const Credential& c : kCatalog) {
            CertRequest request;
            request.commonName = c.name;
            request.keyUsage = c.keyUsage;
            request.validFromDays = c.validFromDays;
            request.validToDays = c.validToDays;
            request.curve = c.curve;
            // The card's keys are its own, so that a signature shows which of them made it.
            if (std::string(c.name).rfind("card-", 0) != 0 && !c.curve) request.key = key;
            issued[c.name] = factory.Issue(c.name, request);
        }
        issued["undecodable"].der = ToBytes(std::string("\x30\x03not a certificate", 20));
        issued["oversized"].der = Bytes(800000, 0x30);
    }
};
const Certificates& Certs() {
    static const Certificates* certs = new Certificates();
    return *certs;
}
const Credential& Find(const std::string& name) {
    for (const Credential& c : kCatalog) {
        if (name == c.name) return c;
    }
    throw std::invalid_argument("no credential named " + name);
}

struct Line {
    int number;
    std::string verb, text;
};
struct Case {
    std::string file, name, testName;
    int line;
    std::vector<Line> steps;
};

// Names a failing case by where it stands rather than by its bytes.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.file << ":" << c.line;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<Case> Load() {
    std::vector<Case> cases;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(P11BRIDGE_CONVERSATIONS)) {
        if (entry.path().extension() == ".conv") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        std::ifstream in(path);
        std::string text;
        for (int number = 1; std::getline(in, text); ++number) {
            if (text.empty() || text[0] == '#') continue;
            std::size_t space = text.find(' ');
            std::string verb = text.substr(0, space);
            std::string rest = space == std::string::npos ? "" : text.substr(space + 1);
            if (verb == "==") {
                std::string id = path.stem().string() + "_" + rest;
                std::replace_if(
                    id.begin(), id.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
                cases.push_back({path.filename().string(), rest, id, number, {}});
            } else if (cases.empty()) {
                throw std::runtime_error(path.string() + ": a line before the first case");
            } else {
                cases.back().steps.push_back({number, verb, rest});
            }
        }
    }
    return cases;
}

std::string Hex(const std::string& hex) {
    Bytes bytes = FromHex(hex);
    return std::string(bytes.begin(), bytes.end());
}

// ${...} values: what a transcript cannot spell out because it is made at run time.
std::string Value(const std::string& placeholder) {
    std::size_t colon = placeholder.find(':');
    const std::string kind = placeholder.substr(0, colon), arg = placeholder.substr(colon + 1);
    // Base64 as the host writes it: NSS's CR LF every 64 characters, and every '/', escaped.
    auto written = [](const Bytes& bytes) {
        std::string out;
        for (char c : Base64(bytes, 64)) {
            out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '/' ? "\\/" : std::string(1, c);
        }
        return out;
    };
    if (kind == "sig") return SignDomainList(arg);
    if (kind == "id") return written(Find(arg).id);
    if (kind == "b64") return Base64(FromHex(arg));
    if (kind == "sha256hex") return ToHex(Digest("sha256", ToBytes(arg)));
    if (kind == "digest") {
        std::size_t split = arg.find(':');
        return Base64(Digest(arg.substr(0, split), ToBytes(arg.substr(split + 1))));
    }
    if (kind == "cert") {
        Bytes der = Certs().issued.at(arg.substr(0, arg.find(':'))).der;
        if (arg.find(":short") != std::string::npos) der.pop_back();
        return written(der);
    }
    throw std::invalid_argument("unknown value ${" + placeholder + "}");
}

// The placeholders of replies, matched against what the host wrote rather than expanded.
bool IsMatcher(const std::string& text, std::size_t at) {
    return text.compare(at, 8, "${pkcs1:") == 0 || text.compare(at, 8, "${ecdsa:") == 0 ||
           text.compare(at, 8, "${one-of") == 0;
}

// Expands ${...} (except the matchers of replies), %(TEXT*N) and %XX.
std::string Expand(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "${") == 0 && !IsMatcher(text, i)) {
            std::size_t end = text.find('}', i);
            out += Value(text.substr(i + 2, end - i - 2));
            i = end + 1;
        } else if (text.compare(i, 2, "%(") == 0) {
            std::size_t star = text.find('*', i), end = text.find(')', star);
            std::string unit = Expand(text.substr(i + 2, star - i - 2));
            for (int n = std::stoi(text.substr(star + 1, end - star - 1)); n > 0; --n) out += unit;
            i = end + 1;
        } else if (text[i] == '%') {
            out += Hex(text.substr(i + 1, 2));
            i += 3;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// A flat object written compactly, {"a":1,"b":"x"}, in the host's layout: one member a line,
// each indented by a tab, " : " between name and value, no line feed after the closing brace.
std::string Formatted(const std::string& compact) {
    std::string out;
    int depth = 0;
    bool inString = false;
    auto newline = [&out, &depth] {
        out += '\n' + std::string(static_cast<std::size_t>(depth), '\t');
    };
    for (std::size_t i = 0; i < compact.size(); ++i) {
        char c = compact[i];
        if (inString && c == '\\') {
            out += compact.substr(i++, 2);
            continue;
        }
        if (c == '"') inString = !inString;
        if (!inString && compact.compare(i, 2, "${") == 0) {  // a matcher, written as it stands
            const std::size_t end = compact.find('}', i);
            out += compact.substr(i, end - i + 1);
            i = end;
        } else if (inString) {
            out += c;
        } else if (c == '{' || c == '[') {
            out += c;
            ++depth;
            newline();
        } else if (c == '}' || c == ']') {
            --depth;
            newline();
            out += c;
        } else if (c == ',') {
            out += ',';
            newline();
        } else if (c == ':') {
            out += " : ";
        } else {
            out += c;
        }
    }
    return out;
}

// The captured text of a "pkcs1" member must be a signature by the named credential's key over
// the digest of the text: ${pkcs1:NAME:ALGORITHM:TEXT} for RSA PKCS#1 v1.5 over the DigestInfo,
// ${ecdsa:NAME:ALGORITHM:TEXT} for ECDSA over the hash as it is, r then s.
void ExpectSignature(const std::string& placeholder, const std::string& captured) {
    std::vector<std::string> parts;
    std::stringstream in(placeholder);
    for (std::string part; parts.size() < 3 && std::getline(in, part, ':');) parts.push_back(part);
    std::string algorithm = parts[2], text;
    std::getline(in, text);
    std::string base64;
    for (std::size_t i = 0; i < captured.size(); ++i) {
        if (captured[i] == '\\') {
            char escaped = captured[++i];
            base64 += escaped == 'r' ? '\r' : escaped == 'n' ? '\n' : escaped;
        } else {
            base64 += captured[i];
        }
    }
    std::optional<Bytes> signature = Base64Decode(base64);
    ASSERT_TRUE(signature) << captured;
    EXPECT_EQ(base64, Base64(*signature, 64)) << "NSS's line breaks";
    const Bytes& cert = Certs().issued.at(parts[1]).der;
    Bytes hash = Digest(algorithm, ToBytes(text));
    EXPECT_TRUE(parts[0] == "ecdsa" ? VerifyEcdsa(cert, hash, *signature)
                                    : VerifyPkcs1(cert, algorithm, hash, *signature))
        << placeholder;
}

void ExpectReply(const std::string& expected, const std::string& actual) {
    std::size_t e = 0, a = 0;
    while (true) {
        std::size_t hole = expected.find("${", e);
        while (hole != std::string::npos && !IsMatcher(expected, hole))
            hole = expected.find("${", hole + 2);
        std::string literal = expected.substr(e, hole == std::string::npos ? hole : hole - e);
        if (actual.compare(a, literal.size(), literal) != 0 ||
            (hole == std::string::npos && actual.size() != a + literal.size())) {
            ASSERT_EQ(actual, expected);
        }
        if (hole == std::string::npos) return;
        a += literal.size();
        std::size_t close = expected.find('}', hole), end = actual.find('"', a);
        if (expected.compare(hole, 8, "${one-of") == 0) {
            // A number that depends on a race the case cannot settle (a card yanked mid-command).
            end = actual.find_first_of(",\n", a);
            std::size_t from = expected.find_first_not_of(" :", hole + 8);  // spaced as a member
            std::string choices = "|" + expected.substr(from, close - from) + "|";
            EXPECT_NE(choices.find("|" + actual.substr(a, end - a) + "|"), std::string::npos)
                << actual;
        } else {
            ExpectSignature(expected.substr(hole + 2, close - hole - 2), actual.substr(a, end - a));
        }
        a = end;
        e = close + 1;
    }
}

struct CallLog {
    std::string path;
    std::size_t seen = 0;
    std::vector<std::pair<std::string, long>> Calls() const {
        std::ifstream in(path);
        std::vector<std::pair<std::string, long>> calls;
        std::string name;
        for (long rv; in >> name >> rv;) calls.emplace_back(name, rv);
        return calls;
    }
    // Everything a successful call opened was closed again: the frame unwinds on every path.
    void ExpectBalanced() const {
        std::map<std::string, int> opened, closed;
        const std::map<std::string, std::string> kPairs = {
            {"C_Initialize", "C_Finalize"},
            {"C_OpenSession", "C_CloseSession"},
            {"C_Login", "C_Logout"},
            {"C_FindObjectsInit", "C_FindObjectsFinal"}};
        for (const auto& [name, rv] : Calls()) {
            if (kPairs.count(name) && rv == 0) ++opened[name];
            for (const auto& [open, close] : kPairs) closed[open] += name == close;
        }
        for (const auto& [open, close] : kPairs) {
            EXPECT_EQ(opened[open], closed[open])
                << "every successful " << open << " needs its " << close;
        }
    }
};

// A token as a `token` line describes it, provisioned once per run and copied for every case:
// SoftHSM2 keeps a token in plain files.
const SoftHsm& Token(const std::string& description) {
    static std::map<std::string, std::unique_ptr<SoftHsm>> made;
    std::unique_ptr<SoftHsm>& hsm = made[description];
    if (hsm) return *hsm;
    hsm = std::make_unique<SoftHsm>();
    std::vector<std::string> words = Words(description);
    SoftHsmToken token = hsm->AddToken("p11bridge", words.at(0));
    for (std::size_t i = 1; i < words.size(); ++i) {
        // "/ PIN NAME...": a second token in the same store, labelled "second".
        if (words[i] == "/") {
            token = hsm->AddToken("second", words.at(++i));
            continue;
        }
        const Credential& credential = Find(words[i]);
        const IssuedCert& cert = Certs().issued.at(words[i]);
        // pkcs11-tool takes identifiers of up to 100 bytes.
        if (words[i] == "undecodable" || words[i] == "long-id" || words[i] == "oversized") {
            token.ImportRawCert(cert.der, credential.id);
            continue;
        }
        token.ImportCert(cert.derPath, credential.id);
        if (credential.withKey)
            token.ImportKey(cert.keyPemPath, credential.id, "", words[i] == "always-auth");
    }
    return *hsm;
}

// 1 when a process of the host's own user and capabilities, less the one to trace any process
// (dropped from its effective set), can read the host's memory, 0 when it cannot, 2 when the
// probe cannot be made. Only a dumpable process is open to it.
int MemoryOpenToPeers(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    unsigned long address = 0;
    if (!(maps >> std::hex >> address)) return 2;
    pid_t probe = ::fork();
    if (probe == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        if (::syscall(SYS_capget, &header, caps) != 0) _exit(2);
        caps[CAP_TO_INDEX(CAP_SYS_PTRACE)].effective &= ~CAP_TO_MASK(CAP_SYS_PTRACE);
        if (::syscall(SYS_capset, &header, caps) != 0) _exit(2);
        char byte;
        iovec local{&byte, 1}, remote{reinterpret_cast<void*>(address), 1};
        _exit(::process_vm_readv(pid, &local, 1, &remote, 1, 0) == 1);
    }
    int status = 0;
    ::waitpid(probe, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

// The soft and hard limits of the host's core files, "0 0" when it writes none.
std::string CoreLimits(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Max core file size", 0) == 0) {
            std::vector<std::string> w = Words(line.substr(18));
            return w.size() < 2 ? line : w[0] + " " + w[1];
        }
    }
    return "";
}

// A case's own smart-card stack (tests/card): pcscd, vpcd's reader and a virtual PIV card holding
// card-sign and card-auth, which the host reaches through OpenSC or through p11-kit's proxy. The
// launcher answers each step with a line in its status file, and stops everything when its input
// ends, also when this process dies. `card ROAD [LAYOUT]` in a transcript says which (README.md).
class CardStack {
public:
    explicit CardStack(const std::string& line) {
        std::vector<std::string> words = Words(line);
        const std::string road = words.at(0), layout = words.size() > 1 ? words[1] : "";
        if (road != "opensc" && road != "proxy" && road != "proxy-softhsm")
            throw std::invalid_argument("no card road " + road);
        if (layout != "" && layout != "ec256" && layout != "ec384" && layout != "two-readers")
            throw std::invalid_argument("no card layout " + layout);
        module_ = road.rfind("proxy", 0) == 0 ? "/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so"
                                              : "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
        if (road == "proxy-softhsm") {
            // SoftHSM2 registered ahead of OpenSC, with no token: its free, uninitialised slot
            // comes first, as where Debian's package registers it.
            fs::create_directories(dir_.File("p11-kit"));
            fs::create_directories(dir_.File("softhsm"));
            std::ofstream(dir_.File("p11-kit/softhsm2.module"))
                << "module: /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so\npriority: 10\n";
            std::ofstream(dir_.File("softhsm2.conf"))
                << "directories.tokendir = " << dir_.File("softhsm") << "\n";
        }
        auto card = [](const std::string& pin, const std::string& sign) {
            std::string contents = pin;
            for (const std::string& name : {sign, std::string("card-auth")}) {
                const IssuedCert* cert = name.empty() ? nullptr : &Certs().issued.at(name);
                contents += "," + (cert ? cert->derPath + "," + cert->keyPemPath : ",");
            }
            return contents;
        };
        std::string command = std::string(P11BRIDGE_CARD_DIR) + "/card-stack.sh " + dir_.Path();
        // two-readers: a badge that only authenticates, with a PIN of its own, ahead of the card.
        if (layout == "two-readers") command += " " + card("654321", "");
        command +=
            " " + card("123456", layout.rfind("ec", 0) == 0 ? "card-" + layout : "card-sign");
        command += " >" + dir_.File("stack.log") + " 2>&1; echo ended $? >>" + dir_.File("status");
        input_ = popen(command.c_str(), "w");
        Await();
    }
    ~CardStack() { pclose(input_); }
    // remove | insert | pull-at INS, as the launcher takes them.
    void Command(const std::string& text) {
        std::fputs((text + "\n").c_str(), input_);
        std::fflush(input_);
        Await();
    }
    std::map<std::string, std::string> Env() const {
        std::map<std::string, std::string> env = {
            {"P11BRIDGE_SHIM_MODULE", module_},
            {"PCSCLITE_CSOCK_NAME", dir_.File("run/pcscd/pcscd.comm")}};
        if (fs::exists(dir_.File("softhsm2.conf")))
            env["SOFTHSM2_CONF"] = dir_.File("softhsm2.conf");
        return env;
    }
    // What the host runs under: for the proxy, a view of the system where p11-kit loads OpenSC
    // alone, or SoftHSM2 and then OpenSC.
    std::vector<std::string> Wrapper() const {
        if (module_.find("p11-kit") == std::string::npos) return {};
        return {std::string(P11BRIDGE_CARD_DIR) + "/opensc-only.sh", dir_.File("p11-kit")};
    }
    // The answer to the start ("ready") or to the last command ("ok"); else why not.
    std::string status;

private:
    void Await() {
        ++answers_;
        // Generous: a busy machine may take long to show the card; nothing here is timed.
        for (auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
             std::chrono::steady_clock::now() < end;) {
            std::ifstream in(dir_.File("status"));
            std::vector<std::string> lines;
            for (std::string text; std::getline(in, text);) lines.push_back(text);
            bool gone = !lines.empty() &&
                        (lines.back().rfind("skip", 0) == 0 || lines.back().rfind("ended", 0) == 0);
            if (lines.size() >= answers_ || gone) {
                status = lines[std::min(lines.size(), answers_) - 1];
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        status = "fail: the card stack did not answer, see " + dir_.File("stack.log");
    }
    TempDir dir_;
    std::string module_;
    FILE* input_ = nullptr;
    std::size_t answers_ = 0;
};

class Conversation : public ::testing::TestWithParam<Case> {};

TEST_P(Conversation, RepliesAsTranscribed) {
    const Case& c = GetParam();
    TempDir dir;
    std::unique_ptr<SoftHsm> hsm;
    std::unique_ptr<CardStack> card;
    HostProcess::Options options;
    if (const char* wrapper = std::getenv("P11BRIDGE_CONVERSATION_WRAPPER"))
        options.wrapper = Words(wrapper);
    std::ofstream rules(dir.File("rules"));
    bool withModule = true;
    CallLog log{dir.File("calls.log")};
    std::size_t first = 0;
    for (; first < c.steps.size(); ++first) {
        const Line& line = c.steps[first];
        std::vector<std::string> words = Words(line.text);
        if (line.verb == "token") {
            const SoftHsm& original = Token(line.text);
            hsm = std::make_unique<SoftHsm>();  // points SOFTHSM2_CONF at the copy
            fs::copy(original.Directory() + "/tokens", hsm->Directory() + "/tokens",
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        } else if (line.verb == "card" && !card) {
            card = std::make_unique<CardStack>(line.text);
            if (card->status.rfind("skip", 0) == 0) GTEST_SKIP() << card->status;
            ASSERT_EQ(card->status, "ready");
        } else if (line.verb == "rule") {
            rules << Expand(line.text) << "\n";
        } else if (line.verb == "module" && line.text == "none") {
            withModule = false;
        } else {
            break;
        }
    }
    rules.close();
    if (hsm) {
        options.env = {{"P11BRIDGE_SHIM_MODULE", SoftHsm::ModulePath()},
                       {"P11BRIDGE_SHIM_LOG", log.path},
                       {"P11BRIDGE_SHIM_RULES", dir.File("rules")}};
        if (withModule) options.module = P11BRIDGE_FAULTSHIM;
    }
    if (card) {
        options.env = card->Env();
        std::vector<std::string> wrapper = card->Wrapper();
        options.wrapper.insert(options.wrapper.begin(), wrapper.begin(), wrapper.end());
        options.env.insert(
            {{"P11BRIDGE_SHIM_LOG", log.path}, {"P11BRIDGE_SHIM_RULES", dir.File("rules")}});
        options.module = P11BRIDGE_FAULTSHIM;
    }
    HostProcess host(options);
    std::string input;
    bool ended = false;
    for (std::size_t i = first; i < c.steps.size(); ++i) {
        const Line& line = c.steps[i];
        SCOPED_TRACE(c.file + ":" + std::to_string(line.number) + ": " + line.verb + " " +
                     line.text);
        std::vector<std::string> words = Words(line.text);
        if (line.verb == ">" || line.verb == ">>") {
            std::string bytes = Expand(line.text);
            if (line.verb == ">") bytes = HostProcess::frame(bytes);
            input += bytes;
            host.sendRaw(bytes);
        } else if (line.verb == "<") {
            ExpectReply(Formatted(Expand(line.text)), host.reply());
        } else if (line.verb == "end") {
            EXPECT_EQ(host.drainOutput(), "") << "the host ends without another reply";
            EXPECT_EQ(host.wait(), 0);
            ended = true;
        } else if (line.verb == "close-output") {
            host.closeOutput();
        } else if (line.verb == "card" && card) {
            card->Command(line.text);
            ASSERT_EQ(card->status, "ok");
        } else if (line.verb == "link-module") {
            host.linkModule(P11BRIDGE_FAULTSHIM);
        } else if (line.verb == "calls") {
            auto calls = log.Calls();
            std::string expected, actual;
            for (const std::string& w : words) expected += (expected.empty() ? "" : " ") + w;
            for (std::size_t k = log.seen; k < calls.size(); ++k) {
                bool withRv = std::find(words.begin(), words.end(),
                                        calls[k].first + "=" + std::to_string(calls[k].second)) !=
                              words.end();
                actual += (actual.empty() ? "" : " ") + calls[k].first +
                          (withRv ? "=" + std::to_string(calls[k].second) : "");
            }
            EXPECT_EQ(actual.empty() ? "-" : actual, expected);
            log.seen = calls.size();
        } else if (line.verb == "dumpable") {
            ASSERT_TRUE(p11bridge::testing::WaitUntilReadingInput(host.pid()));
            int open = MemoryOpenToPeers(host.pid());
            ASSERT_NE(open, 2) << "no process without the right to trace could be made";
            EXPECT_EQ(open, std::stoi(line.text))
                << "the host's memory open to its user's processes";
            if (line.text == "0") {
                EXPECT_EQ(CoreLimits(host.pid()), "0 0");
            }
        } else if (line.verb == "memory") {
            ASSERT_TRUE(p11bridge::testing::WaitUntilReadingInput(host.pid()));
            auto scan = p11bridge::testing::ScanWritableMemory(host.pid(), Expand(words.at(0)));
            ASSERT_GT(scan.bytesScanned, 0u) << "the host's memory could not be read";
            EXPECT_EQ(scan.copies, std::stoul(words.at(1)));
        } else {
            FAIL() << "unknown step";
        }
        if (HasFatalFailure()) return;
    }
    if (!ended) {
        host.closeInput();
        EXPECT_EQ(host.drainOutput(), "") << "replies nobody expected";
        EXPECT_EQ(host.wait(), 0);
    }
    EXPECT_EQ(host.stderrText(), "") << "the host writes nothing to stderr";
    if (hsm || card) log.ExpectBalanced();
    if (const char* corpus = std::getenv("P11BRIDGE_WRITE_CORPUS")) {
        std::ofstream(std::string(corpus) + "/" + c.testName, std::ios::binary) << input;
    }
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Conversation, ::testing::ValuesIn(Load()),
                         [](const auto& test) { return test.param.testName; });

// Two hosts signing on one card at the same moment both succeed, round after round, though the
// card drops a PIN check as soon as any other command reaches it.
TEST(Card, TwoHostsSignAtOnce) {
    CardStack card("opensc");
    if (card.status.rfind("skip", 0) == 0) GTEST_SKIP() << card.status;
    ASSERT_EQ(card.status, "ready");
    HostProcess::Options options;
    options.env = card.Env();
    options.module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    HostProcess first(options), second(options);
    const std::string sign =
        Expand(R"({"command":5,"certId":"${id:card-sign}","digest":"${digest:sha256:at once}"})");
    const std::string signed_ = Formatted(
        R"({"command":5,"error":false,"errorMessage":"No se ha definido el pin para Certificado QARTO","lastError":0,"lastLowLevelError":0,"pinModuleName":"","missingPin":false,"invalidPin":false,"pinLength":0,"pinRetryCount":0,"pkcs1":"${pkcs1:card-sign:sha256:at once}"})");
    for (HostProcess* host : {&first, &second}) {
        host->send(Expand(
            R"({"command":0,"domains":"example.org","signature":"${sig:example.org}","currentDomain":"https://example.org/","caSubjectNames":""})"));
        host->reply();
    }
    for (int round = 0; round < 4; ++round) {
        for (HostProcess* host : {&first, &second}) {
            host->send(sign);  // each signature spends the PIN: the card asks again
            host->reply();
            host->send(R"({"command":3,"pin":"123456"})");
            host->reply();
        }
        first.send(sign);
        second.send(sign);
        ExpectReply(signed_, first.reply());
        ExpectReply(signed_, second.reply());
    }
}

}  // namespace
}  // namespace p11bridge::test
