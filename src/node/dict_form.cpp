// The dictionary form of a Node: {"name": str, "attrs": {str: str},
// "children": [dict, ...], "text": str | None}.
//
// from_dict converts the whole input first, and only then builds nodes, so a
// value of the wrong kind anywhere (TypeError) is reported before any
// structural fault (ValueError). Both directions walk with explicit stacks,
// so nesting depth is bounded by memory, not by the native stack.
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/once.hpp"
#include "node/node.hpp"

namespace arbolite::node {
namespace {

using module::fetch_error;
using module::mismatch_text;

// The dictionary keys, made once per call.
struct Keys {
    py::ref name, attrs, children, text;

    static PyResult<Keys> make() {
        Keys k{py::ref::steal(PyUnicode_InternFromString("name")), py::ref::steal(PyUnicode_InternFromString("attrs")),
               py::ref::steal(PyUnicode_InternFromString("children")),
               py::ref::steal(PyUnicode_InternFromString("text"))};
        if (!k.name || !k.attrs || !k.children || !k.text) return fail(fetch_error());
        return k;
    }
};

Status<Exc> set_item(PyObject* dict, PyObject* key, py::ref value) {
    if (PyDict_SetItem(dict, key, value.get()) < 0) return fail(fetch_error());
    return Ok{};
}

// Whether `bytes` are all ASCII, eight at a time.
bool is_ascii(std::string_view bytes) {
    const char* p = bytes.data();
    size_t n = bytes.size();
    uint64_t high = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        high |= word;
    }
    for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080ULL) == 0;
}

// A str of the UTF-8 `bytes`. Names, attribute values and texts are mostly
// short ASCII: those are copied straight into a new compact str, which skips
// the decoder's set-up; everything else goes through the decoder, which also
// hands out the interpreter's shared strs for empty and one-character texts.
PyResult<py::ref> text_str(std::string_view bytes) {
    constexpr size_t short_text = 256;
    if (bytes.size() < 2 || bytes.size() > short_text || !is_ascii(bytes)) return module::new_str(bytes);
    py::ref str = py::ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 0x7F));
    if (!str) return fail(fetch_error());
    std::memcpy(PyUnicode_DATA(str.get()), bytes.data(), bytes.size());
    return str;
}

// The attributes as a new dict, sized for them up front; keys come from
// `names`.
PyResult<py::ref> attrs_form(const AttrMap& attrs, NameStrs& names) {
    const size_t count = attrs.size();
    py::ref dict = py::ref::steal(count == 0 ? PyDict_New() : _PyDict_NewPresized(static_cast<Py_ssize_t>(count)));
    if (!dict) return fail(fetch_error());
    for (const auto& entry : attrs) {
        ARBOLITE_TRY_ASSIGN(py::ref key, names.get(entry.name));
        ARBOLITE_TRY_ASSIGN(py::ref value, text_str(entry.value));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return fail(fetch_error());
    }
    return dict;
}

// The dict of one node; its "children" list is made at full length with
// empty slots, which the caller fills.
PyResult<py::ref> node_dict(const Keys& keys, NameStrs& names, PyObject* node, PyObject** children_list) {
    py::ref dict = py::ref::steal(PyDict_New());
    if (!dict) return fail(fetch_error());
    ARBOLITE_TRY_ASSIGN(py::ref name, names.get(node_name(node)));
    ARBOLITE_TRY(set_item(dict.get(), keys.name.get(), std::move(name)));
    ARBOLITE_TRY_ASSIGN(py::ref attrs, attrs_form(node_attrs(node), names));
    ARBOLITE_TRY(set_item(dict.get(), keys.attrs.get(), std::move(attrs)));
    py::ref children = py::ref::steal(PyList_New(static_cast<Py_ssize_t>(node_children(node).size())));
    if (!children) return fail(fetch_error());
    *children_list = children.get();  // the dict keeps it alive
    ARBOLITE_TRY(set_item(dict.get(), keys.children.get(), std::move(children)));
    py::ref text = py::ref::borrow(Py_None);
    if (std::optional<std::string_view> stored = node_text(node)) {
        ARBOLITE_TRY_ASSIGN(text, text_str(*stored));
    }
    ARBOLITE_TRY(set_item(dict.get(), keys.text.get(), std::move(text)));
    return dict;
}

