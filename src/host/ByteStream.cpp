#include "host/ByteStream.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace p11bridge {

std::size_t FdByteSource::Read(void* buffer, std::size_t n) {
    for (;;) {
        ssize_t got = ::read(fd_, buffer, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;  // an unreadable input ends the conversation like EOF
    }
}

void FdByteSink::Write(const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0 && !broken_) {
        ssize_t put = ::write(fd_, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            broken_ = true;  // EPIPE and friends: the reader is gone; keep serving until EOF
            break;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

std::size_t MemoryByteSource::Read(void* buffer, std::size_t n) {
    std::size_t take = std::min({n, chunk_, data_.size() - pos_});
    std::memcpy(buffer, data_.data() + pos_, take);
    pos_ += take;
    return take;
}

}  // namespace p11bridge
