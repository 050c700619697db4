// Feeds arbitrary bytes to the whole host as its standard input, in-process, with the real PKCS#11
// back end over SoftHSM2 (through the fault shim, which only maps the PIN) behind it, and checks
// what a browser may rely on in the output: whole frames only, each one JSON object, and never the
// token's PIN. The seeds are the conversations of tests/conversations, written by their driver.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "host/ByteStream.h"
#include "host/Pkcs11NativeMessagingHost.h"
#include "json/json.h"
#include "pkcs11/DigitalSignatureUtilPkcs11.h"
#include "pkcs11/Pkcs11Module.h"
#include "signature/PinInfo.h"
#include "support/CertFactory.h"
#include "support/SoftHsmToken.h"

namespace {

// A PIN to search the output for. Its '!' and '~' never occur in Base64, numbers or the fixed texts
// of a reply, so finding it can only mean the host echoed it. The shim logs in with the token's
// own PIN for it; the seeds type the token's PIN, 1234, and log in directly.
constexpr char kPin[] = "p!n~8352";
constexpr char kPinSha256[] = "6e1313dad62eeed8781979a0e5350a6b8bb1c791cc9b4473d35a5f0b5ef50eaa";
// The conversations' signing credential, "valid".
const p11bridge::test::Bytes kCertId = {0x0a, 0x01};

// Lives for the whole run: the token's files must outlast every input.
p11bridge::test::SoftHsm* gSoftHsm = nullptr;

[[noreturn]] void Violation(const char* what) {
    std::fprintf(stderr, "host output invariant broken: %s\n", what);
    std::abort();
}

void CheckOutput(const std::string& out) {
    if (out.find(kPin) != std::string::npos) Violation("a reply carries the PIN");
    std::size_t pos = 0;
    while (pos < out.size()) {
        if (out.size() - pos < 4) Violation("the output ends inside a length prefix");
        std::uint32_t length = 0;
        std::memcpy(&length, out.data() + pos, sizeof length);
        pos += sizeof length;
        if (length == 0 || out.size() - pos < length) Violation("a reply frame is empty or cut");
        const std::string text = out.substr(pos, length);
        pos += length;
        JSONNode reply;
        try {
            reply = json::parse(text);
        } catch (const std::invalid_argument&) {
            Violation("a reply does not parse");
        }
        if (reply.type() != JSON_NODE) Violation("a reply is not an object");
        // Every reply shape starts with the command it answers and says whether it failed.
        JSONNode::const_iterator first = reply.begin();
        if (first == reply.end() || first->name() != "command" || first->type() != JSON_NUMBER)
            Violation("a reply does not start with its command");
        try {
            if (reply.at("error").type() != JSON_BOOL) Violation("\"error\" is not a boolean");
        } catch (const std::out_of_range&) {
            Violation("a reply lacks \"error\"");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace p11bridge::test;
    gSoftHsm = new SoftHsm();
    CertFactory factory(gSoftHsm->Directory());
    CertRequest request;
    request.commonName = "valid";
    request.keyBits = 1024;  // signing speed is executions per second here
    gSoftHsm->AddToken("fuzz", "1234").ImportCredential(factory.Issue("valid", request), kCertId);
    const std::string rules = gSoftHsm->Directory() + "/rules";
    std::ofstream(rules) << "login-as " << kPinSha256 << " 1234\n";
    setenv("P11BRIDGE_SHIM_RULES", rules.c_str(), 1);
    setenv("P11BRIDGE_SHIM_MODULE", SoftHsm::ModulePath().c_str(), 1);
    p11bridge::Pkcs11Module::SetPathForTesting(P11BRIDGE_FAULTSHIM);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // Short reads of varying size, decided by the input so that a finding replays exactly.
    const std::size_t chunk = size % 4 == 1 ? 1 + size % 7 : static_cast<std::size_t>(-1);
    p11bridge::MemoryByteSource source(input, chunk);
    p11bridge::MemoryByteSink sink;
    {
        p11bridge::Pkcs11NativeMessagingHost host(source, sink,
                                                  &p11bridge::DigitalSignatureUtilPkcs11::Create);
        host.Execute();
        if (!host.Quit()) Violation("the loop returned before the host was told to quit");
    }
    // The PIN records outlive every host by design; each input starts a fresh browser session.
    for (auto& record : p11bridge::gPines) p11bridge::OverwritePin(record.second.pin);
    p11bridge::gPines.clear();
    CheckOutput(sink.Text());
    // Replaying one input with this set shows the conversation, to read a finding or a new seed.
    if (std::getenv("P11BRIDGE_FUZZ_SHOW_REPLIES")) {
        std::fwrite(sink.Text().data(), 1, sink.Text().size(), stderr);
        std::fputc('\n', stderr);
    }
    return 0;
}
