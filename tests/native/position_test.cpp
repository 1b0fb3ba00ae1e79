#include "read/position.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace {

using arbolite::read::error_offset;
using arbolite::read::locate;
using arbolite::read::ReadError;
using arbolite::read::TextPosition;

// A byte at a time, as the rules read: every line end before the byte
// starts a new line; every character start on the line moves the column.
TextPosition reference(std::string_view d, size_t offset) {
    if (offset > d.size()) offset = d.size();
    uint64_t line = 1, column = 1;
    for (size_t i = 0; i < offset; ++i) {
        const char c = d[i];
        if (c == '\n' || (c == '\r' && (i + 1 == d.size() || d[i + 1] != '\n'))) {
            ++line;
            column = 1;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            // A character starts at i; the next one is a column further,
            // unless the offset lies inside this one (a CRLF's LF counts as
            // inside its CR).
            bool inside = c == '\r' && i + 1 == offset;
            size_t j = i + 1;
            while (j < d.size() && (static_cast<unsigned char>(d[j]) & 0xC0) == 0x80) {
                if (j == offset) inside = true;
                ++j;
            }
            if (!inside) ++column;
        }
    }
    return {line, column};
}

struct Case {
    std::string_view document;
    uint64_t offset;
    TextPosition expected;
};

TEST(Position, Table) {
    const Case cases[] = {
        {"", 0, {1, 1}},
        {"<a>", 0, {1, 1}},
        {"<a>", 3, {1, 4}},
        {"<a>", 99, {1, 4}},  // beyond the end: the end
        {"<a>\n<b>", 4, {2, 1}},
        {"<a>\n<b>", 3, {1, 4}},           // the line feed itself ends line 1
        {"<a>\r\n<b>", 5, {2, 1}},         // CRLF is one line end
        {"<a>\r\n<b>", 4, {1, 4}},         // the LF of a CRLF: line 1, with its CR
        {"<a>\r<b>", 4, {2, 1}},           // a lone CR ends a line
        {"\r\r\n\n\r", 5, {5, 1}},         // CR, CRLF, LF, CR
        {"x\r", 2, {2, 1}},                // a CR at the very end
        {"\xc3\xa9\xc3\xa9<", 4, {1, 3}},  // two 2-byte characters before
        {"\xe4\xb8\xad\xf0\x9f\x98\x80<", 7, {1, 3}},
        {"\xe4\xb8\xad<", 1, {1, 1}},      // inside the first character
        {"\xe4\xb8\xad<", 2, {1, 1}},
        {"a\xe4\xb8\xad<", 3, {1, 2}},
        {"\xef\xbb\xbf<r>", 3, {1, 2}},    // a byte-order mark is a character
        {"l1\nl2\nl3 \xc3\xa9 <x", 12, {3, 6}},
        {"l1\nl2\nl3 \xc3\xa9 <x", 10, {3, 4}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(locate(c.document, c.offset), c.expected) << testing::PrintToString(std::string(c.document))
                                                            << " at " << c.offset;
        EXPECT_EQ(reference(c.document, c.offset), c.expected) << "reference model, at " << c.offset;
    }
}

// Long runs cross the word and vector boundaries of the counting loops at
// every alignment; every offset of each document is checked.
TEST(Position, AgreesWithTheByteModelEverywhere) {
    std::mt19937 rng(20240611);
    const std::string_view pieces[] = {"a", "<", " ", "\n", "\r", "\r\n", "\xc3\xa9", "\xe4\xb8\xad",
                                       "\xf0\x9f\x98\x80", "abcdefghijklmnopqrstuvwxyz0123456789"};
    for (int round = 0; round < 60; ++round) {
        std::string doc;
        const size_t parts = rng() % 120;
        // Some documents only ever see line feeds, some carriage returns
        // rarely, some often.
        const unsigned cr_weight = round % 3;
        for (size_t i = 0; i < parts; ++i) {
            size_t k = rng() % std::size(pieces);
            if ((pieces[k] == "\r" || pieces[k] == "\r\n") && rng() % 3 >= cr_weight) k = 0;
            doc += pieces[k];
        }
        for (size_t offset = 0; offset <= doc.size() + 1; ++offset)
            ASSERT_EQ(locate(doc, offset), reference(doc, offset)) << "round " << round << " offset " << offset;
    }
}

TEST(Position, LongSingleLineAndManyLines) {
    std::string wide(1 << 20, 'x');
    wide += "\xc3\xa9<";
    EXPECT_EQ(locate(wide, wide.size() - 1), (TextPosition{1, (1 << 20) + 2}));
    std::string tall;
    for (int i = 0; i < 100000; ++i) tall += (i % 2) ? "ab\r\n" : "c\n";
    tall += "\r<";
    EXPECT_EQ(locate(tall, tall.size() - 1), (TextPosition{100002, 1}));
}

TEST(Position, ErrorOffsets) {
    using Kind = ReadError::Kind;
    EXPECT_EQ(error_offset(ReadError::malformed(ReadError::Malformation::UnexpectedLessThan, 7)), 7u);
    EXPECT_EQ(error_offset(ReadError::named(Kind::UnknownEntity, "nbsp", 12)), 12u);
    ReadError indexed{Kind::IndexFailure};
    indexed.index_error = {arbolite::index::IndexBuildError::Kind::UnclosedTag, 31};
    EXPECT_EQ(error_offset(indexed), 31u);
    EXPECT_EQ(error_offset(ReadError::named(Kind::RootNotFound, "r")), std::nullopt);
    EXPECT_EQ(error_offset(ReadError::named(Kind::Unclosed, "r")), std::nullopt);
    EXPECT_EQ(error_offset(ReadError{Kind::Interrupted}), std::nullopt);
}

}  // namespace
