"""Tests of write_string and write_file: layout, escaping, argument
conversion, file handling and errors, round trips, deep trees and lock
release."""

import inspect
import os
import pathlib
import stat
import threading
import time

import numpy
import pytest
from hypothesis import given
from hypothesis import strategies as st

import arbolite
from arbolite import Node, read_string, write_file, write_string

from conftest import (
    assert_script_ok,
    check_error,
    check_os_error,
    mismatch,
    os_message,
    samples_inside_call,
    shape,
    xml_name_strategy,
)

DECL = '<?xml version="1.0" encoding="utf-8"?>\n'

UNICODE_WS = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def catalog():
    return Node(
        "catalog",
        {"lang": "en"},
        [
            Node("book", {"id": "b1"}, None, "Tom & Jerry's"),
            Node("note", None, [Node("br")], "a<b"),
            Node("empty"),
            Node("blank", None, None, ""),
        ],
    )


CATALOG_LINES = [
    '<catalog lang="en">',
    '  <book id="b1">Tom &amp; Jerry&apos;s</book>',
    "  <note>a&lt;b<br/>",
    "  </note>",
    "  <empty/>",
    "  <blank></blank>",
    "</catalog>",
]


def test_worked_example():
    tree = catalog()
    out = write_string(tree, 2)
    assert out == DECL + "\n".join(CATALOG_LINES)
    assert len(DECL.encode()) == 39
    assert out.count("\n") == 7
    assert not out.endswith("\n")
    assert write_string(tree, 2, False) == "\n".join(CATALOG_LINES)
    assert write_string(tree, 2, True) == out
    assert write_string(tree, indent=2, default_xml_def=True) == out


def test_worked_example_indent_zero_and_true():
    tree = catalog()
    flat = [line.lstrip(" ") for line in CATALOG_LINES]
    assert write_string(tree, 0) == DECL + "\n".join(flat)
    assert write_string(tree, 0, False) == "\n".join(flat)
    one = [line.replace("  ", " ", 1) if line.startswith("  ") else line for line in CATALOG_LINES]
    assert write_string(tree, True, False) == "\n".join(one)
    assert write_string(tree, False, False) == "\n".join(flat)
    assert write_string(tree, numpy.int64(2), False) == "\n".join(CATALOG_LINES)


def test_defaults():
    tree = catalog()
    four = DECL + "\n".join(line.replace("  ", "    ", 1) for line in CATALOG_LINES)
    assert write_string(tree) == four
    assert write_string(tree, None, None) == four
    assert write_string(tree, 4, True) == four
    assert write_string(node=tree, indent=None, default_xml_def=None) == four


LAYOUT_CASES = [
    (Node("a"), "<a/>"),
    (Node("a", {"k": "v"}), '<a k="v"/>'),
    (Node("a", None, None, ""), "<a></a>"),
    (Node("a", None, None, "t"), "<a>t</a>"),
    (Node("a", None, [Node("b")]), "<a>\n  <b/>\n</a>"),
    (Node("a", None, [Node("b", None, [Node("c", None, None, "x")])]), "<a>\n  <b>\n    <c>x</c>\n  </b>\n</a>"),
    (Node("a", None, [Node("b"), Node("c")], "t"), "<a>t<b/>\n  <c/>\n</a>"),
    (Node("a", None, [Node("b", None, None, "")], ""), "<a><b></b>\n</a>"),
    (Node("a", None, [Node("b", None, [Node("c")], "u")]), "<a>\n  <b>u<c/>\n  </b>\n</a>"),
    # Names are written as they are, even when that is not XML.
    (Node("a b<&>"), "<a b<&>/>"),
    (Node("x", {"a b": "1"}), '<x a b="1"/>'),
]


@pytest.mark.parametrize("node, expected", LAYOUT_CASES)
def test_layout(node, expected):
    assert write_string(node, 2, False) == expected


def test_shared_child_written_twice():
    child = Node("c", {"k": "v"}, None, "t")
    tree = Node("r", None, [child, child, Node("m", None, [child])])
    assert write_string(tree, 1, False) == (
        '<r>\n <c k="v">t</c>\n <c k="v">t</c>\n <m>\n  <c k="v">t</c>\n </m>\n</r>'
    )


