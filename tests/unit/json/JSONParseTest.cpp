// The outer shape decides whether a message parses; everything inside is decoded lazily, escapes
// and conversions never fail, what is malformed becomes null, and nothing a page can put in 999
// bytes breaks the library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "json/json.h"

namespace {

using namespace std::string_literals;

// Parses, copies, extends, reads and writes a text as the host and the writer can; the written
// original, or "refused".
std::string exercise(const std::string& text) {
    try {
        JSONNode doc = json::parse(text), copy = doc;
        copy.push_back(JSONNode("added", "x"));
        for (const JSONNode& member : copy) (void)(member.as_string().size() + member.as_int());
        (void)copy.write_formatted();
        return doc.write_formatted();
    } catch (const std::invalid_argument&) {
        return "refused";
    }
}

// clang-format off
TEST(JSONParse, OuterShapeDecidesAcceptance) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {R"({"command":2})", true}, {"{\"a\":1}\t\n", true}, {"{}", true}, {"[]", true},
        {"{\"a\":1}\x7f more", true},  // control bytes, DEL and non-ASCII cut the text
        {"{\"a\":1}/", true},          // ... and so does a lone slash
        {"/* before */{\"a\":1}", true}, {"# before\n[1]", true},
        {"{\"a\":\"unterminated}", true},  // the open string swallows the brace
        {R"({"a":1}x)", false}, {R"("just a string")", false}, {"42", false}, {"", false},
        {"   ", false}, {R"({"a":1])", false}, {R"({"a":1} // end)", false},
        {"/* unterminated", false}, {"/{\"a\":1}", false}, {"{", false}};
    for (const auto& [text, accepted] : rows)
        EXPECT_EQ(exercise(text) != "refused", accepted) << text;
}

TEST(JSONParse, MemberValuesClassifyDecodeAndConvert) {
    // Value of "v"; its type once read; as_string; as_int.
    const std::vector<std::tuple<std::string, char, std::string, int>> rows = {
        {"", JSON_NULL, "", 0}, {"null", JSON_NULL, "null", 0}, {"nil", JSON_NULL, "null", 0},
        {"abc", JSON_NULL, "null", 0}, {"True", JSON_NULL, "null", 0}, {"[1", JSON_NULL, "null", 0},
        {"true", JSON_BOOL, "true", 1}, {"false", JSON_BOOL, "false", 0},
        {"/*c*/1", JSON_NULL, "null", 0},  // comments are skipped only in front of names
        {"\"", JSON_NULL, "null", 0},      // a lone quote starts and ends with a quote
        {"\"open", JSON_NULL, "null", 0}, {"{y}", JSON_NULL, "null", 0},
        {"[1,\"a\":2]", JSON_NULL, "null", 0},  // a member inside an array nulls it
        {"{\"a\":1}", JSON_NODE, "", 0}, {"1.50", JSON_NUMBER, "1.50", 1},  // the text as it stood
        {"-3.9", JSON_NUMBER, "-3.9", -3}, {"0x1F", JSON_NUMBER, "0x1F", 31},
        {"4294967298", JSON_NUMBER, "4294967298", 2},  // the low 32 bits
        {"1e300", JSON_NUMBER, "1e300", 0}, {R"("-1e999")", JSON_STRING, "-1e999", 0},
        {R"("nan")", JSON_STRING, "nan", 0}, {R"("12abc")", JSON_STRING, "12abc", 12},
        {R"("x\",\"y:z")", JSON_STRING, "x\",\"y:z", 0},  // escaped quotes hide separators
        {R"("a\"b\\c\u00e9")", JSON_STRING, "a\"b\\c\xe9", 0},
        {R"("\t\n\r\b\f\v\/\q")", JSON_STRING, "\t\n\r\b\f\v/q", 0},
        {R"("\u20AC")", JSON_STRING, "\xAC", 0},  // only the low byte of the code unit
        {R"("\u12")", JSON_STRING, "\0"s + "12", 0}, {R"("\x4")", JSON_STRING, "\0"s + "4", 0},
        {R"("\x4a\x41")", JSON_STRING, "JA", 0},  // two hex digits suffice at the end
        {R"("\101")", JSON_STRING, "A", 0},       // and three octal digits
        {R"("\xZZ")", JSON_STRING, "\0"s, 0},     // invalid digits count as 0
        {R"("\101\1019")", JSON_STRING, "AA9", 0}, {R"("\477")", JSON_STRING, "?", 0},
        {R"("\19")", JSON_STRING, "\0"s + "19", 0}, {R"("\1x9")", JSON_STRING, "@", 0}};
    for (const auto& [value, type, text, asInt] : rows) {
        const JSONNode doc = json::parse("{\"w\":2,\"v\":" + value + "}");
        const JSONNode& v = doc.at("v");
        EXPECT_EQ(v.as_string().str(), text) << value;
        EXPECT_EQ(v.as_int(), asInt) << value;
        EXPECT_EQ(static_cast<int>(v.type()), static_cast<int>(type)) << value;
        EXPECT_EQ(doc.at("w").as_int(), 2) << "siblings decode on their own: " << value;
    }
}

