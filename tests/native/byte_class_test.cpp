#include "common/byte_class.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace arbolite::byte_class {
namespace {

// Every flag against the bytes that hold it, spelled out: no other byte of
// the 256 may hold it.
struct FlagCase {
    const char* name;
    Entry flag;
    std::string_view bytes;
};

const FlagCase kFlagCases[] = {
    {"tag space", kTagSpace, "\t\n\f\r "},
    {"slash", kSlash, "/"},
    {"gt", kGt, ">"},
    {"question", kQuestion, "?"},
    {"attribute name stop", kAttrNameStop, "\t\n\f\r =\"'"},
    {"ASCII white space", kAsciiWhiteSpace, "\t\n\v\f\r "},
    {"escaped in text", kTextEscape, "&<>\"'"},
    {"escaped in attribute values", kAttrEscape, "&<>\"'\t\r\n"},
    {"hexadecimal digit", kHexDigit, "0123456789abcdefABCDEF"},
    {"element name stop", kElementNameStop, "\t\n\f\r />"},
    {"processing instruction target stop", kPiTargetStop, "\t\n\f\r >?"},
    {"attribute name or tag end", kAttrNameOrTagEnd, "\t\n\f\r =\"'>"},
};

TEST(ByteClass, EachFlagHoldsExactlyItsBytes) {
    for (const FlagCase& f : kFlagCases) {
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            EXPECT_EQ(is_any(c, f.flag), f.bytes.find(c) != std::string_view::npos) << f.name << ", byte " << b;
        }
    }
}

TEST(ByteClass, NamedPredicatesMatchTheirFlags) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        EXPECT_EQ(is_tag_space(c), is_any(c, kTagSpace)) << b;
        EXPECT_EQ(is_attr_name_stop(c), is_any(c, kAttrNameStop)) << b;
        EXPECT_EQ(is_ascii_white_space(c), is_any(c, kAsciiWhiteSpace)) << b;
    }
}

// The escape numbers: the same in both modes for the five characters of
// text, the controls in attribute values only, 0 for every other byte.
TEST(ByteClass, EscapeNumbers) {
    const std::string_view numbered = "&<>\"'\t\r\n";
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const size_t at = numbered.find(c);
        const unsigned number = at == std::string_view::npos ? 0 : static_cast<unsigned>(at + 1);
        EXPECT_EQ(attr_escape(c), number) << b;
        EXPECT_EQ(text_escape(c), number <= 5 ? number : 0u) << b;
        EXPECT_EQ(text_escape(c) != 0, is_any(c, kTextEscape)) << b;
        EXPECT_EQ(attr_escape(c) != 0, is_any(c, kAttrEscape)) << b;
    }
}

TEST(ByteClass, HexValues) {
    for (int b = 0; b < 256; ++b) {
        unsigned want = 0xFF;
        if (b >= '0' && b <= '9') want = static_cast<unsigned>(b - '0');
        if (b >= 'a' && b <= 'f') want = static_cast<unsigned>(b - 'a' + 10);
        if (b >= 'A' && b <= 'F') want = static_cast<unsigned>(b - 'A' + 10);
        EXPECT_EQ(hex_value(static_cast<char>(b)), want) << b;
    }
}

}  // namespace
}  // namespace arbolite::byte_class
