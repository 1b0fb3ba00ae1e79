// The choice among a family of kernel tables (portable scalar and 64-bit
// word tables, and the SSE2 and AVX2 tables where they were compiled in).
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace arbolite::simd {

inline bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// The tables of one family; `sse2` and `avx2` are null where not compiled in.
template <class Table>
struct kernel_family {
    const Table& scalar;
    const Table& swar;
    const Table* sse2;
    const Table* avx2;

    // The best table for this processor: AVX2 where the processor has it,
    // else SSE2 (the x86-64 baseline), else the portable word kernels.
    const Table& best() const noexcept {
        if (avx2 != nullptr && cpu_has_avx2()) return *avx2;
        if (sse2 != nullptr) return *sse2;
        return swar;
    }

    // Every table this processor can run, for tests and benchmarks.
    struct list {
        std::array<const Table*, 4> tables{};
        size_t count = 0;
        std::span<const Table* const> view() const noexcept { return {tables.data(), count}; }
    };
    list runnable() const noexcept {
        list l;
        l.tables[l.count++] = &scalar;
        l.tables[l.count++] = &swar;
        if (sse2 != nullptr) l.tables[l.count++] = sse2;
        if (avx2 != nullptr && cpu_has_avx2()) l.tables[l.count++] = avx2;
        return l;
    }
};

}  // namespace arbolite::simd
