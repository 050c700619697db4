// Types and codes shared by every part of the JSON document library.
#pragma once

#include <cstdint>

#include "common/SecureMemory.h"

// Requests carry the user's PIN, so every text the library keeps (source text, names, decoded
// values and the temporaries in between) lives in memory that wipes itself when released.
using json_string = p11bridge::SecureString;

// Child counts and indentation levels are 32-bit: requests are tiny and replies shallow.
using json_index_t = std::uint32_t;

// Node type codes; type() returns them as an 8-bit value.
constexpr char JSON_NULL = 0;
constexpr char JSON_STRING = 1;
constexpr char JSON_NUMBER = 2;
constexpr char JSON_BOOL = 3;
constexpr char JSON_ARRAY = 4;
constexpr char JSON_NODE = 5;
