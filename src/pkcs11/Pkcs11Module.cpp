#include "pkcs11/Pkcs11Module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <new>
#include <vector>

namespace p11bridge {
namespace {

constexpr char kModuleFileName[] = "p11bridge-pkcs11.so";

struct ModuleState {
    ModuleLibrary module;
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

std::string LoaderError() {
    const char* text = dlerror();
    return text ? text : "";
}

}  // namespace

void ModuleLibrary::LibraryClose::operator()(void* handle) const {
    dlclose(handle);
}

ModuleLibrary::ModuleLibrary(const std::string& path) {
    library_.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library_) {
        loaderMessage_ = LoaderError();
        return;
    }
    dlerror();
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_.get(), "C_GetFunctionList"));
    if (!getFunctionList) {
        failure_ = Failure::kNoGetFunctionList;
        loaderMessage_ = LoaderError();
        return;
    }
    CK_FUNCTION_LIST* functions = nullptr;
    getFunctionListResult_ = getFunctionList(&functions);
    if (getFunctionListResult_ != CKR_OK || !functions) {
        failure_ = Failure::kGetFunctionListFailed;
        return;
    }
    functions_ = functions;
    failure_ = Failure::kNone;
}

std::string Pkcs11Module::DefaultPath() {
    std::string exe = ExecutablePath();
    std::string::size_type slash = exe.rfind('/');
    if (slash == std::string::npos) return {};
    return exe.substr(0, slash + 1) + kModuleFileName;
}

const char* Pkcs11Module::LinkName() {
    return kModuleFileName;
}

CK_FUNCTION_LIST* Pkcs11Module::Load() noexcept {
    ModuleState& state = State();
    if (state.module.Functions()) return state.module.Functions();
    try {
        std::string path = state.pathOverridden ? state.path : DefaultPath();
        if (path.empty()) return nullptr;
        ModuleLibrary module(path);
        if (!module.Functions()) return nullptr;
        state.module = std::move(module);
        return state.module.Functions();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Pkcs11Module::SetPathForTesting(const std::string& path) {
    ModuleState& state = State();
    state.module = ModuleLibrary();
    state.path = path;
    state.pathOverridden = true;
}

}  // namespace p11bridge
