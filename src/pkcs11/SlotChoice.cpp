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
