// The AVX2 kernels of every family. This file alone is compiled for AVX2;
// its tables are used only when the processor reports AVX2.
#include "simd/generic.hpp"
#include "simd/target.hpp"
#include "simd/utf8_decode_avx2.hpp"
#include "simd/utf8_encode_avx2.hpp"

namespace arbolite::simd {

#if ARBOLITE_TARGET_AVX2()
namespace {

// UTF-8 validation 32 bytes at a time, by table lookups. Every byte is paired
// with the byte before it; three 16-entry tables, indexed by the high nibble
// of the previous byte, its low nibble and the high nibble of the byte, each
// give the set of error classes that the pair may belong to. A pair is wrong
// when all three agree on a class. Third and fourth bytes of a sequence (two
// continuations in a row) are told apart from stray continuations by looking
// two and three bytes back for a lead byte.
namespace utf8 {

constexpr uint8_t kTooShort = 1 << 0;      // lead byte not followed by a continuation
constexpr uint8_t kTooLong = 1 << 1;       // ASCII followed by a continuation
constexpr uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
constexpr uint8_t kTooLarge = 1 << 3;      // F4 90..BF, F5..FF 90..BF
constexpr uint8_t kSurrogate = 1 << 4;     // ED A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;     // C0..C1 80..BF
constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr uint8_t kTwoConts = 1 << 7;      // continuation after continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

inline __m256i table16(uint8_t t0, uint8_t t1, uint8_t t2, uint8_t t3, uint8_t t4, uint8_t t5, uint8_t t6,
                       uint8_t t7, uint8_t t8, uint8_t t9, uint8_t t10, uint8_t t11, uint8_t t12, uint8_t t13,
                       uint8_t t14, uint8_t t15) {
    return _mm256_setr_epi8(static_cast<char>(t0), static_cast<char>(t1), static_cast<char>(t2),
                            static_cast<char>(t3), static_cast<char>(t4), static_cast<char>(t5),
                            static_cast<char>(t6), static_cast<char>(t7), static_cast<char>(t8),
                            static_cast<char>(t9), static_cast<char>(t10), static_cast<char>(t11),
                            static_cast<char>(t12), static_cast<char>(t13), static_cast<char>(t14),
                            static_cast<char>(t15), static_cast<char>(t0), static_cast<char>(t1),
                            static_cast<char>(t2), static_cast<char>(t3), static_cast<char>(t4),
                            static_cast<char>(t5), static_cast<char>(t6), static_cast<char>(t7),
                            static_cast<char>(t8), static_cast<char>(t9), static_cast<char>(t10),
                            static_cast<char>(t11), static_cast<char>(t12), static_cast<char>(t13),
                            static_cast<char>(t14), static_cast<char>(t15));
}

// The 32 bytes that end N bytes before the end of `input`: the last N bytes
// of `previous` followed by the first 32 - N of `input`.
template <int N>
inline __m256i shifted_in(__m256i input, __m256i previous) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

inline __m256i high_nibbles(__m256i v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F)); }
inline __m256i low_nibbles(__m256i v) { return _mm256_and_si256(v, _mm256_set1_epi8(0x0F)); }

struct Checker {
    __m256i error = _mm256_setzero_si256();
    __m256i previous = _mm256_setzero_si256();
    __m256i previous_incomplete = _mm256_setzero_si256();

