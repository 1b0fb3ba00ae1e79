// The AVX2 kernels of escape_measure.hpp. This file alone is compiled for
// AVX2; its kernels are used only when the processor reports AVX2.
//
// 32 bytes at a time: the special bytes are told by their two nibbles (no
// two of them share a low nibble, so a table by the low nibble gives the
// high nibble a special byte must have and what its replacement adds),
// continuation bytes are counted, and the largest byte kept. The per-byte
// counts are summed before they can overflow.
#include "write/escape_measure.hpp"

#include "simd/target.hpp"

#if ARBOLITE_TARGET_AVX2()
#include <immintrin.h>

#include <array>
#include <cstdint>

namespace arbolite::write {
namespace {

// By low nibble: the high nibble of the special byte with it (0xFF: none),
// and the bytes its replacement adds; both halves of the register alike.
struct NibbleTables {
    alignas(32) std::array<uint8_t, 32> high{};
    alignas(32) std::array<uint8_t, 32> added{};
};

template <Escape mode>
constexpr NibbleTables make_tables() {
    NibbleTables t;
    t.high.fill(0xFF);
    for (unsigned c = 0; c < 0x80; ++c) {
        const unsigned size = replacement_of<mode>(static_cast<char>(c)).size;
        if (size == 0) continue;
        for (unsigned half : {0u, 16u}) {
            t.high[half + (c & 15)] = static_cast<uint8_t>(c >> 4);
            t.added[half + (c & 15)] = static_cast<uint8_t>(size - 1);
        }
    }
    return t;
}

template <Escape mode>
constexpr NibbleTables kTables = make_tables<mode>();

inline uint64_t sum_bytes(__m256i counts) {
    const __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
    const __m128i both = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(both)) + static_cast<uint64_t>(_mm_extract_epi64(both, 1));
}

template <Escape mode>
EscapedMeasure measure(const char* data, size_t size) noexcept {
    const __m256i high_of = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTables<mode>.high.data()));
    const __m256i added_of = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTables<mode>.added.data()));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    // Continuation bytes, 0x80..0xBF, are those below -64 as signed bytes.
    const __m256i below_lead = _mm256_set1_epi8(-64);
    const char* p = data;
    const char* const end = data + size;
    uint64_t added = 0, continuation = 0;
    __m256i top = _mm256_setzero_si256();
    while (end - p >= 32) {
        // A replacement adds at most 5 to a byte's count: 50 rounds fit.
        __m256i adds = _mm256_setzero_si256(), conts = _mm256_setzero_si256();
        for (int round = 0; round < 50 && end - p >= 32; ++round, p += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            top = _mm256_max_epu8(top, v);
            conts = _mm256_sub_epi8(conts, _mm256_cmpgt_epi8(below_lead, v));
            const __m256i low = _mm256_and_si256(v, nibble);
            const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
            const __m256i special = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(high_of, low), high);
            adds = _mm256_add_epi8(adds, _mm256_and_si256(special, _mm256_shuffle_epi8(added_of, low)));
        }
        added += sum_bytes(adds);
        continuation += sum_bytes(conts);
    }
    alignas(32) unsigned char lanes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), top);
    unsigned char largest = 0;
    for (const unsigned char b : lanes) largest = b > largest ? b : largest;
    const EscapedMeasure rest = escaped_measure_reference(mode, p, static_cast<size_t>(end - p));
    return {static_cast<size_t>(p - data) + added + rest.bytes, continuation + rest.continuation,
            rest.largest > largest ? rest.largest : largest};
}

}  // namespace

escaped_measure_fn avx2_escaped_measure(Escape mode) noexcept {
    return mode == Escape::Text ? &measure<Escape::Text> : &measure<Escape::Attr>;
}

}  // namespace arbolite::write

#else

namespace arbolite::write {
escaped_measure_fn avx2_escaped_measure(Escape) noexcept { return nullptr; }
}  // namespace arbolite::write

#endif
