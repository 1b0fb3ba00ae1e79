// Byte-at-a-time versions of the searches: the reference that the vector
// kernels are tested against, and the UTF-8 sequence check that the kernels
// fall back on for runs of non-ASCII bytes.
#pragma once

#include <cstddef>

#include "simd/kernels.hpp"

namespace arbolite::simd::scalar {

const char* find_byte(const char* begin, const char* end, char c) noexcept;
const char* find_any4(const char* begin, const char* end, char a, char b, char c, char d) noexcept;
const char* find_any8(const char* begin, const char* end, const char* set) noexcept;
size_t count_byte(const char* begin, const char* end, char c) noexcept;
bool is_valid_utf8(const char* data, size_t len) noexcept;
void classify_blocks(const char* blocks, size_t count, BlockMasks* out) noexcept;
const char* find_in_set(const char* p, const char* end, const char* floor, const ByteSet& set) noexcept;

// Validates the UTF-8 sequences that start at `p` (a non-ASCII byte) for as
// long as sequences start with non-ASCII bytes. Returns the first ASCII byte
// after them (or `end`), or null when a sequence is malformed or truncated.
const char* validate_non_ascii_run(const char* p, const char* end) noexcept;

}  // namespace arbolite::simd::scalar
