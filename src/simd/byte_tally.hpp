// Byte statistics of a text in one pass: how often each of a few given bytes
// occurs, how many continuation bytes (0x80..0xBF) it holds and its largest
// byte. One kernel per instruction set (byte_tally_generic.hpp), an entry of
// the search tables (kernels.hpp: active_kernels().tally_bytes), chosen with
// them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace arbolite::simd {

inline constexpr size_t kMaxTallied = 8;

// The bytes to count: up to eight, each counted on its own (a byte listed
// twice is counted twice).
struct TalliedBytes {
    std::array<char, kMaxTallied> bytes{};
    uint8_t count = 0;
};

constexpr TalliedBytes make_tallied_bytes(std::string_view bytes) {
    if (bytes.size() > kMaxTallied) throw "at most eight bytes are tallied";
    TalliedBytes t;
    for (const char c : bytes) t.bytes[t.count++] = c;
    return t;
}

struct ByteTally {
    std::array<size_t, kMaxTallied> counts{};  // of bytes[k], in the order given
    size_t continuation = 0;                   // bytes 0x80..0xBF
    unsigned char largest = 0;                 // the largest byte (0 for no bytes)
};

namespace scalar {
// One byte at a time: the reference of the kernels.
ByteTally tally_bytes(const char* data, size_t size, const TalliedBytes& bytes) noexcept;
}  // namespace scalar

}  // namespace arbolite::simd
