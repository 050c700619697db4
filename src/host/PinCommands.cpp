// The PIN entry commands. The PIN never leaves the host in a reply: only its length does.
#include "host/Pkcs11NativeMessagingHost.h"

namespace p11bridge {
namespace {

// The byte length of the UTF-8 sequence a lead byte starts, or 0 for a byte that starts none.
std::size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// One keystroke: a single byte (a \u00XX escape stands for its byte), or one whole UTF-8
// character. Anything longer would type several characters under one key.
bool IsOneCharacter(const json_string& text) {
    if (text.size() == 1) return true;
    const auto lead = static_cast<unsigned char>(text[0]);
    if (SequenceLength(lead) != text.size()) return false;
    for (std::size_t i = 1; i < text.size(); ++i)
        if (!IsContinuation(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// A control byte in a PIN is no key anyone typed: a NUL would end the PIN early on its way to the
// token, so "0000" and "0000\u0000a" would be two PINs here and one to the card.
bool HasControlByte(const json_string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20) return true;
    return false;
}

}  // namespace

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
    if ((member->type() == JSON_STRING || member->type() == JSON_NUMBER) && !HasControlByte(value))
        return true;
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
    // An empty text adds nothing rather than a NUL that the token would never see.
    if (!pinChar.empty() && !IsOneCharacter(pinChar)) {
        pinChar.wipe();
        return SendNativeErrorMessage(6, "Invalid member: pinChar");
    }
    m_pin.append(pinChar.data(), pinChar.size());
    pinChar.wipe();
    SendResponse(6, nullptr, JSONNode("ok", true));
}

void Pkcs11NativeMessagingHost::DeletePinChar(JSONNode*) {
    // Backspace takes the last character whole, as it was typed.
    std::size_t end = m_pin.size();
    if (end > 0) {
        std::size_t lead = end - 1;
        while (lead > 0 && end - lead < 4 &&
               IsContinuation(static_cast<unsigned char>(m_pin[lead])))
            --lead;
        const bool whole = SequenceLength(static_cast<unsigned char>(m_pin[lead])) == end - lead;
        for (std::size_t keep = whole ? lead : end - 1; m_pin.size() > keep;) {
            m_pin.back() = '\0';
            m_pin.pop_back();
        }
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
