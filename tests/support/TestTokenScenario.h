#pragma once

#include <string>
#include <vector>

#include "support/Bytes.h"

namespace p11bridge::test {

struct IssuedCert;

// Path of libp11bridge-testtoken.so in the build tree.
std::string TestTokenModulePath();

// Writes the scenario file read by the test token module at every C_Initialize.
// Every Write() stamps a new "# run" comment, so even an unchanged scenario restarts the
// module's call counters.
class TestTokenScenario {
public:
    static constexpr const char* kEnvironmentVariable = "P11BRIDGE_TESTTOKEN_SCENARIO";

    explicit TestTokenScenario(std::string path);

    TestTokenScenario& Log(const std::string& path);
    TestTokenScenario& Slot(unsigned long id, const std::string& label);
    TestTokenScenario& EmptySlot(unsigned long id);
    TestTokenScenario& Pin(const std::string& pin);
    // The token's PIN given only as its SHA-256, for tests that look for the PIN in memory.
    TestTokenScenario& PinDigest(const std::string& pin);
    TestTokenScenario& Locked();
    TestTokenScenario& Cert(unsigned long slot, const Bytes& id, const std::string& derPath,
                            const std::string& label = "");
    TestTokenScenario& Key(unsigned long slot, const Bytes& id, const std::string& pemPath,
                           const std::string& label = "");
    // The certificate and its private key under one CKA_ID, as a real token holds them.
    TestTokenScenario& Credential(unsigned long slot, const Bytes& id, const IssuedCert& cert);
    // The call-th call (from 1, counted since the scenario was loaded) returns rv.
    TestTokenScenario& Fail(const std::string& function, unsigned long call, unsigned long rv);
    TestTokenScenario& FailAlways(const std::string& function, unsigned long rv);
    TestTokenScenario& SignZeroLength();
    TestTokenScenario& SlotCountZero();
    TestTokenScenario& SlotCountGrows();
    TestTokenScenario& AttributeLengthInvalid();
    TestTokenScenario& SignLengthOverflow();
    // A line written as given, for scenarios the builder does not model (bad lines too).
    TestTokenScenario& Line(const std::string& line);

    std::string Text() const;
    // Writes the file and returns its path.
    std::string Write() const;
    // Writes the file and points the environment variable of this process (and so of the
    // processes it starts) at it.
    std::string Install() const;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> lines_;
};

}  // namespace p11bridge::test
