// Reply texts exactly as the host formats them, for byte-exact comparisons.
#pragma once

#include <optional>
#include <string>

namespace p11bridge::testing {

std::string ErrorReply(int command, const std::string& message);
struct ResponseState {
    int command = 0;
    int lastError = 0;
    long long lastLowLevelError = 0;
    std::string errorMessage;
    std::string pinModuleName;
    bool missingPin = false;
    bool invalidPin = false;
    unsigned long pinLength = 0;
    std::optional<int> pinRetryCount;
    // The result member as written, e.g. "\"ok\" : true".
    std::string result = "\"ok\" : true";
};
std::string Response(const ResponseState& state);

}  // namespace p11bridge::testing

namespace p11bridge::testing {

// The value of a top-level member of a reply as the host wrote it: a string unescaped, any other
// value as its text. Empty optional when the reply has no such member.
std::optional<std::string> Member(const std::string& reply, const std::string& name);

}  // namespace p11bridge::testing
