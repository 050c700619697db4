// The PIN entry commands over the real channel: byte-exact responses, never the PIN itself.
#include <gtest/gtest.h>

#include "HostProcess.h"

namespace p11bridge::testing {
namespace {

TEST(PinCommands, FirstCharacterGetsTheExactResponse) {
    HostProcess host;
    host.send(R"({"command":6,"pinChar":"1"})");
    EXPECT_EQ(host.reply(),
              "{\n\t\"command\" : 6,\n\t\"error\" : false,\n\t\"errorMessage\" : \"\",\n"
              "\t\"lastError\" : 0,\n\t\"lastLowLevelError\" : 0,\n\t\"pinModuleName\" : \"\",\n"
              "\t\"missingPin\" : false,\n\t\"invalidPin\" : false,\n\t\"pinLength\" : 1,\n"
              "\t\"ok\" : true\n}");
}

TEST(PinCommands, BufferLengthFollowsEveryEdit) {
    struct Step {
        const char* request;
        int command;
        unsigned long length;
    } steps[] = {
        {R"({"command":7})", 7, 0},  // backspace on nothing
        {R"({"command":6,"pinChar":"1"})", 6, 1},
        {R"({"command":6,"pinChar":"23"})", 6, 2},      // only the first byte
        {R"({"command":6,"pinChar":"\u00e9"})", 6, 3},  // one byte of an escape
        {R"({"command":6,"pinChar":""})", 6, 3},        // nothing to add
        {R"({"command":7,"pinChar":"x"})", 7, 2},
        {R"({"command":3,"pin":"123456"})", 3, 6},        // replaces what was typed
        {R"({"command":3,"pin":"\u00c3\u00a9"})", 3, 2},  // bytes, not characters
        {R"({"command":3,"pin":""})", 3, 0},
    };
    HostProcess host;
    for (const Step& step : steps) {
        host.send(step.request);
        ResponseState s;
        s.command = step.command;
        s.pinLength = step.length;
        EXPECT_EQ(host.reply(), Response(s)) << step.request;
    }
}

TEST(PinCommands, MissingMemberIsAnsweredAndChangesNothing) {
    HostProcess host;
    host.send(R"({"command":3,"pin":"42"})");
    host.reply();
    host.send(R"({"command":3,"pim":"7"})");
    EXPECT_EQ(host.reply(), ErrorReply(3, "Missing member: pin"));
    host.send(R"({"command":6})");
    EXPECT_EQ(host.reply(), ErrorReply(6, "Missing member: pinChar"));
    host.send(R"({"command":7})");
    ResponseState s;
    s.command = 7;
    s.pinLength = 1;
    EXPECT_EQ(host.reply(), Response(s));
}

TEST(PinCommands, NoReplyEverCarriesThePin) {
    const std::string pin = "Zq7#pin-9931";
    HostProcess host;
    host.send(R"({"command":3,"pin":")" + pin + R"("})");
    for (char c : pin) host.send(std::string(R"({"command":6,"pinChar":")") + c + R"("})");
    host.closeInput();
    std::string all = host.drainOutput();
    EXPECT_EQ(all.find(pin), std::string::npos);
    EXPECT_NE(all.find("\"pinLength\" : 24"), std::string::npos);
    EXPECT_EQ(host.wait(), 0);
}

}  // namespace
}  // namespace p11bridge::testing
