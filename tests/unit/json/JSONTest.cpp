// The JSON library's internals, which no reply shows: the node model, the writer at any depth,
// the lenient lazy parser, and nothing a page can put in 999 bytes breaking any of them.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "json/json.h"

namespace {

using namespace std::string_literals;

TEST(JSONNodeModel, CopiesShareUntilOneChanges) {
    JSONNode original = json::parse(R"({"a":{"b":1},"c":[1,2]})");
    JSONNode undecoded = original;
    undecoded.push_back(JSONNode("d", 2));  // decodes a body of its own
    EXPECT_FALSE(original.body()->isFetched());
    EXPECT_EQ(undecoded.size(), 3u);
    JSONNode copy = original;
    const JSONNode& reader = copy;
    EXPECT_EQ(reader.at("c").size(), 2u);
    EXPECT_EQ(reader.begin()->name(), json_string("a"));
    EXPECT_EQ(copy.body(), original.body()) << "reading never copies";
    EXPECT_EQ(original.body()->refcount(), 2u);
    copy["a"].push_back(JSONNode("added", 2));
    EXPECT_EQ(original.body()->refcount(), 1u);
    EXPECT_EQ(original.at("a").size(), 1u);
    EXPECT_EQ(copy.at("a").size(), 2u);
    EXPECT_NE(copy.at("c").body(), original.at("c").body()) << "nested bodies are copied too";
}

TEST(JSONNodeModel, ChildrenAreSharedHandlesKeptInPlaceButNeverTheTreeItself) {
    const JSONNode child("k", "v");
    JSONNode parent(JSON_ARRAY), scalar("n", 1);
    parent.push_back(child);
    scalar.push_back(child);  // not a container: nothing happens
    EXPECT_EQ(parent.begin()->body(), child.body());
    EXPECT_EQ(child.body()->refcount(), 2u);
    const JSONNode& first = *parent.begin();
    for (int i = 1; i < 20; ++i) parent.push_back(JSONNode("", i));
    EXPECT_EQ(first.as_string(), json_string("v")) << "a reference to a child survives growth";
    jsonChildren children;
    for (json_index_t n = 1; n <= 17; ++n) {
        children.push_back(std::make_unique<JSONNode>());
        EXPECT_EQ(children.capacity(), n <= 8 ? 8u : n <= 16 ? 16u : 32u) << n;
    }

    JSONNode node(JSON_NODE);
    node.push_back(JSONNode("a", 1));
    node.push_back(node);
    EXPECT_EQ(node.write_formatted(), "{\n\t\"a\" : 1,\n\t\"\" : {\n\t\t\"a\" : 1\n\t}\n}");
    JSONNode outer(JSON_NODE);
    outer.push_back(JSONNode(JSON_ARRAY));
    outer.begin()->push_back(outer);  // outer holds the array: sharing would close a loop
    EXPECT_EQ(outer.write_formatted(), "{\n\t\"\" : [\n\t\t{\n\t\t\t\"\" : []\n\t\t}\n\t]\n}");
}

TEST(JSONNodeModel, LookupsAndIterators) {
    JSONNode doc = json::parse(R"({"command":2,"list":[1],"z":3})");
    const JSONNode& constDoc = doc;
    for (const char* missing : {"pin", "Command", "", "1"}) {
        EXPECT_THROW(doc[json_string(missing)], std::out_of_range) << missing;
        EXPECT_THROW(constDoc.at(std::string(missing)), std::out_of_range) << missing;
    }
    EXPECT_THROW(doc["command"]["x"], std::out_of_range);  // not a container
    EXPECT_EQ(doc.at("list").at("").as_int(), 1);          // array elements carry the empty name
    std::string seen;
    for (JSONNode::const_iterator it = constDoc.begin(); it != constDoc.end(); it++)
        seen += it->name().str();
    for (JSONNode::iterator it = doc.begin(); it != doc.end(); ++it) seen += it->as_string().str();
    EXPECT_EQ(seen, "commandlistz23");
    const JSONNode scalar("n", 1);
    EXPECT_TRUE(scalar.begin() == scalar.end());
}

TEST(JSONNodeModel, BuiltNodesWriteAsTheirTypeAndConvert) {
    // Node, as_int, and its line as a member of an object (as an array element: without name).
    // clang-format off
    const std::vector<std::tuple<JSONNode, int, std::string>> rows = {
        {JSONNode("n", "text"), 0, R"("n" : "text")"}, {JSONNode("n", true), 1, R"("n" : true)"},
        {JSONNode("n", std::string("7")), 7, R"("n" : "7")"},
        {JSONNode("/\x01", "q\"b\\/\r\n\t\b\f\x0b\x7f\xc3\xa9 ~"), 0,
         R"("\/\u0001" : "q\"b\\\/\r\n\t\b\f\u000B\u007F\u00C3\u00A9 ~")"},
        {JSONNode("zero", 0), 0, R"("zero" : 0)"}, {JSONNode("n", -1), -1, R"("n" : -1)"},
        {JSONNode("n", LONG_MIN), 0, R"("n" : -9223372036854775808)"},
        {JSONNode("n", ULONG_MAX), 0, R"("n" : 18446744073709551615)"},
        {JSONNode("n", 2.000001), 2, R"("n" : 2)"}, {JSONNode("n", -3.0), -3, R"("n" : -3)"},
        {JSONNode("n", -0.25), 0, R"("n" : -0.25)"},
        {JSONNode("n", 1e20), 0, R"("n" : 100000000000000000000)"},
        {JSONNode("n", -1e19), 0, R"("n" : -10000000000000000000)"},
        {JSONNode(JSON_BOOL), 0, R"("" : false)"}, {JSONNode(JSON_NUMBER), 0, R"("" : 0)"},
        {JSONNode(JSON_STRING), 0, R"("" : "")"}, {JSONNode(JSON_NULL), 0, R"("" : null)"},
        {JSONNode(static_cast<char>(9)), 0, R"("" : null)"}};
    // clang-format on
    for (const auto& [node, asInt, member] : rows) {
        EXPECT_EQ(node.as_int(), asInt) << member;
        EXPECT_EQ(node.write_formatted(), "") << "only containers are documents: " << member;
        JSONNode object(JSON_NODE), array(JSON_ARRAY);
        object.push_back(node);
        object.set_name("root names are never written");
        array.push_back(node);
        EXPECT_EQ(object.write_formatted(), "{\n\t" + member + "\n}");
        EXPECT_EQ(array.write_formatted(), "[\n\t" + member.substr(member.find(" : ") + 3) + "\n]");
    }
    // Far beyond 63 characters: the whole integer part, not a truncated one.
    EXPECT_EQ(JSONNode("n", 1e300).as_string().size(), 301u);
    // Past the cached levels the indentation keeps growing.
    JSONNode deepest(JSON_ARRAY);
    std::string expected = "[";
    for (int level = 1; level <= 30; ++level) {
        JSONNode outer(JSON_ARRAY);
        outer.push_back(deepest);
        deepest = outer;
        expected += "\n" + std::string(level, '\t') + (level < 30 ? "[" : "[]");
    }
    for (int level = 29; level >= 0; --level) expected += "\n" + std::string(level, '\t') + "]";
    EXPECT_EQ(deepest.write_formatted(), expected);
}

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
TEST(JSONParse, OuterShapeAndNumberSyntaxDecideAcceptance) {
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
    for (const char* text : {"0", "-1", "+1", "1.", ".5", "0x", "0x1fA", "-0x10", "017", "0e5",
                             "0.25", "0E-1", "1e+10", "2.5E3", "123456789012345678901"})
        EXPECT_TRUE(NumberToString::isNumeric(json_string(text))) << text;
    for (const char* text : {"", "-", "-.5", "+e1", "00", "08", "0x1g", "018", "1e", "1e+", "1.2.3",
                             "1e5.0", "1e5e5", "0a", "--1", "0E+", "1 "})
        EXPECT_FALSE(NumberToString::isNumeric(json_string(text))) << text;
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
        // Above \u00FF a code unit is a character, written in UTF-8; a surrogate pair is one
        // character and anything else made of surrogates is U+FFFD.
        {R"("\u00FF\u0100\u20AC")", JSON_STRING, "\xFF\xC4\x80\xE2\x82\xAC", 0},
        {R"("\ud83D\uDE00")", JSON_STRING, "\xF0\x9F\x98\x80", 0},
        {R"("\udc63\uD83D\u0041\uDBFF\uDFFF\uDE00\uD800")", JSON_STRING,
         "\xEF\xBF\xBD\xEF\xBF\xBD" "A\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBD", 0},
        {R"("\uD800\u12")", JSON_STRING, "\xEF\xBF\xBD\0"s + "12", 0},
        {R"("\u12")", JSON_STRING, "\0"s + "12", 0}, {R"("\x4")", JSON_STRING, "\0"s + "4", 0},
        // Two hex or three octal digits suffice at the end; invalid digits count as 0; the octal
        // value is kept modulo 256.
        {R"("\x4a\x41")", JSON_STRING, "JA", 0}, {R"("\101")", JSON_STRING, "A", 0},
        {R"("\xZZ")", JSON_STRING, "\0"s, 0}, {R"("\101\1019")", JSON_STRING, "AA9", 0},
        {R"("\477")", JSON_STRING, "?", 0},
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

// clang-format on

TEST(JSONParse, CommentsOrderNamesAndNestedTextWriteBack) {
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
    // Arrays split at their own commas, malformed values write as the nulls they became,
    // undecoded strings go out as they came and decoded ones are escaped again.
    const JSONNode nested = json::parse(
        R"({"s":"a\"b","e":"\u00e9\/","o":{"k":[[1,2],{"a":","},"x,y",/*c*/3,{}]},"x":{y}})");
    EXPECT_EQ(nested.at("e").as_string(), json_string("\xe9/"));
    EXPECT_EQ(nested.write_formatted(),
              "{\n\t\"s\" : \"a\\\"b\",\n\t\"e\" : \"\\u00E9\\/\",\n\t\"o\" : {\n\t\t\"k\" : [\n"
              "\t\t\t[\n\t\t\t\t1,\n\t\t\t\t2\n\t\t\t],\n\t\t\t{\n\t\t\t\t\"a\" : \",\"\n\t\t\t},\n"
              "\t\t\t\"x,y\",\n\t\t\t//c\n\t\t\t3,\n\t\t\t{}\n\t\t]\n\t},\n\t\"x\" : null\n}");
}

TEST(JSONHostileInput, NothingWithinTheRequestLimitBreaksTheLibrary) {
    const std::string deep = exercise(std::string(499, '[') + std::string(499, ']'));
    EXPECT_NE(deep.find("\n" + std::string(498, '\t') + "[]\n"), std::string::npos);
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
