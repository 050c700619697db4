// Domain lists signed the way a deployer signs them: with p11bridge-sign-domains and the
// development key that the test build has built into the back end.
#pragma once

#include <string>
#include <vector>

namespace p11bridge::test {

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output
    std::string errors;  // standard error
};

// Runs p11bridge-sign-domains with these arguments (no shell) and the given standard input.
ToolRun RunSignDomains(const std::vector<std::string>& arguments, const std::string& input = "");

// The Base64 signature of the text, as the tool prints it without its line break; memoised.
std::string SignDomainList(const std::string& text);

std::string DevelopmentPrivateKeyPath();
std::string DevelopmentPublicKeyPath();

}  // namespace p11bridge::test
