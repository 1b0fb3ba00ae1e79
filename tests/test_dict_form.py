"""The dictionary form: to_dict and Node.from_dict."""

import collections
import copy
import gc
import json
import sys
import tracemalloc
import weakref

import pytest
from hypothesis import given

from arbolite import Node, SearchType
from helpers import SANITIZED, assert_script_ok, check_error, dict_shape, mismatch, run_python, shape, trees

KEYS = {"name", "attrs", "children", "text"}
ENUM_FIRST_LINE = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')"
VARIANTS = ["String", "Vec", "NullableString", "Map"]


def leaf(name="a", **extra):
    d = {"name": name, "attrs": {}, "children": []}
    d.update(extra)
    return d


# ----------------------------------------------------------------------------
# to_dict


def test_leaf_to_dict():
    d = Node("leaf", {"k": "v"}, None, "t").to_dict()
    assert type(d) is dict
    assert set(d) == KEYS
    assert d == {"name": "leaf", "attrs": {"k": "v"}, "children": [], "text": "t"}
    assert type(d["attrs"]) is dict and type(d["children"]) is list


@pytest.mark.parametrize("text", [None, "", "x\ny"])
def test_to_dict_text(text):
    assert Node("a", text=text).to_dict()["text"] == text


def test_to_dict_nested():
    tree = Node("r", {"a": "1"}, [Node("c", text=""), Node("d", children=[Node("e")])])
    assert tree.to_dict() == {
        "name": "r",
        "attrs": {"a": "1"},
        "text": None,
        "children": [
            {"name": "c", "attrs": {}, "children": [], "text": ""},
            {
                "name": "d",
                "attrs": {},
                "text": None,
                "children": [{"name": "e", "attrs": {}, "children": [], "text": None}],
            },
        ],
    }


def test_to_dict_is_new_every_call_and_shares_nothing():
    tree = Node("r", {"k": "v"}, [Node("c")])
    first, second = tree.to_dict(), tree.to_dict()
    assert first == second
    assert first is not second
    assert first["attrs"] is not second["attrs"]
    assert first["children"] is not second["children"]
    assert first["children"][0] is not second["children"][0]
    first["attrs"]["k"] = "changed"
    first["children"].append("junk")
    first["name"] = "other"
    assert tree.to_dict() == second
    assert tree.attrs == {"k": "v"} and len(tree.children) == 1


@pytest.mark.parametrize(
    "names",
    [
        ["a", "b", "a", "b"],  # repeated: made once, shared
        [f"n{i}" for i in range(3000)],  # more distinct names than are kept
        ["x" * 64, "x" * 65, "x" * 64, "y" * 1000],  # around the longest kept
        ["é", "日本", "é", "", ""],  # non-ASCII and empty names
    ],
)
def test_to_dict_names_repeated_or_not(names):
    children = [Node(n, {n: n, "k" + n: "v"}) for n in names]
    d = Node("r", {}, children).to_dict()
    assert [c["name"] for c in d["children"]] == names
    assert [c["attrs"] for c in d["children"]] == [{n: n, "k" + n: "v"} for n in names]
    assert Node.from_dict(d).to_dict() == d


# Texts and attribute values around the sizes and bytes that decide how
# their strs are made: the word size of the ASCII scan, the longest text
# copied directly, and non-ASCII bytes at either end or inside a word.
TEXT_CASES = [
    "",
    "a",
    "ab",
    "\x7f",
    "\x80",
    "é",
    "abcdefg",
    "abcdefgh",
    "abcdefghi",
    "abcdefgé",
    "éabcdefgh",
    "abcdéfghijklmnop",
    "abcdefghijklmnoé",
    "x" * 255,
    "x" * 256,
    "x" * 257,
    "x" * 255 + "é",
    "é" + "x" * 255,
    "日本語" * 30,
    "🌍" + "x" * 8,
    "line\nbreak\ttab\x01",
]


