// The kernel tables behind the byte searches. A table bundles one
// implementation of every search for one instruction set; the process picks
// one table on first use and keeps it. Tests reach every table through
// kernels_for_testing().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "simd/byte_set.hpp"
#include "simd/byte_tally.hpp"

namespace arbolite::simd {

// The markup bytes of one 64-byte block, as bitmaps: bit i is set when byte
// i of the block is of the kind.
struct BlockMasks {
    uint64_t lt;            // '<'
    uint64_t gt;            // '>'
    uint64_t dq;            // '"'
    uint64_t sq;            // '\''
    uint64_t low_or_slash;  // '/' and bytes up to ' ' (the whitespace that
                            // ends names, among other control characters)
};

inline constexpr size_t kBlockSize = 64;

struct KernelTable {
    const char* name;
    const char* (*find_byte)(const char* begin, const char* end, char c) noexcept;
    const char* (*find_any4)(const char* begin, const char* end, char a, char b, char c, char d) noexcept;
    const char* (*find_any8)(const char* begin, const char* end, const char* set) noexcept;
    size_t (*count_byte)(const char* begin, const char* end, char c) noexcept;
    bool (*is_valid_utf8)(const char* data, size_t len) noexcept;
    // Classifies `count` whole blocks starting at `blocks` into out[0..count).
    void (*classify_blocks)(const char* blocks, size_t count, BlockMasks* out) noexcept;
    // The first byte of [p, end) in `set`, or `end`. The search may read
    // back before `p` as far as `floor` (<= p), never further.
    const char* (*find_in_set)(const char* p, const char* end, const char* floor, const ByteSet& set) noexcept;
    // The tally of [data, data + size) (simd/byte_tally.hpp).
    ByteTally (*tally_bytes)(const char* data, size_t size, const TalliedBytes& bytes) noexcept;
};

// The table in use, chosen once from what the processor supports, under the
// cap of ARBOLITE_KERNELS (simd/dispatch.hpp).
const KernelTable& active_kernels() noexcept;

// Every table that runs on this processor, the byte-at-a-time reference
// first, then the portable 64-bit word kernel, then the vector kernels.
std::span<const KernelTable* const> kernels_for_testing() noexcept;

// Classifies the last, partial block of a buffer (`len` < 64 bytes at `p`):
// no bit is set beyond `len`. Reads only [p, p+len).
BlockMasks classify_partial_block(const KernelTable& kernels, const char* p, size_t len) noexcept;

// The individual tables. The vector ones are null when the build does not
// target their instruction set; whether the processor runs them is checked by
// the callers (active_kernels, kernels_for_testing).
extern const KernelTable kScalarKernels;
extern const KernelTable kSwarKernels;
const KernelTable* sse2_kernels() noexcept;
const KernelTable* avx2_kernels() noexcept;

}  // namespace arbolite::simd
