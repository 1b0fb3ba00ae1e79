"""The three text forms of a node: repr, str and __to_string."""

import numpy
import pytest
from hypothesis import given
from hypothesis import strategies as st

from arbolite import Node
from helpers import check_error, reference_outline, to_string, trees

OUT_OF_RANGE = "out of range integral type conversion attempted"


def catalog():
    book = Node("book", {"id": "b1"}, None, "Tom")
    br = Node("br")
    return Node("catalog", {"lang": "en"}, [book, br])


CATALOG_LINES = [
    (0, "Name: catalog"),
    (0, "Attributes:"),
    (0, "lang: en"),
    (0, "Children:"),
    (2, "Name: book"),
    (2, "Attributes:"),
    (2, "id: b1"),
    (2, "Text: Tom"),
    (0, ""),
    (2, "Name: br"),
]


def lines(rows):
    return "".join(" " * blanks + content + "\n" for blanks, content in rows)


# ----------------------------------------------------------------------------
# The worked example


def test_worked_example_str():
    assert str(catalog()) == lines(CATALOG_LINES)
    assert str(catalog()) == (
        "Name: catalog\nAttributes:\nlang: en\nChildren:\n"
        "  Name: book\n  Attributes:\n  id: b1\n  Text: Tom\n\n  Name: br\n"
    )


def test_worked_example_width_3():
    expected = [
        (3, "Name: catalog"),
        (3, "Attributes:"),
        (3, "lang: en"),
        (3, "Children:"),
        (8, "Name: book"),
        (5, "Attributes:"),
        (5, "id: b1"),
        (5, "Text: Tom"),
        (0, ""),
        (8, "Name: br"),
    ]
    assert to_string(catalog(), 3) == lines(expected)
    assert to_string(catalog(), spacing=3) == lines(expected)


def test_worked_example_repr():
    assert repr(catalog()) == "Node(catalog)"


@pytest.mark.parametrize(
    "call",
    [
        lambda n: to_string(n),
        lambda n: to_string(n, None),
        lambda n: to_string(n, spacing=None),
        lambda n: to_string(n, 0),
        lambda n: to_string(n, False),
        lambda n: format(n),
        lambda n: f"{n}",
        lambda n: "%s" % (n,),
    ],
)
def test_width_zero_forms_equal_str(call):
    node = catalog()
    assert call(node) == str(node)


def test_print_writes_the_outline(capsys):
    print(catalog())
    assert capsys.readouterr().out == str(catalog()) + "\n"


# ----------------------------------------------------------------------------
# Single nodes


@pytest.mark.parametrize(
    "node, expected",
    [
        (Node("a"), "Name: a"),
        (Node(""), "Name: "),
        (Node("a", text=""), "Name: a\nText: "),
        (Node("a", text="t"), "Name: a\nText: t"),
        (Node("a", {}), "Name: a"),
        (Node("a", None, []), "Name: a"),
        (Node("a", {"k": ""}), "Name: a\nAttributes:\nk: "),
        (Node("a", {"k": "v"}, None, "t"), "Name: a\nAttributes:\nk: v\nText: t"),
        # line feeds inside names, values and text are copied as they are
        (Node("a\nb"), "Name: a\nb"),
        (Node("a", text="x\ny\n"), "Name: a\nText: x\ny\n"),
        (Node("a", {"k\n": "v\nw"}), "Name: a\nAttributes:\nk\n: v\nw"),
        # nothing is quoted or escaped
        (Node("<a>", {"&": "\"'"}, None, "\x00\t"), "Name: <a>\nAttributes:\n&: \"'\nText: \x00\t"),
        (Node("\U0001f600", text="é"), "Name: \U0001f600\nText: é"),
    ],
)
def test_single_node_outline(node, expected):
    assert str(node) == expected


def test_single_node_with_width():
    node = Node("a", {"k": "v"}, None, "")
    assert to_string(node, 4) == "    Name: a\n    Attributes:\n    k: v\n    Text: "


def test_continuation_lines_are_not_indented():
    child = Node("c", {"k": "1\n2"}, None, "x\ny")
    parent = Node("p", children=[child])
    assert str(parent) == "Name: p\nChildren:\n  Name: c\n  Attributes:\n  k: 1\n2\n  Text: x\ny\n"


@pytest.mark.parametrize(
    "name, expected",
    [("catalog", "Node(catalog)"), ("", "Node()"), ("a b\n'\"", "Node(a b\n'\")"), ("é\x00", "Node(é\x00)")],
)
def test_repr_is_the_bare_name(name, expected):
    node = Node(name, {"k": "v"}, [Node("c")], "text")
    assert repr(node) == expected


