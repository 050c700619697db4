#include "json/JSONChildren.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "json/JSONNode.h"

jsonChildren::~jsonChildren() {
    for (JSONNode* child : *this) delete child;
}

void jsonChildren::push_back(std::unique_ptr<JSONNode> item) {
    if (mysize == mycapacity) {
        constexpr json_index_t kFirstCapacity = 8;
        if (mycapacity > std::numeric_limits<json_index_t>::max() / 2) {
            throw std::length_error("");
        }
        const json_index_t grown = mycapacity == 0 ? kFirstCapacity : mycapacity * 2;
        std::unique_ptr<JSONNode*[]> bigger(new JSONNode*[grown]);
        std::copy(begin(), end(), bigger.get());
        array = std::move(bigger);
        mycapacity = grown;
    }
    array[mysize++] = item.release();
}
