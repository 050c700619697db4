// p11bridge-sign-domains signs the text exactly as given and fails clearly on bad input.
#include <gtest/gtest.h>

#include <fstream>

#include "BackEndTesting.h"
#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

TEST(SignDomainsTool, SignsTheListByteForByteFromFileOrStandardInput) {
    TempDir dir;
    const std::string list = "example.org|other.net\n";
    const std::string path = dir.File("domains.txt");
    std::ofstream(path, std::ios::binary) << list;
    const std::string key = DevelopmentPrivateKeyPath();

    ToolRun fromFile = RunSignDomains({"--key", key, path});
    ToolRun fromStdin = RunSignDomains({"--key", key}, list);
    ToolRun fromDash = RunSignDomains({"--key=" + key, "-"}, list);
    ToolRun stripped = RunSignDomains({"--key", key, "--strip-newline", path});
    ASSERT_EQ(fromFile.exitCode, 0) << fromFile.errors;
    EXPECT_EQ(fromFile.output, fromStdin.output);
    EXPECT_EQ(fromFile.output, fromDash.output);
    // One line of Base64, as the Initialize message carries it.
    EXPECT_EQ(fromFile.output.find('\n'), fromFile.output.size() - 1);
    EXPECT_EQ(fromFile.output.find('\r'), std::string::npos);

    // The host verifies the text as received: the kept newline is signed, the stripped one not.
    const std::string trimmed = "example.org|other.net";
    DigitalSignatureUtilPkcs11 withNewline(
        "", fromFile.output.substr(0, fromFile.output.size() - 1), list, kPage);
    EXPECT_TRUE(withNewline.IsAuthorized());
    DigitalSignatureUtilPkcs11 withoutNewline(
        "", stripped.output.substr(0, stripped.output.size() - 1), trimmed, kPage);
    EXPECT_TRUE(withoutNewline.IsAuthorized());
}

TEST(SignDomainsTool, BadInvocationsExplainThemselves) {
    TempDir dir;
    const std::string key = DevelopmentPrivateKeyPath();
    struct Row {
        const char* behaviour;
        std::vector<std::string> arguments;
        std::string input;
        int exitCode;
        const char* complaint;
    };
    const std::vector<Row> rows = {
        {"no key", {}, "a.b", 2, "--key PRIVATE.pem is required"},
        {"key without file name", {"--key"}, "a.b", 2, "--key needs a file name"},
        {"unknown option", {"--key", key, "--sha256"}, "a.b", 2, "unknown option --sha256"},
        {"two lists", {"--key", key, "a", "b"}, "", 2, "only one domain-list file"},
        {"key file missing", {"--key", dir.File("none.pem")}, "a.b", 1, "cannot open key"},
        {"public key given", {"--key", DevelopmentPublicKeyPath()}, "a.b", 1, "no PEM private key"},
        {"list file missing", {"--key", key, dir.File("none.txt")}, "", 1, "cannot open"},
        {"empty list", {"--key", key}, "", 1, "the domain list is empty"},
        {"only a newline, stripped",
         {"--key", key, "--strip-newline"},
         "\n",
         1,
         "the domain list is empty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        ToolRun run = RunSignDomains(row.arguments, row.input);
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.output, "");
        EXPECT_NE(run.errors.find(row.complaint), std::string::npos) << run.errors;
    }
    ToolRun help = RunSignDomains({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("usage: p11bridge-sign-domains --key PRIVATE.pem"),
              std::string::npos);
}

}  // namespace
}  // namespace p11bridge::test
