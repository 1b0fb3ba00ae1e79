#include "read/parser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index_test_support.hpp"
#include "read/start_tag_testing.hpp"

namespace {

using arbolite::ParsedElement;
using arbolite::ParsedTree;
using arbolite::index::IndexBuildError;
using arbolite::index::StructuralIndex;
using arbolite::index::TagKind;
using arbolite::read::parse_document;
using arbolite::read::parse_indexed;
using arbolite::read::ReadError;
using arbolite::read::StartTagsAhead;
using arbolite::read::testing::parse_start_tag;
using arbolite::read::testing::scan_element_name;
using Malformation = ReadError::Malformation;
using M = Malformation;

// An error's code and data, for messages and comparisons.
std::string summary(const ReadError& e) {
    return std::to_string(static_cast<int>(e.kind)) + "/" + std::to_string(static_cast<int>(e.malformation)) + " '" +
           e.name + "' '" + e.found + "' @" + std::to_string(e.offset);
}

// Checks the shape invariants of a pre-order tree: every `end` lies inside
// the parent's range and `child_count` matches the children found by
// hopping from sibling to sibling.
void expect_consistent(const ParsedTree& tree) {
    const auto& el = tree.elements;
    ASSERT_FALSE(el.empty());
    ASSERT_EQ(el[0].end, el.size());
    std::vector<size_t> ends{el.size()};
    for (size_t i = 0; i < el.size(); ++i) {
        while (ends.back() <= i) ends.pop_back();
        ASSERT_GT(el[i].end, i);
        ASSERT_LE(el[i].end, ends.back());
        size_t children = 0;
        for (size_t j = i + 1; j < el[i].end; j = el[j].end) ++children;
        ASSERT_EQ(el[i].child_count, children) << "element " << i;
        ASSERT_TRUE(!el[i].text || !el[i].text->empty()) << "empty text on element " << i;
        ends.push_back(el[i].end);
    }
}

// A compact outline: name, sorted attributes in (), text in "", children in [].
std::string describe(const ParsedTree& tree) {
    const auto& el = tree.elements;
    std::string out;
    std::vector<size_t> ends;
    for (size_t i = 0; i < el.size(); ++i) {
        bool first_child = !out.empty() && out.back() == '[';
        while (!ends.empty() && ends.back() <= i) {
            out += ']';
            ends.pop_back();
        }
        if (i > 0 && !first_child) out += ' ';
        out += el[i].name;
        std::vector<std::pair<std::string, std::string>> attrs;
        for (const auto& e : el[i].attrs) attrs.emplace_back(e.name, e.value);
        std::sort(attrs.begin(), attrs.end());
        if (!attrs.empty()) {
            out += '(';
            for (size_t a = 0; a < attrs.size(); ++a) {
                if (a) out += ',';
                out += attrs[a].first + "=" + attrs[a].second;
            }
            out += ')';
        }
        if (el[i].text) {
            out += '"';
            out += *el[i].text;
            out += '"';
        }
        if (el[i].end > i + 1) {
            out += '[';
            ends.push_back(el[i].end);
        }
    }
    out.append(ends.size(), ']');
    return out;
}

// ---------------------------------------------------------------------------
// Documents that parse

struct TreeCase {
    std::string document;
    std::string root;
    std::string expected;
};

void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.document; }

class ParseTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ParseTreeTest, BuildsTree) {
    const TreeCase& c = GetParam();
    SCOPED_TRACE(c.document);
    auto result = parse_document(c.document, c.root);
    ASSERT_TRUE(result.ok()) << "error: " << summary(result.error());
    expect_consistent(result.value());
    EXPECT_EQ(describe(result.value()), c.expected);
}

// Every White_Space character of Unicode, in UTF-8.
const std::string kAllWhiteSpace =
    "\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80"
    "\xE2\x80\x80\xE2\x80\x81\xE2\x80\x82\xE2\x80\x83\xE2\x80\x84\xE2\x80\x85\xE2\x80\x86\xE2\x80\x87"
    "\xE2\x80\x88\xE2\x80\x89\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";

