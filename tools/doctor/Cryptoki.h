// Owners of what the doctor acquires on a PKCS#11 module, each given back when its scope ends, and
// the texts it shows of a module's answers. The doctor opens public sessions only: it never logs
// in, so it never needs a PIN.
#pragma once

#include <pkcs11.h>

#include <cstddef>
#include <string>
#include <vector>

namespace p11bridge::doctor {

// C_Initialize as the host calls it (no arguments); C_Finalize when the scope ends.
class Cryptoki {
public:
    explicit Cryptoki(CK_FUNCTION_LIST* p11) : p11_(p11), result_(p11->C_Initialize(nullptr)) {}
    ~Cryptoki() {
        if (result_ == CKR_OK) p11_->C_Finalize(nullptr);
    }
    Cryptoki(const Cryptoki&) = delete;
    Cryptoki& operator=(const Cryptoki&) = delete;
    CK_RV Result() const { return result_; }

private:
    CK_FUNCTION_LIST* p11_;
    CK_RV result_;
};

// A read-only public session, as the host opens it; closed when the scope ends.
class Session {
public:
    Session(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    CK_RV Result() const { return result_; }
    CK_SESSION_HANDLE Handle() const { return handle_; }

private:
    CK_FUNCTION_LIST* p11_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    CK_RV result_;
};

// Every object matching the template, found in one C_FindObjectsInit .. C_FindObjectsFinal
// bracket that ends before the objects are read: some modules refuse other calls while a search
// is open.
CK_RV FindObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_ATTRIBUTE* search,
                  CK_ULONG count, std::vector<CK_OBJECT_HANDLE>& objects);

// "CKR_TOKEN_NOT_PRESENT (0xe0)", or the number alone for codes without a name here.
std::string ReturnValueText(CK_RV rv);
// A blank-padded fixed-length field of a PKCS#11 structure as text, without the padding.
std::string FieldText(const unsigned char* field, std::size_t length);
std::string HexText(const std::vector<unsigned char>& bytes);

}  // namespace p11bridge::doctor
