// A parsed element tree as plain records, produced by the parser and read by
// the conversion into Node objects and by the writer.
//
// The tree is one array in pre-order (document order): element 0 is the
// root, an element's first child (if any) follows it directly, and `end` is
// the index one past its last descendant. Nothing nests in memory, so trees
// of any depth are built, walked and freed without recursion.
//
// Names and texts are views. The parser points them into the document
// wherever the bytes can be taken as they are (names always, texts that are
// one run without references); texts it had to assemble live in the tree's
// own arena. A parsed tree is therefore only valid while its document is.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/attr_map.hpp"
#include "common/string_arena.hpp"

namespace arbolite {

struct ParsedElement {
    std::string_view name;
    AttrMap attrs;
    std::optional<std::string_view> text;
    size_t end = 0;          // one past the last descendant's index
    size_t child_count = 0;  // direct children
};

struct ParsedTree {
    std::vector<ParsedElement> elements;
    StringArena strings;  // assembled texts (and whatever else a producer needs to keep)
};

}  // namespace arbolite
