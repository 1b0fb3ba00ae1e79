// For the writer's tests: trees described as nested values, and the code
// points of the UTF-8 output they are written to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/parsed_element.hpp"
#include "simd/utf8_decode.hpp"

namespace arbolite::write {

// A nested description of a tree, flattened into the pre-order array.
struct El {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs = {};
    std::optional<std::string> text = std::nullopt;
    std::vector<El> children = {};
};

inline void flatten(const El& el, ParsedTree& tree) {
    const size_t index = tree.elements.size();
    ParsedElement e;
    e.name = tree.strings.store(el.name);
    for (const auto& [k, v] : el.attrs) e.attrs.insert_or_assign(k, v);
    if (el.text) e.text = tree.strings.store(*el.text);
    e.child_count = el.children.size();
    tree.elements.push_back(std::move(e));
    for (const El& child : el.children) flatten(child, tree);
    tree.elements[index].end = tree.elements.size();
}

inline ParsedTree tree_of(const El& el) {
    ParsedTree tree;
    flatten(el, tree);
    return tree;
}

// The code points of valid UTF-8, one at a time.
inline std::vector<uint32_t> code_points_of(std::string_view utf8) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        uint32_t c = n == 1 ? b : b & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back(c);
        i += n;
    }
    return out;
}

inline simd::CodeUnits units_of(const std::vector<uint32_t>& text) {
    const uint32_t top = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    return top < 0x80 ? simd::CodeUnits::Ascii
           : top < 0x100 ? simd::CodeUnits::Latin1
           : top < 0x10000 ? simd::CodeUnits::Ucs2
                           : simd::CodeUnits::Ucs4;
}

}  // namespace arbolite::write
