// The token's PKCS#11 module, loaded at run time from the directory of the executable.
#pragma once

#include <pkcs11.h>

#include <memory>
#include <string>

namespace p11bridge {

// One module file opened with dlopen and bound through C_GetFunctionList alone (p11-kit's proxy
// exports nothing else). The library is closed when its owner ends, so the function list must not
// outlive it.
class ModuleLibrary {
public:
    enum class Failure { kNone, kNotLoadable, kNoGetFunctionList, kGetFunctionListFailed };

    ModuleLibrary() = default;
    explicit ModuleLibrary(const std::string& path);

    // nullptr unless the module loaded and handed out its function list.
    CK_FUNCTION_LIST* Functions() const { return functions_; }
    Failure Why() const { return failure_; }
    // dlerror's text after kNotLoadable or kNoGetFunctionList.
    const std::string& LoaderMessage() const { return loaderMessage_; }
    // What C_GetFunctionList returned after kGetFunctionListFailed.
    CK_RV GetFunctionListResult() const { return getFunctionListResult_; }

private:
    struct LibraryClose {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, LibraryClose> library_;
    CK_FUNCTION_LIST* functions_ = nullptr;
    Failure failure_ = Failure::kNotLoadable;
    std::string loaderMessage_;
    CK_RV getFunctionListResult_ = CKR_OK;
};

class Pkcs11Module {
public:
    // The module's entry points, loaded on first use and kept for the life of the process;
    // nullptr while the module is missing or unusable, in which case the next call tries again.
    static CK_FUNCTION_LIST* Load() noexcept;

    // <directory of /proc/self/exe>/p11bridge-pkcs11.so; empty when the executable's path is
    // unknown.
    static std::string DefaultPath();

    // The file name of the module link the host loads from its own directory.
    static const char* LinkName();

    // In-process tests point the loader at another module. Unloads the current one, so call it
    // only between token operations. The shipped host never calls it: it has no option, variable
    // or file that chooses the module.
    static void SetPathForTesting(const std::string& path);
};

}  // namespace p11bridge
