#include "ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace p11bridge::bench {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void WriteFully(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) Fail("write to child");
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& softhsmConf) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) Fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (softhsmConf.empty() || std::strncmp(*e, "SOFTHSM2_CONF=", 14) != 0)
            environment.emplace_back(*e);
    if (!softhsmConf.empty()) environment.push_back("SOFTHSM2_CONF=" + softhsmConf);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);

    int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    if (rc != 0) {
        errno = rc;
        Fail("start " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) Finish();
    if (output_ >= 0) ::close(output_);
}

void ChildProcess::Send(const std::string& json) {
    std::uint32_t length = static_cast<std::uint32_t>(json.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += json;
    WriteFully(input_, frame.data(), frame.size());
}

void ChildProcess::WriteLine(const std::string& line) {
    std::string text = line + '\n';
    WriteFully(input_, text.data(), text.size());
}

bool ChildProcess::Fill() {
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(output_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Fail("read from child");
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return got > 0;
    }
}

std::string ChildProcess::Receive() {
    std::uint32_t length = 0;
    while (buffer_.size() < sizeof length)
        if (!Fill()) throw std::runtime_error("child ended before replying");
    std::memcpy(&length, buffer_.data(), sizeof length);
    while (buffer_.size() < sizeof length + length)
        if (!Fill()) throw std::runtime_error("child ended inside a reply");
    std::string reply = buffer_.substr(sizeof length, length);
    buffer_.erase(0, sizeof length + length);
    return reply;
}

std::string ChildProcess::ReadLine() {
    std::string::size_type end;
    while ((end = buffer_.find('\n')) == std::string::npos)
        if (!Fill()) return std::string();
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
}

long ChildProcess::Finish() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    cpuMilliseconds_ = ms(usage.ru_utime) + ms(usage.ru_stime);
    return usage.ru_maxrss;
}

}  // namespace p11bridge::bench
