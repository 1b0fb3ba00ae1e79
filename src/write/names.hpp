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

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/byte_class.hpp"

namespace arbolite::write {
namespace name_detail {

// The longest element name the reader's index records.
inline constexpr uint64_t kMaxElementName = UINT32_MAX;

// The classes of all bytes of `s`, or-ed together: one table lookup per byte
// and no branch (names are short).
inline byte_class::Entry classes_of(std::string_view s) {
    byte_class::Entry seen = 0;
    for (char c : s) seen |= byte_class::of(c);
    return seen;
}

}  // namespace name_detail

inline bool is_writable_element_name(std::string_view name) {
    if (name.empty() || name.size() > name_detail::kMaxElementName || name[0] == '!' || name[0] == '?') return false;
    return (name_detail::classes_of(name) & byte_class::kElementNameStop) == 0;
}

inline bool is_writable_attribute_name(std::string_view name) {
    return !name.empty() && (name_detail::classes_of(name) & byte_class::kAttrNameOrTagEnd) == 0;
}

}  // namespace arbolite::write
