// Memory that holds secrets (PIN bytes) and leaves nothing behind when released.
//
// std::string keeps short texts inside the object itself (the small-string buffer), where an
// allocator never sees them, so a wiping allocator alone is not enough: SecureString also wipes
// its own buffer when it dies. Together they cover heap buffers that are outgrown, replaced or
// freed, and inline buffers of objects that end.
#pragma once

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>

namespace p11bridge {

// Overwrites n bytes at p in a way the optimiser may not drop. explicit_bzero rather than a
// volatile byte loop: strings carry whole certificates, and the loop showed in the profile.
inline void SecureWipe(void* p, std::size_t n) noexcept {
    explicit_bzero(p, n);
}

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept {
        SecureWipe(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const noexcept {
        return false;
    }
};

using WipingStringBase = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

class SecureString : public WipingStringBase {
public:
    using WipingStringBase::WipingStringBase;
    SecureString() = default;
    SecureString(const WipingStringBase& s) : WipingStringBase(s) {}
    SecureString(WipingStringBase&& s) noexcept : WipingStringBase(std::move(s)) {}
    explicit SecureString(const std::string& s) : WipingStringBase(s.data(), s.size()) {}
    SecureString(const SecureString&) = default;
    SecureString(SecureString&& other) noexcept : WipingStringBase(std::move(other)) {
        other.wipe();
    }
    SecureString& operator=(const SecureString&) = default;
    SecureString& operator=(SecureString&& other) noexcept {
        WipingStringBase::operator=(std::move(other));
        other.wipe();
        return *this;
    }
    ~SecureString() { wipe(); }

    // Overwrites the whole buffer, not only the used part, then empties the string.
    void wipe() noexcept {
        SecureWipe(&(*this)[0], capacity());
        clear();
    }

    std::string str() const { return std::string(data(), size()); }
};

// Pages of their own for the buffers that keep a PIN between requests: locked out of swap and
// left out of core files where the system allows it, wiped before they go back. A refusal (the
// RLIMIT_MEMLOCK of an unprivileged user, a kernel without MADV_DONTDUMP) still leaves the
// wiping. Pages are never shared: locks do not nest, so freeing a neighbour would unlock a PIN.
template <class T>
struct LockedAllocator {
    using value_type = T;
    LockedAllocator() noexcept = default;
    template <class U>
    LockedAllocator(const LockedAllocator<U>&) noexcept {}

    static std::size_t Span(std::size_t n) noexcept {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        return (n * sizeof(T) + page - 1) / page * page;
    }
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = Span(n);
        void* p =
            ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        ::mlock(p, bytes);
        ::madvise(p, bytes, MADV_DONTDUMP);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = Span(n);
        SecureWipe(p, bytes);
        ::munlock(p, bytes);
        ::munmap(p, bytes);
    }
    template <class U>
    bool operator==(const LockedAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const LockedAllocator<U>&) const noexcept {
        return false;
    }
};

using LockedStringBase = std::basic_string<char, std::char_traits<char>, LockedAllocator<char>>;

// A PIN's text. It starts on its locked page and stays there: a short text would otherwise live
// in the small-string buffer inside the object, wherever that is, so copies and moves assign into
// the page rather than take or leave buffers.
class PinString : public LockedStringBase {
public:
    static constexpr std::size_t kRoom = 64;

    PinString() { reserve(kRoom); }
    PinString(const char* text, std::size_t n) : PinString() { assign(text, n); }
    PinString(const PinString& other) : PinString(other.data(), other.size()) {}
    PinString(PinString&& other) : PinString(other) { other.wipe(); }
    PinString& operator=(const PinString& other) {
        if (this != &other) assign(other.data(), other.size());
        return *this;
    }
    PinString& operator=(PinString&& other) {
        if (this != &other) {
            assign(other.data(), other.size());
            other.wipe();
        }
        return *this;
    }
    ~PinString() { wipe(); }

    // Overwrites the whole buffer, then empties the text; the page stays.
    void wipe() noexcept {
        SecureWipe(&(*this)[0], capacity());
        clear();
    }
};

}  // namespace p11bridge
