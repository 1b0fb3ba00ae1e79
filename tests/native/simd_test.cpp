#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "simd/kernels.hpp"
#include "simd/search.hpp"

namespace arbolite::simd {
namespace {

// A read-write region with an inaccessible page on each side, so that a
// kernel reading one byte before or after its range faults, with or without
// a sanitizer.
class FencedPage {
public:
    FencedPage() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* m = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) std::abort();
        base_ = static_cast<char*>(m);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + 2 * page_, page_, PROT_NONE);
    }
    ~FencedPage() { munmap(base_, 3 * page_); }
    FencedPage(const FencedPage&) = delete;
    FencedPage& operator=(const FencedPage&) = delete;

    // `bytes` copied so that they start right after the lower fence.
    char* at_start(const std::string& bytes) {
        std::memcpy(base_ + page_, bytes.data(), bytes.size());
        return base_ + page_;
    }
    // `bytes` copied so that they end right before the upper fence.
    char* at_end(const std::string& bytes) {
        char* p = base_ + 2 * page_ - bytes.size();
        std::memcpy(p, bytes.data(), bytes.size());
        return p;
    }

private:
    size_t page_;
    char* base_;
};

const char* plain_find(const char* b, const char* e, std::string_view set) {
    for (; b != e; ++b)
        if (set.find(*b) != std::string_view::npos) return b;
    return e;
}

class Kernels : public testing::TestWithParam<const KernelTable*> {
protected:
    const KernelTable& k() const { return *GetParam(); }
};

std::string kernel_name(const testing::TestParamInfo<const KernelTable*>& info) { return info.param->name; }

// Every range length up to a little over two 64-byte blocks, placed against
// each fence (so both the start and the end of the range take every
// alignment) and, padded with needle bytes outside the range, at every
// offset within a cache line.
template <class Check>
void for_each_placement(const std::string& bytes, char outside, Check check) {
    static FencedPage fence;
    const char* p = fence.at_start(bytes);
    check(p, p + bytes.size());
    p = fence.at_end(bytes);
    check(p, p + bytes.size());
    for (size_t offset = 0; offset < 64; offset += 7) {
        std::string padded(offset, outside);
        padded += bytes;
        padded.append(64, outside);
        check(padded.data() + offset, padded.data() + offset + bytes.size());
    }
}

constexpr size_t kMaxLength = 140;

TEST_P(Kernels, FindByteEveryLengthAndPosition) {
    for (char needle : {'<', '"', '\0', static_cast<char>(0x80), static_cast<char>(0xFF)}) {
        const char filler = needle == 'a' ? 'b' : 'a';
        for (size_t len = 0; len <= kMaxLength; ++len) {
            // Absent, then at each position alone, then at each position
            // followed by more occurrences.
            for (size_t pos = 0; pos <= len; ++pos) {
                std::string bytes(len, filler);
                if (pos < len) bytes[pos] = needle;
                for (int more = 0; more < 2; ++more) {
                    if (more && pos < len) {
                        for (size_t j = pos + 1; j < len; j += 5) bytes[j] = needle;
                        bytes[len - 1] = needle;
                    }
                    for_each_placement(bytes, needle, [&](const char* b, const char* e) {
                        const char* want = plain_find(b, e, std::string_view(&needle, 1));
                        ASSERT_EQ(k().find_byte(b, e, needle), want) << "length " << len << " position " << pos;
                    });
                }
            }
        }
    }
}

TEST_P(Kernels, FindByteIgnoresNeighbouringBytes) {
    // Bytes that differ from the needle only in the top bit, or are its
    // neighbours, never match.
    const std::string near = "\xBC;=|<";  // 0xBC = '<' | 0x80
    for (size_t len = 0; len <= kMaxLength; ++len) {
        std::string bytes;
        for (size_t i = 0; i < len; ++i) bytes += near[i % 4];
        for_each_placement(bytes, '<', [&](const char* b, const char* e) {
            ASSERT_EQ(k().find_byte(b, e, '<'), e) << "length " << len;
        });
    }
}

