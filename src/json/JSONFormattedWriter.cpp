// Formatted writing: tab indentation, line feeds, and " : " between a name and its value. The
// host's replies must come out byte for byte in this layout.
#include <string>

#include "json/JSONIndent.h"
#include "json/JSONNode.h"
#include "json/JSONWorker.h"
#include "json/internalJSONNode.h"

namespace {

constexpr char NEW_LINE = '\n';

}  // namespace

std::string JSONNode::write_formatted(std::size_t size) const {
    if (!internal->isContainer()) return std::string();
    // A container whose source turns out malformed is null, and null is not a document.
    internal->Fetch();
    if (!internal->isContainer()) return std::string();
    std::string output;
    output.reserve(size);
    // Written as an array child so that a root's own name never appears.
    internal->Write(0, true, output);
    return output;
}

void internalJSONNode::Write(json_index_t indent, bool arrayChild, std::string& output) {
    const bool formatted = indent != kUnformatted;
    WriteComment(indent, output);
    WriteName(formatted, arrayChild, output);
    if (isContainer()) Fetch();
    switch (_type) {
        case JSON_NODE:
            output += '{';
            WriteChildren(indent, output);
            output += '}';
            break;
        case JSON_ARRAY:
            output += '[';
            WriteChildren(indent, output);
            output += ']';
            break;
        case JSON_STRING:
            if (!fetched) {
                DumpRawString(output);
                break;
            }
            output += '"';
            JSONWorker::UnfixString(_string, _string_encoded, output);
            output += '"';
            break;
        default:
            output.append(_string.data(), _string.size());
            break;
    }
}

void internalJSONNode::WriteName(bool formatted, bool arrayChild, std::string& output) const {
    if (arrayChild) return;
    output += '"';
    JSONWorker::UnfixString(_name, _name_encoded, output);
    output += formatted ? "\" : " : "\":";
}

void internalJSONNode::WriteChildren(json_index_t indent, std::string& output) {
    if (!Children || Children->empty()) return;
    const bool formatted = indent != kUnformatted;
    const json_index_t childIndent = formatted ? indent + 1 : kUnformatted;
    std::string linePrefix;
    if (formatted) {
        linePrefix += NEW_LINE;
        linePrefix += makeIndent(childIndent);
    }
    const bool inArray = _type == JSON_ARRAY;
    JSONNode* const* last = Children->end() - 1;
    for (JSONNode* const* child = Children->begin(); child != Children->end(); ++child) {
        output += linePrefix;
        (*child)->internal->Write(childIndent, inArray, output);
        if (child != last) output += ',';
    }
    if (formatted) {
        output += NEW_LINE;
        output += makeIndent(indent);
    }
}

void internalJSONNode::WriteComment(json_index_t indent, std::string& output) const {
    if (_comment.empty()) return;
    // Each comment line goes out as a // comment on a line of its own in front of the value,
    // which the parser reads back as the value's comment.
    const bool formatted = indent != kUnformatted;
    std::size_t begin = 0;
    while (begin <= _comment.size()) {
        std::size_t end = _comment.find('\n', begin);
        if (end == json_string::npos) end = _comment.size();
        output += "//";
        output.append(_comment.data() + begin, end - begin);
        output += NEW_LINE;
        if (formatted) output += makeIndent(indent);
        begin = end + 1;
    }
}

void internalJSONNode::DumpRawString(std::string& output) const {
    if (!JSONWorker::escapedQuoteMarked()) {
        output.append(_string.data(), _string.size());
        return;
    }
    for (const char c : _string) output += c == JSONWorker::kEscapedQuote ? '"' : c;
}
