// The scope of one token operation. What it acquires on the module (initialisation, session,
// login, object search) it gives back in reverse order when the scope ends, on every path.
#pragma once

#include <pkcs11.h>

#include <functional>

#include "pkcs11/DigitalSignatureUtilPkcs11.h"

namespace p11bridge {

class TokenFrame {
public:
    // Asked in a fresh session on a token: whether it holds what the operation wants. It does the
    // operation's first search, so on the token it keeps, nothing is asked twice.
    using Wanted = std::function<bool(TokenFrame&)>;

    // C_Initialize, then a fresh read-only session on the slot to use: with one slot, that slot;
    // with several, the first usable token that `wanted` accepts, else the first usable token
    // (asked again, so that its answer stands as the operation's). Every failure is recorded in
    // the utility and leaves HasSession() false; what skipped tokens answered is not recorded.
    explicit TokenFrame(DigitalSignatureUtilPkcs11& util, const Wanted& wanted = {});
    // C_Logout after a successful login, C_CloseSession, C_Finalize after a successful
    // C_Initialize.
    ~TokenFrame();
    TokenFrame(const TokenFrame&) = delete;
    TokenFrame& operator=(const TokenFrame&) = delete;

    bool HasSession() const { return session_ != DigitalSignatureUtilPkcs11::kNoHandle; }
    CK_FUNCTION_LIST* Functions() const { return functions_; }
    CK_SESSION_HANDLE Session() const { return session_; }

    // Presents the recorded PIN to the token in the frame's slot, if it is the token the PIN is
    // for; the frame logs out when it ends.
    bool Login();

private:
    bool open(CK_SLOT_ID slot);
    void close();

    DigitalSignatureUtilPkcs11& util_;
    CK_FUNCTION_LIST* functions_ = nullptr;  // set once C_Initialize has succeeded
    CK_SLOT_ID slot_ = DigitalSignatureUtilPkcs11::kNoHandle;
    CK_SESSION_HANDLE session_ = DigitalSignatureUtilPkcs11::kNoHandle;
    bool loggedIn_ = false;
};

// A C_FindObjectsInit .. C_FindObjectsFinal bracket within a frame.
class ObjectSearch {
public:
    explicit ObjectSearch(DigitalSignatureUtilPkcs11& util, const TokenFrame& frame)
        : util_(util), frame_(frame) {}
    ~ObjectSearch();
    ObjectSearch(const ObjectSearch&) = delete;
    ObjectSearch& operator=(const ObjectSearch&) = delete;

    // C_FindObjectsInit, checked with the label "Find objects init".
    bool Start(CK_ATTRIBUTE* attributes, CK_ULONG count);
    // C_FindObjectsInit, its return value left for the caller to judge.
    CK_RV Open(CK_ATTRIBUTE* attributes, CK_ULONG count);
    // C_FindObjectsFinal now rather than at the end of the scope.
    void Finish();

private:
    DigitalSignatureUtilPkcs11& util_;
    const TokenFrame& frame_;
    bool active_ = false;
};

}  // namespace p11bridge
