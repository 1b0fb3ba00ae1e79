#include "node/build.hpp"

#include <new>

#include "common/block_chunks.hpp"
#include "node/node.hpp"

#ifdef Py_GIL_DISABLED
#error "nodes are given their reference count without atomics"
#endif

namespace arbolite::node {
namespace {

size_t block_of(const ParsedElement& e) {
    const auto size = detail::node_block_size(e.name.size(), e.child_count, e.text ? e.text->size() : 0);
    if (!size) throw std::bad_alloc();
    return BlockChunks::block_size(*size);
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

    // The plan, which also finds how deep the tree goes, so that nothing
    // below allocates once the chunks exist.
    BlockChunks chunks;
    std::vector<Open> open;
    for (size_t i = 0; i < elements.size(); ++i) {
        chunks.plan(block_of(elements[i]));
        close_before(open, i);
        if (elements[i].child_count != 0) open.push_back({elements[i].end, nullptr});
    }
    open.clear();
    if (announce_each) built.each.reserve(elements.size());
    if (!chunks.allocate()) throw std::bad_alloc();

    for (size_t i = 0; i < elements.size(); ++i) {
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
