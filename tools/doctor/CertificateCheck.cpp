#include "CertificateCheck.h"

#include <cert.h>
#include <keyhi.h>
#include <prtime.h>
#include <secoid.h>

#include <ctime>
#include <string>
#include <vector>

#include "Cryptoki.h"
#include "pkcs11/CertificateListing.h"
#include "pkcs11/SigningMechanisms.h"
#include "pkcs11/TokenReads.h"

namespace p11bridge::doctor {
namespace {

const char* const kUsageNames[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                   "dataEncipherment", "keyAgreement",   "keyCertSign",
                                   "cRLSign",          "encipherOnly"};

std::string DateText(PRTime time) {
    std::time_t seconds = static_cast<std::time_t>(time / PR_USEC_PER_SEC);
    std::tm parts{};
    char text[32] = "?";
    if (gmtime_r(&seconds, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

std::string KeyUsageText(const CERTCertificate& cert) {
    if (!cert.keyUsagePresent) return "no key-usage extension (the host takes that as every usage)";
    std::string text;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (cert.keyUsage & (0x80U >> bit))
            text += (text.empty() ? "" : ", ") + std::string(kUsageNames[bit]);
    }
    return text.empty() ? "none" : text;
}

// The named curve of an EC public key: P-256, P-384, P-521, NSS's name of another, or nothing.
std::string CurveText(const SECItem& parameters) {
    // A named curve is given as its DER OBJECT IDENTIFIER.
    if (parameters.len < 2 || parameters.data[0] != 0x06 ||
        parameters.data[1] != parameters.len - 2)
        return "on a curve given by its parameters, not named";
    SECItem oid{siBuffer, parameters.data + 2, parameters.len - 2};
    SECOidTag tag = SECOID_FindOIDTag(&oid);
    switch (tag) {
        case SEC_OID_ANSIX962_EC_PRIME256V1:
            return "P-256";
        case SEC_OID_SECG_EC_SECP384R1:
            return "P-384";
        case SEC_OID_SECG_EC_SECP521R1:
            return "P-521";
        default:
            break;
    }
    const char* name = tag == SEC_OID_UNKNOWN ? nullptr : SECOID_FindOIDTagDescription(tag);
    return std::string("on the curve ") + (name ? name : "of an unknown OID");
}

// The key as the host judges it (its own key-type rule) with its size or curve.
std::string KeyText(CERTCertificate* cert, CK_KEY_TYPE type) {
    if (type == CKK_RSA) {
        PublicKey key(CERT_ExtractPublicKey(cert));
        unsigned bits = key ? SECKEY_PublicKeyStrengthInBits(key.get()) : 0;
        return bits ? "RSA " + std::to_string(bits) + " bits" : "RSA of unreadable size";
    }
    if (type == CKK_EC) return "EC " + CurveText(cert->subjectPublicKeyInfo.algorithm.parameters);
    return KeyTypeName(type);
}

// Each reason the host leaves the certificate out, with what to do about it.
std::string ObstacleText(unsigned obstacles, CERTCertificate* cert) {
    PRTime notBefore = 0;
    PRTime notAfter = 0;
    if (cert) CERT_GetCertTimes(cert, &notBefore, &notAfter);
    std::vector<std::string> reasons;
    if (obstacles & listing::kEmptyId) {
        reasons.push_back(
            "empty CKA_ID (the host names certificates and finds their keys by it: "
            "import the certificate again under its key's CKA_ID)");
    }
    if (obstacles & listing::kUndecodable) {
        reasons.push_back(
            "undecodable: its value is no X.509 certificate the host can read "
            "(import the DER certificate again)");
    }
    if (obstacles & listing::kNoDigitalSignature) {
        reasons.push_back("no digitalSignature in its key usage");
    }
    if (obstacles & listing::kNoNonRepudiation) {
        reasons.push_back("no nonRepudiation in its key usage");
    }
    if (obstacles & (listing::kNoDigitalSignature | listing::kNoNonRepudiation)) {
        reasons.back() +=
            " (the host lists only signing certificates, which have both; this one "
            "is meant for another use)";
    }
    if (obstacles & listing::kExpired) {
        reasons.push_back("expired on " + DateText(notAfter) + " (renew it)");
    }
    if (obstacles & listing::kNotYetValid) {
        reasons.push_back("not yet valid: valid from " + DateText(notBefore) +
                          " (or this computer's clock is wrong)");
    }
    std::string text;
    for (const std::string& reason : reasons) text += (text.empty() ? "" : "; ") + reason;
    return text;
}

std::vector<unsigned char> Label(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session,
                                 CK_OBJECT_HANDLE object) {
    CK_ATTRIBUTE attribute[] = {{CKA_LABEL, nullptr, 0}};
    std::vector<std::vector<unsigned char>> values;
    if (ReadAttributeValues(p11, session, object, attribute, 1, values) != CKR_OK) return {};
    return values[0];
}

// The CKA_IDs of the private keys a public session sees. SoftHSM2 and many tokens show none
// before login; OpenSC shows a card's keys, and a token that shows private keys is taken to show
// all it has.
std::vector<std::vector<unsigned char>> VisibleKeyIds(CK_FUNCTION_LIST* p11,
                                                      CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
    std::vector<CK_OBJECT_HANDLE> keys;
    std::vector<std::vector<unsigned char>> ids;
    if (FindObjects(p11, session, search, 1, keys) != CKR_OK) return ids;
    for (CK_OBJECT_HANDLE key : keys) {
        CK_ATTRIBUTE attribute[] = {{CKA_ID, nullptr, 0}};
        std::vector<std::vector<unsigned char>> values;
        if (ReadAttributeValues(p11, session, key, attribute, 1, values) == CKR_OK) {
            ids.push_back(values[0]);
        }
    }
    return ids;
}

bool AlwaysAuthenticate(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_ATTRIBUTE attribute[] = {{CKA_ALWAYS_AUTHENTICATE, nullptr, 0}};
    std::vector<std::vector<unsigned char>> values;
    return ReadAttributeValues(p11, session, key, attribute, 1, values) == CKR_OK &&
           values[0].size() == sizeof(CK_BBOOL) && values[0][0] == CK_TRUE;
}

// Every X.509 certificate object the session sees, as the host's listing searches them.
CK_RV FindCertificates(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session,
                       std::vector<CK_OBJECT_HANDLE>& objects) {
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &certificateClass, sizeof certificateClass},
        {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
    };
    return FindObjects(p11, session, search, 2, objects);
}

}  // namespace

std::size_t CountListed(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session) {
    std::vector<CK_OBJECT_HANDLE> objects;
    std::size_t listed = 0;
    if (FindCertificates(p11, session, objects) != CKR_OK) return listed;
    for (CK_OBJECT_HANDLE object : objects) {
        CK_ATTRIBUTE attributes[] = {{CKA_ID, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
        std::vector<std::vector<unsigned char>> values;
        Certificate cert;
        if (ReadAttributeValues(p11, session, object, attributes, 2, values) == CKR_OK &&
            ListingObstacles(values[0], values[1], PR_Now(), cert) == listing::kListed) {
            ++listed;
        }
    }
    return listed;
}

namespace {

void CheckPrivateKey(Report& report, CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session,
                     std::vector<unsigned char>& id, const CK_TOKEN_INFO& token,
                     const std::vector<std::vector<unsigned char>>& visibleIds,
                     const std::string& name) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                             {CKA_ID, id.data(), id.size()}};
    std::vector<CK_OBJECT_HANDLE> keys;
    CK_RV rv = FindObjects(p11, session, search, 2, keys);
    if (rv != CKR_OK) {
        report.Warning(name + ": the search for its private key failed: " + ReturnValueText(rv));
    } else if (!keys.empty()) {
        report.Ok(name + ": its private key, under the same CKA_ID, is on the token");
        if (AlwaysAuthenticate(p11, session, keys[0])) {
            report.Ok(name +
                      ": its private key needs the PIN for every use (CKA_ALWAYS_AUTHENTICATE), "
                      "so the host will ask for the PIN before every signature with it");
        } else {
            report.Ok(name +
                      ": its private key does not need the PIN for every use (no "
                      "CKA_ALWAYS_AUTHENTICATE), so the host keeps the PIN for the tab's life "
                      "once it is given");
        }
    } else if (!visibleIds.empty()) {
        std::string shown;
        for (const auto& other : visibleIds) shown += (shown.empty() ? "" : ", ") + HexText(other);
        report.Problem(name +
                       ": its private key is missing: the token shows its private keys without "
                       "the PIN (CKA_ID " +
                       shown + "), and none has CKA_ID " + HexText(id) +
                       ", so signing with it will fail; import its key under CKA_ID " +
                       HexText(id));
    } else if (token.flags & CKF_LOGIN_REQUIRED) {
        report.Ok(name +
                  ": its private key is not visible before login, as this token shows "
                  "private keys only to a session that gave the PIN (which the doctor never "
                  "asks for); the host looks for it under the same CKA_ID when it signs");
    } else {
        report.Warning(name +
                       ": no private key with the same CKA_ID is visible without login; "
                       "unless the token hides it until the PIN is given, signing will fail "
                       "(import the key under CKA_ID " +
                       HexText(id) + ")");
    }
}

}  // namespace

void CheckCertificates(Report& report, CK_FUNCTION_LIST* p11, CK_SLOT_ID slot,
                       const CK_TOKEN_INFO& token) {
    Session session(p11, slot);
    if (session.Result() != CKR_OK) {
        report.Problem("cannot open a session on the token: " + ReturnValueText(session.Result()) +
                       "; the host reports \"open session\"");
        return;
    }
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_RV rv = FindCertificates(p11, session.Handle(), objects);
    if (rv != CKR_OK) {
        report.Problem("the search for certificates on the token failed: " + ReturnValueText(rv));
        return;
    }
    std::vector<std::vector<unsigned char>> visibleIds = VisibleKeyIds(p11, session.Handle());
    int listed = 0;
    for (CK_OBJECT_HANDLE object : objects) {
        CK_ATTRIBUTE attributes[] = {{CKA_ID, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
        std::vector<std::vector<unsigned char>> values;
        rv = ReadAttributeValues(p11, session.Handle(), object, attributes, 2, values);
        std::vector<unsigned char> label = Label(p11, session.Handle(), object);
        std::string name = label.empty()
                               ? std::string("unlabelled certificate")
                               : "certificate \"" + std::string(label.begin(), label.end()) + "\"";
        if (rv != CKR_OK) {
            report.Warning(name + " cannot be read (" + ReturnValueText(rv) +
                           "), so the host skips it");
            continue;
        }
        std::vector<unsigned char>& id = values[0];
        name += " (CKA_ID " + (id.empty() ? std::string("empty") : HexText(id)) + ")";
        Certificate cert;
        unsigned obstacles = ListingObstacles(id, values[1], PR_Now(), cert);
        if (obstacles == listing::kListed) {
            ++listed;
            report.Ok(name + " will be listed");
        } else {
            report.Warning(name + " will not be listed: " + ObstacleText(obstacles, cert.get()));
        }
        if (cert) {
            PRTime notBefore = 0;
            PRTime notAfter = 0;
            CERT_GetCertTimes(cert.get(), &notBefore, &notAfter);
            report.Detail(std::string("subject: ") + (cert->subjectName ? cert->subjectName : "?"));
            report.Detail(std::string("issuer: ") + (cert->issuerName ? cert->issuerName : "?"));
            report.Detail("valid from " + DateText(notBefore) + " to " + DateText(notAfter));
            report.Detail("key usage: " + KeyUsageText(*cert));
            CK_KEY_TYPE type =
                KeyTypeOfPublicKey(SECOID_GetAlgorithmTag(&cert->subjectPublicKeyInfo.algorithm));
            report.Detail("key: " + KeyText(cert.get(), type));
            if (obstacles == listing::kListed && !IsSigningKeyType(type)) {
                report.Warning(name + ": its key is " + KeyTypeName(type) +
                               ", which the host cannot sign with (only RSA and EC keys): the "
                               "page lists it, but a signature with it fails with code 14 "
                               "before the PIN is asked for");
            }
        }
        if (obstacles == listing::kListed) {
            CheckPrivateKey(report, p11, session.Handle(), id, token, visibleIds, name);
        }
    }
    if (objects.empty()) {
        report.Problem(
            "the token holds no certificate, so the page lists nothing; import the "
            "signing certificate under its private key's CKA_ID");
    } else if (listed == 0) {
        report.Problem(
            "no certificate on the token will be listed, so the page lists nothing "
            "(see the reasons above)");
    }
}

}  // namespace p11bridge::doctor