INSTANTIATE_TEST_SUITE_P(
    Parser, ParseTreeTest,
    ::testing::Values(
        // The root is found at any depth; what encloses it is left out.
        TreeCase{"<a><r x=\"1\">t</r></a>", "r", "r(x=1)\"t\""},
        TreeCase{"<x><y><r><z/></r></y></x>", "r", "r[z]"},
        TreeCase{"<x><r>1</r><r>2</r></x>", "r", "r\"1\""},
        TreeCase{"<r><r>in</r>out</r>", "r", "r\"out\"[r\"in\"]"},
        TreeCase{"<x><r a=\"1\"/><r>later</r></x>", "r", "r(a=1)"},
        TreeCase{"<a><a></a><r/></a>", "r", "r"},
        TreeCase{"<a>before<r>in</r>after</a>", "r", "r\"in\""},
        // Outside the root, open tags are not looked at beyond their name,
        // nor is text; after the root closes nothing is looked at.
        TreeCase{"<a><b x=1></b><r/></a>", "r", "r"},
        TreeCase{"<a>&bogus; a > b<r/></a>", "r", "r"},
        TreeCase{"<r>a</r><x>", "r", "r\"a\""},
        TreeCase{"<r/><x a=1/></y>", "r", "r"},
        TreeCase{"<r>a</r></x>", "r", "r\"a\""},
        // Close tags may carry white space, ASCII or not, before '>'.
        TreeCase{"<r></r >", "r", "r"},
        TreeCase{"<r></r\n\t>", "r", "r"},
        TreeCase{"<r></r \xC2\xA0\xE3\x80\x80>", "r", "r"},
        // Text: concatenated across children, comments and processing
        // instructions, then trimmed; absent when nothing is left.
        TreeCase{"<a> x <b/> y </a>", "a", "a\"x  y\"[b]"},
        TreeCase{"<a>  </a>", "a", "a"},
        TreeCase{"<a></a>", "a", "a"},
        TreeCase{"<r>  <!-- c -->  </r>", "r", "r"},
        TreeCase{"<a><b>in</b>after</a>", "a", "a\"after\"[b\"in\"]"},
        TreeCase{"<r>a<!--c-->b<?p x?>c</r>", "r", "r\"abc\""},
        TreeCase{"<r>a\r\nb\tc</r>", "r", "r\"a\r\nb\tc\""},
        TreeCase{"<r>" + kAllWhiteSpace + "x" + kAllWhiteSpace + "y" + kAllWhiteSpace + "</r>", "r",
                 "r\"x" + kAllWhiteSpace + "y\""},
        TreeCase{"<r>" + kAllWhiteSpace + "</r>", "r", "r"},
        // Not White_Space: zero width space U+200B, U+180E, U+FEFF.
        TreeCase{"<r>\xE2\x80\x8Bx\xE1\xA0\x8E\xEF\xBB\xBF</r>", "r", "r\"\xE2\x80\x8Bx\xE1\xA0\x8E\xEF\xBB\xBF\""},
        // Trimming happens after decoding.
        TreeCase{"<r>&#32;x&#xA0;</r>", "r", "r\"x\""},
        TreeCase{"<r> &#x3000; </r>", "r", "r"},
        TreeCase{"<r>x &lt; y &amp;&amp; z</r>", "r", "r\"x < y && z\""},
        TreeCase{"<r>&amp;lt;</r>", "r", "r\"&lt;\""},
        // CDATA content is taken raw, and only once.
        TreeCase{"<r><![CDATA[ <&> ]]></r>", "r", "r\"<&>\""},
        TreeCase{"<r><![CDATA[x]]>y</r>", "r", "r\"xy\""},
        TreeCase{"<r>a<![CDATA[b]]>c</r>", "r", "r\"abc\""},
        TreeCase{"<r><![CDATA[a]]b]]></r>", "r", "r\"a]]b\""},
        TreeCase{"<r><![CDATA[&amp;]]></r>", "r", "r\"&amp;\""},
        TreeCase{"<r><![CDATA[]]></r>", "r", "r"},
        TreeCase{"<r><![CDATA[  ]]> </r>", "r", "r"},
        TreeCase{"<a><![CDATA[zz]]><r>t</r></a>", "r", "r\"t\""},
        // Attributes: white space around '=', either quote, the other quote
        // inside, references decoded, line ends normalised.
        TreeCase{"<r a = \"1\"\tb\n=\n'2'/>", "r", "r(a=1,b=2)"},
        TreeCase{"<r a='say \"hi\"' b=\"it's\"/>", "r", "r(a=say \"hi\",b=it's)"},
        TreeCase{"<r a=\"\" b=''/>", "r", "r(a=,b=)"},
        TreeCase{"<r a=\"x\r\ny\tz\"/>", "r", "r(a=x y z)"},
        TreeCase{"<r a=\"&lt;&#10;&gt;\"></r>", "r", "r(a=<\n>)"},
        TreeCase{"<r a=\"x>y\" />", "r", "r(a=x>y)"},
        // Decoded and plain values side by side: each decoded one is complete
        // and none is overwritten by the next.
        TreeCase{"<r a=\"x&amp;1\" b=\"y&lt;2\" c=\"plain\" d=\"p&#9;q\" e=\"\r\nz\" f='&quot;'/>", "r",
                 "r(a=x&1,b=y<2,c=plain,d=p\tq,e= z,f=\")"},
        TreeCase{"<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\" g=\"7\" h=\"8\" i=\"9\"/>", "r",
                 "r(a=1,b=2,c=3,d=4,e=5,f=6,g=7,h=8,i=9)"},
        TreeCase{"<r\n a=\"1\"\n >t</r>", "r", "r(a=1)\"t\""},
        // Names are taken as written, prefixes included.
        TreeCase{"<ns:r ns:a=\"1\"><ns:b/></ns:r>", "ns:r", "ns:r(ns:a=1)[ns:b]"},
        TreeCase{"<r>\xC3\xA9t\xC3\xA9</r>", "r", "r\"\xC3\xA9t\xC3\xA9\""},
        // Declarations before the root are skipped.
        TreeCase{"<?xml version=\"1.0\"?><!DOCTYPE r><r/>", "r", "r"},
        TreeCase{"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- top -->\n<r>\n  <a>1</a>\n</r>\n", "r",
                 "r[a\"1\"]"},
        // Children keep document order.
        TreeCase{"<r><a/><b>t</b><c><d/></c><e/></r>", "r", "r[a b\"t\" c[d] e]"},
        TreeCase{"<r><a><b><c/></b></a><d/></r>", "r", "r[a[b[c]] d]"},
        TreeCase{"<catalog>\n"
                 "  <book id=\"b1\" lang='en'>\n"
                 "    <title>XML &amp; You</title>\n"
                 "    <price cur=\"EUR\">12.50</price>\n"
                 "  </book>\n"
                 "  <book id=\"b2\"><title/><note>a<br/>b</note></book>\n"
                 "</catalog>",
                 "catalog",
                 "catalog[book(id=b1,lang=en)[title\"XML & You\" price(cur=EUR)\"12.50\"] "
                 "book(id=b2)[title note\"ab\"[br]]]"}));

// ---------------------------------------------------------------------------
// Documents that fail

struct ErrorCase {
    std::string document;
    std::string root;
    ReadError::Kind kind;
    std::string name;
    uint64_t offset;
    Malformation what = Malformation::UnexpectedEnd;  // of kMalformed
    std::string found = {};
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.document; }

class ParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, Fails) {
    const ErrorCase& c = GetParam();
    SCOPED_TRACE(c.document);
    auto result = parse_document(c.document, c.root);
    ASSERT_FALSE(result.ok()) << describe(result.value());
    const ReadError& e = result.error();
    EXPECT_EQ(e.kind, c.kind);
    EXPECT_EQ(e.name, c.name);
    if (c.kind == ReadError::Kind::Malformed) {
        EXPECT_EQ(e.malformation, c.what);
        EXPECT_EQ(e.found, c.found);
    }
    if (c.kind == ReadError::Kind::Malformed || c.kind == ReadError::Kind::UnknownEntity) {
        EXPECT_EQ(e.offset, c.offset);
    }
}

constexpr auto kMalformed = ReadError::Kind::Malformed;
constexpr auto kUnknown = ReadError::Kind::UnknownEntity;
constexpr auto kRootNotFound = ReadError::Kind::RootNotFound;
constexpr auto kUnclosed = ReadError::Kind::Unclosed;

