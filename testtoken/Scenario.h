#pragma once

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace p11bridge::testtoken {

using Bytes = std::vector<unsigned char>;

struct EvpPkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PrivateKey = std::shared_ptr<EVP_PKEY>;

struct SlotSpec {
    unsigned long id = 0;
    bool hasToken = false;
    std::string label;
};

struct CertSpec {
    unsigned long slot = 0;
    Bytes id;
    Bytes der;
    std::string label;
};

struct KeySpec {
    unsigned long slot = 0;
    Bytes id;
    std::string label;
    PrivateKey key;
};

// call == 0 means every call.
struct FailRule {
    std::string function;
    unsigned long call = 0;
    unsigned long rv = 0;
};

struct Scenario {
    std::string logPath;
    std::vector<SlotSpec> slots;
    std::optional<std::string> pin;
    // The PIN as its SHA-256 only, so that the module's memory never holds the PIN itself
    // (the host's memory-hygiene test counts the PIN's copies in the whole process).
    std::optional<std::string> pinSha256;
    bool locked = false;
    bool signZeroLength = false;
    bool slotCountZero = false;
    bool slotCountGrows = false;
    bool attributeLengthInvalid = false;
    bool signLengthOverflow = false;
    std::vector<CertSpec> certs;
    std::vector<KeySpec> keys;
    std::vector<FailRule> fails;
};

struct ParsedScenario {
    Scenario scenario;
    // Empty when the text was accepted; otherwise names the offending line. Even then
    // scenario.logPath holds the log line if one came before the error, so the
    // failure can still be recorded where the test looks.
    std::string error;
};

// isEntryPoint tells a PKCS#11 function name from a typo in a "fail" line.
ParsedScenario ParseScenario(const std::string& text, bool (*isEntryPoint)(const std::string&));

}  // namespace p11bridge::testtoken
