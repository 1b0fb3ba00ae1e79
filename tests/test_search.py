"""Tree search and the SearchType enumeration."""

import json

import numpy
import pytest
from hypothesis import given
from hypothesis import strategies as st

from arbolite import Node, SearchType
from helpers import check_error, mismatch, run_python, trees


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


def same_nodes(got, expected):
    return len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


def x_tree():
    """a(b1(c), b2), all four named x; returns the four nodes."""
    c = Node("x", {"id": "c"}, None, "c")
    b1 = Node("x", {"id": "b1"}, [c], "b1")
    b2 = Node("x", {"id": "b2"}, None, "b2")
    a = Node("x", {"id": "a"}, [b1, b2], "a")
    return a, b1, c, b2


# ----------------------------------------------------------------------------
# Order and depth


@pytest.mark.parametrize(
    "depth, expected",
    [
        (None, "a b1 c b2"),
        (-1, "a b1 c b2"),
        (-7, "a b1 c b2"),
        (-(2**31), "a b1 c b2"),
        (0, "a"),
        (False, "a"),
        (1, "a b1 b2"),
        (True, "a b1 b2"),
        (Index(1), "a b1 b2"),
        (numpy.int32(1), "a b1 b2"),
        (2, "a b1 c b2"),
        (2**31 - 1, "a b1 c b2"),
    ],
)
def test_pre_order_with_depth(depth, expected):
    a, b1, c, b2 = x_tree()
    by_label = {"a": a, "b1": b1, "c": c, "b2": b2}
    want = [by_label[label] for label in expected.split()]
    assert same_nodes(a.search_by_name("x", depth=depth), want)
    assert same_nodes(a.search_by_name("x", depth), want)
    assert same_nodes(a.search(SearchType.Tag, "x", depth), want)


def test_omitted_depth_is_unlimited():
    a, b1, c, b2 = x_tree()
    assert same_nodes(a.search_by_name("x"), [a, b1, c, b2])


def test_start_node_is_tested_first():
    a, b1, c, b2 = x_tree()
    assert a.search_by_name(a.name)[0] is a
    assert same_nodes(b1.search_by_name("x"), [b1, c])


@pytest.mark.parametrize("root_name, expected_len", [("item", 1), ("other", 0)])
def test_depth_zero_tests_only_the_start(root_name, expected_len):
    root = Node(root_name, children=[Node("item"), Node("item", children=[Node("item")])])
    got = root.search_by_name("item", depth=0)
    assert got == ([root] if expected_len else [])


def test_walk_continues_below_nodes_that_do_not_match():
    target = Node("t")
    root = Node("r", children=[Node("m", children=[Node("n", children=[target])])])
    assert root.search_by_name("t", depth=2) == []
    assert same_nodes(root.search_by_name("t", depth=3), [target])
    assert same_nodes(root.search_by_name("t"), [target])


def test_results_are_the_tree_nodes_themselves():
    b = Node("b", {"k": "v"}, None, "t")
    root = Node("root", children=[Node("a"), b])
    assert root.children[1] is b
    assert root.search_by_name("b")[0] is b
    assert root.search_by_attr("k")[0] is b
    assert root.search_by_text("t")[0] is b


def test_shared_child_listed_once_per_occurrence():
    c = Node("c", {"id": ""}, None, "v")
    twice = Node("p", children=[c, c])
    for result in (twice.search_by_name("c"), twice.search_by_attr("id"), twice.search_by_text("v")):
        assert len(result) == 2
        assert result[0] is result[1] is c


def test_shared_child_listed_per_path():
    c = Node("c")
    p1 = Node("p", children=[c])
    p2 = Node("p", children=[Node("q"), c])
    root = Node("r", children=[p1, p2, c])
    result = root.search_by_name("c")
    assert same_nodes(result, [c, c, c])
    assert same_nodes(root.search_by_name("p"), [p1, p2])


