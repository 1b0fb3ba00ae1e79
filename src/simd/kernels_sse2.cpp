// The SSE2 kernels of every family, the baseline of every x86-64 processor.
#include "simd/generic.hpp"
#include "simd/target.hpp"
#include "simd/utf8_decode_generic.hpp"
#include "simd/utf8_encode_generic.hpp"

namespace arbolite::simd {

#if ARBOLITE_TARGET_SSE2()
namespace {
constexpr KernelTable kSse2Table = generic_table<Sse2Ops>("sse2");
constexpr Utf8EncodeTable kSse2Utf8EncodeTable = utf8_encode_table<Utf8Sse2Level>("sse2");
constexpr Utf8DecodeTable kSse2Utf8DecodeTable = utf8_decode_table<Sse2Ops>("sse2");
}  // namespace

const KernelTable* sse2_kernels() noexcept { return &kSse2Table; }
const Utf8EncodeTable* sse2_utf8_kernels() noexcept { return &kSse2Utf8EncodeTable; }
const Utf8DecodeTable* sse2_utf8_decoders() noexcept { return &kSse2Utf8DecodeTable; }
#else
const KernelTable* sse2_kernels() noexcept { return nullptr; }
const Utf8EncodeTable* sse2_utf8_kernels() noexcept { return nullptr; }
const Utf8DecodeTable* sse2_utf8_decoders() noexcept { return nullptr; }
#endif

}  // namespace arbolite::simd
