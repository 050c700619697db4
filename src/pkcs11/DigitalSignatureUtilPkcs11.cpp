#include "pkcs11/DigitalSignatureUtilPkcs11.h"

#include <cryptohi.h>
#include <nspr.h>
#include <nss.h>
#include <nssb64.h>
#include <pk11pub.h>
#include <secerr.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "pkcs11/CertificateListing.h"
#include "pkcs11/NssOwners.h"
#include "pkcs11/Pkcs11Module.h"
#include "pkcs11/PublicKeyDecoding.h"
#include "pkcs11/RefusedPins.h"
#include "pkcs11/SigningMechanisms.h"
#include "pkcs11/TokenFrame.h"
#include "pkcs11/TokenReads.h"
#include "signature/PinInfo.h"

namespace p11bridge {
namespace {

constexpr char kModuleName[] = "Certificado QARTO";
constexpr char kNoSlot[] = "No se encontro ningun slot";
constexpr char kPinMissingPrefix[] = "No se ha definido el pin para ";
constexpr char kPinInvalidPrefix[] = "Pin invalido para ";
constexpr char kNoCertificate[] = "No certificate with this identifier";
constexpr char kNoSigningCertificate[] = "No certificate for signing with this identifier";
constexpr char kNoSigningKey[] = "No key for signing with this identifier";
constexpr char kUnsupportedKeyPrefix[] = "Key type not supported for signing: ";

constexpr std::size_t kSignatureBufferSize = 2048;
// A search reads at most this many objects. A card holds a handful of certificates, so 1024 is
// far beyond any token; a token with more lists the first ones, and a module whose search never
// ends (one more handle on every call) stops here rather than keep the host looping.
constexpr CK_ULONG kMaxSearchObjects = 1024;

// A new item with the decoded bytes, or nothing when NSS refuses the text.
Item DecodeBase64(const std::string& text) {
    if (text.size() > std::numeric_limits<unsigned int>::max()) {
        PORT_SetError(SEC_ERROR_INPUT_LEN);
        return nullptr;
    }
    return Item(NSSBase64_DecodeBuffer(nullptr, nullptr, text.data(),
                                       static_cast<unsigned int>(text.size())));
}

}  // namespace

DigitalSignatureUtilPkcs11::DigitalSignatureUtilPkcs11(std::string /*configDir*/,
                                                       std::string signatureText,
                                                       std::string domainList,
                                                       std::string pageAddress)
    : DigitalSignatureUtil(std::move(signatureText), std::move(domainList), std::move(pageAddress)),
      moduleName(kModuleName) {
    PR_Init(PR_USER_THREAD, PR_PRIORITY_NORMAL, 0);
    if (NSS_IsInitialized()) {
        // NSS belongs to whoever started it; they shut it down.
        initialized = true;
        return;
    }
    if (NSS_Initialize("", "", "", "", NSS_INIT_READONLY | NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB) ==
        SECSuccess) {
        initialized = true;
        nssInitializedHere = true;
    } else {
        SetErrorInfo();
        lastError = kErrNotInitialized;
    }
}

std::unique_ptr<DigitalSignatureUtil> DigitalSignatureUtilPkcs11::Create(
    const std::string& signature, const std::string& domains, const std::string& currentDomain) {
    return std::make_unique<DigitalSignatureUtilPkcs11>("", signature, domains, currentDomain);
}

DigitalSignatureUtilPkcs11::~DigitalSignatureUtilPkcs11() {
    PK11_LogoutAll();
    if (nssInitializedHere) NSS_Shutdown();
}

bool DigitalSignatureUtilPkcs11::IsInitialized() {
    return initialized;
}

bool DigitalSignatureUtilPkcs11::NeedConfigDir() {
    return !NSS_IsInitialized();
}

void DigitalSignatureUtilPkcs11::ClearPin() {
    PK11_LogoutAll();
    for (auto& record : gPines) OverwritePin(record.second.pin);
    gPines.clear();
}

void DigitalSignatureUtilPkcs11::SetErrorInfo() {
    if (lastError == kErrNone) {
        if (p11bridge::InvalidPin()) {
            lastError = kErrPinInvalid;
        } else if (p11bridge::MissingPin()) {
            lastError = kErrPinMissing;
        }
    }
    lastLowLevelError = static_cast<int64_t>(PR_GetError());
    PRInt32 length = PR_GetErrorTextLength();
    std::vector<char> text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
    PR_GetErrorText(text.data());
    lastErrorMessage = text.data();
}

bool DigitalSignatureUtilPkcs11::checkReturnValue(unsigned long rv, const char* what) {
    if (rv == CKR_OK) return true;
    lastLowLevelError = static_cast<int64_t>(rv);
    lastError = (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) ? kErrPinInvalid : kErrToken;
    lastErrorMessage = what;
    return false;
}

void DigitalSignatureUtilPkcs11::recordModuleFault(const char* what) {
    checkReturnValue(CKR_GENERAL_ERROR, what);
}

void DigitalSignatureUtilPkcs11::recordNssFailure(int32_t code) {
    lastError = code;
    SetErrorInfo();
}

void DigitalSignatureUtilPkcs11::recordNoCertificate(const char* message) {
    // A search that failed has said why already.
    if (lastError != kErrNone) return;
    lastError = kErrNoCertificate;
    lastErrorMessage = message;
}

void DigitalSignatureUtilPkcs11::recordUnsupportedKey(const std::string& keyName) {
    lastError = kErrUnsupportedKey;
    lastErrorMessage = kUnsupportedKeyPrefix + keyName;
}

void DigitalSignatureUtilPkcs11::recordOutOfMemory() {
    // Must not throw again: the message is assigned only if there is room for it.
    PORT_SetError(SEC_ERROR_NO_MEMORY);
    lastError = kErrToken;
    lastLowLevelError = SEC_ERROR_NO_MEMORY;
    try {
        lastErrorMessage = "out of memory";
    } catch (const std::exception&) {
        lastErrorMessage.clear();
    }
}

bool DigitalSignatureUtilPkcs11::IsAuthorized() {
    try {
        lastError = kErrNone;
        if (!IsInitialized()) {
            lastError = kErrNotInitialized;
            return false;
        }
        if (authorisationChecked) {
            // Every request the check refuses says so, not only the first.
            if (!authorised) lastError = refusalCode;
            return authorised;
        }
        authorised = false;

        const char* keyText = GetZerithPublicKey();
        Item keyDer(NSSBase64_DecodeBuffer(nullptr, nullptr, keyText,
                                           static_cast<unsigned int>(std::strlen(keyText))));
        if (!keyDer) {
            recordNssFailure(kErrBadInput);
            return false;
        }
        PublicKey key = miSECKEY_DecodeDERPublicKey(keyDer.get());
        if (!key) {
            recordNssFailure(kErrBadPublicKey);
            return false;
        }
        key->keyType = rsaKey;
        authorisationChecked = true;
        refusalCode = kErrBadDomainSignature;

        Item signatureBytes = DecodeBase64(signature);
        if (!signatureBytes) {
            invalidDomainsSignature = true;
            recordNssFailure(kErrBadDomainSignature);
            if (lastErrorMessage.empty()) lastErrorMessage = "NSSBase64_DecodeBuffer failed";
            return false;
        }
        SECStatus verified = SECFailure;
        if (domainsText.size() <= static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            verified =
                VFY_VerifyData(reinterpret_cast<const unsigned char*>(domainsText.data()),
                               static_cast<int>(domainsText.size()), key.get(),
                               signatureBytes.get(), SEC_OID_PKCS1_SHA1_WITH_RSA_ENCRYPTION, this);
        }
        if (verified != SECSuccess) {
            // A PIN still to be asked for wins over a bad list, and the list is checked again
            // once the PIN question is settled.
            if (p11bridge::MissingPin()) {
                lastError = kErrPinMissing;
                authorisationChecked = false;
            } else if (p11bridge::InvalidPin()) {
                lastError = kErrPinInvalid;
                authorisationChecked = false;
            } else {
                lastError = kErrBadDomainSignature;
                invalidDomainsSignature = true;
            }
            SetErrorInfo();
            if (invalidDomainsSignature && lastErrorMessage.empty()) {
                lastErrorMessage = "VFY_VerifyData failed";
            }
            return false;
        }
        for (const std::string& entry : domains) {
            if (DomainMatches(entry, currentDomain)) {
                authorised = true;
                break;
            }
        }
        if (!authorised) lastError = refusalCode = kErrDomainNotAuthorized;
        return authorised;
    } catch (const std::exception&) {
        recordOutOfMemory();
        return false;
    }
}

bool DigitalSignatureUtilPkcs11::beginOperation() {
    lastError = kErrNone;
    if (!IsInitialized()) {
        lastError = kErrNotInitialized;
        return false;
    }
    if (!IsAuthorized()) return false;
    // No token operation runs while the page still owes a PIN or holds one the token refused,
    // listing included.
    if (p11bridge::InvalidPin() || p11bridge::MissingPin()) {
        SetErrorInfo();
        return false;
    }
    return true;
}

void DigitalSignatureUtilPkcs11::RestoreError(ErrorRecord record) {
    lastError = record.code;
    lastLowLevelError = record.lowLevel;
    lastErrorMessage = std::move(record.message);
}

void DigitalSignatureUtilPkcs11::recordNoSlot() {
    lastError = kErrToken;
    lastErrorMessage = kNoSlot;
}

bool DigitalSignatureUtilPkcs11::readSlots(std::vector<CK_SLOT_ID>& slots) {
    if (!checkReturnValue(ReadSlotList(Pkcs11Module::Load(), CK_TRUE, slots), "get slot list")) {
        return false;
    }
    if (slots.empty()) {
        recordNoSlot();
        return false;
    }
    return true;
}

unsigned long DigitalSignatureUtilPkcs11::startSession(unsigned long slot) {
    CK_FUNCTION_LIST* p11 = Pkcs11Module::Load();
    CK_SESSION_HANDLE session = kNoHandle;
    CK_RV rv = p11 ? p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session)
                   : CKR_GENERAL_ERROR;
    if (!checkReturnValue(rv, "open session")) return kNoHandle;
    return session;
}

