// What the tests need of cryptography, all done by OpenSSL: Base64 as NSS writes it, digests,
// domain lists signed as a deployer signs them, and PKCS#1 v1.5 verification.
#pragma once

#include <optional>
#include <string>

#include "support/Bytes.h"

namespace p11bridge::test {

// Base64 of the bytes; with lineLength, a CR LF after every lineLength characters (NSS's style).
std::string Base64(const Bytes& data, std::size_t lineLength = 0);
// Empty optional when the text (CR and LF aside) is not Base64.
std::optional<Bytes> Base64Decode(const std::string& text);

// algorithm: md5, sha1, sha256, sha384 or sha512; throws std::invalid_argument otherwise.
Bytes Digest(const std::string& algorithm, const Bytes& data);

// The Base64 RSA PKCS#1 v1.5 SHA-1 signature of the text with the development domain-list key
// that test builds carry.
std::string SignDomainList(const std::string& text);
std::string DevelopmentPrivateKeyPath();

// True when signature is the PKCS#1 v1.5 signature of the DigestInfo of hash under algorithm,
// made with the key of the DER certificate.
bool VerifyPkcs1(const Bytes& certDer, const std::string& algorithm, const Bytes& hash,
                 const Bytes& signature);

}  // namespace p11bridge::test
