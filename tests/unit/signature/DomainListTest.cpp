#include <gtest/gtest.h>

#include "UtilForTest.h"

namespace p11bridge::testing {
namespace {

using Strings = std::vector<std::string>;

TEST(DomainList, EntriesAreNormalisedAndEmptyOnesDropped) {
    struct Case {
        const char* list;
        Strings entries;
    } cases[] = {
        {"X.A.B | c.d|", {"x.a.b", "c.d"}},
        {"a.b||c.d", {"a.b", "c.d"}},
        {" | |  |", {}},
        {"a.b|   ", {"a.b"}},
        {"", {}},
        {"a.b|a.b", {"a.b", "a.b"}},
        {"  Mixed   Case  .Org ", {"mixed case .org"}},
    };
    for (const Case& c : cases) EXPECT_EQ(CoreUtil("", c.list, "").Domains(), c.entries) << c.list;
}

TEST(DomainList, ConstructorKeepsTheSignedTextAndReducesTheAddress) {
    CoreUtil util("sig", " A.b |", "  Proto://X.A.B:81/p?q=1 ");
    EXPECT_EQ(util.CurrentDomain(), "x.a.b");
    EXPECT_EQ(util.LastError(), 0);
    EXPECT_EQ(util.LastLowLevelError(), 0);
    EXPECT_EQ(util.LastErrorMessage(), "");
}

TEST(DomainList, AddressIsReducedToItsHostName) {
    struct Case {
        const char* address;
        const char* domain;
    } cases[] = {
        {"proto://x.a.b:81/p?q=1", "x.a.b"},
        {"a.b/p", "a.b"},
        {"a.b", "a.b"},
        {"/a.b", "/a.b"},
        {"https://a.b?x=1", "a.b"},
        {"http://localhost:8123", "localhost"},
        {":x", ":x"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DigitalSignatureUtil::extractDomainName(c.address), c.domain) << c.address;
}

TEST(DomainList, TrimCollapsesSpacesAndLowersOnlyAsciiLetters) {
    EXPECT_EQ(DigitalSignatureUtil::trim("  A   b  "), "a b");
    EXPECT_EQ(DigitalSignatureUtil::trim("\tA\t"), "\ta\t");
    EXPECT_EQ(DigitalSignatureUtil::trim("\xC3\x89T\xC9"), "\xC3\x89t\xC9");
    EXPECT_EQ(DigitalSignatureUtil::trim("   "), "");
}

TEST(DomainList, EntryAuthorisesItselfAndSubdomainsOnly) {
    struct Case {
        const char* entry;
        const char* domain;
        bool matches;
    } cases[] = {
        {"a.b", "a.b", true},   {"a.b", "x.a.b", true},    {"a.b", "a.b.a.b", true},
        {"a.b", "xa.b", false}, {"a.b", "evila.b", false}, {"a.b", "a.b.c", false},
        {"a.b", "b", false},    {".a.b", "x.a.b", true},   {".a.b", "a.b", false},
        {"a.b", "", false},     {"", "a.b", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DigitalSignatureUtil::DomainMatches(c.entry, c.domain), c.matches)
            << c.entry << " vs " << c.domain;
}

}  // namespace
}  // namespace p11bridge::testing