PyResult<py::ref> to_dict_impl(PyObject* root) {
    ARBOLITE_TRY_ASSIGN(Keys keys, Keys::make());
    struct Pending {
        PyObject* node;
        PyObject* children_list;
    };
    std::vector<Pending> stack(1, {root, nullptr});
    NameStrs names;
    ARBOLITE_TRY_ASSIGN(py::ref result, node_dict(keys, names, root, &stack[0].children_list));
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        std::span<PyObject* const> children = node_children(p.node);
        for (size_t i = 0; i < children.size(); ++i) {
            PyObject* list = nullptr;
            ARBOLITE_TRY_ASSIGN(py::ref dict, node_dict(keys, names, children[i], &list));
            PyList_SET_ITEM(p.children_list, static_cast<Py_ssize_t>(i), dict.release());
            if (!node_children(children[i]).empty()) stack.push_back({children[i], list});
        }
    }
    return result;
}

// ---- from_dict: conversion of the input ----------------------------------

// The value variants of the dictionary form, in the order they are tried.
enum class Variant : uint8_t { Missing, String, Vec, NullableString, Map };

// One converted dictionary. Only the four keys that building reads are kept;
// every other value is converted (for its errors) and dropped.
struct DictRecord {
    Variant name_kind = Variant::Missing;
    Variant attrs_kind = Variant::Missing;
    Variant children_kind = Variant::Missing;
    Variant text_kind = Variant::Missing;
    std::string name;
    AttrMap attrs;
    std::vector<size_t> children;  // indices of the item records
    std::optional<std::string> text;
};

enum class Field : uint8_t { Name, Attrs, Children, Text, Other };

Field field_of(std::string_view key) {
    if (key == "name") return Field::Name;
    if (key == "attrs") return Field::Attrs;
    if (key == "children") return Field::Children;
    if (key == "text") return Field::Text;
    return Field::Other;
}

// Where the variant of a kept field is recorded; null for other keys.
Variant* kind_slot(DictRecord& r, Field field) {
    switch (field) {
        case Field::Name: return &r.name_kind;
        case Field::Attrs: return &r.attrs_kind;
        case Field::Children: return &r.children_kind;
        case Field::Text: return &r.text_kind;
        case Field::Other: return nullptr;
    }
    return nullptr;
}

// The text of a conversion's exception, as a variant's reason. Running out of
// memory is no reason for a value not to fit: that error ends the call as it
// is.
PyResult<std::string> exception_text(Exc&& error) {
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) return fail(std::move(error));
    py::ref exc = error.take();
    py::ref text = py::ref::steal(PyObject_Str(exc.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        module::drop_error();
        return std::string("<failed to describe the error>");
    }
    return std::string(Py_TYPE(exc.get())->tp_name) + ": " + utf8;
}

// The message for a value that fits no variant is head + Vec reason + tail:
// the Vec variant is the only one whose reason can come from deep inside.
struct EnumMessage {
    std::string head, tail;

    EnumMessage(const std::string& string_reason, const std::string& map_reason)
        : head(module::enum_failure_head() + module::variant_line("String", string_reason) +
               module::variant_line("Vec", "")),
          tail(module::variant_line("NullableString", string_reason) + module::variant_line("Map", map_reason)) {}
    // A value that is neither a str nor a dict.
    explicit EnumMessage(PyObject* value) : EnumMessage(mismatch_text(value, "str"), mismatch_text(value, "dict")) {}

    std::string with(std::string_view vec_reason) const { return head + std::string(vec_reason) + tail; }
};

PyResult<std::optional<std::string>> reason_of(Exc&& error) {
    ARBOLITE_TRY_ASSIGN(std::string reason, exception_text(std::move(error)));
    return std::optional(std::move(reason));
}

// A dict of str to str, or the reason it is not one.
PyResult<std::optional<std::string>> convert_map(PyObject* dict, AttrMap& out) {
    out.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        for (PyObject* part : {key, value}) {
            if (!PyUnicode_Check(part)) return std::optional(mismatch_text(part, "str"));
        }
        PyResult<std::string_view> name = module::borrow_utf8(key);
        if (!name.ok()) return reason_of(std::move(name).error());
        PyResult<std::string_view> text = module::borrow_utf8(value);
        if (!text.ok()) return reason_of(std::move(text).error());
        out.insert_or_assign(name.value(), text.value());
    }
    return std::optional<std::string>();
}