@pytest.mark.parametrize("text", TEXT_CASES)
def test_to_dict_texts_and_values_round_trip(text):
    d = Node("n", {"k": text, "n": "v" + text}, [Node("c", text=text)], text).to_dict()
    for got in (d["text"], d["attrs"]["k"], d["children"][0]["text"]):
        assert type(got) is str and got == text and hash(got) == hash(text)
        assert got.isascii() == text.isascii() and len(got) == len(text)
    assert d["attrs"]["n"] == "v" + text
    assert Node.from_dict(d).to_dict() == d


@pytest.mark.parametrize("count", [0, 1, 5, 6, 100])
def test_to_dict_attribute_counts(count):
    attrs = {f"a{i}": str(i) for i in range(count)}
    d = Node("n", attrs).to_dict()
    assert type(d["attrs"]) is dict and d["attrs"] == attrs
    d["attrs"]["extra"] = "x"  # a dict of its own, open to change
    assert Node("n", attrs).attrs == attrs


def test_shared_child_becomes_independent_copies():
    c = Node("c", {"k": "v"}, None, "t")
    p = Node("p", children=[c, c])
    d = p.to_dict()
    assert d["children"][0] == d["children"][1]
    assert d["children"][0] is not d["children"][1]
    rebuilt = Node.from_dict(d)
    one, two = rebuilt.children
    assert one is not two
    assert shape(one) == shape(two) == shape(c)
    assert one is not c


# ----------------------------------------------------------------------------
# to_dict: key order, shared name strs, the cyclic collector

FORM_KEYS = ["name", "attrs", "children", "text"]


def all_dicts(d):
    stack = [d]
    while stack:
        d = stack.pop()
        yield d
        stack.extend(d["children"])


# Names kept once per conversion, names too long to keep, and more distinct
# names than are kept: every dict lists its keys in the same order.
@pytest.mark.parametrize(
    "names",
    [
        ["row", "row", "cell", "row"],
        ["n" * 47, "n" * 48, "n" * 47, "n" * 48],
        [f"e{i}" for i in range(5000)],
        ["é", "日本", "", "é"],
    ],
)
def test_to_dict_key_order(names):
    children = [Node(n, {n: "v", "k": n, "id": str(i)}, [Node(n, text="t")], "x") for i, n in enumerate(names)]
    tree = Node("root", {"a": "1"}, children)
    d = tree.to_dict()
    assert all(list(x) == FORM_KEYS for x in all_dicts(d))
    assert [c["name"] for c in d["children"]] == names
    assert [list(c["attrs"].items()) for c in d["children"]] == [list(n.attrs.items()) for n in children]
    assert d == Node.from_dict(d).to_dict()


def test_to_dict_dicts_of_one_name_are_independent():
    d = Node("r", {}, [Node("c"), Node("c", {"k": "v"}, None, "t")]).to_dict()
    first, second = d["children"]
    first["name"] = "changed"
    first["extra"] = 1
    assert second == {"name": "c", "attrs": {"k": "v"}, "children": [], "text": "t"}
    assert list(second) == FORM_KEYS


def test_to_dict_shared_names_hold_no_references_of_their_own():
    tree = Node("root", {}, [Node(n, {"key1": "v", "key2": "w"}) for n in ("child", "other") * 3])
    for _ in range(3):
        d = tree.to_dict()
        name = d["children"][0]["name"]
        key = next(iter(d["children"][0]["attrs"]))
        assert name == "child" and key in ("key1", "key2")
        assert all(c["name"] is name for c in d["children"][::2])
        del d
        # Once the result is gone, only the local name holds each str, as
        # it holds a str made here.
        control = "".join(["chi", "ld"])
        assert sys.getrefcount(name) == sys.getrefcount(control)
        assert sys.getrefcount(key) == sys.getrefcount(control)


def test_to_dict_repeated_calls_keep_no_memory():
    # More distinct names than are kept, and names too long to keep.
    names = [f"n{i}" for i in range(3000)] + ["x" * 100] * 10
    tree = Node("r", {}, [Node(n, {n: n, "k": "v" * 50}, None, n) for n in names])
    tracemalloc.start()
    try:
        tree.to_dict()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(10):
            tree.to_dict()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024


BIG_TREE = Node("r", {}, [Node("c", {"k": "v"}, [Node("d", text="t")]) for _ in range(5000)])


