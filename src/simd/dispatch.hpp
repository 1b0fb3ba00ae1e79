// The choice among a family of kernel tables (portable scalar and 64-bit
// word tables, and the SSE2 and AVX2 tables where they were compiled in).
//
// Every family makes its choice once, on first use, and keeps it. The
// choice is the best table the processor runs, unless the environment
// variable ARBOLITE_KERNELS caps it (see kernel_ceiling()).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace arbolite::simd {

inline bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// The instruction-set levels a choice can be capped at, lowest first.
enum class KernelLevel : uint8_t { Portable, Sse2, Avx2 };

// The level a value of ARBOLITE_KERNELS names: "portable", "sse2" or
// "avx2" (ASCII case ignored), or std::nullopt for anything else, null
// included.
std::optional<KernelLevel> parse_kernel_level(const char* value) noexcept;

// The highest level any family may choose: the level ARBOLITE_KERNELS names,
// or avx2 (no cap) where it is unset or names no level (an unknown value is
// ignored silently, as if unset). Read from the environment once, on the
// first call; every family asks on its own first use, so all of them follow
// the value the variable had when the first one chose.
KernelLevel kernel_ceiling() noexcept;

// The tables of one family; `swar`, `sse2` and `avx2` are null where the
// family has no such table or the build does not target its instruction set.
template <class Table>
struct KernelFamily {
    const Table& scalar;
    const Table* swar;
    const Table* sse2;
    const Table* avx2;

    // The best table for this processor at or below `ceiling`: AVX2 where
    // the processor has it, else SSE2 (the x86-64 baseline), else the
    // portable word kernels, else the reference loops.
    const Table& best_up_to(KernelLevel ceiling) const noexcept {
        if (ceiling >= KernelLevel::Avx2 && avx2 != nullptr && cpu_has_avx2()) return *avx2;
        if (ceiling >= KernelLevel::Sse2 && sse2 != nullptr) return *sse2;
        return swar != nullptr ? *swar : scalar;
    }

    // The table a family uses: the best one under the process's cap.
    const Table& best() const noexcept { return best_up_to(kernel_ceiling()); }

    // Every table this processor can run, for tests and benchmarks.
    struct List {
        std::array<const Table*, 4> tables{};
        size_t count = 0;
        std::span<const Table* const> view() const noexcept { return {tables.data(), count}; }
    };
    List runnable() const noexcept {
        List l;
        l.tables[l.count++] = &scalar;
        if (swar != nullptr) l.tables[l.count++] = swar;
        if (sse2 != nullptr) l.tables[l.count++] = sse2;
        if (avx2 != nullptr && cpu_has_avx2()) l.tables[l.count++] = avx2;
        return l;
    }
};

// A family's choice, made on first use and kept, and the list of the tables
// this processor runs; `make_family` names the family's tables.
template <class Table, KernelFamily<Table> (*make_family)() noexcept>
struct ChosenKernels {
    static const Table& active() noexcept {
        static const Table& table = make_family().best();
        return table;
    }
    static std::span<const Table* const> for_testing() noexcept {
        static const typename KernelFamily<Table>::List list = make_family().runnable();
        return list.view();
    }
};

}  // namespace arbolite::simd
