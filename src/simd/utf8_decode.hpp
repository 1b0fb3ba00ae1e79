// UTF-8 decoding of whole texts into fixed-width code units: Latin-1, UCS-2
// or UCS-4, whichever is the narrowest that holds every code point (the
// canonical storage of an interpreter string). The reverse of utf8_encode.
//
// Decoding is two passes: measure_utf8() counts the code points and finds
// the width they need, the caller allocates exactly that, and decode_utf8()
// fills it. A caller that learns the count and the width some other way
// (the writer counts them while it walks) skips the first pass; texts
// measured apart may be decoded one after another into one output.
//
// The text must be valid UTF-8 (checked beforehand). On other bytes both
// functions still stay inside the input and the output they are given, and
// the result is unspecified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace arbolite::simd {

enum class CodeUnits : uint8_t { Ascii, Latin1, Ucs2, Ucs4 };  // narrowest first

struct Utf8Measure {
    size_t code_points;
    CodeUnits units;  // the narrowest that holds every code point
};

Utf8Measure measure_utf8(const char* data, size_t size) noexcept;

// The narrowest units for a text whose largest byte is `largest_byte` (in
// valid text, the first byte of its largest code point).
constexpr CodeUnits units_for_largest_byte(unsigned char largest_byte) noexcept {
    if (largest_byte < 0x80) return CodeUnits::Ascii;
    if (largest_byte < 0xC4) return CodeUnits::Latin1;  // up to U+00FF
    if (largest_byte < 0xF0) return CodeUnits::Ucs2;    // up to U+FFFF
    return CodeUnits::Ucs4;
}

// Writes the code points of the text to `out`, which has room for `room`
// code units, and returns how many it wrote: every code point of the text
// when they fit (as measured), else as many as fit. Latin-1 and ASCII text
// both go to one-byte units.
size_t decode_utf8(const char* data, size_t size, uint8_t* out, size_t room) noexcept;
size_t decode_utf8(const char* data, size_t size, uint16_t* out, size_t room) noexcept;
size_t decode_utf8(const char* data, size_t size, uint32_t* out, size_t room) noexcept;

// One implementation of the measuring pass and the decoders for one
// instruction set, written once in utf8_decode_generic.hpp and instantiated
// by each kernel source (kernels_*.cpp). The process picks one table on
// first use and keeps it.
struct Utf8DecodeTable {
    const char* name;
    Utf8Measure (*measure)(const char* data, size_t size) noexcept;
    size_t (*decode_latin1)(const char* data, size_t size, uint8_t* out, size_t room) noexcept;
    size_t (*decode_ucs2)(const char* data, size_t size, uint16_t* out, size_t room) noexcept;
    size_t (*decode_ucs4)(const char* data, size_t size, uint32_t* out, size_t room) noexcept;
};

// The table in use: AVX2 where the processor has it, else SSE2 (the x86-64
// baseline), else the code-point-at-a-time loops; capped by ARBOLITE_KERNELS
// (simd/dispatch.hpp).
const Utf8DecodeTable& active_utf8_decoders() noexcept;

// Every table that runs on this processor, the code-point-at-a-time
// reference first.
std::span<const Utf8DecodeTable* const> utf8_decoders_for_testing() noexcept;

// Null when the build does not target the instruction set.
const Utf8DecodeTable* sse2_utf8_decoders() noexcept;
const Utf8DecodeTable* avx2_utf8_decoders() noexcept;

// The byte- and code-point-at-a-time loops, also used by the vector decoders
// for the ends of their ranges. The text starts at the start of a code point.
namespace scalar {
Utf8Measure measure_utf8(const char* data, size_t size) noexcept;
size_t decode_utf8(const char* data, size_t size, uint8_t* out, size_t room) noexcept;
size_t decode_utf8(const char* data, size_t size, uint16_t* out, size_t room) noexcept;
size_t decode_utf8(const char* data, size_t size, uint32_t* out, size_t room) noexcept;
}  // namespace scalar

}  // namespace arbolite::simd
