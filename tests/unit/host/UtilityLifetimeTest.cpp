// Which signature utility the host builds from which Initialize, and when it lets go of it. No
// reply shows this: utilities built from the same texts answer alike.
#include <gtest/gtest.h>

#include <tuple>

#include "host/Pkcs11NativeMessagingHost.h"
#include "pkcs11/DigitalSignatureUtilPkcs11.h"
#include "support/HostProcess.h"

namespace p11bridge {
namespace {

// The shipped back end, counting how many of its kind are alive.
struct CountedUtil : DigitalSignatureUtilPkcs11 {
    explicit CountedUtil(int& n) : DigitalSignatureUtilPkcs11("", "", "", ""), n_(n) { ++n_; }
    ~CountedUtil() override { --n_; }
    int& n_;
};

std::string Init(const std::string& tag) {
    return R"({"command":0,"signature":"s)" + tag + R"(","domains":"d)" + tag +
           R"(","currentDomain":"c)" + tag + R"(","caSubjectNames":""})";
}

TEST(UtilityLifetime, BuiltOnFirstNeedFromTheNewestCompleteInitialize) {
    const std::string list = R"({"command":2})";
    // Requests; utilities built; texts of the newest; a reply text showing they were served.
    // clang-format off
    const std::vector<std::tuple<std::vector<std::string>, int, const char*, const char*>> rows = {
        {{Init("1"), Init("2"), list, list, Init("3"), list}, 2, "s3|d3|c3", "certificates"},
        {{Init("1"), list, R"({"command":0,"signature":"","domains":"","currentDomain":""})", list},
         1, "s1|d1|c1", "Missing member: caSubjectNames"},
        {{Init("1"), R"({"command":4})", R"({"command":5,"certId":"AQ=="})"}, 0, "",
         "Missing member: digest"}};
    // clang-format on
    for (const auto& [requests, built, texts, replied] : rows) {
        std::string input;
        for (const std::string& request : requests) input += testing::HostProcess::frame(request);
        MemoryByteSource source(input, 7);
        MemoryByteSink sink;
        int made = 0, alive = 0;
        std::string newest;
        const auto factory = [&](const std::string& s, const std::string& d, const std::string& c) {
            EXPECT_EQ(alive, 0) << "the old utility goes before a new one comes";
            made++;
            newest = s + "|" + d + "|" + c;
            return std::make_unique<CountedUtil>(alive);
        };
        Pkcs11NativeMessagingHost(source, sink, factory).Execute();
        EXPECT_EQ(made, built) << texts;
        EXPECT_EQ(alive, 0) << "replaced by Initialize, or released when the host ends";
        EXPECT_EQ(newest, texts);
        EXPECT_NE(sink.Text().find(replied), std::string::npos) << sink.Text();
    }
}

}  // namespace
}  // namespace p11bridge
