// Which slots' tokens an operation may use. A desktop often offers more than the card: SoftHSM2's
// uninitialised free slot, another module's tokens through p11-kit, a badge in a second reader,
// a card's second PIN as a slot of its own. The host takes, in the module's slot order, the first
// usable token that holds what the operation wants, and else the first usable one.
#pragma once

#include <pkcs11.h>

#include <vector>

namespace p11bridge {

enum class SlotVerdict {
    kUsable,
    kNoTokenInfo,     // C_GetTokenInfo failed: nothing is known of the token
    kNotInitialized,  // CKF_TOKEN_INITIALIZED clear: a token nobody has set up yet
};

struct SlotCandidate {
    CK_SLOT_ID slot;
    SlotVerdict verdict;
    CK_RV rv;  // C_GetTokenInfo's answer
};

// The slots, in the module's order, each with whether its token may be used (C_GetTokenInfo).
std::vector<SlotCandidate> ClassifySlots(CK_FUNCTION_LIST* p11,
                                         const std::vector<CK_SLOT_ID>& slots);

// "not initialised", "no token information" or "usable".
const char* SlotVerdictText(SlotVerdict verdict);

}  // namespace p11bridge
