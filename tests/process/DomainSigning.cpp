#include "DomainSigning.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>

namespace p11bridge::testing {

std::string SignDomainList(const std::string& domains) {
    char path[] = "/tmp/p11bridge-domains-XXXXXX";
    int fd = ::mkstemp(path);
    ::close(fd);
    std::ofstream(path, std::ios::binary) << domains;
    std::string command =
        std::string(P11BRIDGE_SIGN_TOOL) + " --key '" + P11BRIDGE_DEV_KEY + "' '" + path + "'";
    std::string signature;
    if (FILE* tool = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::size_t got = std::fread(buffer, 1, sizeof buffer, tool))
            signature.append(buffer, got);
        EXPECT_EQ(::pclose(tool), 0) << command;
    }
    ::unlink(path);
    while (!signature.empty() && (signature.back() == '\n' || signature.back() == '\r'))
        signature.pop_back();
    EXPECT_FALSE(signature.empty()) << "the signing tool printed nothing";
    return signature;
}

std::string SignedInitialize(const std::string& domains, const std::string& currentDomain) {
    return R"({"command":0,"signature":")" + SignDomainList(domains) + R"(","domains":")" +
           domains + R"(","currentDomain":")" + currentDomain + R"(","caSubjectNames":""})";
}

}  // namespace p11bridge::testing
