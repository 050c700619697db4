#include "signature/DigitalSignatureUtil.h"

#include <utility>

namespace p11bridge {

DigitalSignatureUtil::DigitalSignatureUtil(std::string signatureText, std::string domainsList,
                                           std::string currentAddress) {
    lastErrorMessage.clear();
    LoadDomains(domainsList);
    currentDomain = extractDomainName(trim(currentAddress));
    // The signature covers the list exactly as received, so keep the untouched text.
    domainsText = std::move(domainsList);
    signature = std::move(signatureText);
}

DigitalSignatureUtil::~DigitalSignatureUtil() = default;

}  // namespace p11bridge