bool DigitalSignatureUtilPkcs11::readTokenIdentity(unsigned long slot, std::string& identity) {
    CK_TOKEN_INFO info{};
    CK_FUNCTION_LIST* p11 = Pkcs11Module::Load();
    if (!checkReturnValue(p11 ? p11->C_GetTokenInfo(slot, &info) : CKR_GENERAL_ERROR,
                          "get token info")) {
        return false;
    }
    identity.assign(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
    identity.append(reinterpret_cast<const char*>(info.label), sizeof info.label);
    identity.append(reinterpret_cast<const char*>(info.manufacturerID), sizeof info.manufacturerID);
    return true;
}

bool DigitalSignatureUtilPkcs11::Login(unsigned long slot, unsigned long session) {
    std::string token;
    if (!readTokenIdentity(slot, token)) return false;
    // The empty record is how the host learns which module needs a PIN.
    PinInfoStruct& record = gPines[moduleName];
    if (!record.token.empty() && record.token != token) {
        // Another token than the one the PIN was typed for: that PIN is forgotten unpresented,
        // and this token asks for its own as for a first signature.
        OverwritePin(record.pin);
        record = PinInfoStruct{};
    }
    // A PIN typed after a token asked for it belongs to that token.
    record.token = token;
    if (record.pin.empty()) {
        lastError = kErrPinMissing;
        lastErrorMessage = kPinMissingPrefix + moduleName;
        return false;
    }
    // A PIN the token has refused is never presented again, however many others came between:
    // each one costs the card a try.
    if (record.invalid || WasRefused(token, record.pin)) {
        lastError = kErrPinInvalid;
        record.invalid = true;
        record.retries += 1;
        lastErrorMessage = kPinInvalidPrefix + moduleName;
        return false;
    }
    loggedInToken = token;
    return presentPin(session, CKU_USER, record, "C_Login");
}

bool DigitalSignatureUtilPkcs11::loginForOperation(unsigned long session) {
    auto found = gPines.find(moduleName);
    if (found == gPines.end() || found->second.pin.empty()) {
        lastError = kErrPinMissing;
        lastErrorMessage = kPinMissingPrefix + moduleName;
        return false;
    }
    if (!presentPin(session, CKU_CONTEXT_SPECIFIC, found->second, "C_Login context")) return false;
    // The use spends the PIN: the next signature asks for it again, so the user consents to
    // each. Forgetting the record, rather than emptying it, leaves the page owing nothing.
    gPines.erase(found);
    return true;
}

bool DigitalSignatureUtilPkcs11::presentPin(unsigned long session, unsigned long user,
                                            PinInfoStruct& record, const char* what) {
    CK_FUNCTION_LIST* p11 = Pkcs11Module::Load();
    // The PIN goes to the token straight from its record, whole: it holds no control byte, so the
    // token sees exactly the PIN that is remembered if refused.
    CK_RV rv =
        p11 ? p11->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(record.pin.data()),
                           record.pin.size())
            : CKR_GENERAL_ERROR;
    if (checkReturnValue(rv, what)) return true;
    if (lastError == kErrPinInvalid) {
        // Refused: never presented again, wherever it was refused.
        RememberRefused(loggedInToken, record.pin);
        record.invalid = true;
        record.retries += 1;
        lastErrorMessage = kPinInvalidPrefix + moduleName;
    }
    return false;
}

