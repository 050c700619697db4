// How a private key of each type signs the hash a page computed: the mechanism, what the token is
// given, and which hash lengths the key can take.
#pragma once

#include <pkcs11.h>
#include <secoid.h>
#include <secoidt.h>

#include <cstddef>
#include <string>
#include <vector>

namespace p11bridge {

// Any hash length some key type can sign: MD5, SHA-1, SHA-256, SHA-384 and SHA-512.
bool IsAcceptedDigestLength(std::size_t length);

// Whether a key of this type signs hashes at all, and hashes of this length.
bool IsSigningKeyType(CK_KEY_TYPE type);
bool AcceptsDigestLength(CK_KEY_TYPE type, std::size_t length);

// The key type a certificate's public key stands for (CKK_VENDOR_DEFINED when none known), so
// that a key the host cannot sign with is refused before the PIN is asked for.
CK_KEY_TYPE KeyTypeOfPublicKey(SECOidTag algorithm);

// "CKK_DSA (0x1)": the name a refusal gives the key type.
std::string KeyTypeName(CK_KEY_TYPE type);

// The same for a certificate's public key; one no key type stands for is named by its algorithm's
// object identifier ("OID.1.3.101.112").
std::string PublicKeyName(const SECAlgorithmID& algorithm);

// The mechanism and the bytes the token signs: an RSA key signs the DER DigestInfo of the hash
// with CKM_RSA_PKCS; an EC key signs the hash as it is with CKM_ECDSA and answers r then s.
// False, with the NSS error set, when the input cannot be built.
bool PrepareSigningInput(CK_KEY_TYPE type, const unsigned char* hash, std::size_t length,
                         CK_MECHANISM_TYPE& mechanism, std::vector<unsigned char>& input);

}  // namespace p11bridge
