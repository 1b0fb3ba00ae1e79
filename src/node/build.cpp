#include "node/build.hpp"

#include <algorithm>
#include <new>

#include "common/block_chunks.hpp"
#include "node/node.hpp"

#ifdef Py_GIL_DISABLED
#error "nodes are given their reference count without atomics"
#endif

namespace arbolite::node {
namespace {

size_t block_of(const ParsedElement& e) {
    const size_t size = BlockChunks::block_size(
        detail::node_block_size(e.name.size(), e.child_count, e.text ? e.text->size() : 0));
    if (size == 0) throw std::bad_alloc();
    return size;
}

// An element whose children are still being placed, and its next free
// child slot.
struct Open {
    size_t end;
    PyObject** next_child;
};

// Closes the elements that end before element `i`.
void close_before(std::vector<Open>& open, size_t i) noexcept {
    while (!open.empty() && open.back().end <= i) open.pop_back();
}

// Elements planned and filled together: their records are still in cache
// when they are filled.
constexpr size_t kRound = 2048;

// The size of a filled node's block, read back from the node.
size_t filled_block_size(PyObject* obj) noexcept {
    const NodeObject* n = detail::as_node(obj);
    const size_t text = n->text_size == kNoText ? 0 : n->text_size;
    return BlockChunks::block_size(detail::node_block_size(detail::name_size_of(n), n->child_count, text));
}

}  // namespace

bool nodes_need_announcing() {
#if defined(Py_REF_DEBUG) || defined(Py_TRACE_REFS)
    return true;
#elif PY_VERSION_HEX >= 0x030D0000
    void* data = nullptr;
    return PyRefTracer_GetTracer(&data) != nullptr;
#else
    return false;
#endif
}

BuiltNodes build_nodes(PyTypeObject* type, ParsedTree&& tree, bool announce_each) {
    std::vector<ParsedElement>& elements = tree.elements;
    BuiltNodes built;
    built.count = elements.size();
    BlockChunks chunks;
    std::vector<Open> open;
    try {
        if (announce_each) built.each.reserve(elements.size());
        for (size_t first = 0; first < elements.size(); first += kRound) {
            const size_t last = std::min(elements.size(), first + kRound);
            // What this round needs is allocated first, so that filling it
            // cannot fail: its chunks, and room for as many more open
            // elements as it has.
            for (size_t i = first; i < last; ++i) chunks.plan(block_of(elements[i]));
            if (const size_t needed = open.size() + (last - first); needed > open.capacity()) {
                open.reserve(std::max(needed, 2 * open.capacity()));
            }
            if (!chunks.allocate()) throw std::bad_alloc();

            for (size_t i = first; i < last; ++i) {
                ParsedElement& e = elements[i];
                close_before(open, i);
                const BlockChunks::Placed placed = chunks.place(block_of(e));
                auto* obj = static_cast<PyObject*>(placed.block);
                obj->ob_refcnt = 1;
                obj->ob_type = type;
                detail::fill_node(obj, e.name, std::move(e.attrs), e.child_count, e.text, placed.offset_units);
                if (open.empty()) {
                    built.root = obj;
                } else {
                    *open.back().next_child++ = obj;
                }
                if (e.child_count != 0) open.push_back({e.end, detail::children_of(obj)});
                if (announce_each) built.each.push_back(obj);
            }
        }
    } catch (const std::bad_alloc&) {
        // The nodes filled so far own the maps moved into them.
        chunks.discard([](void* block) noexcept {
            auto* obj = static_cast<PyObject*>(block);
            const size_t size = filled_block_size(obj);
            detail::as_node(obj)->attrs.~AttrMap();
            return size;
        });
        throw;
    }
    return built;
}

py::ref adopt_nodes(PyTypeObject* type, BuiltNodes&& built) {
    if (built.each.empty()) {
        Py_SET_REFCNT(type, Py_REFCNT(type) + static_cast<Py_ssize_t>(built.count));
    } else {
        for (PyObject* obj : built.each) PyObject_Init(obj, type);
    }
    return py::ref::steal(built.root);
}

}  // namespace arbolite::node
