#include "py/binding.hpp"

#include <vector>

namespace arbolite::py {
namespace {

// The parameter that `keyword` names, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!text) {
        drop_error();  // a name that is not valid UTF-8 names no parameter
        return -1;
    }
    std::string_view name(text, static_cast<size_t>(size));
    for (size_t i = 0; i < sig.count; ++i) {
        if (name == sig.params[i]) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

Status<Exc> bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
    Py_ssize_t i = find_param(sig, keyword);
    if (i < 0) return fail(unexpected_keyword(sig.function, keyword));
    if (out[i]) return fail(multiple_values(sig.function, sig.params[i]));
    out[i] = value;
    return Ok{};
}

Status<Exc> check_positional(const Signature& sig, size_t given) {
    if (given > sig.count) return fail(too_many_positional(sig.function, sig.required, sig.count, given));
    return Ok{};
}

Status<Exc> check_required(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) missing.push_back(sig.params[i]);
    }
    if (!missing.empty()) return fail(missing_arguments(sig.function, missing));
    return Ok{};
}

}  // namespace

Status<Exc> bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          PyObject** out) {
    size_t given = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    ARBOLITE_TRY(check_positional(sig, given));
    for (size_t i = 0; i < given; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            ARBOLITE_TRY(bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[given + static_cast<size_t>(k)], out));
        }
    }
    return check_required(sig, out);
}

Status<Exc> bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args));
    for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    ARBOLITE_TRY(check_positional(sig, given));
    for (size_t i = 0; i < given; ++i) out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) ARBOLITE_TRY(bind_keyword(sig, key, value, out));
    }
    return check_required(sig, out);
}

}  // namespace arbolite::py
