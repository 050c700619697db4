// Initialize, the utility's lifetime, and the three commands that reach the token.
#include <string>
#include <utility>
#include <vector>

#include "host/Pkcs11NativeMessagingHost.h"
#include "pkcs11/SigningMechanisms.h"

namespace p11bridge {
namespace {

constexpr std::size_t kLongestEscape = 6;

// The length of a text in a reply, by the reply's own writer, plus a constant.
std::size_t WrittenLength(const std::string& text) {
    JSONNode holder(JSON_NODE);
    holder.push_back(JSONNode(std::string("t"), text));
    return holder.write_formatted().size();
}

// A browser drops a host whose message exceeds 1 MiB. The listing keeps its first certificates
// that fit as written, each whole: the page sees a shorter list, never a cut entry. Escaping works
// byte by byte, so the written length of the text is the sum of its entries'.
std::string FitListing(std::string text, const std::vector<std::size_t>& ends) {
    // No byte is written longer than its \u00XX escape: a listing that fits even so (any token's
    // real one) is not written an extra time to be measured.
    if (text.size() <= kMaxListingLength / kLongestEscape) return text;
    const std::size_t empty = WrittenLength({});
    if (WrittenLength(text) - empty <= kMaxListingLength) return text;
    std::size_t written = 0, start = 0;
    for (std::size_t end : ends) {
        written += WrittenLength(text.substr(start, end - start)) - empty;
        if (written > kMaxListingLength) break;
        start = end;
    }
    text.resize(start);
    return text;
}

// What this host signs, for a page to know before it asks for a PIN: its version, and the hash
// lengths each key type takes. A host too old to know the question answers as it always did, so
// the absence of this member means RSA over MD5, SHA-1 and SHA-256.
JSONNode Capabilities() {
    JSONNode capabilities(JSON_NODE);
    capabilities.set_name("capabilities");
    capabilities.push_back(JSONNode("version", P11BRIDGE_VERSION));
    JSONNode lengths(JSON_NODE);
    lengths.set_name("hashLengths");
    const std::pair<const char*, CK_KEY_TYPE> kTypes[] = {{"RSA", CKK_RSA}, {"EC", CKK_EC}};
    for (const auto& [name, type] : kTypes) {
        JSONNode accepted(JSON_ARRAY);
        accepted.set_name(name);
        for (std::size_t length = 1; length <= 64; ++length)
            if (AcceptsDigestLength(type, length))
                accepted.push_back(JSONNode("", static_cast<int>(length)));
        lengths.push_back(accepted);
    }
    capabilities.push_back(lengths);
    return capabilities;
}

bool Names(JSONNode* request, const char* name) {
    for (JSONNode::const_iterator it = request->begin(); it != request->end(); ++it)
        if (it->name() == name) return true;
    return false;
}

}  // namespace

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
    if (Names(request, "capabilities")) {
        const JSONNode capabilities = Capabilities();
        SendNativeAknowlegeMessage(0, "InitializeComponent OK", &capabilities);
    } else {
        SendNativeAknowlegeMessage(0, "InitializeComponent OK");
    }
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
        std::string listing = util.ListCertificates(m_caSubjectNames);
        return FitListing(std::move(listing), util.ListingEntryEnds());
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
