#include "ReplyText.h"

namespace p11bridge::testing {

std::string ErrorReply(int command, const std::string& message) {
    return "{\n\t\"command\" : " + std::to_string(command) + ",\n\t\"error\" : true,\n" +
           "\t\"message\" : \"" + message + "\"\n}";
}

std::string Response(const ResponseState& s) {
    auto flag = [](bool b) { return b ? std::string("true") : std::string("false"); };
    std::string text = "{\n";
    text += "\t\"command\" : " + std::to_string(s.command) + ",\n";
    text += "\t\"error\" : " + flag(s.lastError != 0) + ",\n";
    text += "\t\"errorMessage\" : \"" + s.errorMessage + "\",\n";
    text += "\t\"lastError\" : " + std::to_string(s.lastError) + ",\n";
    text += "\t\"lastLowLevelError\" : " + std::to_string(s.lastLowLevelError) + ",\n";
    text += "\t\"pinModuleName\" : \"" + s.pinModuleName + "\",\n";
    text += "\t\"missingPin\" : " + flag(s.missingPin) + ",\n";
    text += "\t\"invalidPin\" : " + flag(s.invalidPin) + ",\n";
    text += "\t\"pinLength\" : " + std::to_string(s.pinLength) + ",\n";
    if (s.pinRetryCount)
        text += "\t\"pinRetryCount\" : " + std::to_string(*s.pinRetryCount) + ",\n";
    text += "\t" + s.result + "\n}";
    return text;
}

}  // namespace p11bridge::testing
