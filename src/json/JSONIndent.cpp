#include "json/JSONIndent.h"

#include <array>

namespace {

constexpr json_index_t kGroupSize = 8;
constexpr json_index_t kCachedLevels = 3 * kGroupSize;

using IndentGroup = std::array<std::string, kGroupSize>;

// Each group of eight levels is built on first use; replies rarely go past the first.
const IndentGroup& group(json_index_t first) {
    auto build = [](json_index_t from) {
        IndentGroup tabs;
        for (json_index_t i = 0; i < kGroupSize; ++i) tabs[i].assign(from + i, '\t');
        return tabs;
    };
    static const IndentGroup shallow = build(0);
    if (first == 0) return shallow;
    static const IndentGroup middle = build(kGroupSize);
    if (first == kGroupSize) return middle;
    static const IndentGroup deep = build(2 * kGroupSize);
    return deep;
}

}  // namespace

std::string makeIndent(json_index_t amount) {
    if (amount == kUnformatted) return std::string();
    if (amount < kCachedLevels) return group(amount - amount % kGroupSize)[amount % kGroupSize];
    return std::string(amount, '\t');
}
