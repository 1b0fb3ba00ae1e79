#include "py/errors.hpp"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "common/posix_file.hpp"
#include "py/once.hpp"
#include "read/position.hpp"
#include "read/read_error.hpp"
#include "write/write_error.hpp"

namespace arbolite::py {
namespace {

// An exception of class `cls` whose one argument is `message` (a new
// reference, or null after a failure to make it).
Exc build(PyObject* cls, py::Ref message) {
    if (!message) return fetch_error();
    py::Ref exc = py::Ref::steal(PyObject_CallOneArg(cls, message.get()));
    if (!exc) return fetch_error();
    return Exc(std::move(exc));
}

Exc build(PyObject* cls, std::string_view text) {
    return build(cls, py::Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
}

// strerror_r comes in a GNU form (returns the text) and a POSIX form
// (fills the buffer, returns 0); these pick the text from either.
[[maybe_unused]] const char* strerror_text(char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_text(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }

std::string describe_errno(int errnum) {
    char buffer[256] = {};
    const char* text = strerror_text(strerror_r(errnum, buffer, sizeof buffer), buffer);
    return text ? std::string(text) : "Unknown error " + std::to_string(errnum);
}

PyObject* os_error_class(int errnum) {
    switch (errnum) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case EEXIST: return PyExc_FileExistsError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EAGAIN: return PyExc_BlockingIOError;
        case EINTR: return PyExc_InterruptedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case ENOMEM: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else out += (i + 1 == names.size()) ? ", and " : ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

std::string concat(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (auto part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (auto part : parts) out.append(part);
    return out;
}

// One variant's line of the dictionary form's conversion failure.
std::string variant_line(const char* variant, std::string_view reason) {
    return concat({"\n- variant ", variant, " (", variant, "): ", reason});
}

const char* was_were(size_t n) { return n == 1 ? "was" : "were"; }

// The message of a malformed document: what is wrong and where, with the
// names involved.
Exc malformed_document(const read::ReadError& e) {
    using Malformation = read::ReadError::Malformation;
    const std::string at = std::to_string(e.offset);
    const auto detail = [&](std::initializer_list<std::string_view> parts) {
        std::string text = concat({"malformed XML at byte ", at, ": "});
        for (auto part : parts) text.append(part);
        return build(PyExc_ValueError, text);
    };
    switch (e.malformation) {
        case Malformation::UnexpectedEnd: return detail({"unexpected end of document"});
        case Malformation::UnterminatedDoctype: return detail({"unterminated document type declaration"});
        case Malformation::UnterminatedMarkup: return detail({"unterminated markup"});
        case Malformation::MissingElementName: return detail({"expected element name after '<'"});
        case Malformation::MissingSpaceBeforeAttribute: return detail({"expected whitespace before attribute"});
        case Malformation::MissingAttributeName: return detail({"expected attribute name"});
        case Malformation::AttributeWithoutValue: return detail({"attribute '", e.name, "' has no value"});
        case Malformation::UnquotedAttributeValue: return detail({"value of attribute '", e.name, "' is not quoted"});
        case Malformation::UnterminatedAttributeValue: return detail({"unterminated attribute value"});
        case Malformation::LessThanInAttributeValue: return detail({"'<' is not allowed in attribute values"});
        case Malformation::DuplicateAttribute: return detail({"duplicate attribute '", e.name, "'"});
        case Malformation::EndTagMismatch: return detail({"expected </", e.name, ">, found </", e.found, ">"});
        case Malformation::UnexpectedEndTag: return detail({"unexpected end tag </", e.name, ">"});
        case Malformation::MalformedEndTag: return detail({"malformed end tag </", e.name, ">"});
        case Malformation::UnterminatedComment: return detail({"unterminated comment"});
        case Malformation::UnterminatedCData: return detail({"unterminated CDATA section"});
        case Malformation::UnterminatedProcessingInstruction: return detail({"unterminated processing instruction"});
        case Malformation::UnexpectedLessThan: return detail({"unexpected '<'"});
        case Malformation::UnterminatedReference: return detail({"unterminated entity reference"});
        case Malformation::InvalidCharacterReference: return detail({"invalid character reference '&", e.name, ";'"});
    }
    return internal_fault("invariant: every malformed document has a known fault");
}

// The message of an index failure. Running off the end of the document, an
// unterminated document type declaration and an interrupted wait never get
// here: the read reports them as malformed documents or as interrupted.
Exc index_failure_error(const index::IndexBuildError& e) {
    const std::string at = std::to_string(e.offset);
    switch (e.kind) {
        case index::IndexBuildError::Kind::UnclosedTag:
            return build(PyExc_ValueError, concat({"malformed XML: Unclosed tag at byte ", at}));
        case index::IndexBuildError::Kind::NameTooLong:
            return build(PyExc_ValueError,
                         concat({"malformed XML: element name at byte ", at, " is longer than 4294967295 bytes"}));
        case index::IndexBuildError::Kind::UnexpectedEnd:
        case index::IndexBuildError::Kind::UnterminatedDoctype:
        case index::IndexBuildError::Kind::Interrupted: break;
    }
    return internal_fault("invariant: a read reports every index failure it keeps as one");
}

}  // namespace

Exc Exc::noted(const char* param) && {
    py::Ref note = py::Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
    py::Ref added = note ? py::Ref::steal(PyObject_CallMethod(exc_.get(), "add_note", "O", note.get())) : py::Ref();
    if (!added) PyErr_Clear();
    return std::move(*this);
}

void drop_error() {
    const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
    PyErr_Clear();
    if (out_of_memory) throw std::bad_alloc();
}

Exc interruption() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return internal_fault("invariant: an interrupted call raises what the signal handler raised");
    return Exc(py::Ref::steal(raised));
}

Exc fetch_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return internal_fault("invariant: a failed interpreter call sets an exception");
    return Exc(py::Ref::steal(raised));
}

std::string mismatch_text(PyObject* obj, std::string_view expected) {
    if (obj == Py_None) return concat({"'None' is not an instance of '", expected, "'"});
    py::Ref qualname = py::Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (!name) {
        drop_error();
        name = "<failed to extract type name>";
    }
    return concat({"'", name, "' object is not an instance of '", expected, "'"});
}

Exc type_mismatch(PyObject* obj, std::string_view expected) {
    return build(PyExc_TypeError, mismatch_text(obj, expected));
}

Exc type_error(std::string message) { return build(PyExc_TypeError, message); }

std::string str_to_vec_text() { return "Can't extract `str` to `Vec`"; }

Exc str_to_vec_error() { return build(PyExc_TypeError, str_to_vec_text()); }

PyResult<std::string> exception_reason(Exc&& error) {
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) return fail(std::move(error));
    py::Ref exc = error.take();
    py::Ref text = py::Ref::steal(PyObject_Str(exc.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        drop_error();
        return std::string("<failed to describe the error>");
    }
    return concat({Py_TYPE(exc.get())->tp_name, ": ", utf8});
}

Exc invalid_dict_entry(const char* key) { return build(PyExc_ValueError, concat({"Invalid ", key})); }

Exc value_error(const char* message) { return build(PyExc_ValueError, message); }

Exc search_type_value_error(long value) {
    return build(PyExc_ValueError, "search type value " + std::to_string(value) + " is not 0, 1 or 2");
}

Exc circular_reference_error() { return build(PyExc_ValueError, "circular reference in dictionary form"); }

Exc size_overflow_error() {
    return build(PyExc_OverflowError, "out of range integral type conversion attempted");
}

Exc os_error(int errnum) {
    return build(os_error_class(errnum), describe_errno(errnum) + " (os error " + std::to_string(errnum) + ")");
}

Exc os_error_message(const char* message) { return build(PyExc_OSError, message); }

Exc os_failure(const OsError& error) {
    switch (error.kind) {
        case OsError::Kind::Errno: return os_error(error.errnum);
        case OsError::Kind::NulInPath: return os_error_message("file name contained an unexpected NUL byte");
        case OsError::Kind::InvalidUtf8: return os_error_message("stream did not contain valid UTF-8");
        case OsError::Kind::ShortWrite: return os_error_message("failed to write whole buffer");
        case OsError::Kind::ShortFlush: return os_error_message("failed to write the buffered data");
        case OsError::Kind::Interrupted: return interruption();
    }
    return internal_fault("invariant: every OS error has a known kind");
}

Exc read_error(const read::ReadError& e) {
    using Kind = read::ReadError::Kind;
    switch (e.kind) {
        case Kind::IndexFailure: return index_failure_error(e.index_error);
        case Kind::Malformed: return malformed_document(e);
        case Kind::RootNotFound:
            return build(PyExc_ValueError, concat({"root tag <", e.name, "> not found in document"}));
        case Kind::Unclosed:
            return build(PyExc_ValueError, concat({"unexpected end of document: <", e.name, "> is never closed"}));
        case Kind::UnknownEntity:
            return build(PyExc_ValueError,
                         concat({"unknown entity reference '&", e.name, ";' at byte ", std::to_string(e.offset)}));
        case Kind::Interrupted: return interruption();
    }
    return internal_fault("invariant: every read error has a known kind");
}

Exc read_error(const read::ReadError& e, const read::TextPosition& where) {
    Exc error = read_error(e);
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_ValueError)) return error;  // it could not be made
    py::Ref note = py::Ref::steal(PyUnicode_FromFormat("line %llu, column %llu",
                                                       static_cast<unsigned long long>(where.line),
                                                       static_cast<unsigned long long>(where.column)));
    py::Ref added = note ? py::Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get())) : py::Ref();
    if (added) return error;
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return error;
    }
    Exc out_of_memory = fetch_error();
    PyException_SetContext(out_of_memory.get(), error.take().release());
    return out_of_memory;
}

