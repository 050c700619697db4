// Starts the real p11bridge binary and speaks its framed protocol, so tests read like the
// conversation a browser holds with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace p11bridge::testing {

class HostProcess {
public:
    struct Options {
        // PKCS#11 module to place beside the host as p11bridge-pkcs11.so; none when empty.
        std::string module;
        // Extra environment for the host (SOFTHSM2_CONF, the test token's scenario...).
        std::map<std::string, std::string> env;
        // Command prefix such as valgrind; the host binary is appended.
        std::vector<std::string> wrapper;
    };

    explicit HostProcess(const Options& options);
    ~HostProcess();

    // One framed request with the text's own length.
    void send(const std::string& json);
    // Bytes exactly as given, for prefixes and cut messages.
    void sendRaw(const std::string& bytes);
    static std::string frame(const std::string& json);

    // The next reply's text; fails the test when none arrives within the timeout.
    std::string reply(std::chrono::seconds timeout = std::chrono::seconds(60));
    // Everything the host still writes until it closes stdout.
    std::string drainOutput(std::chrono::seconds timeout = std::chrono::seconds(60));

    void closeInput();
    // Closes our end of the host's stdout, as a browser that stops reading does.
    void closeOutput();
    // Waits for the host to end; returns the exit status, or -signal when a signal killed it.
    int wait(std::chrono::seconds timeout = std::chrono::seconds(60));
    std::string stderrText();

    pid_t pid() const { return pid_; }
    // Puts the module beside the host now, for a host that started without one.
    void linkModule(const std::string& module);

private:
    bool readExactly(char* buffer, std::size_t n, std::chrono::steady_clock::time_point deadline);

    test::TempDir dir_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::optional<int> status_;
};

}  // namespace p11bridge::testing
