#include "read/entry.hpp"

#include <variant>

#include "common/posix_file.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/unlocked.hpp"
#include "node/node.hpp"
#include "read/parser.hpp"

namespace arbolite::read {
namespace {

using module::Exc;
using module::PyResult;

// Makes the Node objects of a parsed tree, children before parents: the
// records are in pre-order, so walking them backwards meets every child
// before its parent. Names, maps and texts are moved, not copied.
PyResult<py::ref> make_nodes(ParsedTree&& tree) {
    ARBOLITE_TRY_ASSIGN(PyTypeObject * type, node::node_type());
    std::vector<ParsedElement>& elements = tree.elements;
    std::vector<py::ref> made(elements.size());
    for (size_t i = elements.size(); i-- > 0;) {
        ParsedElement& e = elements[i];
        std::vector<py::ref> children;
        children.reserve(e.child_count);
        for (size_t child = i + 1; child < e.end; child = elements[child].end) {
            children.push_back(std::move(made[child]));
        }
        ARBOLITE_TRY_ASSIGN(made[i], node::create_node_with(type, [&](void* storage) {
            new (storage) node::NodeFields{std::move(e.attrs), std::move(e.text), std::move(e.name),
                                           std::move(children)};
        }));
    }
    return std::move(made[0]);
}

using ReadOutcome = std::variant<ParsedTree, ReadError, OsError>;

PyResult<py::ref> finish(ReadOutcome&& outcome) {
    if (auto* tree = std::get_if<ParsedTree>(&outcome)) return make_nodes(std::move(*tree));
    if (auto* error = std::get_if<ReadError>(&outcome)) return fail(module::read_error(*error));
    return fail(module::os_failure(std::get<OsError>(outcome)));
}

ReadOutcome parse(std::string_view document, std::string_view root_tag) {
    auto parsed = parse_document(document, root_tag);
    if (!parsed.ok()) return std::move(parsed).error();
    return std::move(parsed).value();
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
        return finish(module::without_lock([&] { return parse(xml.view, root_tag); }));
    });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[2];
        ARBOLITE_TRY(module::bind_fastcall(kReadFile.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(std::string_view path, module::noted(module::borrow_utf8(arg[0]), "file_path"));
        ARBOLITE_TRY_ASSIGN(std::string_view root_tag, module::noted(module::borrow_utf8(arg[1]), "root_tag"));
        return finish(module::without_lock([&]() -> ReadOutcome {
            auto bytes = read_utf8_file(path);
            if (!bytes.ok()) return std::move(bytes).error();
            return parse(bytes->view(), root_tag);
        }));
    });
}

}  // namespace arbolite::read
