// Where a byte of a document lies as a text editor shows it: line and
// column, both counted from 1. Used to place read errors for people.
//
// Lines end at a line feed, at a carriage return followed by a line feed
// (one line end), and at a carriage return alone. Columns count characters
// (code points of the UTF-8 text), not bytes, from the start of the line.
// A byte in the middle of a multi-byte character has the column of that
// character, the line feed of a CRLF the column of its carriage return;
// the byte just past the end of the document has the column
// after the last character.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "read/read_error.hpp"

namespace arbolite::read {

struct TextPosition {
    uint64_t line;
    uint64_t column;
    bool operator==(const TextPosition&) const = default;
};

// The position of the byte at `offset` of `document` (valid UTF-8); an
// offset beyond the end counts as the end. Takes time linear in `offset`:
// line ends are counted a vector of bytes at a time, the characters of the
// last line a 64-bit word at a time.
TextPosition locate(std::string_view document, uint64_t offset) noexcept;

// The byte offset that a read error names, if it names one.
std::optional<uint64_t> error_offset(const ReadError& error) noexcept;

}  // namespace arbolite::read
