// The SSE2 kernels of every family, the baseline of every x86-64 processor.
#include "simd/generic.hpp"
#include "simd/target.hpp"
#include "simd/utf8_decode_generic.hpp"
#include "simd/utf8_encode_generic.hpp"

namespace arbolite::simd {

#if ARBOLITE_TARGET_SSE2()
namespace {
constexpr kernel_table sse2_table = generic_table<sse2_ops>("sse2");
constexpr Utf8EncodeTable sse2_utf8_encode_table = utf8_encode_table<Utf8Sse2Level>("sse2");
constexpr Utf8DecodeTable sse2_utf8_decode_table = utf8_decode_table<sse2_ops>("sse2");
}  // namespace

const kernel_table* sse2_kernels() noexcept { return &sse2_table; }
const Utf8EncodeTable* sse2_utf8_kernels() noexcept { return &sse2_utf8_encode_table; }
const Utf8DecodeTable* sse2_utf8_decoders() noexcept { return &sse2_utf8_decode_table; }
#else
const kernel_table* sse2_kernels() noexcept { return nullptr; }
const Utf8EncodeTable* sse2_utf8_kernels() noexcept { return nullptr; }
const Utf8DecodeTable* sse2_utf8_decoders() noexcept { return nullptr; }
#endif

}  // namespace arbolite::simd
