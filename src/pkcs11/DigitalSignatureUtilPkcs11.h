// The signature utility on a PKCS#11 token: every operation initialises the module, opens a fresh
// session on the token that holds what it wants (TokenFrame, SlotChoice), works, and finalises the
// module again.
#pragma once

#include <pkcs11.h>
#include <seccomon.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "signature/DigitalSignatureUtil.h"

namespace p11bridge {

class TokenFrame;

// The key a listed certificate stands for, as its public key tells.
struct CertifiedKey {
    CK_KEY_TYPE type = CKK_VENDOR_DEFINED;
    std::string name;  // as a refusal names it
};

class DigitalSignatureUtilPkcs11 : public DigitalSignatureUtil {
public:
    // No slot, no session.
    static constexpr unsigned long kNoHandle = ~0UL;

    // configDir is accepted for the host's sake and ignored: NSS opens no database.
    DigitalSignatureUtilPkcs11(std::string configDir, std::string signature, std::string domains,
                               std::string currentDomain);
    ~DigitalSignatureUtilPkcs11() override;

    // The host's way of building its utility from the texts of an Initialize; the host keeps
    // no configuration directory, so none is passed.
    static std::unique_ptr<DigitalSignatureUtil> Create(const std::string& signature,
                                                        const std::string& domains,
                                                        const std::string& currentDomain);

    std::string ListCertificates(std::string caSubjectNames) override;
    bool IsInitialized() override;
    std::vector<NameValueMap> GetCADistinguishedNames(std::string caSubjectNames) override;
    std::string GetCertificateBase64(std::string certId) override;
    std::string SignPkcs1Base64(std::string certId, std::string digest) override;
    bool IsAuthorized() override;
    bool NeedConfigDir() override;
    void ClearPin() override;

    // The one place an NSS or NSPR failure is recorded.
    void SetErrorInfo();
    // The one place a PKCS#11 return value is judged and recorded; true for CKR_OK.
    bool checkReturnValue(unsigned long rv, const char* what);

    // The last-error record as it stands, to be put back when what came after must not count
    // (the answers of a token passed over).
    struct ErrorRecord {
        int32_t code;
        int64_t lowLevel;
        std::string message;
    };
    ErrorRecord SaveError() const { return {lastError, lastLowLevelError, lastErrorMessage}; }
    void RestoreError(ErrorRecord record);

    // The slots holding a token, in the module's order; false, recorded, on a failure or none.
    bool readSlots(std::vector<CK_SLOT_ID>& slots);
    void recordNoSlot();
    unsigned long startSession(unsigned long slot);
    // Presents the PIN recorded for this module to the token in the slot, unless the PIN was
    // typed for another token; false when it was not presented or refused.
    bool Login(unsigned long slot, unsigned long session);

    const std::string& ModuleName() const { return moduleName; }

private:
    // Frame steps that run before the module is touched; false when the operation must stop.
    bool beginOperation();
    // A module that answers CKR_OK with values that cannot be true (a count larger than the room
    // given, a length it cannot have): recorded as a failure of that step.
    void recordModuleFault(const char* what);
    // A failure of NSS that must not pass for success: the code, then NSS's error text.
    void recordNssFailure(int32_t code);
    void recordOutOfMemory();
    // Code 13 with this message, unless the search that found nothing recorded a failure.
    void recordNoCertificate(const char* message);
    // Code 14, naming the key type.
    void recordUnsupportedKey(const std::string& keyName);
    // What tells the token in the slot from any other: its serial number, label and
    // manufacturer, side by side in their fixed widths.
    bool readTokenIdentity(unsigned long slot, std::string& identity);
    // C_Login as `user` with the record's PIN; a refusal marks the record, labelled `what`.
    bool presentPin(unsigned long session, unsigned long user, PinInfoStruct& record,
                    const char* what);
    // For a key that needs the PIN for each use, after C_SignInit: presents the PIN for this
    // operation alone, and forgets it once it was accepted.
    bool loginForOperation(unsigned long session);
    // The private key with this CKA_ID, and whether it needs the PIN for each use; false, with
    // no error, when there is none.
    // `type` comes in as the type the certificate names, and goes out as the key's CKA_KEY_TYPE.
    bool findKey(const TokenFrame& frame, const SECItem& id, CK_OBJECT_HANDLE& key, bool& perUse,
                 CK_KEY_TYPE& type);

    // The two-call read of attribute values: lengths first, then buffers of exactly those lengths.
    bool readAttributes(const TokenFrame& frame, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes,
                        CK_ULONG count, std::vector<std::vector<unsigned char>>& values);
    bool findNext(const TokenFrame& frame, CK_OBJECT_HANDLE* object, CK_ULONG* count,
                  const char* what);
    // Appends the object's entry when it is listed; false when the listing has no room for it.
    bool appendIfListed(const TokenFrame& frame, CK_OBJECT_HANDLE object, std::string& text);
    std::string listCertificates();
    // The value of the first certificate object with this CKA_ID (listedOnly: the first the
    // listing would show, and the key type its public key stands for); `der` stays empty when
    // there is none. `unlisted`, when given, receives the first other one passed over. False on
    // a failure, recorded.
    bool findCertificate(const TokenFrame& frame, const SECItem& id, bool listedOnly,
                         std::vector<unsigned char>& der, CertifiedKey* key = nullptr,
                         std::vector<unsigned char>* unlisted = nullptr);
    std::string listIn(const TokenFrame& frame);
    std::string certificateBase64(const std::string& certId);
    std::string signPkcs1Base64(const std::string& certId, const std::string& digest);
    std::string encodeBase64(const unsigned char* data, std::size_t length);

    bool authorised = false;
    bool authorisationChecked = false;
    // What a cached refusal answers: a list whose signature fails, or a domain not on it.
    int32_t refusalCode = kErrNone;
    bool initialized = false;
    bool nssInitializedHere = false;
    std::string moduleName;
    // The token of the frame's login, whose refusals are remembered under its name.
    std::string loggedInToken;
};

}  // namespace p11bridge
