// Measuring a text or attribute value as the writer escapes it, in one pass
// over its bytes: the size of its escaped form, and what decoding that form
// needs (its continuation bytes and its largest byte). Used by the walk that
// measures an output before it is written decoded.
#pragma once

#include <cstddef>

#include "simd/kernels.hpp"
#include "write/escape.hpp"

namespace arbolite::write {

struct EscapedMeasure {
    size_t bytes;            // of the escaped form
    size_t continuation;     // bytes 0x80..0xBF (the code points are bytes minus these)
    unsigned char largest;   // the largest byte
};

// The measure of `data` escaped for `mode`: one pass of the byte tally
// (simd/byte_tally.hpp) of the search table in use.
EscapedMeasure escaped_measure(Escape mode, const char* data, size_t size) noexcept;

// The same with the tally of the given table (tests run every table).
EscapedMeasure escaped_measure_with(const simd::KernelTable& kernels, Escape mode, const char* data,
                                    size_t size) noexcept;

// The same, one byte at a time: the reference for tests.
EscapedMeasure escaped_measure_reference(Escape mode, const char* data, size_t size) noexcept;

}  // namespace arbolite::write
