// The process-wide PIN records: one per PIN module, outliving every signature utility.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/SecureMemory.h"

namespace p11bridge {

struct PinInfoStruct {
    PinString pin;  // empty while no PIN is known
    bool invalid = false;
    int32_t retries = 0;
    // The token the PIN is for, as C_GetTokenInfo names it (serial number, label, manufacturer):
    // the last one that asked for it, or else the first one it was presented to.
    std::string token;
};

using PinMap = std::map<std::string, PinInfoStruct>;

// Created empty before main runs; single-threaded like the rest of the host.
extern PinMap gPines;

// True when any record, of any module, has an empty PIN / is marked invalid.
bool MissingPin();
bool InvalidPin();

// Overwrites a PIN text with 'X' before it is released or replaced, so that a freed buffer never
// holds the PIN even where the allocator does not wipe.
void OverwritePin(PinString& pin);

}  // namespace p11bridge
