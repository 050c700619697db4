// The host's own state across commands, in-process over memory streams with a scripted utility:
// when the utility is built and dropped, how the PIN travels, what responses carry over.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "ReplyText.h"
#include "host/Pkcs11NativeMessagingHost.h"

namespace p11bridge::testing {
namespace {

const std::string kModule = "Certificado QARTO";

struct Record {
    int built = 0;
    int destroyed = 0;
    std::string lastTexts;
    SecureString pinSeenAtLogin;
};

// Behaves like a token back end where it matters to the host: logs in with the recorded PIN,
// records "missing" on the first attempt, accepts only "1234".
class ScriptedUtil : public DigitalSignatureUtil {
public:
    ScriptedUtil(Record& record, const std::string& sig, const std::string& list,
                 const std::string& current)
        : DigitalSignatureUtil(sig, list, current), record_(record) {
        record_.built++;
        record_.lastTexts = sig + "|" + list + "|" + current;
    }
    ~ScriptedUtil() override { record_.destroyed++; }

    std::string ListCertificates(std::string) override {
        lastError = 0;
        return "issuer|subject|AQ==";
    }
    bool IsInitialized() override { return true; }
    std::vector<NameValueMap> GetCADistinguishedNames(std::string) override { return {}; }
    std::string GetCertificateBase64(std::string certId) override {
        lastError = 12;
        lastLowLevelError = 0x82;
        lastErrorMessage = "get attribute value";
        return certId == "AQ==" ? "" : "unexpected";
    }
    std::string SignPkcs1Base64(std::string, std::string) override {
        lastError = 0;
        auto found = gPines.find(kModule);
        if (found == gPines.end()) {
            gPines[kModule] = PinInfoStruct{};
            lastError = 11;
            lastErrorMessage = "No se ha definido el pin para " + kModule;
            return "";
        }
        record_.pinSeenAtLogin = found->second.pin;
        if (found->second.pin != SecureString("1234")) {
            found->second.invalid = true;
            found->second.retries++;
            lastError = 5;
            lastLowLevelError = 0xA0;
            lastErrorMessage = "Pin invalido para " + kModule;
            return "";
        }
        return "c2ln";
    }
    bool IsAuthorized() override { return true; }
    bool NeedConfigDir() override { return false; }
    void ClearPin() override {}

private:
    Record& record_;
};

std::string Frame(const std::string& json) {
    std::uint32_t length = static_cast<std::uint32_t>(json.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + json;
}

std::vector<std::string> Replies(const std::string& out) {
    std::vector<std::string> replies;
    std::size_t at = 0;
    while (at + 4 <= out.size()) {
        std::uint32_t length;
        std::memcpy(&length, out.data() + at, sizeof length);
        replies.push_back(out.substr(at + 4, length));
        at += 4 + length;
    }
    return replies;
}

class HostState : public ::testing::Test {
protected:
    void SetUp() override { gPines.clear(); }
    void TearDown() override { gPines.clear(); }

    std::vector<std::string> Run(const std::vector<std::string>& requests, std::size_t chunk = 7) {
        std::string input;
        for (const auto& r : requests) input += Frame(r);
        MemoryByteSource source(input, chunk);
        MemoryByteSink sink;
        {
            Pkcs11NativeMessagingHost host(
                source, sink,
                [this](const std::string& s, const std::string& d, const std::string& c) {
                    return std::make_unique<ScriptedUtil>(record, s, d, c);
                });
            host.Execute();
        }
        return Replies(sink.Text());
    }
    static std::string Init(const std::string& tag) {
        return R"({"command":0,"signature":"s)" + tag + R"(","domains":"d)" + tag +
               R"(","currentDomain":"c)" + tag + R"(","caSubjectNames":""})";
    }
    Record record;
};