bool DigitalSignatureUtilPkcs11::findNext(const TokenFrame& frame, CK_OBJECT_HANDLE* object,
                                          CK_ULONG* count, const char* what) {
    CK_ULONG found = 0;
    CK_RV rv = frame.Functions()->C_FindObjects(frame.Session(), object, 1, &found);
    if (!checkReturnValue(rv, what)) return false;
    if (found > 1) {
        recordModuleFault(what);
        return false;
    }
    *count = found;
    return true;
}

bool DigitalSignatureUtilPkcs11::readAttributes(const TokenFrame& frame, CK_OBJECT_HANDLE object,
                                                CK_ATTRIBUTE* attributes, CK_ULONG count,
                                                std::vector<std::vector<unsigned char>>& values) {
    return checkReturnValue(
        ReadAttributeValues(frame.Functions(), frame.Session(), object, attributes, count, values),
        "get attribute value");
}

std::string DigitalSignatureUtilPkcs11::encodeBase64(const unsigned char* data,
                                                     std::size_t length) {
    SECItem item{siBuffer, const_cast<unsigned char*>(data), static_cast<unsigned int>(length)};
    PortText text(NSSBase64_EncodeItem(nullptr, nullptr, 0, &item));
    if (!text) {
        recordNssFailure(kErrToken);
        return {};
    }
    return std::string(text.get());
}

