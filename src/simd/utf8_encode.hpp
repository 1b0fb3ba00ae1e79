// UTF-8 encoding of whole texts held as fixed-width code units: Latin-1 (one
// byte per code point), UCS-2 (two bytes) or UCS-4 (four bytes), the three
// layouts of an interpreter string's canonical storage.
//
// Encoding is two passes: utf8_length() gives the exact size of the result
// (and rejects what strict UTF-8 cannot hold), the caller allocates exactly
// that much, and encode_utf8() fills it. Both passes are vectorised; the
// length pass is a plain count at memory speed, and the two passes together
// measured faster than encoding into a buffer of the worst-case size and
// shrinking it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace arbolite::simd {

// The exact UTF-8 length of the text, or std::nullopt when it holds a code
// unit that is not a Unicode scalar value and so has no strict UTF-8 form: a
// surrogate (U+D800..U+DFFF, in UCS-2 or UCS-4) or, in UCS-4, a value above
// U+10FFFF. Latin-1 text always has a length.
std::optional<size_t> utf8_length(const uint8_t* p, size_t n) noexcept;
std::optional<size_t> utf8_length(const uint16_t* p, size_t n) noexcept;
std::optional<size_t> utf8_length(const uint32_t* p, size_t n) noexcept;

// Writes the UTF-8 form of the text to `out` and returns the end of what was
// written: exactly utf8_length(p, n) bytes. The caller has checked that the
// length exists. Given text without one anyway, the encoder still writes
// exactly 1, 2, 3 or 4 bytes for a code unit below 0x80, 0x800, 0x10000 or
// above (a surrogate as three bytes), so it never writes more than that.
char* encode_utf8(const uint8_t* p, size_t n, char* out) noexcept;
char* encode_utf8(const uint16_t* p, size_t n, char* out) noexcept;
char* encode_utf8(const uint32_t* p, size_t n, char* out) noexcept;

// One implementation of the six functions for one instruction set, written
// once in utf8_encode_generic.hpp and instantiated by each kernel source
// (kernels_*.cpp). The process picks one table on first use and keeps it.
struct Utf8EncodeTable {
    const char* name;
    std::optional<size_t> (*length_latin1)(const uint8_t* p, size_t n) noexcept;
    std::optional<size_t> (*length_ucs2)(const uint16_t* p, size_t n) noexcept;
    std::optional<size_t> (*length_ucs4)(const uint32_t* p, size_t n) noexcept;
    char* (*encode_latin1)(const uint8_t* p, size_t n, char* out) noexcept;
    char* (*encode_ucs2)(const uint16_t* p, size_t n, char* out) noexcept;
    char* (*encode_ucs4)(const uint32_t* p, size_t n, char* out) noexcept;
};

// The table in use: AVX2 where the processor has it, else SSE2 (the x86-64
// baseline), else the portable 64-bit word kernels; capped by
// ARBOLITE_KERNELS (simd/dispatch.hpp).
const Utf8EncodeTable& active_utf8_kernels() noexcept;

// Every table that runs on this processor, the code-point-at-a-time
// reference first.
std::span<const Utf8EncodeTable* const> utf8_kernels_for_testing() noexcept;

extern const Utf8EncodeTable kScalarUtf8Kernels;
extern const Utf8EncodeTable kSwarUtf8Kernels;
// Null when the build does not target the instruction set.
const Utf8EncodeTable* sse2_utf8_kernels() noexcept;
const Utf8EncodeTable* avx2_utf8_kernels() noexcept;

// The code-point-at-a-time loops, also used by the vector kernels for the
// ends of their ranges and for the blocks they do not handle themselves.
namespace scalar {
std::optional<size_t> utf8_length(const uint8_t* p, size_t n) noexcept;
std::optional<size_t> utf8_length(const uint16_t* p, size_t n) noexcept;
std::optional<size_t> utf8_length(const uint32_t* p, size_t n) noexcept;
char* encode_utf8(const uint8_t* p, size_t n, char* out) noexcept;
char* encode_utf8(const uint16_t* p, size_t n, char* out) noexcept;
char* encode_utf8(const uint32_t* p, size_t n, char* out) noexcept;
}  // namespace scalar

}  // namespace arbolite::simd
