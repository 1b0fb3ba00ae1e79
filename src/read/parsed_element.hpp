// A parsed element tree as plain records, produced by the parser and by the
// writer's snapshot of a Node tree.
//
// The tree is one array in pre-order (document order): element 0 is the
// root, an element's first child (if any) follows it directly, and `end` is
// the index one past its last descendant. Nothing nests in memory, so trees
// of any depth are built, walked and freed without recursion.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/attr_map.hpp"

namespace arbolite {

struct ParsedElement {
    std::string name;
    AttrMap attrs;
    std::optional<std::string> text;
    size_t end = 0;          // one past the last descendant's index
    size_t child_count = 0;  // direct children
};

struct ParsedTree {
    std::vector<ParsedElement> elements;
};

}  // namespace arbolite