INSTANTIATE_TEST_SUITE_P(
    Parser, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"", "r", kRootNotFound, "r", 0},
        ErrorCase{"just text", "r", kRootNotFound, "r", 0},
        ErrorCase{"<a><b/></a>", "r", kRootNotFound, "r", 0},
        ErrorCase{"<a><R/></a>", "r", kRootNotFound, "r", 0},
        ErrorCase{"<r><a>", "r", kUnclosed, "a", 0},
        ErrorCase{"<r>text", "r", kUnclosed, "r", 0},
        ErrorCase{"<a><r><b></b>", "r", kUnclosed, "r", 0},
        // Index failures that end the document inside markup.
        ErrorCase{"<r><!-- x</r>", "r", kMalformed, "", 13, M::UnexpectedEnd},
        ErrorCase{"<r><![CDATA[x]", "r", kMalformed, "", 14, M::UnexpectedEnd},
        ErrorCase{"<r><?pi", "r", kMalformed, "", 7, M::UnexpectedEnd},
        // Start tags.
        ErrorCase{"<r>< a/></r>", "r", kMalformed, "", 3, M::MissingElementName},
        ErrorCase{"< a></a><r/>", "r", kMalformed, "", 0, M::MissingElementName},
        ErrorCase{"<x>< a/><r/></x>", "r", kMalformed, "", 3, M::MissingElementName},
        ErrorCase{"<r a=\"1\"b=\"2\"/>", "r", kMalformed, "", 8, M::MissingSpaceBeforeAttribute},
        ErrorCase{"<r/ >", "r", kMalformed, "", 2, M::MissingSpaceBeforeAttribute},
        ErrorCase{"<r =\"1\"/>", "r", kMalformed, "", 3, M::MissingAttributeName},
        ErrorCase{"<r a=\"1\" 'x'/>", "r", kMalformed, "", 9, M::MissingAttributeName},
        ErrorCase{"<r a/>", "r", kMalformed, "a", 3, M::AttributeWithoutValue},
        ErrorCase{"<r  abc def=\"1\"/>", "r", kMalformed, "abc", 4, M::AttributeWithoutValue},
        ErrorCase{"<r a=1/>", "r", kMalformed, "a", 5, M::UnquotedAttributeValue},
        ErrorCase{"<r a=/>", "r", kMalformed, "a", 5, M::UnquotedAttributeValue},
        ErrorCase{"<r a = >", "r", kMalformed, "a", 7, M::UnquotedAttributeValue},
        ErrorCase{"<r a=\"1/>", "r", kMalformed, "", 6, M::UnterminatedAttributeValue},
        ErrorCase{"<r a='1\" >", "r", kMalformed, "", 6, M::UnterminatedAttributeValue},
        ErrorCase{"<r a=\"x<y\"/>", "r", kMalformed, "", 7, M::LessThanInAttributeValue},
        ErrorCase{"<r a=\"1\" b='<<'/>", "r", kMalformed, "", 12, M::LessThanInAttributeValue},
        ErrorCase{"<r a=\"1\" a=\"2\"/>", "r", kMalformed, "a", 9, M::DuplicateAttribute},
        ErrorCase{"<r a=\"1\" b=\"\" a=\"1\"></r>", "r", kMalformed, "a", 14, M::DuplicateAttribute},
        // A duplicate with a bad value reports the value's error.
        ErrorCase{"<r a=\"1\" a=2/>", "r", kMalformed, "a", 11, M::UnquotedAttributeValue},
        ErrorCase{"<r a=\"1\" a=\"&bad;\"/>", "r", kUnknown, "bad", 12},
        ErrorCase{"<r a=\"&amp;\" a=\"&amp;\"/>", "r", kMalformed, "a", 13, M::DuplicateAttribute},
        ErrorCase{"<r a=\"ab\tc&bad;\"/>", "r", kUnknown, "bad", 10},
        // Self-closing tags outside the root are checked in full.
        ErrorCase{"<a><b x=1/><r/></a>", "r", kMalformed, "x", 8, M::UnquotedAttributeValue},
        ErrorCase{"<a><b c=\"1\" c=\"2\"/><r/></a>", "r", kMalformed, "c", 12, M::DuplicateAttribute},
        ErrorCase{"<b c=\"&x;\"/><r/>", "r", kUnknown, "x", 6},
        // Close tags.
        ErrorCase{"<r><a></b></r>", "r", kMalformed, "a", 6, M::EndTagMismatch, "b"},
        ErrorCase{"<r></R>", "r", kMalformed, "r", 3, M::EndTagMismatch, "R"},
        ErrorCase{"<a></b><r/>", "r", kMalformed, "a", 3, M::EndTagMismatch, "b"},
        ErrorCase{"</r>", "r", kMalformed, "r", 0, M::UnexpectedEndTag},
        ErrorCase{"<a></a></a><r/>", "r", kMalformed, "a", 7, M::UnexpectedEndTag},
        ErrorCase{"<r></r x>", "r", kMalformed, "r", 3, M::MalformedEndTag},
        ErrorCase{"<r></r \xE2\x80\x8B>", "r", kMalformed, "r", 3, M::MalformedEndTag},
        ErrorCase{"<a></a x><r/>", "r", kMalformed, "a", 3, M::MalformedEndTag},
        ErrorCase{"<r></ r>", "r", kMalformed, "", 3, M::MalformedEndTag},
        // Comments, CDATA sections and processing instructions.
        ErrorCase{"<r><![CDATA[abc</r>", "r", kMalformed, "", 3, M::UnterminatedCData},
        ErrorCase{"<a><![CDATA[abc</a><r/>", "r", kMalformed, "", 3, M::UnterminatedCData},
        ErrorCase{"<r><?pi?</r>", "r", kMalformed, "", 3, M::UnterminatedProcessingInstruction},
        ErrorCase{"<?pi?<r/>", "r", kMalformed, "", 0, M::UnterminatedProcessingInstruction},
        // Text.
        ErrorCase{"<r>x<!y<?p ?", "r", kMalformed, "", 4, M::UnexpectedLessThan},
        ErrorCase{"<r>a & b</r>", "r", kMalformed, "", 5, M::UnterminatedReference},
        ErrorCase{"<r>xx&bad;</r>", "r", kUnknown, "bad", 5},
        ErrorCase{"<r><a/>  &;</r>", "r", kUnknown, "", 9},
        ErrorCase{"<r>&#0;</r>", "r", kMalformed, "#0", 3, M::InvalidCharacterReference},
        ErrorCase{"<r>&#X41;</r>", "r", kMalformed, "#X41", 3, M::InvalidCharacterReference},
        ErrorCase{"<r a=\"&amp\"/>", "r", kMalformed, "", 6, M::UnterminatedReference},
        ErrorCase{"<r a=\"x\r\n&#xD800;\"/>", "r", kMalformed, "#xD800", 9, M::InvalidCharacterReference}));

// Documents dominated by quoted values go through the other index builder;
// the walk must give the same results on its index.
TEST(Parser, QuoteAwareIndexedDocuments) {
    using arbolite::index::Builder;
    using arbolite::index::choose_builder;
    const std::string six = " a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"";

    const std::string text_doc = "<r" + six + ">it's<x" + six + "/>  </r>";
    ASSERT_EQ(choose_builder(text_doc), Builder::QuoteAware);
    auto tree = parse_document(text_doc, "r");
    ASSERT_TRUE(tree.ok()) << summary(tree.error());
    EXPECT_EQ(describe(tree.value()), "r(a=1,b=2,c=3,d=4,e=5,f=6)\"it's\"[x(a=1,b=2,c=3,d=4,e=5,f=6)]");

    const std::string six_more = " g=\"1\" h=\"2\" i=\"3\" j=\"4\" k=\"5\" l=\"6\"";
    const std::string comment_doc = "<r" + six + six_more + ">t<!-- a<b --></r>";
    ASSERT_EQ(choose_builder(comment_doc), Builder::QuoteAware);
    auto commented = parse_document(comment_doc, "r");
    ASSERT_TRUE(commented.ok()) << summary(commented.error());
    EXPECT_EQ(commented.value().elements.front().text, "t");

    const std::string open_comment = "<x" + six + "/><!-- x>y";
    ASSERT_EQ(choose_builder(open_comment), Builder::QuoteAware);
    auto unterminated = parse_document(open_comment, "r");
    ASSERT_FALSE(unterminated.ok());
    EXPECT_EQ(unterminated.error().malformation, M::UnexpectedEnd);
    EXPECT_EQ(unterminated.error().offset, open_comment.size());

    const std::string lt_value = "<r q=\"<\"" + six + "/>";
    ASSERT_EQ(choose_builder(lt_value), Builder::QuoteAware);
    auto bad_value = parse_document(lt_value, "r");
    ASSERT_FALSE(bad_value.ok());
    EXPECT_EQ(bad_value.error().malformation, M::LessThanInAttributeValue);
    EXPECT_EQ(bad_value.error().offset, 6u);
}

