// Test-only views of the start-tag parsing, for the native tests; the read
// itself does not use them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/start_tag.hpp"

namespace arbolite::read::testing {

// An open or self-closing tag split into its name and its attribute region:
// the bytes after the name up to, not including, the closing '>' (and the
// '/' before it in a self-closing tag). Both are slices of the document.
struct ElementName {
    std::string_view name;
    std::string_view attributes;
};

// Splits tag number `tag` of `index`; fails when the tag has no name.
inline Result<ElementName, ReadError> scan_element_name(std::string_view document,
                                                        const index::StructuralIndex& index, size_t tag) {
    std::string_view name;
    const char* region_begin = nullptr;
    const char* region_end = nullptr;
    ARBOLITE_TRY(split_start_tag(document.data(), index, tag, name, region_begin, region_end));
    return ElementName{name, std::string_view(region_begin, static_cast<size_t>(region_end - region_begin))};
}

// Builds the element of open or self-closing tag number `tag`: its name and
// its attributes, with references decoded. No text, no children.
inline Result<ParsedElement, ReadError> parse_start_tag(std::string_view document,
                                                        const index::StructuralIndex& index, size_t tag) {
    std::vector<ParsedElement> element;
    std::string scratch;
    ARBOLITE_TRY(parse_start_tag_into(document, index, tag, element, scratch));
    return std::move(element.front());
}

}  // namespace arbolite::read::testing
