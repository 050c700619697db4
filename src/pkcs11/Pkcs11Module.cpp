#include "pkcs11/Pkcs11Module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <vector>

namespace p11bridge {
namespace {

constexpr char kModuleFileName[] = "p11bridge-pkcs11.so";

struct LibraryClose {
    void operator()(void* handle) const { dlclose(handle); }
};
using Library = std::unique_ptr<void, LibraryClose>;

struct ModuleState {
    Library library;
    CK_FUNCTION_LIST* functions = nullptr;
    bool pathOverridden = false;
    std::string path;
};

ModuleState& State() {
    static ModuleState state;
    return state;
}

std::string ExecutablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::string Pkcs11Module::DefaultPath() {
    std::string exe = ExecutablePath();
    std::string::size_type slash = exe.rfind('/');
    if (slash == std::string::npos) return {};
    return exe.substr(0, slash + 1) + kModuleFileName;
}

CK_FUNCTION_LIST* Pkcs11Module::Load() noexcept {
    ModuleState& state = State();
    if (state.functions) return state.functions;
    try {
        std::string path = state.pathOverridden ? state.path : DefaultPath();
        if (path.empty()) return nullptr;
        Library library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
        if (!library) return nullptr;
        auto getFunctionList =
            reinterpret_cast<CK_C_GetFunctionList>(dlsym(library.get(), "C_GetFunctionList"));
        if (!getFunctionList) return nullptr;
        CK_FUNCTION_LIST* functions = nullptr;
        if (getFunctionList(&functions) != CKR_OK || !functions) return nullptr;
        state.library = std::move(library);
        state.functions = functions;
        return functions;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Pkcs11Module::SetPathForTesting(const std::string& path) {
    ModuleState& state = State();
    state.functions = nullptr;
    state.library.reset();
    state.path = path;
    state.pathOverridden = true;
}

}  // namespace p11bridge
