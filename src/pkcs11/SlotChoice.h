// Which slots' tokens an operation may use. A desktop often offers more than the card: SoftHSM2's
// uninitialised free slot, another module's tokens through p11-kit, a badge in a second reader,
// a card's second PIN as a slot of its own. The host takes, in the module's slot order, the first
// usable token that holds what the operation wants, and else the first usable one.
#pragma once

#include <pkcs11.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace p11bridge {

enum class SlotVerdict {
    kUsable,
    kNoTokenInfo,     // C_GetTokenInfo failed: nothing is known of the token
    kNotInitialized,  // CKF_TOKEN_INITIALIZED clear: a token nobody has set up yet
};

// Whether the token in the slot may be used, as C_GetTokenInfo tells.
SlotVerdict ClassifySlot(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot);

// "not initialised", "no token information" or "usable".
const char* SlotVerdictText(SlotVerdict verdict);

// What a slot's token answered when asked whether it holds what an operation wants.
enum class SlotAnswer {
    kNotAsked,   // passed over (not usable), or after the slot that held it
    kNoSession,  // no session could be opened on it
    kNotHeld,
    kHeld,
};

// The walk of an operation over the slots, and the slot whose token the operation uses.
struct SlotWalk {
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<SlotAnswer> answers;    // one per slot
    std::vector<SlotVerdict> verdicts;  // one per slot; the first is never asked, so usable
    std::size_t held = kNone;           // the first slot whose token holds what is wanted
    // When none holds it, the token whose answers stand: the first slot's when a session opened
    // on it, else the first usable one after it (to be asked again). kNone when there is none.
    std::size_t answering = kNone;
};

// The host's walk: the first slot is asked as the host always asked it, with no question about
// its token; each later one only when ClassifySlot finds it usable, in order, until a token
// holds what is wanted. `ask` opens a session on the slot's token and asks it; it is called at
// most once per slot, the first slot's first. Shared by the host and the doctor, so that the
// doctor's account of the choice is the host's.
SlotWalk WalkSlots(CK_FUNCTION_LIST* p11, const std::vector<CK_SLOT_ID>& slots,
                   const std::function<SlotAnswer(std::size_t index)>& ask);

}  // namespace p11bridge
