// The Node type: one immutable XML element owning its name, attribute map
// and text, and holding counted references to its children.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "common/attr_map.hpp"
#include "common/block_chunks.hpp"
#include "py/errors.hpp"

namespace arbolite::py {

// A Node is one block of memory:
//
//   PyObject_HEAD | attrs | name_and_place | text_size | child_count    48 bytes
//   PyObject* children[child_count]                                      counted references
//   name bytes, then text bytes                                          no terminators
//
// The attribute map owns a block of its own (none when empty). A text_size of
// kNoText marks absent text. The block holds everything else, so a leaf costs
// one allocation, not one per string and list.
//
// Nodes made one at a time (the constructor, from_dict) are blocks of the
// interpreter's object allocator. Nodes of a document are blocks of chunks
// (BlockChunks), laid out in document order without the interpreter lock;
// the top bits of name_and_place hold such a block's distance from its
// chunk's start, zero for the others. A long text of such a node lies apart,
// in a text block of the same chunks placed after the nodes made with it, so
// that walks over many nodes read few bytes: the top bit of text_size says
// so, and the node holds the text's address where its bytes would be.
struct NodeObject {
    PyObject_HEAD
    AttrMap attrs;
    size_t name_and_place;
    size_t text_size;
    size_t child_count;
};
// No padding anywhere: the children follow the header directly, aligned.
static_assert(sizeof(NodeObject) == sizeof(PyObject) + sizeof(AttrMap) + 3 * sizeof(size_t));
static_assert(sizeof(NodeObject) % alignof(PyObject*) == 0);

inline constexpr size_t kNoText = SIZE_MAX;

namespace detail {
inline constexpr size_t kTextApart = size_t{1} << 63;
// Texts longer than this lie apart from a document's nodes.
inline constexpr size_t kLongestInlineText = 96;
// A text block: its distance from its chunk's start, marked (a node's block
// starts with its reference count, which never has the top bit set), and the
// text's size; then the text.
inline constexpr size_t kTextBlockMark = size_t{1} << 63;
inline constexpr size_t kTextHeader = 2 * sizeof(size_t);

inline constexpr unsigned kPlaceShift = 48;
inline constexpr size_t kMaxNameSize = (size_t{1} << kPlaceShift) - 1;
static_assert(BlockChunks::kMaxOffsetUnits < (size_t{1} << (64 - kPlaceShift)));

inline NodeObject* as_node(PyObject* node) { return reinterpret_cast<NodeObject*>(node); }
inline size_t name_size_of(const NodeObject* n) { return n->name_and_place & kMaxNameSize; }
inline size_t place_of(const NodeObject* n) { return n->name_and_place >> kPlaceShift; }
inline PyObject** children_of(PyObject* node) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + sizeof(NodeObject));
}
inline const char* name_bytes_of(PyObject* node) {
    return reinterpret_cast<const char*>(children_of(node) + as_node(node)->child_count);
}

// The size of a node's block, or 0 when it would not fit in a Py_ssize_t or
// the name is longer than kMaxNameSize.
inline size_t node_block_size(size_t name_size, size_t child_count, size_t text_size) noexcept {
    constexpr size_t limit = static_cast<size_t>(PY_SSIZE_T_MAX);
    if (name_size > kMaxNameSize) return 0;
    size_t size = sizeof(NodeObject);
    if (child_count > (limit - size) / sizeof(PyObject*)) return 0;
    size += child_count * sizeof(PyObject*);
    if (name_size > limit - size) return 0;
    size += name_size;
    if (text_size > limit - size) return 0;
    return size + text_size;
}

// Fills a node's block after the object header: the map (moved in), the
// sizes, the place (see NodeObject), the name and the text, or, with
// `text_apart`, the text's size only: the caller then stores the text's
// address at the returned position. The child slots are left to the caller.
// Touches nothing but the block.
char* fill_node(PyObject* obj, std::string_view name, AttrMap&& attrs, size_t child_count,
                std::optional<std::string_view> text, size_t place, bool text_apart = false) noexcept;

// The bytes after the name: the text, or the address of a text apart.
inline const char* after_name(PyObject* node) { return name_bytes_of(node) + name_size_of(as_node(node)); }
}  // namespace detail

inline std::string_view node_name(PyObject* node) {
    return {detail::name_bytes_of(node), detail::name_size_of(detail::as_node(node))};
}

inline std::optional<std::string_view> node_text(PyObject* node) {
    const size_t size = detail::as_node(node)->text_size;
    if (size == kNoText) return std::nullopt;
    const char* at = detail::after_name(node);
    if (size & detail::kTextApart) {
        const char* text;
        __builtin_memcpy(&text, at, sizeof text);
        return std::string_view(text, size & ~detail::kTextApart);
    }
    return std::string_view(at, size);
}

// Borrowed references, in list order.
inline std::span<PyObject* const> node_children(PyObject* node) {
    return {detail::children_of(node), detail::as_node(node)->child_count};
}

inline const AttrMap& node_attrs(PyObject* node) { return detail::as_node(node)->attrs; }

// A document's nodes lie side by side in document order, but nodes made one
// at a time lie wherever the allocator put them, so a walk over a list of
// siblings fetches the one a few steps ahead of `at` while it looks at this
// one.
inline void prefetch_ahead(std::span<PyObject* const> siblings, size_t at) {
    constexpr size_t distance = 4;
    if (at + distance < siblings.size()) __builtin_prefetch(siblings[at + distance]);
}

// The Node type object, made on first use and kept for the process.
PyResult<PyTypeObject*> node_type();

// A new Node of `type`. It copies `name` and `text` into its block, takes
// over `attrs` (moved from) and the references in `children`, which must all
// be set: on success each one is released into the node and left empty. On
// failure (MemoryError when the size overflows or the block cannot be
// allocated) nothing is taken and the caller still owns everything. Needs the
// interpreter lock.
PyResult<py::Ref> create_node(PyTypeObject* type, std::string_view name, AttrMap&& attrs,
                              std::span<py::Ref> children, std::optional<std::string_view> text);

// A new dict of the attributes, in the map's order, its keys and values made
// by `key_of` and `value_of` (each string_view -> PyResult<py::Ref>).
template <class KeyOf, class ValueOf>
PyResult<py::Ref> attrs_dict(const AttrMap& attrs, KeyOf&& key_of, ValueOf&& value_of) {
    const size_t count = attrs.size();
    py::Ref dict = py::Ref::steal(count == 0 ? PyDict_New() : _PyDict_NewPresized(static_cast<Py_ssize_t>(count)));
    if (!dict) return fail(fetch_error());
    for (const auto& entry : attrs) {
        ARBOLITE_TRY_ASSIGN(py::Ref key, key_of(entry.name));
        ARBOLITE_TRY_ASSIGN(py::Ref value, value_of(entry.value));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return fail(fetch_error());
    }
    return dict;
}

// `obj` as a Node (borrowed), or the type mismatch naming Node.
PyResult<PyObject*> to_node(PyObject* obj);

// Methods and slots defined beside the type.
PyObject* node_repr(PyObject* self);
PyObject* node_str(PyObject* self);
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_to_dict(PyObject* self, PyObject* unused);

// The SearchType enumeration.
PyResult<PyTypeObject*> search_type();

}  // namespace arbolite::py
