#include "DomainCheck.h"

#include <keyhi.h>
#include <nssb64.h>
#include <pk11pub.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "pkcs11/DigitalSignatureUtilPkcs11.h"
#include "pkcs11/NssOwners.h"
#include "pkcs11/PublicKeyDecoding.h"

namespace p11bridge::doctor {
namespace {

constexpr unsigned kSha256Length = 32;

std::string Fingerprint(const unsigned char* hash) {
    std::string text;
    char pair[4];
    for (unsigned i = 0; i < kSha256Length; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : ":%02x", hash[i]);
        text += pair;
    }
    return text;
}

}  // namespace

void CheckDomainKey(Report& report) {
    const char* keyText = DigitalSignatureUtil::GetZerithPublicKey();
    Item der(NSSBase64_DecodeBuffer(nullptr, nullptr, keyText,
                                    static_cast<unsigned int>(std::strlen(keyText))));
    PublicKey key = der ? miSECKEY_DecodeDERPublicKey(der.get()) : nullptr;
    unsigned char hash[kSha256Length];
    if (!key || PK11_HashBuf(SEC_OID_SHA256, hash, der->data, static_cast<PRInt32>(der->len)) !=
                    SECSuccess) {
        report.Problem(
            "the domain-list key built into this build cannot be decoded, so the host "
            "refuses every page; rebuild with a PEM RSA public key in "
            "P11BRIDGE_DOMAIN_KEY");
        return;
    }
    key->keyType = rsaKey;
    std::string text = "domain-list key built into this build (host and doctor share it): RSA " +
                       std::to_string(SECKEY_PublicKeyStrengthInBits(key.get())) +
                       " bits, SHA-256 " + Fingerprint(hash);
#if P11BRIDGE_DEVELOPMENT_DOMAIN_KEY
    text +=
        "; this is the development key from tests/data, whose private half is public: fine "
        "for the demo and tests, never for a deployment";
#endif
    report.Ok(text);
    report.Detail(
        "compare: openssl rsa -pubin -in KEY.pub.pem -RSAPublicKey_out -outform DER | "
        "sha256sum");
}

void CheckDomainAuthorisation(Report& report, const std::string& domains,
                              const std::string& signature, const std::string& origin) {
    std::unique_ptr<DigitalSignatureUtil> util =
        DigitalSignatureUtilPkcs11::Create(signature, domains, origin);
    std::string page = "the page at " + origin + " (domain \"" + util->CurrentDomain() + "\")";
    if (util->IsAuthorized()) {
        for (const std::string& entry : util->Domains()) {
            if (DigitalSignatureUtil::DomainMatches(entry, util->CurrentDomain())) {
                report.Ok(page + " is authorised by the entry \"" + entry +
                          "\" of the signed domain list");
                return;
            }
        }
    }
    std::string entries;
    for (const std::string& entry : util->Domains()) {
        entries += (entries.empty() ? "\"" : ", \"") + entry + "\"";
    }
    switch (util->LastError()) {
        case kErrDomainNotAuthorized:
            report.Problem(page +
                           " is not authorised: no matching entry; the signature is good, "
                           "but no entry of the list (" +
                           (entries.empty() ? "none" : entries) +
                           ") covers that domain; add it to the list and sign the list again");
            break;
        case kErrBadDomainSignature:
            report.Problem(page +
                           " is not authorised: the signature does not verify over this "
                           "domain list with the built-in key (" +
                           util->LastErrorMessage() +
                           "); the list was signed with another key, or its text differs from "
                           "what was signed (every byte counts, spaces too)");
            break;
        default:
            report.Problem(page + " is not authorised: error " + std::to_string(util->LastError()) +
                           " (" + util->LastErrorMessage() + ")");
            break;
    }
}

}  // namespace p11bridge::doctor
