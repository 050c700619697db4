#include "support/ProcessMemory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "common/FileDescriptor.h"

namespace p11bridge::testing {

MemoryScan ScanWritableMemory(pid_t pid, const std::string& needle) {
    // Sanitizer builds reserve terabytes of shadow memory that the program never writes; no heap
    // or stack comes near this size.
    constexpr unsigned long kLargestRegion = 1ul << 30;
    constexpr std::size_t kChunk = 1 << 20;
    MemoryScan scan;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    FileDescriptor mem(
        ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
    if (mem.get() < 0) return scan;
    std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
    std::vector<char> buffer(kChunk + needle.size());
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms;
        fields >> range >> perms;
        if (perms.size() < 2 || perms[1] != 'w') continue;
        std::size_t dash = range.find('-');
        unsigned long start = std::stoul(range.substr(0, dash), nullptr, 16);
        unsigned long end = std::stoul(range.substr(dash + 1), nullptr, 16);
        if (end - start > kLargestRegion) continue;
        // Chunks overlap by the needle's length less one, so a copy across a boundary counts once.
        for (unsigned long at = start; at < end; at += kChunk) {
            std::size_t want = static_cast<std::size_t>(
                std::min<unsigned long>(end - at, kChunk + needle.size() - 1));
            ssize_t got = ::pread(mem.get(), buffer.data(), want, static_cast<off_t>(at));
            if (got <= 0) break;  // [vvar] and friends cannot be read; they hold no data of ours
            scan.bytesScanned += static_cast<std::size_t>(std::min<ssize_t>(got, kChunk));
            auto from = buffer.begin();
            auto until = buffer.begin() + got;
            for (;;) {
                auto hit = std::search(from, until, searcher);
                if (hit == until) break;
                if (hit - buffer.begin() < static_cast<std::ptrdiff_t>(kChunk)) ++scan.copies;
                from = hit + 1;
            }
        }
    }
    return scan;
}

bool WaitUntilReadingInput(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    for (int attempt = 0; attempt < 5000; ++attempt) {
        std::ifstream syscall(path);
        std::string number, fd;
        syscall >> number >> fd;
        // read(2) is system call 0 on x86-64, and its first argument the descriptor: the host
        // reads its requests from a private copy of stdin, the one pipe it reads.
        if (number == "0" && fd.rfind("0x", 0) == 0) {
            std::error_code error;
            const std::string target =
                std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" +
                                                  std::to_string(std::stoul(fd, nullptr, 16)),
                                              error)
                    .string();
            if (target.rfind("pipe:", 0) == 0) return true;
        }
        ::usleep(1000);
    }
    return false;
}

}  // namespace p11bridge::testing
