// p11bridge-client: talk to a p11bridge host the way a browser does, one JSON request per line.
//
// Replies are printed as they arrive, from a thread of their own, because some requests get no
// reply at all (quit, unparsable text) and the client cannot know in advance which.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kUsage[] =
    "usage: p11bridge-client [--host PATH] [--raw] [--help]\n"
    "\n"
    "Starts a p11bridge host and sends it each line of standard input as one framed\n"
    "request (4-byte native-order length, then the text). Every reply is printed as it\n"
    "arrives, followed by an empty line. At the end of input the host's input is closed and\n"
    "the client waits for the host to end; its exit status is the host's.\n"
    "\n"
    "  --host PATH  the host binary to start (default: the host installed with this client,\n"
    "               else the one it was built with).\n"
    "               The host loads p11bridge-pkcs11.so from its own directory.\n"
    "  --raw        write each reply's frame (length prefix and text) unchanged to stdout,\n"
    "               e.g. for | xxd\n"
    "\n"
    "example:\n"
    "  printf '%s\\n' '{\"command\":6,\"pinChar\":\"1\"}' '{\"command\":7}' | p11bridge-client\n";

bool WriteAll(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

bool ReadAll(int fd, void* data, std::size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// Up to `n` bytes, fewer when the stream ends first. Read in chunks rather than sized up front: a
// length prefix is only a claim, and what is shown must be only what arrived.
std::string ReadUpTo(int fd, std::size_t n) {
    std::string text;
    char chunk[4096];
    while (text.size() < n) {
        ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, n - text.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

void PrintReplies(int fd, bool raw) {
    for (;;) {
        std::uint32_t length = 0;
        if (!ReadAll(fd, &length, sizeof length)) return;
        std::string text = ReadUpTo(fd, length);
        bool whole = text.size() == length;
        if (raw) {
            WriteAll(STDOUT_FILENO, &length, sizeof length);
            WriteAll(STDOUT_FILENO, text.data(), text.size());
        } else {
            std::string shown = text + "\n\n";
            WriteAll(STDOUT_FILENO, shown.data(), shown.size());
        }
        if (!whole) {
            std::cerr << "p11bridge-client: reply cut short\n";
            return;
        }
    }
}

// An installed client must not reach back into the build tree it came from, which is gone or
// stale on the machines it is installed on.
std::string DefaultHost() {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string installed(self, static_cast<std::size_t>(n));
        installed.erase(installed.rfind('/') + 1);
        installed += P11BRIDGE_INSTALLED_HOST;
        if (::access(installed.c_str(), X_OK) == 0) return installed;
    }
    return P11BRIDGE_DEFAULT_HOST;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = DefaultHost();
    bool raw = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--raw") {
            raw = true;
        } else if (arg == "--host") {
            if (i + 1 == argc) {
                std::cerr << "p11bridge-client: --host needs the path of a host binary\n";
                return 2;
            }
            host = argv[++i];
        } else {
            std::cerr << "p11bridge-client: unknown argument '" << arg << "'\n" << kUsage;
            return 2;
        }
    }

    int toHost[2], fromHost[2];
    if (::pipe2(toHost, O_CLOEXEC) != 0 || ::pipe2(fromHost, O_CLOEXEC) != 0) {
        std::perror("p11bridge-client: pipe");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);
    pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("p11bridge-client: fork");
        return 1;
    }
    if (pid == 0) {
        ::dup2(toHost[0], STDIN_FILENO);
        ::dup2(fromHost[1], STDOUT_FILENO);
        ::execl(host.c_str(), host.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "p11bridge-client: cannot start %s: %s\n", host.c_str(),
                     std::strerror(errno));
        ::_exit(127);
    }
    ::close(toHost[0]);
    ::close(fromHost[1]);

    std::thread printer(PrintReplies, fromHost[0], raw);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        std::uint32_t length = static_cast<std::uint32_t>(line.size());
        if (!WriteAll(toHost[1], &length, sizeof length) ||
            !WriteAll(toHost[1], line.data(), line.size())) {
            std::cerr << "p11bridge-client: the host stopped reading\n";
            break;
        }
    }
    ::close(toHost[1]);
    printer.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    std::cerr << "p11bridge-client: the host was killed by signal " << WTERMSIG(status) << "\n";
    return 1;
}
