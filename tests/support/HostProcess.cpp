#include "support/HostProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace p11bridge::testing {
namespace {

int Remaining(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

HostProcess::HostProcess(const Options& options) {
    // The host finds its module beside its own executable (/proc/self/exe), so the binary is
    // copied, not linked, into a directory of the test's own.
    fs::copy_file(P11BRIDGE_HOST_BINARY, dir_.File("p11bridge"));
    if (!options.module.empty()) linkModule(options.module);

    int inPipe[2], outPipe[2], errPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe");
    std::vector<std::string> argv = options.wrapper;
    argv.push_back(dir_.File("p11bridge"));
    pid_ = ::fork();
    if (pid_ == 0) {
        // As a browser starts it: with the default dispositions, not this process's SIGPIPE
        // ignored, which exec would hand on.
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
    // Our own writes must not die of SIGPIPE when a test lets the host end early.
    ::signal(SIGPIPE, SIG_IGN);
}

void HostProcess::linkModule(const std::string& module) {
    fs::create_symlink(module, dir_.File("p11bridge-pkcs11.so"));
}

HostProcess::~HostProcess() {
    closeInput();
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    closeOutput();
    if (err_ >= 0) ::close(err_);
}

std::string HostProcess::frame(const std::string& json) {
    std::uint32_t length = static_cast<std::uint32_t>(json.size());
    std::string bytes(reinterpret_cast<const char*>(&length), sizeof length);
    return bytes + json;
}

void HostProcess::send(const std::string& json) {
    sendRaw(frame(json));
}

void HostProcess::sendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "writing to the host failed: " << std::strerror(errno);
            return;
        }
        done += static_cast<std::size_t>(put);
    }
}

bool HostProcess::readExactly(char* buffer, std::size_t n,
                              std::chrono::steady_clock::time_point deadline) {
    while (n > 0) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) <= 0) return false;
        ssize_t got = ::read(out_, buffer, n);
        if (got <= 0) return false;
        buffer += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string HostProcess::reply(std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint32_t length = 0;
    if (!readExactly(reinterpret_cast<char*>(&length), sizeof length, deadline)) {
        ADD_FAILURE() << "no reply from the host";
        return {};
    }
    std::string text(length, '\0');
    if (!readExactly(text.data(), length, deadline)) ADD_FAILURE() << "reply cut short";
    return text;
}

std::string HostProcess::drainOutput(std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string all;
    char buffer[4096];
    while (out_ >= 0) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) <= 0) {
            ADD_FAILURE() << "the host did not close its output";
            return all;
        }
        ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(got));
    }
    return all;
}

void HostProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void HostProcess::closeOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

int HostProcess::wait(std::chrono::seconds timeout) {
    if (status_) return *status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            return *status_;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the host did not end";
            return -1000;
        }
        ::usleep(10000);
    }
}

std::string HostProcess::stderrText() {
    std::string all;
    char buffer[4096];
    int flags = ::fcntl(err_, F_GETFL);
    ::fcntl(err_, F_SETFL, flags | O_NONBLOCK);
    for (;;) {
        ssize_t got = ::read(err_, buffer, sizeof buffer);
        if (got <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace p11bridge::testing
