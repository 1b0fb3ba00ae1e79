#include "entities/references.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using arbolite::entities::decode_references;
using arbolite::entities::RefMode;
using arbolite::entities::ReferenceError;

struct DecodeCase {
    const char* input;
    RefMode mode;
    const char* expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.input; }

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, Decodes) {
    const DecodeCase& c = GetParam();
    SCOPED_TRACE(c.input);
    std::string out = "prefix|";
    auto status = decode_references(c.input, 100, c.mode, out);
    ASSERT_TRUE(status.ok()) << status.error().body;
    EXPECT_EQ(out, std::string("prefix|") + c.expected);
}

constexpr RefMode kText = RefMode::Text;
constexpr RefMode kAttr = RefMode::Attribute;

INSTANTIATE_TEST_SUITE_P(
    References, DecodeTest,
    ::testing::Values(
        DecodeCase{"", kText, ""},
        DecodeCase{"", kAttr, ""},
        DecodeCase{"plain text", kText, "plain text"},
        DecodeCase{"plain value", kAttr, "plain value"},
        DecodeCase{"a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;", kText, "a <b> & \"c\" 'd'"},
        DecodeCase{"a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;", kAttr, "a <b> & \"c\" 'd'"},
        DecodeCase{"&#65;&#x42;&#x+43;&#0068;", kText, "ABCD"},
        DecodeCase{"&#+69;&#x0000046;&#xa;&#xA;", kText, "EF\n\n"},
        // The decoded '&' is not examined again.
        DecodeCase{"&amp;lt;", kText, "&lt;"},
        DecodeCase{"&amp;amp;", kAttr, "&amp;"},
        // UTF-8 of every length, and the limits of the accepted range.
        DecodeCase{"&#x7F;&#x80;&#x7FF;&#x800;", kText, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
        DecodeCase{"&#xD7FF;&#xE000;&#xFFFF;", kText, "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
        DecodeCase{"&#x10000;&#x10FFFF;&#1114111;", kText, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xF4\x8F\xBF\xBF"},
        DecodeCase{"&#x1;", kText, "\x01"},
        // Multi-byte text around references is copied as it is.
        DecodeCase{"\xC3\xA9&amp;\xE2\x82\xAC", kText, "\xC3\xA9&\xE2\x82\xAC"},
        // Line ends and tabs: kept in text, one space each in attributes,
        // CR LF as a pair giving one space.
        DecodeCase{"a\rb\nc\td\r\ne", kText, "a\rb\nc\td\r\ne"},
        DecodeCase{"a\rb\nc\td\r\ne", kAttr, "a b c d e"},
        DecodeCase{"\r\n\t\r\n", kAttr, "   "},
        DecodeCase{"\r\r\n\n", kAttr, "   "},
        DecodeCase{"\r", kAttr, " "},
        DecodeCase{"x\r", kAttr, "x "},
        DecodeCase{"\n\r", kAttr, "  "},
        DecodeCase{"&#10;&#13;&#9;", kAttr, "\n\r\t"},
        DecodeCase{"a\n&amp;\r\nb", kAttr, "a & b"},
        DecodeCase{"&#x20;x&#32;", kText, " x "}));

struct ErrorCase {
    const char* input;
    RefMode mode;
    ReferenceError::Kind kind;
    const char* body;
    uint64_t offset;  // relative to the input; the test adds a base
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.input; }

class DecodeErrorTest : public ::testing::TestWithParam<ErrorCase> {};

constexpr uint64_t kBase = 1000;

TEST_P(DecodeErrorTest, Fails) {
    const ErrorCase& c = GetParam();
    SCOPED_TRACE(c.input);
    std::string out;
    auto status = decode_references(c.input, kBase, c.mode, out);
    ASSERT_FALSE(status.ok()) << "decoded to " << out;
    EXPECT_EQ(status.error().kind, c.kind);
    EXPECT_EQ(status.error().body, c.body);
    EXPECT_EQ(status.error().offset, kBase + c.offset);
}

constexpr auto kUnterminated = ReferenceError::Kind::Unterminated;
constexpr auto kInvalid = ReferenceError::Kind::InvalidCharacter;
constexpr auto kUnknown = ReferenceError::Kind::UnknownEntity;

INSTANTIATE_TEST_SUITE_P(
    References, DecodeErrorTest,
    ::testing::Values(
        ErrorCase{"a & b", kText, kUnterminated, "", 2},
        ErrorCase{"&", kAttr, kUnterminated, "", 0},
        ErrorCase{"ok &amp; then &lt", kText, kUnterminated, "", 14},
        // The body runs to the first ';' anywhere after the '&'.
        ErrorCase{"a & b;", kText, kUnknown, " b", 2},
        ErrorCase{"x&;", kText, kUnknown, "", 1},
        ErrorCase{"&nbsp;", kText, kUnknown, "nbsp", 0},
        ErrorCase{"&AMP;", kText, kUnknown, "AMP", 0},
        ErrorCase{"&Lt;", kText, kUnknown, "Lt", 0},
        ErrorCase{"&ltx;", kAttr, kUnknown, "ltx", 0},
        ErrorCase{"&amp;&bogus;", kAttr, kUnknown, "bogus", 5},
        ErrorCase{"\r\n&x;", kAttr, kUnknown, "x", 2},
        ErrorCase{"&#X41;", kText, kInvalid, "#X41", 0},
        ErrorCase{"&#;", kText, kInvalid, "#", 0},
        ErrorCase{"&#x;", kText, kInvalid, "#x", 0},
        ErrorCase{"&#+;", kText, kInvalid, "#+", 0},
        ErrorCase{"&#-;", kText, kInvalid, "#-", 0},
        ErrorCase{"&#x+;", kText, kInvalid, "#x+", 0},
        ErrorCase{"&#-1;", kText, kInvalid, "#-1", 0},
        ErrorCase{"&#++1;", kText, kInvalid, "#++1", 0},
        ErrorCase{"&#+x41;", kText, kInvalid, "#+x41", 0},
        ErrorCase{"&#0;", kText, kInvalid, "#0", 0},
        ErrorCase{"&#x0000;", kText, kInvalid, "#x0000", 0},
        ErrorCase{"&#xD800;", kText, kInvalid, "#xD800", 0},
        ErrorCase{"&#xDFFF;", kText, kInvalid, "#xDFFF", 0},
        ErrorCase{"&#55296;", kText, kInvalid, "#55296", 0},
        ErrorCase{"&#x110000;", kText, kInvalid, "#x110000", 0},
        ErrorCase{"&#1114112;", kText, kInvalid, "#1114112", 0},
        ErrorCase{"&#4294967296;", kText, kInvalid, "#4294967296", 0},
        ErrorCase{"&#4294967361;", kText, kInvalid, "#4294967361", 0},
        ErrorCase{"&#x100000041;", kText, kInvalid, "#x100000041", 0},
        ErrorCase{"&#99999999999999999999;", kText, kInvalid, "#99999999999999999999", 0},
        ErrorCase{"&#12a;", kText, kInvalid, "#12a", 0},
        ErrorCase{"&#x4G;", kText, kInvalid, "#x4G", 0},
        ErrorCase{"&# 65;", kText, kInvalid, "# 65", 0},
        ErrorCase{"ab&#x4 1;", kAttr, kInvalid, "#x4 1", 2}));

TEST(References, TextWithoutReferencesIsAppendedOnce) {
    // A buffer with room to spare keeps its storage: the plain input goes
    // straight in.
    std::string out;
    out.reserve(64);
    const char* storage = out.data();
    ASSERT_TRUE(decode_references("no references here", 0, RefMode::Text, out).ok());
    EXPECT_EQ(out, "no references here");
    EXPECT_EQ(out.data(), storage);
}

TEST(References, ErrorLeavesEarlierOutputIntact) {
    std::string out = "kept";
    auto status = decode_references("&lt;&zz;", 0, RefMode::Text, out);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(out.substr(0, 4), "kept");
}

TEST(References, LongInputWithReferencesThroughout) {
    // Long enough for the word-at-a-time searches to take several steps
    // between references.
    std::string input, expected;
    for (int i = 0; i < 200; ++i) {
        input += std::string(static_cast<size_t>(i % 70), 'x') + "&amp;\t&#x263A;";
        expected += std::string(static_cast<size_t>(i % 70), 'x') + "& \xE2\x98\xBA";
    }
    std::string out;
    ASSERT_TRUE(decode_references(input, 0, RefMode::Attribute, out).ok());
    EXPECT_EQ(out, expected);
}

}  // namespace