bool DigitalSignatureUtilPkcs11::appendIfListed(const TokenFrame& frame, CK_OBJECT_HANDLE object,
                                                std::string& text) {
    CK_ATTRIBUTE attributes[] = {{CKA_ID, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    std::vector<std::vector<unsigned char>> values;
    if (!readAttributes(frame, object, attributes, 2, values)) return true;
    const std::vector<unsigned char>& id = values[0];
    Certificate cert;
    if (ListingObstacles(id, values[1], PR_Now(), cert) != listing::kListed) return true;

    std::string idText = encodeBase64(id.data(), id.size());
    if (idText.empty()) return true;
    std::string entry = text.empty() ? "" : "|";
    entry += cert->issuerName ? cert->issuerName : "";
    entry += '|';
    entry += cert->subjectName ? cert->subjectName : "";
    entry += '|';
    entry += idText;
    // Escaping never shortens a text, so an entry beyond the bound here is beyond it as written.
    if (text.size() + entry.size() > kMaxListingLength) return false;
    text += entry;
    listingEntryEnds.push_back(text.size());
    return true;
}

std::string DigitalSignatureUtilPkcs11::listIn(const TokenFrame& frame) {
    std::string text;
    listingEntryEnds.clear();
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
    };
    ObjectSearch objects(*this, frame);
    if (!objects.Start(search, 2)) return text;
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG count = 0;
    if (!findNext(frame, &object, &count, "Find first object")) return text;
    // A failing object is recorded and skipped: the listing may carry certificates and an error.
    for (CK_ULONG read = 1; count > 0; ++read) {
        if (!appendIfListed(frame, object, text) || read == kMaxSearchObjects) break;
        if (!findNext(frame, &object, &count, "Find other objects")) break;
    }
    return text;
}

std::string DigitalSignatureUtilPkcs11::listCertificates() {
    std::string text;
    // The token listed is the first whose listing is not empty.
    TokenFrame frame(*this, [this, &text](TokenFrame& candidate) {
        text = listIn(candidate);
        return !text.empty();
    });
    if (!frame.HasSession()) text.clear();
    return text;
}

std::string DigitalSignatureUtilPkcs11::ListCertificates(std::string /*caSubjectNames*/) {
    listingEntryEnds.clear();
    try {
        if (!beginOperation()) return {};
        return listCertificates();
    } catch (const std::exception&) {
        recordOutOfMemory();
        return {};
    }
}

std::vector<NameValueMap> DigitalSignatureUtilPkcs11::GetCADistinguishedNames(
    std::string caSubjectNames) {
    try {
        return GetNameValueMaps(caSubjectNames);
    } catch (const std::exception&) {
        return {};
    }
}

bool DigitalSignatureUtilPkcs11::findCertificate(const TokenFrame& frame, const SECItem& id,
                                                 bool listedOnly, std::vector<unsigned char>& der,
                                                 CertifiedKey* key,
                                                 std::vector<unsigned char>* unlisted) {
    der.clear();
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
        {CKA_ID, id.data, id.len},
    };
    ObjectSearch objects(*this, frame);
    if (!objects.Start(search, 3)) return false;
    const std::vector<unsigned char> idBytes(id.data, id.data + id.len);
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG count = 0;
    if (!findNext(frame, &object, &count, "Find first object")) return false;
    for (CK_ULONG read = 1; count > 0; ++read) {
        CK_ATTRIBUTE value[] = {{CKA_VALUE, nullptr, 0}};
        std::vector<std::vector<unsigned char>> values;
        if (!readAttributes(frame, object, value, 1, values)) return false;
        Certificate cert;
        const bool wanted = !values[0].empty() &&
                            (!listedOnly || ListingObstacles(idBytes, values[0], PR_Now(), cert) ==
                                                listing::kListed);
        if (!wanted && unlisted && unlisted->empty()) *unlisted = values[0];
        if (wanted) {
            if (key && cert) {
                const SECAlgorithmID& algorithm = cert->subjectPublicKeyInfo.algorithm;
                key->type = KeyTypeOfPublicKey(SECOID_GetAlgorithmTag(&algorithm));
                key->name = PublicKeyName(algorithm);
            }
            der = std::move(values[0]);
            return true;
        }
        if (read == kMaxSearchObjects) break;
        if (!findNext(frame, &object, &count, "Find other objects")) return false;
    }
    return true;
}

