// The PIN entry commands. The PIN never leaves the host in a reply: only its length does.
#include "host/Pkcs11NativeMessagingHost.h"

namespace p11bridge {

const JSONNode* Pkcs11NativeMessagingHost::ReadMember(JSONNode* request, const char* name,
                                                      int command, json_string& value) {
    const JSONNode* found = nullptr;
    for (JSONNode::const_iterator it = request->begin(); it != request->end(); ++it) {
        if (it->name() != name) continue;
        // Readers disagree on which of two equal names counts (the browser keeps the last), so a
        // second one is refused rather than guessed: what the extension checked must be what
        // the host acts on.
        if (found) {
            SendNativeErrorMessage(command, std::string("Duplicate member: ") + name);
            return nullptr;
        }
        found = &*it;
    }
    if (!found) {
        SendNativeErrorMessage(command, std::string("Missing member: ") + name);
        return nullptr;
    }
    value = found->as_string();
    return found;
}

bool Pkcs11NativeMessagingHost::ReadPinMember(JSONNode* request, const char* name, int command,
                                              json_string& value) {
    const JSONNode* member = ReadMember(request, name, command, value);
    if (!member) return false;
    // The PIN goes to the card, where every wrong one costs a try. A value that is not text (a
    // malformed one reads as null) would be typed as "null", "true" or nothing at all, so it is
    // refused. Reading it has decoded it, so its type is final.
    if (member->type() == JSON_STRING || member->type() == JSON_NUMBER) return true;
    value.wipe();
    SendNativeErrorMessage(command, std::string("Invalid member: ") + name);
    return false;
}

void Pkcs11NativeMessagingHost::SetPin(JSONNode* request) {
    json_string pin;
    if (!ReadPinMember(request, "pin", 3, pin)) return;
    m_pin.wipe();
    m_pin.append(pin.data(), pin.size());
    SendResponse(3, nullptr, JSONNode("ok", true));
}

void Pkcs11NativeMessagingHost::ProcessPinChar(JSONNode* request) {
    json_string pinChar;
    if (!ReadPinMember(request, "pinChar", 6, pinChar)) return;
    // Only the first byte counts; an empty text adds nothing rather than a NUL that the token
    // would never see.
    if (!pinChar.empty()) m_pin.push_back(pinChar[0]);
    SendResponse(6, nullptr, JSONNode("ok", true));
}

void Pkcs11NativeMessagingHost::DeletePinChar(JSONNode*) {
    if (!m_pin.empty()) {
        m_pin.back() = '\0';
        m_pin.pop_back();
    }
    SendResponse(7, nullptr, JSONNode("ok", true));
}

void Pkcs11NativeMessagingHost::LoadPin(DigitalSignatureUtil& util) {
    // Until a response has named the PIN module, the typed PIN waits in the buffer.
    if (m_pinModuleName.empty() || m_pin.empty()) return;
    util.SetPin(m_pinModuleName, m_pin);
    OverwritePin(m_pin);
    m_pin.wipe();
}

}  // namespace p11bridge