ESCAPE_CASES = [
    # (raw, text form, attribute form)
    ("&", "&amp;", "&amp;"),
    ("<", "&lt;", "&lt;"),
    (">", "&gt;", "&gt;"),
    ('"', "&quot;", "&quot;"),
    ("'", "&apos;", "&apos;"),
    ("\t", "\t", "&#9;"),
    ("\r", "\r", "&#13;"),
    ("\n", "\n", "&#10;"),
    ("\r\n", "\r\n", "&#13;&#10;"),
    ("a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&apos;f", "a&amp;b&lt;c&gt;d&quot;e&apos;f"),
    ("&amp;", "&amp;amp;", "&amp;amp;"),
    ("\x00\x01\x0b\x1b\x7f", "\x00\x01\x0b\x1b\x7f", "\x00\x01\x0b\x1b\x7f"),
    ("\x85\xa0\u2028\ufffe\uffff", "\x85\xa0\u2028\ufffe\uffff", "\x85\xa0\u2028\ufffe\uffff"),
    ("\u00e9\u20ac\U0001f600", "\u00e9\u20ac\U0001f600", "\u00e9\u20ac\U0001f600"),
    (" ", " ", " "),
    ("]]>", "]]&gt;", "]]&gt;"),
    ("plain", "plain", "plain"),
    ("&" * 5000, "&amp;" * 5000, "&amp;" * 5000),
]


@pytest.mark.parametrize("raw, text_form, attr_form", ESCAPE_CASES)
def test_escaping(raw, text_form, attr_form):
    assert write_string(Node("e", None, None, raw), 0, False) == f"<e>{text_form}</e>"
    assert write_string(Node("e", {"k": raw}), 0, False) == f'<e k="{attr_form}"/>'


def test_empty_vs_absent_text():
    assert write_string(Node("e", {"k": ""}, None, ""), 0, False) == '<e k=""></e>'
    assert write_string(Node("e", {"k": ""}, None, None), 0, False) == '<e k=""/>'


def test_attributes_follow_map_order():
    attrs = {f"a{i}": str(i) for i in range(20)}
    node = Node("e", attrs)
    out = write_string(node, 0, False)
    listed = "".join(f' {k}="{v}"' for k, v in node.attrs.items())
    assert out == f"<e{listed}/>"
    assert write_string(node, 0, False) == out


# ----------------------------------------------------------------------------
# Argument conversion and binding


class FakeNumpyBool:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__qualname__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


@pytest.mark.parametrize(
    "flag, with_decl",
    [
        (numpy.bool_(True), True),
        (numpy.bool_(False), False),
        (FakeNumpyBool(True), True),
        (FakeNumpyBool(False), False),
        (True, True),
        (False, False),
        (None, True),
    ],
)
def test_default_xml_def_values(flag, with_decl, tmp_path):
    node = Node("r", None, None, "t")
    expected = (DECL if with_decl else "") + "<r>t</r>"
    assert write_string(node, 4, flag) == expected
    path = tmp_path / "out.xml"
    write_file(node, str(path), 4, flag)
    assert path.read_bytes() == expected.encode()


@pytest.mark.parametrize(
    "flag, type_name",
    [(1, "int"), (0, "int"), ("x", "str"), (1.0, "float"), (numpy.int64(1), "int64"), ([], "list")],
)
def test_default_xml_def_refused(flag, type_name, tmp_path):
    with pytest.raises(TypeError) as excinfo:
        write_string(Node("r"), 4, flag)
    check_error(excinfo, mismatch(type_name, "bool"), "default_xml_def")
    path = tmp_path / "out.xml"
    with pytest.raises(TypeError) as excinfo:
        write_file(Node("r"), str(path), 4, flag)
    check_error(excinfo, mismatch(type_name, "bool"), "default_xml_def")
    assert not path.exists()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_indent_index_protocol():
    tree = Node("a", None, [Node("b")])
    assert write_string(tree, Index(3), False) == "<a>\n   <b/>\n</a>"


@pytest.mark.parametrize(
    "indent, exc_type, message",
    [
        (-1, OverflowError, None),
        (-(2**70), OverflowError, None),
        (2**64, OverflowError, None),
        (Index(-5), OverflowError, None),
        (1.0, TypeError, None),
        (2.5, TypeError, None),
        ("2", TypeError, None),
        (numpy.float64(2.0), TypeError, None),
    ],
)
def test_indent_refused(indent, exc_type, message, tmp_path):
    with pytest.raises(exc_type) as excinfo:
        write_string(Node("r"), indent)
    check_error(excinfo, message, "indent")
    new = tmp_path / "new.xml"
    with pytest.raises(exc_type) as excinfo:
        write_file(Node("r"), str(new), indent)
    check_error(excinfo, message, "indent")
    assert not new.exists()
    old = tmp_path / "old.xml"
    old.write_bytes(b"keep me")
    with pytest.raises(exc_type):
        write_file(Node("r"), str(old), indent)
    assert old.read_bytes() == b"keep me"