std::string DigitalSignatureUtilPkcs11::certificateBase64(const std::string& certId) {
    Item id;
    bool badId = false;
    std::vector<unsigned char> der, unlisted;
    // Cards share identifiers (every PIV card names its signing key 02): the certificate a page
    // fetches by the identifier the listing gave it is the listed one, wherever it is, and only
    // without one the first certificate with that identifier at all.
    TokenFrame frame(*this, [&](TokenFrame& candidate) {
        if (!id) id = DecodeBase64(certId);
        if (!id) return badId = true;
        return findCertificate(candidate, *id, true, der, nullptr,
                               unlisted.empty() ? &unlisted : nullptr) &&
               !der.empty();
    });
    if (!frame.HasSession()) return {};
    if (badId) {
        lastError = kErrToken;
        lastErrorMessage = "Invalid cert id base64";
        return {};
    }
    if (der.empty()) der = std::move(unlisted);
    if (der.empty()) {
        recordNoCertificate(kNoCertificate);
        return {};
    }
    std::string text = encodeBase64(der.data(), der.size());
    // A browser drops the host over a message beyond 1 MiB, so a certificate that would make one
    // is refused whole, as the listing leaves out what does not fit. Base64 needs no escape but
    // its line breaks, each written as two characters.
    const std::size_t breaks = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r') +
                                                        std::count(text.begin(), text.end(), '\n'));
    if (text.size() + breaks > kMaxListingLength) {
        lastError = kErrToken;
        lastErrorMessage = "certificate too long for a reply";
        return {};
    }
    return text;
}

std::string DigitalSignatureUtilPkcs11::GetCertificateBase64(std::string certId) {
    try {
        if (!beginOperation()) return {};
        return certificateBase64(certId);
    } catch (const std::exception&) {
        recordOutOfMemory();
        return {};
    }
}

bool DigitalSignatureUtilPkcs11::findKey(const TokenFrame& frame, const SECItem& id,
                                         CK_OBJECT_HANDLE& key, bool& perUse, CK_KEY_TYPE& type) {
    CK_OBJECT_CLASS objectClass = CKO_PRIVATE_KEY;
    CK_BBOOL no = CK_FALSE;
    CK_KEY_TYPE expected = type;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_ID, id.data, id.len},
        {CKA_ALWAYS_AUTHENTICATE, &no, sizeof no},
        {CKA_KEY_TYPE, &expected, sizeof expected},
    };
    CK_ULONG count = 0;
    perUse = false;
    // A session runs one operation at a time: modules such as SoftHSM2 refuse C_SignInit with
    // CKR_OPERATION_ACTIVE while a search is still open, so each search ends before the next
    // step. The first asks for a key of the type its certificate names that does not need the
    // PIN for each use: an RSA key takes the road it always took, call for call, and an EC key
    // the same road. A module that does not know the attributes answers as if nothing matched,
    // and is searched again like any key the first search missed.
    {
        ObjectSearch plain(*this, frame);
        CK_RV rv = plain.Open(search, 4);
        if (rv != CKR_ATTRIBUTE_TYPE_INVALID && rv != CKR_ATTRIBUTE_VALUE_INVALID) {
            if (!checkReturnValue(rv, "Find objects init") ||
                !findNext(frame, &key, &count, "Find first object")) {
                return false;
            }
            if (count > 0) return true;
        }
    }
    {
        ObjectSearch any(*this, frame);
        if (!any.Start(search, 2) || !findNext(frame, &key, &count, "Find first object") ||
            count == 0) {
            return false;
        }
    }
    // Both in one call, so that a card's RSA key costs what it always did. A module answers for
    // each attribute it knows even when it knows not all of them.
    CK_BBOOL always = CK_FALSE;
    CK_ATTRIBUTE attributes[] = {{CKA_ALWAYS_AUTHENTICATE, &always, sizeof always},
                                 {CKA_KEY_TYPE, &type, sizeof type}};
    frame.Functions()->C_GetAttributeValue(frame.Session(), key, attributes, 2);
    perUse = attributes[0].ulValueLen == sizeof always && always == CK_TRUE;
    if (attributes[1].ulValueLen != sizeof type) type = CKK_VENDOR_DEFINED;
    return true;
}

