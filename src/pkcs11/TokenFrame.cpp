#include "pkcs11/TokenFrame.h"

#include "pkcs11/Pkcs11Module.h"

namespace p11bridge {

TokenFrame::TokenFrame(DigitalSignatureUtilPkcs11& util) : util_(util) {
    CK_FUNCTION_LIST* functions = Pkcs11Module::Load();
    // A module that cannot be loaded is a module that cannot be initialised; the next operation
    // tries to load it again.
    CK_RV rv = functions ? functions->C_Initialize(nullptr) : CKR_GENERAL_ERROR;
    if (!util_.checkReturnValue(rv, "C_Initialize failed")) return;
    functions_ = functions;
    slot_ = util_.getSlot();
    if (slot_ == DigitalSignatureUtilPkcs11::kNoHandle) return;
    session_ = util_.startSession(slot_);
}

TokenFrame::~TokenFrame() {
    if (!functions_) return;
    if (loggedIn_) functions_->C_Logout(session_);
    if (HasSession()) functions_->C_CloseSession(session_);
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
