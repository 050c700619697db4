// The scenario-driven PKCS#11 module used by the tests in place of a vendor's token module.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <pkcs11.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Scenario.h"
#include "TokenObject.h"
#include "common/FileDescriptor.h"

namespace p11bridge::testtoken {
namespace {

constexpr const char* kScenarioVariable = "P11BRIDGE_TESTTOKEN_SCENARIO";

using p11bridge::FileDescriptor;

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t nextFound = 0;
    bool signing = false;
    CK_OBJECT_HANDLE signKey = 0;
};

struct Module {
    std::mutex mutex;
    bool initialized = false;
    std::string loadedText;
    std::map<std::string, unsigned long> callCounts;
    Scenario scenario;
    std::vector<TokenObject> objects;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    std::set<CK_SLOT_ID> loggedIn;

    // Opened per line with O_APPEND so that several processes (host, helpers) sharing
    // one log interleave whole lines.
    void Append(const std::string& line) const {
        if (scenario.logPath.empty()) return;
        FileDescriptor fd(
            open(scenario.logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
        if (fd.get() < 0) return;
        std::string text = line + "\n";
        ssize_t written = write(fd.get(), text.data(), text.size());
        (void)written;
    }

    void Record(const char* function, CK_RV rv) const {
        Append(std::string(function) + " " + std::to_string(rv));
    }

    std::optional<CK_RV> Inject(const char* function) {
        unsigned long call = ++callCounts[function];
        for (const FailRule& rule : scenario.fails) {
            if (rule.function == function && (rule.call == 0 || rule.call == call)) return rule.rv;
        }
        return std::nullopt;
    }

    const SlotSpec* FindSlot(CK_SLOT_ID id) const {
        for (const SlotSpec& slot : scenario.slots) {
            if (slot.id == id) return &slot;
        }
        return nullptr;
    }

    Session* FindSession(CK_SESSION_HANDLE handle) {
        auto found = sessions.find(handle);
        return found == sessions.end() ? nullptr : &found->second;
    }

    // Private objects stay hidden until the user logs in, as on a real token.
    const TokenObject* Visible(const Session& session, CK_OBJECT_HANDLE handle) const {
        for (const TokenObject& object : objects) {
            if (object.handle == handle && object.slot == session.slot &&
                (!object.isPrivate || loggedIn.count(session.slot))) {
                return &object;
            }
        }
        return nullptr;
    }

    void Reset() {
        sessions.clear();
        loggedIn.clear();
        objects.clear();
        // Drops the private keys too: nothing of the token outlives C_Finalize.
        std::string keepLog = scenario.logPath;
        scenario = Scenario();
        scenario.logPath = keepLog;
    }
};

Module& State() {
    static Module module;
    return module;
}

bool IsEntryPoint(const std::string& name);

// Every entry point runs here: counted, failure-injected, guarded against exceptions
// (an exception must never cross the C boundary into the host) and logged.
template <typename Body>
CK_RV Guarded(const char* function, Body&& body) {
    Module& m = State();
    std::lock_guard<std::mutex> lock(m.mutex);
    CK_RV rv = CKR_GENERAL_ERROR;
    try {
        if (std::optional<CK_RV> injected = m.Inject(function)) {
            rv = *injected;
        } else if (!m.initialized) {
            rv = CKR_CRYPTOKI_NOT_INITIALIZED;
        } else {
            rv = body(m);
        }
    } catch (const std::bad_alloc&) {
        rv = CKR_HOST_MEMORY;
    } catch (...) {
        rv = CKR_GENERAL_ERROR;
    }
    m.Record(function, rv);
    return rv;
}

template <typename Body>
CK_RV InSession(const char* function, CK_SESSION_HANDLE handle, Body&& body) {
    return Guarded(function, [&](Module& m) {
        Session* session = m.FindSession(handle);
        return session ? body(m, *session) : CKR_SESSION_HANDLE_INVALID;
    });
}

void Pad(CK_UTF8CHAR* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::optional<std::string> ReadScenarioText() {
    const char* path = std::getenv(kScenarioVariable);
    if (!path || !*path) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CK_RV LoadAndInitialize(Module& m, CK_VOID_PTR args) {
    std::optional<std::string> text = ReadScenarioText();
    if (!text) {
        m.Append(std::string("# cannot read the scenario named by ") + kScenarioVariable);
        return CKR_GENERAL_ERROR;
    }
    if (*text != m.loadedText) {
        m.callCounts.clear();
        m.loadedText = *text;
    }
    ParsedScenario parsed = ParseScenario(*text, &IsEntryPoint);
    m.scenario = std::move(parsed.scenario);
    if (std::optional<CK_RV> injected = m.Inject("C_Initialize")) {
        m.Reset();
        return *injected;
    }
    if (!parsed.error.empty()) {
        m.Append("# scenario " + parsed.error);
        m.Reset();
        return CKR_GENERAL_ERROR;
    }
    if (args) {
        const auto* init = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
        if (init->pReserved) {
            m.Reset();
            return CKR_ARGUMENTS_BAD;
        }
    }
    CK_OBJECT_HANDLE handle = 1;
    for (const CertSpec& cert : m.scenario.certs) {
        m.objects.push_back(TokenObject::Certificate(handle++, cert));
    }
    for (const KeySpec& key : m.scenario.keys) {
        m.objects.push_back(TokenObject::RsaPrivateKey(handle++, key));
    }
    m.initialized = true;
    return CKR_OK;
}

CK_RV Initialize(CK_VOID_PTR args) {
    Module& m = State();
    std::lock_guard<std::mutex> lock(m.mutex);
    CK_RV rv = CKR_GENERAL_ERROR;
    try {
        if (m.initialized) {
            // The live scenario is not reloaded under an application that still uses it.
            std::optional<CK_RV> injected = m.Inject("C_Initialize");
            rv = injected ? *injected : CKR_CRYPTOKI_ALREADY_INITIALIZED;
        } else {
            rv = LoadAndInitialize(m, args);
        }
    } catch (const std::bad_alloc&) {
        m.Reset();
        rv = CKR_HOST_MEMORY;
    } catch (...) {
        m.Reset();
        rv = CKR_GENERAL_ERROR;
    }
    m.Record("C_Initialize", rv);
    return rv;
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    return Guarded("C_Finalize", [&](Module& m) {
        if (reserved) return CKR_ARGUMENTS_BAD;
        m.Reset();
        m.initialized = false;
        return CKR_OK;
    });
}

CK_RV GetInfo(CK_INFO_PTR info) {
    return Guarded("C_GetInfo", [&](Module&) {
        if (!info) return CKR_ARGUMENTS_BAD;
        info->cryptokiVersion = {2, 40};
        Pad(info->manufacturerID, sizeof info->manufacturerID, "p11bridge");
        info->flags = 0;
        Pad(info->libraryDescription, sizeof info->libraryDescription, "p11bridge test token");
        info->libraryVersion = {1, 0};
        return CKR_OK;
    });
}

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return Guarded("C_GetSlotList", [&](Module& m) {
        if (!count) return CKR_ARGUMENTS_BAD;
        std::vector<CK_SLOT_ID> ids;
        if (!m.scenario.slotCountZero) {
            for (const SlotSpec& slot : m.scenario.slots) {
                if (slot.hasToken || !tokenPresent) ids.push_back(slot.id);
            }
        }
        if (!list) {
            *count = ids.size();
            return CKR_OK;
        }
        if (m.scenario.slotCountGrows) {
            CK_ULONG room = *count;
            std::copy_n(ids.begin(), std::min<size_t>(room, ids.size()), list);
            *count = std::max<CK_ULONG>(room, ids.size()) + 1;
            return CKR_OK;
        }
        if (*count < ids.size()) {
            *count = ids.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy(ids.begin(), ids.end(), list);
        *count = ids.size();
        return CKR_OK;
    });
}

CK_RV GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
    return Guarded("C_GetSlotInfo", [&](Module& m) {
        if (!info) return CKR_ARGUMENTS_BAD;
        const SlotSpec* slot = m.FindSlot(id);
        if (!slot) return CKR_SLOT_ID_INVALID;
        Pad(info->slotDescription, sizeof info->slotDescription,
            "p11bridge test slot " + std::to_string(id));
        Pad(info->manufacturerID, sizeof info->manufacturerID, "p11bridge");
        info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->hasToken ? CKF_TOKEN_PRESENT : 0);
        info->hardwareVersion = {1, 0};
        info->firmwareVersion = {1, 0};
        return CKR_OK;
    });
}

CK_RV GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
    return Guarded("C_GetTokenInfo", [&](Module& m) {
        if (!info) return CKR_ARGUMENTS_BAD;
        const SlotSpec* slot = m.FindSlot(id);
        if (!slot) return CKR_SLOT_ID_INVALID;
        if (!slot->hasToken) return CKR_TOKEN_NOT_PRESENT;
        Pad(info->label, sizeof info->label, slot->label);
        Pad(info->manufacturerID, sizeof info->manufacturerID, "p11bridge");
        Pad(info->model, sizeof info->model, "testtoken");
        Pad(info->serialNumber, sizeof info->serialNumber, std::to_string(id));
        info->flags = CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED |
                      (m.scenario.pin || m.scenario.pinSha256 ? CKF_USER_PIN_INITIALIZED : 0) |
                      (m.scenario.locked ? CKF_USER_PIN_LOCKED : 0);
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulSessionCount = static_cast<CK_ULONG>(
            std::count_if(m.sessions.begin(), m.sessions.end(),
                          [id](const auto& entry) { return entry.second.slot == id; }));
        info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulRwSessionCount = 0;
        info->ulMaxPinLen = 64;
        info->ulMinPinLen = 1;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->hardwareVersion = {1, 0};
        info->firmwareVersion = {1, 0};
        Pad(info->utcTime, sizeof info->utcTime, "");
        return CKR_OK;
    });
}

CK_RV GetMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    return Guarded("C_GetMechanismList", [&](Module& m) {
        if (!count) return CKR_ARGUMENTS_BAD;
        const SlotSpec* slot = m.FindSlot(id);
        if (!slot) return CKR_SLOT_ID_INVALID;
        if (!slot->hasToken) return CKR_TOKEN_NOT_PRESENT;
        if (list && *count < 1) {
            *count = 1;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (list) list[0] = CKM_RSA_PKCS;
        *count = 1;
        return CKR_OK;
    });
}

CK_RV GetMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    return Guarded("C_GetMechanismInfo", [&](Module& m) {
        if (!info) return CKR_ARGUMENTS_BAD;
        const SlotSpec* slot = m.FindSlot(id);
        if (!slot) return CKR_SLOT_ID_INVALID;
        if (!slot->hasToken) return CKR_TOKEN_NOT_PRESENT;
        if (type != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
        info->ulMinKeySize = 512;
        info->ulMaxKeySize = 16384;
        info->flags = CKF_HW | CKF_SIGN;
        return CKR_OK;
    });
}

CK_RV OpenSession(CK_SLOT_ID id, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                  CK_SESSION_HANDLE_PTR handle) {
    return Guarded("C_OpenSession", [&](Module& m) {
        if (!handle) return CKR_ARGUMENTS_BAD;
        const SlotSpec* slot = m.FindSlot(id);
        if (!slot) return CKR_SLOT_ID_INVALID;
        if (!slot->hasToken) return CKR_TOKEN_NOT_PRESENT;
        if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        Session session;
        session.slot = id;
        session.flags = flags;
        *handle = m.nextSession++;
        m.sessions[*handle] = session;
        return CKR_OK;
    });
}

// Login state belongs to the token, and ends when its last session closes.
void ForgetLoginIfIdle(Module& m, CK_SLOT_ID slot) {
    for (const auto& entry : m.sessions) {
        if (entry.second.slot == slot) return;
    }
    m.loggedIn.erase(slot);
}

CK_RV CloseSession(CK_SESSION_HANDLE handle) {
    return InSession("C_CloseSession", handle, [&](Module& m, Session& session) {
        CK_SLOT_ID slot = session.slot;
        m.sessions.erase(handle);
        ForgetLoginIfIdle(m, slot);
        return CKR_OK;
    });
}

CK_RV CloseAllSessions(CK_SLOT_ID id) {
    return Guarded("C_CloseAllSessions", [&](Module& m) {
        if (!m.FindSlot(id)) return CKR_SLOT_ID_INVALID;
        for (auto it = m.sessions.begin(); it != m.sessions.end();) {
            it = it->second.slot == id ? m.sessions.erase(it) : std::next(it);
        }
        m.loggedIn.erase(id);
        return CKR_OK;
    });
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    return InSession("C_GetSessionInfo", handle, [&](Module& m, Session& session) {
        if (!info) return CKR_ARGUMENTS_BAD;
        bool user = m.loggedIn.count(session.slot) > 0;
        bool rw = (session.flags & CKF_RW_SESSION) != 0;
        info->slotID = session.slot;
        info->state = rw ? (user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                         : (user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
        info->flags = session.flags;
        info->ulDeviceError = 0;
        return CKR_OK;
    });
}

CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    return InSession("C_Login", handle, [&](Module& m, Session& session) {
        if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
        if (!pin && length > 0) return CKR_ARGUMENTS_BAD;
        if (m.loggedIn.count(session.slot)) return CKR_USER_ALREADY_LOGGED_IN;
        if (m.scenario.locked) return CKR_PIN_LOCKED;
        if (m.scenario.pinSha256) {
            unsigned char digest[32];
            unsigned int size = 0;
            if (!EVP_Digest(pin, length, digest, &size, EVP_sha256(), nullptr))
                return CKR_GENERAL_ERROR;
            if (CRYPTO_memcmp(digest, m.scenario.pinSha256->data(), sizeof digest) != 0)
                return CKR_PIN_INCORRECT;
        } else {
            if (!m.scenario.pin) return CKR_USER_PIN_NOT_INITIALIZED;
            const std::string& expected = *m.scenario.pin;
            if (length != expected.size() ||
                (length > 0 && CRYPTO_memcmp(pin, expected.data(), length) != 0)) {
                return CKR_PIN_INCORRECT;
            }
        }
        m.loggedIn.insert(session.slot);
        return CKR_OK;
    });
}

CK_RV Logout(CK_SESSION_HANDLE handle) {
    return InSession("C_Logout", handle, [&](Module& m, Session& session) {
        if (!m.loggedIn.erase(session.slot)) return CKR_USER_NOT_LOGGED_IN;
        return CKR_OK;
    });
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle,
                        CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    return InSession("C_GetAttributeValue", handle, [&](Module& m, Session& session) {
        if (!templ && count > 0) return CKR_ARGUMENTS_BAD;
        const TokenObject* object = m.Visible(session, objectHandle);
        if (!object) return CKR_OBJECT_HANDLE_INVALID;
        // Per attribute, as PKCS#11 prescribes: one bad entry does not stop the others.
        CK_RV rv = CKR_OK;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE& attribute = templ[i];
            auto found = object->attributes.find(attribute.type);
            if (object->sensitive.count(attribute.type)) {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_SENSITIVE;
            } else if (found == object->attributes.end()) {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (!attribute.pValue) {
                attribute.ulValueLen = m.scenario.attributeLengthInvalid
                                           ? CK_UNAVAILABLE_INFORMATION
                                           : found->second.size();
            } else if (attribute.ulValueLen < found->second.size()) {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            } else {
                if (!found->second.empty()) {
                    std::memcpy(attribute.pValue, found->second.data(), found->second.size());
                }
                attribute.ulValueLen = found->second.size();
            }
        }
        return rv;
    });
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    return InSession("C_FindObjectsInit", handle, [&](Module& m, Session& session) {
        if (!templ && count > 0) return CKR_ARGUMENTS_BAD;
        for (CK_ULONG i = 0; i < count; ++i) {
            if (!templ[i].pValue && templ[i].ulValueLen > 0) return CKR_ARGUMENTS_BAD;
        }
        if (session.finding) return CKR_OPERATION_ACTIVE;
        session.found.clear();
        session.nextFound = 0;
        for (const TokenObject& object : m.objects) {
            if (m.Visible(session, object.handle) && object.Matches(templ, count)) {
                session.found.push_back(object.handle);
            }
        }
        session.finding = true;
        return CKR_OK;
    });
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                  CK_ULONG_PTR count) {
    return InSession("C_FindObjects", handle, [&](Module&, Session& session) {
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        if (!count || (!objects && max > 0)) return CKR_ARGUMENTS_BAD;
        CK_ULONG n = 0;
        while (n < max && session.nextFound < session.found.size()) {
            objects[n++] = session.found[session.nextFound++];
        }
        *count = n;
        return CKR_OK;
    });
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle) {
    return InSession("C_FindObjectsFinal", handle, [&](Module&, Session& session) {
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        session.finding = false;
        session.found.clear();
        return CKR_OK;
    });
}

CK_RV SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return InSession("C_SignInit", handle, [&](Module& m, Session& session) {
        if (!mechanism) return CKR_ARGUMENTS_BAD;
        if (session.signing) return CKR_OPERATION_ACTIVE;
        if (mechanism->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
        if (mechanism->pParameter || mechanism->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
        if (!m.loggedIn.count(session.slot)) return CKR_USER_NOT_LOGGED_IN;
        const TokenObject* object = m.Visible(session, key);
        if (!object || !object->key) return CKR_KEY_HANDLE_INVALID;
        session.signing = true;
        session.signKey = key;
        return CKR_OK;
    });
}

CK_RV SignWithKey(EVP_PKEY* key, const unsigned char* data, size_t length, unsigned char* out,
                  size_t* outLength) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), out, outLength, data, length) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    return CKR_OK;
}

CK_RV Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
    return InSession("C_Sign", handle, [&](Module& m, Session& session) {
        if (!session.signing) return CKR_OPERATION_NOT_INITIALIZED;
        const TokenObject* object = m.Visible(session, session.signKey);
        // Every outcome below except a length answer ends the operation.
        session.signing = false;
        if (!signatureLength || (!data && dataLength > 0)) return CKR_ARGUMENTS_BAD;
        if (!object) return CKR_USER_NOT_LOGGED_IN;
        size_t size = static_cast<size_t>(EVP_PKEY_get_size(object->key.get()));
        if (dataLength + 11 > size) return CKR_DATA_LEN_RANGE;
        if (!signature) {
            *signatureLength = size;
            session.signing = true;
            return CKR_OK;
        }
        if (m.scenario.signLengthOverflow) {
            std::vector<unsigned char> full(size);
            size_t produced = size;
            CK_RV rv = SignWithKey(object->key.get(), data, dataLength, full.data(), &produced);
            if (rv != CKR_OK) return rv;
            std::copy_n(full.begin(), std::min<size_t>(produced, *signatureLength), signature);
            *signatureLength += 1;
            return CKR_OK;
        }
        if (*signatureLength < size) {
            *signatureLength = size;
            session.signing = true;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (m.scenario.signZeroLength) {
            *signatureLength = 0;
            return CKR_OK;
        }
        size_t produced = *signatureLength;
        CK_RV rv = SignWithKey(object->key.get(), data, dataLength, signature, &produced);
        if (rv == CKR_OK) *signatureLength = produced;
        return rv;
    });
}

// Every Cryptoki 2.x entry point gets a name tag and a stub answering
// CKR_FUNCTION_NOT_SUPPORTED, so the function list has no null entry a caller could jump to.
#define CK_PKCS11_FUNCTION_INFO(name)               \
    struct Name_##name {                            \
        static constexpr const char* value = #name; \
    };
