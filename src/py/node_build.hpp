// The nodes of a parsed document, made without the interpreter lock and
// handed to the interpreter with it.
//
// A Node's memory is plain bytes until the interpreter sees it, so the whole
// tree is laid out and filled on the reading thread, lock released: blocks of
// shared chunks in document order (siblings and subtrees side by side for the
// walks that come later), each with its type, one reference (its parent's;
// the root's goes to the caller), its map moved in, its children, name and
// text. With the lock, adopt_nodes() then only counts the nodes' references
// to their type, once for all of them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "common/interrupt.hpp"
#include "py/ref.hpp"
#include "read/parsed_element.hpp"

namespace arbolite::py {

struct BuiltNodes {
    PyObject* root = nullptr;
    size_t count = 0;
    // Every node, listed when the interpreter must see each one made (see
    // nodes_need_announcing()); empty otherwise.
    std::vector<PyObject*> each;
};

// Needs the lock. Whether the interpreter must see each new object made one
// by one: a debug build counts and links every object, and a reference
// tracer, when one is set, hears of each.
bool nodes_need_announcing();

// Makes the nodes of `tree` (its maps are moved out) as nodes of `type`.
// Calls nothing of the interpreter: runs on any thread, lock released.
// Throws std::bad_alloc when memory runs out, with nothing made. Polls
// `interrupt` about every poll interval of node memory; when it says to
// stop, returns no root, with nothing made.
BuiltNodes build_nodes(PyTypeObject* type, ParsedTree&& tree, bool announce_each,
                       const InterruptHook& interrupt = {});

// Needs the lock: makes the built nodes live objects and returns the root.
py::Ref adopt_nodes(PyTypeObject* type, BuiltNodes&& built);

}  // namespace arbolite::py
