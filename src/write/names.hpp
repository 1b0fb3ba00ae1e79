// Which element and attribute names the writer accepts: exactly those that
// the reader reads back as that same single name.
//
// The reader takes an element name as the bytes after '<' up to the first
// tab, line feed, form feed, carriage return, space, '/' or '>'; a '<'
// followed by '!' or '?' starts a declaration, comment, CDATA section or
// processing instruction instead, and names of 2^32 bytes or more are
// refused. An attribute name runs up to the first of those spaces, '=', '"'
// or '\''; it cannot hold '>', which ends the tag. Anything else, non-ASCII
// bytes, '<', '&' and the other control characters included, is part of the
// name. Both kinds of name must be non-empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace arbolite::write {
namespace name_detail {

enum : uint8_t {
    ends_element = 1,    // the byte ends an element name
    ends_attribute = 2,  // the byte ends an attribute name or its tag
};

inline constexpr std::array<uint8_t, 256> name_stops = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned char c : {'\t', '\n', '\f', '\r', ' ', '>'}) t[c] = ends_element | ends_attribute;
    t['/'] = ends_element;
    for (unsigned char c : {'=', '"', '\''}) t[c] = ends_attribute;
    return t;
}();

// The longest element name the reader's index records.
inline constexpr uint64_t max_element_name = UINT32_MAX;

// The classes of all bytes of `s`, or-ed together: one table lookup per byte
// and no branch (names are short).
inline uint8_t stop_classes(std::string_view s) {
    uint8_t seen = 0;
    for (char c : s) seen |= name_stops[static_cast<unsigned char>(c)];
    return seen;
}

}  // namespace name_detail

inline bool is_writable_element_name(std::string_view name) {
    if (name.empty() || name.size() > name_detail::max_element_name || name[0] == '!' || name[0] == '?') return false;
    return (name_detail::stop_classes(name) & name_detail::ends_element) == 0;
}

inline bool is_writable_attribute_name(std::string_view name) {
    return !name.empty() && (name_detail::stop_classes(name) & name_detail::ends_attribute) == 0;
}

}  // namespace arbolite::write
