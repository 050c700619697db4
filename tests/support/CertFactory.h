#pragma once

#include <string>

#include "support/Crypto.h"

namespace p11bridge::test {

// Key usage bits as they sit in the first byte of the X.509 KeyUsage bit string.
namespace KeyUsage {
constexpr unsigned kAbsent = 0;  // no key usage extension at all
constexpr unsigned kDigitalSignature = 0x80;
constexpr unsigned kNonRepudiation = 0x40;
constexpr unsigned kKeyCertSign = 0x04;
constexpr unsigned kCrlSign = 0x02;
constexpr unsigned kSigning = kDigitalSignature | kNonRepudiation;
}  // namespace KeyUsage

struct CertRequest {
    std::string commonName = "p11bridge Test Signer";
    // Validity in days relative to now: expired is {-30, -1}, not yet valid {1, 30}.
    int validFromDays = -1;
    int validToDays = 365;
    unsigned keyUsage = KeyUsage::kSigning;
    int keyBits = 2048;
    SharedKey key;  // reuse this key instead of generating one
    int curve = 0;  // else an EC key on this curve (NID_X9_62_prime256v1, NID_secp384r1...)
};

struct IssuedCert {
    Bytes der;
    std::string derPath;     // <dir>/<name>.der
    std::string keyPemPath;  // <dir>/<name>.key.pem, PKCS#8
    SharedKey key;
};

// Builds keys and certificates at test time, so no stored test data can expire.
class CertFactory {
public:
    explicit CertFactory(std::string directory);

    IssuedCert Issue(const std::string& name, const CertRequest& request = {});
    // The issuing CA, made on first use ("CN=p11bridge Test CA").
    const IssuedCert& Ca();

    static SharedKey GenerateRsaKey(int bits = 2048);
    static SharedKey GenerateEcKey(int curve);

private:
    std::string directory_;
    IssuedCert ca_;
    OpenSslPtr<X509> caCert_;
};

}  // namespace p11bridge::test
