// Requests a hostile page may send: each is answered or dropped exactly as the protocol's lenient
// parsing makes it, and the host keeps serving the request behind it.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostProcess.h"

namespace p11bridge::testing {
namespace {

constexpr std::size_t kLargestRequest = 999;

// Sent after every case. It empties the PIN buffer, so every case starts from the same state, and
// its reply is known byte for byte.
const char kProbe[] = R"({"command":3,"pin":""})";

std::string PinReply(int command, unsigned long pinLength) {
    ResponseState s;
    s.command = command;
    s.pinLength = pinLength;
    return Response(s);
}

std::string Missing(int command, const std::string& member) {
    return ErrorReply(command, "Missing member: " + member);
}

std::string Prefix(std::uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

std::string Repeat(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

// head + open^n + close^n + tail, as deep as fits in `size` bytes; blanks (dropped outside
// strings) make up the rest so the request is exactly that long.
std::string Nested(const std::string& head, const std::string& open, const std::string& close,
                   const std::string& tail, std::size_t size = kLargestRequest) {
    const std::size_t room = size - head.size() - tail.size();
    const std::size_t depth = room / (open.size() + close.size());
    std::string text = head + Repeat(open, depth) + Repeat(close, depth);
    text += std::string(size - text.size() - tail.size(), ' ');
    return text + tail;
}

// A "command" member written as given, beside one typed PIN character.
std::string Command(const std::string& value) {
    return R"({"command":)" + value + R"(,"pinChar":"a"})";
}

struct Case {
    const char* group;
    const char* what;
    std::string request;
    // The reply the request itself gets; none when the host drops it.
    std::optional<std::string> reply;
    enum Kind { kFramed, kRawBytes, kEndsHost } kind = kFramed;
};

const std::optional<std::string> kDropped;

std::vector<Case> Cases() {
    const std::string pinTyped = PinReply(6, 1);
    // A code that does not read as a number is 0: Initialize, which then lacks its members.
    const std::string initialize = Missing(0, "signature");
    return {
        {"nesting", "arrays nested to the size limit beside the command",
         Nested(R"({"command":6,"pinChar":"a","x":)", "[", "]", "}"), pinTyped},
        {"nesting", "objects nested to the size limit beside the command",
         Nested(R"({"command":6,"pinChar":"a","x":)", R"({"a":)", "}", "}"), pinTyped},
        {"nesting", "unclosed brackets up to the size limit",
         Nested(R"({"command":6,"pinChar":"a","x":)", "[[", "", "}"), pinTyped},
        {"nesting", "a PIN nested to the size limit is not text and is refused",
         Nested(R"({"command":3,"pin":)", "[", "]", "}"), ErrorReply(3, "Invalid member: pin")},
        {"nesting", "a command nested to the size limit is not a code",
         Nested(R"({"command":)", "[", "]", "}"), kDropped},
        {"nesting", "a root nested to the size limit has no command", Nested("", "[", "]", ""),
         kDropped},
        {"nesting", "nesting one byte over the limit is refused and skipped",
         Prefix(kLargestRequest + 1) + Nested("", "[", "]", "", kLargestRequest + 1),
         ErrorReply(-1, "Message too long"), Case::kRawBytes},

        {"numbers", "an exponent", Command("6e0"), pinTyped},
        {"numbers", "a plus sign", Command("+6"), pinTyped},
        {"numbers", "a trailing point", Command("6."), pinTyped},
        {"numbers", "hexadecimal", Command("0x6"), pinTyped},
        {"numbers", "octal digits read as decimal", Command("017"), kDropped},
        {"numbers", "only the low 32 bits count", Command("4294967302"), pinTyped},
        {"numbers", "only the low 32 bits of a negative count", Command("-4294967290"), pinTyped},
        {"numbers", "beyond 64 bits", Command("9223372036854775808"), initialize},
        {"numbers", "three hundred digits", Command(std::string(300, '9')), initialize},
        {"numbers", "overflowing to infinity", Command("1e999"), initialize},
        {"numbers", "overflowing to minus infinity", Command("-1e999"), initialize},
        {"numbers", "underflowing to zero", Command("1e-999"), initialize},
        {"numbers", "two signs", Command("--6"), initialize},
        {"numbers", "a leading zero before a digit that is not octal", Command("08"), initialize},
        {"numbers", "two zeros", Command("00"), initialize},
        {"numbers", "an exponent without digits", Command("6e"), initialize},
        {"numbers", "two points", Command("6.5.5"), initialize},
        {"numbers", "letters after digits", Command("6abc"), initialize},
        {"numbers", "a sign alone", Command("-"), initialize},
        {"numbers", "no value at all", Command(""), initialize},

        {"command types", "a string", Command(R"("6")"), pinTyped},
        {"command types", "a string with leading blanks", Command(R"("  6")"), pinTyped},
        {"command types", "a string with text after the number", Command(R"("6abc")"), pinTyped},
        {"command types", "a string spelled with an escape", Command(R"("\u0036")"), pinTyped},
        {"command types", "a string without a number", Command(R"("abc")"), initialize},
        {"command types", "an empty string", Command(R"("")"), initialize},
        {"command types", "an integer", Command("6"), pinTyped},
        {"command types", "a fraction", Command("6.9"), pinTyped},
        {"command types", "a fraction below one", Command("0.9"), initialize},
        {"command types", "a negative number", Command("-6"), kDropped},
        {"command types", "a negative fraction above minus one", Command("-0.5"), initialize},
        {"command types", "false", Command("false"), initialize},
        {"command types", "null", Command("null"), initialize},
        {"command types", "an array", Command("[6]"), kDropped},
        {"command types", "an object", Command(R"({"command":6})"), kDropped},
        {"command types", "true, which is quit", Command("true"), kDropped, Case::kEndsHost},
        {"command types", "a fraction that truncates to quit", Command("1.9"), kDropped,
         Case::kEndsHost},
        {"command types", "a string that reads as quit", Command(R"("1")"), kDropped,
         Case::kEndsHost},
        {"command types", "a huge number whose low bits are quit", Command("4294967297"), kDropped,
         Case::kEndsHost},

        {"strings", "invalid UTF-8 in the PIN counts its bytes",
         "{\"command\":3,\"pin\":\"\xff\xfe\xc3\x28\"}", PinReply(3, 4)},
        {"strings", "invalid UTF-8 in a member name",
         "{\"command\":6,\"pinChar\":\"a\",\"\xc3\":1}", pinTyped},
        {"strings", "a byte above 126 outside strings ends the text",
         "{\"command\":6,\"pinChar\":\"a\"}\xff{\"x\"", pinTyped},
        {"strings", "a byte above 126 inside the object cuts it short",
         "{\"command\":6,\xff\"pinChar\":\"a\"}", kDropped},
        {"strings", "control bytes inside a string are kept",
         "{\"command\":3,\"pin\":\"\x02\x1f\t\r\n\x7f\"}", PinReply(3, 6)},
        {"strings", "a control byte outside strings cuts the object short",
         "{\"command\":6,\x02\"pinChar\":\"a\"}", kDropped},
        {"strings", "a raw 0x01 is an ordinary byte", "{\"command\":3,\"pin\":\"a\x01z\"}",
         PinReply(3, 3)},
        {"strings", "a raw 0x01 after a backslash reads as a quote",
         "{\"command\":3,\"pin\":\"a\\\x01\"}", PinReply(3, 2)},
        {"strings", "a raw 0x01 in a member name", "{\"command\":6,\"pinChar\":\"a\",\"\x01\":1}",
         pinTyped},
        {"strings", "escaped quotes do not split members",
         R"({"command":3,"pin":"x\",\"command\":6"})", PinReply(3, 14)},
        {"strings", "each escape gives one byte", R"({"command":3,"pin":"\u00e9\x41\101\t\/"})",
         PinReply(3, 5)},
        {"strings", "short escapes give a NUL and their text", R"({"command":3,"pin":"\u12"})",
         PinReply(3, 3)},
        {"strings", "a NUL inside a string cuts the text",
         std::string("{\"command\":3,\"pin\":\"ab\0cd\"}", 26), kDropped},

        {"unterminated", "a string cut by the end of the text", R"({"command":6,"pinChar":"a)",
         kDropped},
        {"unterminated", "a PIN that swallows the closing brace reads as null and is refused",
         R"({"command":3,"pin":"abcdef})", ErrorReply(3, "Invalid member: pin")},
        {"strings", "a PIN character that is not text is refused",
         R"({"command":6,"pinChar":true})", ErrorReply(6, "Invalid member: pinChar")},
        {"strings", "a PIN given as a number is typed as its digits", R"({"command":3,"pin":1234})",
         PinReply(3, 4)},
        {"unterminated", "a block comment after the object", R"({"command":6,"pinChar":"a"}/* x)",
         kDropped},
        {"unterminated", "a block comment inside the object", R"({"command":6,/*"pinChar":"a"})",
         kDropped},
        {"unterminated", "a block comment before the object", R"(/* {"command":6,"pinChar":"a"})",
         kDropped},
        {"unterminated", "a line comment after the object", R"({"command":6,"pinChar":"a"}// x)",
         kDropped},
        {"unterminated", "a closed block comment before a member is skipped",
         R"({"command":6,/* x */"pinChar":"a"})", pinTyped},
        {"unterminated", "a closed line comment before a member is skipped",
         "{\"command\":6,// x\n\"pinChar\":\"a\"}", pinTyped},

        {"duplicates", "the first command decides", R"({"command":6,"command":7})",
         Missing(6, "pinChar")},
        {"duplicates", "the first PIN counts", R"({"command":3,"pin":"ab","pin":"cde"})",
         PinReply(3, 2)},
        {"duplicates", "a PIN before the command counts", R"({"pin":"a","command":3,"pin":"bcd"})",
         PinReply(3, 1)},
        {"duplicates", "a container command is passed over for the next",
         R"({"command":{"x":1},"command":[7],"command":3,"pin":"abc"})", PinReply(3, 3)},
        {"duplicates", "names differing in case are different members",
         R"({"Command":7,"command":3,"pin":"x","Pin":"yz"})", PinReply(3, 1)},

        {"shapes", "an array around the request", R"([{"command":6,"pinChar":"a"}])", kDropped},
        {"shapes", "a bare string", R"("command")", kDropped},
        {"shapes", "a bare number", "6", kDropped},
        {"shapes", "blanks only", "   \t\n", kDropped},
        {"shapes", "an empty object", "{}", kDropped},
        {"shapes", "a missing closing brace", R"({"command":6,"pinChar":"a")", kDropped},
        {"shapes", "a mismatched closing bracket", R"({"command":6,"pinChar":"a"])", kDropped},
        {"shapes", "a member without a value", R"({"command":6,"pinChar"})", kDropped},
        {"shapes", "a trailing comma", R"({"command":6,"pinChar":"a",})", kDropped},
        {"shapes", "text after the object", R"({"command":6,"pinChar":"a"}x)", kDropped},
    };
}

TEST(HostileInput, EachRequestIsAnsweredOrDroppedAndTheNextOneIsServed) {
    const std::string probeReply = PinReply(3, 0);
    std::unique_ptr<HostProcess> host;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(std::string(c.group) + ": " + c.what);
        if (!host) host = std::make_unique<HostProcess>();
        if (c.kind == Case::kRawBytes) {
            host->sendRaw(c.request);
        } else {
            ASSERT_LE(c.request.size(), kLargestRequest);
            host->send(c.request);
        }
        if (c.kind == Case::kEndsHost) {
            EXPECT_EQ(host->drainOutput(), "");
            EXPECT_EQ(host->wait(), 0);
            EXPECT_EQ(host->stderrText(), "");
            host.reset();
            continue;
        }
        host->send(kProbe);
        if (c.reply) {
            EXPECT_EQ(host->reply(), *c.reply);
        }
        EXPECT_EQ(host->reply(), probeReply);
    }
    ASSERT_TRUE(host);
    host->closeInput();
    EXPECT_EQ(host->drainOutput(), "");
    EXPECT_EQ(host->wait(), 0);
    EXPECT_EQ(host->stderrText(), "");
}

}  // namespace
}  // namespace p11bridge::testing