TEST_P(Kernels, FindAny4EveryLengthAndPosition) {
    struct Needles {
        char a, b, c, d;
    };
    const Needles sets[] = {
        {'"', '\'', '>', '/'},
        {'<', '<', '<', '<'},  // one byte repeated
        {static_cast<char>(0xC3), '\0', 'x', static_cast<char>(0x7F)},
    };
    for (const Needles& n : sets) {
        const char all[] = {n.a, n.b, n.c, n.d};
        const std::string_view set(all, 4);
        for (size_t len = 0; len <= kMaxLength; ++len) {
            for (size_t pos = 0; pos <= len; ++pos) {
                for (int which = 0; which < 4; ++which) {
                    std::string bytes(len, 'q');
                    if (pos < len) {
                        bytes[pos] = all[which];
                        if (pos + 3 < len) bytes[pos + 3] = all[(which + 1) % 4];
                    }
                    for_each_placement(bytes, n.a, [&](const char* b, const char* e) {
                        ASSERT_EQ(k().find_any4(b, e, n.a, n.b, n.c, n.d), plain_find(b, e, set))
                            << "length " << len << " position " << pos;
                    });
                    if (pos == len) break;
                }
            }
        }
    }
}

TEST_P(Kernels, FindAny8EveryLengthAndPosition) {
    const char sets[][8] = {
        {'\t', '\n', '\f', '\r', ' ', '/', '>', '>'},
        {'?', '?', '?', '?', '?', '?', '?', '?'},
        {static_cast<char>(0x80), '\0', 'a', 'b', 'c', 'd', 'e', static_cast<char>(0xFF)},
    };
    for (const auto& set : sets) {
        const std::string_view all(set, 8);
        for (size_t len = 0; len <= kMaxLength; ++len) {
            for (size_t pos = 0; pos <= len; ++pos) {
                for (int which : {0, 3, 5, 7}) {
                    std::string bytes(len, 'q');
                    if (pos < len) {
                        bytes[pos] = set[which];
                        if (pos + 9 < len) bytes[pos + 9] = set[(which + 3) % 8];
                    }
                    for_each_placement(bytes, set[0], [&](const char* b, const char* e) {
                        ASSERT_EQ(k().find_any8(b, e, set), plain_find(b, e, all))
                            << "length " << len << " position " << pos;
                    });
                    if (pos == len) break;
                }
            }
        }
    }
}

// The byte-set search, for sets whose bytes pair up and sets whose bytes do
// not, at every start within the range (bytes before the start, up to the
// floor, never match), with and without room to load back to the floor.
TEST_P(Kernels, FindInSetEveryStartAndPosition) {
    const struct {
        const char* name;
        std::string bytes;
    } sets[] = {
        {"escaped text", "&<>\"'"},
        {"escaped attribute", "&<>\"'\t\r\n"},
        {"one byte", "<"},
        {"no pairs", "AbD\x80"},
        {"eight", "0123456789"},  // pairs up to five tests
    };
    for (const auto& set_case : sets) {
        const ByteSet set = make_byte_set(set_case.bytes);
        ASSERT_LE(set.count, 8);
        for (int c = 0; c < 256; ++c)
            ASSERT_EQ(set.contains(static_cast<char>(c)), set_case.bytes.find(static_cast<char>(c)) != std::string::npos)
                << set_case.name << " " << c;
        for (size_t len = 0; len <= 80; ++len) {
            std::string bytes(len, 'z');
            for (size_t i = 0; i < len; ++i) bytes[i] = "z%;=\x08\x0b\xa6\xbc"[i % 8];
            for (size_t pos = 0; pos <= len; ++pos) {
                std::string t = bytes;
                if (pos < len) t[pos] = set_case.bytes[pos % set_case.bytes.size()];
                for_each_placement(t, set_case.bytes[0], [&](const char* b, const char* e) {
                    for (size_t start = 0; start <= len; start += 1 + len / 9) {
                        const char* want = pos < len && pos >= start ? b + pos : e;
                        ASSERT_EQ(k().find_in_set(b + start, e, b, set), want)
                            << set_case.name << " length " << len << " start " << start << " position " << pos;
                        ASSERT_EQ(k().find_in_set(b + start, e, b + start, set), want) << set_case.name;
                    }
                });
            }
        }
    }
}

