// The certificates on the token the host takes, judged by the host's own listing rule.
#pragma once

#include <pkcs11.h>

#include <cstddef>

#include "Report.h"

namespace p11bridge::doctor {

// Looks through a public session, as the host does before the PIN: every X.509 certificate, why
// the host lists it or not, and whether its private key is in sight.
// How many certificates on the token the host lists, by its own rule: what the host asks of a
// token when it chooses the one to list.
std::size_t CountListed(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session);

void CheckCertificates(Report& report, CK_FUNCTION_LIST* p11, CK_SLOT_ID slot,
                       const CK_TOKEN_INFO& token);

}  // namespace p11bridge::doctor
