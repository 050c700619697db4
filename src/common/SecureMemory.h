// Memory that holds secrets (PIN bytes) and leaves nothing behind when released.
//
// std::string keeps short texts inside the object itself (the small-string buffer), where an
// allocator never sees them, so a wiping allocator alone is not enough: SecureString also wipes
// its own buffer when it dies. Together they cover heap buffers that are outgrown, replaced or
// freed, and inline buffers of objects that end.
#pragma once

#include <string.h>

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

}  // namespace p11bridge
