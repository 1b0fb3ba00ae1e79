// A small set of bytes to search for, as up to eight tests. A byte passes
// test k when (byte | mask[k]) == value[k]: a test with a zero mask is one
// byte, a test with a one-bit mask is the two bytes that differ only in that
// bit. make_byte_set() pairs such bytes up, so that a search compares each
// register fewer times.
#pragma once

#include <cstdint>
#include <string_view>

namespace arbolite::simd {

struct ByteSet {
    uint8_t count = 0;
    char value[8] = {};
    char mask[8] = {};

    constexpr bool contains(char c) const noexcept {
        for (unsigned k = 0; k < count; ++k)
            if (static_cast<char>(c | mask[k]) == value[k]) return true;
        return false;
    }
};

// The set of the bytes of `bytes` (at most eight distinct tests are needed:
// eight bytes at most, fewer where they pair up).
constexpr ByteSet make_byte_set(std::string_view bytes) {
    ByteSet set;
    if (bytes.size() > 16) throw "a byte set is made of at most sixteen bytes";
    bool used[16] = {};
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (used[i]) continue;
        used[i] = true;
        const auto a = static_cast<unsigned char>(bytes[i]);
        unsigned char pair_mask = 0;
        for (size_t j = i + 1; j < bytes.size() && pair_mask == 0; ++j) {
            const unsigned diff = a ^ static_cast<unsigned char>(bytes[j]);
            if (!used[j] && diff != 0 && (diff & (diff - 1)) == 0) {
                used[j] = true;
                pair_mask = static_cast<unsigned char>(diff);
            }
        }
        if (set.count == 8) throw "a byte set holds at most eight tests";
        set.value[set.count] = static_cast<char>(a | pair_mask);
        set.mask[set.count] = static_cast<char>(pair_mask);
        ++set.count;
    }
    return set;
}

}  // namespace arbolite::simd