// The dicts on the path from the top to the dict being converted, by
// identity: meeting one of them again inside itself is a cycle. A dict
// reached twice along different paths is not on the path the second time.
//
// Dicts leave in the reverse order of entering, so a linear-probing table
// can simply clear the slot of the one leaving: every dict still in the table
// was placed while all the dicts entered before it were there too, so its
// probe never crosses a slot that is cleared before it leaves.
class OpenDicts {
public:
    // False when `dict` is already on the path.
    bool enter(PyObject* dict) {
        if (2 * (path_.size() + 1) > slots_.size()) grow();
        size_t i = find(dict);
        if (slots_[i]) return false;
        slots_[i] = dict;
        path_.push_back(dict);
        return true;
    }
    // The dict entered last leaves.
    void leave() {
        slots_[find(path_.back())] = nullptr;
        path_.pop_back();
    }

private:
    // The home slot is taken from the high bits of the product: objects lie
    // on coarse alignments, which the low bits would keep.
    size_t find(PyObject* dict) const {
        const size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>((reinterpret_cast<uintptr_t>(dict) * 0x9E3779B97F4A7C15ULL) >> shift_);
        while (slots_[i] && slots_[i] != dict) i = (i + 1) & mask;
        return i;
    }
    // Doubles the table and places the path again in its order.
    void grow() {
        slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), nullptr);
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
        for (PyObject* dict : path_) slots_[find(dict)] = dict;
    }

    std::vector<PyObject*> slots_;  // a power of two in size; null is free
    std::vector<PyObject*> path_;   // in the order of entering
    unsigned shift_ = 64;
};

// Converts a whole input dict into records, depth first in each dict's own
// order, with an explicit stack of open dicts and sequences.
class Converter {
public:
    std::vector<DictRecord> records;

    Status<Exc> run(PyObject* top);

private:
    struct Frame {
        py::ref object;      // the dict, or the sequence value
        py::ref iterator;    // set while a sequence is iterated
        Py_ssize_t pos = 0;  // position in the dict
        size_t record = 0;   // the dict's record, or the record owning the sequence
        Field field = Field::Other;
        std::vector<size_t> items;
    };
    std::vector<Frame> stack_;
    OpenDicts open_dicts_;

    Status<Exc> step_dict();
    Status<Exc> step_sequence();
    Status<Exc> store(size_t record, Field field, PyObject* value);
    Status<Exc> fail_inside(std::string message, size_t below);
    Status<Exc> push_dict(PyObject* dict);
};

// A dict that contains itself, directly or through the dicts and sequences
// below it, would be converted over and over until memory runs out.
Status<Exc> Converter::push_dict(PyObject* dict) {
    if (!open_dicts_.enter(dict)) return fail(module::circular_reference_error().noted("dict_"));
    records.emplace_back();
    Frame frame;
    frame.object = py::ref::borrow(dict);
    frame.record = records.size() - 1;
    stack_.push_back(std::move(frame));
    return Ok{};
}

Status<Exc> Converter::run(PyObject* top) {
    if (!PyDict_Check(top)) return fail(module::type_mismatch(top, "dict").noted("dict_"));
    ARBOLITE_TRY(push_dict(top));
    while (!stack_.empty()) ARBOLITE_TRY(stack_.back().iterator ? step_sequence() : step_dict());
    return Ok{};
}

// Fails the whole conversion with `message`, the reason a value fits no
// variant, wrapped by every sequence below stack position `below`: each
// enclosing sequence fails as Vec because of the value inside it. The pieces
// are joined once, so the cost stays linear in the nesting depth.
Status<Exc> Converter::fail_inside(std::string message, size_t below) {
    std::vector<EnumMessage> enclosing;
    for (size_t i = below; i-- > 0;) {
        if (stack_[i].iterator) enclosing.emplace_back(stack_[i].object.get());
    }
    std::string full;
    for (auto it = enclosing.rbegin(); it != enclosing.rend(); ++it) full += it->head;
    full += message;
    for (const auto& e : enclosing) full += e.tail;
    return fail(module::type_error(std::move(full)).noted("dict_"));
}

Status<Exc> Converter::step_dict() {
    Frame& frame = stack_.back();
    size_t depth = stack_.size() - 1;
    PyObject *key, *value;
    if (!PyDict_Next(frame.object.get(), &frame.pos, &key, &value)) {
        size_t done = frame.record;
        stack_.pop_back();
        open_dicts_.leave();
        if (!stack_.empty()) stack_.back().items.push_back(done);
        return Ok{};
    }
    PyResult<std::string_view> key_text = module::borrow_utf8(key);
    if (!key_text.ok()) {
        if (depth == 0) return fail(std::move(key_text).error().noted("dict_"));
        // A key that is not a str makes the sequence holding this dict fail.
        const Frame& owner = stack_[depth - 1];
        std::string reason = mismatch_text(key, "str");
        if (PyUnicode_Check(key)) {
            ARBOLITE_TRY_ASSIGN(reason, exception_text(std::move(key_text).error()));
        }
        return fail_inside(EnumMessage(owner.object.get()).with(reason), depth - 1);
    }
    py::ref held = py::ref::borrow(value);
    return store(frame.record, field_of(key_text.value()), held.get());
}

