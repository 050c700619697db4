// Distinguished names as name-value maps. The parsing knows no quoting: every '=' and ','
// separates, which is what the certification-authority lists that pages send rely on.
#include "signature/DigitalSignatureUtil.h"

namespace p11bridge {
namespace {

std::string Alias(const std::string& name) {
    // "número de serie" as ISO 8859-1: the lists come from systems that send Latin-1 bytes.
    static const std::string kNumeroDeSerie = "n\xFAmero de serie";
    if (name == "identificador de objeto (2 5 4 5)" || name == kNumeroDeSerie ||
        name == "oid.2.5.4.5")
        return "serialnumber";
    if (name == "s") return "st";
    return name;
}

}  // namespace

NameValueMap DigitalSignatureUtil::GetNameValueMap(std::string dn) {
    NameValueMap map;
    std::string piece;
    std::string name;
    for (char c : dn) {
        if (c == '=') {
            name = Alias(trim(piece));
            piece.clear();
        } else if (c == ',') {
            map[name] = trim(piece);
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    map[name] = trim(piece);
    return map;
}

std::vector<NameValueMap> DigitalSignatureUtil::GetNameValueMaps(std::string& list) {
    // Each name is normalised as a whole before its attributes are split.
    std::vector<NameValueMap> maps;
    for (const std::string& dn : SplitList(list)) maps.push_back(GetNameValueMap(dn));
    return maps;
}

bool DigitalSignatureUtil::AreMatch(NameValueMap a, NameValueMap b) {
    return a == b;
}

bool DigitalSignatureUtil::HasDistinguishedName(std::vector<NameValueMap> list, NameValueMap dn) {
    for (const NameValueMap& candidate : list)
        if (AreMatch(candidate, dn)) return true;
    return false;
}

void DigitalSignatureUtil::PrintDistinguishedName(std::ostream& out, NameValueMap dn) {
    for (const auto& [name, value] : dn) out << name << '=' << value << ',';
    out << '\n';
}

}  // namespace p11bridge
