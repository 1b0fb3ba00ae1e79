#include "py/read.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <variant>

#include "common/posix_file.hpp"
#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/interrupt.hpp"
#include "py/unlocked.hpp"
#include "py/node_build.hpp"
#include "py/node.hpp"
#include "read/document_file.hpp"
#include "read/parser.hpp"
#include "read/position.hpp"

namespace arbolite::py {
namespace {

using read::ReadError;
using read::TextPosition;
using read::StartTagsAhead;
using read::parse_document;
using read::error_offset;
using read::locate;

// A failed parse, with the line and column of the byte its error names
// (when it names one), found while the document is still at hand.
struct PlacedError {
    ReadError error;
    std::optional<TextPosition> where;
};

// A document str that has no UTF-8 form.
struct NotUtf8 {};

// A read that the interrupt hook stopped.
PlacedError stopped() { return PlacedError{read::interrupted(), std::nullopt}; }

using ReadOutcome = std::variant<py::BuiltNodes, PlacedError, OsError, NotUtf8>;

// What a read needs of the interpreter, taken before the lock is released.
struct NodeKind {
    PyTypeObject* type;
    bool announce_each;
};

PyResult<NodeKind> node_kind() {
    ARBOLITE_TRY_ASSIGN(PyTypeObject * type, py::node_type());
    return NodeKind{type, py::nodes_need_announcing()};
}

PyResult<py::Ref> finish(ReadOutcome&& outcome, const py::SignalCheck& signals, const NodeKind& kind) {
    if (auto* built = std::get_if<py::BuiltNodes>(&outcome)) {
        py::Ref root = py::adopt_nodes(kind.type, std::move(*built));
        if (signals.raised()) return fail(py::interruption());
        return root;
    }
    if (signals.raised()) return fail(py::interruption());
    if (auto* placed = std::get_if<PlacedError>(&outcome)) {
        return fail(placed->where ? py::read_error(placed->error, *placed->where)
                                  : py::read_error(placed->error));
    }
    return fail(py::os_failure(std::get<OsError>(outcome)));
}

// Runs without the interpreter lock: parses, then makes the nodes. Placing
// an error costs a pass over the document up to the offset, so it is done
// only on failure, and here, where other threads may run meanwhile.
ReadOutcome parse(std::string_view document, std::string_view root_tag, const InterruptHook& interrupt,
                  const NodeKind& kind) {
    auto parsed = parse_document(document, root_tag, StartTagsAhead::WhenWalkIsBusy, interrupt);
    if (parsed.ok()) {
        py::BuiltNodes built = py::build_nodes(kind.type, std::move(parsed).value(), kind.announce_each, interrupt);
        if (!built.root) return stopped();
        return built;
    }
    PlacedError placed{std::move(parsed).error(), std::nullopt};
    if (const auto offset = error_offset(placed.error)) placed.where = locate(document, *offset);
    return placed;
}

const py::Params<2> kReadString{{"xml_string", "root_tag"}, 2, "read_string()"};
const py::Params<2> kReadFile{{"file_path", "root_tag"}, 2, "read_file()"};

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[2];
        ARBOLITE_TRY(py::bind_fastcall(kReadString.signature(), args, nargsf, kwnames, arg));
        // Borrowed buffers belong to the str objects, which the caller keeps
        // alive for the whole call; none is touched through Python meanwhile.
        ARBOLITE_TRY_ASSIGN(py::DocumentText xml, py::noted(py::DocumentText::of(arg[0]), "xml_string"));
        ARBOLITE_TRY_ASSIGN(std::string_view root_tag, py::noted(py::borrow_utf8(arg[1]), "root_tag"));
        ARBOLITE_TRY_ASSIGN(const NodeKind kind, node_kind());
        py::SignalCheck signals;
        const InterruptHook interrupt = signals.hook();
        const auto read = [&]() -> ReadOutcome {
            const auto document = xml.utf8(interrupt);
            if (!document.ok()) {
                if (document.error() == py::DocumentText::NoText::Interrupted) return stopped();
                return NotUtf8{};
            }
            return parse(document.value(), root_tag, interrupt, kind);
        };
        ReadOutcome outcome = py::without_lock(read);
        if (std::holds_alternative<NotUtf8>(outcome)) {
            // Left to the interpreter's encoder, which raises its own error.
            ARBOLITE_TRY(py::noted(xml.encode_strictly(), "xml_string"));
            outcome = py::without_lock(read);
        }
        return finish(std::move(outcome), signals, kind);
    });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[2];
        ARBOLITE_TRY(py::bind_fastcall(kReadFile.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(std::string_view path, py::noted(py::borrow_utf8(arg[0]), "file_path"));
        ARBOLITE_TRY_ASSIGN(std::string_view root_tag, py::noted(py::borrow_utf8(arg[1]), "root_tag"));
        ARBOLITE_TRY_ASSIGN(const NodeKind kind, node_kind());
        py::SignalCheck signals;
        const InterruptHook interrupt = signals.hook();
        return finish(py::without_lock([&]() -> ReadOutcome {
                          auto bytes = read::read_document_file(path, interrupt);
                          if (!bytes.ok()) return std::move(bytes).error();
                          return parse(bytes.value().view(), root_tag, interrupt, kind);
                      }),
                      signals, kind);
    });
}

}  // namespace arbolite::py
