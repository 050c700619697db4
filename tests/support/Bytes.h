#pragma once

#include <string>
#include <vector>

namespace p11bridge::test {

using Bytes = std::vector<unsigned char>;

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Lower-case hex, two digits per byte.
std::string ToHex(const Bytes& bytes);
// Throws std::invalid_argument on an odd length or a non-hex digit.
Bytes FromHex(const std::string& hex);

}  // namespace p11bridge::test
