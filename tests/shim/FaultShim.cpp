// A PKCS#11 module for tests: it forwards every call to a real module and makes only the faults its
// rules name. Objects, PINs and signatures all come from the real module. The rules and the
// environment it reads are described in tests/conversations/README.md.
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pkcs11.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Fail {
    std::string function;
    unsigned long call = 0;  // 0 is every call
    CK_RV rv = CKR_OK;
};

struct Shim {
    std::unique_ptr<void, int (*)(void*)> library{nullptr, dlclose};
    CK_FUNCTION_LIST* real = nullptr;
    CK_FUNCTION_LIST list{};
    std::vector<std::string> names;  // the entry points a fail rule may name
    std::string log;
    bool bad = false;  // a rule that does not parse: every C_Initialize fails
    unsigned long otherFrom = 0, otherTo = 0;  // other-token
    bool endless = false;                      // search endless
    bool alwaysAuth = false;                   // always-auth
    CK_OBJECT_HANDLE lastFound = CK_INVALID_HANDLE;
    // Talk on stdout and stderr, as p11-kit and OpenSC do when something is amiss.
    bool chatter = false;
    std::vector<Fail> fails;
    std::string slots, attributeLength, signLength;
    std::vector<std::string> slotOrder;    // token labels, "-" for an uninitialised token
    std::vector<unsigned char> pinDigest;  // SHA-256 of the PIN that login-as replaces
    std::vector<CK_UTF8CHAR> realPin;
};

Shim& State();

// Several processes may share one log: each line is appended on its own.
void Log(const char* function, CK_RV rv) {
    if (!State().log.empty())
        std::ofstream(State().log, std::ios::app) << function << ' ' << rv << '\n';
}

CK_RV Injected(const std::string& function, unsigned long call) {
    if (State().chatter && (function == "C_Initialize" || function == "C_FindObjects")) {
        std::fputs("faultshim: loaded\n", stderr);
        std::printf("faultshim: %s\n", function.c_str());  // stdio's buffer, written at exit
        if (::write(STDOUT_FILENO, "faultshim\n", 10) < 0) std::perror("faultshim");
        // And reads whatever waits on stdin, as a module prompting for a PIN there would.
        pollfd in{STDIN_FILENO, POLLIN, 0};
        char sink[4096];
        if (::poll(&in, 1, 0) > 0 && ::read(STDIN_FILENO, sink, sizeof sink) < 0)
            std::perror("faultshim");
    }
    if (State().bad && function == "C_Initialize") return CKR_GENERAL_ERROR;
    for (const Fail& fail : State().fails) {
        if (fail.function == function && (fail.call == 0 || fail.call == call)) return fail.rv;
    }
    return CKR_OK;
}

// What an entry point does once no fail rule took the call: forward, unless a rule below says how
// the answer lies.
template <auto Member>
struct Behaviour {
    template <typename... Args>
    static CK_RV Run(Args... args) {
        return (State().real->*Member)(args...);
    }
};

// The real slot list, sorted by the slot-order rule: a token's place is its label's in the rule.
CK_RV Ordered(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    const Shim& shim = State();
    CK_RV rv = shim.real->C_GetSlotList(present, list, count);
    if (rv != CKR_OK) return rv;
    auto rank = [&shim](CK_SLOT_ID slot) {
        CK_TOKEN_INFO info{};
        std::string label = "?";
        if (shim.real->C_GetTokenInfo(slot, &info) == CKR_OK) {
            label.assign(reinterpret_cast<const char*>(info.label), sizeof info.label);
            label.erase(label.find_last_not_of(' ') + 1);
            if (!(info.flags & CKF_TOKEN_INITIALIZED)) label = "-";
        }
        auto at = std::find(shim.slotOrder.begin(), shim.slotOrder.end(), label);
        return at - shim.slotOrder.begin();
    };
    std::stable_sort(list, list + *count,
                     [&rank](CK_SLOT_ID a, CK_SLOT_ID b) { return rank(a) < rank(b); });
    return CKR_OK;
}

template <>
struct Behaviour<&CK_FUNCTION_LIST::C_GetSlotList> {
    static CK_RV Run(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
        const Shim& shim = State();
        if (shim.slots == "none" && count) return *count = 0, CKR_OK;
        if (!shim.slotOrder.empty() && list && count) return Ordered(present, list, count);
        if (shim.slots != "grow" || !list || !count) {
            return shim.real->C_GetSlotList(present, list, count);
        }
        CK_ULONG real = 0;
        CK_RV rv = shim.real->C_GetSlotList(present, nullptr, &real);
        std::vector<CK_SLOT_ID> slots(real);
        if (rv == CKR_OK && real) rv = shim.real->C_GetSlotList(present, slots.data(), &real);
        if (rv != CKR_OK) return rv;
        std::copy_n(slots.begin(), std::min(real, *count), list);
        *count = std::max(real, *count) + 1;
        return CKR_OK;
    }
};

