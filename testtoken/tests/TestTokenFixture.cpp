#include "TestTokenFixture.h"

namespace p11bridge::test {

TestTokenFixture::Shared* TestTokenFixture::shared_ = nullptr;
const Bytes TestTokenFixture::kId = {0x01, 0xa2};

TestTokenScenario& TestTokenFixture::Standard() {
    return scenario.Log(logPath)
        .Slot(kSlot, "Primary")
        .Pin("1234")
        .Credential(kSlot, kId, Certs().signer);
}

CK_RV TestTokenFixture::Initialize() {
    scenario.Install();
    return f->C_Initialize(nullptr);
}

CK_SESSION_HANDLE TestTokenFixture::OpenSession(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    return session;
}

CK_RV TestTokenFixture::Login(CK_SESSION_HANDLE session, std::string pin) {
    return f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
}

std::vector<CK_OBJECT_HANDLE> TestTokenFixture::Find(CK_SESSION_HANDLE session,
                                                     std::vector<CK_ATTRIBUTE> templ,
                                                     CK_ULONG step) {
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(f->C_FindObjectsInit(session, templ.data(), templ.size()), CKR_OK);
    for (;;) {
        std::vector<CK_OBJECT_HANDLE> batch(step);
        CK_ULONG count = 0;
        EXPECT_EQ(f->C_FindObjects(session, batch.data(), step, &count), CKR_OK);
        if (count == 0) break;
        found.insert(found.end(), batch.begin(), batch.begin() + count);
    }
    EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
    return found;
}

CK_OBJECT_HANDLE TestTokenFixture::FindKey(CK_SESSION_HANDLE session, Bytes id) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::vector<CK_OBJECT_HANDLE> keys =
        Find(session, {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}});
    EXPECT_EQ(keys.size(), 1u);
    return keys.empty() ? CK_INVALID_HANDLE : keys[0];
}

}  // namespace p11bridge::test
