// JSON read as browsers read a native-messaging manifest: the grammar and nothing more (no
// comments, no trailing commas, no raw control characters in texts), and a member named twice in
// one object is an error rather than a guess at which one a browser takes.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace p11bridge::doctor {

struct JsonValue {
    enum class Kind { kNull, kBoolean, kNumber, kText, kArray, kObject };
    Kind kind = Kind::kNull;
    std::string text;  // a text's decoded UTF-8; a number's or literal's spelling
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;  // in the order written

    // The member of that (decoded) name, or nullptr.
    const JsonValue* Member(const std::string& name) const;
};

// What is wrong, in words, with where ("line 3, column 7").
class JsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws JsonError on anything but one JSON value, with only white space around it.
JsonValue ParseStrictJson(const std::string& text);

}  // namespace p11bridge::doctor
