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

#include "simd/byte_set.hpp"
#include "simd/search.hpp"

namespace arbolite::write {

enum class Escape : uint8_t { Text, Attr };

struct Replacement {
    char bytes[7];
    uint8_t size;
};

namespace escape_detail {

// Index 0 means "copied unchanged".
inline constexpr Replacement kReplacements[] = {
    {"", 0},       {"&amp;", 5}, {"&lt;", 4},  {"&gt;", 4},  {"&quot;", 6},
    {"&apos;", 6}, {"&#9;", 4},  {"&#13;", 5}, {"&#10;", 5},
};

constexpr std::array<uint8_t, 256> make_table(Escape mode) {
    std::array<uint8_t, 256> table{};
    table['&'] = 1;
    table['<'] = 2;
    table['>'] = 3;
    table['"'] = 4;
    table['\''] = 5;
    if (mode == Escape::Attr) {
        table['\t'] = 6;
        table['\r'] = 7;
        table['\n'] = 8;
    }
    return table;
}

inline constexpr std::array<uint8_t, 256> kTextTable = make_table(Escape::Text);
inline constexpr std::array<uint8_t, 256> kAttrTable = make_table(Escape::Attr);

// The special bytes as byte sets for the search.
inline constexpr simd::ByteSet kTextSpecials = simd::make_byte_set("&<>\"'");
inline constexpr simd::ByteSet kAttrSpecials = simd::make_byte_set("&<>\"'\t\r\n");

}  // namespace escape_detail

// The replacement of byte `c`: size 0 when it is copied unchanged.
template <Escape mode>
inline const Replacement& replacement_of(char c) {
    const auto& table = mode == Escape::Text ? escape_detail::kTextTable : escape_detail::kAttrTable;
    return escape_detail::kReplacements[table[static_cast<unsigned char>(c)]];
}

template <Escape mode>
inline bool is_special(char c) {
    return replacement_of<mode>(c).size != 0;
}

// The first special byte in [p, end), or `end`. `floor` (<= p) is the start
// of the string that [p, end) ends: the search may load bytes back to it.
template <Escape mode>
inline const char* find_special(const char* p, const char* end, const char* floor) {
    return simd::find_in_set(p, end, floor, mode == Escape::Text ? escape_detail::kTextSpecials
                                                                 : escape_detail::kAttrSpecials);
}

}  // namespace arbolite::write
