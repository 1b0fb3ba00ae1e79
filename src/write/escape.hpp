// The escaping of text and attribute values: which bytes are replaced, by
// what, and the searches for the next such byte.
//
// Text escaping replaces & < > " ' ; attribute escaping also replaces TAB, CR
// and LF. Every other byte, non-ASCII included, is copied unchanged. The
// search for the next such byte is the byte-set search of simd/search.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/byte_class.hpp"
#include "simd/byte_set.hpp"
#include "simd/search.hpp"

namespace arbolite::write {

enum class Escape : uint8_t { Text, Attr };

struct Replacement {
    char bytes[7];
    uint8_t size;
};

namespace escape_detail {

// By escape number (see common/byte_class.hpp); 0 means "copied unchanged".
inline constexpr Replacement kReplacements[] = {
    {"", 0},       {"&amp;", 5}, {"&lt;", 4},  {"&gt;", 4},  {"&quot;", 6},
    {"&apos;", 6}, {"&#9;", 4},  {"&#13;", 5}, {"&#10;", 5},
};

// The special bytes as byte sets for the search.
inline constexpr simd::ByteSet kTextSpecials = simd::make_byte_set("&<>\"'");
inline constexpr simd::ByteSet kAttrSpecials = simd::make_byte_set("&<>\"'\t\r\n");

}  // namespace escape_detail

// The replacement of byte `c`: size 0 when it is copied unchanged.
template <Escape mode>
constexpr const Replacement& replacement_of(char c) {
    return escape_detail::kReplacements[mode == Escape::Text ? byte_class::text_escape(c) : byte_class::attr_escape(c)];
}

template <Escape mode>
constexpr bool is_special(char c) {
    return byte_class::is_any(c, mode == Escape::Text ? byte_class::kTextEscape : byte_class::kAttrEscape);
}

// The first special byte in [p, end), or `end`. `floor` (<= p) is the start
// of the string that [p, end) ends: the search may load bytes back to it.
template <Escape mode>
inline const char* find_special(const char* p, const char* end, const char* floor) {
    return simd::find_in_set(p, end, floor, mode == Escape::Text ? escape_detail::kTextSpecials
                                                                 : escape_detail::kAttrSpecials);
}

}  // namespace arbolite::write