@pytest.mark.parametrize("enabled", [True, False])
def test_to_dict_holds_the_collector_off_and_restores_it(enabled):
    was_enabled = gc.isenabled()
    inside = [False]
    starts = []

    def callback(phase, info):
        if phase == "start":
            starts.append(inside[0])

    gc.collect()
    gc.callbacks.append(callback)
    try:
        (gc.enable if enabled else gc.disable)()
        inside[0] = True
        d = BIG_TREE.to_dict()
        inside[0] = False
        assert gc.isenabled() is enabled
    finally:
        gc.callbacks.remove(callback)
        (gc.enable if was_enabled else gc.disable)()
    # Tens of thousands of new containers, and no collection started among them.
    assert True not in starts
    assert len(d["children"]) == 5000
    gc.collect()


def test_to_dict_result_is_collected_like_any_other():
    d = Node("r", {}, [Node("c", {"k": "v"})]).to_dict()
    child = d["children"][0]
    assert gc.is_tracked(d) and gc.is_tracked(d["children"]) and gc.is_tracked(child)

    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    child["children"].append(d)  # a cycle through the result
    child["attrs"]["marker"] = marker
    del d, child, marker
    gc.collect()
    assert alive() is None


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves more address space than any limit allows")
@pytest.mark.parametrize("enabled", [True, False])
def test_to_dict_restores_the_collector_after_memory_error(enabled):
    code = f"""
    import gc, resource
    from arbolite import Node

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    tree = Node("r", {{}}, [Node("c", {{"k": "v" * 40}}, [Node("d", text="t" * 40)]) for _ in range(200_000)])
    (gc.enable if {enabled} else gc.disable)()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (8 << 20), hard))
    try:
        tree.to_dict()
    except MemoryError:
        outcome = "MemoryError"
    else:
        outcome = "returned"
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(outcome, gc.isenabled())
    print(len(tree.to_dict()["children"]))
    """
    assert_script_ok(code, f"MemoryError {enabled}\n200000\n", timeout=300)


# ----------------------------------------------------------------------------
# from_dict: valid input


def test_minimal_from_dict():
    node = Node.from_dict({"name": "a", "attrs": {}, "children": []})
    assert type(node) is Node
    assert (node.name, node.attrs, node.children, node.text) == ("a", {}, [], None)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("missing", None),
        (None, None),
        ([], None),
        ((), None),
        ({}, None),
        ({"a": "b"}, None),
        ([{"any": "thing"}], None),
        ("", ""),
        ("t", "t"),
        ("x\ny\x00", "x\ny\x00"),
    ],
)
def test_from_dict_text(text, expected):
    d = leaf() if text == "missing" else leaf(text=text)
    assert Node.from_dict(d).text == expected


@pytest.mark.parametrize("children", [[], (), range(0), b""])
def test_from_dict_empty_sequences_are_no_children(children):
    assert Node.from_dict(leaf(children=children)).children == []


def test_from_dict_children_tuple_and_order():
    node = Node.from_dict(leaf("p", children=(leaf("x"), leaf("y", text="t"), leaf("z"))))
    assert [c.name for c in node.children] == ["x", "y", "z"]
    assert node.children[1].text == "t"
    assert all(type(c) is Node for c in node.children)


def test_from_dict_accepts_subclasses():
    class D(dict):
        pass

    class S(str):
        pass

    d = D(name=S("a"), attrs=collections.OrderedDict([(S("k"), S("v"))]), children=[D(leaf("c"))], text=S("t"))
    node = Node.from_dict(d)
    assert shape(node) == ("a", {"k": "v"}, "t", [("c", {}, None, [])])
    assert type(node.name) is str


def test_from_dict_ignores_other_keys():
    d = leaf(extra="x", nothing=None, m={"a": "b"}, v=[leaf("ignored")])
    node = Node.from_dict(d)
    assert node.children == []
    assert set(node.to_dict()) == KEYS


def test_from_dict_does_not_change_its_input():
    d = leaf("p", attrs={"k": "v"}, children=[leaf("c", text="t")], text="u", extra="e")
    before = copy.deepcopy(d)
    Node.from_dict(d)
    assert d == before


