#include "signature/PinInfo.h"

#include "signature/DigitalSignatureUtil.h"

namespace p11bridge {

PinMap gPines;

bool MissingPin() {
    for (const auto& entry : gPines)
        if (entry.second.pin.empty()) return true;
    return false;
}

bool InvalidPin() {
    for (const auto& entry : gPines)
        if (entry.second.invalid) return true;
    return false;
}

void OverwritePin(PinString& pin) {
    for (char& c : pin) c = 'X';
}

void DigitalSignatureUtil::SetPin(const std::string& module, const PinString& pin) {
    auto found = gPines.find(module);
    if (found == gPines.end()) {
        gPines[module].pin = pin;
        return;
    }
    PinInfoStruct& record = found->second;
    // The same PIN again keeps its verdict: a PIN the token refused is never presented twice.
    if (record.pin == pin) return;
    OverwritePin(record.pin);
    record.pin = pin;
    record.invalid = false;
}

bool DigitalSignatureUtil::MissingPin() {
    return p11bridge::MissingPin();
}
bool DigitalSignatureUtil::InvalidPin() {
    return p11bridge::InvalidPin();
}

std::vector<std::string> DigitalSignatureUtil::MissingPines() {
    std::vector<std::string> names;
    for (const auto& [name, record] : gPines)
        if (record.pin.empty()) names.push_back(name);
    return names;
}

std::vector<std::string> DigitalSignatureUtil::InvalidPines() {
    std::vector<std::string> names;
    for (const auto& [name, record] : gPines)
        if (record.invalid) names.push_back(name);
    return names;
}

int32_t DigitalSignatureUtil::InvalidPinRetries(const std::string& module) {
    auto found = gPines.find(module);
    return found == gPines.end() ? 0 : found->second.retries;
}

}  // namespace p11bridge
