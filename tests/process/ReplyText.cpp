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

namespace p11bridge::testing {

std::optional<std::string> Member(const std::string& reply, const std::string& name) {
    const std::string key = "\n\t\"" + name + "\" : ";
    std::size_t at = reply.find(key);
    if (at == std::string::npos) return std::nullopt;
    at += key.size();
    if (reply[at] != '"') {
        std::size_t end = reply.find_first_of(",\n", at);
        return reply.substr(at, end - at);
    }
    std::string value;
    for (std::size_t i = at + 1; i < reply.size() && reply[i] != '"'; ++i) {
        if (reply[i] != '\\') {
            value.push_back(reply[i]);
            continue;
        }
        char c = reply[++i];
        switch (c) {
            case 'r':
                value.push_back('\r');
                break;
            case 'n':
                value.push_back('\n');
                break;
            case 't':
                value.push_back('\t');
                break;
            case 'b':
                value.push_back('\b');
                break;
            case 'f':
                value.push_back('\f');
                break;
            case 'u':
                value.push_back(static_cast<char>(std::stoi(reply.substr(i + 1, 4), nullptr, 16)));
                i += 4;
                break;
            default:
                value.push_back(c);
        }
    }
    return value;
}

}  // namespace p11bridge::testing
