#include "py/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "py/unlocked.hpp"
#include "simd/utf8_decode.hpp"
#include "simd/utf8_encode.hpp"

namespace arbolite::py {
namespace {

// NumPy's boolean scalar type is named "bool_" in NumPy 1 and "bool" in
// NumPy 2; both live in the module "numpy".
bool is_numpy_bool(PyTypeObject* type) {
    py::Ref name = py::Ref::steal(PyType_GetName(type));
    py::Ref module = name ? py::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"))
                          : py::Ref();
    if (!module) {
        drop_error();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

PyResult<py::Ref> as_index(PyObject* obj) {
    py::Ref index = py::Ref::steal(PyNumber_Index(obj));
    if (!index) return fail(fetch_error());
    return index;
}

}  // namespace

PyResult<std::string_view> borrow_utf8(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return fail(type_mismatch(obj, "str"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return fail(fetch_error());
    return std::string_view(data, static_cast<size_t>(size));
}

PyResult<DocumentText> DocumentText::of(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return fail(type_mismatch(obj, "str"));
    DocumentText text(obj);
    if (PyUnicode_IS_ASCII(obj)) {
        ARBOLITE_TRY_ASSIGN(text.view_, borrow_utf8(obj));
    }
    return text;
}

namespace {

// A text of many code units is measured and encoded in pieces of this many,
// with a poll of the interrupt hook after each.
constexpr size_t kEncodePiece = size_t{1} << 20;

template <class Unit>
Result<size_t, DocumentText::NoText> utf8_length_polled(const Unit* data, size_t length, PollCounter& polls) {
    size_t size = 0;
    for (size_t at = 0; at < length; at += kEncodePiece) {
        const std::optional<size_t> piece = simd::utf8_length(data + at, std::min(kEncodePiece, length - at));
        if (!piece) return fail(DocumentText::NoText::NotUtf8);
        size += *piece;
        const uint64_t done = (at + kEncodePiece) * sizeof(Unit);
        if (polls.due(done) && polls.stop(done)) return fail(DocumentText::NoText::Interrupted);
    }
    return size;
}

template <class Unit>
bool encode_utf8_polled(const Unit* data, size_t length, char* out, PollCounter& polls) {
    for (size_t at = 0; at < length; at += kEncodePiece) {
        out = simd::encode_utf8(data + at, std::min(kEncodePiece, length - at), out);
        const uint64_t done = (length + at + kEncodePiece) * sizeof(Unit);
        if (polls.due(done) && polls.stop(done)) return false;
    }
    return true;
}

template <class Unit>
Result<std::string_view, DocumentText::NoText> encode_document(const void* data, size_t length,
                                                               const InterruptHook& interrupt,
                                                               std::unique_ptr<char[]>& owner) {
    // Measured first, then encoded straight into a native buffer of the
    // exact size.
    const auto* units = static_cast<const Unit*>(data);
    PollCounter polls(interrupt);
    ARBOLITE_TRY_ASSIGN(const size_t size, utf8_length_polled(units, length, polls));
    owner = std::make_unique_for_overwrite<char[]>(size);
    if (!encode_utf8_polled(units, length, owner.get(), polls)) return fail(DocumentText::NoText::Interrupted);
    return std::string_view(owner.get(), size);
}

}  // namespace

Result<std::string_view, DocumentText::NoText> DocumentText::utf8(const InterruptHook& interrupt) {
    if (view_) return *view_;
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str_));
    const void* data = PyUnicode_DATA(str_);
    Result<std::string_view, NoText> encoded =
        PyUnicode_KIND(str_) == PyUnicode_1BYTE_KIND   ? encode_document<uint8_t>(data, length, interrupt, owner_)
        : PyUnicode_KIND(str_) == PyUnicode_2BYTE_KIND ? encode_document<uint16_t>(data, length, interrupt, owner_)
                                                       : encode_document<uint32_t>(data, length, interrupt, owner_);
    if (encoded.ok()) view_ = encoded.value();
    return encoded;
}

Status<Exc> DocumentText::encode_strictly() {
    py::Ref bytes = py::Ref::steal(PyUnicode_AsUTF8String(str_));
    if (!bytes) return fail(fetch_error());
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()));
    owner_.reset(new (std::nothrow) char[size]);
    if (!owner_) return fail(memory_error());
    std::memcpy(owner_.get(), PyBytes_AS_STRING(bytes.get()), size);
    view_ = std::string_view(owner_.get(), size);
    return Ok{};
}

PyResult<std::string> to_string(PyObject* obj) {
    PyResult<std::string_view> view = borrow_utf8(obj);
    if (!view.ok()) return fail(std::move(view).error());
    return std::string(view.value());
}

PyResult<bool> to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(Py_TYPE(obj))) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) return fail(fetch_error());
        return truth != 0;
    }
    return fail(type_mismatch(obj, "bool"));
}

