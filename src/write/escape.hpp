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
#include <string_view>

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

// The special bytes of each mode, and as byte sets for the search.
inline constexpr std::string_view kTextSpecialBytes = "&<>\"'";
inline constexpr std::string_view kAttrSpecialBytes = "&<>\"'\t\r\n";
inline constexpr simd::ByteSet kTextSpecials = simd::make_byte_set(kTextSpecialBytes);
inline constexpr simd::ByteSet kAttrSpecials = simd::make_byte_set(kAttrSpecialBytes);

}  // namespace escape_detail

// The most bytes that escaping writes for one byte of text or value.
inline constexpr size_t kMostEscapedBytes = [] {
    size_t most = 1;
    for (const Replacement& r : escape_detail::kReplacements) most = r.size > most ? r.size : most;
    return most;
}();

// The bytes `mode` replaces.
template <Escape mode>
inline constexpr std::string_view kSpecialBytes =
    mode == Escape::Text ? escape_detail::kTextSpecialBytes : escape_detail::kAttrSpecialBytes;

// The replacement of byte `c`: size 0 when it is copied unchanged.
template <Escape mode>
constexpr const Replacement& replacement_of(char c) {
    return escape_detail::kReplacements[mode == Escape::Text ? byte_class::text_escape(c) : byte_class::attr_escape(c)];
}

template <Escape mode>
constexpr bool is_special(char c) {
    return byte_class::is_any(c, mode == Escape::Text ? byte_class::kTextEscape : byte_class::kAttrEscape);
}

namespace escape_detail {
// The lists of special bytes and their byte sets agree with the byte classes.
template <Escape mode>
constexpr bool specials_agree(const simd::ByteSet& set) {
    for (unsigned c = 0; c < 256; ++c) {
        const char b = static_cast<char>(c);
        const bool listed = kSpecialBytes<mode>.find(b) != std::string_view::npos;
        if (listed != is_special<mode>(b) || set.contains(b) != listed) return false;
    }
    return true;
}
static_assert(specials_agree<Escape::Text>(kTextSpecials) && specials_agree<Escape::Attr>(kAttrSpecials));
}  // namespace escape_detail

// The first special byte in [p, end), or `end`. `floor` (<= p) is the start
// of the string that [p, end) ends: the search may load bytes back to it.
template <Escape mode>
inline const char* find_special(const char* p, const char* end, const char* floor) {
    return simd::find_in_set(p, end, floor, mode == Escape::Text ? escape_detail::kTextSpecials
                                                                 : escape_detail::kAttrSpecials);
}

}  // namespace arbolite::write
