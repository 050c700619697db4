// Handles share bodies until one of them changes; lookups of absent members fail loudly.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "json/json.h"

namespace {

TEST(JSONNodeModel, CopiesShareUntilOneChanges) {
    JSONNode original = json::parse(R"({"a":{"b":1},"c":[1,2]})");
    original.size();  // decode the top level before copying
    JSONNode copy = original;
    EXPECT_EQ(copy.body(), original.body());
    EXPECT_EQ(original.body()->refcount(), 2u);

    // Reading never copies.
    const JSONNode& reader = copy;
    EXPECT_EQ(reader.at("c").size(), 2u);
    EXPECT_EQ(reader.begin()->name(), json_string("a"));
    EXPECT_EQ(copy.type(), JSON_NODE);
    EXPECT_EQ(copy.body(), original.body());

    copy["a"].push_back(JSONNode("added", 2));
    copy.push_back(JSONNode("d", "x"));
    EXPECT_NE(copy.body(), original.body());
    EXPECT_EQ(original.body()->refcount(), 1u);
    EXPECT_EQ(copy.body()->refcount(), 1u);
    EXPECT_EQ(original.size(), 2u);
    EXPECT_EQ(original.at("a").size(), 1u);
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy.at("a").size(), 2u);
    // The deep copy does not share nested bodies either.
    EXPECT_NE(copy.at("c").body(), original.at("c").body());
}

TEST(JSONNodeModel, UndecodedCopiesDecodeOnTheirOwn) {
    const JSONNode original = json::parse(R"({"a":1})");
    JSONNode copy = original;
    copy.push_back(JSONNode("b", 2));  // decodes the copy's own body
    EXPECT_FALSE(original.body()->isFetched());
    EXPECT_EQ(original.size(), 1u);
    EXPECT_EQ(copy.size(), 2u);
}

TEST(JSONNodeModel, PushBackSharesTheChildBody) {
    const JSONNode child("k", "v");
    JSONNode parent(JSON_NODE);
    parent.push_back(child);
    EXPECT_EQ(child.body()->refcount(), 2u);
    EXPECT_EQ(parent.begin()->body(), child.body());
    {
        const JSONNode another = parent;  // shares the parent, not the child
        EXPECT_EQ(parent.body()->refcount(), 2u);
    }
    EXPECT_EQ(parent.body()->refcount(), 1u);
    parent = JSONNode(JSON_NODE);  // releasing the parent releases its handle on the child
    EXPECT_EQ(child.body()->refcount(), 1u);
    parent.push_back(child);

    JSONNode scalar("n", 1);
    scalar.push_back(child);  // not a container: nothing happens
    EXPECT_EQ(scalar.size(), 0u);
    EXPECT_EQ(child.body()->refcount(), 2u);
}

TEST(JSONNodeModel, PushingANodeIntoItselfTakesASnapshot) {
    JSONNode node(JSON_NODE);
    node.push_back(JSONNode("a", 1));
    node.push_back(node);
    EXPECT_EQ(node.size(), 2u);
    EXPECT_EQ(node.body()->refcount(), 1u);
    EXPECT_EQ(node.write_formatted(), "{\n\t\"a\" : 1,\n\t\"\" : {\n\t\t\"a\" : 1\n\t}\n}");

    JSONNode outer(JSON_NODE);
    outer.push_back(JSONNode(JSON_ARRAY));
    JSONNode& inner = *outer.begin();
    inner.push_back(outer);  // outer holds inner: sharing would close a loop
    EXPECT_EQ(outer.write_formatted(), "{\n\t\"\" : [\n\t\t{\n\t\t\t\"\" : []\n\t\t}\n\t]\n}");
}

TEST(JSONNodeModel, MissingMembersThrowOutOfRange) {
    JSONNode doc = json::parse(R"({"command":2,"list":[1]})");
    const JSONNode& constDoc = doc;
    for (const char* missing : {"pin", "Command", "", "1"}) {
        EXPECT_THROW(doc[missing], std::out_of_range) << missing;
        EXPECT_THROW(doc.at(missing), std::out_of_range) << missing;
        EXPECT_THROW(constDoc[missing], std::out_of_range) << missing;
        EXPECT_THROW(constDoc.at(std::string(missing)), std::out_of_range) << missing;
    }
    EXPECT_THROW(doc["command"]["x"], std::out_of_range);  // not a container
    EXPECT_EQ(doc.at("list").at("").as_int(), 1);          // array elements carry the empty name
    try {
        doc.at("pin");
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "");
    }
    EXPECT_EQ(doc[json_string("command")].as_int(), 2);
}

TEST(JSONNodeModel, IteratorsWalkChildrenInOrder) {
    JSONNode doc = json::parse(R"({"a":1,"b":2,"c":3})");
    std::string seen;
    for (JSONNode::const_iterator it = doc.begin(); it != doc.end(); it++) seen += it->name().str();
    for (JSONNode::iterator it = doc.begin(); it != doc.end(); ++it) seen += it->as_string().str();
    EXPECT_EQ(seen, "abc123");
    const JSONNode scalar("n", 1);
    EXPECT_TRUE(scalar.begin() == scalar.end());
}

TEST(JSONNodeModel, ChildArrayStartsAtEightAndDoubles) {
    jsonChildren children;
    EXPECT_EQ(children.capacity(), 0u);
    children.push_back(std::make_unique<JSONNode>(JSON_NULL));
    EXPECT_EQ(children.capacity(), 8u);
    for (int i = 1; i < 9; ++i) children.push_back(std::make_unique<JSONNode>(JSON_NULL));
    EXPECT_EQ(children.size(), 9u);
    EXPECT_EQ(children.capacity(), 16u);

    // References to children stay valid while the array grows.
    JSONNode parent(JSON_ARRAY);
    parent.push_back(JSONNode("", 0));
    const JSONNode& first = *parent.begin();
    for (int i = 1; i < 20; ++i) parent.push_back(JSONNode("", i));
    EXPECT_EQ(first.as_int(), 0);
    EXPECT_EQ(parent.size(), 20u);
}

TEST(JSONNodeModel, BuiltNodesTakeTheIntendedType) {
    const std::string text = "text";
    EXPECT_EQ(JSONNode("message", "text").type(), JSON_STRING);
    EXPECT_EQ(JSONNode(json_string("message"), "text").type(), JSON_STRING);
    EXPECT_EQ(JSONNode("message", text).type(), JSON_STRING);
    EXPECT_EQ(JSONNode("zero", 0).type(), JSON_NUMBER);
    EXPECT_EQ(JSONNode("flag", true).as_int(), 1);
    EXPECT_EQ(JSONNode("n", 7u).as_int(), 7);
    EXPECT_EQ(JSONNode("n", 2.5).as_string(), json_string("2.5"));
    EXPECT_EQ(JSONNode(JSON_NULL).as_string(), json_string("null"));
    EXPECT_EQ(JSONNode(JSON_BOOL).as_string(), json_string("false"));
    EXPECT_EQ(JSONNode(static_cast<char>(9)).type(), JSON_NULL);
}

}  // namespace
