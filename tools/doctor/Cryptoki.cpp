#include "Cryptoki.h"

#include <cstdio>
#include <utility>

namespace p11bridge::doctor {
namespace {

// A module that claims to find more objects than this on one token is taken as looping.
constexpr std::size_t kMaxObjects = 4096;

const std::pair<CK_RV, const char*> kReturnValueNames[] = {
    {CKR_OK, "CKR_OK"},
    {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
    {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
    {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
    {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
    {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
    {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
    {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
    {CKR_SESSION_COUNT, "CKR_SESSION_COUNT"},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
    {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
    {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
};

}  // namespace

Session::Session(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot)
    : p11_(p11),
      result_(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_)) {}

Session::~Session() {
    if (result_ == CKR_OK) p11_->C_CloseSession(handle_);
}

CK_RV FindObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_ATTRIBUTE* search,
                  CK_ULONG count, std::vector<CK_OBJECT_HANDLE>& objects) {
    objects.clear();
    CK_RV rv = p11->C_FindObjectsInit(session, search, count);
    if (rv != CKR_OK) return rv;
    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        CK_ULONG found = 0;
        rv = p11->C_FindObjects(session, &object, 1, &found);
        if (rv != CKR_OK || found == 0) break;
        if (found > 1 || objects.size() >= kMaxObjects) {
            rv = CKR_GENERAL_ERROR;
            break;
        }
        objects.push_back(object);
    }
    CK_RV finished = p11->C_FindObjectsFinal(session);
    return rv != CKR_OK ? rv : finished;
}

std::string ReturnValueText(CK_RV rv) {
    char number[32];
    std::snprintf(number, sizeof number, "0x%lx", rv);
    for (const auto& [value, name] : kReturnValueNames) {
        if (value == rv) return std::string(name) + " (" + number + ")";
    }
    return number;
}

std::string FieldText(const unsigned char* field, std::size_t length) {
    std::string text(reinterpret_cast<const char*>(field), length);
    std::string::size_type end = text.find_last_not_of(std::string(" \0", 2));
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string HexText(const std::vector<unsigned char>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

}  // namespace p11bridge::doctor
