// What the back-end tests share: the page they serve, the PIN record's name and the texts the
// back end hands out.
#pragma once

#include <memory>
#include <string>

#include "pkcs11/DigitalSignatureUtilPkcs11.h"
#include "signature/PinInfo.h"
#include "support/Base64.h"
#include "support/CertFactory.h"
#include "support/DomainListSigner.h"

namespace p11bridge::test {

constexpr char kModuleName[] = "Certificado QARTO";
constexpr char kPinMissingMessage[] = "No se ha definido el pin para Certificado QARTO";
constexpr char kPinInvalidMessage[] = "Pin invalido para Certificado QARTO";
constexpr char kDomains[] = "example.org|other.net";
constexpr char kPage[] = "https://www.example.org/sign?x=1";

// A utility for a page on an authorised domain, its domain list signed with the development key.
inline std::unique_ptr<DigitalSignatureUtilPkcs11> AuthorisedUtility() {
    return std::make_unique<DigitalSignatureUtilPkcs11>("", SignDomainList(kDomains), kDomains,
                                                        kPage);
}

// The page's PIN reaches the records the way the host hands it over.
inline void GivePin(DigitalSignatureUtil& utility, const std::string& pin) {
    utility.SetPin(kModuleName, SecureString(pin));
}

// One certificate as the listing names it: issuer|subject|identifier.
inline std::string ListingEntry(const IssuedCert& cert, const Bytes& id) {
    return cert.issuer + "|" + cert.subject + "|" + Base64Encode(id, 64);
}

}  // namespace p11bridge::test