TEST(Parser, IndexFailureCarriesTheIndexError) {
    // The parser would stop at </r>, but the index covers the whole document.
    auto result = parse_document("<r>a</r>junk<", "r");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ReadError::Kind::IndexFailure);
    EXPECT_EQ(result.error().index_error.kind, IndexBuildError::Kind::UnclosedTag);
    EXPECT_EQ(result.error().index_error.offset, 12u);
}

// ---------------------------------------------------------------------------
// The walk over hand-made indexes: tag ends that the builders report for
// markup they could not close.

struct Tag {
    uint64_t start, end;
    TagKind kind;
    uint64_t name_offset;
    uint32_t name_length;
};

StructuralIndex make_index(std::initializer_list<Tag> tags,
                           std::initializer_list<std::pair<uint64_t, uint64_t>> texts = {}) {
    StructuralIndex index;
    for (const Tag& t : tags) {
        index.tag_starts.push_back(t.start);
        index.tag_ends.push_back(t.end);
        index.tag_kinds.push_back(t.kind);
        index.name_offsets.push_back(t.name_offset);
        index.name_lengths.push_back(t.name_length);
    }
    for (auto [s, e] : texts) {
        index.text_starts.push_back(s);
        index.text_ends.push_back(e);
    }
    return index;
}

void expect_malformed(const arbolite::Result<ParsedTree, ReadError>& result, Malformation what, uint64_t offset) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ReadError::Kind::Malformed);
    EXPECT_EQ(result.error().malformation, what);
    EXPECT_EQ(result.error().offset, offset);
}

TEST(ParserWalk, TagEndingAtOrPastTheDocumentEndIsUnterminatedMarkup) {
    const std::string doc = "<r><?pi";
    for (uint64_t end : {uint64_t{7}, uint64_t{8}, uint64_t{1000}}) {
        auto index = make_index({{0, 2, TagKind::Open, 1, 1}, {3, end, TagKind::ProcessingInstruction, 5, 2}});
        expect_malformed(parse_indexed(doc, index, "r"), M::UnterminatedMarkup, 3);
    }
}

TEST(ParserWalk, UnterminatedMarkupIsCheckedBeforeAnythingElse) {
    // Even ahead of the text in front of the tag, and outside the root.
    const std::string doc = "<r>x<y";
    auto index = make_index({{0, 2, TagKind::Open, 1, 1}, {4, 6, TagKind::Open, 5, 1}}, {{3, 4}});
    expect_malformed(parse_indexed(doc, index, "zz"), M::UnterminatedMarkup, 4);
}

TEST(ParserWalk, CommentsMustEndInTheirTerminator) {
    // As the quote-aware builder reports an unterminated comment: ending two
    // bytes before the end of the document, or 4 past its start.
    const std::string doc = "<r><!-- xy";
    auto short_index = make_index({{0, 2, TagKind::Open, 1, 1}, {3, 7, TagKind::Comment, 0, 0}});
    expect_malformed(parse_indexed(doc, short_index, "r"), M::UnterminatedComment, 3);
    auto long_index = make_index({{0, 2, TagKind::Open, 1, 1}, {3, 8, TagKind::Comment, 0, 0}});
    expect_malformed(parse_indexed(doc, long_index, "r"), M::UnterminatedComment, 3);
    // The shortest comment is fine.
    const std::string ok_doc = "<r><!----></r>";
    auto ok_index = make_index(
        {{0, 2, TagKind::Open, 1, 1}, {3, 9, TagKind::Comment, 0, 0}, {10, 13, TagKind::Close, 12, 1}});
    EXPECT_TRUE(parse_indexed(ok_doc, ok_index, "r").ok());
}

TEST(ParserWalk, ProcessingInstructionEndingAtZeroIsUnterminated) {
    const std::string doc = "<?x";
    auto index = make_index({{0, 0, TagKind::ProcessingInstruction, 2, 1}});
    expect_malformed(parse_indexed(doc, index, "r"), M::UnterminatedProcessingInstruction, 0);
}

TEST(ParserWalk, TextRangeHoldingLessThan) {
    const std::string doc = "<r>a<b</r>";
    auto index = make_index({{0, 2, TagKind::Open, 1, 1}, {6, 9, TagKind::Close, 8, 1}}, {{3, 6}});
    expect_malformed(parse_indexed(doc, index, "r"), M::UnexpectedLessThan, 4);
}

TEST(ParserWalk, LessThanWinsOverBadReferenceInTheSameRange) {
    const std::string doc = "<r>&bad; <</r>";
    auto index = make_index({{0, 2, TagKind::Open, 1, 1}, {10, 13, TagKind::Close, 12, 1}}, {{3, 10}});
    expect_malformed(parse_indexed(doc, index, "r"), M::UnexpectedLessThan, 9);
}

// ---------------------------------------------------------------------------
// Pieces

TEST(ParserPieces, ScanElementNameSplitsNameAndRegion) {
    const std::string doc = "<row a=\"1\"/><x>";
    auto index = make_index({{0, 11, TagKind::SelfClosing, 1, 3}, {12, 14, TagKind::Open, 13, 1}});
    auto first = scan_element_name(doc, index, 0);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first->name, "row");
    EXPECT_EQ(first->attributes, " a=\"1\"");
    auto second = scan_element_name(doc, index, 1);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second->name, "x");
    EXPECT_EQ(second->attributes, "");

    auto element = parse_start_tag(doc, index, 0);
    ASSERT_TRUE(element.ok());
    EXPECT_EQ(element->name, "row");
    ASSERT_TRUE(element->attrs.find("a").has_value());
    EXPECT_EQ(*element->attrs.find("a"), "1");
    EXPECT_FALSE(element->text.has_value());
    EXPECT_EQ(element->child_count, 0u);
}

