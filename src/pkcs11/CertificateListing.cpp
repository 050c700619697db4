#include "pkcs11/CertificateListing.h"

#include <certt.h>

#include "pkcs11/CertificateDecoding.h"

namespace p11bridge {
namespace {

constexpr char kCertificateNickname[] = "Certificado";

}  // namespace

unsigned ListingObstacles(const std::vector<unsigned char>& id, std::vector<unsigned char>& der,
                          PRTime now, Certificate& decoded) {
    unsigned obstacles = id.empty() ? listing::kEmptyId : listing::kListed;
    decoded.reset();
    if (der.empty()) return obstacles | listing::kUndecodable;
    SECItem derItem{siBuffer, der.data(), static_cast<unsigned int>(der.size())};
    decoded.reset(
        certificate_decoding::CERT_DecodeDERCertificate(&derItem, PR_TRUE, kCertificateNickname));
    if (!decoded) return obstacles | listing::kUndecodable;
    if (!(decoded->keyUsage & KU_DIGITAL_SIGNATURE)) obstacles |= listing::kNoDigitalSignature;
    if (!(decoded->keyUsage & KU_NON_REPUDIATION)) obstacles |= listing::kNoNonRepudiation;
    switch (CERT_CheckCertValidTimes(decoded.get(), now, PR_FALSE)) {
        case secCertTimeValid:
            break;
        case secCertTimeExpired:
            obstacles |= listing::kExpired;
            break;
        case secCertTimeNotValidYet:
            obstacles |= listing::kNotYetValid;
            break;
        default:
            obstacles |= listing::kUndecodable;
            break;
    }
    return obstacles;
}

}  // namespace p11bridge
