// The domain-list key built into the host, and whether a signed list authorises a page.
#pragma once

#include <string>

#include "Report.h"

namespace p11bridge::doctor {

// The key's size and SHA-256 fingerprint (over its DER RSAPublicKey), to compare with the key a
// deployment signs its lists with.
void CheckDomainKey(Report& report);

// Runs the host's own authorisation for the list, its Base64 signature and the page's origin.
void CheckDomainAuthorisation(Report& report, const std::string& domains,
                              const std::string& signature, const std::string& origin);

}  // namespace p11bridge::doctor
