#include "support/TestTokenScenario.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/CertFactory.h"
#include "support/Pkcs1.h"

namespace p11bridge::test {
namespace {

// The scenario syntax has no escapes: a value with a quote or a line break cannot be said.
std::string Quoted(const std::string& value) {
    if (value.find_first_of("\"\r\n") != std::string::npos) {
        throw std::invalid_argument("scenario values cannot hold quotes or line breaks");
    }
    return "\"" + value + "\"";
}

std::string Word(const std::string& value) {
    if (value.empty() || value.find_first_of(" \t#\"\r\n") != std::string::npos) {
        return Quoted(value);
    }
    return value;
}

}  // namespace

std::string TestTokenModulePath() {
    return P11BRIDGE_TESTTOKEN_MODULE;
}

TestTokenScenario::TestTokenScenario(std::string path) : path_(std::move(path)) {}

TestTokenScenario& TestTokenScenario::Log(const std::string& path) {
    return Line("log " + Word(path));
}

TestTokenScenario& TestTokenScenario::Slot(unsigned long id, const std::string& label) {
    return Line("slot " + std::to_string(id) + " token " + Quoted(label));
}

TestTokenScenario& TestTokenScenario::EmptySlot(unsigned long id) {
    return Line("slot " + std::to_string(id) + " empty");
}

TestTokenScenario& TestTokenScenario::Pin(const std::string& pin) {
    return Line("pin " + Word(pin));
}

TestTokenScenario& TestTokenScenario::PinDigest(const std::string& pin) {
    return Line("pin-sha256 " + ToHex(Digest(HashAlgorithm::Sha256, ToBytes(pin))));
}

TestTokenScenario& TestTokenScenario::Locked() {
    return Line("locked");
}

TestTokenScenario& TestTokenScenario::Cert(unsigned long slot, const Bytes& id,
                                           const std::string& derPath, const std::string& label) {
    return Line("cert slot=" + std::to_string(slot) + " id=" + ToHex(id) + " der=" + Word(derPath) +
                (label.empty() ? "" : " label=" + Quoted(label)));
}

TestTokenScenario& TestTokenScenario::Key(unsigned long slot, const Bytes& id,
                                          const std::string& pemPath, const std::string& label) {
    return Line("key slot=" + std::to_string(slot) + " id=" + ToHex(id) + " pem=" + Word(pemPath) +
                (label.empty() ? "" : " label=" + Quoted(label)));
}

TestTokenScenario& TestTokenScenario::Credential(unsigned long slot, const Bytes& id,
                                                 const IssuedCert& cert) {
    Cert(slot, id, cert.derPath);
    return Key(slot, id, cert.keyPemPath);
}

TestTokenScenario& TestTokenScenario::Fail(const std::string& function, unsigned long call,
                                           unsigned long rv) {
    return Line("fail " + function + " " + std::to_string(call) + " " + std::to_string(rv));
}

TestTokenScenario& TestTokenScenario::FailAlways(const std::string& function, unsigned long rv) {
    return Line("fail " + function + " * " + std::to_string(rv));
}

TestTokenScenario& TestTokenScenario::SignZeroLength() {
    return Line("sign-zero-length");
}
TestTokenScenario& TestTokenScenario::SlotCountZero() {
    return Line("slot-count-zero");
}
TestTokenScenario& TestTokenScenario::SlotCountGrows() {
    return Line("slot-count-grows");
}
TestTokenScenario& TestTokenScenario::AttributeLengthInvalid() {
    return Line("attribute-length-invalid");
}
TestTokenScenario& TestTokenScenario::SignLengthOverflow() {
    return Line("sign-length-overflow");
}

TestTokenScenario& TestTokenScenario::Line(const std::string& line) {
    lines_.push_back(line);
    return *this;
}

std::string TestTokenScenario::Text() const {
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
}

std::string TestTokenScenario::Write() const {
    static std::atomic<unsigned long> runs{0};
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << "# run " << getpid() << "-" << ++runs << "\n" << Text();
    out.close();
    if (!out) throw std::runtime_error("cannot write scenario " + path_);
    return path_;
}

std::string TestTokenScenario::Install() const {
    Write();
    if (setenv(kEnvironmentVariable, path_.c_str(), 1) != 0) {
        throw std::runtime_error("setenv failed");
    }
    return path_;
}

}  // namespace p11bridge::test
