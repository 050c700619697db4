#pragma once

#include <optional>
#include <string>

#include "support/Bytes.h"

namespace p11bridge::test {

// lineLength 0 writes one line; otherwise lines of that many characters are joined by
// CR LF, with no break after the last one (64 gives the layout of NSS's encoder).
std::string Base64Encode(const Bytes& bytes, size_t lineLength = 0);

// Accepts CR and LF anywhere; anything else outside the alphabet, bad padding or a
// truncated group gives nullopt.
std::optional<Bytes> Base64Decode(const std::string& text);

}  // namespace p11bridge::test