TEST(ParserPieces, ScanElementNameRejectsEmptyName) {
    const std::string doc = "<x>< y>";
    auto index = make_index({{0, 2, TagKind::Open, 1, 1}, {3, 6, TagKind::Open, 4, 0}});
    auto result = scan_element_name(doc, index, 1);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().malformation, M::MissingElementName);
    EXPECT_EQ(result.error().offset, 3u);
}

// ---------------------------------------------------------------------------
// Size limits

TEST(ParserLimits, MillionLevelsDeepParsesAndFrees) {
    constexpr size_t kDepth = 1'000'000;
    std::string doc;
    doc.reserve(kDepth * 7 + 8);
    for (size_t i = 0; i < kDepth; ++i) doc += "<a>";
    doc += "x";
    for (size_t i = 0; i < kDepth; ++i) doc += "</a>";
    auto result = parse_document(doc, "a");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    const auto& el = result.value().elements;
    ASSERT_EQ(el.size(), kDepth);
    for (size_t i = 0; i < kDepth; ++i) {
        ASSERT_EQ(el[i].end, kDepth) << i;
        ASSERT_EQ(el[i].child_count, i + 1 < kDepth ? 1u : 0u) << i;
    }
    ASSERT_TRUE(el.back().text.has_value());
    EXPECT_EQ(*el.back().text, "x");
    EXPECT_FALSE(el.front().text.has_value());
}

TEST(ParserLimits, MillionLevelsOutsideTheRoot) {
    constexpr size_t kDepth = 1'000'000;
    std::string doc;
    for (size_t i = 0; i < kDepth; ++i) doc += "<s>";
    doc += "<r>t</r>";
    for (size_t i = 0; i < kDepth; ++i) doc += "</s>";
    auto result = parse_document(doc, "r");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    EXPECT_EQ(describe(result.value()), "r\"t\"");

    // And unclosed at that depth.
    doc.resize(doc.size() - 4);
    auto unclosed = parse_document(doc, "s");
    ASSERT_FALSE(unclosed.ok());
    EXPECT_EQ(unclosed.error().kind, ReadError::Kind::Unclosed);
    EXPECT_EQ(unclosed.error().name, "s");
}