def test_result_is_a_new_list_each_time():
    a, *_ = x_tree()
    first = a.search_by_name("x")
    second = a.search_by_name("x")
    assert type(first) is list
    assert first is not second
    first.clear()
    assert len(a.search_by_name("x")) == 4


def test_no_match_gives_empty_list():
    assert Node("a", children=[Node("b")]).search_by_name("zz") == []


# ----------------------------------------------------------------------------
# The three tests

NAME_CASES = [
    ("item", "item", True),
    ("Item", "item", False),
    ("item", "ite", False),
    ("ite", "item", False),
    ("ns:item", "item", False),
    (" item", "item", False),
    ("", "", True),
    ("a\x00", "a", False),
    ("a\x00b", "a\x00b", True),
    ("é", "é", True),  # precomposed
    ("e\u0301", "é", False),  # decomposed: other bytes
    ("\U0001f600", "\U0001f600", True),
]


@pytest.mark.parametrize("node_name, query, found", NAME_CASES)
def test_name_test_is_exact(node_name, query, found):
    node = Node(node_name)
    assert len(node.search_by_name(query)) == int(found)
    assert len(node.search(SearchType.Tag, query)) == int(found)


ATTR_CASES = [
    ({"id": ""}, "id", True),
    ({"id": "x"}, "id", True),
    ({"key": "id"}, "id", False),
    ({"ID": "1"}, "id", False),
    ({"id ": "1"}, "id", False),
    ({}, "id", False),
    ({}, "", False),
    ({"": "v"}, "", True),
    ({"a": "1", "b": "2", "c": "3", "é\x00": "4"}, "é\x00", True),
]


@pytest.mark.parametrize("attrs, query, found", ATTR_CASES)
def test_attr_test_is_key_presence(attrs, query, found):
    node = Node("n", attrs)
    assert len(node.search_by_attr(query)) == int(found)
    assert len(node.search(SearchType.Attr, query)) == int(found)


TEXT_CASES = [
    ("a", "a", True),
    (" a ", "a", False),
    ("ab", "a", False),
    ("a", "ab", False),
    ("A", "a", False),
    ("", "", True),
    (None, "", False),
    (None, "None", False),
    ("x\ny", "x\ny", True),
    ("\x00", "\x00", True),
]


@pytest.mark.parametrize("text, query, found", TEXT_CASES)
def test_text_test_is_exact_equality(text, query, found):
    node = Node("n", text=text)
    assert len(node.search_by_text(query)) == int(found)
    assert len(node.search(SearchType.Text, query)) == int(found)


def test_empty_text_search_skips_absent_text():
    empty = Node("e", text="")
    absent = Node("n")
    root = Node("r", children=[absent, empty, absent])
    assert same_nodes(root.search_by_text(""), [empty])


def test_general_search_equals_specific_methods():
    a, b1, c, b2 = x_tree()
    root = Node("r", {"id": "r"}, [a, Node("y", text="b1")], "a")
    for by, method in [
        (SearchType.Tag, root.search_by_name),
        (SearchType.Attr, root.search_by_attr),
        (SearchType.Text, root.search_by_text),
    ]:
        for value in ["x", "id", "a", "b1", "r", ""]:
            for depth in [None, 0, 1, 2, -1]:
                assert same_nodes(root.search(by, value, depth), method(value, depth))


# ----------------------------------------------------------------------------
# Argument errors

N = Node("n", children=[Node("c")])

