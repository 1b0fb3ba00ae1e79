#include "simd/utf8_encode.hpp"
#include "simd/utf8_decode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fenced.hpp"
#include "utf8_reference.hpp"

namespace arbolite::simd {
namespace {

using testing_support::Fenced;

// The plain encoder the kernels are compared with: one code point at a time,
// a surrogate as its three-byte form, the length only for scalar values.
template <class Unit>
std::string reference_encode(const std::vector<Unit>& text) {
    std::string out;
    for (const Unit unit : text) testing_support::append_utf8(out, unit);
    return out;
}

template <class Unit>
std::optional<size_t> reference_length(const std::vector<Unit>& text) {
    for (const Unit unit : text)
        if ((unit >= 0xD800 && unit <= 0xDFFF) || uint32_t{unit} > 0x10FFFF) return std::nullopt;
    return reference_encode(text).size();
}

std::optional<size_t> length_of(const Utf8EncodeTable& k, const uint8_t* p, size_t n) { return k.length_latin1(p, n); }
std::optional<size_t> length_of(const Utf8EncodeTable& k, const uint16_t* p, size_t n) { return k.length_ucs2(p, n); }
std::optional<size_t> length_of(const Utf8EncodeTable& k, const uint32_t* p, size_t n) { return k.length_ucs4(p, n); }
char* encode_with(const Utf8EncodeTable& k, const uint8_t* p, size_t n, char* out) { return k.encode_latin1(p, n, out); }
char* encode_with(const Utf8EncodeTable& k, const uint16_t* p, size_t n, char* out) { return k.encode_ucs2(p, n, out); }
char* encode_with(const Utf8EncodeTable& k, const uint32_t* p, size_t n, char* out) { return k.encode_ucs4(p, n, out); }

constexpr size_t capacity = size_t{8} << 20;

// Runs one kernel table on `text`, placed once right after a fence and once
// right before one, with the output ending right before a fence, and compares
// with the reference.
template <class Unit>
void expect_matches_reference(const Utf8EncodeTable& k, const std::vector<Unit>& text) {
    const size_t bytes = text.size() * sizeof(Unit);
    const std::string expected = reference_encode(text);
    const std::optional<size_t> expected_length = reference_length(text);
    static Fenced input(capacity), output(capacity);
    ASSERT_LE(bytes, capacity);
    ASSERT_LE(expected.size(), capacity);
    for (char* at : {input.start(), input.end_minus(bytes)}) {
        if (bytes != 0) std::memcpy(at, text.data(), bytes);
        const auto* units = reinterpret_cast<const Unit*>(at);
        EXPECT_EQ(length_of(k, units, text.size()), expected_length) << k.name << ", " << text.size() << " units";
        char* out = output.end_minus(expected.size());
        char* end = encode_with(k, units, text.size(), out);
        ASSERT_EQ(static_cast<size_t>(end - out), expected.size()) << k.name << ", " << text.size() << " units";
        EXPECT_EQ(std::string(out, end), expected) << k.name << ", " << text.size() << " units";
    }
}

// Random text drawn from weighted ranges of code points.
struct range {
    uint32_t first, last;
    unsigned weight;
};

template <class Unit>
std::vector<Unit> random_text(std::mt19937& rng, size_t n, const std::vector<range>& mix) {
    unsigned total = 0;
    for (const range& r : mix) total += r.weight;
    std::vector<Unit> text(n);
    for (Unit& unit : text) {
        unsigned pick = static_cast<unsigned>(rng() % total);
        const range* r = mix.data();
        while (pick >= r->weight) pick -= (r++)->weight;
        unit = static_cast<Unit>(r->first + rng() % (r->last - r->first + 1));
    }
    return text;
}

const std::vector<range> ascii_only{{0x00, 0x7F, 1}};
const std::vector<range> latin1_prose{{0x20, 0x7E, 30}, {0xA0, 0xFF, 2}};
const std::vector<range> latin1_dense{{0x00, 0xFF, 1}};
const std::vector<range> two_byte_prose{{0x20, 0x7E, 4}, {0x80, 0x7FF, 10}};
const std::vector<range> bmp_mixed{{0x00, 0x7F, 4}, {0x80, 0x7FF, 3}, {0x800, 0xD7FF, 3}, {0xE000, 0xFFFF, 2}};
const std::vector<range> cjk_only{{0x4E00, 0x9FFF, 1}};
const std::vector<range> all_scalar{
    {0x00, 0x7F, 4}, {0x80, 0x7FF, 3}, {0x800, 0xD7FF, 3}, {0xE000, 0xFFFF, 2}, {0x10000, 0x10FFFF, 2}};
const std::vector<range> astral_sprinkled{{0x20, 0x7E, 40}, {0x400, 0x4FF, 10}, {0x1F300, 0x1F6FF, 1}};

class Utf8Kernels : public testing::TestWithParam<const Utf8EncodeTable*> {
protected:
    const Utf8EncodeTable& k() const { return *GetParam(); }
};

// Lengths around every register width and loop stride the kernels use.
std::vector<size_t> interesting_lengths() {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 100; ++n) lengths.push_back(n);
    for (size_t n : {127, 128, 129, 255, 256, 257, 511, 512, 513, 1000, 4099}) lengths.push_back(n);
    return lengths;
}

// Code points at every boundary between sequence lengths, and around the
// surrogates, each placed at every position of an ASCII or non-ASCII text.
TEST_P(Utf8Kernels, BoundaryCodePointsAtEveryPosition) {
    const uint32_t boundaries[] = {0x00,   0x01,   0x7F,   0x80,    0xBF,    0xC0,    0xFF,    0x100,
                                   0x7FF,  0x800,  0xFFF,  0x1000,  0xD7FF,  0xE000,  0xFFFD,  0xFFFF,
                                   0x10000, 0x1FFFF, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000, 0x10FFFF};
    std::mt19937 rng(1);
    for (const uint32_t c : boundaries) {
        for (const size_t n : {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 97}) {
            for (const auto* filler : {&ascii_only, &bmp_mixed}) {
                for (size_t at = 0; at < n; ++at) {
                    if (c <= 0xFF) {
                        auto text = random_text<uint8_t>(rng, n, filler == &ascii_only ? ascii_only : latin1_dense);
                        text[at] = static_cast<uint8_t>(c);
                        expect_matches_reference(k(), text);
                    }
                    if (c <= 0xFFFF) {
                        auto text = random_text<uint16_t>(rng, n, *filler);
                        text[at] = static_cast<uint16_t>(c);
                        expect_matches_reference(k(), text);
                    }
                    auto text = random_text<uint32_t>(rng, n, *filler);
                    text[at] = c;
                    expect_matches_reference(k(), text);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// A single surrogate (or, in UCS-4, a value beyond U+10FFFF) anywhere makes
// the text unencodable; the encoder still writes exactly the reference's
// bytes for it, so a caller that skipped the check cannot overrun.
TEST_P(Utf8Kernels, UnencodableUnitAtEveryPosition) {
    std::mt19937 rng(2);
    for (const size_t n : {1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 257}) {
        for (size_t at = 0; at < n; ++at) {
            for (const uint16_t s : {uint16_t{0xD800}, uint16_t{0xDBFF}, uint16_t{0xDC00}, uint16_t{0xDFFF}}) {
                auto text16 = random_text<uint16_t>(rng, n, bmp_mixed);
                text16[at] = s;
                expect_matches_reference(k(), text16);
                auto text32 = random_text<uint32_t>(rng, n, all_scalar);
                text32[at] = s;
                expect_matches_reference(k(), text32);
            }
            for (const uint32_t big : {0x110000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
                auto text = random_text<uint32_t>(rng, n, ascii_only);
                text[at] = big;
                EXPECT_EQ(length_of(k(), text.data(), n), std::nullopt) << k().name << " " << std::hex << big;
            }
            if (HasFatalFailure()) return;
        }
    }
}

struct mix_case {
    const char* name;
    const std::vector<range>* mix;
};

// Random texts of every length up to 100 and beyond, from ASCII to mostly
// non-ASCII, in each storage width that can hold them.
TEST_P(Utf8Kernels, RandomMixesAtEveryLength) {
    const mix_case mixes[] = {
        {"ascii", &ascii_only},          {"latin1 prose", &latin1_prose}, {"latin1 dense", &latin1_dense},
        {"two-byte", &two_byte_prose},   {"bmp", &bmp_mixed},             {"cjk", &cjk_only},
        {"astral", &astral_sprinkled},   {"all", &all_scalar},
    };
    std::mt19937 rng(3);
    for (const mix_case& m : mixes) {
        SCOPED_TRACE(m.name);
        uint32_t top = 0;
        for (const range& r : *m.mix) top = std::max(top, r.last);
        for (const size_t n : interesting_lengths()) {
            if (top <= 0xFF) expect_matches_reference(k(), random_text<uint8_t>(rng, n, *m.mix));
            if (top <= 0xFFFF) expect_matches_reference(k(), random_text<uint16_t>(rng, n, *m.mix));
            expect_matches_reference(k(), random_text<uint32_t>(rng, n, *m.mix));
            if (HasFatalFailure()) return;
        }
    }
}

// Texts long enough for the vector length counters to be summed and restarted
// several times, with every unit adding the most to them.
TEST_P(Utf8Kernels, LongTextsOfLongestSequences) {
    const size_t n = 1'200'000;
    EXPECT_EQ(length_of(k(), std::vector<uint8_t>(n, 0xE9).data(), n), 2 * n);
    EXPECT_EQ(length_of(k(), std::vector<uint16_t>(n, 0x4E2D).data(), n), 3 * n);
    EXPECT_EQ(length_of(k(), std::vector<uint32_t>(n, 0x1F600).data(), n), 4 * n);
    EXPECT_EQ(length_of(k(), std::vector<uint8_t>(n, 'a').data(), n), n);
    std::mt19937 rng(4);
    expect_matches_reference(k(), random_text<uint32_t>(rng, n, all_scalar));
    expect_matches_reference(k(), random_text<uint16_t>(rng, n, bmp_mixed));
    // A surrogate after all the counting still counts.
    std::vector<uint16_t> late(n, 0x4E2D);
    late[n - 20] = 0xDFFF;
    EXPECT_EQ(length_of(k(), late.data(), n), std::nullopt);
}

std::string kernel_name(const testing::TestParamInfo<const Utf8EncodeTable*>& info) { return info.param->name; }

INSTANTIATE_TEST_SUITE_P(All, Utf8Kernels, testing::ValuesIn(utf8_kernels_for_testing()), kernel_name);

// The public functions go through the table chosen for this processor.
TEST(Utf8Encode, PublicFunctionsUseActiveKernels) {
    const std::vector<uint8_t> latin1{'c', 'a', 'f', 0xE9};
    const std::vector<uint16_t> bmp{0x65E5, 0x672C, '!'};
    const std::vector<uint32_t> astral{0x1F30D, 'x', 0xD800};
    EXPECT_EQ(utf8_length(latin1.data(), latin1.size()), 5u);
    EXPECT_EQ(utf8_length(bmp.data(), bmp.size()), 7u);
    EXPECT_EQ(utf8_length(astral.data(), 2), 5u);
    EXPECT_EQ(utf8_length(astral.data(), 3), std::nullopt);
    char out[16];
    EXPECT_EQ(std::string(out, encode_utf8(latin1.data(), latin1.size(), out)), "caf\xC3\xA9");
    EXPECT_EQ(std::string(out, encode_utf8(bmp.data(), bmp.size(), out)), "\xE6\x97\xA5\xE6\x9C\xAC!");
    EXPECT_EQ(std::string(out, encode_utf8(astral.data(), 2, out)), "\xF0\x9F\x8C\x8Dx");
    const auto kernels = utf8_kernels_for_testing();
    EXPECT_STREQ(kernels.front()->name, "scalar");
    EXPECT_EQ(&active_utf8_kernels(), kernels.back());
}

// ---------------------------------------------------------------------------
// Decoding: the text the reference encoded comes back, in the narrowest
// units, with the input ending right before a fence and the output sized
// exactly and ending right before one.

template <class Unit>
void expect_decodes_to(const std::string& utf8, const std::vector<uint32_t>& expected) {
    static Fenced input(capacity), output(capacity);
    char* at = input.end_minus(utf8.size());
    if (!utf8.empty()) std::memcpy(at, utf8.data(), utf8.size());
    Unit* out = reinterpret_cast<Unit*>(output.end_minus(expected.size() * sizeof(Unit)));
    decode_utf8(at, utf8.size(), out, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(uint32_t{out[i]}, expected[i]) << "at " << i << " of " << expected.size();
}

void expect_round_trip(const std::vector<uint32_t>& text) {
    const std::string utf8 = reference_encode(text);
    const uint32_t largest = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    const CodeUnits units = largest < 0x80      ? CodeUnits::Ascii
                            : largest < 0x100   ? CodeUnits::Latin1
                            : largest < 0x10000 ? CodeUnits::Ucs2
                                                : CodeUnits::Ucs4;
    const Utf8Measure measured = measure_utf8(utf8.data(), utf8.size());
    ASSERT_EQ(measured.code_points, text.size());
    ASSERT_EQ(measured.units, units) << "largest " << largest;
    switch (units) {
        case CodeUnits::Ascii:
        case CodeUnits::Latin1: expect_decodes_to<uint8_t>(utf8, text); break;
        case CodeUnits::Ucs2: expect_decodes_to<uint16_t>(utf8, text); break;
        case CodeUnits::Ucs4: expect_decodes_to<uint32_t>(utf8, text); break;
    }
}

TEST(Utf8Decode, RandomTextsOfEveryMixAndLength) {
    std::mt19937 rng(11);
    for (const auto* mix : {&ascii_only, &latin1_prose, &latin1_dense, &two_byte_prose, &bmp_mixed, &cjk_only,
                            &all_scalar, &astral_sprinkled}) {
        for (size_t n = 0; n <= 70; ++n) expect_round_trip(random_text<uint32_t>(rng, n, *mix));
        expect_round_trip(random_text<uint32_t>(rng, 100'000, *mix));
    }
}

// The width is that of the largest code point, found at any position, and
// the kinds' limits are exact.
TEST(Utf8Decode, WidthAtEveryLimit) {
    for (uint32_t c : {0x7Fu, 0x80u, 0xFFu, 0x100u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        for (size_t at : {0, 1, 15, 16, 17, 40}) {
            std::vector<uint32_t> text(41, 'a');
            text[at] = c;
            expect_round_trip(text);
        }
    }
}

// Bytes that are not UTF-8 give some result, but nothing is read or written
// outside the buffers.
TEST(Utf8Decode, InvalidBytesStayInBounds) {
    std::mt19937 rng(12);
    static Fenced input(1 << 16), output(1 << 16);
    for (int round = 0; round < 2000; ++round) {
        const size_t n = rng() % 64;
        char* at = input.end_minus(n);
        for (size_t i = 0; i < n; ++i) at[i] = static_cast<char>(0x80 + rng() % 0x80);
        const Utf8Measure measured = measure_utf8(at, n);
        ASSERT_LE(measured.code_points, n);
        auto* out = reinterpret_cast<uint32_t*>(output.end_minus(measured.code_points * 4));
        decode_utf8(at, n, out, measured.code_points);
    }
}

}  // namespace
}  // namespace arbolite::simd
