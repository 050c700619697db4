#pragma once

#include <optional>

#include "support/Bytes.h"

namespace p11bridge::test {

enum class HashAlgorithm { Md5, Sha1, Sha256 };

Bytes Digest(HashAlgorithm algorithm, const Bytes& data);

// The DER DigestInfo of PKCS#1 (algorithm with NULL parameters, then the hash).
Bytes DigestInfo(HashAlgorithm algorithm, const Bytes& hash);

// True when signature is an RSA PKCS#1 v1.5 signature, by the key of the certificate,
// over a DigestInfo naming algorithm and holding hash.
bool VerifyPkcs1(const Bytes& certDer, const Bytes& hash, const Bytes& signature,
                 HashAlgorithm algorithm);

// The bytes that were signed (the payload inside the PKCS#1 type 1 padding), so a test can
// check exactly what the token received; nullopt when the signature does not open.
std::optional<Bytes> RecoverPkcs1Payload(const Bytes& certDer, const Bytes& signature);

}  // namespace p11bridge::test