SEARCH_ERRORS = [
    (lambda: N.search(0, "x"), TypeError, mismatch("int", "SearchType"), "by"),
    (lambda: N.search("Tag", "x"), TypeError, mismatch("str", "SearchType"), "by"),
    (lambda: N.search(None, "x"), TypeError, mismatch(None, "SearchType"), "by"),
    (lambda: N.search(SearchType, "x"), TypeError, mismatch("type", "SearchType"), "by"),
    (lambda: N.search(SearchType.Tag, 5), TypeError, mismatch("int", "str"), "value"),
    (lambda: N.search(SearchType.Tag, None), TypeError, mismatch(None, "str"), "value"),
    (lambda: N.search_by_name(5), TypeError, mismatch("int", "str"), "name"),
    (lambda: N.search_by_name(None), TypeError, mismatch(None, "str"), "name"),
    (lambda: N.search_by_attr(["k"]), TypeError, mismatch("list", "str"), "key"),
    (lambda: N.search_by_text(b"t"), TypeError, mismatch("bytes", "str"), "text"),
    # conversion order: by, value, depth; or the string, then depth
    (lambda: N.search(0, 5, depth=1.0), TypeError, mismatch("int", "SearchType"), "by"),
    (lambda: N.search(SearchType.Tag, 5, 1.0), TypeError, mismatch("int", "str"), "value"),
    (lambda: N.search_by_name(5, depth=2**40), TypeError, mismatch("int", "str"), "name"),
    (lambda: N.search_by_text(5, depth=1.0), TypeError, mismatch("int", "str"), "text"),
]


@pytest.mark.parametrize("call, exc_type, message, param", SEARCH_ERRORS)
def test_search_argument_errors(call, exc_type, message, param):
    with pytest.raises(exc_type) as excinfo:
        call()
    check_error(excinfo, message, param)


METHODS = [
    lambda n, depth: n.search_by_name("x", depth=depth),
    lambda n, depth: n.search_by_attr("x", depth=depth),
    lambda n, depth: n.search_by_text("x", depth=depth),
    lambda n, depth: n.search(SearchType.Tag, "x", depth=depth),
]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("depth", [1.0, "1", b"1", [1], numpy.float32(1), BadIndex()])
def test_depth_wrong_type(method, depth):
    exc_type = ValueError if isinstance(depth, BadIndex) else TypeError
    with pytest.raises(exc_type) as excinfo:
        method(N, depth)
    check_error(excinfo, None, "depth")


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("depth", [2**31, -(2**31) - 1, 2**40, -(2**40), 2**64, 2**100])
def test_depth_out_of_range(method, depth):
    with pytest.raises(OverflowError) as excinfo:
        method(N, depth)
    check_error(excinfo, None, "depth")


# The type is mutable: a replaced integer conversion of the members may fail
# or give a value no member has. Each case runs in a subprocess, since the
# type is shared by everything in the process.
BAD_INT = [
    ("lambda self: 2**100", "OverflowError", None),
    ("lambda self: -2**100", "OverflowError", None),
    ("lambda self: 1 / 0", "ZeroDivisionError", "division by zero"),
    ("lambda self: 'Tag'", "TypeError", None),
    ("lambda self: 7", "ValueError", "search type value 7 is not 0, 1 or 2"),
    ("lambda self: -1", "ValueError", "search type value -1 is not 0, 1 or 2"),
]


