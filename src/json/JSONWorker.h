// JSONWorker: turning message text into nodes (stripping, the outer check, decoding on demand)
// and the escaping of texts on both ways.
#pragma once

#include <cstddef>
#include <string>

#include "json/JSONDefs.h"

class JSONNode;
class internalJSONNode;

class JSONWorker {
public:
    // Strips the text and checks its outermost brackets; everything inside is decoded later.
    // Throws std::invalid_argument (empty message) on a bad outer shape and nothing else.
    static JSONNode parse(const char* text, std::size_t length);
    static JSONNode parse(const json_string& text);

    // Drops whitespace outside strings, turns comments into #...# blocks and replaces the quote
    // of every \" by kEscapedQuote, so that separator searches never need to look at escapes.
    static json_string RemoveWhiteSpace(const char* text, std::size_t length);
    static JSONNode _parse_unformatted(const json_string& stripped);

    // Decoding of a container's source text into children; a malformed text nulls the node.
    static void DoNode(internalJSONNode& node);
    static void DoArray(internalJSONNode& node);
    // First position in [pos, end) of `ch` outside strings and nested brackets, or npos.
    static std::size_t FindNextRelevant(char ch, const json_string& text, std::size_t pos,
                                        std::size_t end);

    // Backslash escapes decoded; never fails.
    static json_string FixString(const char* text, std::size_t length);
    // Appends `text`, escaped for a JSON string when `escape` is true.
    static void UnfixString(const json_string& text, bool escape, std::string& output);
    // The \u00XX escape of one byte.
    static std::string toUTF8(unsigned char byte);

    // Set for the rest of the run once a parsed text held an escaped quote; the writer then
    // restores kEscapedQuote bytes in raw (never decoded) string text.
    static bool escapedQuoteMarked() noexcept { return gEscapedQuoteMarked; }

    static constexpr char kEscapedQuote = '\x01';

private:
    static void NewNode(internalJSONNode& parent, const json_string& text, std::size_t nameBegin,
                        std::size_t nameEnd, std::size_t valueBegin, std::size_t valueEnd,
                        bool arrayElement);
    static std::size_t SpecialChar(const char* text, std::size_t length, std::size_t pos,
                                   json_string& output);
    static std::size_t UnicodeEscape(const char* text, std::size_t length, std::size_t pos,
                                     json_string& output);

    static bool gEscapedQuoteMarked;
};
