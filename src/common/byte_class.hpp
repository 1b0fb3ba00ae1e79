// What each byte is to the reader, the index and the writer: one table of
// 256 entries. The low bits of an entry are flags, one per class of bytes;
// the high bits hold small values that go with the byte (its replacement
// when escaped, its value as a hexadecimal digit), so that a single load
// answers every question asked of a byte.
#pragma once

#include <array>
#include <cstdint>

namespace arbolite::byte_class {

using Entry = uint32_t;

// The classes, one flag each.
enum : Entry {
    kTagSpace = 1u << 0,         // tab, line feed, form feed, carriage return, space: separators inside tags
    kSlash = 1u << 1,            // '/'
    kGt = 1u << 2,               // '>'
    kQuestion = 1u << 3,         // '?'
    kAttrNameStop = 1u << 4,     // what ends an attribute name: the tag spaces, '=', '"' and '\''
    kAsciiWhiteSpace = 1u << 5,  // the single-byte White_Space characters: U+0009..U+000D and U+0020
    kTextEscape = 1u << 6,       // replaced in text: & < > " '
    kAttrEscape = 1u << 7,       // replaced in attribute values: those of text, tab, carriage return, line feed
    kHexDigit = 1u << 8,         // 0-9, a-f, A-F
};

// Unions of classes.
inline constexpr Entry kElementNameStop = kTagSpace | kSlash | kGt;           // ends an element name
inline constexpr Entry kPiTargetStop = kTagSpace | kGt | kQuestion;           // ends a processing instruction's target
inline constexpr Entry kAttrNameOrTagEnd = kAttrNameStop | kGt;               // ends an attribute name or its tag

// The values. A byte's escape number says what replaces it: 0 nothing (it
// is copied), then 1 '&', 2 '<', 3 '>', 4 '"', 5 '\'', 6 tab, 7 carriage
// return, 8 line feed; there is one number for text and one for attribute
// values (where tab, carriage return and line feed are replaced too). The
// hexadecimal value is 0xFF for a byte that is no hexadecimal digit.
inline constexpr unsigned kTextEscapeShift = 16;  // 4 bits
inline constexpr unsigned kAttrEscapeShift = 20;  // 4 bits
inline constexpr unsigned kHexValueShift = 24;    // 8 bits

inline constexpr std::array<Entry, 256> kTable = [] {
    std::array<Entry, 256> t{};
    for (unsigned char c : {'\t', '\n', '\f', '\r', ' '}) t[c] |= kTagSpace | kAttrNameStop;
    t['/'] |= kSlash;
    t['>'] |= kGt;
    t['?'] |= kQuestion;
    for (unsigned char c : {'=', '"', '\''}) t[c] |= kAttrNameStop;
    for (unsigned char c = 0x09; c <= 0x0D; ++c) t[c] |= kAsciiWhiteSpace;
    t[' '] |= kAsciiWhiteSpace;

    Entry number = 1;
    for (unsigned char c : {'&', '<', '>', '"', '\''}) {
        t[c] |= kTextEscape | kAttrEscape | number << kTextEscapeShift | number << kAttrEscapeShift;
        ++number;
    }
    for (unsigned char c : {'\t', '\r', '\n'}) {
        t[c] |= kAttrEscape | number << kAttrEscapeShift;
        ++number;
    }

    for (Entry& e : t) e |= Entry{0xFF} << kHexValueShift;
    auto set_hex = [&t](unsigned char c, Entry value) {
        t[c] = (t[c] & ~(Entry{0xFF} << kHexValueShift)) | kHexDigit | value << kHexValueShift;
    };
    for (Entry i = 0; i < 10; ++i) set_hex(static_cast<unsigned char>('0' + i), i);
    for (Entry i = 0; i < 6; ++i) {
        set_hex(static_cast<unsigned char>('a' + i), 10 + i);
        set_hex(static_cast<unsigned char>('A' + i), 10 + i);
    }
    return t;
}();

// The entry of byte `c`.
constexpr Entry of(char c) { return kTable[static_cast<unsigned char>(c)]; }

// Whether `c` belongs to any of `classes`.
constexpr bool is_any(char c, Entry classes) { return (of(c) & classes) != 0; }

constexpr bool is_tag_space(char c) { return is_any(c, kTagSpace); }
constexpr bool is_attr_name_stop(char c) { return is_any(c, kAttrNameStop); }
constexpr bool is_ascii_white_space(char c) { return is_any(c, kAsciiWhiteSpace); }

// The escape number of `c` in text and in attribute values (0: copied).
constexpr unsigned text_escape(char c) { return (of(c) >> kTextEscapeShift) & 0xF; }
constexpr unsigned attr_escape(char c) { return (of(c) >> kAttrEscapeShift) & 0xF; }

// The value of the hexadecimal digit `c`, or 0xFF.
constexpr unsigned hex_value(char c) { return of(c) >> kHexValueShift; }

}  // namespace arbolite::byte_class
