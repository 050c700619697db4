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

// Waits until pid sits in read() on its standard input, that is, until it has finished with the
// last request: a reply goes out before the request that caused it is released, so a scan made
// as soon as the reply arrives could see the request still alive. False on timeout.
bool WaitUntilReadingInput(pid_t pid);

}  // namespace p11bridge::testing
