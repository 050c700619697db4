#include "pkcs11/TokenFrame.h"

#include <vector>

#include "pkcs11/Pkcs11Module.h"
#include "pkcs11/SlotChoice.h"

namespace p11bridge {

TokenFrame::TokenFrame(DigitalSignatureUtilPkcs11& util, const Wanted& wanted) : util_(util) {
    CK_FUNCTION_LIST* functions = Pkcs11Module::Load();
    // A module that cannot be loaded is a module that cannot be initialised; the next operation
    // tries to load it again.
    CK_RV rv = functions ? functions->C_Initialize(nullptr) : CKR_GENERAL_ERROR;
    if (!util_.checkReturnValue(rv, "C_Initialize failed")) return;
    functions_ = functions;
    std::vector<CK_SLOT_ID> slots;
    if (!util_.readSlots(slots)) return;
    if (slots.size() == 1 || !wanted) {
        if (open(slots[0]) && wanted) wanted(*this);
        return;
    }
    // The first slot is tried as the host always tried it, without a question: where it holds
    // what is wanted, nothing changes. Where it does not, its session stays open while the others
    // are asked, so that its answer can stand, unrepeated, when none of them holds it either.
    const DigitalSignatureUtilPkcs11::ErrorRecord before = util_.SaveError();
    const bool firstOpen = open(slots[0]);
    if (firstOpen && wanted(*this)) return;
    const DigitalSignatureUtilPkcs11::ErrorRecord first = util_.SaveError();
    const CK_SLOT_ID firstSlot = slot_;
    const CK_SESSION_HANDLE firstSession = session_;
    CK_SLOT_ID fallback = DigitalSignatureUtilPkcs11::kNoHandle;
    for (std::size_t i = 1; i < slots.size(); ++i) {
        if (ClassifySlots(functions_, {slots[i]}).front().verdict != SlotVerdict::kUsable) continue;
        if (fallback == DigitalSignatureUtilPkcs11::kNoHandle) fallback = slots[i];
        util_.RestoreError(before);
        if (open(slots[i]) && wanted(*this)) {
            if (firstOpen) functions_->C_CloseSession(firstSession);
            return;
        }
        close();
    }
    // None holds it: the first usable token answers, so that the errors are those it gives.
    if (firstOpen) {
        util_.RestoreError(first);
        slot_ = firstSlot;
        session_ = firstSession;
        return;
    }
    util_.RestoreError(first);
    if (fallback != DigitalSignatureUtilPkcs11::kNoHandle) {
        util_.RestoreError(before);
        if (open(fallback)) wanted(*this);
    }
}

bool TokenFrame::open(CK_SLOT_ID slot) {
    slot_ = slot;
    session_ = util_.startSession(slot_);
    return HasSession();
}

void TokenFrame::close() {
    if (HasSession()) functions_->C_CloseSession(session_);
    session_ = DigitalSignatureUtilPkcs11::kNoHandle;
    slot_ = DigitalSignatureUtilPkcs11::kNoHandle;
}

TokenFrame::~TokenFrame() {
    if (!functions_) return;
    if (loggedIn_) functions_->C_Logout(session_);
    close();
    functions_->C_Finalize(nullptr);
}

bool TokenFrame::Login() {
    if (!HasSession()) return false;
    loggedIn_ = util_.Login(slot_, session_);
    return loggedIn_;
}

ObjectSearch::~ObjectSearch() {
    Finish();
}

void ObjectSearch::Finish() {
    if (active_) frame_.Functions()->C_FindObjectsFinal(frame_.Session());
    active_ = false;
}

CK_RV ObjectSearch::Open(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    CK_RV rv = frame_.Functions()->C_FindObjectsInit(frame_.Session(), attributes, count);
    active_ = rv == CKR_OK;
    return rv;
}

bool ObjectSearch::Start(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return util_.checkReturnValue(Open(attributes, count), "Find objects init");
}

}  // namespace p11bridge
