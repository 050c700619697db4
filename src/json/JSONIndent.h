// Tab indentation for formatted writing.
#pragma once

#include <string>

#include "json/JSONDefs.h"

// The level that marks unformatted writing: no indentation at all.
constexpr json_index_t kUnformatted = 0xFFFFFFFFu;

// `amount` tab characters; empty for 0 and for kUnformatted. Levels up to 23 are built once.
std::string makeIndent(json_index_t amount);
