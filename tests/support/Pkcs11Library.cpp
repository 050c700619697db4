#include "support/Pkcs11Library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace p11bridge::test {

void Pkcs11Library::DlClose::operator()(void* handle) const {
    dlclose(handle);
}

Pkcs11Library::Pkcs11Library(const std::string& path)
    : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) throw std::runtime_error("dlopen " + path + ": " + dlerror());
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_.get(), "C_GetFunctionList"));
    if (!getList) throw std::runtime_error("no C_GetFunctionList in " + path);
    if (getList(&functions_) != CKR_OK || !functions_) {
        throw std::runtime_error("C_GetFunctionList failed in " + path);
    }
}

}  // namespace p11bridge::test
