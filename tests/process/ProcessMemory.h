// Reads a live process's writable memory, to prove what it does not keep.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace p11bridge::testing {

struct MemoryScan {
    std::size_t copies = 0;        // occurrences of the needle
    std::size_t bytesScanned = 0;  // so a test can tell that the scan saw something
};

// Scans every writable mapping of pid (heap, stacks, data, anonymous memory) through
// /proc/pid/mem. The caller must be allowed to trace pid (its parent is, by default).
MemoryScan ScanWritableMemory(pid_t pid, const std::string& needle);

}  // namespace p11bridge::testing
