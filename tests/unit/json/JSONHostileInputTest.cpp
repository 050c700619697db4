// Anything a page can put in 999 bytes must be survivable: parsed, walked, copied and written.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "json/json.h"

namespace {

// Reads everything the way the host and the writer can, at every depth.
std::size_t walk(const JSONNode& node) {
    std::size_t visited = 1;
    (void)node.type();
    (void)node.name();
    (void)node.as_string();
    (void)node.as_int();
    for (const JSONNode& child : node) visited += walk(child);
    return visited;
}

std::size_t exercise(const std::string& text) {
    try {
        JSONNode doc = json::parse(text);
        JSONNode copy = doc;
        copy.push_back(JSONNode("added", "x"));
        const std::size_t visited = walk(doc) + walk(copy);
        (void)doc.write_formatted();
        (void)copy.write_formatted(16);
        return visited;
    } catch (const std::invalid_argument&) {
        return 0;
    }
}

TEST(JSONHostileInput, DeepNestingWithinTheRequestLimit) {
    EXPECT_EQ(exercise(std::string(499, '[') + std::string(499, ']')), 499u * 2 + 1);
    EXPECT_GT(exercise(std::string(333, '[') + "{\"a\":" + std::string(100, '{') +
                       std::string(100, '}') + "}" + std::string(333, ']')),
              0u);
    // Only the outermost brackets are checked; the unbalanced inside is one null element.
    EXPECT_EQ(exercise(std::string(998, '[') + "]"), 2u + 3u);
    EXPECT_GT(exercise("[" + std::string(997, '{') + "]"), 0u);
}

TEST(JSONHostileInput, UnterminatedPartsStopAtTheEnd) {
    const std::vector<std::string> texts = {"{\"a",
                                            "{\"a\":\"b",
                                            "{\"a\\",
                                            "/*",
                                            "{/*",
                                            "{\"a\":1/*}",
                                            "//",
                                            "#",
                                            "{\"a\":1#",
                                            "[\"\\u\"]",
                                            "[\"\\x\"]",
                                            "[\"\\0\"]",
                                            "[\"\\u00\"]",
                                            "{\"\\",
                                            "{\"a\":[}",
                                            "{\"a\":{\"b\":[1,{\"c\":\"}]}}",
                                            "[{]",
                                            "[[}]",
                                            "{\"a\":\"\\\"}",
                                            "{#}",
                                            "{#",
                                            "[#c#]",
                                            "{\"a\":1,\"b\"}",
                                            "{\"\":}",
                                            "{,}",
                                            "{:}",
                                            "{\"a\"::}",
                                            "[:]"};
    for (const std::string& text : texts) {
        EXPECT_NO_THROW(exercise(text)) << text;
    }
}

TEST(JSONHostileInput, MarkerAndControlBytes) {
    const std::vector<std::string> texts = {
        std::string("{\"a\":\"\x01\"}"),
        std::string("{\"a\x01\":1}"),
        std::string("[\"\\\x01\"]"),
        std::string("{\"a\":\"x\\\"y\",\"b\":\"\x01\"}"),
        std::string("{\"a\":\"\0\",\"b\":1}", 14),
        std::string("{\"a\":[\"\0]\"]}", 12),
        std::string("{\x01:1}"),
        std::string("[\"\xff\xfe\"]"),
    };
    for (const std::string& text : texts) {
        EXPECT_NO_THROW(exercise(text));
    }
    // A raw marker byte after an escaped quote was seen is written back as a quote.
    const JSONNode doc = json::parse(std::string("{\"a\":\"x\\\"y\"}"));
    EXPECT_EQ(doc.write_formatted(), "{\n\t\"a\" : \"x\\\"y\"\n}");
}

TEST(JSONHostileInput, MutatedRequestsNeverBreakTheLibrary) {
    // A deterministic sweep of byte flips over a typical request.
    const std::string seed =
        R"({"command":5,"certId":"QUJD/w==","digest":"3q2+7w==","pin":"12\"34","x":[1,{"y":null}]})";
    std::uint32_t state = 12345;
    for (int round = 0; round < 4000; ++round) {
        std::string text = seed;
        for (int flips = 0; flips < 4; ++flips) {
            state = state * 1664525u + 1013904223u;
            const std::size_t pos = (state >> 8) % text.size();
            const char bytes[] = "{}[]\":,\\/*#\x01\0 ta0-.eEx";
            text[pos] = bytes[(state >> 20) % (sizeof bytes - 1)];
        }
        exercise(text);
    }
}

}  // namespace
