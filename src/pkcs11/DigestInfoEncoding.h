// The PKCS#1 DigestInfo that the token signs: the hash wrapped with the name of its algorithm.
#pragma once

#include <secdert.h>
#include <secoidt.h>

#include <cstddef>
#include <vector>

namespace p11bridge {

// DER_Encode takes templates in this older form, not SEC_ASN1Template.
extern DERTemplate SECAlgorithmIDTemplate[];
extern DERTemplate SGNDigestInfoTemplate[];

// The hash algorithm a hash of this many bytes is taken to come from: MD5 below 20 bytes, SHA-1
// at exactly 20, SHA-384 at 48, SHA-512 at 64, SHA-256 at any other length above 20.
SECOidTag DigestAlgorithmForLength(std::size_t length);

// The DER DigestInfo of the hash; false (with the NSS error set) when NSS cannot build it.
bool EncodeDigestInfo(const unsigned char* hash, std::size_t length,
                      std::vector<unsigned char>& der);

}  // namespace p11bridge
