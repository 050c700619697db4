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
    DigitalSignatureUtilPkcs11::ErrorRecord first = before;
    CK_SLOT_ID firstSlot = DigitalSignatureUtilPkcs11::kNoHandle;
    CK_SESSION_HANDLE firstSession = DigitalSignatureUtilPkcs11::kNoHandle;
    bool firstOpen = false;
    const SlotWalk walk = WalkSlots(functions_, slots, [&](std::size_t i) {
        if (i > 0) util_.RestoreError(before);
        const bool opened = open(slots[i]);
        if (opened && wanted(*this)) {
            if (i > 0 && firstOpen) functions_->C_CloseSession(firstSession);
            return SlotAnswer::kHeld;
        }
        if (i == 0) {
            first = util_.SaveError();
            firstOpen = opened;
            firstSlot = slot_;
            firstSession = session_;
        } else {
            close();
        }
        return opened ? SlotAnswer::kNotHeld : SlotAnswer::kNoSession;
    });
    if (walk.held != SlotWalk::kNone) return;
    // None holds it: the first usable token answers, so that the errors are those it gives; the
    // first slot's answer stands as it was given, another one is asked again.
    if (walk.answering == 0) {
        util_.RestoreError(first);
        slot_ = firstSlot;
        session_ = firstSession;
    } else if (walk.answering != SlotWalk::kNone) {
        util_.RestoreError(before);
        if (open(slots[walk.answering])) wanted(*this);
    } else {
        util_.RestoreError(first);
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
