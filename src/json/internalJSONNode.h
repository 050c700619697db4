// The body behind every JSONNode handle: one node of a document, shared by its handles and copied
// when one of them is about to change it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "json/JSONChildren.h"
#include "json/JSONDefs.h"

class internalJSONNode {
public:
    // An already decoded node of the given type; containers get an empty child array, and the
    // scalar types get a text the writer can emit as is ("null", "false", "0").
    explicit internalJSONNode(char type);
    // A node still holding its source text, decoded on first use (see Fetch).
    internalJSONNode(char type, json_string text);
    // Deep copy: the new body owns independent copies of every decoded child.
    internalJSONNode(const internalJSONNode& orig);
    internalJSONNode& operator=(const internalJSONNode&) = delete;
    ~internalJSONNode() = default;

    // Decodes the source text once. Nodes are read through const handles, so decoding is
    // logically const: it only makes explicit what the text already said.
    void Fetch();
    // Turns the node into null for good, dropping any children made so far.
    void Nullify();

    bool isContainer() const noexcept { return _type == JSON_NODE || _type == JSON_ARRAY; }
    // True when `target` is this body or lies among its decoded descendants.
    bool reaches(const internalJSONNode* target) const;

    void Write(json_index_t indent, bool arrayChild, std::string& output);
    void WriteName(bool formatted, bool arrayChild, std::string& output) const;
    void WriteChildren(json_index_t indent, std::string& output);
    void WriteComment(json_index_t indent, std::string& output) const;
    void DumpRawString(std::string& output) const;

    std::uint64_t refcount() const noexcept { return _refcount; }
    bool isFetched() const noexcept { return fetched; }

private:
    friend class JSONNode;
    friend class JSONWorker;

    void FetchString();
    void FetchNumber();
    void releaseText();

    char _type;
    json_string _name;
    bool _name_encoded = false;
    json_string _string;
    bool _string_encoded = false;
    union {
        double _number;
        bool _bool;
    } _value{0.0};
    std::uint64_t _refcount = 1;
    bool fetched;
    json_string _comment;
    std::unique_ptr<jsonChildren> Children;
};
