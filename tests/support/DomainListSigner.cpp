#include "support/DomainListSigner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

#include "support/TempDir.h"

namespace p11bridge::test {
namespace {

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

std::string DevelopmentPrivateKeyPath() {
    return P11BRIDGE_DEVELOPMENT_PRIVATE_KEY;
}
std::string DevelopmentPublicKeyPath() {
    return P11BRIDGE_DEVELOPMENT_PUBLIC_KEY;
}

ToolRun RunSignDomains(const std::vector<std::string>& arguments, const std::string& input) {
    // Files rather than pipes keep the parent free of deadlocks on large outputs.
    TempDir dir;
    const std::string in = dir.File("stdin"), out = dir.File("stdout"), err = dir.File("stderr");
    {
        int fd = open(in.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
            throw std::runtime_error("cannot write the tool's input");
        }
        close(fd);
    }
    std::vector<std::string> argv{P11BRIDGE_SIGN_DOMAINS_TOOL};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int i = open(in.c_str(), O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || e < 0) _exit(127);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    int o = open(out.c_str(), O_RDONLY), e = open(err.c_str(), O_RDONLY);
    run.output = ReadAll(o);
    run.errors = ReadAll(e);
    close(o);
    close(e);
    return run;
}

std::string SignDomainList(const std::string& text) {
    static std::map<std::string, std::string> signatures;
    auto found = signatures.find(text);
    if (found != signatures.end()) return found->second;
    ToolRun run = RunSignDomains({"--key", DevelopmentPrivateKeyPath()}, text);
    if (run.exitCode != 0 || run.output.empty() || run.output.back() != '\n') {
        throw std::runtime_error("p11bridge-sign-domains failed: " + run.errors);
    }
    std::string signature = run.output.substr(0, run.output.size() - 1);
    signatures.emplace(text, signature);
    return signature;
}

}  // namespace p11bridge::test
