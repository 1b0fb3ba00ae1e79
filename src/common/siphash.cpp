#include "common/siphash.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/random.h>

namespace arbolite {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;

    explicit SipState(SipKey key)
        : v0(key.k0 ^ 0x736f6d6570736575ULL),
          v1(key.k1 ^ 0x646f72616e646f6dULL),
          v2(key.k0 ^ 0x6c7967656e657261ULL),
          v3(key.k1 ^ 0x7465646279746573ULL) {}

    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }

    void absorb(uint64_t m) {
        v3 ^= m;
        round();  // one compression round
        v0 ^= m;
    }
};

inline uint64_t load_le64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

SipKey draw_thread_key() noexcept {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    SipKey key;
    if (got == sizeof bytes) {
        std::memcpy(&key.k0, bytes, 8);
        std::memcpy(&key.k1, bytes + 8, 8);
    } else {
        // No random source: the key still differs per thread and per run.
        uint64_t t = static_cast<uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count());
        key.k0 = t ^ reinterpret_cast<uintptr_t>(&key);
        key.k1 = rotl(t, 29) * 0x9e3779b97f4a7c15ULL;
    }
    return key;
}

}  // namespace

uint64_t siphash13(SipKey key, const void* data, size_t len) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    SipState s(key);
    const unsigned char* end = p + (len & ~size_t{7});
    for (; p != end; p += 8) s.absorb(load_le64(p));

    uint64_t last = static_cast<uint64_t>(len) << 56;
    switch (len & 7) {
        case 7: last |= uint64_t{p[6]} << 48; [[fallthrough]];
        case 6: last |= uint64_t{p[5]} << 40; [[fallthrough]];
        case 5: last |= uint64_t{p[4]} << 32; [[fallthrough]];
        case 4: last |= uint64_t{p[3]} << 24; [[fallthrough]];
        case 3: last |= uint64_t{p[2]} << 16; [[fallthrough]];
        case 2: last |= uint64_t{p[1]} << 8; [[fallthrough]];
        case 1: last |= uint64_t{p[0]}; break;
        case 0: break;
    }
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// Each thread's key, drawn on its first use. Initial-exec: the variables lie
// in the static thread-local block that is set up together with the thread,
// so that touching them never allocates (a lazily allocated block could only
// end the process when memory runs out). Zero-initialised, so no guard.
namespace {
[[gnu::tls_model("initial-exec")]] thread_local SipKey thread_base;
[[gnu::tls_model("initial-exec")]] thread_local bool thread_base_drawn = false;
}  // namespace

SipKey next_map_key() noexcept {
    if (!thread_base_drawn) {
        thread_base = draw_thread_key();
        thread_base_drawn = true;
    }
    SipKey key = thread_base;
    thread_base.k0 += 1;
    return key;
}

}  // namespace arbolite
