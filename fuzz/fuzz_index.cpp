// Fuzz target: the structural index builders and the byte-search kernels.
//
// Differential checks on every input:
//   - the two builders must give the same index (tags: start, end, kind,
//     name offset and length; text ranges) or the same error (kind and
//     offset), whatever the document, unterminated markup included. The
//     parser, run over either index with the document's first element name
//     as the root tag, must come to the same tree or the same error; so
//     must the whole read (which picks its builder itself), the index's
//     own errors counted as it reports them. Every index that a builder
//     returns must be well formed (equal list lengths, tags and text ranges
//     in document order, inside the document);
//   - every kernel table that runs on this processor must agree with the
//     byte-at-a-time table on find_byte, find_any4, find_any8, count_byte,
//     is_valid_utf8, classify_blocks (whole and partial blocks) and on the
//     '<' / '>' bitmaps of the quote-aware marking pass. The searches run
//     over several sub-ranges, each copied into a buffer of its own exact
//     size so that a read past either end is caught by the address
//     sanitizer.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_report.hpp"
#include "index/markup_bitmaps.hpp"
#include "index/structural.hpp"
#include "read/parser.hpp"
#include "simd/kernels.hpp"

namespace {

using arbolite::index::for_each_list;
using arbolite::index::IndexResult;
using arbolite::index::StructuralIndex;
using arbolite::simd::BlockMasks;
using arbolite::simd::kBlockSize;
using arbolite::simd::KernelTable;
using fuzz_report::print_bytes;

[[noreturn]] void fail_with(std::string_view document, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

[[noreturn]] void fail_with(std::string_view document, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    print_bytes("document", document);
    std::abort();
}

// ---------------------------------------------------------------------------
// Index builders

void print_index(const char* label, const StructuralIndex& ix) {
    std::fprintf(stderr, "%s: %zu tags, %zu text ranges\n", label, ix.tag_count(), ix.text_starts.size());
    for (size_t t = 0; t < ix.tag_count(); ++t)
        std::fprintf(stderr, "  tag %zu: start %llu end %llu kind %d name %llu+%u\n", t,
                     static_cast<unsigned long long>(ix.tag_starts[t]), static_cast<unsigned long long>(ix.tag_ends[t]),
                     static_cast<int>(ix.tag_kinds[t]), static_cast<unsigned long long>(ix.name_offsets[t]),
                     ix.name_lengths[t]);
    for (size_t r = 0; r < ix.text_starts.size(); ++r)
        std::fprintf(stderr, "  text %zu: [%llu, %llu)\n", r, static_cast<unsigned long long>(ix.text_starts[r]),
                     static_cast<unsigned long long>(ix.text_ends[r]));
}

void check_well_formed(std::string_view doc, const StructuralIndex& ix, const char* builder) {
    const size_t tags = ix.tag_starts.size();
    const size_t n = doc.size();
    bool same_lengths = true;
    for_each_list([&](const auto& list) { same_lengths &= list.size() == tags; }, ix.tag_lists());
    for_each_list([&](const auto& list) { same_lengths &= list.size() == ix.text_starts.size(); }, ix.text_lists());
    if (!same_lengths) fail_with(doc, "%s builder: lists of different lengths", builder);
    for (size_t t = 0; t < tags; ++t) {
        const uint64_t start = ix.tag_starts[t];
        if (start >= n || doc[start] != '<') {
            print_index(builder, ix);
            fail_with(doc, "%s builder: tag %zu does not start at a '<'", builder, t);
        }
        if (t > 0 && start <= ix.tag_starts[t - 1]) {
            print_index(builder, ix);
            fail_with(doc, "%s builder: tag %zu out of order", builder, t);
        }
        if (ix.name_offsets[t] > n || ix.name_lengths[t] > n - ix.name_offsets[t]) {
            print_index(builder, ix);
            fail_with(doc, "%s builder: name of tag %zu runs past the document", builder, t);
        }
    }
    for (size_t r = 0; r < ix.text_starts.size(); ++r) {
        const uint64_t start = ix.text_starts[r];
        const uint64_t end = ix.text_ends[r];
        if (start >= end || end > n || (r > 0 && start < ix.text_ends[r - 1])) {
            print_index(builder, ix);
            fail_with(doc, "%s builder: text range %zu is empty, out of order or past the end", builder, r);
        }
    }
}

[[noreturn]] void builders_disagree(std::string_view doc, const IndexResult& a, const IndexResult& b,
                                    const char* what) {
    if (a.ok()) print_index("sequential", a.value());
    if (b.ok()) print_index("quote-aware", b.value());
    for (const auto* r : {&a, &b})
        if (!r->ok())
            std::fprintf(stderr, "%s: error kind %d at %llu\n", r == &a ? "sequential" : "quote-aware",
                         static_cast<int>(r->error().kind), static_cast<unsigned long long>(r->error().offset));
    fail_with(doc, "the builders disagree: %s", what);
}

// The same index, or the same error.
void compare_indexes(std::string_view doc, const IndexResult& a, const IndexResult& b) {
    if (a.ok() != b.ok()) builders_disagree(doc, a, b, "one fails, the other does not");
    if (!a.ok()) {
        if (a.error().kind != b.error().kind || a.error().offset != b.error().offset)
            builders_disagree(doc, a, b, "errors");
        return;
    }
    const StructuralIndex& x = a.value();
    const StructuralIndex& y = b.value();
    if (x.tag_lists() != y.tag_lists()) builders_disagree(doc, a, b, "tags");
    if (x.text_lists() != y.text_lists()) builders_disagree(doc, a, b, "text ranges");
}

std::string describe(const arbolite::read::ReadError& e) {
    return "kind " + std::to_string(static_cast<int>(e.kind)) + "/" + std::to_string(static_cast<int>(e.malformation)) +
           " at " + std::to_string(e.offset) + ": '" + e.name + "' '" + e.found + "'";
}

bool same_trees(const arbolite::ParsedTree& a, const arbolite::ParsedTree& b) {
    if (a.elements.size() != b.elements.size()) return false;
    for (size_t i = 0; i < a.elements.size(); ++i) {
        const arbolite::ParsedElement& x = a.elements[i];
        const arbolite::ParsedElement& y = b.elements[i];
        if (x.name != y.name || x.text != y.text || x.end != y.end || x.child_count != y.child_count ||
            x.attrs.size() != y.attrs.size())
            return false;
        for (const auto& entry : x.attrs) {
            const auto other = y.attrs.find(entry.name);
            if (!other || *other != entry.value) return false;
        }
    }
    return true;
}

using ReadResult = arbolite::Result<arbolite::ParsedTree, arbolite::read::ReadError>;

// The read over one builder's index; its errors as the whole read reports
// them.
ReadResult read_over(std::string_view doc, const IndexResult& ix, std::string_view root) {
    if (ix.ok()) return arbolite::read::parse_indexed(doc, ix.value(), root);
    return arbolite::fail(arbolite::read::index_failure(ix.error(), doc.size()));
}

bool same_reads(const ReadResult& x, const ReadResult& y) {
    if (x.ok() != y.ok()) return false;
    if (x.ok()) return same_trees(x.value(), y.value());
    const auto& a = x.error();
    const auto& b = y.error();
    return a.kind == b.kind && a.offset == b.offset && a.malformation == b.malformation && a.name == b.name &&
           a.found == b.found &&
           a.index_error.kind == b.index_error.kind && a.index_error.offset == b.index_error.offset;
}

std::string describe(const ReadResult& r) { return r.ok() ? "a tree" : describe(r.error()); }

// The parser must come to the same result over either index, for the first
// element name of the document as the root tag, and so must the whole read.
void compare_parses(std::string_view doc, const IndexResult& a, const IndexResult& b) {
    using arbolite::index::TagKind;
    std::string_view root = "r";
    if (a.ok()) {
        const StructuralIndex& ix = a.value();
        for (size_t t = 0; t < ix.tag_count(); ++t) {
            if ((ix.tag_kinds[t] == TagKind::Open || ix.tag_kinds[t] == TagKind::SelfClosing) &&
                ix.name_lengths[t] != 0 && ix.tag_ends[t] < doc.size()) {
                root = doc.substr(ix.name_offsets[t], ix.name_lengths[t]);
                break;
            }
        }
    }
    const ReadResult x = read_over(doc, a, root);
    const ReadResult y = read_over(doc, b, root);
    const ReadResult whole = arbolite::read::parse_document(doc, root);
    if (!same_reads(x, y) || !same_reads(x, whole)) {
        print_bytes("root tag", root);
        fail_with(doc, "the reads differ: sequential %s; quote-aware %s; read %s", describe(x).c_str(),
                  describe(y).c_str(), describe(whole).c_str());
    }
}

void compare_builders(std::string_view doc) {
    const IndexResult sequential = arbolite::index::build_index_sequential(doc);
    const IndexResult quote_aware = arbolite::index::build_index_quote_aware(doc);
    if (sequential.ok()) check_well_formed(doc, sequential.value(), "sequential");
    if (quote_aware.ok()) check_well_formed(doc, quote_aware.value(), "quote-aware");
    compare_indexes(doc, sequential, quote_aware);
    compare_parses(doc, sequential, quote_aware);
}

// ---------------------------------------------------------------------------
// Kernels

// A copy of bytes in a heap block of exactly their size.
class ExactCopy {
public:
    explicit ExactCopy(std::string_view bytes) : data_(new char[bytes.size() == 0 ? 1 : bytes.size()]),
                                                  size_(bytes.size()) {
        if (size_ != 0) std::memcpy(data_.get(), bytes.data(), size_);
    }
    const char* begin() const { return data_.get(); }
    const char* end() const { return data_.get() + size_; }
    size_t size() const { return size_; }

private:
    std::unique_ptr<char[]> data_;
    size_t size_;
};

struct SearchCase {
    const char* what;
    size_t (*run)(const KernelTable& k, const ExactCopy& range, const char* needles);
};

size_t offset(const ExactCopy& range, const char* p) { return static_cast<size_t>(p - range.begin()); }

// needles[0..8) are the bytes the searches look for.
constexpr SearchCase kSearchCases[] = {
    {"find_byte '<'", [](const KernelTable& k, const ExactCopy& r, const char*) {
         return offset(r, k.find_byte(r.begin(), r.end(), '<'));
     }},
    {"find_byte (input byte)", [](const KernelTable& k, const ExactCopy& r, const char* s) {
         return offset(r, k.find_byte(r.begin(), r.end(), s[0]));
     }},
    {"find_any4 markup", [](const KernelTable& k, const ExactCopy& r, const char*) {
         return offset(r, k.find_any4(r.begin(), r.end(), '<', '>', '"', '\''));
     }},
    {"find_any4 (input bytes)", [](const KernelTable& k, const ExactCopy& r, const char* s) {
         return offset(r, k.find_any4(r.begin(), r.end(), s[1], s[2], s[3], s[4]));
     }},
    {"find_any8 (input bytes)", [](const KernelTable& k, const ExactCopy& r, const char* s) {
         return offset(r, k.find_any8(r.begin(), r.end(), s));
     }},
    {"count_byte '<'", [](const KernelTable& k, const ExactCopy& r, const char*) {
         return k.count_byte(r.begin(), r.end(), '<');
     }},
    {"count_byte (input byte)", [](const KernelTable& k, const ExactCopy& r, const char* s) {
         return k.count_byte(r.begin(), r.end(), s[5]);
     }},
    {"is_valid_utf8", [](const KernelTable& k, const ExactCopy& r, const char*) {
         return static_cast<size_t>(k.is_valid_utf8(r.begin(), r.size()));
     }},
};

bool same_masks(const BlockMasks& a, const BlockMasks& b) {
    return a.lt == b.lt && a.gt == b.gt && a.dq == b.dq && a.sq == b.sq && a.low_or_slash == b.low_or_slash;
}

void compare_searches(std::string_view doc, std::span<const KernelTable* const> tables) {
    // The needles: the last eight bytes of the input, so that the searches
    // for them usually find something.
    char needles[8] = {'<', '>', '&', '"', '\'', ']', '-', '?'};
    for (size_t i = 0; i < 8 && i < doc.size(); ++i) needles[i] = doc[doc.size() - 1 - i];

    // Sub-ranges that start and end at every alignment the kernels treat
    // differently: inside the first word, and at register and block edges.
    const size_t n = doc.size();
    static constexpr size_t cuts[] = {0, 1, 3, 7, 8, 15, 16, 31, 33, 64};
    for (const size_t head : cuts) {
        if (head > n) break;
        for (const size_t tail : {size_t{0}, size_t{1}, size_t{9}, size_t{40}}) {
            if (tail > n - head) break;
            const ExactCopy range(doc.substr(head, n - head - tail));
            for (const SearchCase& c : kSearchCases) {
                const size_t expected = c.run(*tables[0], range, needles);
                for (const KernelTable* k : tables.subspan(1)) {
                    const size_t got = c.run(*k, range, needles);
                    if (got != expected)
                        fail_with(doc, "%s: kernel %s gives %zu, %s gives %zu on bytes [%zu, %zu)", c.what, k->name,
                                  got, tables[0]->name, expected, head, n - tail);
                }
            }
        }
    }
}

void compare_classification(std::string_view doc, std::span<const KernelTable* const> tables) {
    // Whole blocks from the start of the input and from one byte in, then
    // the partial block at the end.
    for (const size_t head : {size_t{0}, size_t{1}}) {
        if (head > doc.size()) break;
        const ExactCopy range(doc.substr(head));
        const size_t count = range.size() / kBlockSize;
        std::vector<BlockMasks> expected(count + 1);
        std::vector<BlockMasks> got(count + 1);
        tables[0]->classify_blocks(range.begin(), count, expected.data());
        expected[count] = arbolite::simd::classify_partial_block(*tables[0], range.begin() + count * kBlockSize,
                                                                 range.size() % kBlockSize);
        for (const KernelTable* k : tables.subspan(1)) {
            k->classify_blocks(range.begin(), count, got.data());
            got[count] = arbolite::simd::classify_partial_block(*k, range.begin() + count * kBlockSize,
                                                                range.size() % kBlockSize);
            for (size_t b = 0; b <= count; ++b)
                if (!same_masks(expected[b], got[b]))
                    fail_with(doc, "classify_blocks: kernel %s differs from %s in block %zu (from byte %zu)", k->name,
                              tables[0]->name, b, head);
        }
    }
}

void compare_marking(std::string_view doc, std::span<const KernelTable* const> tables) {
    const size_t words = arbolite::index::bitmap_words(doc.size());
    if (words == 0) return;
    // Bits past the end of the document mean nothing.
    const size_t tail_bits = doc.size() % 64;
    auto word_mask = [&](size_t w) {
        return w + 1 == words && tail_bits != 0 ? (uint64_t{1} << tail_bits) - 1 : ~uint64_t{0};
    };
    std::vector<uint64_t> expected(2 * words);
    std::vector<uint64_t> got(2 * words);
    arbolite::index::mark_markup(*tables[0], doc.data(), doc.size(), expected.data(), expected.data() + words);
    for (const KernelTable* k : tables.subspan(1)) {
        arbolite::index::mark_markup(*k, doc.data(), doc.size(), got.data(), got.data() + words);
        for (size_t w = 0; w < 2 * words; ++w)
            if (((got[w] ^ expected[w]) & word_mask(w % words)) != 0)
                fail_with(doc, "mark_markup: kernel %s differs from %s in the %s bitmap, word %zu", k->name,
                          tables[0]->name, w < words ? "'<'" : "'>'", w % words);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    compare_builders(document);

    const auto tables = arbolite::simd::kernels_for_testing();
    compare_searches(document, tables);
    compare_classification(document, tables);
    compare_marking(document, tables);
    return 0;
}
