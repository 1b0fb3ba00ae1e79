// Measuring a text or attribute value as the writer escapes it, in one pass
// over its bytes: the size of its escaped form, and what decoding that form
// needs (its continuation bytes and its largest byte). Used by the walk that
// measures an output before it is written decoded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "simd/byte_tally.hpp"
#include "simd/kernels.hpp"
#include "write/escape.hpp"

namespace arbolite::write {

struct EscapedMeasure {
    size_t bytes;            // of the escaped form
    size_t continuation;     // bytes 0x80..0xBF (the code points are bytes minus these)
    unsigned char largest;   // the largest byte
};

namespace escape_detail {

// The special bytes of a mode, tallied, and what the replacement of each adds
// to the size.
struct TalliedSpecials {
    simd::TalliedBytes bytes;
    std::array<uint8_t, simd::kMaxTallied> added{};
};

template <Escape mode>
constexpr TalliedSpecials make_tallied_specials() {
    TalliedSpecials s;
    s.bytes = simd::make_tallied_bytes(kSpecialBytes<mode>);
    for (unsigned k = 0; k < kSpecialBytes<mode>.size(); ++k)
        s.added[k] = static_cast<uint8_t>(replacement_of<mode>(kSpecialBytes<mode>[k]).size - 1);
    return s;
}

template <Escape mode>
inline constexpr TalliedSpecials kTalliedSpecials = make_tallied_specials<mode>();

}  // namespace escape_detail

// The measure of `data` escaped for `mode`: one pass of the byte tally
// (simd/byte_tally.hpp) of `kernels`, the search table in use or, in tests,
// any table.
template <Escape mode>
inline EscapedMeasure escaped_measure(const simd::KernelTable& kernels, const char* data, size_t size) noexcept {
    constexpr const escape_detail::TalliedSpecials& specials = escape_detail::kTalliedSpecials<mode>;
    const simd::ByteTally t = kernels.tally_bytes(data, size, specials.bytes);
    size_t bytes = size;
    for (unsigned k = 0; k < specials.bytes.count; ++k) bytes += t.counts[k] * specials.added[k];
    return {bytes, t.continuation, t.largest};
}

// The same, one byte at a time: the reference for tests.
EscapedMeasure escaped_measure_reference(Escape mode, const char* data, size_t size) noexcept;

}  // namespace arbolite::write
