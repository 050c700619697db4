// The domain list, the page address and the rule that matches one against the other.
#include <cctype>

#include "signature/DigitalSignatureUtil.h"

namespace p11bridge {

std::string DigitalSignatureUtil::trim(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    bool pendingSpace = false;
    for (char c : s) {
        if (c == ' ') {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) out.push_back(' ');
        pendingSpace = false;
        // Only A to Z change: bytes of 128 and above belong to other encodings and stay.
        out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return out;
}

std::vector<std::string> DigitalSignatureUtil::SplitList(const std::string& text) {
    std::vector<std::string> entries;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type bar = text.find('|', start);
        std::string entry = trim(text.substr(start, bar - start));
        if (!entry.empty()) entries.push_back(std::move(entry));
        if (bar == std::string::npos) return entries;
        start = bar + 1;
    }
}

void DigitalSignatureUtil::LoadDomains(std::string text) {
    domains = SplitList(text);
}

std::string DigitalSignatureUtil::extractDomainName(const std::string& address) {
    std::string host = address;
    std::string::size_type scheme = host.find("://");
    if (scheme != std::string::npos) host = host.substr(scheme + 3);
    // Separators are searched from position 1: a leading one is kept as part of the name.
    for (char separator : {':', '/', '?'}) {
        std::string::size_type at = host.find(separator, 1);
        if (at != std::string::npos) host.resize(at);
    }
    return host;
}

bool DigitalSignatureUtil::DomainMatches(const std::string& entry, const std::string& domain) {
    if (entry.empty() || domain.empty() || domain.size() < entry.size()) return false;
    if (domain.compare(domain.size() - entry.size(), entry.size(), entry) != 0) return false;
    if (domain.size() == entry.size()) return true;
    // A suffix counts only at a label boundary, or when the entry itself starts with the dot.
    return entry[0] == '.' || domain[domain.size() - entry.size() - 1] == '.';
}

}  // namespace p11bridge
