#include "py/node_build.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "common/block_chunks.hpp"
#include "py/node.hpp"

#ifdef Py_GIL_DISABLED
#error "nodes are given their reference count without atomics"
#endif

namespace arbolite::py {
namespace {

bool text_apart(const ParsedElement& e) { return e.text && e.text->size() > detail::kLongestInlineText; }

// The size of element `e`'s node block.
size_t block_of(const ParsedElement& e) {
    const size_t text = !e.text ? 0 : text_apart(e) ? sizeof(const char*) : e.text->size();
    const size_t size = BlockChunks::block_size(detail::node_block_size(e.name.size(), e.child_count, text));
    if (size == 0) throw std::bad_alloc();
    return size;
}

size_t text_block_of(size_t text_size) {
    const size_t size =
        text_size > SIZE_MAX - detail::kTextHeader ? 0 : BlockChunks::block_size(detail::kTextHeader + text_size);
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

// The size of a filled block, read back from it; a node's map is released.
size_t finish_filled_block(void* block) noexcept {
    size_t first_word;
    std::memcpy(&first_word, block, sizeof first_word);
    if (first_word & detail::kTextBlockMark) {
        size_t text_size;
        std::memcpy(&text_size, static_cast<char*>(block) + sizeof(size_t), sizeof text_size);
        return BlockChunks::block_size(detail::kTextHeader + text_size);
    }
    auto* obj = static_cast<PyObject*>(block);
    NodeObject* n = detail::as_node(obj);
    const size_t text = n->text_size == kNoText           ? 0
                        : (n->text_size & detail::kTextApart) ? sizeof(const char*)
                                                              : n->text_size;
    n->attrs.~AttrMap();
    return BlockChunks::block_size(detail::node_block_size(detail::name_size_of(n), n->child_count, text));
}

// What a node counts for when node building polls its interrupt hook.
constexpr uint64_t kNodeBytes = 64;

// Copies a long text a poll interval at a time, polling between; false when
// the hook says to stop.
[[gnu::noinline]] bool copy_polled(char* to, std::string_view text, PollCounter& polls, uint64_t& filled) {
    constexpr size_t kPiece = InterruptHook::kPollInterval;
    for (size_t at = 0; at < text.size(); at += kPiece) {
        const size_t piece = std::min(kPiece, text.size() - at);
        std::memcpy(to + at, text.data() + at, piece);
        filled += piece;
        if (polls.due(filled) && polls.stop(filled)) return false;
    }
    return true;
}

// Abandons a build that the interrupt hook stopped: no root, nothing made.
BuiltNodes discard(BlockChunks& chunks) {
    chunks.discard(finish_filled_block);
    return BuiltNodes{};
}

// A text that lies apart, and where its node keeps its address.
struct TextApart {
    std::string_view text;
    char* address_slot;
};

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

BuiltNodes build_nodes(PyTypeObject* type, ParsedTree&& tree, bool announce_each, const InterruptHook& interrupt) {
    std::vector<ParsedElement>& elements = tree.elements;
    BuiltNodes built;
    built.count = elements.size();
    BlockChunks chunks;
    std::vector<Open> open;
    std::vector<TextApart> apart;
    // The hook is polled by the bytes filled so far: each node counted as
    // kNodeBytes, each text apart as its size.
    PollCounter polls(interrupt);
    uint64_t filled = 0;
    try {
        if (announce_each) built.each.reserve(elements.size());
        apart.reserve(std::min(elements.size(), kRound));
        for (size_t first = 0; first < elements.size(); first += kRound) {
            const size_t last = std::min(elements.size(), first + kRound);
            // What this round needs is allocated first, so that filling it
            // cannot fail: its chunks, and room for as many more open
            // elements as it has. Its long texts follow its nodes.
            for (size_t i = first; i < last; ++i) chunks.plan(block_of(elements[i]));
            for (size_t i = first; i < last; ++i) {
                if (text_apart(elements[i])) chunks.plan(text_block_of(elements[i].text->size()));
            }
            if (const size_t needed = open.size() + (last - first); needed > open.capacity()) {
                open.reserve(std::max(needed, 2 * open.capacity()));
            }
            if (!chunks.allocate()) throw std::bad_alloc();

            for (size_t i = first; i < last; ++i) {
                ParsedElement& e = elements[i];
                close_before(open, i);
                const BlockChunks::Placed placed = chunks.place(block_of(e));
                auto* obj = static_cast<PyObject*>(placed.block);
                // A cleared header first: whatever else a build puts there
                // (debug links) starts empty, and a node's first word never
                // looks like a text block's mark.
                std::memset(static_cast<void*>(obj), 0, sizeof(PyObject));
                obj->ob_refcnt = 1;
                obj->ob_type = type;
                const bool long_text = text_apart(e);
                char* after_name = detail::fill_node(obj, e.name, std::move(e.attrs), e.child_count, e.text,
                                                     placed.offset_units, long_text);
                if (long_text) apart.push_back({*e.text, after_name});
                if (open.empty()) {
                    built.root = obj;
                } else {
                    *open.back().next_child++ = obj;
                }
                if (e.child_count != 0) open.push_back({e.end, detail::children_of(obj)});
                if (announce_each) built.each.push_back(obj);
            }
            for (const TextApart& t : apart) {
                const BlockChunks::Placed placed = chunks.place(text_block_of(t.text.size()));
                char* block = static_cast<char*>(placed.block);
                const size_t header[2] = {placed.offset_units | detail::kTextBlockMark, t.text.size()};
                std::memcpy(block, header, sizeof header);
                char* text = block + detail::kTextHeader;
                std::memcpy(t.address_slot, &text, sizeof text);
                if (t.text.size() > InterruptHook::kPollInterval) [[unlikely]] {
                    if (!copy_polled(text, t.text, polls, filled)) return discard(chunks);
                } else {
                    std::memcpy(text, t.text.data(), t.text.size());
                    filled += t.text.size();
                }
            }
            apart.clear();
            filled += (last - first) * kNodeBytes;
            if (polls.due(filled) && polls.stop(filled)) [[unlikely]]
                return discard(chunks);
        }
    } catch (const std::bad_alloc&) {
        // The nodes filled so far own the maps moved into them.
        chunks.discard(finish_filled_block);
        throw;
    }
    return built;
}

py::Ref adopt_nodes(PyTypeObject* type, BuiltNodes&& built) {
    if (built.each.empty()) {
        Py_SET_REFCNT(type, Py_REFCNT(type) + static_cast<Py_ssize_t>(built.count));
    } else {
        for (PyObject* obj : built.each) PyObject_Init(obj, type);
    }
    return py::Ref::steal(built.root);
}

}  // namespace arbolite::py
