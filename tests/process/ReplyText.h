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
