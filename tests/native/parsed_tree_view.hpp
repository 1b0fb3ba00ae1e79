// For tests and fuzz targets: the records of a parsed tree as the writer's
// walk reads them, so that a parsed document can be written without making
// Node objects.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/attr_map.hpp"
#include "read/parsed_element.hpp"

namespace arbolite::write {

// Handles are record indices. The tree must outlive the view.
class ParsedTreeView {
public:
    using Handle = size_t;

    explicit ParsedTreeView(const ParsedTree& tree) : e_(tree.elements) {}

    bool empty() const { return e_.empty(); }
    Handle root() const { return 0; }
    std::string_view name(Handle h) const { return e_[h].name; }
    const AttrMap& attrs(Handle h) const { return e_[h].attrs; }
    std::optional<std::string_view> text(Handle h) const { return e_[h].text; }
    // The children of record h lie between h + 1 and its `end`, each one
    // followed by its own descendants.
    size_t first_child(Handle h) const { return h + 1; }
    bool past_children(Handle h, size_t at) const { return at >= e_[h].end || at >= e_.size(); }
    Handle child(Handle, size_t at) const { return at; }
    size_t next_child(Handle, size_t at) const { return e_[at].end > at ? e_[at].end : at + 1; }

private:
    const std::vector<ParsedElement>& e_;
};

inline ParsedTreeView view_of(const ParsedTree& tree) { return ParsedTreeView(tree); }

}  // namespace arbolite::write