TEST(JSONParse, NumberSyntax) {
    for (const char* text : {"0", "-1", "+1", "1.", ".5", "0x", "0x1fA", "-0x10", "017", "0e5",
                             "0E-1", "1e+10", "2.5E3", "123456789012345678901"})
        EXPECT_TRUE(NumberToString::isNumeric(json_string(text))) << text;
    for (const char* text : {"", "-", "-.5", "+e1", "00", "08", "0x1g", "018", "1e", "1e+", "1.2.3",
                             "1e5.0", "1e5e5", "0a", "--1", "0E+", "1 "})
        EXPECT_FALSE(NumberToString::isNumeric(json_string(text))) << text;
}
// clang-format on

TEST(JSONParse, CommentsOrderNamesAndLateNulls) {
    EXPECT_EQ(exercise("/* first */ // second\n{\"a\":1}"),
              "// first \n// second\n{\n\t\"a\" : 1\n}");
    const JSONNode doc =
        json::parse(R"({ "a" : 1 , /* note */ "b" : "x y" , "a" : 2, "command\u0041" : 3 })");
    std::string names;
    for (const JSONNode& member : doc) names += member.name().str() + ",";
    EXPECT_EQ(names, "a,b,a,commandA,");  // names are unescaped
    EXPECT_EQ(doc.at("b").as_string(), json_string("x y"));
    EXPECT_EQ(doc["a"].as_int(), 1);                      // the first of duplicate names wins
    EXPECT_THROW(doc.at("commanda"), std::out_of_range);  // names compare byte for byte
    for (const char* text : {"{:1}", "{a:1}", "{\"a\":1,:2}", "{/*c*/:1}"})
        EXPECT_NO_THROW(json::parse(text).at(json_string())) << "short name part: " << text;
    const JSONNode broken = json::parse(R"({"a":1,"b"})");
    EXPECT_EQ(broken.type(), JSON_NODE);  // provisional until decoded
    EXPECT_EQ(broken.size(), 0u);
    EXPECT_EQ(broken.type(), JSON_NULL);
    EXPECT_EQ(broken.write_formatted(), "");
}

TEST(JSONHostileInput, NothingWithinTheRequestLimitBreaksTheLibrary) {
    const std::string deep = exercise(std::string(499, '[') + std::string(499, ']'));
    EXPECT_EQ(std::count(deep.begin(), deep.end(), '['), 499);
    // Only the outermost brackets are checked; the unbalanced inside is one null element.
    EXPECT_EQ(exercise(std::string(998, '[') + "]"), "[\n\tnull\n]");
    const std::string nested = std::string(333, '[') + R"({"a":)" + std::string(100, '{') +
                               std::string(100, '}') + "}" + std::string(333, ']');
    // clang-format off
    const std::vector<std::string> texts = {"[" + std::string(997, '{') + "]", nested,
        R"({"a)", R"({"a":"b)", R"({"a\)", "/*", "{/*", R"({"a":1/*})", "//", R"({"a":1#)", "[:]",
        R"(["\u"])", R"(["\x"])", R"(["\0"])", R"(["\u00"])", R"({"\)", R"({"a":[})", "[{]", "[[}]",
        R"({"a":{"b":[1,{"c":"}]}})", R"({"a":"\"})", "{#}", "[#c#]", R"({"a":1,"b"})", R"({"":})",
        "{,}", R"({"a"::})", "{\"a\x01\":1}", "[\"\\\x01\"]", "{\"a\":\"x\\\"y\",\"b\":\"\x01\"}",
        "{\"a\":\"\0\",\"b\":1}"s, "{\"a\":[\"\0]\"]}"s, "{\x01:1}", "[\"\xff\xfe\"]"};
    // clang-format on
    for (const std::string& text : texts) exercise(text);
    // A deterministic sweep of byte flips over a typical request.
    const std::string seed =
        R"({"command":5,"certId":"QUJD/w==","digest":"3q2+7w==","pin":"1\"2","x":[1,{"y":null}]})";
    const char bytes[] = "{}[]\":,\\/*#\x01\0 ta0-.eEx";
    std::uint32_t state = 12345;
    for (int round = 0; round < 4000; ++round) {
        std::string text = seed;
        for (int flips = 0; flips < 4; ++flips) {
            state = state * 1664525u + 1013904223u;
            text[(state >> 8) % text.size()] = bytes[(state >> 20) % (sizeof bytes - 1)];
        }
        exercise(text);
    }
}

}  // namespace
