#include "Scenario.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>

namespace p11bridge::testtoken {
namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// A bad line is reported by throwing; the parser turns it into ParsedScenario::error.
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Words are separated by blanks; double quotes group blanks into a word (label="two words"
// and "Primary" both work); '#' at the start of a word starts a comment, so paths may
// still contain '#'.
std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] == '"') {
                size_t close = line.find('"', i + 1);
                if (close == std::string::npos) throw LineError("unterminated quote");
                word.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else {
                word += line[i++];
            }
        }
        words.push_back(word);
    }
    return words;
}

unsigned long ParseNumber(const std::string& text, const char* what) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        throw LineError(std::string("bad ") + what + " '" + text + "'");
    }
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
        throw LineError(std::string("bad ") + what + " '" + text + "'");
    }
    return value;
}

Bytes ParseHex(const std::string& text) {
    if (text.size() % 2 != 0) throw LineError("odd number of hex digits in id");
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = OPENSSL_hexchar2int(static_cast<unsigned char>(text[i]));
        int low = OPENSSL_hexchar2int(static_cast<unsigned char>(text[i + 1]));
        if (high < 0 || low < 0) throw LineError("bad hex digit in id");
        out.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return out;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw LineError("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

PrivateKey ReadRsaKey(const std::string& path) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) throw LineError("cannot read " + path);
    PrivateKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EvpPkeyFree());
    if (!key) throw LineError("no PEM private key in " + path);
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) throw LineError("not an RSA key: " + path);
    return key;
}

struct Options {
    std::string slot, id, der, pem, label;
    std::set<std::string> seen;
};

// Reads "name=value" words; every object line needs slot= and id=, the rest per kind.
Options ParseOptions(const std::vector<std::string>& words, const std::set<std::string>& allowed) {
    Options options;
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos) throw LineError("expected name=value, got '" + words[i] + "'");
        std::string name = words[i].substr(0, eq);
        std::string value = words[i].substr(eq + 1);
        if (!allowed.count(name)) throw LineError("unknown option '" + name + "'");
        if (!options.seen.insert(name).second) throw LineError("repeated option '" + name + "'");
        if (name == "slot") options.slot = value;
        if (name == "id") options.id = value;
        if (name == "der") options.der = value;
        if (name == "pem") options.pem = value;
        if (name == "label") options.label = value;
    }
    for (const char* required : {"slot", "id"}) {
        if (!options.seen.count(required))
            throw LineError(std::string("missing ") + required + "=");
    }
    return options;
}

void ExpectWords(const std::vector<std::string>& words, size_t count) {
    if (words.size() != count) throw LineError("wrong number of words for '" + words[0] + "'");
}

void ParseLine(const std::vector<std::string>& words, Scenario& s,
               bool (*isEntryPoint)(const std::string&)) {
    const std::string& keyword = words[0];
    bool* flag = keyword == "locked"                     ? &s.locked
                 : keyword == "sign-zero-length"         ? &s.signZeroLength
                 : keyword == "slot-count-zero"          ? &s.slotCountZero
                 : keyword == "slot-count-grows"         ? &s.slotCountGrows
                 : keyword == "attribute-length-invalid" ? &s.attributeLengthInvalid
                 : keyword == "sign-length-overflow"     ? &s.signLengthOverflow
                                                         : nullptr;
    if (flag) {
        ExpectWords(words, 1);
        *flag = true;
    } else if (keyword == "log") {
        ExpectWords(words, 2);
        if (!s.logPath.empty()) throw LineError("second log line");
        s.logPath = words[1];
    } else if (keyword == "pin") {
        ExpectWords(words, 2);
        if (s.pin || s.pinSha256) throw LineError("second pin line");
        s.pin = words[1];
    } else if (keyword == "pin-sha256") {
        ExpectWords(words, 2);
        if (s.pin || s.pinSha256) throw LineError("second pin line");
        Bytes digest = ParseHex(words[1]);
        if (digest.size() != 32) throw LineError("pin-sha256 needs 64 hex digits");
        s.pinSha256 = std::string(digest.begin(), digest.end());
    } else if (keyword == "slot") {
        if (words.size() < 3) throw LineError("slot needs an id and 'token' or 'empty'");
        SlotSpec slot;
        slot.id = ParseNumber(words[1], "slot id");
        if (words[2] == "token") {
            ExpectWords(words, 4);
            slot.hasToken = true;
            slot.label = words[3];
            // CK_TOKEN_INFO holds 32 bytes of label; a longer one could not be reported.
            if (slot.label.size() > 32) throw LineError("token label longer than 32 bytes");
        } else if (words[2] == "empty") {
            ExpectWords(words, 3);
        } else {
            throw LineError("slot needs 'token' or 'empty'");
        }
        for (const SlotSpec& other : s.slots) {
            if (other.id == slot.id) throw LineError("slot " + words[1] + " declared twice");
        }
        s.slots.push_back(slot);
    } else if (keyword == "cert") {
        Options o = ParseOptions(words, {"slot", "id", "der", "label"});
        if (o.der.empty()) throw LineError("cert needs der=");
        s.certs.push_back(
            CertSpec{ParseNumber(o.slot, "slot id"), ParseHex(o.id), ReadFile(o.der), o.label});
    } else if (keyword == "key") {
        Options o = ParseOptions(words, {"slot", "id", "pem", "label"});
        if (o.pem.empty()) throw LineError("key needs pem=");
        s.keys.push_back(
            KeySpec{ParseNumber(o.slot, "slot id"), ParseHex(o.id), o.label, ReadRsaKey(o.pem)});
    } else if (keyword == "fail") {
        ExpectWords(words, 4);
        FailRule rule;
        rule.function = words[1];
        if (!isEntryPoint(rule.function)) throw LineError("unknown function '" + words[1] + "'");
        if (words[2] != "*") {
            rule.call = ParseNumber(words[2], "call number");
            if (rule.call == 0) throw LineError("calls are counted from 1");
        }
        rule.rv = ParseNumber(words[3], "return value");
        // An injected CKR_OK would skip the work yet claim success: outputs left unset.
        if (rule.rv == 0) throw LineError("an injected failure cannot be CKR_OK");
        s.fails.push_back(rule);
    } else {
        throw LineError("unknown keyword '" + keyword + "'");
    }
}

void CheckObjectSlots(const Scenario& s) {
    auto holdsToken = [&s](unsigned long id) {
        for (const SlotSpec& slot : s.slots) {
            if (slot.id == id) return slot.hasToken;
        }
        return false;
    };
    for (const CertSpec& cert : s.certs) {
        if (!holdsToken(cert.slot)) {
            throw LineError("cert on slot " + std::to_string(cert.slot) + " without a token");
        }
    }
    for (const KeySpec& key : s.keys) {
        if (!holdsToken(key.slot)) {
            throw LineError("key on slot " + std::to_string(key.slot) + " without a token");
        }
    }
}

}  // namespace

ParsedScenario ParseScenario(const std::string& text, bool (*isEntryPoint)(const std::string&)) {
    ParsedScenario result;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    try {
        while (std::getline(in, line)) {
            ++number;
            std::vector<std::string> words = SplitWords(line);
            if (!words.empty()) ParseLine(words, result.scenario, isEntryPoint);
        }
        number = 0;
        CheckObjectSlots(result.scenario);
    } catch (const LineError& e) {
        result.error = number > 0 ? "line " + std::to_string(number) + ": " + e.what() : e.what();
    }
    return result;
}

}  // namespace p11bridge::testtoken
