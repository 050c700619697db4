// Initialize requests whose domain lists are signed with the development key by the shipped
// p11bridge-sign-domains tool, so the tests also prove that what the tool signs is what the host
// accepts.
#pragma once

#include <string>

#include "support/DomainListSigner.h"

namespace p11bridge::testing {

inline std::string SignedInitialize(const std::string& domains, const std::string& currentDomain) {
    return R"({"command":0,"signature":")" + p11bridge::test::SignDomainList(domains) +
           R"(","domains":")" + domains + R"(","currentDomain":")" + currentDomain +
           R"(","caSubjectNames":""})";
}

}  // namespace p11bridge::testing
