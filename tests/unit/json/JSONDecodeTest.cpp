// Decoding of escapes and numbers, and the conversions the host applies to request members.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.h"

namespace {

json_string decodedString(const std::string& source) {
    return json::parse("{\"s\":\"" + source + "\"}").at("s").as_string();
}

TEST(JSONDecode, EscapesNeverFail) {
    struct Case {
        std::string source;
        std::string decoded;
    };
    const std::vector<Case> cases = {
        {R"(a\"b\\c\u00e9)", std::string("a\"b\\c\xe9")},
        {R"(\t\n\r\b\f\v\/)", "\t\n\r\b\f\v/"},
        {R"(\q)", "q"},
        {R"(\u20AC)", "\xAC"},  // only the low byte of the code unit is kept
        {R"(\u12)", std::string("\0"
                                "12",
                                3)},
        {R"(\x41\x4a)", "AJ"},
        {R"(\x4)", std::string("\0"
                               "4",
                               2)},
        {R"(\xZZ)", std::string("\0", 1)},  // invalid digits count as 0
        {R"(\101\1019)", "AA9"},
        {R"(\101)", "A"},  // two hex or three octal digits suffice at the end of a string
        {R"(\477)", "?"},  // 4*64+7*8+7 = 319, kept modulo 256
        {R"(\19)", std::string("\0"
                               "19",
                               3)},
        {R"(\1x9)", "@"},  // 1*64, and the invalid digits count as 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodedString(c.source).str(), c.decoded) << c.source;
    }
}

TEST(JSONDecode, NumberSyntax) {
    const std::vector<std::string> accepted = {
        "0",     "7",     "-1",  "+1",  "1.5",  "1.",    ".5",    "0.25", "0x",
        "0x1fA", "-0x10", "017", "0e5", "0E-1", "1e+10", "2.5E3", "-0.0", "123456789012345678901"};
    const std::vector<std::string> rejected = {
        "",    "-",     "+",     "-.5",   "+e1", "00", "08",  "09", "0x1g", "018", "1e",
        "1e+", "1.2.3", "1e5.0", "1e5e5", "0a",  "1a", "--1", "0e", "0E+",  "a1",  "1 "};
    for (const std::string& text : accepted) {
        EXPECT_TRUE(NumberToString::isNumeric(json_string(text))) << text;
    }
    for (const std::string& text : rejected) {
        EXPECT_FALSE(NumberToString::isNumeric(json_string(text))) << text;
    }
}

TEST(JSONDecode, AsIntTruncatesAndKeepsLow32Bits) {
    struct Case {
        const char* value;
        int expected;
    };
    const std::vector<Case> cases = {
        {"2", 2},       {"3.9", 3},        {"-3.9", -3},      {"true", 1},
        {"false", 0},   {"null", 0},       {"\"12abc\"", 12}, {"\"abc\"", 0},
        {"\"2.9\"", 2}, {"4294967298", 2}, {"-1", -1},        {"1e300", 0},
        {"[1]", 0},     {"{\"a\":1}", 0},  {"0x1F", 31},      {"\"-1e999\"", 0},
    };
    for (const Case& c : cases) {
        const JSONNode doc = json::parse(std::string("{\"v\":") + c.value + "}");
        EXPECT_EQ(doc.at("v").as_int(), c.expected) << c.value;
    }
}

TEST(JSONDecode, AsStringGivesTheTextAsItStood) {
    const JSONNode doc = json::parse(R"({"n":1.50,"b":true,"z":null,"e":,"o":{"k":1},"a":[]})");
    EXPECT_EQ(doc.at("n").as_string(), json_string("1.50"));
    EXPECT_EQ(doc.at("b").as_string(), json_string("true"));
    EXPECT_EQ(doc.at("z").as_string(), json_string("null"));
    EXPECT_EQ(doc.at("e").as_string(), json_string(""));
    EXPECT_EQ(doc.at("o").as_string(), json_string(""));
    EXPECT_EQ(doc.at("a").as_string(), json_string(""));
}

TEST(JSONDecode, EscapedQuotesSurviveSeparatorSearch) {
    // The quote after a backslash must neither end the string nor expose the comma and colon.
    const JSONNode doc = json::parse(R"({"a":"x\",\"y:z","b":2})");
    EXPECT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc.at("a").as_string(), json_string("x\",\"y:z"));
    EXPECT_EQ(doc.at("b").as_int(), 2);
}

}  // namespace
