#include "host/Pkcs11NativeMessagingHost.h"

namespace p11bridge {

void Pkcs11NativeMessagingHost::SendResponse(int command, DigitalSignatureUtil* util,
                                             const JSONNode& result) {
    // Only a response that hands over a utility refreshes the error state; the PIN commands
    // repeat what the last token command left.
    if (util) {
        m_lastError = util->LastError();
        m_lastLowLevelError = util->LastLowLevelError();
        m_errorMessage = util->LastErrorMessage();
    }
    JSONNode reply(JSON_NODE);
    reply.push_back(JSONNode("command", command));
    reply.push_back(JSONNode("error", m_lastError != 0));
    reply.push_back(JSONNode("errorMessage", m_errorMessage));
    reply.push_back(JSONNode("lastError", m_lastError));
    reply.push_back(JSONNode("lastLowLevelError", static_cast<long>(m_lastLowLevelError)));
    reply.push_back(JSONNode("pinModuleName", m_pinModuleName));
    reply.push_back(JSONNode("missingPin", m_missingPin));
    reply.push_back(JSONNode("invalidPin", m_invalidPin));
    reply.push_back(JSONNode("pinLength", static_cast<unsigned long>(m_pin.size())));
    if (util) reply.push_back(JSONNode("pinRetryCount", util->InvalidPinRetries(m_pinModuleName)));
    reply.push_back(result);
    SendNativeMessage(reply);
}

void Pkcs11NativeMessagingHost::SendNativeAknowlegeMessage(int command, const std::string& message,
                                                           const JSONNode* extra) {
    JSONNode reply(JSON_NODE);
    reply.push_back(JSONNode("command", command));
    reply.push_back(JSONNode("error", false));
    reply.push_back(JSONNode("message", message));
    if (extra) reply.push_back(*extra);
    SendNativeMessage(reply);
}

}  // namespace p11bridge
