// Decoding of the DER PKCS#1 RSAPublicKey that authorises domain lists.
#pragma once

#include <keythi.h>

#include "pkcs11/NssOwners.h"

namespace p11bridge {

// Marks the modulus and exponent as unsigned integers so that the decoder strips their leading
// zero bytes.
void miprepare_rsa_pub_key_for_asn1(SECKEYPublicKey* pubk);

// A new key record decoded from DER, or nothing (with the NSS error set). The record holds its own
// copy of the bytes, so the caller may release the input at once. The key type is left for the
// caller to set.
PublicKey miSECKEY_DecodeDERPublicKey(const SECItem* der);

}  // namespace p11bridge
