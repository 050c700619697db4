#include "support/SoftHsmToken.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pkcs11.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <stdexcept>

#include "support/CertFactory.h"

extern char** environ;

namespace p11bridge::test {

constexpr const char* kConfVariable = "SOFTHSM2_CONF";

std::string SoftHsm::ModulePath() {
    for (const char* candidate :
         {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
          "/usr/lib64/pkcs11/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/pkcs11/libsofthsm2.so",
          "/usr/local/lib/softhsm/libsofthsm2.so"}) {
        if (access(candidate, R_OK) == 0) return candidate;
    }
    return "";
}

SoftHsm::SoftHsm() {
    // A missing softhsm2-util or pkcs11-tool is named by the first Run that needs it.
    if (ModulePath().empty()) throw std::runtime_error("SoftHSM2 is missing");
    std::string tokens = dir_.File("tokens");
    if (mkdir(tokens.c_str(), 0700) != 0) {
        throw std::runtime_error("mkdir " + tokens + ": " + std::strerror(errno));
    }
    std::string conf = dir_.File("softhsm2.conf");
    if (!(std::ofstream(conf) << "directories.tokendir = " << tokens << "\n"
                              << "objectstore.backend = file\nlog.level = ERROR\n"
                              << "slots.removable = false\n")) {
        throw std::runtime_error("cannot write " + conf);
    }
    if (const char* previous = std::getenv(kConfVariable)) previousConf_ = previous;
    setenv(kConfVariable, conf.c_str(), 1);
}

SoftHsm::~SoftHsm() {
    if (previousConf_) {
        setenv(kConfVariable, previousConf_->c_str(), 1);
    } else {
        unsetenv(kConfVariable);
    }
}

std::string SoftHsm::Run(const std::vector<std::string>& argv) const {
    std::string outputPath = dir_.File("tool-output.txt");
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error(argv[0] + ": " + std::strerror(error));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string text = ReadFile(outputPath);
    std::ofstream(ToolLogPath(), std::ios::app)
        << "$ " << argv[0] << (argv.size() > 1 ? " " + argv[1] : "") << "\n"
        << text;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(argv[0] + " failed (see " + ToolLogPath() + "):\n" + text);
    }
    return text;
}

SoftHsmToken SoftHsm::AddToken(const std::string& label, const std::string& pin,
                               const std::string& soPin) {
    for (const std::string& other : labels_) {
        if (other.rfind(label, 0) == 0 || label.rfind(other, 0) == 0) {
            throw std::invalid_argument("token labels '" + label + "' and '" + other +
                                        "' are prefixes of each other");
        }
    }
    std::string output = Run({"softhsm2-util", "--init-token", "--free", "--label", label,
                              "--so-pin", soPin, "--pin", pin});
    std::smatch match;
    static const std::regex kSlot("reassigned to slot ([0-9]+)");
    if (!std::regex_search(output, match, kSlot)) {
        throw std::runtime_error("no slot in softhsm2-util output:\n" + output);
    }
    labels_.push_back(label);
    return SoftHsmToken(*this, label, pin, std::stoul(match[1].str()));
}

void SoftHsmToken::Write(const std::string& path, const char* type, const Bytes& id,
                         const std::string& label, bool alwaysAuthenticate) {
    const std::string module = SoftHsm::ModulePath();
    std::vector<std::string> argv = {"pkcs11-tool",    "--module", module,   "--token-label",
                                     label_,           "--login",  "--pin",  pin_,
                                     "--write-object", path,       "--type", type};
    // pkcs11-tool cannot write an empty CKA_ID; leaving --id out gives the object none.
    if (!id.empty()) argv.insert(argv.end(), {"--id", ToHex(id)});
    if (!label.empty()) argv.insert(argv.end(), {"--label", label});
    if (alwaysAuthenticate) argv.push_back("--always-auth");
    hsm_->Run(argv);
}

void SoftHsmToken::ImportKey(const std::string& keyPemPath, const Bytes& id,
                             const std::string& label, bool alwaysAuthenticate) {
    Write(keyPemPath, "privkey", id, label, alwaysAuthenticate);
}

void SoftHsmToken::ImportCert(const std::string& certDerPath, const Bytes& id,
                              const std::string& label) {
    Write(certDerPath, "cert", id, label);
}

void SoftHsmToken::ImportRawCert(const Bytes& value, const Bytes& id) {
    // pkcs11-tool parses what it writes, so bytes that are no certificate go in by hand.
    const std::string path = SoftHsm::ModulePath();
    std::unique_ptr<void, int (*)(void*)> library(dlopen(path.c_str(), RTLD_NOW), dlclose);
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(
        library ? dlsym(library.get(), "C_GetFunctionList") : nullptr);
    CK_FUNCTION_LIST* p11 = nullptr;
    if (!getList || getList(&p11) != CKR_OK) throw std::runtime_error("cannot load " + path);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE object = 0;
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    Bytes subject{0x30, 0x00};  // SoftHSM2 insists on a subject, an empty name will do
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_SUBJECT, subject.data(), subject.size()},
        {CKA_ID, const_cast<unsigned char*>(id.data()), id.size()},
        {CKA_VALUE, const_cast<unsigned char*>(value.data()), value.size()},
    };
    auto* pin = reinterpret_cast<unsigned char*>(const_cast<char*>(pin_.data()));
    CK_RV rv = p11->C_Initialize(nullptr);
    if (rv == CKR_OK) {
        rv = p11->C_OpenSession(slotId_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                &session);
    }
    if (rv == CKR_OK) rv = p11->C_Login(session, CKU_USER, pin, pin_.size());
    if (rv == CKR_OK) rv = p11->C_CreateObject(session, attributes, 6, &object);
    if (session != CK_INVALID_HANDLE) p11->C_CloseSession(session);
    p11->C_Finalize(nullptr);
    if (rv != CKR_OK) throw std::runtime_error("C_CreateObject: rv " + std::to_string(rv));
}

void SoftHsmToken::ImportCredential(const IssuedCert& cert, const Bytes& id,
                                    const std::string& label) {
    ImportCert(cert.derPath, id, label);
    ImportKey(cert.keyPemPath, id, label);
}

}  // namespace p11bridge::test
