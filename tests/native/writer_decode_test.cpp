// Writing decoded into code units (a str's storage), and the plan that
// chooses how write_string's output is made.
#include "write/serializer.hpp"
#include "write/string_plan.hpp"

#include <gtest/gtest.h>

#include "parsed_tree_view.hpp"
#include "writer_trees.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace arbolite::write {
namespace {

// Output written decoded through a staging buffer: pieces of every width
// and length straddle its end, escapes included, and the result is the
// decoded bytes of the memory output.
TEST(WriterUnits, StagedOutputMatchesTheBytes) {
    const std::vector<std::string> alphabet = {"a", "b", " ", "&", "<", "\"", "\n", "\xc3\xa9", "\xc4\x80",
                                               "\xe6\x97\xa5", "\xef\xbf\xbf", "\xf0\x9f\x8c\x8d"};
    std::mt19937 rng(31);
    for (int round = 0; round < 40; ++round) {
        // Each round keeps to the code points below some width.
        const size_t widest = 7 + rng() % 6;
        El root{"r", {{"k", ""}}, "t"};
        std::string value;
        for (size_t i = rng() % 50; i != 0; --i) value += alphabet[rng() % widest];
        root.attrs[0].second = value;
        for (size_t child = 0; child < 30; ++child) {
            std::string text;
            for (size_t i = rng() % 700; i != 0; --i) text += alphabet[rng() % widest];
            root.children.push_back(El{"\xc3\xa9l\xc3\xa9ment", {}, text});
        }
        const ParsedTree tree = tree_of(root);
        const auto views = view_of(tree);
        const std::string out(write_tree_to_memory(views, 3, true)->view());
        const std::vector<uint32_t> expected = code_points_of(out);
        for (const size_t stage_units : {size_t{1024}, size_t{1031}, size_t{4096}}) {
            std::vector<uint32_t> stage(stage_units);
            std::vector<uint32_t> units(expected.size() + 8, 0x23);
            detail::UnitSink<uint32_t> sink(units.data(), expected.size(), stage.data(), stage.size());
            ASSERT_TRUE(sink.write(kXmlDeclaration));
            ASSERT_TRUE((detail::Walker<detail::UnitSink<uint32_t>, ParsedTreeView>(sink, views, 3).run().ok()));
            sink.finish();
            EXPECT_TRUE(sink.full());
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), units.begin())) << "stage of " << stage_units;
            EXPECT_EQ(units.back(), 0x23u);
        }
    }
}

// Blanks beyond the staging buffer, and an output that ends exactly at its
// end and one unit after it.
TEST(WriterUnits, StagedBlanksAndEnds) {
    for (const size_t extra : {0, 1, 2, 3000}) {
        std::vector<uint16_t> stage(1024);
        const size_t total = 1024 + extra;
        std::vector<uint16_t> units(total + 4, 0x23);
        detail::UnitSink<uint16_t> sink(units.data(), total, stage.data(), stage.size());
        ASSERT_TRUE(sink.write_blanks(1023));
        ASSERT_TRUE(sink.write_byte('x'));
        if (extra != 0) {
            ASSERT_TRUE(sink.write_line_start(extra - 1));
        }
        EXPECT_FALSE(sink.write_byte('y'));
        sink.finish();
        EXPECT_FALSE(sink.full());  // the refused byte
        EXPECT_EQ(units[1022], ' ');
        EXPECT_EQ(units[1023], 'x');
        if (extra != 0) {
            EXPECT_EQ(units[1024], '\n');
        }
        EXPECT_EQ(units[total - 1], extra > 1 ? ' ' : extra == 1 ? '\n' : 'x');
        EXPECT_EQ(units[total], 0x23);
    }
}