TEST_P(Kernels, CountByteMatchesPlainCount) {
    std::mt19937 rng(7);
    for (size_t len = 0; len <= kMaxLength; ++len) {
        std::string bytes(len, '\0');
        for (char& c : bytes) c = "<<\"ab\x80"[rng() % 6];
        for_each_placement(bytes, '<', [&](const char* b, const char* e) {
            size_t want = 0;
            for (const char* p = b; p != e; ++p) want += *p == '<';
            ASSERT_EQ(k().count_byte(b, e, '<'), want) << "length " << len;
            ASSERT_EQ(k().count_byte(b, e, static_cast<char>(0x80)), static_cast<size_t>(std::count(b, e, '\x80')));
        });
    }
}

TEST_P(Kernels, CountByteOverLongRuns) {
    // More matches than the per-byte counters of one round can hold.
    for (size_t len : {255u * 8 + 1, 255u * 16 + 3, 255u * 32 + 5, 100000u}) {
        const std::string all(len, '"');
        EXPECT_EQ(k().count_byte(all.data(), all.data() + len, '"'), len);
        std::string every_third(len, 'x');
        for (size_t i = 0; i < len; i += 3) every_third[i] = '"';
        EXPECT_EQ(k().count_byte(every_third.data(), every_third.data() + len, '"'), (len + 2) / 3);
    }
}

// Every number of tallied bytes (a byte listed twice is counted twice), at
// every length and placement, and runs long enough that the per-byte
// counters must be summed before they wrap.
TEST_P(Kernels, TallyBytesMatchesReference) {
    const std::string alphabet = "&<>\"'\t\n\x01a\x7f\x80\xbf\xc3\xf0\xff";
    const std::string tallied = "&<\x80>\xff\n\x01&";
    auto expect_same = [&](const char* b, const char* e, size_t count, size_t len) {
        const TalliedBytes bytes = make_tallied_bytes(std::string_view(tallied).substr(0, count));
        const ByteTally want = scalar::tally_bytes(b, static_cast<size_t>(e - b), bytes);
        const ByteTally got = k().tally_bytes(b, static_cast<size_t>(e - b), bytes);
        ASSERT_EQ(got.counts, want.counts) << "length " << len << ", " << count << " bytes";
        ASSERT_EQ(got.continuation, want.continuation) << "length " << len;
        ASSERT_EQ(got.largest, want.largest) << "length " << len;
    };
    std::mt19937 rng(11);
    for (size_t len = 0; len <= kMaxLength; ++len) {
        std::string bytes(len, '\0');
        for (char& c : bytes) c = alphabet[rng() % alphabet.size()];
        for (size_t count = 0; count <= kMaxTallied; ++count)
            for_each_placement(bytes, '&', [&](const char* b, const char* e) { expect_same(b, e, count, len); });
    }
    for (const char c : alphabet) {
        const std::string run(255 * 32 * 2 + 37, c);
        expect_same(run.data(), run.data() + run.size(), kMaxTallied, run.size());
    }
    const ByteTally run = k().tally_bytes(std::string(100000, '<').data(), 100000, make_tallied_bytes("<<"));
    EXPECT_EQ(run.counts[0] + run.counts[1], 200000u);
}

TEST_P(Kernels, ClassifyBlocksMatchesReference) {
    std::mt19937 rng(11);
    std::string bytes(64 * 9, '\0');
    for (char& c : bytes) c = "<>\"'a \xBC\xBE/\t\x1F!\x7F\xA0\x0B\0"[rng() % 16];
    std::vector<BlockMasks> got(9), want(9);
    k().classify_blocks(bytes.data(), 9, got.data());
    kScalarKernels.classify_blocks(bytes.data(), 9, want.data());
    for (size_t b = 0; b < 9; ++b) {
        EXPECT_EQ(got[b].lt, want[b].lt) << "block " << b;
        EXPECT_EQ(got[b].gt, want[b].gt) << "block " << b;
        EXPECT_EQ(got[b].dq, want[b].dq) << "block " << b;
        EXPECT_EQ(got[b].sq, want[b].sq) << "block " << b;
        EXPECT_EQ(got[b].low_or_slash, want[b].low_or_slash) << "block " << b;
    }
    // Each byte value alone at each position of a block.
    for (size_t i = 0; i < 64; ++i) {
        for (int c = 0; c < 256; ++c) {
            std::string block(64, 'z');
            block[i] = static_cast<char>(c);
            BlockMasks m;
            k().classify_blocks(block.data(), 1, &m);
            const uint64_t bit = uint64_t{1} << i;
            ASSERT_EQ(m.lt, c == '<' ? bit : 0u) << c;
            ASSERT_EQ(m.gt, c == '>' ? bit : 0u) << c;
            ASSERT_EQ(m.dq, c == '"' ? bit : 0u) << c;
            ASSERT_EQ(m.sq, c == '\'' ? bit : 0u) << c;
            ASSERT_EQ(m.low_or_slash, c <= ' ' || c == '/' ? bit : 0u) << c;
        }
    }
}

