// The byte-stream seam of the message loop: the program binds it to file descriptors 0 and 1,
// tests and fuzzers to memory buffers, so the whole loop runs in-process.
#pragma once

#include <cstddef>
#include <string>

namespace p11bridge {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes; returns how many arrived, 0 only at the end of the input.
    virtual std::size_t Read(void* buffer, std::size_t n) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all n bytes or gives up silently: a browser that stopped reading is noticed only
    // when the next read meets the end of the input.
    virtual void Write(const void* data, std::size_t n) = 0;
    virtual void Flush() = 0;
};

// Reads and writes whole file descriptors, through short and interrupted transfers.
class FdByteSource final : public ByteSource {
public:
    explicit FdByteSource(int fd) : fd_(fd) {}
    std::size_t Read(void* buffer, std::size_t n) override;

private:
    int fd_;
};

class FdByteSink final : public ByteSink {
public:
    explicit FdByteSink(int fd) : fd_(fd) {}
    void Write(const void* data, std::size_t n) override;
    void Flush() override {}

private:
    int fd_;
    bool broken_ = false;
};

// In-memory ends for tests and fuzzers; the source hands out at most `chunk` bytes per read so
// short reads get exercised.
class MemoryByteSource final : public ByteSource {
public:
    explicit MemoryByteSource(std::string data, std::size_t chunk = static_cast<std::size_t>(-1))
        : data_(std::move(data)), chunk_(chunk) {}
    std::size_t Read(void* buffer, std::size_t n) override;

private:
    std::string data_;
    std::size_t pos_ = 0;
    std::size_t chunk_;
};

class MemoryByteSink final : public ByteSink {
public:
    void Write(const void* data, std::size_t n) override {
        text_.append(static_cast<const char*>(data), n);
    }
    void Flush() override {}
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

}  // namespace p11bridge