std::string DigitalSignatureUtilPkcs11::signPkcs1Base64(const std::string& certId,
                                                        const std::string& digest) {
    Item id;
    std::vector<unsigned char> der;
    CertifiedKey certified;
    // The PIN typed for a signature is for the keys the page was shown: an identifier of any other
    // key (a card's authentication key, say, which signs without asking again) never gets it. The
    // token is the first that shows a certificate with this identifier.
    TokenFrame frame(*this, [&](TokenFrame& candidate) {
        if (!id) id = DecodeBase64(certId);
        if (!id) return true;
        return findCertificate(candidate, *id, true, der, &certified) && !der.empty();
    });
    if (!frame.HasSession()) return {};
    if (!id) {
        recordNssFailure(kErrBadInput);
        return {};
    }
    if (der.empty()) {
        recordNoCertificate(kNoSigningCertificate);
        return {};
    }
    // A key the host cannot sign with is named before the user is asked for a PIN in vain.
    if (!IsSigningKeyType(certified.type)) {
        recordUnsupportedKey(certified.name);
        return {};
    }
    // The PIN is presented before the hash is looked at, as pages have always seen it.
    if (!frame.Login()) return {};

    Item hash = DecodeBase64(digest);
    if (!hash || !IsAcceptedDigestLength(hash->len)) {
        // Base64 that decodes is no NSS failure; name the real one rather than report a stale
        // error of some earlier call.
        if (hash) PORT_SetError(SEC_ERROR_INPUT_LEN);
        recordNssFailure(kErrBadInput);
        return {};
    }
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    bool perUse = false;
    CK_KEY_TYPE keyType = certified.type;
    if (!findKey(frame, *id, key, perUse, keyType)) {
        recordNoCertificate(kNoSigningKey);
        return {};
    }
    // The mechanism follows the key itself: a mechanism the key cannot take would only come back
    // as the module's failure.
    if (!IsSigningKeyType(keyType)) {
        recordUnsupportedKey(KeyTypeName(keyType));
        return {};
    }
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    std::vector<unsigned char> input;
    if (!PrepareSigningInput(keyType, hash->data, hash->len, mechanism.mechanism, input)) {
        recordNssFailure(AcceptsDigestLength(keyType, hash->len) ? kErrToken : kErrBadInput);
        return {};
    }
    std::vector<unsigned char> signatureBytes(kSignatureBufferSize);
    CK_ULONG signatureLength = signatureBytes.size();
    CK_FUNCTION_LIST* p11 = frame.Functions();
    if (!checkReturnValue(p11->C_SignInit(frame.Session(), &mechanism, key), "sign init new")) {
        return {};
    }
    if (perUse && !loginForOperation(frame.Session())) return {};
    if (!checkReturnValue(p11->C_Sign(frame.Session(), input.data(), input.size(),
                                      signatureBytes.data(), &signatureLength),
                          "sign final")) {
        return {};
    }
    if (signatureLength > signatureBytes.size() || signatureLength == 0) {
        recordModuleFault("sign final");
        return {};
    }
    return encodeBase64(signatureBytes.data(), signatureLength);
}

std::string DigitalSignatureUtilPkcs11::SignPkcs1Base64(std::string certId, std::string digest) {
    try {
        if (!beginOperation()) return {};
        return signPkcs1Base64(certId, digest);
    } catch (const std::exception&) {
        recordOutOfMemory();
        return {};
    }
}

}  // namespace p11bridge
