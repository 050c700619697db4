// Initialize, the utility's lifetime, and the three commands that reach the token.
#include "host/Pkcs11NativeMessagingHost.h"

namespace p11bridge {

void Pkcs11NativeMessagingHost::Initialize(JSONNode* request) {
    json_string signature, domains, currentDomain, caSubjectNames;
    // All four are read before anything changes, so a request that lacks one changes nothing.
    if (!ReadMember(request, "signature", 0, signature) ||
        !ReadMember(request, "domains", 0, domains) ||
        !ReadMember(request, "currentDomain", 0, currentDomain) ||
        !ReadMember(request, "caSubjectNames", 0, caSubjectNames))
        return;
    m_signature = signature.str();
    m_domains = domains.str();
    m_currentDomain = currentDomain.str();
    m_caSubjectNames = caSubjectNames.str();
    m_util.reset();
    SendNativeAknowlegeMessage(0, "InitializeComponent OK");
    m_initialized = true;
}

DigitalSignatureUtil* Pkcs11NativeMessagingHost::GetDigitalSignatureUtil() {
    if (!m_util) m_util = m_factory(m_signature, m_domains, m_currentDomain);
    return m_util.get();
}

void Pkcs11NativeMessagingHost::SetPinModuleName(DigitalSignatureUtil& util) {
    // A refused PIN outranks a missing one: the user must learn that the PIN was wrong.
    if (util.InvalidPin()) {
        m_pinModuleName = util.InvalidPines().front();
        m_invalidPin = true;
        m_missingPin = false;
    } else if (util.MissingPin()) {
        m_pinModuleName = util.MissingPines().front();
        m_missingPin = true;
        m_invalidPin = false;
    } else {
        m_missingPin = false;
        m_invalidPin = false;
        m_pinModuleName.clear();
    }
}

void Pkcs11NativeMessagingHost::RunTokenCommand(
    int command, const char* resultName,
    const std::function<std::string(DigitalSignatureUtil&)>& operation) {
    DigitalSignatureUtil* util = GetDigitalSignatureUtil();
    LoadPin(*util);
    std::string result = operation(*util);
    SetPinModuleName(*util);
    SendResponse(command, util, JSONNode(resultName, result));
}

void Pkcs11NativeMessagingHost::GetDigitalSignatureCertificates(JSONNode*) {
    if (!m_initialized) return SendNativeErrorMessage(2, "Not initialized");
    RunTokenCommand(2, "certificates", [this](DigitalSignatureUtil& util) {
        return util.ListCertificates(m_caSubjectNames);
    });
}

void Pkcs11NativeMessagingHost::GetCertificate(JSONNode* request) {
    if (!m_initialized) return SendNativeErrorMessage(4, "Not initialized");
    json_string certId;
    if (!ReadMember(request, "certId", 4, certId)) return;
    RunTokenCommand(4, "certificate", [&certId](DigitalSignatureUtil& util) {
        return util.GetCertificateBase64(certId.str());
    });
}

void Pkcs11NativeMessagingHost::SignPkcs1(JSONNode* request) {
    if (!m_initialized) return SendNativeErrorMessage(5, "Not initialized");
    json_string certId, digest;
    if (!ReadMember(request, "certId", 5, certId) || !ReadMember(request, "digest", 5, digest))
        return;
    RunTokenCommand(5, "pkcs1", [&certId, &digest](DigitalSignatureUtil& util) {
        return util.SignPkcs1Base64(certId.str(), digest.str());
    });
}

}  // namespace p11bridge
