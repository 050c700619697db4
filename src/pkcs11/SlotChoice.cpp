#include "pkcs11/SlotChoice.h"

namespace p11bridge {

std::vector<SlotCandidate> ClassifySlots(CK_FUNCTION_LIST* p11,
                                         const std::vector<CK_SLOT_ID>& slots) {
    std::vector<SlotCandidate> candidates;
    candidates.reserve(slots.size());
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        CK_RV rv = p11->C_GetTokenInfo(slot, &info);
        SlotVerdict verdict = SlotVerdict::kUsable;
        if (rv != CKR_OK) {
            verdict = SlotVerdict::kNoTokenInfo;
        } else if (!(info.flags & CKF_TOKEN_INITIALIZED)) {
            verdict = SlotVerdict::kNotInitialized;
        }
        candidates.push_back({slot, verdict, rv});
    }
    return candidates;
}

SlotWalk WalkSlots(CK_FUNCTION_LIST* p11, const std::vector<CK_SLOT_ID>& slots,
                   const std::function<SlotAnswer(std::size_t index)>& ask) {
    SlotWalk walk;
    walk.answers.assign(slots.size(), SlotAnswer::kNotAsked);
    walk.verdicts.assign(slots.size(), SlotVerdict::kUsable);
    std::size_t firstUsable = SlotWalk::kNone;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i > 0) {
            walk.verdicts[i] = ClassifySlots(p11, {slots[i]}).front().verdict;
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