# ----------------------------------------------------------------------------
# Children


def test_shared_child_is_rendered_each_time():
    c = Node("c", text="t")
    p = Node("p", children=[c, c])
    assert str(p) == "Name: p\nChildren:\n  Name: c\n  Text: t\n\n  Name: c\n  Text: t\n"


def test_grandchild_lines_at_width_zero():
    tree = Node("r", children=[Node("c", text="t", children=[Node("g", text="u")])])
    assert str(tree) == lines(
        [
            (0, "Name: r"),
            (0, "Children:"),
            (2, "Name: c"),
            (2, "Text: t"),
            (2, "Children:"),
            (6, "Name: g"),  # the child's 2 blanks, then its own 4
            (4, "Text: u"),
            (0, ""),
        ]
    )


def test_width_255_wraps_children_to_1():
    tree = Node("r", None, [Node("c", {"k": "v"}, [Node("g")])], "t")
    assert to_string(tree, 255) == lines(
        [
            (255, "Name: r"),
            (255, "Text: t"),
            (255, "Children:"),
            (256, "Name: c"),  # the parent's 255 blanks, then the child's 1
            (1, "Attributes:"),
            (1, "k: v"),
            (1, "Children:"),
            (4, "Name: g"),  # 1 + 3
            (0, ""),
        ]
    )


def test_width_254_wraps_children_to_0():
    tree = Node("r", children=[Node("c", text="t")])
    assert to_string(tree, 254) == lines(
        [(254, "Name: r"), (254, "Children:"), (254, "Name: c"), (0, "Text: t")]
    )


def test_width_253_gives_children_255():
    tree = Node("r", children=[Node("c", text="t", children=[Node("g", text="u")])])
    assert to_string(tree, 253) == lines(
        [
            (253, "Name: r"),
            (253, "Children:"),
            (253 + 255, "Name: c"),
            (255, "Text: t"),
            (255, "Children:"),
            (256, "Name: g"),  # 255 + 1
            (1, "Text: u"),
            (0, ""),
        ]
    )


@pytest.mark.parametrize("depth", [1, 2, 5, 130, 300])
def test_chain_widths_wrap_modulo_256(depth):
    node = Node("leaf")
    for _ in range(depth):
        node = Node("n", children=[node])
    assert str(node) == reference_outline(node)
    # The deepest line: the parent's width plus the leaf's, each modulo 256.
    leaf_width = (2 * depth) % 256
    parent_width = (2 * (depth - 1)) % 256
    assert "\n" + " " * (parent_width + leaf_width) + "Name: leaf\n" in str(node)
    assert str(node).endswith("Name: leaf" + "\n" * depth)


# ----------------------------------------------------------------------------
# The spacing argument


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "spacing, width",
    [(True, 1), (1, 1), (255, 255), (numpy.int64(7), 7), (numpy.uint8(200), 200), (Index(9), 9)],
)
def test_spacing_accepts_integers(spacing, width):
    tree = Node("r", children=[Node("c")])
    assert to_string(tree, spacing) == reference_outline(tree, width)


@pytest.mark.parametrize("spacing", [256, -1, 1000, 2**40, 2**63 - 1, -(2**63), Index(-5), numpy.int64(300)])
def test_spacing_out_of_byte_range(spacing):
    with pytest.raises(OverflowError) as excinfo:
        to_string(Node("a"), spacing)
    check_error(excinfo, OUT_OF_RANGE, "spacing")


@pytest.mark.parametrize("spacing", [2**63, 2**64, -(2**63) - 1, 10**30])
def test_spacing_beyond_machine_word(spacing):
    # the interpreter's own overflow, whatever its wording
    with pytest.raises(OverflowError) as excinfo:
        to_string(Node("a"), spacing)
    check_error(excinfo, None, "spacing")


@pytest.mark.parametrize("spacing", [2.0, "3", b"3", [3], numpy.float64(2.0), 1j])
def test_spacing_wrong_type(spacing):
    with pytest.raises(TypeError) as excinfo:
        to_string(Node("a"), spacing)
    check_error(excinfo, None, "spacing")


# ----------------------------------------------------------------------------
# Generated trees


@given(trees)
def test_generated_outline_matches_model(tree):
    assert str(tree) == reference_outline(tree)
    assert repr(tree) == f"Node({tree.name})"


@given(trees, st.integers(0, 255))
def test_generated_outline_at_any_width(tree, width):
    assert to_string(tree, width) == reference_outline(tree, width)
