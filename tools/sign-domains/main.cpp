// p11bridge-sign-domains: signs a domain-list text with the private half of the domain-list key,
// RSA PKCS#1 v1.5 over SHA-1, and prints the Base64 signature that the host verifies.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: p11bridge-sign-domains --key PRIVATE.pem [--strip-newline] [FILE]\n"
    "\n"
    "Signs the domain list in FILE (or standard input when FILE is absent or \"-\") with the\n"
    "RSA private key in PRIVATE.pem, RSA PKCS#1 v1.5 with SHA-1, and prints the signature as\n"
    "one line of Base64: the \"signature\" text of the host's Initialize message. The list\n"
    "is signed byte for byte as read, since the host verifies the \"domains\" text exactly\n"
    "as the page sends it.\n"
    "\n"
    "  --key PRIVATE.pem  PEM RSA private key (PKCS#1 or PKCS#8)\n"
    "  --strip-newline    drop one line ending (LF or CR LF) at the end of the text\n"
    "  --help             show this text\n"
    "\n"
    "Exit status: 0 signed, 1 the key or the text could not be read or signed, or the\n"
    "signature not written, 2 bad usage.\n";

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct DigestContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

struct Options {
    std::string keyPath;
    std::string inputPath;  // empty or "-": standard input
    bool stripNewline = false;
    bool help = false;
};

void Fail(const std::string& message) {
    std::cerr << "p11bridge-sign-domains: " << message << "\n";
}

// OpenSSL's own reason for the last failure, if it left one.
std::string OpenSslReason() {
    unsigned long code = ERR_get_error();
    if (code == 0) return {};
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(": ") + text;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    bool inputSeen = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--key") {
            if (i + 1 >= argc) {
                Fail("--key needs a file name");
                return false;
            }
            options.keyPath = argv[++i];
        } else if (arg.rfind("--key=", 0) == 0) {
            options.keyPath = arg.substr(6);
        } else if (arg == "--strip-newline") {
            options.stripNewline = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            Fail("unknown option " + arg);
            return false;
        } else if (inputSeen) {
            Fail("only one domain-list file can be signed at a time");
            return false;
        } else {
            options.inputPath = arg;
            inputSeen = true;
        }
    }
    if (!options.help && options.keyPath.empty()) {
        Fail("--key PRIVATE.pem is required");
        return false;
    }
    return true;
}

bool ReadInput(const Options& options, std::string& text) {
    if (options.inputPath.empty() || options.inputPath == "-") {
        std::ostringstream buffer;
        buffer << std::cin.rdbuf();
        if (std::cin.bad()) {
            Fail("cannot read standard input");
            return false;
        }
        text = buffer.str();
        return true;
    }
    std::ifstream in(options.inputPath, std::ios::binary);
    if (!in) {
        Fail("cannot open " + options.inputPath + ": " + std::strerror(errno));
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        Fail("cannot read " + options.inputPath);
        return false;
    }
    return true;
}

void StripOneNewline(std::string& text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
}

std::unique_ptr<EVP_PKEY, KeyFree> ReadPrivateKey(const std::string& path) {
    std::unique_ptr<BIO, BioFree> file(BIO_new_file(path.c_str(), "rb"));
    if (!file) {
        Fail("cannot open key " + path + OpenSslReason());
        return nullptr;
    }
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (!key) {
        Fail(path + " holds no PEM private key" + OpenSslReason());
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        Fail(path + " is not an RSA key; the host verifies RSA signatures only");
        return nullptr;
    }
    return key;
}

bool Sign(EVP_PKEY* key, const std::string& text, std::vector<unsigned char>& signature) {
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
        Fail("cannot sign" + OpenSslReason());
        return false;
    }
    signature.resize(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
        Fail("cannot sign" + OpenSslReason());
        return false;
    }
    signature.resize(length);
    return true;
}

std::string Base64(const std::vector<unsigned char>& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), bytes.data(),
                            static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// A deployment script publishes whatever lands on stdout: a signature lost to a full disk or a
// closed pipe must fail the run, not leave an empty or cut signature behind a success.
bool WriteOut(const std::string& text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    const int error = errno;
    Fail(std::string("cannot write to standard output") +
         (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that went away is a write error to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    if (options.help) return WriteOut(kUsage) ? kExitOk : kExitFailure;
    auto key = ReadPrivateKey(options.keyPath);
    if (!key) return kExitFailure;
    std::string text;
    if (!ReadInput(options, text)) return kExitFailure;
    if (options.stripNewline) StripOneNewline(text);
    if (text.empty()) {
        Fail("the domain list is empty; a page cannot be authorised by it");
        return kExitFailure;
    }
    std::vector<unsigned char> signature;
    if (!Sign(key.get(), text, signature)) return kExitFailure;
    return WriteOut(Base64(signature) + "\n") ? kExitOk : kExitFailure;
}
