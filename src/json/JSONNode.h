// JSONNode: a cheap handle to a reference-counted, copy-on-write JSON node body.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <type_traits>

#include "json/JSONDefs.h"

class internalJSONNode;

class JSONNode {
public:
    class iterator;
    class const_iterator;

    // A null node.
    JSONNode();
    // An empty node of the given type with an empty name; objects and arrays start with no
    // children.
    explicit JSONNode(char type);

    // Named values, as the host builds its replies. A string literal value always makes a
    // string: the pointer never decays to the bool overload.
    JSONNode(const json_string& name, const json_string& value);
    template <class Char, std::enable_if_t<std::is_same_v<Char, char>, int> = 0>
    JSONNode(const char* name, const Char* value)
        : JSONNode(json_string(name), json_string(value)) {}
    JSONNode(const std::string& name, const std::string& value);
    JSONNode(const json_string& name, int value);
    JSONNode(const json_string& name, unsigned int value);
    JSONNode(const json_string& name, long value);
    JSONNode(const json_string& name, unsigned long value);
    JSONNode(const json_string& name, long long value);
    JSONNode(const json_string& name, unsigned long long value);
    JSONNode(const json_string& name, double value);
    template <class Bool, std::enable_if_t<std::is_same_v<Bool, bool>, int> = 0>
    JSONNode(const json_string& name, Bool value) : JSONNode(name, makeBool(value)) {}

    // Copies share the body; the body is copied only when one of them is about to change.
    JSONNode(const JSONNode& other) noexcept;
    JSONNode& operator=(const JSONNode& other) noexcept;
    ~JSONNode();

    // Reading never copies the body (but may decode it).
    char type() const noexcept;
    json_string name() const;
    json_string as_string() const;
    int as_int() const;
    json_index_t size() const;

    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;

    // First child with exactly this name. A missing name, or a node that is not a container,
    // throws std::out_of_range: callers pass names that a message may lack.
    JSONNode& operator[](const json_string& name);
    JSONNode& operator[](const std::string& name);
    JSONNode& operator[](const char* name);
    const JSONNode& operator[](const json_string& name) const;
    const JSONNode& operator[](const std::string& name) const;
    const JSONNode& operator[](const char* name) const;
    JSONNode& at(const json_string& name);
    JSONNode& at(const std::string& name);
    JSONNode& at(const char* name);
    const JSONNode& at(const json_string& name) const;
    const JSONNode& at(const std::string& name) const;
    const JSONNode& at(const char* name) const;

    // Appends a handle sharing `child`'s body; does nothing on a node that is not a container.
    void push_back(const JSONNode& child);
    void set_name(const json_string& name);

    // Indented text: tabs, line feeds and " : " between name and value. Empty unless the node is
    // an object or an array. `size` is only the capacity reserved for the result.
    std::string write_formatted(std::size_t size = 0) const;

    // The shared body, for inspection (reference counts, sharing) by tests and tools.
    const internalJSONNode* body() const noexcept { return internal; }

private:
    friend class JSONWorker;
    friend class internalJSONNode;

    struct BoolValue {
        bool value;
    };
    static BoolValue makeBool(bool value) noexcept { return BoolValue{value}; }
    JSONNode(const json_string& name, BoolValue value);
    explicit JSONNode(internalJSONNode* adopted) noexcept;
    JSONNode(const json_string& name, char type, json_string text, double number);

    void makeUnique();
    const JSONNode* find(const char* name, std::size_t length) const;
    JSONNode& lookup(const char* name, std::size_t length);
    const JSONNode& lookup(const char* name, std::size_t length) const;

    internalJSONNode* internal;
};

class JSONNode::iterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = JSONNode;
    using difference_type = std::ptrdiff_t;
    using pointer = JSONNode*;
    using reference = JSONNode&;

    iterator() noexcept = default;
    explicit iterator(JSONNode** position) noexcept : it(position) {}

    JSONNode& operator*() const noexcept { return **it; }
    JSONNode* operator->() const noexcept { return *it; }
    iterator& operator++() noexcept {
        ++it;
        return *this;
    }
    iterator operator++(int) noexcept {
        iterator before = *this;
        ++it;
        return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.it == b.it; }
    friend bool operator!=(const iterator& a, const iterator& b) noexcept { return a.it != b.it; }

private:
    friend class const_iterator;
    JSONNode** it = nullptr;
};

class JSONNode::const_iterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = JSONNode;
    using difference_type = std::ptrdiff_t;
    using pointer = const JSONNode*;
    using reference = const JSONNode&;

    const_iterator() noexcept = default;
    explicit const_iterator(JSONNode* const* position) noexcept : it(position) {}
    const_iterator(const iterator& other) noexcept : it(other.it) {}

    const JSONNode& operator*() const noexcept { return **it; }
    const JSONNode* operator->() const noexcept { return *it; }
    const_iterator& operator++() noexcept {
        ++it;
        return *this;
    }
    const_iterator operator++(int) noexcept {
        const_iterator before = *this;
        ++it;
        return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
        return a.it == b.it;
    }
    friend bool operator!=(const const_iterator& a, const const_iterator& b) noexcept {
        return a.it != b.it;
    }

private:
    JSONNode* const* it = nullptr;
};