TEST_P(Kernels, ClassifyPartialBlockReadsOnlyItsBytes) {
    FencedPage fence;
    for (size_t len = 0; len < 64; ++len) {
        std::string bytes(len, '<');
        const char* p = fence.at_end(bytes);
        const BlockMasks m = classify_partial_block(k(), p, len);
        EXPECT_EQ(m.lt, len == 0 ? 0u : ~uint64_t{0} >> (64 - len)) << "length " << len;
        EXPECT_EQ(m.gt | m.dq | m.sq, 0u);
        // The padding (zero bytes) must not show.
        EXPECT_EQ(m.low_or_slash, 0u) << "length " << len;
    }
}

// UTF-8 validation.

struct Utf8Case {
    const char* bytes;
    bool valid;
    const char* what;
};

const Utf8Case kUtf8Cases[] = {
    {"", true, "empty"},
    {"plain ASCII", true, "ascii"},
    {"\x7F", true, "DEL"},
    {"\xC2\x80", true, "U+0080"},
    {"\xDF\xBF", true, "U+07FF"},
    {"\xE0\xA0\x80", true, "U+0800"},
    {"\xED\x9F\xBF", true, "U+D7FF"},
    {"\xEE\x80\x80", true, "U+E000"},
    {"\xEF\xBF\xBF", true, "U+FFFF"},
    {"\xF0\x90\x80\x80", true, "U+10000"},
    {"\xF4\x8F\xBF\xBF", true, "U+10FFFF"},
    {"\xF3\xBF\xBF\xBF", true, "U+FFFFF"},
    {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true, "mixed"},
    // Overlong forms.
    {"\xC0\x80", false, "overlong NUL"},
    {"\xC1\xBF", false, "overlong 2-byte"},
    {"\xE0\x80\x80", false, "overlong 3-byte"},
    {"\xE0\x9F\xBF", false, "overlong U+07FF"},
    {"\xF0\x80\x80\x80", false, "overlong 4-byte"},
    {"\xF0\x8F\xBF\xBF", false, "overlong U+FFFF"},
    // Surrogates.
    {"\xED\xA0\x80", false, "U+D800"},
    {"\xED\xBF\xBF", false, "U+DFFF"},
    {"\xED\xA0\x80\xED\xB0\x80", false, "surrogate pair"},
    // Beyond U+10FFFF and bytes that never occur.
    {"\xF4\x90\x80\x80", false, "U+110000"},
    {"\xF5\x80\x80\x80", false, "F5 lead"},
    {"\xF7\xBF\xBF\xBF", false, "F7 lead"},
    {"\xF8\x88\x80\x80\x80", false, "5-byte form"},
    {"\xFC\x84\x80\x80\x80\x80", false, "6-byte form"},
    {"\xFE", false, "FE"},
    {"\xFF", false, "FF"},
    // Misplaced continuations.
    {"\x80", false, "lone continuation"},
    {"\xBF", false, "lone BF"},
    {"a\x80" "b", false, "continuation after ASCII"},
    {"\xC2\x80\x80", false, "continuation after a complete 2-byte sequence"},
    {"\xE2\x82\xAC\x80", false, "continuation after a complete 3-byte sequence"},
    {"\xF0\x9F\x98\x80\x80", false, "continuation after a complete 4-byte sequence"},
    // A lead followed by something other than a continuation.
    {"\xC3" "a", false, "2-byte lead then ASCII"},
    {"\xE2\x82" "a", false, "3-byte lead, one continuation, ASCII"},
    {"\xE2" "a\xAC", false, "3-byte lead, ASCII"},
    {"\xF0\x9F\x98" "a", false, "4-byte lead, two continuations, ASCII"},
    {"\xC3\xC3\xA9", false, "2-byte lead then another lead"},
};

