// Replies must come out byte for byte: tab indentation, line feeds, " : " and escaped texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"

namespace {

TEST(JSONWrite, ErrorReplyIsByteExact) {
    JSONNode reply(JSON_NODE);
    reply.push_back(JSONNode("command", -1));
    reply.push_back(JSONNode("error", true));
    reply.push_back(JSONNode("message", "Message too long"));
    EXPECT_EQ(
        reply.write_formatted(2048),
        "{\n\t\"command\" : -1,\n\t\"error\" : true,\n\t\"message\" : \"Message too long\"\n}");
}

TEST(JSONWrite, ResponseIsByteExact) {
    const std::string pin = "1";
    const std::string errorMessage;
    const json_string pinModuleName;
    JSONNode reply(JSON_NODE);
    reply.push_back(JSONNode("command", 6));
    reply.push_back(JSONNode("error", false));
    reply.push_back(JSONNode("errorMessage", errorMessage));
    reply.push_back(JSONNode("lastError", 0));
    reply.push_back(JSONNode("lastLowLevelError", 0L));
    reply.push_back(JSONNode("pinModuleName", pinModuleName));
    reply.push_back(JSONNode("missingPin", false));
    reply.push_back(JSONNode("invalidPin", false));
    reply.push_back(JSONNode("pinLength", static_cast<unsigned long>(pin.size())));
    reply.push_back(JSONNode("ok", true));
    EXPECT_EQ(reply.write_formatted(2048),
              "{\n"
              "\t\"command\" : 6,\n"
              "\t\"error\" : false,\n"
              "\t\"errorMessage\" : \"\",\n"
              "\t\"lastError\" : 0,\n"
              "\t\"lastLowLevelError\" : 0,\n"
              "\t\"pinModuleName\" : \"\",\n"
              "\t\"missingPin\" : false,\n"
              "\t\"invalidPin\" : false,\n"
              "\t\"pinLength\" : 1,\n"
              "\t\"ok\" : true\n"
              "}");
}

TEST(JSONWrite, NestingIndentsOneTabPerLevel) {
    JSONNode array(JSON_ARRAY);
    array.push_back(JSONNode("ignored", 1));  // array elements are written without names
    array.push_back(JSONNode("", 2));
    array.set_name("a");
    JSONNode object(JSON_NODE);
    object.push_back(array);
    object.push_back(JSONNode(JSON_NODE));
    object.set_name("root names are never written");
    EXPECT_EQ(object.write_formatted(), "{\n\t\"a\" : [\n\t\t1,\n\t\t2\n\t],\n\t\"\" : {}\n}");
    EXPECT_EQ(JSONNode(JSON_ARRAY).write_formatted(), "[]");

    // Past the cached levels the indentation keeps growing.
    JSONNode deepest(JSON_ARRAY);
    for (int level = 0; level < 30; ++level) {
        JSONNode outer(JSON_ARRAY);
        outer.push_back(deepest);
        deepest = outer;
    }
    const std::string text = deepest.write_formatted();
    EXPECT_NE(text.find("\n" + std::string(30, '\t') + "[]\n" + std::string(29, '\t') + "]"),
              std::string::npos);
    EXPECT_EQ(makeIndent(25), std::string(25, '\t'));
    EXPECT_EQ(makeIndent(kUnformatted), "");
}

TEST(JSONWrite, OnlyContainersAreDocuments) {
    for (const JSONNode& node : {JSONNode("s", "x"), JSONNode("n", 1), JSONNode("b", true),
                                 JSONNode(JSON_NULL), JSONNode(JSON_STRING)}) {
        EXPECT_EQ(node.write_formatted(), "");
    }
}

TEST(JSONWrite, EscapingOfNamesAndStrings) {
    struct Case {
        std::string raw;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"MII/ab+c=", "MII\\/ab+c="},
        {"line1\r\nline2", "line1\\r\\nline2"},
        {"q\"b\\", "q\\\"b\\\\"},
        {"\t\b\f", "\\t\\b\\f"},
        {"\x0b\x01\x7f", "\\u000B\\u0001\\u007F"},
        {"\xc3\xa9", "\\u00C3\\u00A9"},
        {"\xe9", "\\u00E9"},
        {"plain ~text~", "plain ~text~"},
    };
    for (const Case& c : cases) {
        JSONNode reply(JSON_NODE);
        reply.push_back(JSONNode(c.raw, c.raw));
        EXPECT_EQ(reply.write_formatted(), "{\n\t\"" + c.written + "\" : \"" + c.written + "\"\n}")
            << c.raw;
    }
}

TEST(JSONWrite, NumberTexts) {
    EXPECT_EQ(NumberToString::_itoa(INT64_MIN), json_string("-9223372036854775808"));
    EXPECT_EQ(NumberToString::_itoa(static_cast<signed char>(-128)), json_string("-128"));
    EXPECT_EQ(NumberToString::_itoa(0), json_string("0"));
    EXPECT_EQ(NumberToString::_uitoa(UINT64_MAX), json_string("18446744073709551615"));
    EXPECT_EQ(JSONNode("n", -1).as_string(), json_string("-1"));
    EXPECT_EQ(JSONNode("n", ULONG_MAX).as_string(), json_string("18446744073709551615"));
    EXPECT_EQ(JSONNode("n", LONG_MIN).as_string(), json_string("-9223372036854775808"));

    struct Case {
        double value;
        const char* text;
    };
    const std::vector<Case> cases = {
        {0.0, "0"},
        {3.0, "3"},
        {-3.0, "-3"},
        {2.000001, "2"},
        {1.5, "1.5"},
        {-0.25, "-0.25"},
        {0.1, "0.1"},
        {1e20, "100000000000000000000"},
        {-1e19, "-10000000000000000000"},
    };
    for (const Case& c : cases) EXPECT_EQ(NumberToString::_ftoa(c.value), json_string(c.text));
    // Far beyond 63 characters: the whole integer part, not a truncated one.
    EXPECT_EQ(NumberToString::_ftoa(1e300).size(), 301u);
}

TEST(JSONWrite, ParsedTextWritesBack) {
    const JSONNode doc = json::parse(R"({"s":"a\"b","t":"x\/y","n":1.50,"o":{"k":[1,{}]}})");
    EXPECT_EQ(doc.write_formatted(),
              "{\n\t\"s\" : \"a\\\"b\",\n\t\"t\" : \"x\\/y\",\n\t\"n\" : 1.50,\n"
              "\t\"o\" : {\n\t\t\"k\" : [\n\t\t\t1,\n\t\t\t{}\n\t\t]\n\t}\n}");
    // A member whose decoding fails is written as the null it became.
    EXPECT_EQ(json::parse(R"({"x":{y},"z":[1,"a":2]})").write_formatted(),
              "{\n\t\"x\" : null,\n\t\"z\" : null\n}");
    // Decoded strings that held escapes are escaped again.
    EXPECT_EQ(doc.at("s").as_string(), json_string("a\"b"));
    EXPECT_NE(doc.write_formatted().find("\"s\" : \"a\\\"b\""), std::string::npos);
}

}  // namespace
