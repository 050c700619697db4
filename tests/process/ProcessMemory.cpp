#include "ProcessMemory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace p11bridge::testing {

MemoryScan ScanWritableMemory(pid_t pid, const std::string& needle) {
    MemoryScan scan;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0) return scan;
    std::string line;
    std::vector<char> region;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms;
        fields >> range >> perms;
        if (perms.size() < 2 || perms[1] != 'w') continue;
        std::size_t dash = range.find('-');
        unsigned long start = std::stoul(range.substr(0, dash), nullptr, 16);
        unsigned long end = std::stoul(range.substr(dash + 1), nullptr, 16);
        region.resize(end - start);
        ssize_t got = ::pread(mem, region.data(), region.size(), static_cast<off_t>(start));
        if (got <= 0) continue;  // [vvar] and friends cannot be read; they hold no data of ours
        scan.bytesScanned += static_cast<std::size_t>(got);
        auto from = region.begin();
        auto until = region.begin() + got;
        std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
        for (;;) {
            auto hit = std::search(from, until, searcher);
            if (hit == until) break;
            ++scan.copies;
            from = hit + 1;
        }
    }
    ::close(mem);
    return scan;
}

bool WaitUntilReadingInput(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    for (int attempt = 0; attempt < 5000; ++attempt) {
        std::ifstream syscall(path);
        std::string number, fd;
        syscall >> number >> fd;
        // read(2) is system call 0 on x86-64, and its first argument the descriptor.
        if (number == "0" && fd == "0x0") return true;
        ::usleep(1000);
    }
    return false;
}

}  // namespace p11bridge::testing
