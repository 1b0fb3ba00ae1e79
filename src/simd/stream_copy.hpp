// Copies into a large fresh output that nobody reads soon: stores that
// bypass the caches, so that the output neither pulls each line in before
// it is written over nor pushes out the input still being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif

namespace arbolite::simd {

// Copies `bytes` from `from` to `to`; the blocks of 16 bytes aligned in
// `to` bypass the caches. The copied bytes are visible to other threads
// only after end_streaming() (or any lock handed over later).
inline void copy_streaming(void* to, const void* from, size_t bytes) noexcept {
#if ARBOLITE_TARGET_SSE2()
    auto* d = static_cast<char*>(to);
    const auto* s = static_cast<const char*>(from);
    const size_t head = (0 - reinterpret_cast<uintptr_t>(d)) & 15;
    if (bytes < head + 64) {
        std::memcpy(d, s, bytes);
        return;
    }
    std::memcpy(d, s, head);
    d += head;
    s += head;
    bytes -= head;
    for (; bytes >= 64; d += 64, s += 64, bytes -= 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
    std::memcpy(d, s, bytes);
#else
    std::memcpy(to, from, bytes);
#endif
}

// Orders the streaming stores before every later store.
inline void end_streaming() noexcept {
#if ARBOLITE_TARGET_SSE2()
    _mm_sfence();
#endif
}

}  // namespace arbolite::simd