@pytest.mark.parametrize("value, type_name", [(5, "int"), ("r", "str"), ({"name": "r"}, "dict"), (None, None)])
def test_node_refused(value, type_name, tmp_path):
    with pytest.raises(TypeError) as excinfo:
        write_string(value)
    check_error(excinfo, mismatch(type_name, "Node"), "node")
    path = tmp_path / "x.xml"
    with pytest.raises(TypeError) as excinfo:
        write_file(value, str(path))
    check_error(excinfo, mismatch(type_name, "Node"), "node")
    assert not path.exists()


@pytest.mark.parametrize("path_value", ["pathlib", b"/tmp/x.xml", 3, None])
def test_file_path_refused(path_value, tmp_path):
    if path_value == "pathlib":
        path_value = tmp_path / "p.xml"
    type_name = None if path_value is None else type(path_value).__qualname__
    with pytest.raises(TypeError) as excinfo:
        write_file(Node("r"), path_value)
    check_error(excinfo, mismatch(type_name, "str"), "file_path")
    assert not (tmp_path / "p.xml").exists()


def test_conversion_order():
    # node is converted first, then file_path, indent, default_xml_def.
    with pytest.raises(TypeError) as excinfo:
        write_file(5, pathlib.Path("x"), -1, "x")
    check_error(excinfo, mismatch("int", "Node"), "node")
    with pytest.raises(TypeError) as excinfo:
        write_file(Node("r"), pathlib.Path("x"), -1, "x")
    check_error(excinfo, mismatch("PosixPath", "str"), "file_path")
    with pytest.raises(OverflowError) as excinfo:
        write_string(Node("r"), -1, "x")
    check_error(excinfo, None, "indent")


def test_lone_surrogate_path(tmp_path):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        write_file(Node("r"), str(tmp_path) + "/\udc80.xml")
    check_error(excinfo, None, "file_path")
    assert list(tmp_path.iterdir()) == []


BINDING_CASES = [
    (write_string, (), {}, "write_string() missing 1 required positional argument: 'node'"),
    (write_string, (Node("r"), 1, True, 4), {}, "write_string() takes from 1 to 3 positional arguments but 4 were given"),
    (write_string, (Node("r"),), {"indnt": 1}, "write_string() got an unexpected keyword argument 'indnt'"),
    (write_string, (Node("r"), 1), {"indent": 2}, "write_string() got multiple values for argument 'indent'"),
    (write_file, (), {}, "write_file() missing 2 required positional arguments: 'node' and 'file_path'"),
    (write_file, (Node("r"),), {}, "write_file() missing 1 required positional argument: 'file_path'"),
    (write_file, (Node("r"), "p", 1, True, 5), {}, "write_file() takes from 2 to 4 positional arguments but 5 were given"),
    (write_file, (Node("r"), "p"), {"node": Node("s")}, "write_file() got multiple values for argument 'node'"),
]