def test_from_dict_builds_new_nodes_every_time():
    d = leaf("p", children=[leaf("c")])
    one, two = Node.from_dict(d), Node.from_dict(d)
    assert one is not two
    assert one.children[0] is not two.children[0]


def test_from_dict_result_is_fully_usable():
    node = Node.from_dict(leaf("p", attrs={"id": "1"}, children=[leaf("c", text="t")]))
    assert node.search_by_attr("id") == [node]
    assert node.search(SearchType.Text, "t") == node.children
    assert str(node) == "Name: p\nAttributes:\nid: 1\nChildren:\n  Name: c\n  Text: t\n"


# ----------------------------------------------------------------------------
# from_dict: structural faults

STRUCTURE_ERRORS = [
    # name
    ({"attrs": {}, "children": []}, "Invalid name"),
    (leaf(None), "Invalid name"),
    (leaf([]), "Invalid name"),
    (leaf({}), "Invalid name"),
    (leaf({"a": "b"}), "Invalid name"),
    (leaf([leaf()]), "Invalid name"),
    ({}, "Invalid name"),
    # attrs: required, must be a map of strings
    ({"name": "a", "children": []}, "Invalid attrs"),
    (leaf(attrs=[]), "Invalid attrs"),  # an empty list is a Vec
    (leaf(attrs=None), "Invalid attrs"),
    (leaf(attrs="x"), "Invalid attrs"),
    (leaf(attrs=b""), "Invalid attrs"),
    # children: required, must be a sequence of dictionaries
    ({"name": "a", "attrs": {}}, "Invalid children"),
    (leaf(children={}), "Invalid children"),  # an empty dict is a Map
    (leaf(children={"a": "b"}), "Invalid children"),
    (leaf(children=None), "Invalid children"),
    (leaf(children="x"), "Invalid children"),
    (leaf(children=""), "Invalid children"),
    # the node's own entries come in the order name, attrs, children
    ({"attrs": [], "children": None}, "Invalid name"),
    ({"name": "a", "attrs": None, "children": None}, "Invalid attrs"),
    # then the children, one by one, depth first
    (leaf(children=[{"attrs": {}, "children": []}]), "Invalid name"),
    ({"name": "a", "attrs": [], "children": [{"attrs": {}, "children": []}]}, "Invalid attrs"),
    (leaf(children=[leaf("ok"), leaf("bad", attrs=None), {"children": []}]), "Invalid attrs"),
    (leaf(children=[leaf("c1", children=[{"attrs": {}, "children": []}]), leaf("c2", attrs=None)]), "Invalid name"),
    (leaf(children=[leaf("c1", children=[leaf("g", children=None)])]), "Invalid children"),
]


@pytest.mark.parametrize("d, message", STRUCTURE_ERRORS)
def test_structural_faults(d, message):
    with pytest.raises(ValueError) as excinfo:
        Node.from_dict(d)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message


# ----------------------------------------------------------------------------
# from_dict: conversion failures


@pytest.mark.parametrize(
    "arg, type_name",
    [(None, None), ([], "list"), ("name", "str"), (5, "int"), (Node("a"), "Node"), (collections.UserDict(), "UserDict")],
)
def test_argument_not_a_dict(arg, type_name):
    with pytest.raises(TypeError) as excinfo:
        Node.from_dict(arg)
    check_error(excinfo, mismatch(type_name, "dict"), "dict_")


@pytest.mark.parametrize("key, type_name", [(1, "int"), (None, None), (b"name", "bytes"), (("t",), "tuple")])
def test_top_level_key_not_a_str(key, type_name):
    d = leaf()
    d[key] = "x"
    with pytest.raises(TypeError) as excinfo:
        Node.from_dict(d)
    check_error(excinfo, mismatch(type_name, "str"), "dict_")


def check_enum_error(excinfo, mode="flat"):
    message = str(excinfo.value)
    lines = message.split("\n")
    assert lines[0] == ENUM_FIRST_LINE
    firsts = []
    for variant in VARIANTS:
        prefix = f"- variant {variant} ({variant}): "
        found = [i for i, line in enumerate(lines) if line.startswith(prefix)]
        assert found, (variant, message)
        if mode == "flat":
            assert len(found) == 1, message
        firsts.append(found[0])
    assert firsts == sorted(firsts), message
    if mode == "nested":
        # the reason given for Vec holds the nested message
        assert message.count("failed to extract enum HashmapTypes") >= 2, message


