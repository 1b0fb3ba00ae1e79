#include "index/structural.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "index/markup_bitmaps.hpp"
#include "index_test_support.hpp"
#include "simd/kernels.hpp"

namespace arbolite::index {
namespace {

using testing_support::describe;
using testing_support::DocumentGenerator;

void expect_consistent(const IndexResult& result) {
    if (!result.ok()) return;
    const StructuralIndex& ix = result.value();
    for_each_list([&ix](const auto& list) { EXPECT_EQ(list.size(), ix.tag_count()); }, ix.tag_lists());
    for_each_list([&ix](const auto& list) { EXPECT_EQ(list.size(), ix.text_starts.size()); }, ix.text_lists());
}

struct Case {
    const char* doc;
    const char* index;  // expected index, or error, of both builders
};

void PrintTo(const Case& c, std::ostream* os) { *os << '"' << c.doc << '"'; }

// Documents whose index, or error, both builders must produce. Offsets in
// the comments count from 0.
const Case kCases[] = {
    {"", " |"},
    {"text only", " |"},
    {"<a>x", "O0-2:a |"},
    {"<a>x</a>", "O0-2:a C4-7:a | 3-4"},
    {"lead<a/>tail", "S4-7:a | 0-4"},
    {"<a b='x>y'>", "O0-10:a |"},
    {"<a b=\"x>y\">", "O0-10:a |"},
    {"<a b='x\"y'>", "O0-10:a |"},
    {"<a/ >", "O0-4:a |"},
    {"<a/>", "S0-3:a |"},
    {"<a />", "S0-4:a |"},
    {"<a x='/'>", "O0-8:a |"},
    {"<a x=/>", "S0-6:a |"},
    {"<>", "O0-1: |"},
    {"< a/>", "S0-4: |"},
    {"<a\tb\n=\r'1'\f/>", "S0-12:a |"},
    {"<a\vb>", "O0-4:a\vb |"},
    {"<a\"b>", "O0-4:a\"b |"},
    // Control characters other than the five spaces belong to names.
    {"<a\x01" "b\x02 x='>'/>", "S0-12:a\x01" "b\x02 |"},
    {"<a\x01>", "O0-3:a\x01 |"},
    {"<a\x01/>", "S0-4:a\x01 |"},
    {"<a\x01" "b", "unclosed@0"},
    {"</a\x01" "b\v >", "C0-7:a\x01" "b\v |"},
    {"</a\x01>", "C0-4:a\x01 |"},
    {"<a <b>", "O0-5:a |"},
    {"<!DOCTYPE r><r/>", "S12-15:r |"},
    {"<!DOCTYPE r \"x>y\"><r/>", "S18-21:r |"},
    {"x<!y>z<r/>", "S6-9:r | 0-1 5-6"},
    {"<r><![CDATA[x]]></r>", "O0-2:r D3-15 C16-19:r | 12-13"},
    {"<![CDATA[]]>", "D0-11 |"},
    {"<![CDATA[a]]]>", "D0-13 | 9-11"},
    {"<![CDATA[<a>'\"]]>", "D0-16 | 9-14"},
    {"<!---->", "M0-6 |"},
    {"<!-- a<b -->", "M0-11 |"},
    {"<!-- x -- y --->z<a>", "M0-15 O17-19:a | 16-17"},
    {"<!--'--><a b='1'/>", "M0-7 S8-17:a |"},
    {"<?xml version=\"1.0\"?><r/>", "P0-20:xml S21-24:r |"},
    {"<?pi?>", "P0-5:pi |"},
    {"<?pi>x?>", "P0-7:pi |"},
    {"<?a '?>'?>", "P0-6:a |"},
    {"<?\?>", "P0-3: |"},
    {"</a >", "C0-4:a |"},
    {"</a b='>'>", "C0-7:a |"},
    {"</a/>", "C0-4:a/ |"},
    {"</>", "C0-2: |"},
    {"<r>it's</r>", "O0-2:r C7-10:r | 3-7"},
    {"<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">it's</r>", "O0-38:r C43-46:r | 39-43"},
    {"<a>\xC3\xA9<\xE2\x82\xAC x='\xF0\x9F\x98\x80>'/></a>",
     "O0-2:a S5-20:\xE2\x82\xAC C21-24:a | 3-5"},
    // A '<' that ends the document is an unclosed tag.
    {"<a><", "unclosed@3"},
    {"<", "unclosed@0"},
    {"ab<", "unclosed@2"},
    {"<r>a</r>junk<", "unclosed@12"},
    // Unterminated markup. A comment, or a processing instruction whose
    // target runs to the end, leaves the build at the end of the document;
    // a CDATA section without "]]>" ends after the last ']' (or its opener)
    // and the build goes on from there; a declaration without '>' is only
    // its '<'.
    {"<a", "unclosed@0"},
    {"<a b='>'", "unclosed@0"},
    {"</a", "unclosed@0"},
    {"</a ", "unclosed@0"},
    {"</", "unclosed@0"},
    {"<r><!-- x</r>", "end@13"},
    {"<r/><!-- x->", "end@12"},
    {"<!-->", "end@5"},
    {"<!--->", "end@6"},
    {"<![CDATA[", "end@9"},
    {"<![CDATA[x]", "end@11"},
    {"<![CDATA[x]>", "D0-11 |"},
    {"<![CDATA[ab]c<d>", "D0-12 O13-15:d |"},
    {"<r/><![CDATA[x", "S0-3:r D4-13 |"},
    {"<r/><![CDATA[x<a>", "S0-3:r D4-13 O14-16:a |"},
    {"<?", "end@2"},
    {"<?pi", "end@4"},
    {"<?pi ", "P0-4:pi |"},
    {"<?pi x>", "P0-6:pi |"},
    {"<?pi x", "P0-5:pi |"},
    {"<r/><?p?", "S0-3:r P4-7:p |"},
    {"<!x", " |"},
    {"a<!x<?p q", "P4-8:p | 0-1 1-4"},
    {"<!x<a", "unclosed@3"},
    {"<r/>junk<", "unclosed@8"},
    // A document type declaration is skipped whole: its internal subset,
    // the literals in it (either quote), comments and processing
    // instructions, and the declarations nested in it.
    {"<!DOCTYPE doc [<!-- a > b <r>phantom</r> -->]><doc/>", "S46-51:doc |"},
    {"<!DOCTYPE doc [<!ENTITY e \"x>y<r/>z\">]><doc/>", "S39-44:doc |"},
    {"<!DOCTYPE doc [<!ENTITY e \"<r>in the DTD</r>\">]><doc>ok</doc>", "O48-52:doc C55-60:doc | 53-55"},
    {"<!DOCTYPE d [<!ENTITY e '\"]>'>]><d/>", "S32-35:d |"},
    {"<!DOCTYPE d [<!ATTLIST d a CDATA \"'>\"><?pi ]> ' ?><!-- ' ]> --><!ELEMENT d ANY>]>t<d/>",
     "S82-85:d | 81-82"},
    {"<!DOCTYPE d SYSTEM \"a>b\" [<!ENTITY % p SYSTEM 'x]>'> %p;]><d/>", "S58-61:d |"},
    {"<!DOCTYPE d [<![INCLUDE[<!ELEMENT d ANY>]]>]><d/>", "S45-48:d |"},
    {"<!DOCTYPE d []> <d/>", "S16-19:d | 15-16"},
    {"<!DOCTYPEd><d/>", "S11-14:d |"},
    // A document type declaration that does not end fails at its '<'.
    {"<!DOCTYPE", "doctype@0"},
    {"<!DOCTYPE d", "doctype@0"},
    {"<!DOCTYPE d [<!ELEMENT d ANY>", "doctype@0"},
    {"<!DOCTYPE d [<!ELEMENT d ANY>]", "doctype@0"},
    {"<!DOCTYPE d [<!ENTITY e \"]>\"> <d/>", "doctype@0"},
    {"<!DOCTYPE d [<!-- ]> <d/>", "doctype@0"},
    {"<!DOCTYPE d [<? ]> <d/>", "doctype@0"},
    {"<!DOCTYPE d 'x> <d/>", "doctype@0"},
    {"<r/><!DOCTYPE d [>", "doctype@4"},
    {"<!DOCTYPE d [<!ELEMENT d ANY>]<d/>", "doctype@0"},
    {"<!DOCTYPE d <!-- x --> []><d/>", "doctype@0"},
    // A quote that nothing closes hides only the byte after it, in both
    // builders, so a '/' there does not make the tag self-closing.
    {"<a \"/>", "O0-5:a |"},
    {"<a \"><b>", "O0-7:a |"},
    {"<a b='/>", "O0-7:a |"},
    {"<a b='x><r>\"\"\"\"\"\"\"\"\"\"\"\"</r>", "O0-7:a O8-10:r C23-26:r | 11-23"},
    {"<a \"", "unclosed@0"},
};

class BuilderCases : public testing::TestWithParam<Case> {};

TEST_P(BuilderCases, Sequential) {
    const Case& c = GetParam();
    const IndexResult r = build_index_sequential(c.doc);
    expect_consistent(r);
    EXPECT_EQ(describe(c.doc, r), c.index) << "document: " << c.doc;
}

TEST_P(BuilderCases, QuoteAware) {
    const Case& c = GetParam();
    const IndexResult r = build_index_quote_aware(c.doc);
    expect_consistent(r);
    EXPECT_EQ(describe(c.doc, r), c.index) << "document: " << c.doc;
}

INSTANTIATE_TEST_SUITE_P(Structural, BuilderCases, testing::ValuesIn(kCases));

// The sequential builder written as plain byte loops, straight from its rules,
// as an oracle for the vectorised one. It also reports whether it met an
// unterminated construct (a quote, declaration, CDATA section or processing
// instruction without its closing bytes), so that the tests can tell that
// such documents are among those compared.
struct Reference {
    IndexResult result;
    bool unterminated = false;
};

Reference reference_sequential(std::string_view doc) {
    const size_t n = doc.size();
    auto at = [&](size_t i) { return doc[i]; };
    auto find = [&](size_t from, char c) {
        for (size_t i = from; i < n; ++i)
            if (at(i) == c) return i;
        return n;
    };
    auto space = [](char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; };
    auto scan = [&](size_t from, auto stops) {
        size_t i = from;
        while (i < n && !stops(at(i))) ++i;
        return i;
    };
    auto error = [](IndexBuildError::Kind kind, size_t offset) {
        return Reference{fail(IndexBuildError{kind, offset}), false};
    };
    constexpr auto unclosed = IndexBuildError::Kind::UnclosedTag;
    constexpr auto ran_off = IndexBuildError::Kind::UnexpectedEnd;

    StructuralIndex ix;
    bool unterminated = false;
    auto push = [](auto& list, auto value) { list.push_back(value); };
    auto tag = [&](size_t s, size_t e, TagKind k, size_t name, size_t len) {
        for_each_list(push, ix.tag_lists(), std::tuple{s, e, k, name, static_cast<uint32_t>(len)});
    };
    auto text = [&](size_t a, size_t b) { for_each_list(push, ix.text_lists(), std::tuple{a, b}); };
    size_t p = 0, text_from = 0;
    for (;;) {
        const size_t s = find(p, '<');
        if (s == n) break;
        if (text_from < s) text(text_from, s);
        if (s == n - 1) return error(unclosed, s);
        size_t end = 0;
        if (doc.substr(s, 4) == "<!--") {
            size_t i = s + 4;
            while (i + 2 < n && doc.substr(i, 3) != "-->") ++i;
            if (i + 2 >= n) return error(ran_off, n);
            end = i + 2;
            tag(s, end, TagKind::Comment, 0, 0);
        } else if (doc.substr(s, 9) == "<![CDATA[") {
            size_t pos = s + 9;
            for (;;) {
                const size_t j = find(pos, ']');
                if (j == n) {
                    end = pos;
                    unterminated = true;
                    break;
                }
                if (doc.substr(j, 3) == "]]>") {
                    if (j > s + 9) text(s + 9, j);
                    end = j + 2;
                    break;
                }
                pos = j + 1;
            }
            if (end == n) return error(ran_off, n);
            tag(s, end, TagKind::CData, 0, 0);
        } else if (doc.substr(s, 9) == "<!DOCTYPE") {
            // Brackets nest; quotes, comments and processing instructions
            // are passed over whole.
            size_t i = s + 9, depth = 0;
            end = n;
            while (i < n && end == n) {
                const char c = at(i);
                if (c == '>' && depth == 0) {
                    end = i;
                } else if (c == '<' && depth == 0) {
                    break;
                } else if (c == '[') {
                    ++depth;
                } else if (c == ']' && depth > 0) {
                    --depth;
                } else if (c == '"' || c == '\'') {
                    i = find(i + 1, c);
                } else if (doc.substr(i, 4) == "<!--") {
                    i += 4;
                    while (i < n && doc.substr(i, 3) != "-->") ++i;
                    i += 2;
                } else if (doc.substr(i, 2) == "<?") {
                    i += 2;
                    while (i < n && doc.substr(i, 2) != "?>") ++i;
                    i += 1;
                }
                ++i;
            }
            if (end == n) return error(IndexBuildError::Kind::UnterminatedDoctype, s);
        } else if (at(s + 1) == '!') {
            end = find(s, '>');
            if (end == n) {
                unterminated = true;
                p = s + 1;
                text_from = s;
                continue;
            }
        } else if (at(s + 1) == '/') {
            const size_t ne = scan(s + 2, [&](char c) { return space(c) || c == '>'; });
            if (ne == n) return error(unclosed, s);
            end = find(ne, '>');
            if (end == n) return error(unclosed, s);
            tag(s, end, TagKind::Close, s + 2, ne - s - 2);
        } else if (at(s + 1) == '?') {
            const size_t te = scan(s + 2, [&](char c) { return space(c) || c == '>' || c == '?'; });
            if (te + 1 < n) {
                size_t i = te;
                while (i + 1 < n && doc.substr(i, 2) != "?>") ++i;
                if (i + 1 < n) {
                    end = i + 1;
                } else {
                    end = n - 1;
                    unterminated = true;
                }
            } else {
                end = te;
                unterminated = true;
            }
            if (end == n) return error(ran_off, n);
            tag(s, end, TagKind::ProcessingInstruction, s + 2, te - s - 2);
        } else {
            const size_t ne = scan(s + 1, [&](char c) { return space(c) || c == '/' || c == '>'; });
            if (ne == n) return error(unclosed, s);
            size_t i = ne;
            TagKind kind = TagKind::Open;
            for (;;) {
                if (i >= n) return error(unclosed, s);
                const char c = at(i);
                if (c == '"' || c == '\'') {
                    const size_t j = find(i + 1, c);
                    if (j == n) {
                        unterminated = true;
                        i += 2;
                    } else {
                        i = j + 1;
                    }
                } else if (c == '/' && i + 1 < n && at(i + 1) == '>') {
                    kind = TagKind::SelfClosing;
                    end = i + 1;
                    break;
                } else if (c == '>') {
                    end = i;
                    break;
                } else {
                    ++i;
                }
            }
            tag(s, end, kind, s + 1, ne - s - 1);
        }
        p = end + 1;
        text_from = end + 1;
    }
    return Reference{std::move(ix), unterminated};
}

struct Tally {
    size_t documents = 0, compared = 0, sequential_failed = 0, unterminated = 0;
};

void check_document(const std::string& doc, Tally& tally) {
    SCOPED_TRACE(testing::Message() << "document: \"" << doc << '"');
    ++tally.documents;
    const Reference ref = reference_sequential(doc);
    const IndexResult seq = build_index_sequential(doc);
    const IndexResult quote = build_index_quote_aware(doc);
    expect_consistent(quote);
    ASSERT_EQ(describe(doc, seq), describe(doc, ref.result));
    // The builders agree on every document, unterminated markup and errors
    // included.
    ASSERT_EQ(describe(doc, quote), describe(doc, seq));
    if (!seq.ok())
        ++tally.sequential_failed;
    else if (ref.unterminated)
        ++tally.unterminated;
    else
        ++tally.compared;
}

TEST(StructuralDifferential, GeneratedAndMutatedDocuments) {
    DocumentGenerator gen(20240611);
    Tally tally;
    for (int i = 0; i < 20000 && !HasFatalFailure(); ++i) check_document(gen.document(1 + i % 40), tally);
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i) check_document(gen.document(300), tally);
    // Most documents must reach the comparison for the test to mean much.
    EXPECT_GT(tally.compared, tally.documents / 3);
    EXPECT_GT(tally.sequential_failed, 1000u);
    EXPECT_GT(tally.unterminated, 100u);
}

TEST(StructuralDifferential, AttributeRows) {
    DocumentGenerator gen(77);
    Tally tally;
    for (int i = 0; i < 3000 && !HasFatalFailure(); ++i) {
        const std::string doc = gen.attribute_rows(1 + i % 30);
        check_document(doc, tally);
    }
    EXPECT_GT(tally.compared, tally.documents / 3);
}

TEST(StructuralDifferential, QuotedRunsAcrossBlocks) {
    // Values, comments and CDATA sections spanning several 64-byte blocks,
    // starting and ending at every offset within a block.
    Tally tally;
    const std::string filler = "x>y<z'w";
    for (size_t lead = 0; lead < 70; ++lead) {
        for (size_t len : {0, 1, 57, 63, 64, 65, 200}) {
            std::string body;
            while (body.size() < len) body += filler;
            body.resize(len);
            std::string dq_body = body;
            for (char& c : dq_body)
                if (c == '"') c = '_';
            const std::string pad(lead, ' ');
            check_document(pad + "<a k=\"" + dq_body + "\"/>" + pad + "<b m='" + std::string(len, '"') + "'>t</b>", tally);
            check_document(pad + "<!--" + body + "--><a x=\"" + std::string(len, '>') + "\">", tally);
            check_document(pad + "<![CDATA[" + body + "]]><a x='" + std::string(len, '<') + "'/>", tally);
            check_document(pad + "<a" + std::string(len, '"') + " k='>'>", tally);
        }
    }
    EXPECT_EQ(tally.compared, tally.documents);
}

TEST(StructuralReference, MatchesTheEdgeCaseTable) {
    for (const Case& c : kCases) EXPECT_EQ(describe(c.doc, reference_sequential(c.doc).result), c.index) << c.doc;
}

// Building the index a batch at a time.

// The batches of a stream, appended, or the stream's error; and the shape of
// each batch.
struct Drained {
    IndexResult all = StructuralIndex{};
    std::vector<size_t> tags, texts;  // entries of each batch
    bool grew = false;                // a list outgrew the reservation for a full batch
    std::vector<std::string> described;  // each batch, as by describe()
};

Drained drain(std::string_view doc, IndexStream& stream, size_t max_tags) {
    Drained out;
    StructuralIndex all, batch;
    const size_t max_texts = IndexStream::text_capacity(max_tags);
    std::vector<size_t> reserved;
    for_each_list([&](const auto&) { reserved.push_back(max_tags); }, batch.tag_lists());
    for_each_list([&](const auto&) { reserved.push_back(max_texts); }, batch.text_lists());
    auto capacities = [&batch] {
        std::vector<size_t> out;
        for_each_list([&out](const auto& list) { out.push_back(list.capacity()); }, batch.lists());
        return out;
    };
    while (!stream.done()) {
        const Status<IndexBuildError> status = stream.next(batch);
        if (!status.ok()) {
            EXPECT_TRUE(stream.done());
            out.all = fail(status.error());
            return out;
        }
        if (capacities() != reserved) out.grew = true;
        expect_consistent(IndexResult(batch));
        out.described.push_back(describe(doc, IndexResult(batch)));
        out.tags.push_back(batch.tag_count());
        out.texts.push_back(batch.text_starts.size());
        all.append(batch);
        if (out.tags.size() > doc.size() + 2) {
            ADD_FAILURE() << "the stream does not end";
            break;
        }
    }
    // Once done, a stream yields empty batches: every list is cleared.
    for_each_list([](auto& list) { list.resize(1); }, batch.lists());
    EXPECT_TRUE(stream.next(batch).ok());
    for_each_list([](const auto& list) { EXPECT_TRUE(list.empty()); }, batch.lists());
    out.all = std::move(all);
    return out;
}

IndexResult build_whole(std::string_view doc, Builder builder) {
    return builder == Builder::Sequential ? build_index_sequential(doc) : build_index_quote_aware(doc);
}

// Streams `doc` with batches of at most `max_tags` tags (the default size
// when 0) and checks the batches against the whole-document index.
void check_stream(std::string_view doc, Builder builder, size_t max_tags) {
    SCOPED_TRACE(testing::Message() << (builder == Builder::Sequential ? "sequential" : "quote-aware")
                                    << ", batches of " << max_tags << " tags");
    IndexStream stream = max_tags == 0 ? IndexStream(doc, builder) : IndexStream(doc, builder, max_tags);
    if (max_tags == 0) max_tags = IndexStream::kBatchTags;
    const Drained d = drain(doc, stream, max_tags);
    const IndexResult whole = build_whole(doc, builder);
    ASSERT_EQ(describe(doc, d.all), describe(doc, whole));
    if (!whole.ok()) return;
    const StructuralIndex& ix = d.all.value();

    // Each batch holds at most max_tags tags and, unless it is the last, is
    // full: of tags, or of text ranges.
    for (size_t b = 0; b < d.tags.size(); ++b) {
        EXPECT_LE(d.tags[b], max_tags) << "batch " << b;
        if (b + 1 < d.tags.size()) {
            EXPECT_TRUE(d.tags[b] == max_tags || d.texts[b] + 2 > IndexStream::text_capacity(max_tags))
                << "batch " << b << " ended early: " << d.described[b];
        }
    }
    // Every text range is in the batch of the first tag that ends after it
    // (the tag after the text, or the CDATA section holding it); text after
    // the last tag is in the last batch.
    std::vector<size_t> batch_of_tag, batch_of_text;
    for (size_t b = 0; b < d.tags.size(); ++b) {
        batch_of_tag.insert(batch_of_tag.end(), d.tags[b], b);
        batch_of_text.insert(batch_of_text.end(), d.texts[b], b);
    }
    std::vector<size_t> texts_of_tag(ix.tag_count() + 1);
    for (size_t t = 0; t < ix.text_starts.size(); ++t) {
        const size_t tag = static_cast<size_t>(
            std::lower_bound(ix.tag_ends.begin(), ix.tag_ends.end(), ix.text_ends[t]) - ix.tag_ends.begin());
        ++texts_of_tag[tag];
        const size_t want = tag < ix.tag_count() ? batch_of_tag[tag] : d.tags.size() - 1;
        EXPECT_EQ(batch_of_text[t], want) << "text range " << ix.text_starts[t] << '-' << ix.text_ends[t];
    }
    // The lists keep the capacity reserved on first use unless declarations
    // put several text ranges before one tag.
    bool regular = texts_of_tag.back() <= 1;
    for (size_t tag = 0; tag < ix.tag_count(); ++tag)
        regular &= texts_of_tag[tag] <= (ix.tag_kinds[tag] == TagKind::CData ? 2u : 1u);
    if (regular) {
        EXPECT_FALSE(d.grew);
    }
}

void check_stream_all_sizes(std::string_view doc) {
    SCOPED_TRACE(testing::Message() << "document: \"" << doc << '"');
    for (const Builder builder : {Builder::Sequential, Builder::QuoteAware})
        for (const size_t max_tags : {1, 2, 3, 5, 0}) check_stream(doc, builder, max_tags);
}

TEST(IndexStream, EdgeCaseTableInSmallBatches) {
    for (const Case& c : kCases) check_stream_all_sizes(c.doc);
}

std::string times(std::string_view piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// Documents that put batch boundaries in awkward places, for batches of 1 to
// 5 tags.
TEST(IndexStream, BoundariesInSmallBatches) {
    std::vector<std::string> docs = {"", "only text", "<", "a<", "<a/><", "<r>x</r>tail<", "<r>\n</r>\n"};
    for (size_t k = 0; k <= 11; ++k) {
        docs.push_back(times("<a/>", k));
        docs.push_back(times("t<a/>", k) + "tail");
        docs.push_back(times("<a/>", k) + "<![CDATA[c]]>" + times("<b/>", k % 3));
        docs.push_back(times("t<a/>", k) + "t<![CDATA[c]]>t<![CDATA[]]>t<![CDATA[d]]>");
        docs.push_back(times("<![CDATA[c]]>", k) + "<r/>");
        docs.push_back(times("x<!-- c -->", k) + "<?pi x?>y");
        // A declaration leaves text before it and after it for the next tag.
        docs.push_back(times("<a/>", k) + "t<!DOCTYPE r>u<!x>v<r/>w<!y");
        // An error in a later batch, of either kind.
        docs.push_back(times("<a>t", k) + "<b");
        docs.push_back(times("<a>t", k) + "<!-- open");
        docs.push_back(times("<a>t", k) + "<![CDATA[ open]");
        docs.push_back(times("<a x='1'>t", k) + "</b");
        docs.push_back(times("<a/>", k) + "<");
    }
    for (const std::string& doc : docs) check_stream_all_sizes(doc);
}

// Tag counts around the default batch size and its multiples.
TEST(IndexStream, BoundariesAtTheDefaultBatchSize) {
    const size_t n = IndexStream::kBatchTags;
    for (const size_t count : {n - 1, n, n + 1, 2 * n - 1, 2 * n, 2 * n + 1, 3 * n}) {
        for (const std::string& doc :
             {times("<a/>", count), times("t<a/>", count) + "tail<", times("t<![CDATA[c]]>", count),
              times("<a/>", count - 1) + "<![CDATA[c]]>", times("<a/>", count) + "<b"}) {
            SCOPED_TRACE(testing::Message() << count << " tags, " << doc.substr(doc.size() - 20));
            for (const Builder builder : {Builder::Sequential, Builder::QuoteAware}) check_stream(doc, builder, 0);
        }
    }
}

// The exact batches of a few documents.
TEST(IndexStream, BatchesOfTwoTags) {
    struct Expected {
        const char* doc;
        std::vector<std::string> batches;  // each as by describe()
    };
    const Expected table[] = {
        {"", {" |"}},
        {"text", {" |"}},
        {"<a>x<![CDATA[y]]>z</a>", {"O0-2:a D4-16 | 3-4 13-14", "C18-21:a | 17-18"}},
        {"<a/><b/>", {"S0-3:a S4-7:b |"}},
        {"<a/><b/><c/>", {"S0-3:a S4-7:b |", "S8-11:c |"}},
        // Text before markup that leaves no tag, after the last tag.
        {"<a/><b/>x<!d", {"S0-3:a S4-7:b |", " | 8-9"}},
        {"<a/><b/>x<!d>y<c/>z", {"S0-3:a S4-7:b |", "S14-17:c | 8-9 13-14"}},
        // Room for four text ranges: the second CDATA section's two do not
        // fit beside the first's.
        {"x<a/>y<![CDATA[1]]>z<![CDATA[2]]>", {"S1-4:a D6-18 | 0-1 5-6 15-16", "D20-32 | 19-20 29-30"}},
        {"<a>x<b>y<c>", {"O0-2:a O4-6:b | 3-4", "O8-10:c | 7-8"}},
    };
    for (const Expected& e : table) {
        IndexStream stream(e.doc, Builder::Sequential, 2);
        EXPECT_EQ(drain(e.doc, stream, 2).described, e.batches) << e.doc;
    }
}

TEST(IndexStream, DefaultUsesTheChosenBuilder) {
    for (const std::string doc : {"<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"/><", "<r a=\"1\"/><"}) {
        IndexStream stream(doc);
        const Drained d = drain(doc, stream, IndexStream::kBatchTags);
        EXPECT_EQ(describe(doc, d.all), describe(doc, build_index(doc))) << doc;
    }
}

TEST(IndexStream, MovedStreamGoesOn) {
    const std::string doc = times("<a>t</a>", 5);
    IndexStream first(doc, Builder::QuoteAware, 3);
    StructuralIndex batch;
    ASSERT_TRUE(first.next(batch).ok());
    ASSERT_EQ(batch.tag_count(), 3u);
    IndexStream second(std::move(first));
    EXPECT_TRUE(first.done());  // NOLINT(bugprone-use-after-move): moved-from streams are finished
    const Drained rest = drain(doc, second, 3);
    EXPECT_EQ(rest.tags, (std::vector<size_t>{3, 3, 1}));
}

TEST(IndexStream, GeneratedAndMutatedDocuments) {
    DocumentGenerator gen(20240611);
    for (int i = 0; i < 20000 && !HasFatalFailure(); ++i) {
        const std::string doc = gen.document(1 + i % 40);
        SCOPED_TRACE(testing::Message() << "document: \"" << doc << '"');
        for (const Builder builder : {Builder::Sequential, Builder::QuoteAware})
            check_stream(doc, builder, 1 + static_cast<size_t>(i) % 4);
    }
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i) check_stream_all_sizes(gen.document(300));
    DocumentGenerator rows(77);
    for (int i = 0; i < 1000 && !HasFatalFailure(); ++i) check_stream_all_sizes(rows.attribute_rows(1 + i % 30));
}

// Builder choice.

std::string repeat(char c, size_t n) { return std::string(n, c); }

TEST(ChooseBuilder, QuotientOfDoubleQuotesToTags) {
    struct Choice {
        std::string doc;
        Builder want;
    };
    const Choice choices[] = {
        {"", Builder::Sequential},
        {"plain text", Builder::Sequential},
        {"<a>" + repeat('"', 5), Builder::Sequential},    // 5 / 1: not more than 5
        {"<a>" + repeat('"', 6), Builder::QuoteAware},    // 6 / 1
        {repeat('"', 5), Builder::Sequential},            // no '<' counts as one
        {repeat('"', 6), Builder::QuoteAware},
        {"<<" + repeat('"', 10), Builder::Sequential},    // 10 / 2 = 5
        {"<<" + repeat('"', 11), Builder::QuoteAware},    // 5.5
        {"<<<" + repeat('"', 16), Builder::QuoteAware},   // 5.33
        {"<<<" + repeat('"', 15), Builder::Sequential},   // 5
        {"<" + repeat('\'', 100), Builder::Sequential},   // single quotes do not count
        {"<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">it's</r>", Builder::QuoteAware},
        {"<row a=\"1\" b=\"2\" c=\"3\"/>", Builder::QuoteAware},  // 6 / 1
        {"<row a=\"1\" b=\"2\"/><row a=\"1\" b=\"2\"/>", Builder::Sequential},  // 8 / 2
        // Only the first 4096 bytes are looked at.
        {"<" + repeat('"', 5) + repeat(' ', 4090) + repeat('"', 100), Builder::Sequential},
        {"<" + repeat('"', 5) + repeat(' ', 4089) + "\"", Builder::QuoteAware},  // 4096th byte counts
        {"<" + repeat('"', 5) + repeat(' ', 4090) + "\"", Builder::Sequential},  // 4097th does not
        {repeat('"', 6) + repeat(' ', 4090) + repeat('<', 100), Builder::QuoteAware},
    };
    for (const Choice& c : choices)
        EXPECT_EQ(choose_builder(c.doc), c.want) << "document of " << c.doc.size() << " bytes: " << c.doc.substr(0, 40);
}

TEST(BuildIndex, AnyChoiceGivesTheSameIndex) {
    // A trailing '<' is an unclosed tag whichever builder the document picks.
    const std::string rows = "<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"/><";
    ASSERT_EQ(choose_builder(rows), Builder::QuoteAware);
    EXPECT_EQ(describe(rows, build_index(rows)), "unclosed@40");
    const std::string mixed = "<r a=\"1\"/><";
    ASSERT_EQ(choose_builder(mixed), Builder::Sequential);
    EXPECT_EQ(describe(mixed, build_index(mixed)), "unclosed@10");
    const std::string fine = "<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"/>";
    ASSERT_EQ(choose_builder(fine), Builder::QuoteAware);
    EXPECT_EQ(describe(fine, build_index(fine)), "S0-39:r |");
}

// Sizes.

TEST(StructuralIndexSize, ReservesOneTagPer128AndOneTextPer256Bytes) {
    for (size_t n : {0, 1, 127, 128, 255, 256, 1000, 100000}) {
        const std::string doc(n, ' ');
        for (auto build : {&build_index_sequential, &build_index_quote_aware}) {
            const IndexResult r = build(doc);
            ASSERT_TRUE(r.ok());
            for_each_list([n](const auto& list) { EXPECT_EQ(list.capacity(), n / 128) << n; }, r.value().tag_lists());
            for_each_list([n](const auto& list) { EXPECT_EQ(list.capacity(), n / 256) << n; }, r.value().text_lists());
        }
    }
}

TEST(StructuralIndexSize, GrowsPastTheReservation) {
    // A tag every 8 bytes: sixteen times the reservation, in every list.
    std::string doc;
    while (doc.size() < 100000) doc += "<a>x</a>";
    for (auto build : {&build_index_sequential, &build_index_quote_aware}) {
        const IndexResult r = build(doc);
        ASSERT_TRUE(r.ok());
        const StructuralIndex& ix = r.value();
        ASSERT_EQ(ix.tag_count(), doc.size() / 4);
        ASSERT_EQ(ix.text_starts.size(), doc.size() / 8);
        for (size_t i = 0; i < ix.tag_count(); i += 997) {
            EXPECT_EQ(ix.tag_starts[i], i * 4);
            EXPECT_EQ(ix.tag_ends[i], i * 4 + 2 + i % 2);
            EXPECT_EQ(ix.tag_kinds[i], i % 2 ? TagKind::Close : TagKind::Open);
            EXPECT_EQ(ix.name_offsets[i], i * 4 + 1 + i % 2);
        }
        EXPECT_EQ(ix.text_ends.back(), doc.size() - 4);
    }
}

TEST(StructuralIndexSize, NamesLongerThan16Bits) {
    const std::string name(70000, 'n');
    const std::string doc = "<" + name + " a='1'>t</" + name + ">";
    for (auto build : {&build_index_sequential, &build_index_quote_aware}) {
        const IndexResult r = build(doc);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r.value().tag_count(), 2u);
        EXPECT_EQ(r.value().name_lengths[0], 70000u);
        EXPECT_EQ(r.value().name_lengths[1], 70000u);
        EXPECT_EQ(r.value().name_offsets[1], 70000u + 11);
    }
}

TEST(StructuralIndexSize, NameOf4GiBIsTooLong) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "scanning 4 GiB under AddressSanitizer takes too long";
#endif
    // "<" + 2^32 name bytes + ">": the name bytes are untouched zero pages,
    // so the mapping costs no memory.
    const size_t name = size_t{1} << 32;
    const size_t n = name + 2;
    void* m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
    madvise(m, n, MADV_HUGEPAGE);  // fewer page faults, where available
    char* d = static_cast<char*>(m);
    d[0] = '<';
    d[n - 1] = '>';
    const IndexResult r = build_index_sequential(std::string_view(d, n));
    EXPECT_EQ(describe("", r), "toolong@1");
    d[n - 2] = ' ';  // one byte shorter: 2^32 - 1 bytes fit
    const IndexResult shorter = build_index_sequential(std::string_view(d, n));
    ASSERT_TRUE(shorter.ok());
    EXPECT_EQ(shorter.value().name_lengths[0], 0xFFFFFFFFu);
    munmap(m, n);
}

// The marking pass of the quote-aware builder.

struct MarkCase {
    std::string doc;
    std::string lt;  // a '1' under each '<' that must be marked
    std::string gt;
};

std::string marked(const std::vector<uint64_t>& bits, size_t n) {
    std::string out(n, ' ');
    for (size_t i = 0; i < n; ++i)
        if (bits[i / 64] >> (i % 64) & 1) out[i] = '1';
    return out;
}

// The expected bitmaps: every '<' / '>' of `doc` except those in [hide_from, hide_to).
MarkCase mark_case(std::string doc, size_t hide_from, size_t hide_to) {
    MarkCase c{doc, std::string(doc.size(), ' '), std::string(doc.size(), ' ')};
    for (size_t i = 0; i < doc.size(); ++i) {
        if (i >= hide_from && i < hide_to) continue;
        if (doc[i] == '<') c.lt[i] = '1';
        if (doc[i] == '>') c.gt[i] = '1';
    }
    return c;
}

class MarkMarkup : public testing::TestWithParam<const simd::KernelTable*> {};

TEST_P(MarkMarkup, HidesOnlyQuotedAttributeValues) {
    std::vector<MarkCase> cases;
    for (size_t lead : {0, 1, 40, 58, 62, 63, 64, 127}) {
        const std::string pad(lead, ' ');
        const std::string value = std::string(70, '>') + "<'" + std::string(70, '<');
        // A double-quoted value across blocks.
        cases.push_back(mark_case(pad + "<a k=\"" + value + "\">", lead + 6, lead + 6 + value.size()));
        // Unmatched: only the byte after the quote is hidden.
        cases.push_back(mark_case(pad + "<a k='>" + std::string(80, '>'), lead + 6, lead + 7));
        // Quotes in text, comments, CDATA, close tags, declarations and
        // processing instructions, and in a name, hide nothing.
        cases.push_back(mark_case(pad + "it's <a>'<b>'</a '>' > \" <c\"d e='>'>", lead + 33, lead + 34));
        cases.push_back(mark_case(pad + "<!-- ' <a b=' --><x y='>'/>", lead + 23, lead + 24));
        cases.push_back(mark_case(pad + "<![CDATA[ <a b=' ]]><x y='>'/>", lead + 26, lead + 27));
        cases.push_back(mark_case(pad + "<?pi '?>' <x y='>'/>", lead + 16, lead + 17));
        cases.push_back(mark_case(pad + "<!x r '>' <x y='>'/>", lead + 16, lead + 17));
        // A document type declaration is passed over whole, and its literals
        // with it.
        cases.push_back(mark_case(pad + "<!DOCTYPE r [<!ENTITY e '<x y=\">'>]><x y='>'/>", lead + 42, lead + 43));
        // The other quote inside a run is ordinary, and runs follow one
        // another within a tag.
        cases.push_back(mark_case(pad + "<a x='\">' y=\"'>\">", lead + 5, lead + 15));
        // '<' inside a tag does not start another.
        cases.push_back(mark_case(pad + "<a <b c='>'>", lead + 8, lead + 11));
    }
    const simd::KernelTable& k = *GetParam();
    for (const MarkCase& c : cases) {
        const size_t n = c.doc.size();
        std::vector<uint64_t> lt(bitmap_words(n), ~uint64_t{0}), gt(lt);
        mark_markup(k, c.doc.data(), n, lt.data(), gt.data());
        EXPECT_EQ(marked(lt, n), c.lt) << c.doc;
        EXPECT_EQ(marked(gt, n), c.gt) << c.doc;
    }
}

INSTANTIATE_TEST_SUITE_P(Structural, MarkMarkup,
                         testing::ValuesIn(simd::kernels_for_testing().begin(), simd::kernels_for_testing().end()),
                         [](const testing::TestParamInfo<const simd::KernelTable*>& info) {
                             return std::string(info.param->name);
                         });

}  // namespace
}  // namespace arbolite::index
