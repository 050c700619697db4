#include "json/JSONNode.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "json/NumberToString.h"
#include "json/internalJSONNode.h"

namespace {

// Truncation toward zero, kept to the low 32 bits. A double with no 64-bit integer counterpart
// (NaN, infinities, magnitudes of 2^63 and more) gives 0 instead of undefined behaviour.
int truncateToInt(double value) {
    constexpr double kTwoPow63 = 9223372036854775808.0;
    if (!(value >= -kTwoPow63 && value < kTwoPow63)) return 0;
    const auto wide = static_cast<std::int64_t>(value);
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

}  // namespace

JSONNode::JSONNode() : JSONNode(JSON_NULL) {}

JSONNode::JSONNode(char type) : internal(new internalJSONNode(type)) {}

JSONNode::JSONNode(internalJSONNode* adopted) noexcept : internal(adopted) {}

JSONNode::JSONNode(const json_string& name, char type, json_string text, double number)
    : internal(new internalJSONNode(type)) {
    std::unique_ptr<internalJSONNode> guard(internal);
    internal->_name = name;
    internal->_name_encoded = true;
    internal->_string.swap(text);
    internal->_value._number = number;
    guard.release();
}

JSONNode::JSONNode(const json_string& name, const json_string& value)
    : JSONNode(name, JSON_STRING, value, 0.0) {
    internal->_string_encoded = true;
}

JSONNode::JSONNode(const std::string& name, const std::string& value)
    : JSONNode(json_string(name), json_string(value)) {}

JSONNode::JSONNode(const json_string& name, int value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_itoa(value), static_cast<double>(value)) {}

JSONNode::JSONNode(const json_string& name, unsigned int value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_uitoa(value), static_cast<double>(value)) {}

JSONNode::JSONNode(const json_string& name, long value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_itoa(value), static_cast<double>(value)) {}

JSONNode::JSONNode(const json_string& name, unsigned long value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_uitoa(value), static_cast<double>(value)) {}

JSONNode::JSONNode(const json_string& name, long long value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_itoa(value), static_cast<double>(value)) {}

JSONNode::JSONNode(const json_string& name, unsigned long long value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_uitoa(value), static_cast<double>(value)) {}

JSONNode::JSONNode(const json_string& name, double value)
    : JSONNode(name, JSON_NUMBER, NumberToString::_ftoa(value), value) {}

JSONNode::JSONNode(const json_string& name, BoolValue value)
    : JSONNode(name, JSON_BOOL, json_string(value.value ? "true" : "false"), 0.0) {
    internal->_value._bool = value.value;
}

JSONNode::JSONNode(const JSONNode& other) noexcept : internal(other.internal) {
    ++internal->_refcount;
}

JSONNode& JSONNode::operator=(const JSONNode& other) noexcept {
    // Taking the new reference first keeps self-assignment safe.
    ++other.internal->_refcount;
    if (--internal->_refcount == 0) delete internal;
    internal = other.internal;
    return *this;
}

JSONNode::~JSONNode() {
    if (--internal->_refcount == 0) delete internal;
}

void JSONNode::makeUnique() {
    if (internal->_refcount < 2) return;
    internalJSONNode* copy = new internalJSONNode(*internal);
    --internal->_refcount;
    internal = copy;
}

char JSONNode::type() const noexcept {
    return internal->_type;
}

json_string JSONNode::name() const {
    return internal->_name;
}

json_string JSONNode::as_string() const {
    internal->Fetch();
    if (internal->isContainer()) return json_string();
    return internal->_string;
}

int JSONNode::as_int() const {
    internal->Fetch();
    switch (internal->_type) {
        case JSON_BOOL:
            return internal->_value._bool ? 1 : 0;
        case JSON_NUMBER:
            return truncateToInt(internal->_value._number);
        case JSON_STRING:
            return truncateToInt(std::atof(internal->_string.c_str()));
        default:
            return 0;
    }
}

json_index_t JSONNode::size() const {
    internal->Fetch();
    return internal->Children ? internal->Children->size() : 0;
}

JSONNode::iterator JSONNode::begin() {
    makeUnique();
    internal->Fetch();
    return iterator(internal->Children ? internal->Children->begin() : nullptr);
}

JSONNode::iterator JSONNode::end() {
    makeUnique();
    internal->Fetch();
    return iterator(internal->Children ? internal->Children->end() : nullptr);
}

JSONNode::const_iterator JSONNode::begin() const {
    internal->Fetch();
    const jsonChildren* children = internal->Children.get();
    return const_iterator(children ? children->begin() : nullptr);
}

JSONNode::const_iterator JSONNode::end() const {
    internal->Fetch();
    const jsonChildren* children = internal->Children.get();
    return const_iterator(children ? children->end() : nullptr);
}

const JSONNode* JSONNode::find(const char* name, std::size_t length) const {
    internal->Fetch();
    if (!internal->Children) return nullptr;
    for (const JSONNode* child : *internal->Children) {
        const json_string& childName = child->internal->_name;
        if (childName.size() == length && std::memcmp(childName.data(), name, length) == 0) {
            return child;
        }
    }
    return nullptr;
}

JSONNode& JSONNode::lookup(const char* name, std::size_t length) {
    makeUnique();
    // After makeUnique the children belong to this handle alone, so handing one out for
    // modification cannot reach another handle's tree.
    const JSONNode* child = find(name, length);
    if (!child) throw std::out_of_range("");
    return const_cast<JSONNode&>(*child);
}

const JSONNode& JSONNode::lookup(const char* name, std::size_t length) const {
    const JSONNode* child = find(name, length);
    if (!child) throw std::out_of_range("");
    return *child;
}

JSONNode& JSONNode::operator[](const json_string& name) {
    return lookup(name.data(), name.size());
}
JSONNode& JSONNode::operator[](const std::string& name) {
    return lookup(name.data(), name.size());
}
JSONNode& JSONNode::operator[](const char* name) {
    return lookup(name, std::strlen(name));
}
const JSONNode& JSONNode::operator[](const json_string& name) const {
    return lookup(name.data(), name.size());
}
const JSONNode& JSONNode::operator[](const std::string& name) const {
    return lookup(name.data(), name.size());
}
const JSONNode& JSONNode::operator[](const char* name) const {
    return lookup(name, std::strlen(name));
}
JSONNode& JSONNode::at(const json_string& name) {
    return lookup(name.data(), name.size());
}
JSONNode& JSONNode::at(const std::string& name) {
    return lookup(name.data(), name.size());
}
JSONNode& JSONNode::at(const char* name) {
    return lookup(name, std::strlen(name));
}
const JSONNode& JSONNode::at(const json_string& name) const {
    return lookup(name.data(), name.size());
}
const JSONNode& JSONNode::at(const std::string& name) const {
    return lookup(name.data(), name.size());
}
const JSONNode& JSONNode::at(const char* name) const {
    return lookup(name, std::strlen(name));
}

void JSONNode::push_back(const JSONNode& child) {
    makeUnique();
    internal->Fetch();
    if (!internal->isContainer() || !internal->Children) return;
    auto item = std::make_unique<JSONNode>(child);
    // Sharing a body that holds this very node would make the tree contain itself: never freed,
    // and endless to write. Such a child goes in as a snapshot instead.
    if (child.internal->reaches(internal)) item->makeUnique();
    internal->Children->push_back(std::move(item));
}

void JSONNode::set_name(const json_string& name) {
    makeUnique();
    internal->_name = name;
    internal->_name_encoded = true;
}