UNCONVERTIBLE = [
    leaf(text=5),
    leaf(text=1.5),
    leaf(text=b"t"),
    leaf(text=True),
    leaf(5),
    leaf(attrs={"id": 1}),  # a TypeError, not "Invalid attrs"
    leaf(attrs={1: "v"}),
    leaf(attrs={"k": None}),
    leaf(attrs={"k": {"x": "y"}}),
    {"attrs": {}, "children": [], "extra": 5},  # conversion comes before "Invalid name"
    {"extra": object()},
    leaf(children=[5]),
    leaf(children=[leaf(), "x"]),
    leaf(children=[[leaf()]]),
    leaf(children=range(1)),
    leaf(children=b"x"),
    leaf(children={1: "a"}),
    leaf(children={"a": 1}),
    leaf(children=iter([])),
    leaf(children={"a"}),  # a set fits nothing
]


@pytest.mark.parametrize("d", UNCONVERTIBLE)
def test_values_fitting_no_variant(d):
    with pytest.raises(TypeError) as excinfo:
        Node.from_dict(d)
    assert type(excinfo.value) is TypeError
    check_error(excinfo, None, "dict_")
    check_enum_error(excinfo)


NESTED_UNCONVERTIBLE = [
    leaf(children=[leaf(text=5)]),
    leaf(children=[{"name": 5}]),  # a TypeError, although "name" is also missing things
    leaf(children=[leaf("c", children=[leaf("g", attrs={"k": 0})])]),
    {"name": "a", "attrs": [], "children": [leaf(text=5)]},  # conversion before "Invalid attrs"
    leaf(text=[{"name": 5}]),  # even "text", where a Vec is ignored
    leaf(extra=[leaf(text=1.5)]),  # even an ignored key
]


@pytest.mark.parametrize("d", NESTED_UNCONVERTIBLE)
def test_nested_values_fitting_no_variant(d):
    with pytest.raises(TypeError) as excinfo:
        Node.from_dict(d)
    check_error(excinfo, None, "dict_")
    check_enum_error(excinfo, "nested")


def test_non_str_key_in_nested_dictionary():
    with pytest.raises(TypeError) as excinfo:
        Node.from_dict(leaf(children=[leaf(), {1: "x"}]))
    check_error(excinfo, None, "dict_")
    check_enum_error(excinfo, "any")


def test_children_str_is_invalid_children_not_type_error():
    # a str is the String variant, so it converts and then fails the structure
    with pytest.raises(ValueError) as excinfo:
        Node.from_dict(leaf(children="abc"))
    assert str(excinfo.value) == "Invalid children"


def test_lone_surrogate_in_input_raises():
    with pytest.raises((TypeError, UnicodeEncodeError)) as excinfo:
        Node.from_dict(leaf("\ud800"))
    check_error(excinfo, None, "dict_")


# ----------------------------------------------------------------------------
# Round trips


def test_round_trip_example():
    tree = Node("r", {"a": "1", "b": ""}, [Node("c", text=""), Node("d", {"x": "y\nz"}, [Node("e")], "t")], "root")
    d = tree.to_dict()
    rebuilt = Node.from_dict(d)
    assert rebuilt is not tree
    assert shape(rebuilt) == shape(tree)
    assert rebuilt.to_dict() == d


def test_valid_dict_round_trip_normalises():
    d = {
        "name": "r",
        "attrs": {"k": "v"},
        "children": (leaf("c", extra="gone"), leaf("d", text=[])),
        "ignored": None,
    }
    assert Node.from_dict(d).to_dict() == {
        "name": "r",
        "attrs": {"k": "v"},
        "text": None,
        "children": [
            {"name": "c", "attrs": {}, "children": [], "text": None},
            {"name": "d", "attrs": {}, "children": [], "text": None},
        ],
    }


@given(trees)
def test_generated_round_trip(tree):
    d = tree.to_dict()
    rebuilt = Node.from_dict(d)
    assert rebuilt.to_dict() == d
    assert shape(rebuilt) == shape(tree)
    assert dict_shape(d) == shape(tree)


