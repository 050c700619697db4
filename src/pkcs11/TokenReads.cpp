#include "pkcs11/TokenReads.h"

namespace p11bridge {
namespace {

// Bounds on what a module may ask us to allocate; beyond them its answer is taken as nonsense.
constexpr CK_ULONG kMaxSlots = 1UL << 16;
constexpr CK_ULONG kMaxAttributeLength = 1UL << 24;

}  // namespace

CK_RV ReadSlotList(CK_FUNCTION_LIST* p11, CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID>& slots) {
    slots.clear();
    if (!p11) return CKR_GENERAL_ERROR;
    CK_ULONG count = 0;
    CK_RV rv = p11->C_GetSlotList(tokenPresent, nullptr, &count);
    if (rv != CKR_OK || count == 0) return rv;
    if (count > kMaxSlots) return CKR_GENERAL_ERROR;
    slots.resize(count);
    CK_ULONG filled = count;
    rv = p11->C_GetSlotList(tokenPresent, slots.data(), &filled);
    if (rv == CKR_OK && filled > count) rv = CKR_GENERAL_ERROR;
    if (rv != CKR_OK) {
        slots.clear();
        return rv;
    }
    slots.resize(filled);
    return CKR_OK;
}

CK_RV ReadAttributeValues(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                          CK_ATTRIBUTE* attributes, CK_ULONG count,
                          std::vector<std::vector<unsigned char>>& values) {
    for (CK_ULONG i = 0; i < count; ++i) {
        attributes[i].pValue = nullptr;
        attributes[i].ulValueLen = 0;
    }
    CK_RV rv = p11->C_GetAttributeValue(session, object, attributes, count);
    if (rv != CKR_OK) return rv;
    values.assign(count, {});
    for (CK_ULONG i = 0; i < count; ++i) {
        // CK_UNAVAILABLE_INFORMATION beside CKR_OK is a contradiction; so is a length no
        // certificate or identifier has.
        if (attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
            attributes[i].ulValueLen > kMaxAttributeLength) {
            return CKR_GENERAL_ERROR;
        }
        values[i].resize(attributes[i].ulValueLen);
        attributes[i].pValue = values[i].data();
    }
    rv = p11->C_GetAttributeValue(session, object, attributes, count);
    if (rv != CKR_OK) return rv;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].ulValueLen > values[i].size()) return CKR_GENERAL_ERROR;
        values[i].resize(attributes[i].ulValueLen);
    }
    return CKR_OK;
}

}  // namespace p11bridge