TEST_F(HostState, UtilityIsBuiltOnFirstNeedFromTheNewestTexts) {
    auto replies = Run({Init("1"), Init("2"), R"({"command":2})", R"({"command":2})", Init("3"),
                        R"({"command":2})"});
    ASSERT_EQ(replies.size(), 6u);
    EXPECT_EQ(record.built, 2);
    EXPECT_EQ(record.destroyed, 2) << "replaced by Initialize, and released when the host ends";
    EXPECT_EQ(record.lastTexts, "s3|d3|c3");
    ResponseState list;
    list.command = 2;
    list.pinRetryCount = 0;
    list.result = R"("certificates" : "issuer|subject|AQ==")";
    EXPECT_EQ(replies[2], Response(list));
}

TEST_F(HostState, MissingTokenMembersAreAnsweredWithoutBuildingAUtility) {
    auto replies = Run({Init("1"), R"({"command":4})", R"({"command":5,"certId":"AQ=="})"});
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1], ErrorReply(4, "Missing member: certId"));
    EXPECT_EQ(replies[2], ErrorReply(5, "Missing member: digest"));
    EXPECT_EQ(record.built, 0);
}

TEST_F(HostState, PinCommandsRepeatTheLastTokenError) {
    auto replies = Run({Init("1"), R"({"command":4,"certId":"AQ=="})", R"({"command":7})"});
    ASSERT_EQ(replies.size(), 3u);
    ResponseState s;
    s.command = 4;
    s.lastError = 12;
    s.lastLowLevelError = 0x82;
    s.errorMessage = "get attribute value";
    s.pinRetryCount = 0;
    s.result = R"("certificate" : "")";
    EXPECT_EQ(replies[1], Response(s));
    s.command = 7;
    s.pinRetryCount.reset();
    s.result = R"("ok" : true)";
    EXPECT_EQ(replies[2], Response(s));
}

TEST_F(HostState, PinTravelsOnlyOnceTheModuleIsNamed) {
    const std::string sign = R"({"command":5,"certId":"AQ==","digest":"AA=="})";
    auto replies = Run({
        R"({"command":3,"pin":"9999"})",  // typed before any module is named: waits
        Init("1"),
        sign,  // no record yet: PIN missing, module named
        sign,  // now the waiting PIN is handed over and refused
        sign,  // the same refused PIN is not presented again
        R"({"command":6,"pinChar":"1"})", R"({"command":6,"pinChar":"2"})",
        R"({"command":6,"pinChar":"3"})", R"({"command":6,"pinChar":"4"})",
        sign,  // a different PIN clears the mark and signs
    });
    ASSERT_EQ(replies.size(), 10u);
    ResponseState missing;
    missing.command = 5;
    missing.lastError = 11;
    missing.errorMessage = "No se ha definido el pin para " + kModule;
    missing.pinModuleName = kModule;
    missing.missingPin = true;
    missing.pinLength = 4;
    missing.pinRetryCount = 0;
    missing.result = R"("pkcs1" : "")";
    EXPECT_EQ(replies[2], Response(missing));

    ResponseState refused = missing;
    refused.lastError = 5;
    refused.lastLowLevelError = 0xA0;
    refused.errorMessage = "Pin invalido para " + kModule;
    refused.missingPin = false;
    refused.invalidPin = true;
    refused.pinLength = 0;
    refused.pinRetryCount = 1;
    EXPECT_EQ(replies[3], Response(refused));
    refused.pinRetryCount = 2;  // the scripted token counts a second refusal
    EXPECT_EQ(replies[4], Response(refused));

    ResponseState signedOk;
    signedOk.command = 5;
    signedOk.lastLowLevelError = 0xA0;  // the low-level code of the last failure stays
    signedOk.errorMessage = "Pin invalido para " + kModule;
    signedOk.pinRetryCount = 0;  // no module is named any more, so no count is looked up
    signedOk.result = R"("pkcs1" : "c2ln")";
    EXPECT_EQ(replies[9], Response(signedOk));
    EXPECT_EQ(record.pinSeenAtLogin, SecureString("1234"));
}

}  // namespace
}  // namespace p11bridge::testing
