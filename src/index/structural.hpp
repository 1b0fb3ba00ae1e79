// The structural index: where every tag of a document starts and ends, its
// kind and name, and the runs of text between tags. Built in one pass over
// the whole document before the parser looks at anything.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace arbolite::index {

enum class TagKind : uint8_t {
    Open = 0,                   // <name ...>
    Close = 1,                  // </name ...>
    SelfClosing = 2,            // <name .../>
    Comment = 3,                // <!-- ... -->
    CData = 4,                  // <![CDATA[ ... ]]>
    ProcessingInstruction = 5,  // <?target ...?>, the XML declaration included
};

struct StructuralIndex {
    // One entry per tag, in document order; all five lists have equal length.
    std::vector<uint64_t> tag_starts;    // offset of the tag's '<'
    std::vector<uint64_t> tag_ends;      // offset of the tag's final '>'
    std::vector<TagKind> tag_kinds;
    std::vector<uint64_t> name_offsets;  // 0 for comments and CDATA sections
    std::vector<uint32_t> name_lengths;  // 0 for comments and CDATA sections
    // Runs of bytes between markup, [start, end), in document order.
    std::vector<uint64_t> text_starts;
    std::vector<uint64_t> text_ends;

    size_t tag_count() const { return tag_starts.size(); }
};

struct IndexBuildError {
    enum class Kind : uint8_t {
        UnclosedTag,    // "Unclosed tag at byte {offset}"
        UnexpectedEnd,  // the build ran off the end inside unguarded markup
        NameTooLong,    // a name of 2^32 bytes or more, starting at `offset`
    };
    Kind kind;
    uint64_t offset;
};

using IndexResult = Result<StructuralIndex, IndexBuildError>;

enum class Builder : uint8_t { Sequential, QuoteAware };

// Picks the builder from the first 4096 bytes: quote-aware when double
// quotes outnumber '<' more than five to one.
Builder choose_builder(std::string_view document);

IndexResult build_index_sequential(std::string_view document);
IndexResult build_index_quote_aware(std::string_view document);

// choose_builder, then that builder.
IndexResult build_index(std::string_view document);

}  // namespace arbolite::index