@pytest.mark.parametrize("func, args, kwargs, message", BINDING_CASES)
def test_binding_messages(func, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        func(*args, **kwargs)
    check_error(excinfo, message)
    assert not os.path.exists("p")


@pytest.mark.parametrize(
    "func, signature",
    [
        (write_string, "(node, indent=None, default_xml_def=None)"),
        (write_file, "(node, file_path, indent=None, default_xml_def=None)"),
    ],
)
def test_function_objects(func, signature):
    assert func.__doc__ is None
    assert str(inspect.signature(func)) == signature
    assert func.__module__ == "arbolite"
    assert getattr(arbolite, func.__name__) is func


@pytest.mark.parametrize(
    "text",
    [
        "a" * 70000,
        "caf\u00e9 " * 20000,  # Latin-1
        "\u65e5\u672c " * 30000,  # two-byte units
        "x\U0001f600\u00e9\u4e2d" * 20000,  # four-byte units, every length of sequence
        "a" * 70000 + "\U0001f600",  # the widest character last
    ],
    ids=["ascii", "latin1", "ucs2", "ucs4", "ucs4-last"],
)
def test_long_output_is_the_canonical_str(text):
    # Long output is decoded natively into the narrowest storage; a str in
    # any other would compare unequal to the same characters built here.
    expected = "<r>" + text + "</r>"
    out = write_string(Node("r", None, None, text), 0, False)
    assert out == expected
    assert hash(out) == hash(expected)
    assert out.encode().decode() == out


def test_output_of_tens_of_megabytes():
    # Mostly indentation, written straight into a str whose pages are
    # mapped ahead of the writing.
    depth, indent = 320, 400
    node = Node("x")
    for _ in range(depth):
        node = Node("e", None, [node])
    out = write_string(node, indent, False)
    lines = out.split("\n")
    assert len(out) > 32 << 20
    assert len(lines) == 2 * depth + 1
    assert lines[depth] == " " * (indent * depth) + "<x/>"
    assert lines[-1] == "</e>" and lines[depth + 1] == " " * (indent * (depth - 1)) + "</e>"


# ----------------------------------------------------------------------------
# write_file


def _chain(depth, text, attrs):
    node = Node("leaf", attrs, None, text)
    for level in range(depth):
        node = Node(f"l{level}", attrs if level % 7 == 0 else None, [node, Node("s")], text if level % 3 else None)
    return node


def big_tree(n=2000):
    return Node(
        "root",
        {"k": "v&"},
        [Node("item", {"i": str(i), "q": "\t\"'"}, [Node("sub")] * (i % 3), f"text {i} <&>" * (i % 4)) for i in range(n)],
        "top",
    )


@pytest.mark.parametrize(
    "node",
    [
        Node("r"),
        catalog(),
        big_tree(),
        Node("r", None, None, "x" * 8192),
        Node("r", None, None, "\u00e9" * 10000),
        Node("r", {"a": "&" * 3000}, None, "<" * 9000),
        Node("r", None, [Node("c", None, None, "y" * 20000), Node("d", None, None, "z" * 100)]),
        # Mostly indentation: written by measuring first, ASCII straight into
        # the str and the rest through an exact buffer.
        _chain(60, "x", {"k": "<v>"}),
        _chain(60, "\u00e9\U0001f600", {"\u00e9": "\u20ac"}),
        # The way is chosen from the first 8192 elements, which here are
        # flat or deep unlike the rest.
        Node("r", None, [Node("f")] * 9000 + [_chain(300, "x", None)]),
        Node("r", None, [_chain(300, "x", None)] + [Node("f", None, None, "t" * 50)] * 9000),
    ],
    ids=["tiny", "catalog", "big", "run8192", "multibyte", "escaped-runs", "long-then-short", "deep-ascii",
         "deep-multibyte", "flat-then-deep", "deep-then-flat"],
)
@pytest.mark.parametrize("indent, decl", [(None, None), (0, False), (3, True), (1000, False)])
def test_write_file_equals_write_string(node, indent, decl, tmp_path):
    path = tmp_path / "out.xml"
    write_file(node, str(path), indent, decl)
    assert path.read_bytes() == write_string(node, indent, decl).encode("utf-8")


@pytest.mark.parametrize("size", [8100, 8152, 8153, 8154, 8191, 8192, 8193, 16383, 16384, 16385, 70000])
@pytest.mark.parametrize("decl", [True, False])
def test_write_file_buffer_boundaries(size, decl, tmp_path):
    # Text runs around the buffer size, before and after other pieces.
    node = Node("r", {"a": "b" * (size // 2)}, [Node("c", None, None, "t" * size), Node("d")], "s" * size)
    path = tmp_path / "out.xml"
    write_file(node, str(path), 2, decl)
    assert path.read_bytes() == write_string(node, 2, decl).encode("utf-8")


def test_write_file_returns_none(tmp_path):
    assert write_file(Node("r"), str(tmp_path / "a.xml")) is None
    assert write_file(node=Node("r"), file_path=str(tmp_path / "b.xml"), indent=0, default_xml_def=False) is None
    assert (tmp_path / "b.xml").read_text() == "<r/>"


def test_write_file_replaces_existing_and_keeps_mode(tmp_path):
    path = tmp_path / "exists.xml"
    path.write_bytes(b"x" * 100_000)
    os.chmod(path, 0o640)
    write_file(Node("r", None, None, "t"), str(path), 0, False)
    assert path.read_bytes() == b"<r>t</r>"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640


@pytest.mark.parametrize("umask", [0o022, 0o027, 0o000, 0o777])
def test_write_file_new_file_mode(umask, tmp_path):
    path = tmp_path / "new.xml"
    old = os.umask(umask)
    try:
        write_file(Node("r"), str(path))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~umask
    os.chmod(path, 0o600)
    assert path.read_bytes() == write_string(Node("r")).encode()


def test_write_file_relative_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_file(Node("r"), "rel.xml", 0, False)
    assert (tmp_path / "rel.xml").read_text() == "<r/>"


def test_write_file_directory(tmp_path):
    with pytest.raises(IsADirectoryError) as excinfo:
        write_file(Node("r"), str(tmp_path))
    check_os_error(excinfo.value, os_message(21))


@pytest.mark.parametrize("relative", ["missing/out.xml", ""])
def test_write_file_not_found(relative, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError) as excinfo:
        write_file(Node("r"), relative)
    check_os_error(excinfo.value, os_message(2))
    assert list(tmp_path.iterdir()) == []


def test_write_file_not_a_directory(tmp_path):
    (tmp_path / "f").write_text("x")
    with pytest.raises(NotADirectoryError) as excinfo:
        write_file(Node("r"), str(tmp_path / "f" / "out.xml"))
    check_os_error(excinfo.value, os_message(20))


@pytest.mark.parametrize("suffix", ["a\0b.xml", "\0", "out.xml\0"])
def test_write_file_nul_in_path(suffix, tmp_path):
    with pytest.raises(OSError) as excinfo:
        write_file(Node("r"), str(tmp_path) + "/" + suffix)
    assert type(excinfo.value) is OSError
    check_os_error(excinfo.value, "file name contained an unexpected NUL byte")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("node", [Node("r"), big_tree(), Node("r", None, None, "x" * 50000)], ids=["small", "big", "direct"])
def test_write_file_disk_full(node):
    with pytest.raises(OSError) as excinfo:
        write_file(node, "/dev/full")
    assert type(excinfo.value) is OSError
    check_os_error(excinfo.value, "No space left on device (os error 28)")


# ----------------------------------------------------------------------------
# Round trip through the reader

xml_names = xml_name_strategy(extra_chars=":")
any_text = st.text(st.characters(codec="utf-8"), max_size=10) | st.sampled_from(
    ["&<>\"'", "\r\n\t", " a ", "\u3000b\u3000", "]]>", "&amp;"]
)
# Texts that survive trimming unchanged, and are never empty.
trimmed_texts = any_text.map(lambda s: s.strip(UNICODE_WS)).filter(bool)
node_texts = st.none() | trimmed_texts


def _branch(children):
    return st.builds(
        lambda name, attrs, kids, text: Node(name, attrs, kids, text),
        xml_names,
        st.dictionaries(xml_names, any_text, max_size=3),
        st.lists(children, max_size=4),
        node_texts,
    )


xml_trees = st.recursive(
    st.builds(Node, xml_names, st.dictionaries(xml_names, any_text, max_size=3), st.none(), node_texts),
    _branch,
    max_leaves=12,
)


@given(xml_trees, st.none() | st.integers(0, 5), st.none() | st.booleans())
def test_round_trip(tree, indent, decl):
    text = write_string(tree, indent, decl)
    assert shape(read_string(text, tree.name)) == shape(tree)


# ----------------------------------------------------------------------------
# Deep trees and huge indents


def test_million_deep_tree():
    assert_script_ok(
        """
        import arbolite
        m = 1_000_001
        node = arbolite.Node("a")
        for _ in range(m - 1):
            node = arbolite.Node("a", None, [node])
        out = arbolite.write_string(node, 0, False)
        expected = "<a>" + "\\n<a>" * (m - 2) + "\\n<a/>" + "\\n</a>" * (m - 1)
        print(out == expected)
        out = None
        arbolite.write_file(node, "/dev/null", 0)
        del node
        print("done")
        """,
        "True\ndone\n",
    )


def test_huge_indent_does_not_end_process():
    assert_script_ok(
        """
        import arbolite
        tree = arbolite.Node("a", None, [arbolite.Node("b")])
        for indent in (2**62, 2**63 - 1):
            try:
                arbolite.write_string(tree, indent, False)
            except (MemoryError, OverflowError) as exc:
                print(type(exc).__name__ in ("MemoryError", "OverflowError"))
            else:
                print("no error")
        print(arbolite.write_string(tree, 1, False))
        """,
        "True\nTrue\n<a>\n <b/>\n</a>\n",
    )


# ----------------------------------------------------------------------------
# The interpreter lock is released while writing


def _wide_indented_tree():
    # A small tree whose output is about 100 MB of indentation, so nearly all
    # the work happens in the walk.
    node = Node("leaf", None, None, "t")
    for _ in range(60):
        node = Node("n", None, [node, Node("x")])
    return node


def test_lock_released_during_write_string():
    tree = _wide_indented_tree()
    inside, duration = samples_inside_call(lambda: write_string(tree, 20000, False))
    assert inside >= 1, duration


def test_lock_released_during_write_file(tmp_path):
    tree = _wide_indented_tree()
    path = str(tmp_path / "big.xml")
    inside, duration = samples_inside_call(lambda: write_file(tree, path, 20000, False))
    assert inside >= 1, duration
    assert os.path.getsize(path) > 50_000_000
