// Handles share bodies until one of them changes, a tree never contains itself, lookups of absent
// members fail loudly, and the writer lays out any tree byte for byte.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "json/json.h"

namespace {

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
        EXPECT_THROW(doc[missing], std::out_of_range) << missing;
        EXPECT_THROW(doc.at(json_string(missing)), std::out_of_range) << missing;
        EXPECT_THROW(constDoc[std::string(missing)], std::out_of_range) << missing;
        EXPECT_THROW(constDoc.at(missing), std::out_of_range) << missing;
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

TEST(JSONWrite, ParsedTextWritesBack) {
    // Undecoded strings go out as they came; decoded ones are escaped again.
    const JSONNode doc = json::parse(
        R"({"s":"a\"b","e":"\u00e9\/","o":{"k":[[1,2],{"a":","},"x,y",/*c*/3,{}]},"x":{y}})");
    EXPECT_EQ(doc.at("e").as_string(), json_string("\xe9/"));
    EXPECT_EQ(doc.write_formatted(),
              "{\n\t\"s\" : \"a\\\"b\",\n\t\"e\" : \"\\u00E9\\/\",\n\t\"o\" : {\n\t\t\"k\" : [\n"
              "\t\t\t[\n\t\t\t\t1,\n\t\t\t\t2\n\t\t\t],\n\t\t\t{\n\t\t\t\t\"a\" : \",\"\n\t\t\t},\n"
              "\t\t\t\"x,y\",\n\t\t\t//c\n\t\t\t3,\n\t\t\t{}\n\t\t]\n\t},\n\t\"x\" : null\n}");
}

}  // namespace
