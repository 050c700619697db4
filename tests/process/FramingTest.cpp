// The framed conversation: what ends the host, what gets a reply, what keeps the stream in sync.
#include <gtest/gtest.h>

#include <cstdint>

#include "HostProcess.h"

namespace p11bridge::testing {
namespace {

std::string Prefix(std::uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

const char kDeleteChar[] = R"({"command":7})";
std::string DeleteCharReply() {
    ResponseState s;
    s.command = 7;
    return Response(s);
}

TEST(Framing, RefusedPrefixGetsExactErrorReply) {
    HostProcess host;
    host.sendRaw(Prefix(1000));
    EXPECT_EQ(
        host.reply(),
        "{\n\t\"command\" : -1,\n\t\"error\" : true,\n\t\"message\" : \"Message too long\"\n}");
}

TEST(Framing, RefusedPrefixKeepsStreamInSync) {
    // The announced body is skipped, so the request behind it is read from the right place.
    for (std::uint32_t length : {1000u, 4096u, 70000u}) {
        HostProcess host;
        host.sendRaw(Prefix(length) + std::string(length, '{') + HostProcess::frame(kDeleteChar));
        EXPECT_EQ(host.reply(), ErrorReply(-1, "Message too long")) << length;
        EXPECT_EQ(host.reply(), DeleteCharReply()) << length;
        host.closeInput();
        EXPECT_EQ(host.drainOutput(), "");
        EXPECT_EQ(host.wait(), 0);
    }
}

TEST(Framing, InputEndingWhileSkippingARefusedBodyEndsTheHost) {
    HostProcess host;
    host.sendRaw(Prefix(0x80000001u) + "abc");
    EXPECT_EQ(host.reply(), ErrorReply(-1, "Message too long"));
    host.closeInput();
    EXPECT_EQ(host.drainOutput(), "");
    EXPECT_EQ(host.wait(), 0);
}

TEST(Framing, LargestRequestIsServed) {
    std::string request = kDeleteChar;
    request.insert(request.size() - 1,
                   "," + std::string(999 - request.size() - 1 - 5, ' ') + "\"x\":1");
    ASSERT_EQ(request.size(), 999u);
    HostProcess host;
    host.send(request);
    EXPECT_EQ(host.reply(), DeleteCharReply());
}

TEST(Framing, EndsCleanlyWithoutReply) {
    struct Case {
        const char* what;
        std::string input;
    } cases[] = {
        {"no input at all", ""},
        {"a zero prefix with more behind", Prefix(0) + HostProcess::frame(kDeleteChar)},
        {"quit with more behind",
         HostProcess::frame(R"({"command":1})") + HostProcess::frame(kDeleteChar)},
        {"true counts as quit",
         HostProcess::frame(R"({"command":true})") + HostProcess::frame(kDeleteChar)},
    };
    for (const Case& c : cases) {
        HostProcess host;
        host.sendRaw(c.input);
        // The input stays open unless it is the point: the host must end by itself.
        if (c.input.empty()) host.closeInput();
        EXPECT_EQ(host.drainOutput(), "") << c.what;
        EXPECT_EQ(host.wait(), 0) << c.what;
        EXPECT_EQ(host.stderrText(), "") << c.what;
    }
}

TEST(Framing, MessageCutAtAnyByteIsNotActedOn) {
    const std::string whole = HostProcess::frame(R"({"command":6,"pinChar":"1"})");
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
        HostProcess host;
        host.sendRaw(whole.substr(0, cut));
        host.closeInput();
        EXPECT_EQ(host.drainOutput(), "") << "cut after " << cut << " bytes";
        EXPECT_EQ(host.wait(), 0) << "cut after " << cut << " bytes";
    }
}

TEST(Framing, RequestsThatAreNotDispatchedGetNoReply) {
    // Each is followed by a request that is answered: the first reply must be that one's.
    const std::string dropped[] = {
        "not json",
        R"({"command":8})",
        R"({"command":-1})",
        R"({"x":{"command":2}})",
        "[2]",
        R"({"Command":6,"pinChar":"1"})",
        R"({"command":{"a":1},"pinChar":"1"})",
        R"({"a":1} // trailing comment)",
        std::string("{\"command\":6,\"pinChar\":\"1\"") + '\0' + "}",
    };
    HostProcess host;
    for (const std::string& request : dropped) {
        host.send(request);
        host.send(kDeleteChar);
        EXPECT_EQ(host.reply(), DeleteCharReply()) << request;
    }
}

TEST(Framing, CommandCodeIsReadLeniently) {
    HostProcess host;
    // A string is read as a number, a fraction truncated, and the first "command" decides.
    host.send(R"({"command":"6","pinChar":"a"})");
    host.send(R"({"command":6.9,"pinChar":"b"})");
    host.send(R"({"command":7,"command":6})");
    ResponseState s;
    s.command = 6;
    s.pinLength = 1;
    EXPECT_EQ(host.reply(), Response(s));
    s.pinLength = 2;
    EXPECT_EQ(host.reply(), Response(s));
    s.command = 7;
    s.pinLength = 1;
    EXPECT_EQ(host.reply(), Response(s));
}

TEST(Framing, ClosedOutputDoesNotKillTheHost) {
    HostProcess host;
    host.closeOutput();
    for (int i = 0; i < 50; ++i) host.send(R"({"command":6,"pinChar":"1"})");
    host.closeInput();
    EXPECT_EQ(host.wait(), 0);
}

TEST(Framing, TokenCommandsNeedInitialize) {
    HostProcess host;
    host.send(R"({"command":2})");
    host.send(R"({"command":4,"certId":"AQ=="})");
    host.send(R"({"command":5,"certId":"AQ==","digest":"AA=="})");
    EXPECT_EQ(host.reply(), ErrorReply(2, "Not initialized"));
    EXPECT_EQ(host.reply(), ErrorReply(4, "Not initialized"));
    EXPECT_EQ(host.reply(), ErrorReply(5, "Not initialized"));
}

TEST(Framing, InitializeIsAcknowledgedAndNeedsAllFourMembers) {
    HostProcess host;
    host.send(R"({"command":0,"signature":"","domains":"a.b","currentDomain":"a.b"})");
    EXPECT_EQ(host.reply(), ErrorReply(0, "Missing member: caSubjectNames"));
    host.send(R"({"command":2})");
    EXPECT_EQ(host.reply(), ErrorReply(2, "Not initialized"));
    host.send(R"({"command":0,"signature":"","domains":"a.b","currentDomain":"a.b",)"
              R"("caSubjectNames":""})");
    EXPECT_EQ(host.reply(),
              "{\n\t\"command\" : 0,\n\t\"error\" : false,\n"
              "\t\"message\" : \"InitializeComponent OK\"\n}");
}

}  // namespace
}  // namespace p11bridge::testing
