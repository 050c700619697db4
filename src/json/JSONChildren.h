// The ordered children of a container node.
#pragma once

#include <memory>

#include "json/JSONDefs.h"

class JSONNode;

// A growable array of owned handles. Each handle lives in its own allocation, so a reference to a
// child stays valid when the array grows; only iterators are invalidated by an insertion.
class jsonChildren {
public:
    jsonChildren() = default;
    ~jsonChildren();
    jsonChildren(const jsonChildren&) = delete;
    jsonChildren& operator=(const jsonChildren&) = delete;

    // Takes ownership of the handle; the first insertion allocates 8 slots, a full array doubles.
    void push_back(std::unique_ptr<JSONNode> item);

    JSONNode** begin() noexcept { return array.get(); }
    JSONNode** end() noexcept { return array.get() + mysize; }
    JSONNode* const* begin() const noexcept { return array.get(); }
    JSONNode* const* end() const noexcept { return array.get() + mysize; }

    json_index_t size() const noexcept { return mysize; }
    json_index_t capacity() const noexcept { return mycapacity; }
    bool empty() const noexcept { return mysize == 0; }

private:
    std::unique_ptr<JSONNode*[]> array;
    json_index_t mysize = 0;
    json_index_t mycapacity = 0;
};