template <>
struct Behaviour<&CK_FUNCTION_LIST::C_GetAttributeValue> {
    static CK_RV Run(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                     CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
        const Shim& shim = State();
        const std::string& rule = shim.attributeLength;
        CK_ATTRIBUTE_PTR end = attributes + count;
        bool query = std::none_of(attributes, end, [](const CK_ATTRIBUTE& a) { return a.pValue; });
        if (query && rule == "unavailable") {
            for (CK_ATTRIBUTE_PTR a = attributes; a != end; ++a)
                a->ulValueLen = CK_UNAVAILABLE_INFORMATION;
            return CKR_OK;
        }
        CK_RV rv = shim.real->C_GetAttributeValue(session, object, attributes, count);
        for (CK_ATTRIBUTE_PTR a = attributes; shim.alwaysAuth && rv == CKR_OK && a != end; ++a) {
            if (a->type == CKA_ALWAYS_AUTHENTICATE && a->pValue && a->ulValueLen == 1)
                *static_cast<CK_BBOOL*>(a->pValue) = CK_TRUE;
        }
        if (query || rv != CKR_OK || (rule != "grows" && rule != "shrinks")) return rv;
        // The real module wrote at most each buffer's size; only the reported lengths lie.
        for (CK_ATTRIBUTE_PTR a = attributes; a != end; ++a) {
            a->ulValueLen =
                rule == "grows" ? a->ulValueLen + 1 : a->ulValueLen - (a->ulValueLen > 0);
        }
        return CKR_OK;
    }
};

template <>
struct Behaviour<&CK_FUNCTION_LIST::C_Sign> {
    static CK_RV Run(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG size,
                     CK_BYTE_PTR signature, CK_ULONG_PTR signatureSize) {
        const std::string& rule = State().signLength;
        CK_ULONG room = signatureSize ? *signatureSize : 0;
        CK_RV rv = State().real->C_Sign(session, data, size, signature, signatureSize);
        if (!signature || rv != CKR_OK) return rv;
        if (rule == "zero") *signatureSize = 0;
        if (rule == "overflow") *signatureSize = room + 1;
        return rv;
    }
};

// search endless: once the real search is done, the last object it found comes again, forever.
template <>
struct Behaviour<&CK_FUNCTION_LIST::C_FindObjects> {
    static CK_RV Run(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG room,
                     CK_ULONG_PTR found) {
        Shim& shim = State();
        CK_RV rv = shim.real->C_FindObjects(session, objects, room, found);
        if (rv != CKR_OK || !shim.endless || !objects || !found || room == 0) return rv;
        if (*found > 0) shim.lastFound = objects[*found - 1];
        if (*found == 0 && shim.lastFound != CK_INVALID_HANDLE) {
            objects[0] = shim.lastFound;
            *found = 1;
        }
        return rv;
    }
};

// other-token FROM TO: the calls in that range describe another card in the same slot.
template <>
struct Behaviour<&CK_FUNCTION_LIST::C_GetTokenInfo> {
    static CK_RV Run(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
        static unsigned long calls = 0;
        const Shim& shim = State();
        CK_RV rv = shim.real->C_GetTokenInfo(slot, info);
        if (rv == CKR_OK && ++calls >= shim.otherFrom && calls <= shim.otherTo)
            std::copy_n("another card    ", sizeof info->serialNumber, info->serialNumber);
        return rv;
    }
};

// login-as keeps the page's PIN out of the real module, so a scan of the process's memory finds
// only the caller's own copies.
template <>
struct Behaviour<&CK_FUNCTION_LIST::C_Login> {
    static CK_RV Run(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                     CK_ULONG size) {
        Shim& shim = State();
        if (!shim.pinDigest.empty() && pin) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            bool match = EVP_Digest(pin, size, digest, &length, EVP_sha256(), nullptr) == 1 &&
                         length == shim.pinDigest.size() &&
                         CRYPTO_memcmp(digest, shim.pinDigest.data(), length) == 0;
            OPENSSL_cleanse(digest, sizeof digest);
            if (match) {
                pin = shim.realPin.data();
                size = shim.realPin.size();
            }
        }
        return shim.real->C_Login(session, user, pin, size);
    }
};

// How a call appears in the log: by its function's name, but a login for one operation
// (CKU_CONTEXT_SPECIFIC) as C_Login(context), so that the logins a session must undo stand apart.
template <typename... Args>
const char* LogName(const char* name, Args...) {
    return name;
}
const char* LogName(const char* name, CK_SESSION_HANDLE, CK_USER_TYPE user, CK_UTF8CHAR_PTR,
                    CK_ULONG) {
    return user == CKU_CONTEXT_SPECIFIC ? "C_Login(context)" : name;
}

