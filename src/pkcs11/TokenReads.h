// The two-call reads of a module's lists and values: the length first, then a buffer of exactly
// that length. A module that answers CKR_OK with values that cannot be true (a count larger than
// the room given, a length it cannot have) yields CKR_GENERAL_ERROR: none of it can be used.
#pragma once

#include <pkcs11.h>

#include <vector>

namespace p11bridge {

// The slots in the module's order; with tokenPresent, the host takes the first of them. A missing
// module (p11 null) is CKR_GENERAL_ERROR.
CK_RV ReadSlotList(CK_FUNCTION_LIST* p11, CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID>& slots);

// The values of the attributes, in their order; the attributes' pointers are left aimed at
// `values`.
CK_RV ReadAttributeValues(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                          CK_ATTRIBUTE* attributes, CK_ULONG count,
                          std::vector<std::vector<unsigned char>>& values);

}  // namespace p11bridge
