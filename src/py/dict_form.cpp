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
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/interrupt.hpp"
#include "py/once.hpp"
#include "py/node.hpp"
#include "simd/swar.hpp"

namespace arbolite::py {
namespace {

// ---- to_dict ----------------------------------------------------------------
//
// Nearly all of the time goes to the interpreter making objects, so the
// conversion makes as few of them, with as few calls, as it can:
// - every node dict is a copy of a prepared dict that already holds the four
//   keys, in their order, and the element's name, so only "attrs",
//   "children" and (when there is one) "text" are set afterwards;
// - each distinct element and attribute name is made into a str once per
//   conversion and shared (strs are immutable); values and texts are not:
//   a shared str costs a visit to memory written long before, which is
//   slower than making a new one next to the dicts being filled;
// - attribute dicts and children lists are made at their final size;
// - the cyclic collector is held off while the tree is converted (see
//   CollectorPause).

// The `n` bytes at `p` as one word, which for n <= 8 holds every one of
// them: two strings of the same size up to 8 are equal exactly when their
// words are. Longer strings give their first eight bytes.
inline uint64_t load_word(const char* p, size_t n) {
    uint64_t word = 0;
    if (n >= 8) {
        std::memcpy(&word, p, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        word = (static_cast<uint64_t>(head) << 32) | tail;
    } else if (n > 0) {
        word = (static_cast<uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
               (static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
               static_cast<unsigned char>(p[n - 1]);
    }
    return word;
}

inline uint64_t mix(uint64_t x) {
    x *= 0xBF58476D1CE4E5B9ULL;
    return x ^ (x >> 31);
}

// A hash of a short byte string, a word at a time; its high bits are the
// well mixed ones. The tables it serves compare the bytes on every hit and
// bound their probing, so strings that collide only make them miss.
inline uint64_t bytes_hash(std::string_view bytes) {
    const char* p = bytes.data();
    const size_t size = bytes.size();
    uint64_t h = size * 0x9E3779B97F4A7C15ULL;
    if (size <= 8) return mix(h ^ load_word(p, size));
    size_t n = size;
    for (; n > 8; p += 8, n -= 8) h = mix(h ^ load_word(p, 8));
    // The last word overlaps the one before it unless the size is a multiple
    // of eight.
    return mix(h ^ load_word(bytes.data() + size - 8, 8));
}

// Equal bytes; short strings are compared a word or two at a time.
inline bool same_bytes(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    if (n <= 8) return load_word(a.data(), n) == load_word(b.data(), n);
    if (n <= 16) {
        return load_word(a.data(), 8) == load_word(b.data(), 8) &&
               load_word(a.data() + n - 8, 8) == load_word(b.data() + n - 8, 8);
    }
    return std::memcmp(a.data(), b.data(), n) == 0;
}

// A str of the UTF-8 `bytes`. Names, attribute values and texts are mostly
// short ASCII: those are copied straight into a new compact str, which skips
// the decoder's set-up; everything else goes through the decoder, which also
// hands out the interpreter's shared strs for empty and one-character texts.
PyResult<py::Ref> text_str(std::string_view bytes) {
    constexpr size_t short_text = 256;
    if (bytes.size() < 2 || bytes.size() > short_text || !simd::swar::all_ascii(bytes.data(), bytes.size()))
        return py::new_str(bytes);
    py::Ref str = py::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 0x7F));
    if (!str) return fail(fetch_error());
    std::memcpy(PyUnicode_DATA(str.get()), bytes.data(), bytes.size());
    return str;
}

// The four keys of a node dict, made once for the process. Immortal and
// never changed, so a conversion can hold them borrowed.
struct Keys {
    PyObject *name, *attrs, *children, *text;

    static PyResult<Keys> get() {
        static py::OnceCell cell;
        ARBOLITE_TRY_ASSIGN(PyObject * tuple, cell.get([]() -> PyResult<py::Ref> {
            py::Ref tuple = py::Ref::steal(PyTuple_New(4));
            if (!tuple) return fail(fetch_error());
            const char* names[] = {"name", "attrs", "children", "text"};
            for (Py_ssize_t i = 0; i < 4; ++i) {
                PyObject* key = PyUnicode_InternFromString(names[i]);
                if (!key) return fail(fetch_error());
                PyTuple_SET_ITEM(tuple.get(), i, key);
            }
            return tuple;
        }));
        return Keys{PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_ITEM(tuple, 1), PyTuple_GET_ITEM(tuple, 2),
                    PyTuple_GET_ITEM(tuple, 3)};
    }
};

// A short string kept inside a table slot, so that a lookup compares with
// the slot alone and not with bytes far away in a node met long before.
template <size_t Capacity>
struct SlotBytes {
    static_assert(Capacity < 256);
    uint8_t size = 0;
    char bytes[Capacity];

    std::string_view view() const { return {bytes, size}; }
    void assign(std::string_view s) {
        size = static_cast<uint8_t>(s.size());
        std::memcpy(bytes, s.data(), s.size());
    }
};

// The strs of the element and attribute names met during one conversion,
// and for each element name the dict that its nodes' dicts are copied from.
// Open addressing with short probes, from a small table that doubles while
// it is at most half full, up to a bound: a name that finds no place is made
// afresh every time it is met, which costs time, never correctness.
class NameTable {
public:
    explicit NameTable(const Keys& keys) : keys_(keys) {}
    ~NameTable() {
        for (const Slot& slot : slots_) {
            Py_XDECREF(slot.str);
            Py_XDECREF(slot.form);
        }
    }
    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;

    // A str of the attribute name `name` (a new reference).
    PyResult<py::Ref> key(std::string_view name) {
        Slot* slot = place(name);
        if (!slot) return text_str(name);
        if (!slot->str) ARBOLITE_TRY(fill(*slot, name));
        return py::Ref::borrow(slot->str);
    }

    // A new dict for a node named `name`: {"name": name, "attrs": None,
    // "children": None, "text": None}, keys in that order.
    PyResult<py::Ref> node_dict(std::string_view name) {
        Slot* slot = place(name);
        if (!slot) {
            ARBOLITE_TRY_ASSIGN(py::Ref str, text_str(name));
            return new_form(str.get());
        }
        if (!slot->form) {
            if (!slot->str) ARBOLITE_TRY(fill(*slot, name));
            ARBOLITE_TRY_ASSIGN(py::Ref form, new_form(slot->str));
            slot->form = form.release();
        }
        py::Ref dict = py::Ref::steal(PyDict_Copy(slot->form));
        if (!dict) return fail(fetch_error());
        return dict;
    }

private:
    static constexpr size_t kLongest = 47;  // longer names are made every time
    struct Slot {
        PyObject* str = nullptr;   // set once a name is placed
        PyObject* form = nullptr;  // for element names, once one is met
        SlotBytes<kLongest> name;
    };
    static_assert(sizeof(Slot) == 64);
    static constexpr size_t kFirstSize = 64;
    static constexpr size_t kMaxSize = 4096;
    static constexpr size_t kMaxProbe = 16;

    // The slot holding `name`, or a free one to place it in; null when
    // neither is near its home.
    Slot* place(std::string_view name) {
        if (name.size() > kLongest) return nullptr;
        if (2 * used_ >= slots_.size() && slots_.size() < kMaxSize) grow();
        const size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>(bytes_hash(name) >> 32) & mask;
        for (size_t probe = 0; probe < kMaxProbe; ++probe, i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.str) return 2 * used_ < slots_.size() ? &slot : nullptr;
            if (same_bytes(slot.name.view(), name)) return &slot;
        }
        return nullptr;
    }

    // Doubles the table (or makes the first one) and places the names again.
    void grow() {
        std::vector<Slot> old(slots_.empty() ? kFirstSize : 2 * slots_.size());
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.str) continue;
            size_t i = static_cast<size_t>(bytes_hash(slot.name.view()) >> 32) & mask;
            while (slots_[i].str) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    Status<Exc> fill(Slot& slot, std::string_view name) {
        ARBOLITE_TRY_ASSIGN(py::Ref str, text_str(name));
        slot.name.assign(name);
        slot.str = str.release();
        ++used_;
        return Ok{};
    }

    PyResult<py::Ref> new_form(PyObject* name) const {
        py::Ref dict = py::Ref::steal(PyDict_New());
        if (!dict) return fail(fetch_error());
        if (PyDict_SetItem(dict.get(), keys_.name, name) < 0 || PyDict_SetItem(dict.get(), keys_.attrs, Py_None) < 0 ||
            PyDict_SetItem(dict.get(), keys_.children, Py_None) < 0 ||
            PyDict_SetItem(dict.get(), keys_.text, Py_None) < 0) {
            return fail(fetch_error());
        }
        return dict;
    }

    const Keys& keys_;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// Holds the cyclic collector off for the lifetime of the object and then
// puts back the state it found. Converting a large tree makes millions of
// containers; with the collector on, every few thousand of them start a
// collection, and the older generations, the growing result among them, are
// walked again and again. Nothing in the conversion runs Python code or lets
// another thread run, so no one can see the collector off; the new
// containers are collected as usual afterwards.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

class DictMaker {
public:
    explicit DictMaker(const Keys& keys) : keys_(keys), names_(keys) {}

    // The dict of `node`; its "children" list is made at full length with
    // empty slots, which the caller fills.
    PyResult<py::Ref> node_dict(PyObject* node, PyObject** children_list) {
        ARBOLITE_TRY_ASSIGN(py::Ref dict, names_.node_dict(node_name(node)));
        auto key_of = [this](std::string_view name) { return names_.key(name); };
        auto value_of = [](std::string_view value) { return text_str(value); };
        ARBOLITE_TRY_ASSIGN(py::Ref attrs, attrs_dict(node_attrs(node), key_of, value_of));
        ARBOLITE_TRY(set(dict.get(), keys_.attrs, attrs.get()));
        py::Ref children = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(node_children(node).size())));
        if (!children) return fail(fetch_error());
        ARBOLITE_TRY(set(dict.get(), keys_.children, children.get()));
        *children_list = children.get();  // the dict keeps it alive
        if (std::optional<std::string_view> text = node_text(node)) {
            ARBOLITE_TRY_ASSIGN(py::Ref str, text_str(*text));
            ARBOLITE_TRY(set(dict.get(), keys_.text, str.get()));
        }
        return dict;
    }

private:
    static Status<Exc> set(PyObject* dict, PyObject* key, PyObject* value) {
        if (PyDict_SetItem(dict, key, value) < 0) return fail(fetch_error());
        return Ok{};
    }

