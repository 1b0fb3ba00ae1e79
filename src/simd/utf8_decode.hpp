// UTF-8 decoding of whole texts into fixed-width code units: Latin-1, UCS-2
// or UCS-4, whichever is the narrowest that holds every code point (the
// canonical storage of an interpreter string). The reverse of utf8_encode.
//
// Decoding is two passes: measure_utf8() counts the code points and finds
// the width they need, the caller allocates exactly that, and decode_utf8()
// fills it. Both take runs of ASCII 16 bytes at a time; other code points
// are decoded without branching on their length.
//
// The text must be valid UTF-8 (checked beforehand). On other bytes both
// functions still stay inside the input and the output they are given, and
// the result is unspecified.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arbolite::simd {

enum class CodeUnits : uint8_t { Ascii, Latin1, Ucs2, Ucs4 };  // narrowest first

struct Utf8Measure {
    size_t code_points;
    CodeUnits units;  // the narrowest that holds every code point
};

Utf8Measure measure_utf8(const char* data, size_t size) noexcept;

// Writes the code points of the text to `out`, which has room for exactly
// `code_points` of them (as measured). Latin-1 and ASCII text both go to
// one-byte units.
void decode_utf8(const char* data, size_t size, uint8_t* out, size_t code_points) noexcept;
void decode_utf8(const char* data, size_t size, uint16_t* out, size_t code_points) noexcept;
void decode_utf8(const char* data, size_t size, uint32_t* out, size_t code_points) noexcept;

}  // namespace arbolite::simd
