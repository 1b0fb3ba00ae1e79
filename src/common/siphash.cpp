#include "common/siphash.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if ARBOLITE_HAVE_SYS_RANDOM_H
#include <sys/random.h>
#endif

// Which of the operating system's random sources this build may call is found
// by the build (getrandom: Linux and FreeBSD; getentropy: the BSDs, macOS,
// newer glibc); /dev/urandom is always there to fall back on.
#ifndef ARBOLITE_HAVE_GETRANDOM
#define ARBOLITE_HAVE_GETRANDOM 0
#endif
#ifndef ARBOLITE_HAVE_GETENTROPY
#define ARBOLITE_HAVE_GETENTROPY 0
#endif

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

#if ARBOLITE_HAVE_GETRANDOM
bool fill_getrandom(unsigned char* out, size_t n) noexcept {
    size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(out + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r < 0 && errno != EINTR) {
            return false;  // ENOSYS on an old kernel, EPERM under a filter
        }
    }
    return true;
}
#endif

#if ARBOLITE_HAVE_GETENTROPY
bool fill_getentropy(unsigned char* out, size_t n) noexcept {
    constexpr size_t max_per_call = 256;  // larger requests fail with EIO
    while (n > 0) {
        size_t part = n < max_per_call ? n : max_per_call;
        if (getentropy(out, part) != 0) return false;
        out += part;
        n -= part;
    }
    return true;
}
#endif

bool fill_urandom(unsigned char* out, size_t n) noexcept {
    int fd;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, out + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return got == n;
}

SipKey draw_thread_key() noexcept {
    unsigned char bytes[16];
    SipKey key;
    if (fill_os_random(bytes, sizeof bytes)) {
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

bool fill_os_random(void* out, size_t n) noexcept {
    auto* p = static_cast<unsigned char*>(out);
    // Each source in turn: one the build found may still be refused at run
    // time (an older kernel, a system-call filter).
#if ARBOLITE_HAVE_GETRANDOM
    if (fill_getrandom(p, n)) return true;
#endif
#if ARBOLITE_HAVE_GETENTROPY
    if (fill_getentropy(p, n)) return true;
#endif
    return fill_urandom(p, n);
}

const char* os_random_source() noexcept {
#if ARBOLITE_HAVE_GETRANDOM
    return "getrandom";
#elif ARBOLITE_HAVE_GETENTROPY
    return "getentropy";
#else
    return "urandom";
#endif
}

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