std::string ascii(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

TEST_P(Kernels, Utf8CasesAtEveryOffset) {
    for (const Utf8Case& c : kUtf8Cases) {
        const std::string seq = c.bytes;
        // Placed at every offset across two 64-byte blocks, with ASCII after
        // it or with the document ending right after it.
        for (size_t before = 0; before <= 70; ++before) {
            for (size_t after : {0, 1, 5, 40}) {
                const std::string doc = ascii(before) + seq + ascii(after);
                for_each_placement(doc, '\xC3', [&](const char* b, const char* e) {
                    ASSERT_EQ(k().is_valid_utf8(b, static_cast<size_t>(e - b)), c.valid)
                        << c.what << " after " << before << " bytes, " << after << " bytes follow";
                });
            }
        }
    }
}

TEST_P(Kernels, Utf8TruncatedSequencesAtEveryPosition) {
    const char* sequences[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xED\x9F\xBF", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"};
    for (const char* s : sequences) {
        const std::string seq = s;
        for (size_t keep = 1; keep < seq.size(); ++keep) {
            for (size_t before = 0; before <= 70; ++before) {
                const std::string cut = ascii(before) + seq.substr(0, keep);
                for_each_placement(cut, '\x80', [&](const char* b, const char* e) {
                    ASSERT_FALSE(k().is_valid_utf8(b, static_cast<size_t>(e - b)))
                        << "cut after " << keep << " bytes, at the end, after " << before;
                });
                const std::string inner = cut + "z" + ascii(30);
                ASSERT_FALSE(k().is_valid_utf8(inner.data(), inner.size()))
                    << "cut after " << keep << " bytes, then ASCII, after " << before;
            }
        }
    }
}

TEST_P(Kernels, Utf8AllTwoAndThreeBytePrefixes) {
    // Every pair of bytes, and every pair followed by a continuation byte,
    // straddling a 32-byte register boundary, against the reference.
    for (unsigned b0 = 0x80; b0 < 0x100; ++b0) {
        for (unsigned b1 = 0; b1 < 0x100; ++b1) {
            for (const char* tail : {"", "\x80", "\xBF\x80", "\x90\xBF"}) {
                std::string doc = ascii(31);
                doc += static_cast<char>(b0);
                doc += static_cast<char>(b1);
                doc += tail;
                doc += ascii(3);
                ASSERT_EQ(k().is_valid_utf8(doc.data(), doc.size()), kScalarKernels.is_valid_utf8(doc.data(), doc.size()))
                    << std::hex << b0 << " " << b1 << " then " << std::strlen(tail) << " bytes";
            }
        }
    }
}

TEST_P(Kernels, Utf8RandomTextAgreesWithReference) {
    std::mt19937 rng(23);
    const std::vector<std::string> pieces = {
        "a", "xml ", "<r>", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\x9F\xBF", "\xEF\xBF\xBF",
    };
    for (int round = 0; round < 3000; ++round) {
        std::string doc;
        const size_t parts = rng() % 120;
        for (size_t i = 0; i < parts; ++i) doc += pieces[rng() % pieces.size()];
        if (round % 2 && !doc.empty()) doc[rng() % doc.size()] = static_cast<char>(rng() % 256);
        ASSERT_EQ(k().is_valid_utf8(doc.data(), doc.size()), kScalarKernels.is_valid_utf8(doc.data(), doc.size()))
            << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Simd, Kernels, testing::ValuesIn(kernels_for_testing().begin(), kernels_for_testing().end()),
                         kernel_name);

TEST(SimdScalar, ReferenceUtf8Cases) {
    for (const Utf8Case& c : kUtf8Cases)
        EXPECT_EQ(kScalarKernels.is_valid_utf8(c.bytes, std::strlen(c.bytes)), c.valid) << c.what;
}

TEST(SimdDispatch, PublicSearchesUseAWorkingKernel) {
    const std::string doc = "<a b=\"1\">\xC3\xA9</a>";
    const char* b = doc.data();
    const char* e = b + doc.size();
    EXPECT_EQ(find_byte(b, e, '>') - b, 8);
    EXPECT_EQ(find_any4(b, e, '"', '"', '"', '"') - b, 5);
    EXPECT_EQ(find_any8(b, e, "12345678") - b, 6);
    EXPECT_EQ(count_byte(b, e, '<'), 2u);
    EXPECT_TRUE(is_valid_utf8(b, doc.size()));
    EXPECT_FALSE(is_valid_utf8(b, 10));  // cuts the é in two
}

// The public searches handle short ranges and the first block inline: a
// lone hit at every position of ranges around those limits, at every
// alignment, is found where a plain loop finds it.
TEST(SimdDispatch, PublicSearchesFindEveryPosition) {
    std::string buffer(112, 'x');
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t len = 0; len <= 96; ++len) {
            const char* b = buffer.data() + offset;
            const char* e = b + len;
            ASSERT_EQ(find_byte(b, e, '<'), e) << offset << " " << len;
            ASSERT_EQ(find_any4(b, e, '<', '&', '"', '\''), e) << offset << " " << len;
            for (size_t at = 0; at < len; ++at) {
                for (char c : {'<', '&', '"', '\''}) {
                    buffer[offset + at] = c;
                    ASSERT_EQ(find_any4(b, e, '<', '&', '"', '\''), b + at) << offset << " " << len << " " << at;
                    ASSERT_EQ(find_byte(b, e, c), b + at) << offset << " " << len << " " << at;
                    buffer[offset + at] = 'x';
                }
            }
        }
    }
}