#define CK_PKCS11_2_0_ONLY 1
#include <pkcs11f.h>
#undef CK_PKCS11_FUNCTION_INFO

template <typename Function, typename Name>
struct Unsupported;

template <typename... Args, typename Name>
struct Unsupported<CK_RV (*)(Args...), Name> {
    static CK_RV Call(Args...) {
        return Guarded(Name::value, [](Module&) { return CKR_FUNCTION_NOT_SUPPORTED; });
    }
};

const std::set<std::string>& EntryPointNames() {
    static const std::set<std::string> names = {
#define CK_PKCS11_FUNCTION_INFO(name) #name,
#include <pkcs11f.h>
#undef CK_PKCS11_FUNCTION_INFO
    };
    return names;
}

bool IsEntryPoint(const std::string& name) {
    return EntryPointNames().count(name) > 0;
}

CK_FUNCTION_LIST MakeFunctionList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 40};
#define CK_PKCS11_FUNCTION_INFO(name) list.name = &Unsupported<CK_##name, Name_##name>::Call;
#include <pkcs11f.h>
#undef CK_PKCS11_FUNCTION_INFO
#undef CK_PKCS11_2_0_ONLY
    list.C_Initialize = &Initialize;
    list.C_Finalize = &Finalize;
    list.C_GetInfo = &GetInfo;
    list.C_GetFunctionList = &C_GetFunctionList;
    list.C_GetSlotList = &GetSlotList;
    list.C_GetSlotInfo = &GetSlotInfo;
    list.C_GetTokenInfo = &GetTokenInfo;
    list.C_GetMechanismList = &GetMechanismList;
    list.C_GetMechanismInfo = &GetMechanismInfo;
    list.C_OpenSession = &OpenSession;
    list.C_CloseSession = &CloseSession;
    list.C_CloseAllSessions = &CloseAllSessions;
    list.C_GetSessionInfo = &GetSessionInfo;
    list.C_Login = &Login;
    list.C_Logout = &Logout;
    list.C_GetAttributeValue = &GetAttributeValue;
    list.C_FindObjectsInit = &FindObjectsInit;
    list.C_FindObjects = &FindObjects;
    list.C_FindObjectsFinal = &FindObjectsFinal;
    list.C_SignInit = &SignInit;
    list.C_Sign = &Sign;
    return list;
}

}  // namespace
}  // namespace p11bridge::testtoken

// C_GetFunctionList is neither counted nor logged: the scenario is only read by C_Initialize.
extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = p11bridge::testtoken::MakeFunctionList();
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}
