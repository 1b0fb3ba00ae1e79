#include "read/entry.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <variant>

#include "common/posix_file.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/interrupt.hpp"
#include "module/unlocked.hpp"
#include "node/node.hpp"
#include "read/parser.hpp"
#include "read/position.hpp"

namespace arbolite::read {
namespace {

using module::Exc;
using module::PyResult;

// Makes the Node objects of a parsed tree, children before parents. The
// records are in pre-order, so walking them backwards meets every child
// before its parent, and the last child of an element first: the finished
// nodes wait on a stack, an element's children on top, its first child
// uppermost. Maps are moved into the nodes; names and texts are copied into
// each node's own block.
PyResult<py::ref> make_nodes(ParsedTree&& tree) {
    ARBOLITE_TRY_ASSIGN(PyTypeObject * type, node::node_type());
    std::vector<ParsedElement>& elements = tree.elements;
    std::vector<py::ref> made;
    for (size_t i = elements.size(); i-- > 0;) {
        ParsedElement& e = elements[i];
        const auto children = made.end() - static_cast<std::ptrdiff_t>(e.child_count);
        std::reverse(children, made.end());
        ARBOLITE_TRY_ASSIGN(py::ref node, node::create_node(type, e.name, std::move(e.attrs),
                                                             std::span<py::ref>(children, made.end()), e.text));
        made.erase(children, made.end());
        made.push_back(std::move(node));
    }
    return std::move(made.back());
}

// A failed parse, with the line and column of the byte its error names
// (when it names one), found while the document is still at hand.
struct PlacedError {
    ReadError error;
    std::optional<TextPosition> where;
};

using ReadOutcome = std::variant<ParsedTree, PlacedError, OsError>;

PyResult<py::ref> finish(ReadOutcome&& outcome, const module::SignalCheck& signals) {
    if (signals.raised()) return fail(module::interruption());
    if (auto* tree = std::get_if<ParsedTree>(&outcome)) return make_nodes(std::move(*tree));
    if (auto* placed = std::get_if<PlacedError>(&outcome)) {
        return fail(placed->where ? module::read_error(placed->error, *placed->where)
                                  : module::read_error(placed->error));
    }
    return fail(module::os_failure(std::get<OsError>(outcome)));
}

// Runs without the interpreter lock. Placing an error costs a pass over the
// document up to the offset, so it is done only on failure, and here, where
// other threads may run meanwhile.
ReadOutcome parse(std::string_view document, std::string_view root_tag, const InterruptHook& interrupt) {
    auto parsed = parse_document(document, root_tag, StartTagsAhead::WhenWalkIsBusy, interrupt);
    if (parsed.ok()) return std::move(parsed).value();
    PlacedError placed{std::move(parsed).error(), std::nullopt};
    if (const auto offset = error_offset(placed.error)) placed.where = locate(document, *offset);
    return placed;
}

const module::Params<2> kReadString{{"xml_string", "root_tag"}, 2, "read_string()"};
const module::Params<2> kReadFile{{"file_path", "root_tag"}, 2, "read_file()"};

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[2];
        ARBOLITE_TRY(module::bind_fastcall(kReadString.signature(), args, nargsf, kwnames, arg));
        // Borrowed buffers belong to the str objects, which the caller keeps
        // alive for the whole call; none is touched through Python meanwhile.
        ARBOLITE_TRY_ASSIGN(module::Utf8Text xml, module::noted(module::document_utf8(arg[0]), "xml_string"));
        ARBOLITE_TRY_ASSIGN(std::string_view root_tag, module::noted(module::borrow_utf8(arg[1]), "root_tag"));
        module::SignalCheck signals;
        const InterruptHook interrupt = signals.hook();
        return finish(module::without_lock([&] { return parse(xml.view, root_tag, interrupt); }), signals);
    });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[2];
        ARBOLITE_TRY(module::bind_fastcall(kReadFile.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(std::string_view path, module::noted(module::borrow_utf8(arg[0]), "file_path"));
        ARBOLITE_TRY_ASSIGN(std::string_view root_tag, module::noted(module::borrow_utf8(arg[1]), "root_tag"));
        // The parsed tree points into the file's bytes, so they are kept
        // until its nodes are made.
        FileBytes document;
        module::SignalCheck signals;
        const InterruptHook interrupt = signals.hook();
        return finish(module::without_lock([&]() -> ReadOutcome {
                          auto bytes = read_utf8_file(path, interrupt);
                          if (!bytes.ok()) return std::move(bytes).error();
                          document = std::move(bytes).value();
                          return parse(document.view(), root_tag, interrupt);
                      }),
                      signals);
    });
}

}  // namespace arbolite::read