// Room for the wrong number of units: refused, nothing written past it; a
// text that is not UTF-8 is reported by the measure.
TEST(WriterUnits, WrongRoomIsRefusedAndInvalidTextReported) {
    const ParsedTree tree = tree_of(El{"r", {}, "\xe6\x97\xa5\xe6\x9c\xac", {El{"a", {{"k", "\xc3\xa9"}}}}});
    const auto views = view_of(tree);
    auto measured = measure_tree(views, 2, false);
    ASSERT_TRUE(measured.ok());
    const size_t exact = measured->code_points;
    for (size_t size : {size_t{0}, size_t{1}, exact - 1, exact + 1}) {
        std::vector<uint16_t> units(size + 8, 0x23);
        EXPECT_FALSE(write_tree_to_units(views, 2, false, units.data(), size)) << size;
        EXPECT_TRUE(std::all_of(units.begin() + static_cast<ptrdiff_t>(size), units.end(),
                                [](uint16_t u) { return u == 0x23; }))
            << size;
    }
    for (const std::string bad : {"\xff", "a\xc3", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80" "abc"}) {
        for (const bool in_value : {false, true}) {
            const ParsedTree broken =
                tree_of(in_value ? El{"r", {{"k", bad}}} : El{"r", {}, bad + std::string(70, 'x')});
            auto m = measure_tree(view_of(broken), 2, false);
            ASSERT_TRUE(m.ok());
            EXPECT_FALSE(m->valid_utf8) << bad;
        }
    }
}

// A parsed tree that notes whether the plan told it to expect long texts.
class NotedTree : public ParsedTreeView {
public:
    using ParsedTreeView::ParsedTreeView;
    void expect_long_texts() { told_long_texts = true; }
    bool told_long_texts = false;
};

// The text a plan makes: the buffered output, or the measured one written
// as bytes or decoded into units of the measured width.
std::vector<uint32_t> plan_output(const StringPlan<NotedTree>& plan) {
    if (plan.buffered()) return code_points_of(plan.bytes());
    const OutputMeasure& m = plan.measure();
    if (m.ascii) {
        std::string out(m.size, '#');
        EXPECT_TRUE(plan.write_bytes(out.data()));
        return code_points_of(out);
    }
    auto decoded = [&](auto unit) {
        std::vector<decltype(unit)> out(m.code_points + 4, 0x23);
        EXPECT_TRUE(plan.write_units(out.data()));
        EXPECT_TRUE(std::all_of(out.end() - 4, out.end(), [](auto u) { return u == 0x23; }));
        return std::vector<uint32_t>(out.begin(), out.end() - 4);
    };
    if (m.units <= simd::CodeUnits::Latin1) return decoded(uint8_t{});
    if (m.units == simd::CodeUnits::Ucs2) return decoded(uint16_t{});
    return decoded(uint32_t{});
}

El rows(size_t count) {
    El root{"rows"};
    for (size_t i = 0; i < count; ++i)
        root.children.push_back(El{"row", {{"id", std::to_string(i)}, {"name", "lorem"}, {"qty", "12"}}});
    return root;
}

El nested(size_t depth) {
    El current{"leaf", {}, "x"};
    for (size_t d = 0; d < depth; ++d) current = El{"n", {}, std::nullopt, {current, El{"m"}}};
    return current;
}

El prose(const std::string& word, size_t paragraphs) {
    El root{"doc"};
    std::string text;
    for (size_t i = 0; i < 120; ++i) text += word + " & ";
    for (size_t i = 0; i < paragraphs; ++i) root.children.push_back(El{"p", {{"lang", "x"}}, text});
    return root;
}

// Each shape takes the way its sample points to, and every way gives the
// text of the memory output, in the units its widest code point needs.
TEST(WriterStringPlan, EveryWayWritesTheMemoryOutput) {
    struct Case {
        const char* what;
        El tree;
        size_t indent;
        bool buffered;
        bool long_texts;
        simd::CodeUnits units;
    };
    const Case cases[] = {
        {"attribute rows", rows(300), 2, true, false, simd::CodeUnits::Ascii},
        {"rows, no indentation", rows(300), 0, true, false, simd::CodeUnits::Ascii},
        {"deep nesting", nested(300), 4, false, false, simd::CodeUnits::Ascii},
        {"ASCII prose", prose("lorem", 20), 2, false, true, simd::CodeUnits::Ascii},
        {"Latin-1 prose", prose("caf\xc3\xa9", 20), 2, false, true, simd::CodeUnits::Latin1},
        {"UCS-2 prose", prose("\xe6\x97\xa5\xe6\x9c\xac", 20), 2, false, true, simd::CodeUnits::Ucs2},
        {"UCS-4 prose", prose("\xf0\x9f\x8c\x8d", 20), 2, false, true, simd::CodeUnits::Ucs4},
        {"one element", El{"r"}, 4, true, false, simd::CodeUnits::Ascii},
    };
    for (const Case& c : cases) {
        const ParsedTree parsed = tree_of(c.tree);
        for (const bool declaration : {false, true}) {
            NotedTree tree(parsed);
            StringPlan<NotedTree> plan(tree, c.indent, declaration);
            ASSERT_TRUE(plan.run().ok()) << c.what;
            EXPECT_EQ(plan.buffered(), c.buffered) << c.what;
            EXPECT_EQ(tree.told_long_texts, c.long_texts) << c.what;
            const std::string memory(write_tree_to_memory(view_of(parsed), c.indent, declaration)->view());
            if (plan.buffered()) {
                EXPECT_TRUE(plan.valid_utf8()) << c.what;
            } else {
                EXPECT_EQ(plan.measure().units, c.units) << c.what;
            }
            EXPECT_EQ(plan_output(plan), code_points_of(memory)) << c.what;
        }
    }
}

// A refused name or an indentation overflow ends the first walk, whichever
// way it takes.
TEST(WriterStringPlan, FirstWalkReportsTheWalksErrors) {
    El bad_rows = rows(50);
    bad_rows.children[30].attrs.push_back({"a b", "v"});
    El bad_nesting = nested(40);
    bad_nesting.children[1].name = "m/";
    struct Case {
        El tree;
        size_t indent;
        bool buffered;
        WriteError::Kind kind;
    };
    const Case cases[] = {
        {bad_rows, 2, true, WriteError::Kind::InvalidAttributeName},
        {bad_nesting, 4, false, WriteError::Kind::InvalidElementName},
        {nested(3), SIZE_MAX / 2, false, WriteError::Kind::IndentOverflow},
    };
    for (const Case& c : cases) {
        const ParsedTree parsed = tree_of(c.tree);
        NotedTree tree(parsed);
        StringPlan<NotedTree> plan(tree, c.indent, true);
        const Status<WriteError> ran = plan.run();
        ASSERT_FALSE(ran.ok());
        EXPECT_EQ(ran.error().kind, c.kind);
        EXPECT_EQ(plan.buffered(), c.buffered);
    }
}

// The sample stops after kShapeSample elements, in document order, and
// counts their depths, names, texts and attribute blocks.
TEST(WriterStringPlan, SampleCountsTheFirstElements) {
    const ParsedTree small = tree_of(El{"ab", {}, "xyz", {El{"c", {}, "de", {El{"f"}}}, El{"g"}}});
    const TreeShape shape = sample_shape(view_of(small));
    EXPECT_EQ(shape.elements, 4u);
    EXPECT_EQ(shape.depth_sum, 0u + 1 + 2 + 1);
    EXPECT_EQ(shape.text_bytes, 5u);
    EXPECT_EQ(shape.content_bytes, 2u + 3 + 1 + 2 + 1 + 1);

    El wide{"list"};
    wide.children.resize(kShapeSample + 100, El{"i"});
    const ParsedTree many = tree_of(wide);
    const TreeShape sampled = sample_shape(view_of(many));
    EXPECT_EQ(sampled.elements, kShapeSample);
    EXPECT_EQ(sampled.depth_sum, kShapeSample - 1);
    EXPECT_EQ(sample_shape(view_of(ParsedTree{})).elements, 0u);
}

}  // namespace
}  // namespace arbolite::write
