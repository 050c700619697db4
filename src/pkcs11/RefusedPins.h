// Every PIN a token has refused, per token, so that none is presented to that token twice: a card
// counts each wrong PIN against its few tries, whatever order the page sends them in.
#pragma once

#include <string>

#include "common/SecureMemory.h"

namespace p11bridge {

// A token that has refused this many PINs is being guessed at: it gets no more.
constexpr std::size_t kMaxRefusedPins = 256;

// True when the token (named as C_GetTokenInfo names it) has refused this PIN before, or has
// refused so many that it takes no new one; also when the PIN cannot be checked.
bool WasRefused(const std::string& token, const PinString& pin);

// Remembers that the token refused the PIN: a keyed hash of it, never its text, on a locked page.
void RememberRefused(const std::string& token, const PinString& pin);

}  // namespace p11bridge
