"""Node construction, its read-only properties and identity semantics."""

import collections
import collections.abc
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from arbolite import Node, SearchType
from helpers import attr_maps, check_error, mismatch, names, optional_texts, shape


class StrSub(str):
    pass


class Seq:
    """A minimal sequence: passes the sequence check, iterates over items."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


# ----------------------------------------------------------------------------
# Valid construction


def test_minimal_node():
    node = Node("")
    assert node.name == ""
    assert node.attrs == {}
    assert node.children == []
    assert node.text is None


@pytest.mark.parametrize("text, expected", [(None, None), ("", ""), (" ", " "), ("x\ny", "x\ny")])
def test_absent_and_empty_text_differ(text, expected):
    assert Node("a", text=text).text == expected


@pytest.mark.parametrize(
    "value",
    ["", "plain", "a\x00b", "ümlaut", "\U0001f600 astral", "line\nfeed", "<&>'\"", "x" * 10000],
)
def test_strings_round_trip_unchanged(value):
    node = Node(value, {value: value, "other": value}, None, value)
    assert node.name == value
    assert node.attrs == {value: value, "other": value}
    assert node.text == value


@pytest.mark.parametrize(
    "children",
    [
        [],
        (),
        b"",
        bytearray(),
        range(0),
        collections.deque(),
    ],
)
def test_empty_sequences_give_no_children(children):
    assert Node("a", children=children).children == []


class _AbcSeq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def _kids():
    return [Node("x"), Node("y"), Node("z")]


@pytest.mark.parametrize(
    "wrap",
    [
        list,
        tuple,
        collections.deque,
        Seq,
        lambda items: Seq(items, length=0),  # reports too few
        lambda items: Seq(items, length=50),  # reports too many
        lambda items: _AbcSeq(items),
    ],
    ids=["list", "tuple", "deque", "custom", "short-len", "long-len", "abc-sequence"],
)
def test_children_from_any_sequence_in_iteration_order(wrap):
    kids = _kids()
    node = Node("a", children=wrap(kids))
    got = node.children
    assert len(got) == 3
    assert all(g is k for g, k in zip(got, kids))


class LenRaises(Seq):
    def __len__(self):
        raise RuntimeError("no length")


class LenOverflows(Seq):
    def __len__(self):
        return 2**64  # len() itself raises OverflowError


@pytest.mark.parametrize("cls", [LenRaises, LenOverflows])
def test_length_failure_is_discarded(cls):
    kids = _kids()
    node = Node("a", children=cls(kids))
    assert [k is g for k, g in zip(kids, node.children)] == [True, True, True]
    # No exception left pending: later calls work normally.
    assert Node("b").name == "b"


def test_iteration_protocol_is_used_not_indexing():
    kids = _kids()

    class IterOverride(Seq):
        def __iter__(self):
            return iter(reversed(self.items))

    got = Node("a", children=IterOverride(kids)).children
    assert [g is k for g, k in zip(got, reversed(kids))] == [True, True, True]


# ----------------------------------------------------------------------------
# Children are shared, and stored lists are private


def test_children_are_shared_not_copied():
    n = Node("c")
    p = Node("p", children=[n, n])
    kids = p.children
    assert len(kids) == 2
    assert kids[0] is n and kids[1] is n
    q = Node("q", children=[n, p])
    assert q.children[0] is n
    assert q.children[1] is p
    assert q.children[1].children[1] is n


def test_children_list_is_fresh_per_access():
    p = Node("p", children=[Node("c"), Node("d")])
    first = p.children
    assert p.children is not first
    first.append(Node("x"))
    first.pop(0)
    assert len(p.children) == 2
    assert [c.name for c in p.children] == ["c", "d"]


def test_changing_input_list_after_construction_has_no_effect():
    kids = [Node("c")]
    p = Node("p", children=kids)
    kids.append(Node("d"))
    kids[0] = Node("e")
    assert [c.name for c in p.children] == ["c"]


def test_attrs_dict_is_fresh_per_access():
    src = {"k": "v"}
    p = Node("p", attrs=src)
    first = p.attrs
    assert type(first) is dict
    assert p.attrs is not first
    first["k"] = "changed"
    first["new"] = "x"
    assert p.attrs == {"k": "v"}
    src["k"] = "changed"
    src["other"] = "y"
    assert p.attrs == {"k": "v"}


def test_properties_return_exact_builtin_types():
    node = Node(StrSub("n"), {StrSub("k"): StrSub("v")}, [Node("c")], StrSub("t"))
    assert type(node.name) is str
    assert type(node.text) is str
    assert type(node.children) is list
    ((k, v),) = node.attrs.items()
    assert type(k) is str and type(v) is str


# ----------------------------------------------------------------------------
# Read-only and fixed


@pytest.mark.parametrize("prop", ["name", "attrs", "text", "children"])
def test_properties_cannot_be_set_or_deleted(prop):
    node = Node("a", {"k": "v"}, [Node("c")], "t")
    before = getattr(node, prop)
    with pytest.raises(AttributeError):
        setattr(node, prop, before)
    with pytest.raises(AttributeError):
        delattr(node, prop)
    assert getattr(node, prop) == before


def test_unknown_attributes_cannot_be_set():
    node = Node("a")
    with pytest.raises(AttributeError):
        node.other = 1
    with pytest.raises(AttributeError):
        node.__dict__


# ----------------------------------------------------------------------------
# Identity equality and hash


def test_equality_is_identity():
    a, b = Node("a"), Node("a")
    assert a == a
    assert not (a != a)
    assert a != b
    assert not (a == b)
    assert a != "a"


def test_hash_is_identity_hash():
    a, b = Node("a"), Node("a")
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2
    d = {a: 1, b: 2}
    assert d[a] == 1 and d[b] == 2


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_no_ordering(op):
    a, b = Node("a"), Node("b")
    assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        sorted([a, b])


# ----------------------------------------------------------------------------
# Attributes


class NoIterDict(dict):
    """A dict subclass whose Python-level views all fail: the node must read the
    dict's own storage."""

    def items(self):
        raise AssertionError("items() called")

    def keys(self):
        raise AssertionError("keys() called")

    def values(self):
        raise AssertionError("values() called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __len__(self):
        raise AssertionError("__len__ called")


def test_attrs_dict_subclass_is_read_from_its_storage():
    d = NoIterDict()
    dict.__setitem__(d, "a", "1")
    dict.__setitem__(d, "b", "2")
    node = Node("n", attrs=d)
    assert node.attrs == {"a": "1", "b": "2"}
    assert type(node.attrs) is dict


def test_attrs_ordered_dict_accepted():
    node = Node("n", attrs=collections.OrderedDict([("x", "1"), ("y", "2")]))
    assert node.attrs == {"x": "1", "y": "2"}


class Collide(str):
    """A key that the dict keeps apart from an equal plain str."""

    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return self is other


def test_keys_with_equal_text_keep_the_later_value():
    d = {"a": "first", Collide("a"): "second"}
    assert len(d) == 2
    assert Node("n", attrs=d).attrs == {"a": "second"}


def test_attribute_order_is_stable_per_node():
    keys = [f"attr{i}" for i in range(24)]
    node = Node("n", attrs={k: k.upper() for k in keys})
    order = list(node.attrs)
    assert sorted(order) == sorted(keys)
    for _ in range(5):
        assert list(node.attrs) == order
        assert list(node.attrs.items()) == [(k, k.upper()) for k in order]


def test_attribute_order_varies_between_maps():
    # Every map has its own random hashing key, so equal dicts do not all
    # give one iteration order.
    src = {f"k{i}": "v" for i in range(8)}
    orders = {tuple(Node("n", attrs=src).attrs) for _ in range(40)}
    assert len(orders) > 1


def test_to_dict_lists_attributes_in_the_node_order():
    node = Node("n", attrs={f"k{i}": str(i) for i in range(16)})
    assert list(node.to_dict()["attrs"]) == list(node.attrs)


# ----------------------------------------------------------------------------
# Constructor failures: each message, each with the note of its parameter

CONSTRUCTOR_ERRORS = [
    # name
    (lambda: Node(None), TypeError, mismatch(None, "str"), "name"),
    (lambda: Node(1), TypeError, mismatch("int", "str"), "name"),
    (lambda: Node(b"a"), TypeError, mismatch("bytes", "str"), "name"),
    (lambda: Node("a\udcff"), UnicodeEncodeError, None, "name"),
    # attrs
    (lambda: Node("a", attrs=[("k", "v")]), TypeError, mismatch("list", "dict"), "attrs"),
    (lambda: Node("a", attrs=types.MappingProxyType({})), TypeError, mismatch("mappingproxy", "dict"), "attrs"),
    (lambda: Node("a", attrs=""), TypeError, mismatch("str", "dict"), "attrs"),
    (lambda: Node("a", attrs={"k": 1}), TypeError, mismatch("int", "str"), "attrs"),
    (lambda: Node("a", attrs={"k": None}), TypeError, mismatch(None, "str"), "attrs"),
    (lambda: Node("a", attrs={1: "v"}), TypeError, mismatch("int", "str"), "attrs"),
    (lambda: Node("a", attrs={("t",): "v"}), TypeError, mismatch("tuple", "str"), "attrs"),
    (lambda: Node("a", attrs={"ok": "v", "k": b"v"}), TypeError, mismatch("bytes", "str"), "attrs"),
    # key converted before value
    (lambda: Node("a", attrs={1: 2.5}), TypeError, mismatch("int", "str"), "attrs"),
    (lambda: Node("a", attrs={"k\ud800": "v"}), UnicodeEncodeError, None, "attrs"),
    (lambda: Node("a", attrs={"k": "v\ud800"}), UnicodeEncodeError, None, "attrs"),
    # children
    (lambda: Node("a", children="abc"), TypeError, "Can't extract `str` to `Vec`", "children"),
    (lambda: Node("a", children=""), TypeError, "Can't extract `str` to `Vec`", "children"),
    (lambda: Node("a", children=StrSub("x")), TypeError, "Can't extract `str` to `Vec`", "children"),
    (lambda: Node("a", children=iter([])), TypeError, mismatch("list_iterator", "Sequence"), "children"),
    (lambda: Node("a", children={}), TypeError, mismatch("dict", "Sequence"), "children"),
    (lambda: Node("a", children={Node("b"): 1}), TypeError, mismatch("dict", "Sequence"), "children"),
    (lambda: Node("a", children=set()), TypeError, mismatch("set", "Sequence"), "children"),
    (lambda: Node("a", children=(x for x in [])), TypeError, mismatch("generator", "Sequence"), "children"),
    (lambda: Node("a", children=5), TypeError, mismatch("int", "Sequence"), "children"),
    (lambda: Node("a", children=Node("b")), TypeError, mismatch("Node", "Sequence"), "children"),
    (lambda: Node("a", children=b"x"), TypeError, mismatch("int", "Node"), "children"),
    (lambda: Node("a", children=range(1)), TypeError, mismatch("int", "Node"), "children"),
    (lambda: Node("a", children=[None]), TypeError, mismatch(None, "Node"), "children"),
    (lambda: Node("a", children=[Node("b"), "c"]), TypeError, mismatch("str", "Node"), "children"),
    (lambda: Node("a", children=[Node("b"), [Node("c")]]), TypeError, mismatch("list", "Node"), "children"),
    (lambda: Node("a", children=(SearchType.Tag,)), TypeError, mismatch("SearchType", "Node"), "children"),
    # text
    (lambda: Node("a", text=1), TypeError, mismatch("int", "str"), "text"),
    (lambda: Node("a", text=b"t"), TypeError, mismatch("bytes", "str"), "text"),
    (lambda: Node("a", text=["t"]), TypeError, mismatch("list", "str"), "text"),
    (lambda: Node("a", text="\ud800"), UnicodeEncodeError, None, "text"),
    # only the first bad argument, in the order name, attrs, children, text
    (lambda: Node(1, attrs=5), TypeError, mismatch("int", "str"), "name"),
    (lambda: Node(None, 5, 5, 5), TypeError, mismatch(None, "str"), "name"),
    (lambda: Node("a", 5, 5, 5), TypeError, mismatch("int", "dict"), "attrs"),
    (lambda: Node("a", {"k": 1}, "abc", 5), TypeError, mismatch("int", "str"), "attrs"),
    (lambda: Node("a", None, "abc", 5), TypeError, "Can't extract `str` to `Vec`", "children"),
    (lambda: Node("a", None, [1], 5), TypeError, mismatch("int", "Node"), "children"),
    (lambda: Node(text=5, children=5, attrs=5, name=5), TypeError, mismatch("int", "str"), "name"),
    (lambda: Node(text=5, children=5, name="a"), TypeError, mismatch("int", "Sequence"), "children"),
]


@pytest.mark.parametrize("call, exc_type, message, param", CONSTRUCTOR_ERRORS)
def test_constructor_errors(call, exc_type, message, param):
    with pytest.raises(exc_type) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    check_error(excinfo, message, param)


def test_later_arguments_are_not_looked_at():
    looked = []

    class Spy(Seq):
        def __len__(self):
            looked.append("len")
            return 0

        def __iter__(self):
            looked.append("iter")
            return iter(())

    with pytest.raises(TypeError) as excinfo:
        Node("a", attrs=5, children=Spy([]))
    check_error(excinfo, mismatch("int", "dict"), "attrs")
    assert looked == []


class Boom(Exception):
    pass


class IterRaises(Seq):
    def __init__(self, items, after):
        super().__init__(items)
        self.after = after

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.after:
                raise Boom(f"stopped at {i}")
            yield item


@pytest.mark.parametrize("after", [0, 1, 3])
def test_iterator_exception_is_passed_on(after):
    kids = _kids() + [Node("w")]
    with pytest.raises(Boom) as excinfo:
        Node("a", children=IterRaises(kids, after), text=5)  # text never reached
    assert type(excinfo.value) is Boom
    check_error(excinfo, f"stopped at {after}", "children")


def test_iter_call_raising_is_passed_on():
    class BadIter(Seq):
        def __iter__(self):
            raise Boom("no iterator")

    with pytest.raises(Boom) as excinfo:
        Node("a", children=BadIter([]))
    check_error(excinfo, "no iterator", "children")


# ----------------------------------------------------------------------------
# Properties match what was given, for generated input


@given(names, attr_maps, optional_texts, st.integers(0, 5))
def test_generated_nodes_keep_their_fields(name, attrs, text, n_children):
    kids = [Node(f"c{i}") for i in range(n_children)]
    node = Node(name, attrs, kids, text)
    assert node.name == name
    assert node.attrs == attrs
    assert node.text == text
    assert len(node.children) == n_children
    assert all(a is b for a, b in zip(node.children, kids))


# ----------------------------------------------------------------------------
# A node keeps its children, name and text side by side in one block: every
# reader must find each field where it is, whatever the sizes of the others.


_SIZED = {
    "empty": "",
    "one": "x",
    "nul": "\x00",
    "fifteen": "n" * 14 + "\x00",
    "sixteen": "\x00" + "s" * 15,
    "seventeen": "é" * 8 + "!",
    "astral": "\U0001f600" * 4,
    "large": "L\x00" * 40000,
}


def _readings(node):
    """Everything the module reads back from one node, as plain values."""
    return {
        "name": node.name,
        "text": node.text,
        "repr": repr(node),
        "children": [child.name for child in node.children],
        "dict": node.to_dict(),
    }


@pytest.mark.parametrize("name_key", list(_SIZED))
@pytest.mark.parametrize("text_key", [None, *_SIZED])
@pytest.mark.parametrize("n_children", [0, 1, 3])
def test_fields_of_every_size_stay_apart(name_key, text_key, n_children):
    name = _SIZED[name_key]
    text = None if text_key is None else _SIZED[text_key]
    kids = [Node(f"k{i}", text=str(i)) for i in range(n_children)]
    node = Node(name, {"a": name}, kids, text)
    expected_dict = {
        "name": name,
        "attrs": {"a": name},
        "children": [{"name": f"k{i}", "attrs": {}, "children": [], "text": str(i)} for i in range(n_children)],
        "text": text,
    }
    expected = {
        "name": name,
        "text": text,
        "repr": f"Node({name})",
        "children": [f"k{i}" for i in range(n_children)],
        "dict": expected_dict,
    }
    assert _readings(node) == expected
    assert _readings(Node.from_dict(expected_dict)) == expected
    assert node.search_by_name(name) == [node]
    assert node.search_by_text(text if text is not None else "") == ([node] if text is not None else [])
    assert all(a is b for a, b in zip(node.children, kids))


@pytest.mark.parametrize("text", [None, ""])
@pytest.mark.parametrize("name", ["", "a"])
def test_empty_text_is_not_absent_text(name, text):
    node = Node(name, None, [Node("c")], text)
    assert node.text == text
    assert node.name == name
    assert node.to_dict()["text"] == text
    assert str(node).count("Text:") == (0 if text is None else 1)
    assert node.search_by_text("") == ([] if text is None else [node])


@pytest.mark.parametrize("count", [2, 255, 256, 4096, 70000])
def test_many_children_in_order_with_shared_entries(count):
    pool = [Node(f"p{i}", text=f"t{i}") for i in range(7)]
    kids = [pool[i % 7] for i in range(count)]
    node = Node("parent" * 3, children=kids, text="after the children")
    got = node.children
    assert len(got) == count
    assert all(a is b for a, b in zip(got, kids))
    assert node.name == "parent" * 3
    assert node.text == "after the children"
    assert len(node.search_by_name("p3")) == len([k for k in kids if k is pool[3]])


# ----------------------------------------------------------------------------
# Freeing a tree hands a dying child's children to its parent: nodes that
# are still referenced elsewhere must come out of it untouched.


def _chain(depth, leaf):
    node = leaf
    for i in range(depth):
        node = Node(f"level{i}", {"d": str(i)}, [node, Node("side", text=str(i))], "t" * (i % 20))
    return node


@pytest.mark.parametrize(
    "keep",
    [
        "leaf",  # a node held only far below
        "middle",  # a node whose own children are about to be handed over
        "middle_twice",  # the same node twice in one list
        "shared_by_two_parents",
    ],
)
def test_freeing_a_tree_leaves_kept_nodes_whole(keep):
    leaf = Node("leaf", {"k": "v"}, None, "leaf text")
    root = _chain(50, leaf)
    middle = root
    for _ in range(20):
        middle = middle.children[0]
    if keep == "leaf":
        kept = leaf
    elif keep == "middle":
        kept = middle
    elif keep == "middle_twice":
        kept = middle
        root = Node("top", children=[kept, root, kept])
    else:
        kept = middle
        root = Node("top", children=[Node("one", children=[kept]), Node("two", children=[kept]), root])
    before = shape(kept)
    del middle
    del leaf
    del root
    assert shape(kept) == before
    assert kept.search_by_name("leaf")[0].text == "leaf text"
