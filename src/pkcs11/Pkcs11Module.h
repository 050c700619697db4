// The token's PKCS#11 module, loaded at run time from the directory of the executable.
#pragma once

#include <pkcs11.h>

#include <string>

namespace p11bridge {

class Pkcs11Module {
public:
    // The module's entry points, bound through C_GetFunctionList alone (p11-kit's proxy exports
    // nothing else). Loaded on first use and kept for the life of the process; nullptr while the
    // module is missing or unusable, in which case the next call tries again.
    static CK_FUNCTION_LIST* Load() noexcept;

    // <directory of /proc/self/exe>/p11bridge-pkcs11.so; empty when the executable's path is
    // unknown.
    static std::string DefaultPath();

    // In-process tests point the loader at another module. Unloads the current one, so call it
    // only between token operations. The shipped host never calls it: it has no option, variable
    // or file that chooses the module.
    static void SetPathForTesting(const std::string& path);
};

}  // namespace p11bridge