    const Keys& keys_;
    NameTable names_;
};

PyResult<py::Ref> to_dict_impl(PyObject* root) {
    ARBOLITE_TRY_ASSIGN(Keys keys, Keys::get());
    CollectorPause pause;
    DictMaker maker(keys);
    struct Pending {
        PyObject* node;
        PyObject* children_list;
    };
    std::vector<Pending> stack(1, {root, nullptr});
    HeldSignalCheck signals;
    ARBOLITE_TRY_ASSIGN(py::Ref result, maker.node_dict(root, &stack[0].children_list));
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        std::span<PyObject* const> children = node_children(p.node);
        for (size_t i = 0; i < children.size(); ++i) {
            ARBOLITE_TRY(signals.step());
            prefetch_ahead(children, i);
            PyObject* list = nullptr;
            ARBOLITE_TRY_ASSIGN(py::Ref dict, maker.node_dict(children[i], &list));
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

// The message for a value that fits no variant is head + Vec reason + tail:
// the Vec variant is the only one whose reason can come from deep inside.
struct EnumMessage {
    std::string head, tail;

    EnumMessage(const std::string& string_reason, const std::string& map_reason)
        : head(py::variant_failure_head(string_reason)), tail(py::variant_failure_tail(string_reason, map_reason)) {}
    // A value that is neither a str nor a dict.
    explicit EnumMessage(PyObject* value) : EnumMessage(mismatch_text(value, "str"), mismatch_text(value, "dict")) {}

    std::string with(std::string_view vec_reason) const { return head + std::string(vec_reason) + tail; }
};

PyResult<std::optional<std::string>> reason_of(Exc&& error) {
    ARBOLITE_TRY_ASSIGN(std::string reason, py::exception_reason(std::move(error)));
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
        PyResult<std::string_view> name = py::borrow_utf8(key);
        if (!name.ok()) return reason_of(std::move(name).error());
        PyResult<std::string_view> text = py::borrow_utf8(value);
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
        py::Ref object;      // the dict, or the sequence value
        py::Ref iterator;    // set while a sequence is iterated
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
    if (!open_dicts_.enter(dict)) return fail(py::circular_reference_error().noted("dict_"));
    records.emplace_back();
    Frame frame;
    frame.object = py::Ref::borrow(dict);
    frame.record = records.size() - 1;
    stack_.push_back(std::move(frame));
    return Ok{};
}

Status<Exc> Converter::run(PyObject* top) {
    if (!PyDict_Check(top)) return fail(py::type_mismatch(top, "dict").noted("dict_"));
    ARBOLITE_TRY(push_dict(top));
    HeldSignalCheck signals;
    while (!stack_.empty()) {
        ARBOLITE_TRY(signals.step());
        ARBOLITE_TRY(stack_.back().iterator ? step_sequence() : step_dict());
    }
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
    return fail(py::type_error(std::move(full)).noted("dict_"));
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
    PyResult<std::string_view> key_text = py::borrow_utf8(key);
    if (!key_text.ok()) {
        if (depth == 0) return fail(std::move(key_text).error().noted("dict_"));
        // A key that is not a str makes the sequence holding this dict fail.
        const Frame& owner = stack_[depth - 1];
        std::string reason = mismatch_text(key, "str");
        if (PyUnicode_Check(key)) {
            ARBOLITE_TRY_ASSIGN(reason, py::exception_reason(std::move(key_text).error()));
        }
        return fail_inside(EnumMessage(owner.object.get()).with(reason), depth - 1);
    }
    py::Ref held = py::Ref::borrow(value);
    return store(frame.record, field_of(key_text.value()), held.get());
}

// Tries `value` against the variants in order. A sequence is opened as a
// frame and finished by step_sequence; everything else is stored at once.
Status<Exc> Converter::store(size_t record, Field field, PyObject* value) {
    size_t depth = stack_.size();
    DictRecord& r = records[record];
    Variant* kind = kind_slot(r, field);
    if (PyUnicode_Check(value)) {
        PyResult<std::string> text = py::to_string(value);
        if (!text.ok()) {
            ARBOLITE_TRY_ASSIGN(std::string reason, py::exception_reason(std::move(text).error()));
            EnumMessage m(reason, mismatch_text(value, "dict"));
            return fail_inside(m.with(py::str_to_vec_text()), depth);
        }
        if (field == Field::Name) r.name = text.value();
        if (field == Field::Text) r.text = std::move(text).value();
        if (kind) *kind = Variant::String;
        return Ok{};
    }
    if (PySequence_Check(value)) {
        py::Ref iterator = py::Ref::steal(PyObject_GetIter(value));
        if (!iterator) {
            ARBOLITE_TRY_ASSIGN(std::string reason, py::exception_reason(fetch_error()));
            return fail_inside(EnumMessage(value).with(reason), depth);
        }
        Frame frame;
        frame.object = py::Ref::borrow(value);
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
    py::Ref item = py::Ref::steal(PyIter_Next(frame.iterator.get()));
    if (!item) {
        if (PyErr_Occurred()) {
            ARBOLITE_TRY_ASSIGN(std::string reason, py::exception_reason(fetch_error()));
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
PyResult<py::Ref> build_nodes(PyTypeObject* type, std::vector<DictRecord>& records) {
    std::vector<size_t> order;
    std::vector<size_t> stack{0};
    while (!stack.empty()) {
        size_t i = stack.back();
        stack.pop_back();
        const DictRecord& r = records[i];
        if (r.name_kind != Variant::String) return fail(py::invalid_dict_entry("name"));
        if (r.attrs_kind != Variant::Map) return fail(py::invalid_dict_entry("attrs"));
        if (r.children_kind != Variant::Vec) return fail(py::invalid_dict_entry("children"));
        order.push_back(i);
        stack.insert(stack.end(), r.children.rbegin(), r.children.rend());
    }
    std::vector<py::Ref> made(records.size());
    std::vector<py::Ref> children;
    HeldSignalCheck signals;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        ARBOLITE_TRY(signals.step());
        DictRecord& r = records[*it];
        children.clear();
        for (size_t child : r.children) children.push_back(std::move(made[child]));
        std::optional<std::string_view> text;
        if (r.text) text = *r.text;
        ARBOLITE_TRY_ASSIGN(made[*it], create_node(type, r.name, std::move(r.attrs), children, text));
    }
    return std::move(made[0]);
}

const py::Params<1> kFromDict{{"dict_"}, 1, "Node.from_dict()"};

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
    return py::boundary([&] { return to_dict_impl(self); });
}

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[1];
        ARBOLITE_TRY(py::bind_fastcall(kFromDict.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyTypeObject * type, node_type());
        Converter converter;
        ARBOLITE_TRY(converter.run(arg[0]));
        return build_nodes(type, converter.records);
    });
}

}  // namespace arbolite::py
