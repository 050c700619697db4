#include "pkcs11/DigestInfoEncoding.h"

#include <secder.h>
#include <secdig.h>
#include <secerr.h>

#include <cstddef>

#include "pkcs11/NssOwners.h"

namespace p11bridge {

DERTemplate SECAlgorithmIDTemplate[] = {
    {DER_SEQUENCE, 0, nullptr, sizeof(SECAlgorithmID)},
    {DER_OBJECT_ID, offsetof(SECAlgorithmID, algorithm), nullptr, 0},
    {DER_OPTIONAL | DER_ANY, offsetof(SECAlgorithmID, parameters), nullptr, 0},
    {0, 0, nullptr, 0},
};

DERTemplate SGNDigestInfoTemplate[] = {
    {DER_SEQUENCE, 0, nullptr, sizeof(SGNDigestInfo)},
    {DER_INLINE, offsetof(SGNDigestInfo, digestAlgorithm), SECAlgorithmIDTemplate, 0},
    {DER_OCTET_STRING, offsetof(SGNDigestInfo, digest), nullptr, 0},
    {0, 0, nullptr, 0},
};

SECOidTag DigestAlgorithmForLength(std::size_t length) {
    switch (length) {
        case 20:
            return SEC_OID_SHA1;
        case 48:
            return SEC_OID_SHA384;
        case 64:
            return SEC_OID_SHA512;
        default:
            return length < 20 ? SEC_OID_MD5 : SEC_OID_SHA256;
    }
}

bool EncodeDigestInfo(const unsigned char* hash, std::size_t length,
                      std::vector<unsigned char>& der) {
    if (length > 0xFFFFFFFFu) {
        PORT_SetError(SEC_ERROR_INPUT_LEN);
        return false;
    }
    Arena arena(PORT_NewArena(DER_DEFAULT_CHUNKSIZE));
    if (!arena) return false;
    DigestInfo info(SGN_CreateDigestInfo(DigestAlgorithmForLength(length),
                                         const_cast<unsigned char*>(hash),
                                         static_cast<unsigned int>(length)));
    if (!info) return false;
    SECItem encoded{siBuffer, nullptr, 0};
    if (DER_Encode(arena.get(), &encoded, SGNDigestInfoTemplate, info.get()) != SECSuccess) {
        return false;
    }
    der.assign(encoded.data, encoded.data + encoded.len);
    return true;
}

}  // namespace p11bridge
