#include "write/serializer.hpp"

#include "parsed_tree_view.hpp"
#include "writer_trees.hpp"

#include "write/escape.hpp"
#include "write/escape_measure.hpp"
#include "write/names.hpp"
#include "read/parser.hpp"
#include "index/structural.hpp"
#include "simd/search.hpp"
#include "simd/utf8_decode.hpp"

#include <gtest/gtest.h>

#include "temp_dir.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace arbolite::write {
namespace {

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// Writes the tree decoded into units of `Unit`, with a margin after them
// that must stay untouched, and compares with the code points of `out`.
template <class Unit, class Tree>
void expect_units(const Tree& tree, size_t indent, bool declaration, const std::vector<uint32_t>& expected,
                  const PlainTexts* plain) {
    std::vector<Unit> units(expected.size() + 40, Unit{0x23});
    EXPECT_TRUE(write_tree_to_units(tree, indent, declaration, units.data(), expected.size(), {}, plain));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), units.begin()));
    EXPECT_TRUE(std::all_of(units.begin() + static_cast<ptrdiff_t>(expected.size()), units.end(),
                            [](Unit u) { return u == 0x23; }));
}

// The measure's code points and width are those of the output, and writing
// the tree decoded gives them, in the narrowest units and in wider ones.
template <class Tree>
void expect_decoded_output(const Tree& tree, size_t indent, bool declaration, const OutputMeasure& measured,
                           const std::string& out, const PlainTexts& plain) {
    // (Some escaping cases hold bytes that are not UTF-8.)
    EXPECT_EQ(measured.valid_utf8, simd::is_valid_utf8(out.data(), out.size()));
    if (!measured.valid_utf8) return;
    const std::vector<uint32_t> expected = code_points_of(out);
    EXPECT_EQ(measured.code_points, expected.size());
    EXPECT_EQ(measured.units, units_of(expected));
    if (measured.units <= simd::CodeUnits::Latin1) expect_units<uint8_t>(tree, indent, declaration, expected, &plain);
    if (measured.units <= simd::CodeUnits::Ucs2) expect_units<uint16_t>(tree, indent, declaration, expected, nullptr);
    expect_units<uint32_t>(tree, indent, declaration, expected, &plain);
}

// The output in memory. Every layout and escaping case also checks that
// measuring gives its exact size and ASCII-ness, that the bounds of its size
// hold it, that writing into a buffer of that size gives the same bytes and
// fills it, and that writing it decoded gives its code points.
std::string to_memory(const ParsedTree& tree, size_t indent, bool declaration) {
    const auto views = view_of(tree);
    auto result = write_tree_to_memory(views, indent, declaration);
    EXPECT_TRUE(result.ok());
    if (!result.ok()) return {};
    const std::string out(result->view());

    // Measured with the notes on plain texts, written with and without them.
    PlainTexts plain;
    auto measured = measure_tree(views, indent, declaration, {}, &plain);
    EXPECT_TRUE(measured.ok());
    if (!measured.ok()) return out;
    EXPECT_EQ(measured->size, out.size());
    EXPECT_EQ(measured->ascii, std::all_of(out.begin(), out.end(), [](char c) { return c >= 0; }));
    auto bounds = measure_tree_bounds(views, indent, declaration);
    EXPECT_TRUE(bounds.ok());
    if (bounds.ok()) {
        EXPECT_LE(bounds->least, out.size());
        EXPECT_GE(bounds->most, out.size());
    }
    const PlainTexts* const no_notes = nullptr;
    for (const PlainTexts* notes : {no_notes, static_cast<const PlainTexts*>(&plain)}) {
        std::string buffer(out.size() + 1, '#');  // one byte of margin that must stay untouched
        EXPECT_TRUE(write_tree_to_buffer(views, indent, declaration, buffer.data(), out.size(), {}, notes));
        EXPECT_EQ(buffer.substr(0, out.size()), out);
        EXPECT_EQ(buffer.back(), '#');
    }
    expect_decoded_output(views, indent, declaration, *measured, out, plain);
    return out;
}

// The escaping rules one byte at a time, as an independent oracle.
std::string reference_escape(std::string_view s, bool attr) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\t': out += attr ? "&#9;" : "\t"; break;
            case '\r': out += attr ? "&#13;" : "\r"; break;
            case '\n': out += attr ? "&#10;" : "\n"; break;
            default: out += c;
        }
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

off_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}


El worked_example() {
    return El{"catalog",
                {{"lang", "en"}},
                std::nullopt,
                {
                    El{"book", {{"id", "b1"}}, "Tom & Jerry's"},
                    El{"note", {}, "a<b", {El{"br"}}},
                    El{"empty"},
                    El{"blank", {}, ""},
                }};
}

// Root > ... > element at `depth` - 1, each with text, so that no line is
// broken until the second child at `depth` needs indent x depth blanks.
ParsedTree first_break_at_depth(size_t depth) {
    El leaf_pair{"c", {}, "x", {El{"l1"}, El{"l2"}}};
    El current = leaf_pair;
    for (size_t d = depth - 1; d > 0; --d) current = El{d == 1 ? "r" : "c", {}, "x", {current}};
    return tree_of(current);
}

// `depth` nested elements named `name`, the innermost empty.
ParsedTree chain(size_t depth, char name) {
    ParsedTree tree;
    tree.elements.resize(depth);
    for (size_t i = 0; i < depth; ++i) {
        tree.elements[i].name = tree.strings.store(std::string_view(&name, 1));
        tree.elements[i].end = depth;
        tree.elements[i].child_count = i + 1 < depth ? 1 : 0;
    }
    return tree;
}

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------

