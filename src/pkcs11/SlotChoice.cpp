#include "pkcs11/SlotChoice.h"

namespace p11bridge {

SlotVerdict ClassifySlot(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    if (p11->C_GetTokenInfo(slot, &info) != CKR_OK) return SlotVerdict::kNoTokenInfo;
    return (info.flags & CKF_TOKEN_INITIALIZED) ? SlotVerdict::kUsable
                                                : SlotVerdict::kNotInitialized;
}

SlotWalk WalkSlots(CK_FUNCTION_LIST* p11, const std::vector<CK_SLOT_ID>& slots,
                   const std::function<SlotAnswer(std::size_t index)>& ask) {
    SlotWalk walk;
    walk.answers.assign(slots.size(), SlotAnswer::kNotAsked);
    walk.verdicts.assign(slots.size(), SlotVerdict::kUsable);
    std::size_t firstUsable = SlotWalk::kNone;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i > 0) {
            walk.verdicts[i] = ClassifySlot(p11, slots[i]);
            if (walk.verdicts[i] != SlotVerdict::kUsable) continue;
            if (firstUsable == SlotWalk::kNone) firstUsable = i;
        }
        walk.answers[i] = ask(i);
        if (walk.answers[i] == SlotAnswer::kHeld) {
            walk.held = i;
            return walk;
        }
    }
    walk.answering = !slots.empty() && walk.answers[0] != SlotAnswer::kNoSession ? 0 : firstUsable;
    return walk;
}

const char* SlotVerdictText(SlotVerdict verdict) {
    switch (verdict) {
        case SlotVerdict::kNoTokenInfo:
            return "no token information";
        case SlotVerdict::kNotInitialized:
            return "not initialised";
        case SlotVerdict::kUsable:
            break;
    }
    return "usable";
}

}  // namespace p11bridge
