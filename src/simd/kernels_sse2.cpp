// The SSE2 kernels, the baseline of every x86-64 processor.
#include "simd/generic.hpp"
#include "simd/target.hpp"

namespace arbolite::simd {

#if ARBOLITE_TARGET_SSE2()
namespace {
constexpr kernel_table sse2_table = generic_table<sse2_ops>("sse2");
}  // namespace

const kernel_table* sse2_kernels() noexcept { return &sse2_table; }
#else
const kernel_table* sse2_kernels() noexcept { return nullptr; }
#endif

}  // namespace arbolite::simd