@pytest.mark.parametrize("int_source, exc_name, message", BAD_INT)
def test_failing_member_conversion_is_raised(int_source, exc_name, message):
    proc = run_python(
        f"""
        import json
        from arbolite import Node, SearchType
        SearchType.__int__ = {int_source}
        try:
            result = Node("a", {{"a": ""}}, text="a").search(SearchType.Tag, "a")
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e), getattr(e, "__notes__", None)]))
        else:
            print(json.dumps(["no error", repr(result), None]))
        """,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    name, text, notes = json.loads(proc.stdout)
    assert name == exc_name
    if message is not None:
        assert text == message
    assert notes == ["while processing 'by'"]


def test_search_string_lone_surrogate():
    with pytest.raises(UnicodeEncodeError) as excinfo:
        N.search_by_name("\udfff")
    check_error(excinfo, None, "name")


# ----------------------------------------------------------------------------
# SearchType


@pytest.mark.parametrize(
    "member, value, text",
    [(SearchType.Tag, 0, "SearchType.Tag"), (SearchType.Attr, 1, "SearchType.Attr"), (SearchType.Text, 2, "SearchType.Text")],
)
def test_members(member, value, text):
    assert type(member) is SearchType
    assert repr(member) == text
    assert str(member) == text
    assert f"{member}" == text
    assert int(member) == value
    assert type(int(member)) is int


@pytest.mark.parametrize("name", ["Tag", "Attr", "Text"])
def test_member_is_one_object(name):
    assert getattr(SearchType, name) is getattr(SearchType, name)


EQUALITY = [
    (SearchType.Tag, SearchType.Tag, True),
    (SearchType.Attr, SearchType.Attr, True),
    (SearchType.Tag, SearchType.Attr, False),
    (SearchType.Text, SearchType.Attr, False),
    (SearchType.Tag, 0, True),
    (SearchType.Attr, 1, True),
    (SearchType.Text, 2, True),
    (SearchType.Tag, 1, False),
    (SearchType.Text, -2, False),
    (SearchType.Tag, False, True),
    (SearchType.Attr, True, True),
    (SearchType.Text, True, False),
    (SearchType.Attr, Index(1), True),
    (SearchType.Text, numpy.int64(2), True),
    (SearchType.Tag, "Tag", False),
    (SearchType.Tag, "0", False),
    (SearchType.Tag, 0.0, False),
    (SearchType.Tag, None, False),
    (SearchType.Tag, 2**70, False),
    (SearchType.Tag, -(2**70), False),
    (SearchType.Tag, BadIndex(), False),
    (SearchType.Tag, Node("Tag"), False),
    (0, SearchType.Tag, True),  # reflected
    (2, SearchType.Text, True),
    (1, SearchType.Text, False),
    ("Tag", SearchType.Tag, False),
]


@pytest.mark.parametrize("lhs, rhs, equal", EQUALITY)
def test_equality(lhs, rhs, equal):
    assert (lhs == rhs) is equal
    assert (lhs != rhs) is (not equal)


@pytest.mark.parametrize("other", ["Tag", 2**70, 0.5, None, BadIndex()])
def test_failed_conversion_gives_not_implemented(other):
    assert SearchType.Tag.__eq__(other) is NotImplemented
    assert SearchType.Tag.__ne__(other) is NotImplemented


@pytest.mark.parametrize(
    "compare",
    [
        lambda: SearchType.Tag < SearchType.Attr,
        lambda: SearchType.Tag <= SearchType.Tag,
        lambda: SearchType.Text > 0,
        lambda: SearchType.Text >= 2,
        lambda: 0 < SearchType.Attr,
        lambda: sorted([SearchType.Text, SearchType.Tag]),
    ],
)
def test_ordering_is_not_supported(compare):
    with pytest.raises(TypeError):
        compare()


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_returns_not_implemented(op):
    assert getattr(SearchType.Tag, op)(SearchType.Attr) is NotImplemented
    assert getattr(SearchType.Tag, op)(1) is NotImplemented


@pytest.mark.parametrize("member", [SearchType.Tag, SearchType.Attr, SearchType.Text])
def test_members_are_unhashable(member):
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        {member: 1}


# ----------------------------------------------------------------------------
# Generated trees against a model of the walk


def model_search(node, test, depth):
    found = [node] if test(node) else []
    if depth == 0:
        return found
    next_depth = None if depth is None else depth - 1
    for child in node.children:
        found += model_search(child, test, next_depth)
    return found


@given(trees, st.sampled_from(["", "a", "b", "0", "é"]), st.none() | st.integers(-3, 6))
def test_generated_search_matches_model(tree, value, depth):
    cases = [
        (SearchType.Tag, tree.search_by_name, lambda n: n.name == value),
        (SearchType.Attr, tree.search_by_attr, lambda n: value in n.attrs),
        (SearchType.Text, tree.search_by_text, lambda n: n.text == value),
    ]
    for by, method, test in cases:
        expected = model_search(tree, test, depth)
        assert same_nodes(method(value, depth), expected)
        assert same_nodes(tree.search(by, value, depth=depth), expected)