// The bounded search ignores hits between the range's end and the readable
// end, and reads nothing beyond the readable end (a heap block of exactly
// that size, for the sanitizers), whatever the room after the range.
TEST(SimdDispatch, BoundedSearchStopsAtTheRangeEnd) {
    for (size_t room = 0; room <= 20; ++room) {
        for (size_t len = 0; len <= 20; ++len) {
            std::unique_ptr<char[]> block(new char[len + room]);
            std::fill(block.get(), block.get() + len, 'x');
            std::fill(block.get() + len, block.get() + len + room, '<');  // beyond the range: not hits
            const char* b = block.get();
            const char* e = b + len;
            ASSERT_EQ(find_any4_bounded(b, e, e + room, '<', '&', '<', '&'), e) << len << " " << room;
            for (size_t at = 0; at < len; ++at) {
                block[at] = '&';
                ASSERT_EQ(find_any4_bounded(b, e, e + room, '<', '&', '<', '&'), b + at) << len << " " << room;
                block[at] = 'x';
            }
        }
    }
}

// The inline word-at-a-time count of short ranges, at every length around
// its limit and every alignment, for bytes whose patterns tempt carries
// between bytes (0x00, 0x7F, 0x80, 0xFF beside the byte looked for).
TEST(SimdDispatch, ShortCountsMatchAPlainCount) {
    const unsigned char tricky[] = {0x00, 0x01, 0x3C, 0x3D, 0x7F, 0x80, 0xBC, 0xFE, 0xFF};
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::string buffer(160, '\0');
    for (unsigned char c : tricky) {
        for (int round = 0; round < 40; ++round) {
            for (char& x : buffer) x = static_cast<char>(tricky[next() % sizeof tricky]);
            for (size_t offset = 0; offset < 8; ++offset) {
                for (size_t len = 0; len <= 80 && offset + len <= buffer.size(); ++len) {
                    const char* b = buffer.data() + offset;
                    ASSERT_EQ(count_byte(b, b + len, static_cast<char>(c)),
                              static_cast<size_t>(std::count(b, b + len, static_cast<char>(c))))
                        << "byte " << int(c) << " offset " << offset << " length " << len;
                }
            }
        }
    }
}

}  // namespace
}  // namespace arbolite::simd