Exc write_error(const write::WriteError& e) {
    using Kind = write::WriteError::Kind;
    switch (e.kind) {
        case Kind::IndentOverflow:
            return build(PyExc_OverflowError, "indentation too deep: indent times depth does not fit in a size");
        case Kind::InvalidElementName:
            return build(PyExc_ValueError, concat({"invalid element name '", e.name, "'"}));
        case Kind::InvalidAttributeName:
            return build(PyExc_ValueError, concat({"invalid attribute name '", e.name, "'"}));
        case Kind::Os: break;
    }
    return os_failure(e.os);
}

Exc writer_utf8_fault() { return internal_fault("invariant: the XML writer only emits valid UTF-8"); }

Exc writer_measure_fault() { return internal_fault("invariant: the XML writer writes exactly what it measured"); }

Exc internal_fault(std::string_view text) {
    PyResult<PyObject*> cls = internal_fault_class();
    if (!cls.ok()) return std::move(cls).error();
    return build(cls.value(), text);
}

Exc memory_error() {
    PyErr_NoMemory();
    return fetch_error();
}

Exc too_many_positional(const char* function, size_t required, size_t params, size_t given) {
    std::string text = function;
    if (required == params) {
        text += " takes " + std::to_string(params);
    } else {
        text += " takes from " + std::to_string(required) + " to " + std::to_string(params);
    }
    text += " positional arguments but " + std::to_string(given) + " " + was_were(given) + " given";
    return build(PyExc_TypeError, text);
}

Exc unexpected_keyword(const char* function, PyObject* keyword) {
    return build(PyExc_TypeError,
                 py::Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", function, keyword)));
}

Exc multiple_values(const char* function, const char* param) {
    return build(PyExc_TypeError, std::string(function) + " got multiple values for argument '" + param + "'");
}

Exc missing_arguments(const char* function, const std::vector<const char*>& names) {
    std::string text = std::string(function) + " missing " + std::to_string(names.size()) + " required positional " +
                       (names.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(names);
    return build(PyExc_TypeError, text);
}

std::string variant_failure_head(std::string_view string_reason) {
    return concat({"failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')",
                   variant_line("String", string_reason), variant_line("Vec", "")});
}

std::string variant_failure_tail(std::string_view string_reason, std::string_view map_reason) {
    return variant_line("NullableString", string_reason) + variant_line("Map", map_reason);
}

PyObject* raise(Exc&& error) noexcept {
    PyErr_SetRaisedException(error.take().release());
    return nullptr;
}

}  // namespace arbolite::py
