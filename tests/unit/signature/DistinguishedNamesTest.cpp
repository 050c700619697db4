#include <gtest/gtest.h>

#include <sstream>

#include "UtilForTest.h"

namespace p11bridge::testing {
namespace {

TEST(DistinguishedNames, ParseWithoutQuotingOrEscaping) {
    struct Case {
        const char* dn;
        NameValueMap map;
    } cases[] = {
        {"CN=Root CA, O=Example Org, C=ZZ", {{"c", "zz"}, {"cn", "root ca"}, {"o", "example org"}}},
        {"CN=a,CN=b", {{"cn", "b"}}},
        {"CN=a,", {{"cn", ""}}},
        {"CN=a,junk", {{"cn", "junk"}}},
        {"CN=a=b,O=c", {{"a", "b"}, {"o", "c"}}},
        {"abc", {{"", "abc"}}},
        {"CN=a\\,b", {{"cn", "b"}}},
    };
    CoreUtil util;
    for (const Case& c : cases) EXPECT_EQ(util.GetNameValueMap(c.dn), c.map) << c.dn;
}

TEST(DistinguishedNames, SerialNumberAndStateAliasesCompareEqual) {
    CoreUtil util;
    EXPECT_TRUE(util.AreMatch(util.GetNameValueMap("OID.2.5.4.5=123, CN=X"),
                              util.GetNameValueMap("SERIALNUMBER=123,CN=x")));
    EXPECT_TRUE(util.AreMatch(util.GetNameValueMap("N\xFAmero De Serie=1"),
                              util.GetNameValueMap("serialNumber=1")));
    EXPECT_TRUE(util.AreMatch(util.GetNameValueMap("identificador de objeto (2 5 4 5)=1"),
                              util.GetNameValueMap("serialNumber=1")));
    EXPECT_TRUE(util.AreMatch(util.GetNameValueMap("S=North"), util.GetNameValueMap("ST=north")));
    // Only the Latin-1 spelling is an alias; the UTF-8 one is a name of its own.
    EXPECT_FALSE(util.AreMatch(util.GetNameValueMap("n\xC3\xBAmero de serie=1"),
                               util.GetNameValueMap("serialNumber=1")));
}

TEST(DistinguishedNames, ListsSplitOnBarsAndFindNamesInAnyOrder) {
    CoreUtil util;
    std::string list = "CN=A|  |cn=a , o=B|";
    std::vector<NameValueMap> maps = util.GetNameValueMaps(list);
    ASSERT_EQ(maps.size(), 2u);
    EXPECT_TRUE(util.HasDistinguishedName(maps, util.GetNameValueMap("O=b,CN=A")));
    EXPECT_FALSE(util.HasDistinguishedName(maps, util.GetNameValueMap("CN=b")));
    EXPECT_FALSE(util.HasDistinguishedName({}, util.GetNameValueMap("CN=A")));
    EXPECT_FALSE(util.AreMatch({{"cn", "a"}}, {{"cn", "a"}, {"o", "b"}}));
    EXPECT_TRUE(util.AreMatch({}, {}));
    EXPECT_EQ(util.GetCADistinguishedNames(list).size(), 2u);
}

TEST(DistinguishedNames, PrintGoesToTheCallersStream) {
    CoreUtil util;
    std::ostringstream out;
    util.PrintDistinguishedName(out, {{"o", "b"}, {"cn", "a"}});
    EXPECT_EQ(out.str(), "cn=a,o=b,\n");
}

}  // namespace
}  // namespace p11bridge::testing
