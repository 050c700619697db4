// Signs domain lists with the development key through the shipped p11bridge-sign-domains tool,
// so the tests also prove that what the tool signs is what the host accepts.
#pragma once

#include <string>

namespace p11bridge::testing {

std::string SignDomainList(const std::string& domains);

// An Initialize request whose domain list is signed with the development key.
std::string SignedInitialize(const std::string& domains, const std::string& currentDomain);

}  // namespace p11bridge::testing
