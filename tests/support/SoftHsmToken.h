#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/Crypto.h"
#include "support/TempDir.h"

namespace p11bridge::test {

struct IssuedCert;
class SoftHsmToken;

// A SoftHSM2 store private to one test: its own token directory and softhsm2.conf, with
// SOFTHSM2_CONF pointing at it for this process, and the processes it starts, until the
// object goes away (the previous value is then restored). Like its TempDir, it is not copied.
//
// SoftHSM2 lists its initialised tokens sorted by slot ID, then one uninitialised token,
// all flagged as present. The slot ID of a new token is not chosen by the caller.
class SoftHsm {
public:
    // Throws std::runtime_error when SoftHSM2 is not installed.
    SoftHsm();
    ~SoftHsm();

    // libsofthsm2.so, or the empty string when it is not installed.
    static std::string ModulePath();

    // pkcs11-tool picks tokens by label prefix, so no label may be a prefix of another.
    SoftHsmToken AddToken(const std::string& label, const std::string& pin,
                          const std::string& soPin = "12345678");

    const std::string& Directory() const { return dir_.Path(); }
    // Where the output of softhsm2-util and pkcs11-tool goes.
    std::string ToolLogPath() const { return dir_.File("tools.log"); }

    // Runs a tool by posix_spawn (arguments are never parsed by a shell), its output appended
    // to the tool log; returns that output, throws when it does not exit with 0.
    std::string Run(const std::vector<std::string>& argv) const;

private:
    TempDir dir_;
    std::vector<std::string> labels_;
    std::optional<std::string> previousConf_;
};

class SoftHsmToken {
public:
    // A PEM private key (PKCS#8 or traditional) as a private, sensitive key object; with
    // alwaysAuthenticate, one that needs the PIN for each use (CKA_ALWAYS_AUTHENTICATE).
    void ImportKey(const std::string& keyPemPath, const Bytes& id, const std::string& label = "",
                   bool alwaysAuthenticate = false);
    // A DER certificate as a public certificate object.
    void ImportCert(const std::string& certDerPath, const Bytes& id, const std::string& label = "");
    // Any bytes as the value of an X.509 certificate object, decodable or not.
    void ImportRawCert(const Bytes& value, const Bytes& id);
    // Certificate and private key under one CKA_ID.
    void ImportCredential(const IssuedCert& cert, const Bytes& id, const std::string& label = "");

private:
    friend class SoftHsm;
    SoftHsmToken(const SoftHsm& hsm, std::string label, std::string pin, unsigned long slotId)
        : hsm_(&hsm), label_(std::move(label)), pin_(std::move(pin)), slotId_(slotId) {}
    void Write(const std::string& path, const char* type, const Bytes& id, const std::string& label,
               bool alwaysAuthenticate = false);

    const SoftHsm* hsm_;
    std::string label_;
    std::string pin_;
    unsigned long slotId_;
};

}  // namespace p11bridge::test
