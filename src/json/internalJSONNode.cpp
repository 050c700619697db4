#include "json/internalJSONNode.h"

#include <cstdlib>
#include <vector>

#include "json/JSONNode.h"
#include "json/JSONWorker.h"

namespace {

// The text a freshly built scalar node is written with, so that a node made from a bare type
// code still serialises to valid JSON.
json_string initialText(char type) {
    switch (type) {
        case JSON_NULL:
            return json_string("null");
        case JSON_NUMBER:
            return json_string("0");
        case JSON_BOOL:
            return json_string("false");
        default:
            return json_string();
    }
}

char knownType(char type) {
    return (type >= JSON_NULL && type <= JSON_NODE) ? type : JSON_NULL;
}

}  // namespace

internalJSONNode::internalJSONNode(char type)
    : _type(knownType(type)), _string(initialText(_type)), fetched(true) {
    if (isContainer()) Children = std::make_unique<jsonChildren>();
}

internalJSONNode::internalJSONNode(char type, json_string text)
    : _type(knownType(type)), _string(std::move(text)), fetched(false) {
    if (isContainer()) Children = std::make_unique<jsonChildren>();
}

internalJSONNode::internalJSONNode(const internalJSONNode& orig)
    : _type(orig._type),
      _name(orig._name),
      _name_encoded(orig._name_encoded),
      _string(orig._string),
      _string_encoded(orig._string_encoded),
      _value(orig._value),
      fetched(orig.fetched),
      _comment(orig._comment) {
    if (!orig.Children) return;
    Children = std::make_unique<jsonChildren>();
    for (const JSONNode* child : *orig.Children) {
        auto copy = std::make_unique<JSONNode>(*child);
        copy->makeUnique();
        Children->push_back(std::move(copy));
    }
}

void internalJSONNode::Fetch() {
    if (fetched) return;
    fetched = true;
    switch (_type) {
        case JSON_STRING:
            FetchString();
            break;
        case JSON_NUMBER:
            FetchNumber();
            break;
        case JSON_NODE:
            JSONWorker::DoNode(*this);
            break;
        case JSON_ARRAY:
            JSONWorker::DoArray(*this);
            break;
        default:
            break;
    }
}

void internalJSONNode::Nullify() {
    _type = JSON_NULL;
    _string = json_string("null");
    _string_encoded = false;
    _value._number = 0.0;
    Children.reset();
    fetched = true;
}

void internalJSONNode::releaseText() {
    // Swapping with an empty text releases (and so wipes) the buffer instead of keeping it.
    json_string().swap(_string);
}

void internalJSONNode::FetchString() {
    const std::size_t n = _string.size();
    if (n < 2 || _string.front() != '"' || _string.back() != '"') {
        Nullify();
        return;
    }
    _string_encoded = _string.find('\\', 1) < n - 1;
    json_string decoded = JSONWorker::FixString(_string.data() + 1, n - 2);
    _string.swap(decoded);
}

void internalJSONNode::FetchNumber() {
    // The source text is kept: as_string() answers with the number as it stood in the message.
    _value._number = std::atof(_string.c_str());
}

bool internalJSONNode::reaches(const internalJSONNode* target) const {
    // Walked with an explicit stack: the tree's depth is the caller's, not ours, to bound.
    std::vector<const internalJSONNode*> pending{this};
    while (!pending.empty()) {
        const internalJSONNode* node = pending.back();
        pending.pop_back();
        if (node == target) return true;
        if (!node->Children) continue;
        for (const JSONNode* child : *node->Children) pending.push_back(child->body());
    }
    return false;
}