// Tries `value` against the variants in order. A sequence is opened as a
// frame and finished by step_sequence; everything else is stored at once.
Status<Exc> Converter::store(size_t record, Field field, PyObject* value) {
    size_t depth = stack_.size();
    DictRecord& r = records[record];
    Variant* kind = kind_slot(r, field);
    if (PyUnicode_Check(value)) {
        PyResult<std::string> text = module::to_string(value);
        if (!text.ok()) {
            ARBOLITE_TRY_ASSIGN(std::string reason, exception_text(std::move(text).error()));
            EnumMessage m(reason, mismatch_text(value, "dict"));
            return fail_inside(m.with("Can't extract `str` to `Vec`"), depth);
        }
        if (field == Field::Name) r.name = text.value();
        if (field == Field::Text) r.text = std::move(text).value();
        if (kind) *kind = Variant::String;
        return Ok{};
    }
    if (PySequence_Check(value)) {
        py::ref iterator = py::ref::steal(PyObject_GetIter(value));
        if (!iterator) {
            ARBOLITE_TRY_ASSIGN(std::string reason, exception_text(fetch_error()));
            return fail_inside(EnumMessage(value).with(reason), depth);
        }
        Frame frame;
        frame.object = py::ref::borrow(value);
        frame.iterator = std::move(iterator);
        frame.record = record;
        frame.field = field;
        stack_.push_back(std::move(frame));
        return Ok{};
    }
    if (value == Py_None) {
        if (kind) *kind = Variant::NullableString;
        return Ok{};
    }
    if (PyDict_Check(value)) {
        AttrMap map;
        ARBOLITE_TRY_ASSIGN(std::optional<std::string> reason, convert_map(value, map));
        if (reason) {
            EnumMessage m(mismatch_text(value, "str"), *reason);
            return fail_inside(m.with(mismatch_text(value, "Sequence")), depth);
        }
        if (field == Field::Attrs) r.attrs = std::move(map);
        if (kind) *kind = Variant::Map;
        return Ok{};
    }
    return fail_inside(EnumMessage(value).with(mismatch_text(value, "Sequence")), depth);
}

Status<Exc> Converter::step_sequence() {
    size_t depth = stack_.size() - 1;
    Frame& frame = stack_.back();
    py::ref item = py::ref::steal(PyIter_Next(frame.iterator.get()));
    if (!item) {
        if (PyErr_Occurred()) {
            ARBOLITE_TRY_ASSIGN(std::string reason, exception_text(fetch_error()));
            return fail_inside(EnumMessage(frame.object.get()).with(reason), depth);
        }
        DictRecord& r = records[frame.record];
        if (Variant* kind = kind_slot(r, frame.field)) *kind = Variant::Vec;
        if (frame.field == Field::Children) r.children = std::move(frame.items);
        stack_.pop_back();
        return Ok{};
    }
    if (!PyDict_Check(item.get())) {
        return fail_inside(EnumMessage(frame.object.get()).with(mismatch_text(item.get(), "dict")), depth);
    }
    return push_dict(item.get());
}

// ---- from_dict: building the nodes ----------------------------------------

// Checks every record reachable from the top in pre-order (a node's own
// entries before its children's), then makes the nodes children first.
PyResult<py::ref> build_nodes(PyTypeObject* type, std::vector<DictRecord>& records) {
    std::vector<size_t> order;
    std::vector<size_t> stack{0};
    while (!stack.empty()) {
        size_t i = stack.back();
        stack.pop_back();
        const DictRecord& r = records[i];
        if (r.name_kind != Variant::String) return fail(module::value_error("Invalid name"));
        if (r.attrs_kind != Variant::Map) return fail(module::value_error("Invalid attrs"));
        if (r.children_kind != Variant::Vec) return fail(module::value_error("Invalid children"));
        order.push_back(i);
        stack.insert(stack.end(), r.children.rbegin(), r.children.rend());
    }
    std::vector<py::ref> made(records.size());
    std::vector<py::ref> children;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        DictRecord& r = records[*it];
        children.clear();
        for (size_t child : r.children) children.push_back(std::move(made[child]));
        std::optional<std::string_view> text;
        if (r.text) text = *r.text;
        ARBOLITE_TRY_ASSIGN(made[*it], create_node(type, r.name, std::move(r.attrs), children, text));
    }
    return std::move(made[0]);
}

const module::Params<1> kFromDict{{"dict_"}, 1, "Node.from_dict()"};

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
    return module::boundary([&] { return to_dict_impl(self); });
}

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[1];
        ARBOLITE_TRY(module::bind_fastcall(kFromDict.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyTypeObject * type, node_type());
        Converter converter;
        ARBOLITE_TRY(converter.run(arg[0]));
        return build_nodes(type, converter.records);
    });
}

}  // namespace arbolite::node
