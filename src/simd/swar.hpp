// Word-at-a-time byte tests on plain 64-bit integers, the one copy used by
// the portable kernels (SwarOps in vector_ops.hpp), the inline paths of the
// searches and the writer.
//
// A "lane mask" here has 0x80 in each byte where the test holds and 0
// elsewhere. Every function is always inlined: no out-of-line copy exists
// that a source compiled for another instruction set could share.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace arbolite::simd::swar {

inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
inline constexpr uint64_t kHigh1 = 0x8080808080808080ULL;

// Byte i of the eight at `p` lands in bits 8i..8i+7 whatever the byte order.
[[gnu::always_inline]] inline uint64_t load_word(const char* p) noexcept {
    uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    return x;
}

// `c` in every byte.
[[gnu::always_inline]] constexpr uint64_t splat(unsigned char c) noexcept { return kOnes * c; }

// Lane mask of the zero bytes of `x`; exact (no carries between bytes, unlike
// the shorter "has a zero byte" test).
[[gnu::always_inline]] constexpr uint64_t zero_bytes(uint64_t x) noexcept {
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// Lane mask of the bytes of `a` equal to those of `b`.
[[gnu::always_inline]] constexpr uint64_t equal_bytes(uint64_t a, uint64_t b) noexcept { return zero_bytes(a ^ b); }

// Lane mask of the bytes of `v` that are at most the matching byte of
// `limit` (unsigned; every byte of `limit` below 0x80).
[[gnu::always_inline]] constexpr uint64_t bytes_at_most(uint64_t v, uint64_t limit) noexcept {
    // Top bit of (v | 0x80) - (limit + 1) is clear exactly when the low
    // seven bits of v are at most `limit`; no borrow leaves a byte.
    return ~(((v | kHigh1) - (limit + kOnes)) | v) & kHigh1;
}

// Lane mask of the bytes 0x80 and above.
[[gnu::always_inline]] constexpr uint64_t high_bytes(uint64_t v) noexcept { return v & kHigh1; }

// Lane mask of the continuation bytes 0x80..0xBF (top bits 10).
[[gnu::always_inline]] constexpr uint64_t continuation_bytes(uint64_t v) noexcept { return v & ~(v << 1) & kHigh1; }

// Whether the `n` bytes at `p` are all below 0x80: for short strings, where
// a vector search costs more to set up than it saves.
[[gnu::always_inline]] inline bool all_ascii(const char* p, size_t n) noexcept {
    uint64_t high = 0;
    for (; n >= 8; p += 8, n -= 8) high |= load_word(p);
    for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
    return high_bytes(high) == 0;
}

// The number of lanes set in a lane mask: the top bits moved down and summed
// into the top byte by one multiplication (no population-count instruction
// is assumed).
[[gnu::always_inline]] constexpr size_t count_lanes(uint64_t m) noexcept {
    return static_cast<size_t>(((m >> 7) * kOnes) >> 56);
}

}  // namespace arbolite::simd::swar
