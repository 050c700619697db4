#pragma once

#include <pkcs11.h>

#include <memory>
#include <string>

namespace p11bridge::test {

// A PKCS#11 module opened with dlopen for a test that drives it directly. Closing the
// library is left to the destructor, so the function list must not outlive the object.
class Pkcs11Library {
public:
    // Throws std::runtime_error when the file does not load or has no C_GetFunctionList.
    explicit Pkcs11Library(const std::string& path);

    CK_FUNCTION_LIST* operator->() const { return functions_; }
    CK_FUNCTION_LIST* Functions() const { return functions_; }

private:
    struct DlClose {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, DlClose> handle_;
    CK_FUNCTION_LIST* functions_ = nullptr;
};

}  // namespace p11bridge::test