TEST(WriterLayout, WorkedExample) {
    ASSERT_EQ(kXmlDeclaration, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
    const ParsedTree tree = tree_of(worked_example());
    const std::string body =
        "<catalog lang=\"en\">\n"
        "  <book id=\"b1\">Tom &amp; Jerry&apos;s</book>\n"
        "  <note>a&lt;b<br/>\n"
        "  </note>\n"
        "  <empty/>\n"
        "  <blank></blank>\n"
        "</catalog>";
    const std::string flat =
        "<catalog lang=\"en\">\n"
        "<book id=\"b1\">Tom &amp; Jerry&apos;s</book>\n"
        "<note>a&lt;b<br/>\n"
        "</note>\n"
        "<empty/>\n"
        "<blank></blank>\n"
        "</catalog>";
    EXPECT_EQ(to_memory(tree, 2, true), std::string(kXmlDeclaration) + body);
    EXPECT_EQ(to_memory(tree, 2, false), body);
    EXPECT_EQ(to_memory(tree, 0, true), std::string(kXmlDeclaration) + flat);
    EXPECT_EQ(to_memory(tree, 0, false), flat);
}

struct LayoutCase {
    const char* what;
    El tree;
    size_t indent;
    std::string expected;
};

TEST(WriterLayout, Rules) {
    const LayoutCase cases[] = {
        {"no text, no children", El{"a"}, 4, "<a/>"},
        {"attribute, no blank before slash", El{"a", {{"k", "v"}}}, 4, "<a k=\"v\"/>"},
        {"empty attribute value", El{"a", {{"k", ""}}}, 4, "<a k=\"\"/>"},
        {"empty text is text", El{"a", {}, ""}, 4, "<a></a>"},
        {"text on one line", El{"a", {}, "t"}, 4, "<a>t</a>"},
        {"children on their own lines", El{"a", {}, std::nullopt, {El{"b"}, El{"c"}}}, 2,
         "<a>\n  <b/>\n  <c/>\n</a>"},
        {"first child follows text", El{"a", {}, "t", {El{"b"}, El{"c"}}}, 2, "<a>t<b/>\n  <c/>\n</a>"},
        {"first child follows empty text", El{"a", {}, "", {El{"b"}}}, 2, "<a><b/>\n</a>"},
        {"child with text follows text", El{"r", {}, "t", {El{"a", {}, "u"}}}, 2, "<r>t<a>u</a>\n</r>"},
        {"siblings with text", El{"r", {}, std::nullopt, {El{"a", {}, "x"}, El{"b", {}, "y"}}}, 1,
         "<r>\n <a>x</a>\n <b>y</b>\n</r>"},
        {"three levels",
         El{"r", {}, std::nullopt, {El{"a", {}, std::nullopt, {El{"b", {}, std::nullopt, {El{"c"}}}}}}}, 3,
         "<r>\n   <a>\n      <b>\n         <c/>\n      </b>\n   </a>\n</r>"},
        {"indent 0 keeps the line feeds", El{"r", {}, std::nullopt, {El{"a", {}, std::nullopt, {El{"b"}}}}},
         0, "<r>\n<a>\n<b/>\n</a>\n</r>"},
        {"same child twice is written twice", El{"r", {}, std::nullopt, {El{"a", {}, "1"}, El{"a", {}, "1"}}},
         1, "<r>\n <a>1</a>\n <a>1</a>\n</r>"},
        {"names are written as they are", El{"a<c&\"", {{"x<y&/", "1"}}}, 4, "<a<c&\" x<y&/=\"1\"/>"},
        {"after text the nested end tags still break",
         El{"r", {}, "t", {El{"a", {}, std::nullopt, {El{"b"}}}}}, 2, "<r>t<a>\n    <b/>\n  </a>\n</r>"},
    };
    for (const auto& c : cases) {
        const std::string out = to_memory(tree_of(c.tree), c.indent, false);
        EXPECT_EQ(out, c.expected) << c.what;
        EXPECT_FALSE(!out.empty() && out.back() == '\n') << c.what;
    }
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

// Whether the reader reads each form of `doc_forms` (documents holding the
// name) back with the name where it was put.
struct NameForm {
    std::string doc;
    bool (*check)(const ParsedTree&, std::string_view name);
};

bool child_named(const ParsedTree& t, std::string_view name) {
    return t.elements.size() >= 2 && t.elements[1].name == name;
}
bool root_has_attr(const ParsedTree& t, std::string_view name) {
    return !t.elements.empty() && t.elements[0].attrs.find(name) == std::optional<std::string_view>("v");
}

bool reads_back(const std::vector<NameForm>& forms, std::string_view name) {
    for (const auto& f : forms) {
        auto tree = read::parse_document(f.doc, "r");
        if (!tree.ok() || !f.check(tree.value(), name)) return false;
    }
    return true;
}

// Every name of one to three bytes around each ASCII byte and a few
// non-ASCII characters (spaces among them): the writer accepts exactly the
// names that the reader reads back, with either index builder (many quoted
// values make the reader pick the quote-aware one), and what it accepts it
// writes so that it reads back.
TEST(WriterNames, AcceptExactlyWhatTheReaderReadsBack) {
    std::vector<std::string> pieces;
    for (int b = 0; b < 0x80; ++b) pieces.push_back(std::string(1, static_cast<char>(b)));
    for (const char* s : {"\xC2\x85", "\xC2\xA0", "\xE3\x80\x80", "\xC3\xA9"}) pieces.push_back(s);
    std::string quoted;
    for (int i = 0; i < 16; ++i) quoted += " q" + std::to_string(i) + "=\"1\"";
    int checked = 0;
    for (const std::string& context : {std::string(), quoted}) {
        ASSERT_EQ(index::choose_builder("<r" + context + "><a/></r>"),
                  context.empty() ? index::Builder::Sequential : index::Builder::QuoteAware);
        for (const std::string& piece : pieces) {
            for (const std::string& name : {piece, "a" + piece, "a" + piece + "b", piece + "a", piece + piece}) {
                const std::string r = "<r" + context;
                const std::vector<NameForm> element_forms = {
                    {r + "><" + name + "/></r>", child_named},
                    {r + "><" + name + " k=\"v\"/></r>", child_named},
                    {r + "><" + name + ">t</" + name + "></r>", child_named},
                    {r + "><" + name + " k=\"v\"><c/></" + name + "></r>", child_named},
                };
                const std::vector<NameForm> attribute_forms = {
                    {r + " " + name + "=\"v\"/>", root_has_attr},
                    {r + " " + name + "=\"v\" zz9=\"w\"><c/></r>", root_has_attr},
                };
                EXPECT_EQ(is_writable_element_name(name), reads_back(element_forms, name)) << "element " << name;
                EXPECT_EQ(is_writable_attribute_name(name), reads_back(attribute_forms, name)) << "attribute " << name;

                // The writer's own output, where it writes one.
                ParsedTree tree =
                    tree_of(El{"r", {{name, "v"}}, "t", {El{name, {{"k", "v"}}, std::nullopt, {El{"c"}}}}});
                auto written = write_tree_to_memory(view_of(tree), 2, true);
                if (!is_writable_element_name(name) || !is_writable_attribute_name(name)) {
                    ASSERT_FALSE(written.ok()) << name;
                    continue;
                }
                ASSERT_TRUE(written.ok()) << name;
                auto reread = read::parse_document(written->view(), "r");
                ASSERT_TRUE(reread.ok()) << name;
                EXPECT_TRUE(child_named(reread.value(), name) && root_has_attr(reread.value(), name)) << name;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 500);
}

struct RefusedName {
    const char* what;
    El tree;
    WriteError::Kind kind;
    std::string name;
};

// The first invalid name in document order is reported, for each sink; the
// names of the error are views of the tree's own bytes.
TEST(WriterNames, RefusalNamesTheName) {
    using K = WriteError::Kind;
    const std::vector<RefusedName> cases = {
        {"empty element name", El{""}, K::InvalidElementName, ""},
        {"blank", El{"a b"}, K::InvalidElementName, "a b"},
        {"markup", El{"r", {}, std::nullopt, {El{"a"}, El{"x/><y"}}}, K::InvalidElementName, "x/><y"},
        {"declaration", El{"!DOCTYPE"}, K::InvalidElementName, "!DOCTYPE"},
        {"processing instruction", El{"?pi"}, K::InvalidElementName, "?pi"},
        {"line feed", El{"a\n"}, K::InvalidElementName, "a\n"},
        {"empty attribute name", El{"a", {{"", "v"}}}, K::InvalidAttributeName, ""},
        {"attribute with markup", El{"a", {{"x=\"1\"><i/></a><y z", "v"}}}, K::InvalidAttributeName,
         "x=\"1\"><i/></a><y z"},
        {"apostrophe", El{"a", {{"it's", "v"}}}, K::InvalidAttributeName, "it's"},
        {"tab", El{"a", {{"\tb", "v"}}}, K::InvalidAttributeName, "\tb"},
        {"element before its attribute", El{"a b", {{"x y", "v"}}}, K::InvalidElementName, "a b"},
        {"attribute before a later element", El{"r", {{"=", "v"}}, std::nullopt, {El{"a b"}}},
         K::InvalidAttributeName, "="},
    };
    for (const auto& c : cases) {
        const ParsedTree tree = tree_of(c.tree);
        auto memory = write_tree_to_memory(view_of(tree), 2, true);
        auto measured = measure_tree(view_of(tree), 2, true);
        auto bounds = measure_tree_bounds(view_of(tree), 2, true);
        ASSERT_FALSE(memory.ok() || measured.ok() || bounds.ok()) << c.what;
        for (const WriteError& e : {memory.error(), measured.error(), bounds.error()}) {
            EXPECT_EQ(e.kind, c.kind) << c.what;
            EXPECT_EQ(e.name, c.name) << c.what;
        }
        std::string buffer(4096, '#');
        EXPECT_FALSE(write_tree_to_buffer(view_of(tree), 2, true, buffer.data(), buffer.size())) << c.what;
    }
    // Lengths alone: the reader records element names of up to 2^32 - 1
    // bytes. (The bytes of so long a view are never read.)
    if constexpr (sizeof(size_t) > 4) {
        static const char some = 'n';
        EXPECT_FALSE(is_writable_element_name(std::string_view(&some, size_t{1} << 32)));
    }
}

// Indentation widths around the inline blank runs (up to 64) and beyond the
// file buffer (8192).
constexpr size_t indent_widths[] = {0, 1, 2, 3, 4, 8, 16, 17, 21, 31, 32, 33, 63, 64, 65, 100, 4096, 8191, 8192, 9000};

TEST(WriterLayout, IndentWidths) {
    const ParsedTree tree =
        tree_of(El{"r", {}, std::nullopt, {El{"a", {}, std::nullopt, {El{"b"}}}, El{"c", {}, "t"}}});
    for (size_t w : indent_widths) {
        const std::string one(w, ' '), two(2 * w, ' ');
        const std::string expected = "<r>\n" + one + "<a>\n" + two + "<b/>\n" + one + "</a>\n" + one + "<c>t</c>\n</r>";
        EXPECT_EQ(to_memory(tree, w, false), expected) << w;
    }
}

TEST(WriterLayout, AttributesFollowTheMapOrder) {
    const ParsedTree tree = tree_of(El{"a", {{"z", "1"}, {"a", "2"}, {"m", "3"}, {"b", "4"}, {"y", "5"}}});
    std::string expected = "<a";
    for (const auto& attr : tree.elements[0].attrs) {
        expected += ' ';
        expected += attr.name;
        expected += "=\"";
        expected += attr.value;
        expected += '"';
    }
    expected += "/>";
    EXPECT_EQ(to_memory(tree, 4, false), expected);
    // Writing the same tree again gives the same bytes.
    EXPECT_EQ(to_memory(tree, 4, false), expected);
}

TEST(WriterLayout, EmptyTreeWritesOnlyTheDeclaration) {
    const ParsedTree tree;
    EXPECT_EQ(to_memory(tree, 4, true), kXmlDeclaration);
    EXPECT_EQ(to_memory(tree, 4, false), "");
}

TEST(WriterLayout, MillionLevelsDeep) {
    constexpr size_t depth = 1'000'000;
    const ParsedTree tree = chain(depth, 'a');
    auto result = write_tree_to_memory(view_of(tree), 0, false);
    ASSERT_TRUE(result.ok());
    const std::string_view out = result->view();
    // depth - 1 start tags "<a>", one "<a/>", a line feed before each but the
    // first, and depth - 1 end tags "\n</a>".
    EXPECT_EQ(out.size(), 9 * depth - 5);
    EXPECT_EQ(out.substr(0, 12), "<a>\n<a>\n<a>\n");
    EXPECT_EQ(out.substr(4 * (depth - 2), 13), "<a>\n<a/>\n</a>");
    EXPECT_EQ(out.substr(out.size() - 14), "</a>\n</a>\n</a>");
}

// ---------------------------------------------------------------------------
// Escaping
// ---------------------------------------------------------------------------

struct EscapeCase {
    std::string input;
    std::string text;  // as element text
    std::string attr;  // as attribute value
};

TEST(WriterEscaping, Table) {
    const EscapeCase cases[] = {
        {"", "", ""},
        {"&", "&amp;", "&amp;"},
        {"<", "&lt;", "&lt;"},
        {">", "&gt;", "&gt;"},
        {"\"", "&quot;", "&quot;"},
        {"'", "&apos;", "&apos;"},
        {"\t", "\t", "&#9;"},
        {"\r", "\r", "&#13;"},
        {"\n", "\n", "&#10;"},
        {"&<>\"'\t\r\n", "&amp;&lt;&gt;&quot;&apos;\t\r\n", "&amp;&lt;&gt;&quot;&apos;&#9;&#13;&#10;"},
        {"&&&&", "&amp;&amp;&amp;&amp;", "&amp;&amp;&amp;&amp;"},
        {"plain text", "plain text", "plain text"},
        {"a&b<c>d", "a&amp;b&lt;c&gt;d", "a&amp;b&lt;c&gt;d"},
        {"line one\nline two", "line one\nline two", "line one&#10;line two"},
        {"&amp;", "&amp;amp;", "&amp;amp;"},
        // Bytes next to the special ones in value, and other control bytes.
        {"#%()=;?\x0b\x0c\x08\x0e\x01\x7f", "#%()=;?\x0b\x0c\x08\x0e\x01\x7f", "#%()=;?\x0b\x0c\x08\x0e\x01\x7f"},
        // Non-ASCII passes through unchanged, also bytes that equal a special
        // byte with the top bit set.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xa6\xa7\xbc\xbe\xa2",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xa6\xa7\xbc\xbe\xa2",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xa6\xa7\xbc\xbe\xa2"},
        {std::string("a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_memory(tree_of(El{"e", {}, c.input}), 4, false), "<e>" + c.text + "</e>") << c.input;
        EXPECT_EQ(to_memory(tree_of(El{"e", {{"k", c.input}}}), 4, false), "<e k=\"" + c.attr + "\"/>") << c.input;
    }
}

// Every special byte at every position of strings up to 80 bytes long, alone,
// next to a second special at the end, and in all-special strings: covers the
// vector blocks, the word tail and the byte tail.
TEST(WriterEscaping, SpecialsAtEveryPosition) {
    const std::string specials = "&<>\"'\t\r\n";
    const std::string filler = "abc#%=;?\xa6\xbc \x0b";  // near misses included
    ParsedTree text_tree = tree_of(El{"e", {}, ""});
    ParsedTree attr_tree = tree_of(El{"e", {{"k", ""}}});
    auto check = [&](const std::string& s) {
        text_tree.elements[0].text = s;
        attr_tree.elements[0].attrs.insert_or_assign("k", s);
        ASSERT_EQ(to_memory(text_tree, 0, false), "<e>" + reference_escape(s, false) + "</e>") << s;
        ASSERT_EQ(to_memory(attr_tree, 0, false), "<e k=\"" + reference_escape(s, true) + "\"/>") << s;
    };
    for (size_t len = 1; len <= 80; ++len) {
        std::string base(len, ' ');
        for (size_t i = 0; i < len; ++i) base[i] = filler[i % filler.size()];
        check(base);
        for (size_t pos = 0; pos < len; ++pos) {
            for (char sp : specials) {
                std::string s = base;
                s[pos] = sp;
                check(s);
                s[len - 1] = '&';
                check(s);
            }
        }
        std::string all(len, ' ');
        for (size_t i = 0; i < len; ++i) all[i] = specials[i % specials.size()];
        check(all);
    }
}

// The search on its own against a byte loop: every start position, every
// special byte at every later position, with and without room to reach back
// before the start. (Each level's byte-set search is tested in simd_test.)
TEST(WriterEscapeSearch, FindsTheFirstSpecialFromAnyStart) {
    const auto text = find_special<Escape::Text>;
    const auto attr = find_special<Escape::Attr>;
    const std::string specials = "&<>\"'\t\r\n";
    const std::string near_misses = "%()=;?\x08\x0b\x0c\x0e\xa6\xa7\xbc\xbe\xa2 ";
    for (size_t len = 0; len <= 70; ++len) {
        std::string s(len, ' ');
        for (size_t i = 0; i < len; ++i) s[i] = near_misses[i % near_misses.size()];
        for (size_t start = 0; start <= len; ++start) {
            const char* b = s.data();
            ASSERT_EQ(text(b + start, b + len, b), b + len) << len;
            ASSERT_EQ(attr(b + start, b + len, b), b + len) << len;
            for (size_t pos = 0; pos < len; ++pos) {
                for (char sp : specials) {
                    std::string t = s;
                    t[pos] = sp;
                    const char* tb = t.data();
                    const bool in_text = sp != '\t' && sp != '\r' && sp != '\n';
                    const char* expect_attr = pos >= start ? tb + pos : tb + len;
                    const char* expect_text = pos >= start && in_text ? tb + pos : tb + len;
                    ASSERT_EQ(attr(tb + start, tb + len, tb), expect_attr)
                        << "len " << len << " start " << start << " pos " << pos;
                    ASSERT_EQ(text(tb + start, tb + len, tb), expect_text)
                        << "len " << len << " start " << start << " pos " << pos;
                    // Without room before the start.
                    ASSERT_EQ(attr(tb + start, tb + len, tb + start), expect_attr);
                }
            }
        }
    }
}

TEST(WriterEscaping, LongMixedStringsMatchTheByteLoop) {
    const std::string alphabet = "abcdefgh \xc3\xa9&<>\"'\t\r\n\x01";
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    ParsedTree text_tree = tree_of(El{"e", {}, ""});
    ParsedTree attr_tree = tree_of(El{"e", {{"k", ""}}});
    for (int round = 0; round < 300; ++round) {
        const size_t len = next() % 600;
        const size_t density = 1 + next() % 64;  // one special in about `density` bytes
        std::string s(len, 'x');
        for (char& c : s)
            if (next() % density == 0) c = alphabet[next() % alphabet.size()];
        text_tree.elements[0].text = s;
        attr_tree.elements[0].attrs.insert_or_assign("k", s);
        ASSERT_EQ(to_memory(text_tree, 0, false), "<e>" + reference_escape(s, false) + "</e>");
        ASSERT_EQ(to_memory(attr_tree, 0, false), "<e k=\"" + reference_escape(s, true) + "\"/>");
    }
}

// ---------------------------------------------------------------------------
// Indentation limits
// ---------------------------------------------------------------------------

struct OverflowCase {
    size_t indent;
    size_t depth;  // where the first line break is needed
};

TEST(WriterIndent, OverflowIsAnErrorBeforeAnyBlank) {
    // Each product wraps to a small number (2, 0, SIZE_MAX - 1 ... ) in
    // modular arithmetic; none of it may be written.
    const OverflowCase cases[] = {
        {SIZE_MAX / 3 + 1, 3},
        {SIZE_MAX / 2 + 1, 2},
        {SIZE_MAX, 2},
        {SIZE_MAX / 5 + 1, 5},
    };
    for (const auto& c : cases) {
        const ParsedTree tree = first_break_at_depth(c.depth);
        auto result = write_tree_to_memory(view_of(tree), c.indent, false);
        ASSERT_FALSE(result.ok()) << c.indent;
        EXPECT_EQ(result.error().kind, WriteError::Kind::IndentOverflow);
    }
}

TEST(WriterIndent, FirstBreakTreeLayout) {
    // The trees of the overflow cases, with a small indent.
    EXPECT_EQ(to_memory(first_break_at_depth(3), 2, false), "<r>x<c>x<c>x<l1/>\n      <l2/>\n    </c>\n  </c>\n</r>");
}

TEST(WriterIndent, ProductBeyondMemoryThrowsBadAlloc) {
    const ParsedTree tree = tree_of(El{"r", {}, std::nullopt, {El{"a"}}});
    EXPECT_THROW((void)write_tree_to_memory(view_of(tree), SIZE_MAX, false), std::bad_alloc);
    EXPECT_THROW((void)write_tree_to_memory(view_of(tree), SIZE_MAX / 2, true), std::bad_alloc);
}

// ---------------------------------------------------------------------------
// File sink
// ---------------------------------------------------------------------------

class WriterFile : public TempDir {};

TEST_F(WriterFile, SinkBuffersSmallPiecesAndWritesLargeOnesThrough) {
    const std::string p = path("sink");
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::string expected(kXmlDeclaration);
    {
        FileSink sink(fd, true);
        EXPECT_EQ(sink.buffered(), 39u);
        // Fill the buffer exactly: nothing reaches the file yet.
        const std::string fill(FileSink::kBufferCapacity - 39, 'f');
        ASSERT_TRUE(sink.write(fill));
        expected += fill;
        EXPECT_EQ(file_size(p), 0);
        EXPECT_EQ(sink.buffered(), FileSink::kBufferCapacity);
        // One more byte flushes the full buffer first.
        ASSERT_TRUE(sink.write("x", 1));
        expected += "x";
        EXPECT_EQ(file_size(p), 8192);
        EXPECT_EQ(sink.buffered(), 1u);
        // A piece of a whole buffer or more: flush, then straight through.
        const std::string big(20000, 'b');
        ASSERT_TRUE(sink.write(big));
        expected += big;
        EXPECT_EQ(file_size(p), static_cast<off_t>(expected.size()));
        EXPECT_EQ(sink.buffered(), 0u);
        // Exactly 8192 bytes into an empty buffer also bypasses it.
        const std::string exact(8192, 'e');
        ASSERT_TRUE(sink.write(exact));
        expected += exact;
        EXPECT_EQ(file_size(p), static_cast<off_t>(expected.size()));
        // 8191 bytes are buffered.
        const std::string almost(8191, 'a');
        ASSERT_TRUE(sink.write(almost));
        expected += almost;
        EXPECT_EQ(sink.buffered(), 8191u);
        // Blanks pass through the buffer a buffer-full at a time.
        ASSERT_TRUE(sink.write_blanks(20000));
        expected += std::string(20000, ' ');
        EXPECT_EQ(sink.buffered(), (8191 + 20000) % 8192);
        EXPECT_EQ(file_size(p) + static_cast<off_t>(sink.buffered()), static_cast<off_t>(expected.size()));
        ASSERT_TRUE(sink.write("tail", 4));
        expected += "tail";
        // Destruction writes out what is still buffered.
    }
    EXPECT_EQ(read_file(p), expected);
}

struct FileCase {
    const char* what;
    ParsedTree tree;
    size_t indent;
    bool declaration;
};

ParsedTree wide_tree(size_t children) {
    El root{"root", {{"version", "1"}}};
    for (size_t i = 0; i < children; ++i)
        root.children.push_back(El{"item", {{"id", std::to_string(i)}, {"note", "a\tb"}}, "x < y & z"});
    return tree_of(root);
}

TEST_F(WriterFile, ContentEqualsMemoryOutput) {
    std::vector<FileCase> cases;
    cases.push_back({"worked example", tree_of(worked_example()), 2, true});
    cases.push_back({"worked example, no declaration", tree_of(worked_example()), 0, false});
    cases.push_back({"over 8192 bytes", wide_tree(2000), 4, true});
    cases.push_back({"over 8192 bytes, no declaration", wide_tree(2000), 1, false});
    cases.push_back({"one long text run", tree_of(El{"t", {}, std::string(20000, 'x')}), 4, true});
    cases.push_back({"run of exactly 8192", tree_of(El{"t", {}, std::string(8192, 'y')}), 4, false});
    cases.push_back({"long attribute run", tree_of(El{"t", {{"v", std::string(9000, 'v') + "\n"}}}), 4, true});
    cases.push_back({"large indent", tree_of(El{"r", {}, std::nullopt, {El{"a", {}, std::nullopt, {El{"b"}}}}}),
                     30000, true});
    cases.push_back({"empty tree", ParsedTree{}, 4, true});
    for (size_t w : indent_widths) cases.push_back({"indent width", wide_tree(40), w, true});
    for (const auto& c : cases) {
        const std::string p = path("out.xml");
        auto status = write_tree_to_file(view_of(c.tree), p, c.indent, c.declaration);
        ASSERT_TRUE(status.ok()) << c.what;
        EXPECT_EQ(read_file(p), to_memory(c.tree, c.indent, c.declaration)) << c.what << " " << c.indent;
    }
}

TEST_F(WriterFile, NewFileModeFollowsTheUmask) {
    const ParsedTree tree = tree_of(El{"r"});
    const std::pair<mode_t, mode_t> cases[] = {{022, 0644}, {077, 0600}, {0, 0666}, {027, 0640}};
    struct RestoreUmask {
        mode_t mask;
        ~RestoreUmask() { ::umask(mask); }
    } restore{::umask(022)};
    int n = 0;
    for (auto [mask, mode] : cases) {
        ::umask(mask);
        const std::string p = path(("new" + std::to_string(n++)).c_str());
        ASSERT_TRUE(write_tree_to_file(view_of(tree), p, 4, true).ok());
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mask;
    }
}

TEST_F(WriterFile, ExistingFileIsReplacedAndKeepsItsMode) {
    const std::string p = path("existing.xml");
    {
        std::ofstream out(p, std::ios::binary);
        out << std::string(50000, 'o');
    }
    ASSERT_EQ(::chmod(p.c_str(), 0604), 0);
    const ParsedTree tree = tree_of(worked_example());
    ASSERT_TRUE(write_tree_to_file(view_of(tree), p, 2, false).ok());
    EXPECT_EQ(read_file(p), to_memory(tree, 2, false));
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
}

struct PathErrorCase {
    const char* what;
    std::string path;
    int errnum;
};

TEST_F(WriterFile, OpenErrors) {
    const PathErrorCase cases[] = {
        {"directory", dir_, EISDIR},
        {"missing directory", path("missing/out.xml"), ENOENT},
        {"empty path", "", ENOENT},
        {"file as a directory", "/dev/null/out.xml", ENOTDIR},
    };
    const ParsedTree tree = tree_of(El{"r"});
    for (const auto& c : cases) {
        auto status = write_tree_to_file(view_of(tree), c.path, 4, true);
        ASSERT_FALSE(status.ok()) << c.what;
        EXPECT_EQ(status.error().kind, WriteError::Kind::Os) << c.what;
        EXPECT_EQ(status.error().os.kind, OsError::Kind::Errno) << c.what;
        EXPECT_EQ(status.error().os.errnum, c.errnum) << c.what;
    }
    EXPECT_FALSE(exists(path("missing")));
}

TEST_F(WriterFile, NulInPathCreatesNothing) {
    const ParsedTree tree = tree_of(El{"r"});
    for (const std::string& p : {path("a") + std::string("\0b", 2), std::string("\0", 1), path("c") + std::string(1, '\0')}) {
        auto status = write_tree_to_file(view_of(tree), p, 4, true);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().kind, WriteError::Kind::Os);
        EXPECT_EQ(status.error().os.kind, OsError::Kind::NulInPath);
    }
    EXPECT_FALSE(exists(path("a")));
    EXPECT_FALSE(exists(path("c")));
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(WriterFile, FullDeviceReportsNoSpace) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    // A small document fails in the final flush, a large one in the walk.
    const ParsedTree small = tree_of(El{"r"});
    const ParsedTree large = wide_tree(2000);
    for (const ParsedTree* tree : {&small, &large}) {
        auto status = write_tree_to_file(view_of(*tree), "/dev/full", 4, true);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().kind, WriteError::Kind::Os);
        EXPECT_EQ(status.error().os.kind, OsError::Kind::Errno);
        EXPECT_EQ(status.error().os.errnum, ENOSPC);
    }
}

// Sets the file size limit for the life of the object (SIGXFSZ ignored, so
// that a write past the limit fails with EFBIG instead of ending the
// process), and restores both afterwards.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit lim = saved_;
        lim.rlim_cur = limit;
        set_ = ::setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }
    bool set() const { return set_; }

private:
    struct rlimit saved_ {};
    void (*handler_)(int);
    bool set_ = false;
};

// Trees whose output escaping makes several times as long as their texts
// and values, one for each byte that is replaced.
std::vector<std::pair<const char*, El>> escape_heavy_trees() {
    El ampersands{"root"};
    for (int i = 0; i < 300; ++i) ampersands.children.push_back(El{"item", {}, std::string(40, '&')});
    return {
        {"ampersands in 300 texts", ampersands},
        {"less-than signs", El{"r", {}, std::string(20000, '<')}},
        {"greater-than signs", El{"r", {}, std::string(20000, '>')}},
        {"quotes in values", El{"r", {{"d", std::string(9000, '"')}, {"s", std::string(9000, '\'')}}}},
        {"tabs, line feeds and carriage returns in values",
         El{"r", {{"t", std::string(9000, '\t')}, {"n", std::string(9000, '\n')}, {"c", std::string(9000, '\r')}}}},
    };
}

// Failures found by measuring come before the file is opened: an existing
// file keeps its content, and no new file is made.
struct RefusedCase {
    const char* what;
    ParsedTree tree;
    size_t indent;
    rlim_t size_limit;  // RLIM_INFINITY: leave it
    WriteError::Kind kind;
    int errnum;  // for Kind::Os
};

TEST_F(WriterFile, RefusedBeforeTheFileIsTouched) {
    const auto os = WriteError::Kind::Os;
    auto two_levels = [] { return tree_of(El{"a", {}, std::nullopt, {El{"b"}}}); };
    auto four_levels = [] {
        return tree_of(El{"a", {}, std::nullopt, {El{"b", {}, std::nullopt, {El{"c", {}, std::nullopt, {El{"d"}}}}}}});
    };
    std::vector<RefusedCase> cases;
    cases.push_back({"indent x depth overflows", first_break_at_depth(3), SIZE_MAX / 3 + 1, RLIM_INFINITY,
                     WriteError::Kind::IndentOverflow, 0});
    cases.push_back({"overflow at depth 3 of 4",
                     tree_of(El{"a", {}, std::nullopt, {El{"b", {}, std::nullopt, {El{"c", {}, "t", {El{"d"}, El{"e"}}}}}}}),
                     size_t{1} << 63, RLIM_INFINITY, WriteError::Kind::IndentOverflow, 0});
    cases.push_back({"beyond a file offset", four_levels(), size_t{1} << 62, RLIM_INFINITY, os, EFBIG});
    cases.push_back({"saturated size", two_levels(), SIZE_MAX, RLIM_INFINITY, os, EFBIG});
    cases.push_back({"beyond the file size limit", wide_tree(200), 4, 5000, os, EFBIG});
    cases.push_back({"one byte beyond the limit", two_levels(), 4, 39 + 16, os, EFBIG});
    cases.push_back({"element name", tree_of(El{"r", {}, std::nullopt, {El{"ok"}, El{"a b"}}}), 4, RLIM_INFINITY,
                     WriteError::Kind::InvalidElementName, 0});
    cases.push_back({"attribute name", tree_of(El{"r", {}, std::string(20000, 't'), {El{"c", {{"x=", "1"}}}}}), 4,
                     RLIM_INFINITY, WriteError::Kind::InvalidAttributeName, 0});
    // Escaping lengthens the output past the limit: limits from the least
    // of the bounds to a byte short of the exact size.
    for (const auto& [what, el] : escape_heavy_trees()) {
        const ParsedTree tree = tree_of(el);
        auto bounds = measure_tree_bounds(view_of(tree), 4, true);
        ASSERT_TRUE(bounds.ok()) << what;
        const size_t exact = to_memory(tree, 4, true).size();
        ASSERT_GT(exact, 2 * bounds->least) << what;
        for (size_t limit : {bounds->least, (bounds->least + exact) / 2, exact - 1})
            cases.push_back({what, tree_of(el), 4, limit, os, EFBIG});
    }
    const std::string replaced = path("replaced.xml");
    const std::string fresh = path("fresh.xml");
    for (const auto& c : cases) {
        {
            std::ofstream out(replaced, std::ios::binary);
            out << "old content";
        }
        for (const std::string& p : {replaced, fresh}) {
            Status<WriteError> status = Ok{};
            {
                FileSizeLimit lim(c.size_limit);
                ASSERT_TRUE(lim.set());
                status = write_tree_to_file(view_of(c.tree), p, c.indent, true);
            }
            ASSERT_FALSE(status.ok()) << c.what;
            EXPECT_EQ(status.error().kind, c.kind) << c.what;
            if (c.kind == os) {
                EXPECT_EQ(status.error().os.errnum, c.errnum) << c.what;
            }
        }
        EXPECT_EQ(read_file(replaced), "old content") << c.what;
        EXPECT_FALSE(exists(fresh)) << c.what;
    }
}

// The limit itself is not refused: an output of exactly the limit is
// written, escaped to several times its raw size or not.
TEST_F(WriterFile, OutputOfExactlyTheSizeLimitIsWritten) {
    std::vector<std::pair<const char*, ParsedTree>> trees;
    trees.emplace_back("few escapes", wide_tree(50));
    for (const auto& [what, el] : escape_heavy_trees()) trees.emplace_back(what, tree_of(el));
    const std::string p = path("exact.xml");
    for (const auto& [what, tree] : trees) {
        const std::string full = to_memory(tree, 4, true);
        Status<WriteError> status = Ok{};
        {
            FileSizeLimit lim(full.size());
            ASSERT_TRUE(lim.set());
            status = write_tree_to_file(view_of(tree), p, 4, true);
        }
        ASSERT_TRUE(status.ok()) << what;
        EXPECT_EQ(read_file(p), full) << what;
    }
}

// check_room_for on its own: devices are only held to the offset range; a
// size beyond the free space of a file system that stores what it is given
// is refused, as is one beyond the offset range anywhere.
TEST_F(WriterFile, RoomForTheOutput) {
    struct RoomCase {
        std::string path;
        size_t floor;
        int errnum;  // 0: accepted
    };
    const size_t beyond_offsets = static_cast<size_t>(std::numeric_limits<off_t>::max()) + 1;
    std::vector<RoomCase> cases = {
        {"/dev/null", size_t{1} << 62, 0},
        {"/dev/null", beyond_offsets, EFBIG},
        {path("new.xml"), beyond_offsets, EFBIG},
        {path("new.xml"), 1000, 0},
        {path("missing/new.xml"), size_t{1} << 40, 0},
    };
#if defined(__linux__)
    // /dev/shm is a tmpfs on Linux: its free space is known.
    struct stat shm {};
    if (::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) {
        cases.push_back({"/dev/shm/arbolite-room-test.xml", size_t{1} << 61, ENOSPC});
        cases.push_back({"/dev/shm/arbolite-room-test.xml", 4096, 0});
    }
#endif
    for (const auto& c : cases) {
        auto status = check_room_for(c.path, c.floor);
        if (c.errnum == 0) {
            EXPECT_TRUE(status.ok()) << c.path << " " << c.floor;
        } else {
            ASSERT_FALSE(status.ok()) << c.path << " " << c.floor;
            EXPECT_EQ(status.error().errnum, c.errnum) << c.path << " " << c.floor;
        }
        EXPECT_FALSE(exists(c.path) && c.path.find("new.xml") != std::string::npos) << c.path;
    }
}

// A failing close is reported after a successful flush; an earlier failure
// wins over it. (The descriptor is closed behind the sink's back, so its own
// close fails with EBADF.)
TEST_F(WriterFile, FinishReportsAFailingClose) {
    struct CloseCase {
        const char* what;
        std::string path;
        int errnum;
    };
    std::vector<CloseCase> cases = {{"close fails", path("closed.xml"), EBADF}};
    if (::access("/dev/full", W_OK) == 0) cases.push_back({"the flush failed first", "/dev/full", ENOSPC});
    for (const auto& c : cases) {
        const int fd = ::open(c.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << c.what;
        FileSink sink(fd, true);
        ASSERT_TRUE(sink.write("<r/>", 4));
        const bool flushed = sink.flush();
        // Nothing opens a descriptor between this and finish(), so the
        // number stays free.
        ::close(fd);
        EXPECT_FALSE(sink.finish()) << c.what;
        EXPECT_EQ(sink.error().kind, OsError::Kind::Errno) << c.what;
        EXPECT_EQ(sink.error().errnum, c.errnum) << c.what;
        EXPECT_EQ(flushed, c.errnum == EBADF) << c.what;
    }
    EXPECT_EQ(read_file(path("closed.xml")), std::string(kXmlDeclaration) + "<r/>");
}

}  // namespace
// A buffer of the wrong size is refused without writing past its end.
TEST(WriterMeasure, BufferOfTheWrongSizeIsRefused) {
    const ParsedTree tree = tree_of(worked_example());
    const auto views = view_of(tree);
    auto measured = measure_tree(views, 2, true);
    ASSERT_TRUE(measured.ok());
    const size_t exact = measured->size;
    for (size_t size : {size_t{0}, size_t{1}, exact - 1, exact + 1}) {
        std::string buffer(size + 8, '#');
        EXPECT_FALSE(write_tree_to_buffer(views, 2, true, buffer.data(), size)) << size;
        EXPECT_EQ(buffer.substr(size), std::string(8, '#')) << size;
    }
}

// The one-pass measure of an escaped text or value against the byte loop,
// with the tally of every table and with the one in use: random mixes of
// special, control, ASCII and non-ASCII bytes at every length around the
// register widths, and runs of each special byte, of non-ASCII bytes and of
// 0xFF long enough that the per-byte counts are summed on the way.
TEST(WriterEscapeMeasure, KernelMatchesTheByteLoop) {
    const std::string alphabet = "ab &<>\"'\t\r\n\x01\x7f\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8c\x8d\x80\xbf\xff";
    std::mt19937 rng(41);
    auto measure = [](const simd::KernelTable& kernels, Escape mode, const std::string& s) {
        return mode == Escape::Text ? escaped_measure<Escape::Text>(kernels, s.data(), s.size())
                                    : escaped_measure<Escape::Attr>(kernels, s.data(), s.size());
    };
    auto expect_same = [&](const std::string& s) {
        for (const Escape mode : {Escape::Text, Escape::Attr}) {
            const EscapedMeasure want = escaped_measure_reference(mode, s.data(), s.size());
            for (const simd::KernelTable* kernels : simd::kernels_for_testing()) {
                const EscapedMeasure got = measure(*kernels, mode, s);
                ASSERT_EQ(got.bytes, want.bytes) << kernels->name << " " << s.size();
                ASSERT_EQ(got.continuation, want.continuation) << kernels->name << " " << s.size();
                ASSERT_EQ(got.largest, want.largest) << kernels->name << " " << s.size();
            }
            const EscapedMeasure got = measure(simd::active_kernels(), mode, s);
            ASSERT_EQ(got.bytes, want.bytes) << s.size();
            ASSERT_EQ(got.continuation, want.continuation) << s.size();
            ASSERT_EQ(got.largest, want.largest) << s.size();
        }
    };
    for (size_t n = 0; n <= 200; ++n) {
        for (int round = 0; round < 20; ++round) {
            std::string s(n, 'x');
            for (char& c : s) c = alphabet[rng() % alphabet.size()];
            expect_same(s);
        }
    }
    for (const char c : {'"', '\'', '&', '<', '>', '\t', '\r', '\n', '\x80', '\xbf', '\xff'})
        expect_same(std::string(255 * 32 * 2 + 17, c));
    // The reference itself, on the table.
    const std::string all = "&<>\"'\t\r\n";
    EXPECT_EQ(escaped_measure_reference(Escape::Text, all.data(), all.size()).bytes, 5u + 4 + 4 + 6 + 6 + 3);
    EXPECT_EQ(escaped_measure_reference(Escape::Attr, all.data(), all.size()).bytes, 5u + 4 + 4 + 6 + 6 + 4 + 5 + 5);
}

// Notes that claim a text needs no escaping when it does (they come from
// another tree) leave the output short: the write is refused, not wrong.
TEST(WriterMeasure, NotesOfAnotherTreeAreRefused) {
    const std::string text(100, 'a');
    const ParsedTree plain_tree = tree_of(El{"r", {}, text});
    const ParsedTree escaped_tree = tree_of(El{"r", {}, text + "&"});
    PlainTexts plain;
    ASSERT_TRUE(measure_tree(view_of(plain_tree), 2, false, {}, &plain).ok());
    ASSERT_EQ(plain, PlainTexts{true});
    auto measured = measure_tree(view_of(escaped_tree), 2, false);
    ASSERT_TRUE(measured.ok());
    std::string buffer(measured->size, '#');
    EXPECT_FALSE(write_tree_to_buffer(view_of(escaped_tree), 2, false, buffer.data(), buffer.size(), {}, &plain));
    std::vector<uint32_t> units(measured->code_points);
    EXPECT_FALSE(write_tree_to_units(view_of(escaped_tree), 2, false, units.data(), units.size(), {}, &plain));
}

// The bounds meet the exact size at their ends: an output with nothing to
// escape is its least, and one whose texts and values are all quotes (the
// longest replacement) its most; between them, an output of other escapes.
TEST(WriterMeasure, BoundsMeetTheSizeAtTheirEnds) {
    enum class At : uint8_t { Both, Least, Most, Between };
    struct BoundsCase {
        const char* what;
        El tree;
        At at;
    };
    const BoundsCase cases[] = {
        {"no text", El{"r", {}, std::nullopt, {El{"a"}, El{"b"}}}, At::Both},
        {"plain text and value", El{"r", {{"k", "value"}}, std::string(100, 't')}, At::Least},
        {"non-ASCII", El{"r", {{"k", "\xc3\xa9"}}, "\xe6\x97\xa5\xf0\x9f\x8c\x8d"}, At::Least},
        {"quotes", El{"r", {{"k", std::string(70, '"')}}, std::string(9, '\'')}, At::Most},
        {"ampersands", El{"r", {{"k", "&"}}, std::string(100, '&')}, At::Between},
        {"line ends in a value", El{"r", {{"k", "\t\r\n"}}}, At::Between},
    };
    for (const auto& c : cases) {
        const ParsedTree tree = tree_of(c.tree);
        const size_t exact = to_memory(tree, 2, true).size();
        auto bounds = measure_tree_bounds(view_of(tree), 2, true);
        ASSERT_TRUE(bounds.ok()) << c.what;
        EXPECT_EQ(bounds->least == exact, c.at == At::Both || c.at == At::Least) << c.what;
        EXPECT_EQ(bounds->most == exact, c.at == At::Both || c.at == At::Most) << c.what;
    }
    // Saturated, both ends.
    const ParsedTree wide = tree_of(El{"r", {}, std::nullopt, {El{"a"}, El{"b"}, El{"c"}}});
    auto huge = measure_tree_bounds(view_of(wide), SIZE_MAX / 2, false);
    ASSERT_TRUE(huge.ok());
    EXPECT_EQ(huge->least, SIZE_MAX);
    EXPECT_EQ(huge->most, SIZE_MAX);
}

TEST(WriterMeasure, IndentOverflowIsReportedByTheMeasure) {
    const ParsedTree tree = first_break_at_depth(3);
    auto measured = measure_tree(view_of(tree), SIZE_MAX / 2, false);
    ASSERT_FALSE(measured.ok());
    EXPECT_EQ(measured.error().kind, WriteError::Kind::IndentOverflow);
}

}  // namespace arbolite::write
