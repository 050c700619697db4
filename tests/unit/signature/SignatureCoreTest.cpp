// The signature utility's own operations, with no token behind it: the domain list and the rule
// that matches a page against it, distinguished names, and the process-wide PIN records.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "pkcs11/DigitalSignatureUtilPkcs11.h"

namespace p11bridge {
namespace {

// The shipped back end: these operations are the base class's, and need no token.
using Util = DigitalSignatureUtilPkcs11;
using Strings = std::vector<std::string>;

// clang-format off
TEST(DomainList, ListAndAddressAreNormalisedAndMatchedAtLabelBoundaries) {
    const std::vector<std::pair<std::string, Strings>> lists = {
        {"X.A.B | c.d|", {"x.a.b", "c.d"}}, {"a.b||c.d", {"a.b", "c.d"}}, {" | |  |", {}}, {"", {}},
        {"a.b|a.b", {"a.b", "a.b"}}, {"  Mixed   Case  .Org ", {"mixed case .org"}},
        {"\tA\t", {"\ta\t"}},                  // only spaces are trimmed
        {"\xC3\x89T\xC9", {"\xC3\x89t\xC9"}}};  // only A to Z are lowered
    for (const auto& [list, entries] : lists)
        EXPECT_EQ(Util("", "", list, "").Domains(), entries) << list;
    const std::vector<std::pair<std::string, std::string>> addresses = {
        {"  Proto://X.A.B:81/p?q=1 ", "x.a.b"}, {"a.b/p", "a.b"}, {"https://a.b?x=1", "a.b"},
        {"http://localhost:8123", "localhost"}, {"/a.b", "/a.b"}, {":x", ":x"}, {"", ""}};
    for (const auto& [address, domain] : addresses)
        EXPECT_EQ(Util("", "", "", address).CurrentDomain(), domain) << address;
    // An entry authorises itself and its subdomains at a label boundary.
    const std::vector<std::tuple<const char*, const char*, bool>> rows = {
        {"a.b", "a.b", true}, {"a.b", "x.a.b", true}, {"a.b", "a.b.a.b", true}, {"a.b", "b", false},
        {"a.b", "xa.b", false}, {"a.b", "evila.b", false}, {"a.b", "a.b.c", false},
        {".a.b", "x.a.b", true}, {".a.b", "a.b", false}, {"a.b", "", false}, {"", "a.b", false}};
    for (const auto& [entry, domain, matches] : rows)
        EXPECT_EQ(Util::DomainMatches(entry, domain), matches) << entry << " " << domain;
}

TEST(DistinguishedNames, ParseAliasesListsAndPrinting) {
    Util util("", "", "", "");
    // Every '=' and ',' separates: there is no quoting or escaping.
    const std::vector<std::pair<std::string, NameValueMap>> names = {
        {"CN=Root CA, O=Example Org, C=ZZ", {{"c", "zz"}, {"cn", "root ca"}, {"o", "example org"}}},
        {"CN=a,CN=b", {{"cn", "b"}}}, {"CN=a,", {{"cn", ""}}}, {"CN=a,junk", {{"cn", "junk"}}},
        {"CN=a=b,O=c", {{"a", "b"}, {"o", "c"}}}, {"abc", {{"", "abc"}}},
        {"CN=a\\,b", {{"cn", "b"}}}};
    for (const auto& [dn, map] : names) EXPECT_EQ(util.GetNameValueMap(dn), map) << dn;
    const std::vector<std::tuple<const char*, const char*, bool>> matches = {
        {"OID.2.5.4.5=123, CN=X", "SERIALNUMBER=123,CN=x", true},
        {"N\xFAmero De Serie=1", "serialNumber=1", true},  // ISO 8859-1, as the lists come
        {"identificador de objeto (2 5 4 5)=1", "serialNumber=1", true},
        {"S=North", "ST=north", true},
        {"n\xC3\xBAmero de serie=1", "serialNumber=1", false},  // UTF-8 is a name of its own
        {"CN=a", "CN=a,O=b", false}};
    for (const auto& [a, b, match] : matches)
        EXPECT_EQ(util.AreMatch(util.GetNameValueMap(a), util.GetNameValueMap(b)), match) << a;
    std::string list = "CN=A|  |cn=a , o=B|";
    const std::vector<NameValueMap> maps = util.GetNameValueMaps(list);
    EXPECT_EQ(maps.size(), 2u);
    EXPECT_TRUE(util.HasDistinguishedName(maps, util.GetNameValueMap("O=b,CN=A")));
    EXPECT_FALSE(util.HasDistinguishedName(maps, util.GetNameValueMap("CN=b")));
    std::ostringstream out;
    util.PrintDistinguishedName(out, {{"o", "b"}, {"cn", "a"}});
    EXPECT_EQ(out.str(), "cn=a,o=b,\n");
}
// clang-format on

// AddressSanitizer turns mlock into a no-op, so a sanitized run cannot see the lock.
#ifndef __has_feature
#define __has_feature(feature) 0
#endif
constexpr const char* kPinPageFlags = __has_feature(address_sanitizer) ? "dd" : "dd lo";

// Of the mapping that holds `p`: whether it is left out of core files (dd) and locked (lo).
std::string MappingFlags(const void* p) {
    const auto at = reinterpret_cast<unsigned long>(p);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long from = 0, to = 0;
        char dash = 0;
        if (std::istringstream(line) >> std::hex >> from >> dash >> to && dash == '-') {
            inside = from <= at && at < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return std::string(line.find(" dd") != line.npos ? "dd" : "") +
                   (line.find(" lo") != line.npos ? " lo" : "");
        }
    }
    return "no mapping";
}

TEST(PinRecords, TransitionsQueriesAndLifetime) {
    gPines.clear();
    {
        Util util("", "", "", "");
        EXPECT_EQ(util.InvalidPinRetries("m"), 0);
        EXPECT_FALSE(util.MissingPin() || util.InvalidPin());
        EXPECT_TRUE(gPines.empty()) << "asking creates no record";
        util.SetPin("m", PinString("123456", 6));
        gPines["m"] = {PinString("123456", 6), true, 1, {}};  // what a token refusing it does
        util.SetPin("m", PinString("123456", 6));
        EXPECT_TRUE(gPines["m"].invalid) << "the same refused PIN must not be presented again";
        util.SetPin("m", PinString("99", 2));
        EXPECT_FALSE(gPines["m"].invalid);
        EXPECT_EQ(gPines["m"].pin, PinString("99", 2));
        EXPECT_EQ(MappingFlags(gPines["m"].pin.data()), kPinPageFlags) << "out of core and swap";
        // The new PIN reuses the buffer; what lies past it must not be the old PIN's tail.
        EXPECT_EQ(std::string(gPines["m"].pin.data() + 3, 3), "XXX");
        gPines["m"].retries++;
        EXPECT_EQ(util.InvalidPinRetries("m"), 2) << "retries count across PINs";
        gPines["b"] = PinInfoStruct{};
        gPines["0"] = PinInfoStruct{};
        gPines["m"].invalid = true;
    }
    Util second("", "", "", "");  // the records outlive the utility that made them
    EXPECT_TRUE(second.MissingPin() && second.InvalidPin());
    EXPECT_EQ(second.MissingPines(), (Strings{"0", "b"}));
    EXPECT_EQ(second.InvalidPines(), (Strings{"m"}));
    gPines.clear();
}

}  // namespace
}  // namespace p11bridge