# ----------------------------------------------------------------------------
# Dictionaries that contain themselves
#
# Each case runs in a subprocess under a memory limit: converting a cycle
# without noticing it would only end when memory runs out.

CYCLE_PRELUDE = """
import collections.abc, json, resource
from arbolite import Node
if not SANITIZED:
    limit = 1 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def leaf(name="a", **extra):
    d = {"name": name, "attrs": {}, "children": []}
    d.update(extra)
    return d

def chain(depth, last):
    top = node = leaf("0")
    for i in range(1, depth):
        child = leaf(str(i))
        node["children"].append(child)
        node = child
    node["children"].append(last if last is not None else leaf("end"))
    return top, node

class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items
    def __len__(self):
        return len(self.items)
    def __getitem__(self, i):
        return self.items[i]
"""

CYCLE_RUN = """
try:
    node = Node.from_dict(top)
except Exception as e:
    print(json.dumps({"error": [type(e).__name__, str(e), getattr(e, "__notes__", None)]}))
else:
    def count(n):
        total, stack = 0, [n]
        while stack:
            n = stack.pop()
            total += 1
            stack.extend(n.children)
        return total
    print(json.dumps({"nodes": count(node)}))
"""


def from_dict_in_subprocess(setup):
    code = "SANITIZED = %r\n" % SANITIZED + CYCLE_PRELUDE + setup + CYCLE_RUN
    proc = run_python(code, timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout)


CYCLES = {
    "itself as its child": "top = leaf(); top['children'].append(top)",
    "itself as a later child": "top = leaf(); top['children'] = [leaf('x'), leaf('y', children=[top])]",
    "through a grandchild": "top = leaf(); top['children'] = [leaf('c', children=(leaf('g', children=[top]),))]",
    "through a sequence type": "top = leaf(); top['children'] = Seq([leaf('c', children=Seq([top]))])",
    "through a key that is ignored": "top = leaf(); top['extra'] = [top]",
    "through an ignored key deeper down": "top = leaf(); top['children'] = [leaf('c', other=[leaf('g', more=[top])])]",
    "below its own subtree": "inner = leaf('in'); inner['children'].append(inner); top = leaf(children=[leaf(), inner])",
    # deep enough for the table of open dicts to grow several times
    "back to the top from 3000 down": "top, bottom = chain(3000, None); bottom['children'].append(top)",
    "back to the middle from 3000 down": (
        "top, bottom = chain(3000, None)\n"
        "middle = top\n"
        "for _ in range(1500): middle = middle['children'][0]\n"
        "bottom['children'].append(middle)"
    ),
}


@pytest.mark.parametrize("setup", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_is_a_value_error(setup):
    assert from_dict_in_subprocess(setup) == {
        "error": ["ValueError", "circular reference in dictionary form", ["while processing 'dict_'"]]
    }


SHARED = {
    # (setup, number of nodes built): a dict reached along several paths is
    # converted once per path, as to_dict would give it
    "one child twice": ("c = leaf('c'); top = leaf(children=[c, c])", 3),
    "diamond": ("g = leaf('g'); top = leaf(children=[leaf('b1', children=[g]), leaf('b2', children=[g])])", 5),
    "shared at every level of a deep chain": (
        "s = leaf('s')\n"
        "top, bottom = chain(2000, s)\n"
        "node = top\n"
        "while node is not bottom:\n"
        "    node['children'].append(s)\n"
        "    node = node['children'][0]",
        2000 + 1 + 1999,
    ),
    "a deep chain used twice": ("part, _ = chain(1000, None); top = leaf(children=[part, part])", 1 + 2 * 1001),
    "a shared chain under an ignored key and as a child": (
        "part, _ = chain(500, None); top = leaf(children=[part], extra=[part])",
        1 + 501,
    ),
}


@pytest.mark.parametrize("setup, nodes", SHARED.values(), ids=SHARED.keys())
def test_shared_dicts_are_not_cycles(setup, nodes):
    assert from_dict_in_subprocess(setup) == {"nodes": nodes}
