#include "pkcs11/RefusedPins.h"

#include <sechash.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <memory>
#include <vector>

namespace p11bridge {
namespace {

constexpr std::size_t kDigestLength = 32;  // SHA-256
constexpr std::size_t kBlockLength = 64;

using LockedBytes = std::vector<unsigned char, LockedAllocator<unsigned char>>;

struct HashFree {
    void operator()(HASHContext* c) const { HASH_Destroy(c); }
};
using Hash = std::unique_ptr<HASHContext, HashFree>;

// The HMAC key: random for each process, so the hashes mean nothing outside it. A PIN is short
// enough to guess from a plain hash; with the key locked beside them they are no easier to read
// than the PIN records themselves.
const LockedBytes* Key() {
    static const LockedBytes key = [] {
        LockedBytes bytes(kBlockLength, 0);
        std::size_t got = 0;
        while (got < kDigestLength) {
            ssize_t n = ::getrandom(bytes.data() + got, kDigestLength - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return LockedBytes{};
            got += static_cast<std::size_t>(n);
        }
        return bytes;
    }();
    return key.empty() ? nullptr : &key;
}

bool HashInto(const unsigned char* pad, const unsigned char* data, unsigned length,
              unsigned char* out) {
    Hash hash(HASH_Create(HASH_AlgSHA256));
    if (!hash) return false;
    unsigned written = 0;
    HASH_Begin(hash.get());
    HASH_Update(hash.get(), pad, kBlockLength);
    HASH_Update(hash.get(), data, length);
    HASH_End(hash.get(), out, &written, kDigestLength);
    return written == kDigestLength;
}

// HMAC-SHA-256 of the PIN; false when it cannot be made.
bool Mac(const PinString& pin, unsigned char* out) {
    const LockedBytes* key = Key();
    if (!key) return false;
    LockedBytes pads(3 * kBlockLength);
    unsigned char* inner = pads.data();
    unsigned char* outer = inner + kBlockLength;
    unsigned char* innerDigest = outer + kBlockLength;
    for (std::size_t i = 0; i < kBlockLength; ++i) {
        inner[i] = (*key)[i] ^ 0x36;
        outer[i] = (*key)[i] ^ 0x5c;
    }
    return HashInto(inner, reinterpret_cast<const unsigned char*>(pin.data()),
                    static_cast<unsigned>(pin.size()), innerDigest) &&
           HashInto(outer, innerDigest, kDigestLength, out);
}

// Per token, its refused PINs' hashes end to end.
std::map<std::string, LockedBytes>& Refused() {
    static std::map<std::string, LockedBytes> refused;
    return refused;
}

}  // namespace

bool WasRefused(const std::string& token, const PinString& pin) {
    auto found = Refused().find(token);
    if (found == Refused().end()) return false;
    const LockedBytes& hashes = found->second;
    if (hashes.size() >= kMaxRefusedPins * kDigestLength) return true;
    std::array<unsigned char, kDigestLength> mac{};
    if (!Mac(pin, mac.data())) return true;
    for (std::size_t at = 0; at < hashes.size(); at += kDigestLength)
        if (std::equal(mac.begin(), mac.end(), hashes.begin() + static_cast<std::ptrdiff_t>(at)))
            return true;
    return false;
}

void RememberRefused(const std::string& token, const PinString& pin) {
    std::array<unsigned char, kDigestLength> mac{};
    LockedBytes& hashes = Refused()[token];
    // A hash that cannot be made leaves the token full: it takes no PIN it cannot be kept from.
    if (!Mac(pin, mac.data())) {
        hashes.resize(kMaxRefusedPins * kDigestLength);
        return;
    }
    if (hashes.size() < kMaxRefusedPins * kDigestLength)
        hashes.insert(hashes.end(), mac.begin(), mac.end());
}

}  // namespace p11bridge
