// Feeds arbitrary request texts through everything the host and the writer do with a document,
// and checks that changing a copy never shows through the original.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "json/json.h"

namespace {

// Reads every node at every depth; a member found by iteration must be found by name too.
void walk(const JSONNode& node) {
    (void)node.type();
    (void)node.as_string();
    (void)node.as_int();
    const bool object = node.type() == JSON_NODE;
    for (const JSONNode& child : node) {
        const json_string name = child.name();
        if (object) {
            try {
                (void)node.at(name).type();
            } catch (const std::out_of_range&) {
                std::abort();
            }
        }
        walk(child);
    }
}

void modify(JSONNode& copy, const JSONNode& original) {
    copy.push_back(JSONNode("fuzz", "value \"\\/\x01\xe9"));
    copy.push_back(JSONNode("n", -7));
    copy.push_back(copy);
    for (JSONNode& child : copy) {
        child.set_name("renamed");
        child.push_back(original);
        child.push_back(copy);
        if (child.type() == JSON_NODE || child.type() == JSON_ARRAY) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 999) return 0;  // the host's receive buffer never hands over more
    const json_string text(reinterpret_cast<const char*>(data), size);
    JSONNode document;
    try {
        document = json::parse(text);
    } catch (const std::invalid_argument& e) {
        if (e.what()[0] != '\0') std::abort();
        return 0;
    }
    walk(document);
    const std::string before = document.write_formatted(2048);

    JSONNode copy = document;
    modify(copy, document);
    walk(copy);
    (void)copy.write_formatted(0);

    if (document.write_formatted(2048) != before) std::abort();
    return 0;
}
