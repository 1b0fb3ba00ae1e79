// Every decoder table against the code points the text was made from: random
// texts of every class of code point at every length around the vector
// widths, with the input and the output each ending right before an
// inaccessible page.
#include "simd/utf8_decode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fenced.hpp"
#include "utf8_reference.hpp"

namespace arbolite::simd {
namespace {

using testing_support::Fenced;

std::string encode(const std::vector<uint32_t>& text) {
    std::string out;
    for (const uint32_t c : text) testing_support::append_utf8(out, c);
    return out;
}

struct range {
    uint32_t first, last;
    unsigned weight;
};

// Random scalar values from weighted ranges; with `run` > 0, runs of ASCII
// up to `run` long alternate with runs of the mix (the widening paths).
std::vector<uint32_t> random_text(std::mt19937& rng, size_t n, const std::vector<range>& mix, size_t run = 0) {
    unsigned total = 0;
    for (const range& r : mix) total += r.weight;
    std::vector<uint32_t> text;
    while (text.size() < n) {
        if (run != 0) {
            for (size_t k = rng() % (run + 1); k != 0 && text.size() < n; --k) text.push_back(0x20 + rng() % 0x5F);
            if (text.size() == n) break;
        }
        for (size_t k = run != 0 ? 1 + rng() % 8 : n; k != 0 && text.size() < n; --k) {
            unsigned pick = static_cast<unsigned>(rng() % total);
            const range* r = mix.data();
            while (pick >= r->weight) pick -= (r++)->weight;
            text.push_back(r->first + rng() % (r->last - r->first + 1));
        }
    }
    return text;
}

const std::vector<range> ascii_only{{0x00, 0x7F, 1}};
const std::vector<range> latin1_dense{{0x00, 0xFF, 1}};
const std::vector<range> two_byte{{0x20, 0x7E, 4}, {0x80, 0x7FF, 10}};
const std::vector<range> three_byte{{0x800, 0xD7FF, 3}, {0xE000, 0xFFFF, 1}};
const std::vector<range> four_byte{{0x10000, 0x10FFFF, 1}};
const std::vector<range> all_scalar{
    {0x00, 0x7F, 4}, {0x80, 0x7FF, 3}, {0x800, 0xD7FF, 3}, {0xE000, 0xFFFF, 2}, {0x10000, 0x10FFFF, 2}};
// The longest and shortest of each length, and the bytes around them.
const std::vector<range> edges{{0x7F, 0x80, 1},       {0xFF, 0x100, 1},     {0x7FF, 0x800, 1},
                               {0xFFFF, 0xFFFF, 1},   {0xE000, 0xE000, 1},  {0x10000, 0x10000, 1},
                               {0x10FFFF, 0x10FFFF, 1}, {0x0, 0x0, 1}};

struct mix_case {
    const char* name;
    const std::vector<range>* mix;
    size_t run;
};

const mix_case mixes[] = {
    {"ascii", &ascii_only, 0},  {"latin1", &latin1_dense, 0}, {"latin1 runs", &latin1_dense, 40},
    {"two-byte", &two_byte, 0}, {"three-byte", &three_byte, 0}, {"three-byte runs", &three_byte, 40},
    {"four-byte", &four_byte, 0}, {"all", &all_scalar, 0},      {"all runs", &all_scalar, 70},
    {"edges", &edges, 0},       {"edges runs", &edges, 20},
};

std::vector<size_t> lengths() {
    std::vector<size_t> out;
    for (size_t n = 0; n <= 100; ++n) out.push_back(n);
    for (size_t n : {127, 128, 129, 255, 256, 257, 1000, 4099, 100'000}) out.push_back(n);
    return out;
}

uint32_t largest(const std::vector<uint32_t>& text) {
    return text.empty() ? 0 : *std::max_element(text.begin(), text.end());
}

size_t decode_with(const Utf8DecodeTable& t, const char* p, size_t n, uint8_t* out, size_t room) {
    return t.decode_latin1(p, n, out, room);
}
size_t decode_with(const Utf8DecodeTable& t, const char* p, size_t n, uint16_t* out, size_t room) {
    return t.decode_ucs2(p, n, out, room);
}
size_t decode_with(const Utf8DecodeTable& t, const char* p, size_t n, uint32_t* out, size_t room) {
    return t.decode_ucs4(p, n, out, room);
}

constexpr size_t capacity = size_t{1} << 20;

class Utf8Decoders : public testing::TestWithParam<const Utf8DecodeTable*> {
protected:
    const Utf8DecodeTable& t() const { return *GetParam(); }

    // Decodes the text into units of `room` (at most its length, or `spare`
    // more than it), the input placed right after a fence and right before
    // one, the output ending right before one: the first `room` code points
    // come back (all of them with room to spare).
    template <class Unit>
    void expect_decodes(const std::vector<uint32_t>& text, size_t room, size_t spare) {
        static Fenced input(4 * capacity + 64), output(4 * capacity + 256);
        const std::string utf8 = encode(text);
        for (char* at : {input.start(), input.end_minus(utf8.size())}) {
            if (!utf8.empty()) std::memcpy(at, utf8.data(), utf8.size());
            Unit* out = reinterpret_cast<Unit*>(output.end_minus((room + spare) * sizeof(Unit)));
            const size_t written = decode_with(t(), at, utf8.size(), out, room + spare);
            ASSERT_EQ(written, room) << t().name << ", " << text.size() << " code points";
            for (size_t i = 0; i < room; ++i)
                ASSERT_EQ(uint32_t{out[i]}, text[i]) << t().name << ", at " << i << " of " << text.size();
        }
    }

    // The table's measuring pass counts the code points and finds the
    // narrowest units, the text placed against either fence.
    void expect_measures(const std::vector<uint32_t>& text) {
        static Fenced input(4 * capacity + 64);
        const std::string utf8 = encode(text);
        const uint32_t top = largest(text);
        const CodeUnits units = top < 0x80     ? CodeUnits::Ascii
                                : top <= 0xFF   ? CodeUnits::Latin1
                                : top <= 0xFFFF ? CodeUnits::Ucs2
                                                : CodeUnits::Ucs4;
        for (char* at : {input.start(), input.end_minus(utf8.size())}) {
            if (!utf8.empty()) std::memcpy(at, utf8.data(), utf8.size());
            const Utf8Measure m = t().measure(at, utf8.size());
            ASSERT_EQ(m.code_points, text.size()) << t().name;
            ASSERT_EQ(m.units, units) << t().name << ", " << text.size() << " code points";
        }
    }

    // In every width that holds the text.
    void expect_decodes_all_widths(const std::vector<uint32_t>& text, size_t room, size_t spare = 0) {
        if (room == text.size() && spare == 0) expect_measures(text);
        const uint32_t top = largest(text);
        if (top <= 0xFF) expect_decodes<uint8_t>(text, room, spare);
        if (top <= 0xFFFF) expect_decodes<uint16_t>(text, room, spare);
        expect_decodes<uint32_t>(text, room, spare);
    }
};

TEST_P(Utf8Decoders, RandomTextsOfEveryClassAndLength) {
    std::mt19937 rng(21);
    for (const mix_case& m : mixes) {
        SCOPED_TRACE(m.name);
        for (const size_t n : lengths()) {
            const std::vector<uint32_t> text = random_text(rng, n, *m.mix, m.run);
            expect_decodes_all_widths(text, n);
            expect_decodes_all_widths(text, n, 40);  // room for whole stores to the end
            if (HasFatalFailure()) return;
        }
    }
}

// Each boundary code point at every position of ASCII and of non-ASCII text.
TEST_P(Utf8Decoders, BoundaryCodePointsAtEveryPosition) {
    std::mt19937 rng(22);
    for (const uint32_t c : {0x7Fu, 0x80u, 0xFFu, 0x100u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        for (const size_t n : {15, 16, 17, 31, 32, 33, 47, 48, 49, 65}) {
            for (const auto* filler : {&ascii_only, &all_scalar}) {
                for (size_t at = 0; at < n; ++at) {
                    std::vector<uint32_t> text = random_text(rng, n, *filler);
                    text[at] = c;
                    expect_decodes_all_widths(text, n);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// Less room than code points: exactly the first ones that fit are written,
// nothing after them (the output ends at a fence).
TEST_P(Utf8Decoders, StopsWhereTheRoomEnds) {
    std::mt19937 rng(23);
    for (const mix_case& m : mixes) {
        SCOPED_TRACE(m.name);
        for (const size_t n : {40, 64, 100, 257}) {
            const std::vector<uint32_t> text = random_text(rng, n, *m.mix, m.run);
            for (size_t room = 0; room <= n; ++room) expect_decodes_all_widths(text, room);
            if (HasFatalFailure()) return;
        }
    }
}

// Texts cut at code points and decoded one after another into one output,
// as the writer does, give the whole text.
TEST_P(Utf8Decoders, PiecesDecodedInTurn) {
    std::mt19937 rng(24);
    std::vector<uint32_t> out(5000);
    for (const mix_case& m : mixes) {
        SCOPED_TRACE(m.name);
        const std::vector<uint32_t> text = random_text(rng, out.size(), *m.mix, m.run);
        size_t at = 0, done = 0;
        while (at < text.size()) {
            const size_t n = std::min<size_t>(rng() % 80, text.size() - at);
            const std::string piece = encode(std::vector<uint32_t>(text.begin() + at, text.begin() + at + n));
            done += t().decode_ucs4(piece.data(), piece.size(), out.data() + done, out.size() - done);
            at += n;
        }
        ASSERT_EQ(done, text.size());
        ASSERT_EQ(out, text);
    }
}

// Bytes that are not UTF-8 give some result, but nothing is read or written
// outside the buffers.
TEST_P(Utf8Decoders, InvalidBytesStayInBounds) {
    std::mt19937 rng(25);
    static Fenced input(1 << 16), output(1 << 18);
    for (int round = 0; round < 3000; ++round) {
        const size_t n = rng() % 200;
        char* at = input.end_minus(n);
        for (size_t i = 0; i < n; ++i) at[i] = static_cast<char>(rng() % 3 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80);
        const size_t room = rng() % (n + 1);
        auto* out = reinterpret_cast<uint32_t*>(output.end_minus(room * 4));
        ASSERT_LE(t().decode_ucs4(at, n, out, room), room);
        ASSERT_LE(t().decode_ucs2(at, n, reinterpret_cast<uint16_t*>(output.end_minus(room * 2)), room), room);
        ASSERT_LE(t().decode_latin1(at, n, reinterpret_cast<uint8_t*>(output.end_minus(room)), room), room);
    }
}

std::string table_name(const testing::TestParamInfo<const Utf8DecodeTable*>& info) { return info.param->name; }

INSTANTIATE_TEST_SUITE_P(All, Utf8Decoders, testing::ValuesIn(utf8_decoders_for_testing()), table_name);

TEST(Utf8Decode, ActiveTableIsTheWidestThatRuns) {
    const auto tables = utf8_decoders_for_testing();
    EXPECT_STREQ(tables.front()->name, "scalar");
    EXPECT_EQ(&active_utf8_decoders(), tables.back());
    // The public functions go through it.
    const std::string text = "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8C\x8D";
    uint32_t out[8] = {};
    ASSERT_EQ(decode_utf8(text.data(), text.size(), out, 8), 8u);
    const uint32_t expected[8] = {'c', 'a', 'f', 0xE9, ' ', 0x65E5, ' ', 0x1F30D};
    EXPECT_TRUE(std::equal(out, out + 8, expected));
}

TEST(Utf8Decode, UnitsOfTheLargestByte) {
    EXPECT_EQ(units_for_largest_byte(0x00), CodeUnits::Ascii);
    EXPECT_EQ(units_for_largest_byte(0x7F), CodeUnits::Ascii);
    EXPECT_EQ(units_for_largest_byte(0xC3), CodeUnits::Latin1);
    EXPECT_EQ(units_for_largest_byte(0xC4), CodeUnits::Ucs2);
    EXPECT_EQ(units_for_largest_byte(0xEF), CodeUnits::Ucs2);
    EXPECT_EQ(units_for_largest_byte(0xF0), CodeUnits::Ucs4);
    EXPECT_EQ(units_for_largest_byte(0xF4), CodeUnits::Ucs4);
}

}  // namespace
}  // namespace arbolite::simd