PyResult<size_t> to_size(PyObject* obj) {
    PyResult<py::Ref> index = as_index(obj);
    if (!index.ok()) return fail(std::move(index).error());
    unsigned long long value = PyLong_AsUnsignedLongLong(index->get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(fetch_error());
    if (value > SIZE_MAX) return fail(size_overflow_error());
    return static_cast<size_t>(value);
}

PyResult<int32_t> to_i32(PyObject* obj) {
    PyResult<py::Ref> index = as_index(obj);
    if (!index.ok()) return fail(std::move(index).error());
    long value = PyLong_AsLong(index->get());
    if (value == -1 && PyErr_Occurred()) return fail(fetch_error());
    if (value < INT32_MIN || value > INT32_MAX) return fail(size_overflow_error());
    return static_cast<int32_t>(value);
}

PyResult<uint8_t> to_u8(PyObject* obj) {
    PyResult<py::Ref> index = as_index(obj);
    if (!index.ok()) return fail(std::move(index).error());
    Py_ssize_t value = PyLong_AsSsize_t(index->get());
    if (value == -1 && PyErr_Occurred()) return fail(fetch_error());
    if (value < 0 || value > UINT8_MAX) return fail(size_overflow_error());
    return static_cast<uint8_t>(value);
}

PyResult<py::Ref> new_str(std::string_view utf8) {
    py::Ref str = py::Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    if (!str) return fail(fetch_error());
    return str;
}

PyResult<py::Ref> new_blank_str(size_t code_points, simd::CodeUnits units) {
    // The largest code point each width allows, for the str's storage.
    constexpr Py_UCS4 largest[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    py::Ref str =
        py::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(code_points), largest[static_cast<size_t>(units)]));
    if (!str) return fail(fetch_error());
    return str;
}

PyResult<py::Ref> new_str_unlocked(std::string_view utf8) {
    // Below this the interpreter's decoder costs less than handing the lock
    // over twice.
    constexpr size_t min_unlocked = 64 * 1024;
    if (utf8.size() < min_unlocked) return new_str(utf8);
    const simd::Utf8Measure measured =
        without_lock([&] { return simd::measure_utf8(utf8.data(), utf8.size()); });
    ARBOLITE_TRY_ASSIGN(py::Ref str, new_blank_str(measured.code_points, measured.units));
    // Nobody else can see the new str, so it is filled without the lock.
    void* data = PyUnicode_DATA(str.get());
    without_lock(str, [&] {
        switch (measured.units) {
            case simd::CodeUnits::Ascii: std::memcpy(data, utf8.data(), utf8.size()); break;
            case simd::CodeUnits::Latin1:
                simd::decode_utf8(utf8.data(), utf8.size(), static_cast<uint8_t*>(data), measured.code_points);
                break;
            case simd::CodeUnits::Ucs2:
                simd::decode_utf8(utf8.data(), utf8.size(), static_cast<uint16_t*>(data), measured.code_points);
                break;
            case simd::CodeUnits::Ucs4:
                simd::decode_utf8(utf8.data(), utf8.size(), static_cast<uint32_t*>(data), measured.code_points);
                break;
        }
    });
    return str;
}

}  // namespace arbolite::py
