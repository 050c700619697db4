#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace p11bridge::test {

struct Pkcs11Call {
    std::string function;
    unsigned long rv = 0;
};

// The test token's call log: one "<C_Function> <rv>" line per call, '#' lines being the
// module's own remarks (a rejected scenario, for one).
class CallLog {
public:
    // A missing file reads as an empty log; a malformed line throws std::runtime_error.
    static CallLog Read(const std::string& path);
    static void Clear(const std::string& path);

    const std::vector<Pkcs11Call>& Calls() const { return calls_; }
    const std::vector<std::string>& Remarks() const { return remarks_; }
    std::vector<std::string> Functions() const;
    size_t Count(const std::string& function) const;
    // Calls of function that returned CKR_OK.
    size_t CountOk(const std::string& function) const;
    std::string ToString() const;

    // Each successful C_Initialize is followed by a C_Finalize before the next C_Initialize
    // and before the end of the log.
    ::testing::AssertionResult EveryInitializeFinalized() const;
    // Each successful C_OpenSession is matched by a C_CloseSession before C_Finalize.
    ::testing::AssertionResult EverySessionClosed() const;
    // Each successful C_Login is followed by C_Logout before the session closes, the module
    // is finalised or the log ends.
    ::testing::AssertionResult EveryLoginLoggedOut() const;
    // Each successful C_FindObjectsInit is followed by C_FindObjectsFinal before another search
    // starts, the session closes, the module is finalised or the log ends.
    ::testing::AssertionResult EverySearchFinished() const;
    // The token was never asked to check a PIN.
    ::testing::AssertionResult NoLogin() const;

private:
    std::vector<Pkcs11Call> calls_;
    std::vector<std::string> remarks_;
};

}  // namespace p11bridge::test
