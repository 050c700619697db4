// p11bridge-sign-domains signs the text exactly as given and explains every refusal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/TempDir.h"

namespace {

using p11bridge::test::ReadFile;

// Runs a shell command in `dir`; its exit status.
int Shell(const std::string& dir, const std::string& command) {
    const int status = std::system(("cd '" + dir + "' && " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SignDomainsTool, SignsByteForByteAndExplainsEveryRefusal) {
    const p11bridge::test::TempDir temp;
    const std::string& dir = temp.Path();
    const std::string data = P11BRIDGE_TEST_DATA;
    const std::string list = "example.org|other.net\r\n";
    std::ofstream(dir + "/list.txt", std::ios::binary) << list;
    const std::string key = "--key " + data + "/domain-list-key.DEVELOPMENT-ONLY.pem";
    // Arguments; standard input; exit status; the text the signature must verify over, when one
    // is made; a message on standard output after success, on standard error otherwise.
    // clang-format off
    const std::vector<std::tuple<std::string, std::string, int, const char*, const char*>> rows = {
        {key + " list.txt", "", 0, list.c_str(), ""}, {key, list, 0, list.c_str(), ""},
        {"--key=" + data + "/domain-list-key.DEVELOPMENT-ONLY.pem -", list, 0, list.c_str(), ""},
        {key + " --strip-newline list.txt", "", 0, "example.org|other.net", ""},
        {key + " --strip-newline", "a.b\n\n", 0, "a.b\n", ""},
        {"--help", "", 0, nullptr, "usage: p11bridge-sign-domains --key PRIVATE.pem"},
        {"", "a.b", 2, nullptr, "--key PRIVATE.pem is required"},
        {"--key", "a.b", 2, nullptr, "--key needs a file name"},
        {key + " --sha256", "a.b", 2, nullptr, "unknown option --sha256"},
        {key + " a b", "", 2, nullptr, "only one domain-list file"},
        {"--key none.pem", "a.b", 1, nullptr, "cannot open key none.pem"},
        {"--key " + data + "/domain-list-key.pub.pem", "", 1, nullptr, "holds no PEM private key"},
        {key + " none.txt", "", 1, nullptr, "cannot open none.txt"},
        {key, "", 1, nullptr, "the domain list is empty"},
        {key + " --strip-newline", "\n", 1, nullptr, "the domain list is empty"},
        // A deployment publishes what it printed: a lost signature must not pass for one.
        {key + " list.txt >/dev/full", "", 1, nullptr, "cannot write to standard output: No space"},
        {key + " list.txt >&-", "", 1, nullptr, "cannot write to standard output"},
        {"--help >/dev/full", "", 1, nullptr, "cannot write to standard output"}};
    // clang-format on
    for (const auto& [arguments, input, exitCode, signedText, message] : rows) {
        SCOPED_TRACE(arguments + " < " + input);
        std::ofstream(dir + "/in", std::ios::binary) << input;
        // Redirections the row names come last, so they win.
        EXPECT_EQ(Shell(dir, "<in >out 2>err " P11BRIDGE_SIGN_DOMAINS_TOOL " " + arguments),
                  exitCode);
        const std::string output = ReadFile(dir + "/out"), errors = ReadFile(dir + "/err");
        EXPECT_NE((exitCode == 0 ? output : errors).find(message), std::string::npos)
            << output << errors;
        EXPECT_EQ(exitCode == 0 ? errors : output, "");
        if (!signedText) continue;
        // One line of Base64, as the Initialize message carries it, over exactly the text.
        EXPECT_EQ(output.find_first_of("\r\n"), output.size() - 1);
        std::ofstream(dir + "/signed", std::ios::binary) << signedText;
        EXPECT_EQ(
            Shell(dir, "openssl base64 -d -A -in out -out sig && openssl dgst -sha1 -verify " +
                           data + "/domain-list-key.pub.pem -signature sig signed >/dev/null"),
            0);
    }
}

}  // namespace
