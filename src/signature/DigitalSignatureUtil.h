// The abstract signature utility: what every token back end offers the host, the state they all
// share (the last-error record, the domain list and its signature), distinguished names and the
// process-wide PIN records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/SecureMemory.h"
#include "signature/PinInfo.h"

namespace p11bridge {

using NameValueMap = std::map<std::string, std::string>;

// Chromium drops a native-messaging host that sends it a message larger than 1 MiB.
constexpr std::size_t kMaxReplyLength = std::size_t{1} << 20;
// The listing is the one reply whose size the token decides. Its certificate text, as the reply
// writes it (escaped), stays within this; the reply's other members are flags, numbers and the
// host's own short labels, a few hundred bytes in all.
constexpr std::size_t kMaxListingLength = kMaxReplyLength - 4096;

// Error codes of the last-error record. The gaps (2, 4, 6, 7) are never produced.
enum ErrorCode : int32_t {
    kErrNone = 0,
    kErrNotInitialized = 1,
    kErrBadInput = 3,
    kErrPinInvalid = 5,
    kErrBadPublicKey = 8,
    kErrDomainNotAuthorized = 9,
    kErrBadDomainSignature = 10,
    kErrPinMissing = 11,
    kErrToken = 12,
    // The token holds no certificate with the identifier the page gave (for signing: none the
    // listing would show).
    kErrNoCertificate = 13,
    // The key of the certificate is of a type the host cannot sign with; the message names it.
    kErrUnsupportedKey = 14,
};

class DigitalSignatureUtil {
public:
    DigitalSignatureUtil(std::string signature, std::string domains, std::string currentDomain);
    virtual ~DigitalSignatureUtil();

    DigitalSignatureUtil(const DigitalSignatureUtil&) = delete;
    DigitalSignatureUtil& operator=(const DigitalSignatureUtil&) = delete;

    // The eight operations, in this order, are the whole contract of a back end.
    // ListCertificates holds whole entries only, at most kMaxListingLength bytes of them, and
    // records where each ends (ListingEntryEnds).
    virtual std::string ListCertificates(std::string caSubjectNames) = 0;
    virtual bool IsInitialized() = 0;
    virtual std::vector<NameValueMap> GetCADistinguishedNames(std::string caSubjectNames) = 0;
    virtual std::string GetCertificateBase64(std::string certId) = 0;
    virtual std::string SignPkcs1Base64(std::string certId, std::string digest) = 0;
    virtual bool IsAuthorized() = 0;
    virtual bool NeedConfigDir() = 0;
    virtual void ClearPin() = 0;

    std::string LastErrorMessage() const { return lastErrorMessage; }
    int32_t LastError() const { return lastError; }
    int64_t LastLowLevelError() const { return lastLowLevelError; }
    // Where each certificate of the last listing ends in its text, so that a caller that must
    // shorten the text cuts between certificates, never inside one.
    const std::vector<std::size_t>& ListingEntryEnds() const { return listingEntryEnds; }

    // Domain list and address.
    void LoadDomains(std::string text);
    static std::string trim(const std::string& s);
    // The entries of a '|'-separated list, each normalised with trim; empty ones are dropped.
    static std::vector<std::string> SplitList(const std::string& text);
    static std::string extractDomainName(const std::string& address);
    // Whether the domain-list entry authorises the domain: equal, or a subdomain of it at a
    // label boundary. A plain suffix test would let "evila.b" in on an entry "a.b".
    static bool DomainMatches(const std::string& entry, const std::string& domain);

    // The Base64 DER RSAPublicKey that authorises domain lists, built in at compile time.
    static const char* GetZerithPublicKey();
    bool InvalidDomainsSignature() const { return invalidDomainsSignature; }

    // Distinguished names.
    NameValueMap GetNameValueMap(std::string dn);
    std::vector<NameValueMap> GetNameValueMaps(std::string& list);
    bool AreMatch(NameValueMap a, NameValueMap b);
    bool HasDistinguishedName(std::vector<NameValueMap> list, NameValueMap dn);
    // Writes to the caller's stream: stdout is the browser's channel and must carry only replies.
    void PrintDistinguishedName(std::ostream& out, NameValueMap dn);

    // PIN records (all of them live in gPines, not in the utility).
    void SetPin(const std::string& module, const PinString& pin);
    bool MissingPin();
    bool InvalidPin();
    std::vector<std::string> MissingPines();
    std::vector<std::string> InvalidPines();
    int32_t InvalidPinRetries(const std::string& module);

    const std::vector<std::string>& Domains() const { return domains; }
    const std::string& CurrentDomain() const { return currentDomain; }

protected:
    std::string lastErrorMessage;
    int32_t lastError = 0;
    int64_t lastLowLevelError = 0;
    std::vector<std::size_t> listingEntryEnds;
    std::string signature;
    std::vector<std::string> domains;
    std::string currentDomain;
    std::string domainsText;
    bool invalidDomainsSignature = false;
};

}  // namespace p11bridge