template <auto Member>
struct Entry;

template <typename... Args, CK_RV (*CK_FUNCTION_LIST::*Member)(Args...)>
struct Entry<Member> {
    static inline const char* name = "";
    static inline std::atomic<unsigned long> calls{0};

    static CK_RV Call(Args... args) {
        CK_RV rv = Injected(name, ++calls);
        if (rv == CKR_OK) rv = Behaviour<Member>::Run(args...);
        Log(LogName(name, args...), rv);
        return rv;
    }
};

// Decimal, or hex after 0x.
bool Parse(const std::string& word, unsigned long& value) {
    bool hex = word.size() > 2 && (word.compare(0, 2, "0x") == 0 || word.compare(0, 2, "0X") == 0);
    const char* last = word.data() + word.size();
    auto [end, error] = std::from_chars(word.data() + (hex ? 2 : 0), last, value, hex ? 16 : 10);
    return end == last && error == std::errc();
}

bool Apply(Shim& shim, const std::vector<std::string>& w) {
    auto is = [&w](const char* rule, size_t words, std::initializer_list<const char*> values) {
        return w[0] == rule && w.size() == words &&
               (values.size() == 0 || std::count(values.begin(), values.end(), w[1]));
    };
    if (is("fail", 4, {})) {
        Fail fail{w[1]};
        bool known = std::count(shim.names.begin(), shim.names.end(), w[1]) > 0;
        bool call = w[2] == "*" || (Parse(w[2], fail.call) && fail.call > 0);
        shim.fails.push_back(fail);
        return known && call && Parse(w[3], shim.fails.back().rv) && shim.fails.back().rv;
    }
    if (is("slots", 2, {"none", "grow"})) return shim.slots = w[1], true;
    if (w[0] == "slot-order" && w.size() > 1)
        return shim.slotOrder.assign(w.begin() + 1, w.end()), true;
    if (is("chatter", 1, {})) return shim.chatter = true;
    if (is("search", 2, {"endless"})) return shim.endless = true;
    if (is("always-auth", 1, {})) return shim.alwaysAuth = true;
    if (is("other-token", 3, {})) {
        return Parse(w[1], shim.otherFrom) && Parse(w[2], shim.otherTo) && shim.otherFrom > 0;
    }
    if (is("attribute-length", 2, {"unavailable", "grows", "shrinks"})) {
        return shim.attributeLength = w[1], true;
    }
    if (is("sign-length", 2, {"zero", "overflow"})) return shim.signLength = w[1], true;
    if (!is("login-as", 3, {})) return false;
    shim.pinDigest.resize(32);
    shim.realPin.assign(w[2].begin(), w[2].end());
    size_t n = 0;
    return OPENSSL_hexstr2buf_ex(shim.pinDigest.data(), 32, &n, w[1].c_str(), '\0') && n == 32;
}

Shim Load() {
    auto env = [](const char* name) {
        return std::string(std::getenv(name) ? std::getenv(name) : "");
    };
    Shim shim;
    std::string module = env("P11BRIDGE_SHIM_MODULE");
    if (module.empty()) module = "/usr/lib/softhsm/libsofthsm2.so";
    shim.library.reset(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!shim.library) return shim;
    auto get = CK_C_GetFunctionList(dlsym(shim.library.get(), "C_GetFunctionList"));
    if (!get || get(&shim.real) != CKR_OK) shim.real = nullptr;
    shim.list.version = {2, 40};
#define CK_PKCS11_2_0_ONLY 1
#define CK_PKCS11_FUNCTION_INFO(function)                          \
    Entry<& CK_FUNCTION_LIST::function>::name = #function;         \
    shim.list.function = Entry<&CK_FUNCTION_LIST::function>::Call; \
    if (std::string(#function) != "C_GetFunctionList") shim.names.push_back(#function);
#include <pkcs11f.h>
#undef CK_PKCS11_FUNCTION_INFO
#undef CK_PKCS11_2_0_ONLY
    shim.list.C_GetFunctionList = C_GetFunctionList;
    shim.log = env("P11BRIDGE_SHIM_LOG");
    std::ifstream rules(env("P11BRIDGE_SHIM_RULES"));
    shim.bad = !env("P11BRIDGE_SHIM_RULES").empty() && !rules;
    for (std::string line; std::getline(rules, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word && word[0] != '#';) w.push_back(word);
        if (!w.empty() && !Apply(shim, w)) shim.bad = true;
    }
    return shim;
}

Shim& State() {
    static Shim shim = Load();
    return shim;
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    Shim& shim = State();
    if (!shim.real) return CKR_GENERAL_ERROR;
    *list = &shim.list;
    return CKR_OK;
}