    void feed(__m256i input) {
        if (_mm256_movemask_epi8(input) == 0) {
            // ASCII: only a sequence cut off at the end of the previous
            // register can be wrong here.
            error = _mm256_or_si256(error, previous_incomplete);
            previous_incomplete = _mm256_setzero_si256();
            previous = input;
            return;
        }
        const __m256i prev1 = shifted_in<1>(input, previous);
        const __m256i by_prev_high = _mm256_shuffle_epi8(
            table16(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // 0___
                    kTwoConts, kTwoConts, kTwoConts, kTwoConts,                                      // 10__
                    kTooShort | kOverlong2,                                                          // 1100
                    kTooShort,                                                                       // 1101
                    kTooShort | kOverlong3 | kSurrogate,                                             // 1110
                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),                             // 1111
            high_nibbles(prev1));
        const __m256i by_prev_low = _mm256_shuffle_epi8(
            table16(kCarry | kOverlong3 | kOverlong2 | kOverlong4,                            // ___0
                    kCarry | kOverlong2,                                                      // ___1
                    kCarry, kCarry,                                                           // ___2, 3
                    kCarry | kTooLarge,                                                       // ___4
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,   // ___5, 6
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,   // ___7, 8
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,   // ___9, A
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,   // ___B, C
                    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,                          // ___D
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000),  // ___E, F
            low_nibbles(prev1));
        const __m256i by_high = _mm256_shuffle_epi8(
            table16(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,  // 1000
                    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,                   // 1001
                    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // 1010
                    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // 1011
                    kTooShort, kTooShort, kTooShort, kTooShort),                                  // 11__
            high_nibbles(input));
        const __m256i special = _mm256_and_si256(_mm256_and_si256(by_prev_high, by_prev_low), by_high);

        // Top bit set where a lead byte of three (four) bytes sits two
        // (three) bytes back: this byte must then be a continuation, and the
        // kTwoConts class above is expected rather than an error.
        const __m256i third = _mm256_subs_epu8(shifted_in<2>(input, previous), _mm256_set1_epi8(0xE0 - 0x80));
        const __m256i fourth = _mm256_subs_epu8(shifted_in<3>(input, previous), _mm256_set1_epi8(0xF0 - 0x80));
        const __m256i must_continue =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
        error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));

        // Non-zero where the register ends inside a sequence: a lead of two
        // or more bytes in the last byte, of three or more in the second
        // last, of four in the third last.
        const __m256i limits = _mm256_setr_epi8(
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
        previous_incomplete = _mm256_subs_epu8(input, limits);
        previous = input;
    }

    bool valid() const {
        const __m256i all = _mm256_or_si256(error, previous_incomplete);
        return _mm256_testz_si256(all, all) != 0;
    }
};

}  // namespace utf8

bool is_valid_utf8_avx2(const char* data, size_t len) noexcept {
    utf8::Checker check;
    const char* p = data;
    const char* end = data + len;
    while (static_cast<size_t>(end - p) >= 64) {
        const __m256i a = Avx2Ops::load(p);
        const __m256i b = Avx2Ops::load(p + 32);
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0 &&
            _mm256_testz_si256(check.previous_incomplete, check.previous_incomplete)) {
            check.previous = b;
        } else {
            check.feed(a);
            check.feed(b);
        }
        p += 64;
    }
    while (static_cast<size_t>(end - p) >= 32) {
        check.feed(Avx2Ops::load(p));
        p += 32;
    }
    if (p != end) {
        // Pad the tail with ASCII.
        alignas(32) char tail[32] = {};
        std::memcpy(tail, p, static_cast<size_t>(end - p));
        check.feed(Avx2Ops::load(tail));
    }
    return check.valid();
}

constexpr KernelTable make_avx2_table() {
    KernelTable t = generic_table<Avx2Ops>("avx2");
    t.is_valid_utf8 = &is_valid_utf8_avx2;
    return t;
}

constexpr KernelTable kAvx2Table = make_avx2_table();
constexpr Utf8EncodeTable kAvx2Utf8EncodeTable = utf8_encode_table<Utf8Avx2Level>("avx2");
constexpr Utf8DecodeTable kAvx2Utf8DecodeTable = avx2_utf8_decode_table_of();

}  // namespace

const KernelTable* avx2_kernels() noexcept { return &kAvx2Table; }
const Utf8EncodeTable* avx2_utf8_kernels() noexcept { return &kAvx2Utf8EncodeTable; }
const Utf8DecodeTable* avx2_utf8_decoders() noexcept { return &kAvx2Utf8DecodeTable; }
#else
const KernelTable* avx2_kernels() noexcept { return nullptr; }
const Utf8EncodeTable* avx2_utf8_kernels() noexcept { return nullptr; }
const Utf8DecodeTable* avx2_utf8_decoders() noexcept { return nullptr; }
#endif

}  // namespace arbolite::simd
