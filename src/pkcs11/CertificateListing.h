// The rule that decides which certificates on the token the host lists.
#pragma once

#include <prtime.h>

#include <vector>

#include "pkcs11/NssOwners.h"

namespace p11bridge {

// Each reason the host leaves a certificate out of its list; a certificate may have several.
namespace listing {
constexpr unsigned kListed = 0;
constexpr unsigned kEmptyId = 1U << 0;
constexpr unsigned kUndecodable = 1U << 1;  // includes an empty value and unreadable dates
constexpr unsigned kNoDigitalSignature = 1U << 2;
constexpr unsigned kNoNonRepudiation = 1U << 3;
constexpr unsigned kExpired = 1U << 4;
constexpr unsigned kNotYetValid = 1U << 5;
}  // namespace listing

// The reasons (listing::...) why a certificate object with this CKA_ID and CKA_VALUE is not listed
// at `now`; listing::kListed when it is. `decoded` receives the decoded record whenever the value
// decodes, listed or not. The key usage comes from the host's own decoder, so a certificate
// without the extension counts as allowing every usage.
unsigned ListingObstacles(const std::vector<unsigned char>& id, std::vector<unsigned char>& der,
                          PRTime now, Certificate& decoded);

}  // namespace p11bridge
