#include "pkcs11/SigningMechanisms.h"

#include <cert.h>
#include <prprf.h>
#include <secerr.h>
#include <secport.h>

#include <cstdio>

#include "pkcs11/DigestInfoEncoding.h"

namespace p11bridge {
namespace {

constexpr std::size_t kMd5Length = 16;

bool IsShaLength(std::size_t length) {
    return length == 20 || length == 32 || length == 48 || length == 64;
}

}  // namespace

bool IsAcceptedDigestLength(std::size_t length) {
    return length == kMd5Length || IsShaLength(length);
}

bool IsSigningKeyType(CK_KEY_TYPE type) {
    return type == CKK_RSA || type == CKK_EC;
}

bool AcceptsDigestLength(CK_KEY_TYPE type, std::size_t length) {
    if (type == CKK_RSA) return IsAcceptedDigestLength(length);
    // ECDSA over MD5 is no signature any verifier accepts.
    if (type == CKK_EC) return IsShaLength(length);
    return false;
}

CK_KEY_TYPE KeyTypeOfPublicKey(SECOidTag algorithm) {
    switch (algorithm) {
        case SEC_OID_PKCS1_RSA_ENCRYPTION:
        case SEC_OID_PKCS1_RSA_PSS_SIGNATURE:
        case SEC_OID_X500_RSA_ENCRYPTION:
            return CKK_RSA;
        case SEC_OID_ANSIX962_EC_PUBLIC_KEY:
            return CKK_EC;
        case SEC_OID_ANSIX9_DSA_SIGNATURE:
            return CKK_DSA;
        case SEC_OID_X942_DIFFIE_HELMAN_KEY:
            return CKK_DH;
        default:
            return CKK_VENDOR_DEFINED;
    }
}

std::string KeyTypeName(CK_KEY_TYPE type) {
    const char* name = "unknown";
    switch (type) {
        case CKK_RSA:
            name = "CKK_RSA";
            break;
        case CKK_DSA:
            name = "CKK_DSA";
            break;
        case CKK_DH:
            name = "CKK_DH";
            break;
        case CKK_EC:
            name = "CKK_EC";
            break;
        case CKK_X9_42_DH:
            name = "CKK_X9_42_DH";
            break;
        case CKK_GOSTR3410:
            name = "CKK_GOSTR3410";
            break;
        case CKK_VENDOR_DEFINED:
            name = "unknown";
            break;
        default:
            break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s (0x%lX)", name, static_cast<unsigned long>(type));
    return text;
}

std::string PublicKeyName(const SECAlgorithmID& algorithm) {
    const CK_KEY_TYPE type = KeyTypeOfPublicKey(SECOID_GetAlgorithmTag(&algorithm));
    if (type != CKK_VENDOR_DEFINED) return KeyTypeName(type);
    char* oid = CERT_GetOidString(&algorithm.algorithm);
    std::string name = oid ? oid : "an unknown key type";
    if (oid) PR_smprintf_free(oid);
    return name;
}

bool PrepareSigningInput(CK_KEY_TYPE type, const unsigned char* hash, std::size_t length,
                         CK_MECHANISM_TYPE& mechanism, std::vector<unsigned char>& input) {
    if (!AcceptsDigestLength(type, length)) {
        PORT_SetError(SEC_ERROR_INPUT_LEN);
        return false;
    }
    if (type == CKK_EC) {
        mechanism = CKM_ECDSA;
        input.assign(hash, hash + length);
        return true;
    }
    mechanism = CKM_RSA_PKCS;
    return EncodeDigestInfo(hash, length, input);
}

}  // namespace p11bridge
