// Measuring a text or attribute value as the writer escapes it, in one pass
// over its bytes: the size of its escaped form, and what decoding that form
// needs (its continuation bytes and its largest byte). Used by the walk that
// measures an output before it is written decoded.
#pragma once

#include <cstddef>

#include "write/escape.hpp"

namespace arbolite::write {

struct EscapedMeasure {
    size_t bytes;            // of the escaped form
    size_t continuation;     // bytes 0x80..0xBF (the code points are bytes minus these)
    unsigned char largest;   // the largest byte
};

using escaped_measure_fn = EscapedMeasure (*)(const char* data, size_t size) noexcept;

// The vector kernel for `mode`, or null where the processor (or the build)
// has none, or ARBOLITE_KERNELS caps the choice below AVX2: the caller then
// measures the escaped pieces one by one. Chosen once, on first use.
escaped_measure_fn escaped_measure_kernel(Escape mode) noexcept;

// The AVX2 kernels, null when the build does not target AVX2 (the choice
// above also asks the processor).
escaped_measure_fn avx2_escaped_measure(Escape mode) noexcept;

// The same, one byte at a time: the reference for tests.
EscapedMeasure escaped_measure_reference(Escape mode, const char* data, size_t size) noexcept;

}  // namespace arbolite::write