TEST(ParserLimits, NameLongerThan65535BytesIsKeptWhole) {
    const std::string name(70'000, 'n');
    const std::string attr(66'000, 'k');
    const std::string doc = "<" + name + " " + attr + "=\"v\">t<" + name + "/></" + name + ">";
    auto result = parse_document(doc, name);
    ASSERT_TRUE(result.ok()) << summary(result.error());
    const auto& el = result.value().elements;
    ASSERT_EQ(el.size(), 2u);
    EXPECT_EQ(el[0].name, name);
    EXPECT_EQ(el[1].name, name);
    ASSERT_TRUE(el[0].attrs.find(attr).has_value());
    EXPECT_EQ(*el[0].attrs.find(attr), "v");
    EXPECT_EQ(el[0].text, "t");
}

TEST(ParserLimits, ManyAttributesBeyondTheFirstReservation) {
    // 40 attributes, every other one decoded, and '=' inside values, so the
    // count of '=' in the tag overstates the attributes.
    std::string doc = "<r";
    std::vector<std::pair<std::string, std::string>> expected;
    for (int i = 0; i < 40; ++i) {
        std::string name = "attribute" + std::to_string(i);
        if (i % 2) {
            doc += " " + name + "=\"q=" + std::to_string(i) + "&amp;k=v\"";
            expected.emplace_back(name, "q=" + std::to_string(i) + "&k=v");
        } else {
            doc += " " + name + "='" + std::string(static_cast<size_t>(i), 'v') + "'";
            expected.emplace_back(name, std::string(static_cast<size_t>(i), 'v'));
        }
    }
    doc += "/>";
    auto result = parse_document(doc, "r");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    const auto& attrs = result.value().elements[0].attrs;
    EXPECT_EQ(attrs.size(), expected.size());
    for (const auto& [name, value] : expected) {
        auto found = attrs.find(name);
        ASSERT_TRUE(found.has_value()) << name;
        EXPECT_EQ(*found, value) << name;
    }
}

TEST(ParserLimits, ManyRowsAndLongText) {
    // Enough elements to grow the tree beyond its first reservation, and a
    // text long enough to span many search words, with references spread
    // through it.
    std::string doc = "<rows>";
    std::string expected_text;
    for (int i = 0; i < 20'000; ++i) {
        doc += "<row a=\"" + std::to_string(i) + "\" b='x&amp;y'/>\n";
    }
    for (int i = 0; i < 500; ++i) {
        doc += "some text &lt;" + std::to_string(i) + "&gt; ";
        expected_text += "some text <" + std::to_string(i) + "> ";
    }
    doc += "</rows>";
    expected_text.pop_back();
    auto result = parse_document(doc, "rows");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    expect_consistent(result.value());
    const auto& el = result.value().elements;
    ASSERT_EQ(el.size(), 20'001u);
    EXPECT_EQ(el[0].child_count, 20'000u);
    EXPECT_EQ(el[0].text, expected_text);
    EXPECT_EQ(*el[12'345].attrs.find("a"), "12344");
    EXPECT_EQ(*el[12'345].attrs.find("b"), "x&y");
}

// The index comes in batches of a few hundred tags; these documents put the
// walk's state across many of them.
TEST(ParserBatches, TextPiecesAcrossBatchesAreJoined) {
    std::string doc = "<r>  ";
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string number = std::to_string(i);
        if (i % 3 == 0) {
            doc += "&amp;";
            expected += '&';
        }
        doc += number;
        doc += "<x/>";
        expected += number;
        if (i % 500 == 0) {
            doc += "<![CDATA[<c>]]>";
            expected += "<c>";
        }
    }
    doc += " \n</r>";
    auto result = parse_document(doc, "r");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    expect_consistent(result.value());
    EXPECT_EQ(result.value().elements.size(), 3001u);
    EXPECT_EQ(result.value().elements[0].text, expected);
}

TEST(ParserBatches, RootDeepInsideALaterBatch) {
    std::string doc = "<doc>";
    for (int i = 0; i < 2000; ++i) doc += "<skip a='1'><r/></skip>";
    doc += "<r k='v'> one <i>two</i> three </r></doc>";
    auto result = parse_document(doc, "r");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    // The first r is the self-closing one in the first batch.
    EXPECT_EQ(result.value().elements.size(), 1u);
    EXPECT_FALSE(result.value().elements[0].text.has_value());

    std::string later = "<doc>";
    for (int i = 0; i < 2000; ++i) later += "<skip a='1'><q/></skip>";
    later += "<r k='v'> one <i>two</i> three </r></doc>";
    auto found = parse_document(later, "r");
    ASSERT_TRUE(found.ok()) << summary(found.error());
    ASSERT_EQ(found.value().elements.size(), 2u);
    EXPECT_EQ(found.value().elements[0].text, "one  three");
    EXPECT_EQ(found.value().elements[1].text, "two");
}

TEST(ParserBatches, LargeDocumentIndexedOnAWorkerThread) {
    std::string doc = "<doc><r>";
    for (int i = 0; i < 40'000; ++i) doc += "<i a='" + std::to_string(i) + "'>t&amp;" + std::to_string(i) + "</i>\n";
    doc += "</r></doc>";
    ASSERT_GE(doc.size(), size_t{256} << 10);
    auto result = parse_document(doc, "r");
    ASSERT_TRUE(result.ok()) << summary(result.error());
    expect_consistent(result.value());
    const auto& el = result.value().elements;
    ASSERT_EQ(el.size(), 40'001u);
    EXPECT_EQ(el[0].child_count, 40'000u);
    EXPECT_EQ(el[40'000].text, "t&39999");
    EXPECT_EQ(*el[12'345].attrs.find("a"), "12344");
}

// On a document indexed on a worker thread, the worker also parses the start
// tags ahead of the walk: each fault must come out exactly as the walk itself
// reports it on a small document, at the same place.
class ParserPreparedTags : public ::testing::TestWithParam<const char*> {};

TEST_P(ParserPreparedTags, FaultsMatchTheWalkOnASmallDocument) {
    const std::string faulty = GetParam();
    std::string filler;
    for (int i = 0; i < 30'000; ++i) filler += "<f a='1' b=\"2\"/>";
    const std::string small = "<r>" + faulty + "</r>";
    const std::string large = "<r>" + filler + faulty + filler + "</r>";
    ASSERT_GE(large.size(), size_t{256} << 10);
    auto expected = parse_document(small, "r");
    ASSERT_FALSE(expected.ok());
    for (StartTagsAhead ahead : {StartTagsAhead::Always, StartTagsAhead::Never, StartTagsAhead::WhenWalkIsBusy}) {
        auto got = parse_document(large, "r", ahead);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().kind, expected.error().kind);
        EXPECT_EQ(got.error().malformation, expected.error().malformation);
        EXPECT_EQ(got.error().name, expected.error().name);
        EXPECT_EQ(got.error().found, expected.error().found);
        EXPECT_EQ(got.error().offset, expected.error().offset + filler.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parser, ParserPreparedTags,
    ::testing::Values("<e a='1' a='2'/>", "<e a=1/>", "<e a='<'/>", "<e a/>", "<e a='1'b='2'/>", "<e ='1'/>",
                      "<e a='&bogus;'/>", "<e a='&#0;'/>", "<e a='1' a='2'>text</e>", "<e><g a='1' a='2'/></e>",
                      "< a='1'/>"));

TEST(ParserBatches, LargeDocumentWithAttributesEverywhere) {
    std::string doc = "<doc><skip x='&lt;' y='2'/><r k='v'>";
    for (int i = 0; i < 30'000; ++i)
        doc += "<row id='" + std::to_string(i) + "' q=\"a&amp;b\" t='\t'><c n='" + std::to_string(i) + "'/></row>";
    doc += "</r></doc>";
    ASSERT_GE(doc.size(), size_t{256} << 10);
    for (StartTagsAhead ahead : {StartTagsAhead::Always, StartTagsAhead::Never, StartTagsAhead::WhenWalkIsBusy}) {
        auto result = parse_document(doc, "r", ahead);
        ASSERT_TRUE(result.ok()) << summary(result.error());
        expect_consistent(result.value());
        const auto& el = result.value().elements;
        ASSERT_EQ(el.size(), 60'001u);
        EXPECT_EQ(*el[0].attrs.find("k"), "v");
        EXPECT_EQ(*el[2 * 12'345 + 1].attrs.find("id"), "12345");
        EXPECT_EQ(*el[2 * 12'345 + 1].attrs.find("q"), "a&b");
        EXPECT_EQ(*el[2 * 12'345 + 1].attrs.find("t"), " ");
        EXPECT_EQ(*el[2 * 12'345 + 2].attrs.find("n"), "12345");
    }
}

// A fault of the index anywhere in the document is reported, even when the
// walk failed or finished in an earlier batch.
struct PrecedenceCase {
    const char* what;
    std::string head;  // ahead of the filler tags
    std::string tail;  // after them
    ReadError::Kind kind;
    std::string name;
    Malformation malformation = {};  // of a malformed document
    std::string found = {};
    size_t fillers = 3000;  // 80,000 make a document that is indexed on a worker thread
};

void PrintTo(const PrecedenceCase& c, std::ostream* os) { *os << c.what; }

class ParserPrecedence : public ::testing::TestWithParam<PrecedenceCase> {};

TEST_P(ParserPrecedence, IndexFaultsWin) {
    const PrecedenceCase& c = GetParam();
    std::string doc = c.head;
    for (size_t i = 0; i < c.fillers; ++i) doc += "<f/>";
    doc += c.tail;
    auto result = parse_document(doc, "r");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(result.error().name, c.name);
    if (c.kind == ReadError::Kind::Malformed) {
        EXPECT_EQ(result.error().malformation, c.malformation);
        EXPECT_EQ(result.error().found, c.found);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parser, ParserPrecedence,
    ::testing::Values(
        PrecedenceCase{"walk fails early, unclosed tag late", "<r><a></b>", "<oops", ReadError::Kind::IndexFailure, ""},
        PrecedenceCase{"root done early, unclosed tag late", "<r/>", "<oops", ReadError::Kind::IndexFailure, ""},
        PrecedenceCase{"root done early, comment runs off the end", "<r></r>", "<!-- x",
                       ReadError::Kind::Malformed, "", M::UnexpectedEnd},
        PrecedenceCase{"walk fails early, nothing wrong later", "<r><a></b>", "</r>", ReadError::Kind::Malformed, "a",
                       M::EndTagMismatch, "b"},
        PrecedenceCase{"root still open at the end", "<r>", "", ReadError::Kind::Unclosed, "r"},
        PrecedenceCase{"large: walk fails early, unclosed tag late", "<r><a></b>", "<oops",
                       ReadError::Kind::IndexFailure, "", {}, "", 80'000},
        PrecedenceCase{"large: root done early, comment runs off the end", "<r></r>", "<!-- x",
                       ReadError::Kind::Malformed, "", M::UnexpectedEnd, "", 80'000},
        PrecedenceCase{"large: walk fails early, nothing wrong later", "<r><a></b>", "</r>",
                       ReadError::Kind::Malformed, "a", M::EndTagMismatch, "b", 80'000},
        PrecedenceCase{"large: root still open at the end", "<r>", "", ReadError::Kind::Unclosed, "r", {}, "", 80'000}));


// ---------------------------------------------------------------------------
// Either index builder gives the same outcome

using arbolite::index::Builder;

// A read's outcome as text: the tree, or the error with its offset (for an
// index failure, the index error's kind and offset).
std::string outcome(const arbolite::Result<ParsedTree, ReadError>& r) {
    if (r.ok()) return "ok " + describe(r.value());
    const ReadError& e = r.error();
    if (e.kind == ReadError::Kind::IndexFailure)
        return "index " + std::to_string(static_cast<int>(e.index_error.kind)) + "@" +
               std::to_string(e.index_error.offset);
    return "error " + summary(e);
}

// The read of `doc` over the whole index of one builder, with the index's
// own errors reported as a read reports them.
std::string read_with(std::string_view doc, std::string_view root, Builder builder) {
    const arbolite::index::IndexResult ix = builder == Builder::Sequential
                                                ? arbolite::index::build_index_sequential(doc)
                                                : arbolite::index::build_index_quote_aware(doc);
    if (!ix.ok()) return outcome(arbolite::fail(arbolite::read::index_failure(ix.error(), doc.size())));
    return outcome(parse_indexed(doc, ix.value(), root));
}

// Both builders index `doc` alike, the reads over their indexes agree, and
// a read that picks its builder comes to the same. Returns that outcome.
std::string agreed_outcome(std::string_view doc, std::string_view root) {
    using arbolite::index::testing_support::describe;
    const std::string seq_index = describe(doc, arbolite::index::build_index_sequential(doc));
    EXPECT_EQ(describe(doc, arbolite::index::build_index_quote_aware(doc)), seq_index);
    const std::string seq = read_with(doc, root, Builder::Sequential);
    EXPECT_EQ(read_with(doc, root, Builder::QuoteAware), seq);
    EXPECT_EQ(outcome(parse_document(doc, root)), seq);
    return seq;
}

// So many double quotes in the first bytes that the quote-aware builder is
// chosen for what follows.
const std::string kQuotes(40, '"');

struct AgreementCase {
    std::string document;  // read as it is, and after kQuotes
    std::string root;
    std::string tree;      // the tree read, or empty for an error
    ReadError::Kind kind;  // the error
    std::string name;
    uint64_t offset;       // where, without the quotes in front (index errors: the index error's)
    Malformation what = {};  // of a malformed document
};

void PrintTo(const AgreementCase& c, std::ostream* os) { *os << c.document; }

class BuilderAgreement : public ::testing::TestWithParam<AgreementCase> {};

TEST_P(BuilderAgreement, SameOutcomeWithAndWithoutQuotesInFront) {
    const AgreementCase& c = GetParam();
    for (const std::string& prefix : {std::string(), kQuotes}) {
        const std::string doc = prefix + c.document;
        SCOPED_TRACE(doc);
        if (!prefix.empty()) {
            ASSERT_EQ(arbolite::index::choose_builder(doc), Builder::QuoteAware);
        }
        std::string want;
        if (!c.tree.empty()) {
            want = "ok " + c.tree;
        } else {
            const bool shifts = c.kind == ReadError::Kind::Malformed || c.kind == ReadError::Kind::IndexFailure;
            const uint64_t at = c.offset + (shifts ? prefix.size() : 0);
            ReadError e = c.kind == ReadError::Kind::Malformed ? ReadError::malformed(c.what, at, c.name)
                                                               : ReadError::named(c.kind, c.name, at);
            if (c.kind == ReadError::Kind::IndexFailure) e.index_error = {IndexBuildError::Kind::UnclosedTag, at};
            want = outcome(arbolite::fail(std::move(e)));
        }
        EXPECT_EQ(agreed_outcome(doc, c.root), want);
    }
}

constexpr auto kIndexFailure = ReadError::Kind::IndexFailure;
constexpr auto kRanOff = Malformation::UnexpectedEnd;
constexpr auto kOpenDoctype = Malformation::UnterminatedDoctype;

INSTANTIATE_TEST_SUITE_P(
    Parser, BuilderAgreement,
    ::testing::Values(
        // Markup in the internal subset of a document type declaration is
        // not part of the document.
        AgreementCase{"<!DOCTYPE doc [<!-- a > b <r>phantom</r> -->]><doc/>", "r", "", kRootNotFound, "r", 0},
        AgreementCase{"<!DOCTYPE doc [<!ENTITY e \"x>y<r/>z\">]><doc/>", "r", "", kRootNotFound, "r", 0},
        AgreementCase{"<!DOCTYPE doc [<!ENTITY e \"<r>in the DTD</r>\">]><doc>ok</doc>", "doc", "doc\"ok\"",
                      kMalformed, "", 0},
        AgreementCase{"<!DOCTYPE doc [<!ATTLIST doc a CDATA '</doc>'>]><doc a='1'>ok</doc>", "doc",
                      "doc(a=1)\"ok\"", kMalformed, "", 0},
        AgreementCase{"<!DOCTYPE doc SYSTEM \"x>\"><doc/>", "doc", "doc", kMalformed, "", 0},
        AgreementCase{"<!DOCTYPE doc [<!ELEMENT doc ANY>]<doc/>", "doc", "", kMalformed, "", 0, kOpenDoctype},
        AgreementCase{"<r>t</r><!DOCTYPE r [", "r", "", kMalformed, "", 8, kOpenDoctype},
        // Malformed markup after the root: one outcome whichever builder runs.
        AgreementCase{"<r/><!-- x->", "r", "", kMalformed, "", 12, kRanOff},
        AgreementCase{"<r/>junk<", "r", "", kIndexFailure, "", 8},
        AgreementCase{"<r/><?p?", "r", "r", kMalformed, "", 0},
        AgreementCase{"<r/><![CDATA[x", "r", "r", kMalformed, "", 0},
        AgreementCase{"<r/><![CDATA[x<a", "r", "", kIndexFailure, "", 14},
        AgreementCase{"<r/><!x<a", "r", "", kIndexFailure, "", 7},
        // Truncated markup at the end, after the root has closed ...
        AgreementCase{"<r/><!--", "r", "", kMalformed, "", 8, kRanOff},
        AgreementCase{"<r/><!-- x -", "r", "", kMalformed, "", 12, kRanOff},
        AgreementCase{"<r/><![CDATA[", "r", "", kMalformed, "", 13, kRanOff},
        AgreementCase{"<r/><![CDATA[x]", "r", "", kMalformed, "", 15, kRanOff},
        AgreementCase{"<r/><![CDATA[x]>", "r", "r", kMalformed, "", 0},
        AgreementCase{"<r/><?", "r", "", kMalformed, "", 6, kRanOff},
        AgreementCase{"<r/><?p", "r", "", kMalformed, "", 7, kRanOff},
        AgreementCase{"<r/><?p ", "r", "r", kMalformed, "", 0},
        AgreementCase{"<r/><?p x?", "r", "r", kMalformed, "", 0},
        AgreementCase{"<r/><!DOCTYPE", "r", "", kMalformed, "", 4, kOpenDoctype},
        AgreementCase{"<r/><!DOCTYPE r [<!ELEMENT r ANY>", "r", "", kMalformed, "", 4, kOpenDoctype},
        AgreementCase{"<r/><!x", "r", "r", kMalformed, "", 0},
        AgreementCase{"<r/><a", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r/><a b='>'", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r/><", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r/></", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r/></r", "r", "", kIndexFailure, "", 4},
        // ... and inside the root, where the parser looks at it.
        AgreementCase{"<r>t<!--", "r", "", kMalformed, "", 8, kRanOff},
        AgreementCase{"<r>t<!-- x -", "r", "", kMalformed, "", 12, kRanOff},
        AgreementCase{"<r>t<![CDATA[", "r", "", kMalformed, "", 13, kRanOff},
        AgreementCase{"<r>t<![CDATA[x", "r", "", kMalformed, "", 4, M::UnterminatedCData},
        AgreementCase{"<r>t<![CDATA[x]", "r", "", kMalformed, "", 15, kRanOff},
        AgreementCase{"<r>t<![CDATA[x]>", "r", "", kMalformed, "", 4, M::UnterminatedCData},
        AgreementCase{"<r>t<?", "r", "", kMalformed, "", 6, kRanOff},
        AgreementCase{"<r>t<?p", "r", "", kMalformed, "", 7, kRanOff},
        AgreementCase{"<r>t<?p ", "r", "", kMalformed, "", 4, M::UnterminatedProcessingInstruction},
        AgreementCase{"<r>t<?p x?", "r", "", kMalformed, "", 4, M::UnterminatedProcessingInstruction},
        AgreementCase{"<r>t<!DOCTYPE", "r", "", kMalformed, "", 4, kOpenDoctype},
        AgreementCase{"<r>t<!x", "r", "", kUnclosed, "r", 0},
        AgreementCase{"<r>t<a", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r>t<", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r>t</", "r", "", kIndexFailure, "", 4},
        AgreementCase{"<r>t</r", "r", "", kIndexFailure, "", 4}));

TEST(BuilderAgreement, GeneratedAndMutatedDocuments) {
    arbolite::index::testing_support::DocumentGenerator gen(4242);
    for (int i = 0; i < 4000 && !HasFailure(); ++i) {
        std::string doc = gen.document(1 + i % 24);
        if (i % 2) doc = kQuotes + doc;
        SCOPED_TRACE(doc);
        for (const char* root : {"r", "a"}) agreed_outcome(doc, root);
    }
    for (int i = 0; i < 600 && !HasFailure(); ++i) {
        const std::string doc = gen.attribute_rows(1 + i % 12);
        SCOPED_TRACE(doc);
        agreed_outcome(doc, "row");
    }
}

}  // namespace

namespace {

// The element list of a document indexed in one batch is reserved for the
// tags left in it, not for a large document: the tree is the one read over
// the whole index, in every place the root can be found.
TEST(ParserSmallDocuments, ElementListSizedByTheTagsLeft) {
    auto repeat = [](std::string_view piece, size_t count) {
        std::string out;
        for (size_t i = 0; i < count; ++i) out += piece;
        return out;
    };
    const std::string docs[] = {
        "<r/>",
        "<r>x</r>",
        "<r><a>1</a><b k='v'/>t<c><d/></c></r>",
        "<doc><skip><r/></skip><r>late</r></doc>",
        "<doc>" + repeat("<q a='1'>t</q>", 40) + "<r><a/><b/></r>" + repeat("<q/>", 40) + "</doc>",
        "<?xml version='1.0'?><!-- c --><r><![CDATA[x]]><a>&amp;</a></r>",
        "<r>" + repeat("<i>t</i>", 300) + "</r>",   // more tags than a batch of the default size
        "<r>" + repeat("<i/>", 1100) + "</r>",      // more elements than the first reservation
        "<r>" + repeat("<i>", 700) + repeat("</i>", 700) + "</r>",
    };
    for (const std::string& doc : docs) {
        SCOPED_TRACE(doc.substr(0, 200));
        const auto tree = parse_document(doc, "r");
        ASSERT_TRUE(tree.ok()) << summary(tree.error());
        expect_consistent(tree.value());
        EXPECT_EQ(outcome(tree), read_with(doc, "r", arbolite::index::choose_builder(doc)));
        const size_t lt = static_cast<size_t>(std::count(doc.begin(), doc.end(), '<'));
        // One batch: no more entries than tags.
        if (lt <= arbolite::index::IndexStream::kBatchTags) {
            EXPECT_LE(tree.value().elements.capacity(), lt);
        }
    }
}

}  // namespace

namespace {

// Only the open elements that meet text keep a pending text: each text
// still goes to its own element, across children that have texts of their
// own or none, white space before and between included.
TEST(ParserSmallDocuments, TextsOfOpenElementsAtEveryDepth) {
    struct Case {
        std::string document, expected;
    };
    // Forty levels: text after the open tag on every third, after the last
    // child on every second, indentation on the others.
    std::string deep_open, deep_expected, deep_tail;
    std::vector<std::string> closes;
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        const bool before = i % 3 == 0, after = i % 2 == 0;
        deep_open += "<e" + n + ">";
        deep_open += before ? "t" + n : std::string("\n  ");
        closes.push_back((after ? " u" + n : std::string(" ")) + "</e" + n + ">");
        deep_expected += "e" + n;
        if (before || after) {
            deep_expected += '"';
            if (before) deep_expected += "t" + n;
            if (before && after) deep_expected += ' ';
            if (after) deep_expected += "u" + n;
            deep_expected += '"';
        }
        deep_expected += '[';
        deep_tail += ']';
    }
    std::string deep_close;
    for (auto it = closes.rbegin(); it != closes.rend(); ++it) deep_close.append(*it);
    const Case cases[] = {
        {"<r>a<b>x</b>c</r>", "r\"ac\"[b\"x\"]"},
        {"<r>\n <b>x</b>\n c<d>\n</d> e </r>", "r\"c e\"[b\"x\" d]"},
        {"<r><a> one <b>two</b> three </a> four </r>", "r\"four\"[a\"one  three\"[b\"two\"]]"},
        {"<r><a><b><c>x</c> y</b></a>z</r>", "r\"z\"[a[b\"y\"[c\"x\"]]]"},
        {"<r> <![CDATA[ ]]> <a/> <![CDATA[x]]></r>", "r\"x\"[a]"},
        {"<r><a>&amp;<b/>&lt;</a><c> </c></r>", "r[a\"&<\"[b] c]"},
        {"<r>" + deep_open + "<leaf/>" + deep_close + "</r>", "r[" + deep_expected + "leaf" + deep_tail + "]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        const auto tree = parse_document(c.document, "r");
        ASSERT_TRUE(tree.ok()) << summary(tree.error());
        expect_consistent(tree.value());
        EXPECT_EQ(describe(tree.value()), c.expected);
    }
}

}  // namespace
