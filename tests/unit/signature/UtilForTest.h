// A utility with no token behind it: the core's own operations are what these tests exercise.
#pragma once

#include "signature/DigitalSignatureUtil.h"

namespace p11bridge::testing {

class CoreUtil : public DigitalSignatureUtil {
public:
    CoreUtil(std::string sig = "", std::string list = "", std::string current = "")
        : DigitalSignatureUtil(std::move(sig), std::move(list), std::move(current)) {}
    std::string ListCertificates(std::string) override { return {}; }
    bool IsInitialized() override { return false; }
    std::vector<NameValueMap> GetCADistinguishedNames(std::string names) override {
        return GetNameValueMaps(names);
    }
    std::string GetCertificateBase64(std::string) override { return {}; }
    std::string SignPkcs1Base64(std::string, std::string) override { return {}; }
    bool IsAuthorized() override { return false; }
    bool NeedConfigDir() override { return true; }
    void ClearPin() override { gPines.clear(); }
};

}  // namespace p11bridge::testing
