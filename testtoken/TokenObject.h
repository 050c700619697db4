#pragma once

#include <pkcs11.h>

#include <map>
#include <set>

#include "Scenario.h"

namespace p11bridge::testtoken {

// One object on a token: a certificate or an RSA private key, with its attributes
// already encoded the way C_GetAttributeValue hands them out.
struct TokenObject {
    CK_OBJECT_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    bool isPrivate = false;
    PrivateKey key;  // set for private keys only
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    std::set<CK_ATTRIBUTE_TYPE> sensitive;

    static TokenObject Certificate(CK_OBJECT_HANDLE handle, const CertSpec& definition);
    static TokenObject RsaPrivateKey(CK_OBJECT_HANDLE handle, const KeySpec& definition);

    // True when every attribute of the template is present with exactly that value.
    bool Matches(const CK_ATTRIBUTE* templ, CK_ULONG count) const;
};

}  // namespace p11bridge::testtoken
