// The outer shape decides whether a message parses; everything inside is decoded lazily and turns
// into null nodes rather than errors.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "json/json.h"

namespace {

std::vector<std::string> namesOf(const JSONNode& node) {
    std::vector<std::string> names;
    for (JSONNode::const_iterator it = node.begin(); it != node.end(); ++it) {
        names.push_back(it->name().str());
    }
    return names;
}

TEST(JSONParse, OuterShapeDecidesAcceptance) {
    struct Case {
        std::string text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {R"({"command":2})", true},
        {"{\"a\":1}\t\n", true},
        {R"({"a":1}x)", false},
        {std::string("{\"a\":1}\x7f more"), true},  // the scan stops at DEL
        {std::string("{\"a\":1}\xc3\xa9"), true},
        {R"("just a string")", false},
        {"42", false},
        {"true", false},
        {"", false},
        {"   ", false},
        {R"({"a":1])", false},
        {R"([1,2})", false},
        {R"({"a":1} // end)", false},
        {"/* before */{\"a\":1}", true},
        {"# before\n[1]", true},
        {"/* unterminated", false},
        {"{\"a\":1}/", true},   // a lone slash cuts the rest
        {"/{\"a\":1}", false},  // ... even at the start
        {"{", false},
        {"}", false},
        {"{\"a\":\"unterminated}", true},  // the unterminated string swallows the brace
        {"{}", true},
        {"[]", true},
    };
    for (const Case& c : cases) {
        if (c.accepted) {
            EXPECT_NO_THROW(json::parse(c.text)) << c.text;
        } else {
            try {
                json::parse(c.text);
                ADD_FAILURE() << "accepted: " << c.text;
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "") << c.text;
            }
        }
    }
}

TEST(JSONParse, RootKeepsItsTypeAndLeadingComment) {
    const JSONNode object = json::parse("/* first */ // second\n{\"a\":1}");
    EXPECT_EQ(object.type(), JSON_NODE);
    EXPECT_EQ(object.name(), json_string());
    EXPECT_EQ(object.write_formatted(), "// first \n// second\n{\n\t\"a\" : 1\n}");
    EXPECT_EQ(json::parse("[1]").type(), JSON_ARRAY);
}

TEST(JSONParse, MembersKeepOrderCommentsAndInnerSpaces) {
    const JSONNode doc = json::parse(R"({ "a" : 1 , /* note */ "b" : "x y" , "a" : 2 })");
    EXPECT_EQ(namesOf(doc), (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_EQ(doc.at("b").as_string(), json_string("x y"));
    EXPECT_EQ(doc["a"].as_int(), 1);  // the first of duplicate names wins
}

TEST(JSONParse, NamesCompareByteForByte) {
    const JSONNode doc = json::parse(R"({"Command":2,"command\u0041":3})");
    EXPECT_THROW(doc.at("command"), std::out_of_range);
    EXPECT_EQ(doc.at("Command").as_int(), 2);
    EXPECT_EQ(doc.at("commandA").as_int(), 3);  // names are unescaped
}

TEST(JSONParse, MalformedInsideBecomesNullOnFirstAccess) {
    JSONNode broken = json::parse(R"({"a":1,"b"})");
    EXPECT_EQ(broken.type(), JSON_NODE);  // provisional until decoded
    EXPECT_EQ(broken.size(), 0u);
    EXPECT_EQ(broken.type(), JSON_NULL);
    EXPECT_EQ(broken.as_string(), json_string("null"));
    EXPECT_TRUE(broken.begin() == broken.end());
    EXPECT_THROW(broken.at("a"), std::out_of_range);
    EXPECT_EQ(broken.write_formatted(), "");

    const JSONNode nested = json::parse(R"({"x":{y},"z":3})");
    const JSONNode& x = nested.at("x");
    EXPECT_EQ(x.type(), JSON_NODE);
    EXPECT_EQ(x.size(), 0u);
    EXPECT_EQ(x.type(), JSON_NULL);
    EXPECT_EQ(nested.at("z").as_int(), 3);  // siblings decode independently
}

TEST(JSONParse, ValueClassification) {
    struct Case {
        const char* value;
        char type;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"", JSON_NULL, ""},
        {"null", JSON_NULL, "null"},
        {"nil", JSON_NULL, "null"},
        {"True", JSON_NULL, "null"},
        {"true", JSON_BOOL, "true"},
        {"false", JSON_BOOL, "false"},
        {"\"s\"", JSON_STRING, "s"},
        {"\"", JSON_NULL, "null"},  // a lone quote starts and ends with a quote, then fails
        {"\"open", JSON_NULL, "null"},
        {"{\"k\":1", JSON_NULL, "null"},
        {"[1", JSON_NULL, "null"},
        {"1.50", JSON_NUMBER, "1.50"},
        {"0x1F", JSON_NUMBER, "0x1F"},
        {"08", JSON_NULL, "null"},
        {"abc", JSON_NULL, "null"},
        {"/*c*/1", JSON_NULL, "null"},  // comments are skipped only in front of names
    };
    for (const Case& c : cases) {
        const JSONNode doc = json::parse(std::string("{\"v\":") + c.value + "}");
        const JSONNode& v = doc.at("v");
        EXPECT_EQ(v.as_string(), json_string(c.text)) << c.value;
        EXPECT_EQ(static_cast<int>(v.type()), static_cast<int>(c.type)) << c.value;
    }
}

TEST(JSONParse, ArraysSplitAtTopLevelCommas) {
    const JSONNode empties = json::parse("[,]");
    ASSERT_EQ(empties.size(), 2u);
    for (const JSONNode& element : empties) {
        EXPECT_EQ(element.type(), JSON_NULL);
        EXPECT_EQ(element.as_string(), json_string());
    }
    const JSONNode nested = json::parse(R"([[1,2],{"a":","},"x,y",/*c*/3])");
    ASSERT_EQ(nested.size(), 4u);
    EXPECT_EQ(nested.begin()->size(), 2u);
    EXPECT_EQ(nested.begin()->name(), json_string());
    // A member inside an array makes the whole array null.
    EXPECT_EQ(json::parse(R"([1,"a":2])").size(), 0u);
}

TEST(JSONParse, ShortNamePartsGetTheEmptyName) {
    for (const char* text : {"{:1}", "{a:1}", "{\"a\":1,:2}", "{/*c*/:1}"}) {
        const JSONNode doc = json::parse(text);
        ASSERT_GE(doc.size(), 1u) << text;
        EXPECT_NO_THROW(doc.at(json_string())) << text;
    }
}

}  // namespace
