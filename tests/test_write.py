"""Tests of write_string and write_file: layout, escaping, argument
conversion, file handling and errors, round trips and deep trees. Argument
binding is tested in test_binding.py, lock release in test_threads.py."""

import errno
import inspect
import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import arbolite
from arbolite import Node, read_string, write_file, write_string

from helpers import (
    assert_script_ok,
    check_error,
    check_os_error,
    mismatch,
    os_message,
    run_python,
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
    # Names are written as they are: these read back as the same names.
    (Node('a<&"', {"x<&/": "1"}), '<a<&" x<&/="1"/>'),
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
# Argument conversion


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


# Long texts and values of every width, with the characters that are
# escaped: write_string measures such trees first and writes them decoded
# straight into the str. The file writer's UTF-8 bytes are the reference.
_long_text_pieces = st.sampled_from(
    ["lorem ", "ipsum ", "&", "<", ">", '"', "'", "\t", "\r\n", "caf\u00e9 ", "\u00ff", "\u0100",
     "\u65e5\u672c ", "\uffff", "\U0001f30d\U0001f680", "\U0010ffff", "\x01", "\x00"]
) | st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=3)
# A few drawn pieces, repeated: long texts from little drawn data.
long_texts = st.builds(lambda pieces, times: "".join(pieces) * times,
                       st.lists(_long_text_pieces, min_size=4, max_size=30), st.integers(20, 60))


def _file_output(node, indent, decl):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "out.xml")
        write_file(node, path, indent, decl)
        with open(path, "rb") as f:
            return f.read().decode("utf-8")


@settings(max_examples=40, deadline=None)
@given(
    st.lists(st.tuples(long_texts, st.dictionaries(xml_names, long_texts, max_size=2)), min_size=1, max_size=6),
    st.integers(0, 4),
    st.booleans(),
)
def test_long_texts_written_like_the_file(children, indent, decl):
    root = Node("r", None, [Node("p", attrs, [Node("em", None, None, text[:20])], text) for text, attrs in children])
    out = write_string(root, indent, decl)
    expected = _file_output(root, indent, decl)
    assert out == expected
    assert hash(out) == hash(expected)  # the same storage width too


@pytest.mark.parametrize(
    "piece",
    ["caf\u00e9 & na\u00efve ", "\u65e5\u672c\u8a9e <\u6587\u7ae0> ", "x\U0001f600\u00e9\u4e2d 'q' "],
    ids=["latin1", "ucs2", "ucs4"],
)
def test_output_beyond_the_caches(piece):
    # More than 4 MB of code units: written through a staging buffer, texts
    # longer than it included.
    root = Node("r", None, [Node("p", {"k": piece * 3}, None, piece * (1 + i % 2000)) for i in range(2000)])
    out = write_string(root, 1, True)
    assert len(out) > 4_000_000
    expected = _file_output(root, 1, True)
    assert out == expected
    assert hash(out) == hash(expected)


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
# Names that would not read back are refused


def _nested(name):
    return Node("r", None, [Node("ok"), Node(name)])


REFUSED_NAMES = [
    # (tree, message)
    (Node('admin role="root"'), "invalid element name 'admin role=\"root\"'"),
    (
        Node.from_dict({"name": "r", "attrs": {'x="1"><inject evil="yes"/></r><y z': "v"}, "children": []}),
        "invalid attribute name 'x=\"1\"><inject evil=\"yes\"/></r><y z'",
    ),
    (Node(""), "invalid element name ''"),
    (_nested("a b"), "invalid element name 'a b'"),
    (_nested("x/><y"), "invalid element name 'x/><y'"),
    (_nested("a\tb"), "invalid element name 'a\tb'"),
    (_nested("!DOCTYPE"), "invalid element name '!DOCTYPE'"),
    (_nested("?pi"), "invalid element name '?pi'"),
    (_nested("a>"), "invalid element name 'a>'"),
    (Node("r", {"": "v"}), "invalid attribute name ''"),
    (Node("r", {"a=b": "v"}), "invalid attribute name 'a=b'"),
    (Node("r", {"it's": "v"}), "invalid attribute name 'it's'"),
    (Node("r", {"a\nb": "v"}), "invalid attribute name 'a\nb'"),
    (Node("r", None, [Node("c", {"x>": "v"}, None, "t")]), "invalid attribute name 'x>'"),
    # The first bad name in document order.
    (Node("r", {"k k": "v"}, [Node("c d")]), "invalid attribute name 'k k'"),
    (Node("a b", {"k k": "v"}), "invalid element name 'a b'"),
]


@pytest.mark.parametrize("tree, message", REFUSED_NAMES)
def test_names_that_would_not_read_back_are_refused(tree, message, tmp_path):
    # The node itself stays as it is.
    assert str(tree)
    with pytest.raises(ValueError) as excinfo:
        write_string(tree)
    check_error(excinfo, message)
    with pytest.raises(ValueError) as excinfo:
        write_string(tree, 2**62, False)
    check_error(excinfo, message)
    # write_file refuses before the file is touched.
    old = tmp_path / "old.xml"
    old.write_bytes(b"keep me")
    new = tmp_path / "new.xml"
    for path in (old, new):
        with pytest.raises(ValueError) as excinfo:
            write_file(tree, str(path))
        check_error(excinfo, message)
    assert old.read_bytes() == b"keep me"
    assert not new.exists()


# Characters around the reader's name boundaries, and anything else.
_name_chars = st.sampled_from(list(" \t\n\x0b\x0c\r/<>!?=\"'&:-a\x00\x85\xa0\u3000\u00e9")) | st.characters(
    codec="utf-8"
)
_odd_names = st.text(_name_chars, max_size=4)
# Many quoted values before the name make the reader pick its quote-aware index.
_QUOTED = {f"q{i}": "1" for i in range(16)}


def _raw(node):
    """The output with names written as they are, whatever they hold."""
    out = ["<", node.name]
    for key, value in node.attrs.items():
        out += [" ", key, '="', value, '"']
    if not node.children and node.text is None:
        return "".join(out) + "/>"
    out += [">", node.text or ""]
    out += ["\n" + _raw(child) for child in node.children]
    return "".join(out + ["\n</", node.name, ">"])


def _name_forms(name, as_element, quoted):
    context = _QUOTED if quoted else None
    if as_element:
        return [
            Node("r", context, [Node(name)]),
            Node("r", context, [Node(name, {"k": "v"}, [Node("c")], "t")]),
            Node("r", context, [Node(name, None, None, "t")]),
        ]
    return [Node("r", {**(context or {}), name: "v"}), Node("r", {name: "v", "zz9": "w"}, [Node("c")])]


def _reads_back(tree, text):
    try:
        return shape(read_string(text, "r")) == shape(tree)
    except ValueError:
        return False


@given(_odd_names, st.booleans(), st.booleans())
def test_writer_accepts_exactly_the_names_that_read_back(name, as_element, quoted):
    forms = _name_forms(name, as_element, quoted)
    accepted = []
    for tree in forms:
        try:
            text = write_string(tree, 1, False)
        except ValueError as exc:
            kind = "element" if as_element else "attribute"
            assert str(exc) == f"invalid {kind} name '{name}'"
            accepted.append(False)
        else:
            # What the writer accepts reads back as the same name.
            assert shape(read_string(text, "r")) == shape(tree)
            accepted.append(True)
    assert len(set(accepted)) == 1
    if not accepted[0]:
        # What it refuses would not have read back as written.
        assert not all(_reads_back(tree, _raw(tree)) for tree in forms)


# ----------------------------------------------------------------------------
# Output sizes that cannot be written are refused before the file is touched

_TWO_LEVELS = 'Node("a", None, [Node("b")])'
_FOUR_LEVELS = 'Node("a", None, [Node("b", None, [Node("c", None, [Node("d")])])])'
_OVERFLOW_AT_DEPTH_3 = 'Node("a", None, [Node("b", None, [Node("c", None, [Node("d"), Node("e")], "t")])])'

# Trees that escaping makes four to six times as long: each within 1 MiB as
# its raw texts and values count, beyond it as written.
_ESCAPE_HEAVY = [
    'Node("r", None, None, "&" * 300_000)',
    'Node("r", None, None, "<>" * 150_000)',
    """Node("r", {"d": '"' * 100_000, "s": "'" * 100_000})""",
    'Node("r", {"t": "\\t" * 100_000, "n": "\\n" * 100_000, "c": "\\r" * 100_000})',
    'Node("r", None, [Node("i", {"v": "\\"&"}, None, "<&>") for _ in range(30_000)])',
]

_EIGHT_MIB = 8 << 20


def _byte_short(size):
    return size - 1


def _exactly(size):
    return size


# (tree, indent, file size limit (or a function of the output's size),
# expected: exception class name and message; None for any refusal with
# ENOSPC or EFBIG, which depends on the file system)
SIZE_CASES = [
    (_TWO_LEVELS, 2**60, _EIGHT_MIB, None),
    (_FOUR_LEVELS, 2**62, _EIGHT_MIB, ("OSError", os_message(errno.EFBIG))),
    (_TWO_LEVELS, 2**64 - 1, _EIGHT_MIB, ("OSError", os_message(errno.EFBIG))),
    (
        _OVERFLOW_AT_DEPTH_3,
        2**63,
        _EIGHT_MIB,
        ("OverflowError", "indentation too deep: indent times depth does not fit in a size"),
    ),
    (
        _FOUR_LEVELS,
        2**63,
        _EIGHT_MIB,
        ("OverflowError", "indentation too deep: indent times depth does not fit in a size"),
    ),
    # Within the free space, beyond the file size limit of the process.
    (_TWO_LEVELS, 20_000_000, _EIGHT_MIB, ("OSError", os_message(errno.EFBIG))),
    # Beyond the limit only once escaped, by far and by a byte.
    *[(tree, 4, 1 << 20, ("OSError", os_message(errno.EFBIG))) for tree in _ESCAPE_HEAVY],
    *[(tree, 4, _byte_short, ("OSError", os_message(errno.EFBIG))) for tree in _ESCAPE_HEAVY],
]

# SIGXFSZ ignored (as the interpreter sets it) or at its default action,
# which ends the process at a write past the limit.
_SIGXFSZ = ["SIG_IGN", "SIG_DFL"]

_SIZE_SCRIPT = """
    import os, resource, signal, sys
    from arbolite import Node, write_file, write_string
    # A bound on what reaches the disk whatever happens.
    resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
    signal.signal(signal.SIGXFSZ, signal.{sigxfsz})
    tree = {tree}
    for path in {paths!r}:
        try:
            write_file(tree, path, {indent})
        except Exception as exc:
            print(type(exc).__name__, exc, sep="|")
        else:
            # (Compared here: another process may order the attributes
            # otherwise.)
            whole = not os.path.isfile(path) or open(path, "rb").read() == write_string(tree, {indent}).encode()
            print("written" if whole else "not the output", os.path.getsize(path), sep="|")
"""


def _output(tree, indent):
    return write_string(eval(tree, {"Node": Node}), indent)


def _run_bounded(tree, indent, paths, limit=_EIGHT_MIB, sigxfsz="SIG_IGN"):
    if callable(limit):
        limit = limit(len(_output(tree, indent).encode()))
    code = _SIZE_SCRIPT.format(tree=tree, indent=indent, paths=[str(p) for p in paths], limit=limit, sigxfsz=sigxfsz)
    proc = run_python(code, timeout=60)
    # (A process ended by SIGXFSZ returns -SIGXFSZ.)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    return [tuple(line.split("|", 1)) for line in proc.stdout.splitlines()]


@pytest.mark.parametrize("sigxfsz", _SIGXFSZ)
@pytest.mark.parametrize("tree, indent, limit, expected", SIZE_CASES)
def test_unwritable_sizes_are_refused_before_the_file_is_touched(tree, indent, limit, expected, sigxfsz, tmp_path):
    old = tmp_path / "old.xml"
    old.write_bytes(b"precious")
    new = tmp_path / "new.xml"
    results = _run_bounded(tree, indent, [old, new], limit, sigxfsz)
    allowed = [("OSError", os_message(errno.ENOSPC)), ("OSError", os_message(errno.EFBIG))]
    for result in results:
        assert result in ([expected] if expected else allowed)
    assert len(results) == 2
    assert old.read_bytes() == b"precious"
    assert not new.exists()


def _tmpfs_dir():
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                fields = line.split()
                if fields[1] == "/dev/shm" and fields[2] == "tmpfs" and os.access("/dev/shm", os.W_OK):
                    return pathlib.Path("/dev/shm")
    except OSError:
        pass
    return None


def test_size_beyond_free_space_is_refused_with_enospc():
    shm = _tmpfs_dir()
    if shm is None:
        pytest.skip("needs a writable tmpfs at /dev/shm")
    free = os.statvfs(shm)
    room = free.f_bfree * free.f_frsize
    if room == 0:
        pytest.skip("tmpfs without a size")
    path = shm / f"arbolite-enospc-{os.getpid()}.xml"
    try:
        # Refused by the free space before the file size limit (which also
        # bounds what a wrong answer could write) is looked at.
        results = _run_bounded(_TWO_LEVELS, room + 10**6, [path])
        assert results == [("OSError", os_message(errno.ENOSPC))]
        assert not path.exists()
    finally:
        path.unlink(missing_ok=True)


# A folder with a tmpfs of 1 MiB mounted on it, in a mount namespace of the
# script's own: the mount ends with the process, however that ends.
_MOUNT_SMALL_TMPFS = 'mount -t tmpfs -o size=1m arbolite "$1" || exit 97; shift; exec "$@"'


@pytest.fixture(scope="module")
def on_small_tmpfs():
    """Runs a script with a small tmpfs mounted at a folder, its argument;
    skips where no mount namespace can be made."""
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs unshare and mount")
    # As any user where user namespaces are allowed, or as root.
    for unshare in (["unshare", "-rm"], ["unshare", "-m"]):
        with tempfile.TemporaryDirectory() as probe:
            cmd = [*unshare, "sh", "-c", _MOUNT_SMALL_TMPFS, "sh", probe, "true"]
            if subprocess.run(cmd, capture_output=True, timeout=60).returncode == 0:
                break
    else:
        pytest.skip("cannot mount a tmpfs in a namespace of its own here")

    def run(folder, code):
        script = textwrap.dedent(code)
        cmd = [*unshare, "sh", "-c", _MOUNT_SMALL_TMPFS, "sh", folder, sys.executable, "-c", script, folder]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=60)

    return run


_SMALL_TMPFS_SCRIPT = """
    import json, os, resource, sys
    from arbolite import Node, write_file, write_string
    # A bound on what reaches the disk whatever happens.
    resource.setrlimit(resource.RLIMIT_FSIZE, (8 << 20, 8 << 20))
    folder = sys.argv[1]
    old = os.path.join(folder, "old.xml")
    with open(old, "w") as f:
        f.write("precious")
    target = old if {replace} else os.path.join(folder, "new.xml")

    def make(specials, plain):
        return {tree}

    # The output is {beyond} bytes more than the room: the free blocks, and
    # those of the file replaced.
    before = os.statvfs(folder)
    room = before.f_bfree * before.f_frsize + ({replace} and os.stat(old).st_blocks * 512)
    base = len(write_string(make(0, 0)).encode())
    each = len(write_string(make(1, 0)).encode()) - base
    tree = make(*divmod(room + {beyond} - base, each))
    try:
        write_file(tree, target)
    except OSError as exc:
        outcome = str(exc)
    else:
        outcome = "written" if open(target, "rb").read() == write_string(tree).encode() else "not the output"
    print(json.dumps({{
        "outcome": outcome,
        "old kept": open(old, "rb").read() == b"precious",
        "new made": os.path.exists(os.path.join(folder, "new.xml")),
        "blocks freed": os.statvfs(folder).f_bfree - before.f_bfree,
    }}))
"""


@pytest.mark.parametrize(
    "tree",
    [
        'Node("r", None, None, "&" * specials + "x" * plain)',
        """Node("r", {"v": '"' * specials + "x" * plain})""",
        'Node("r", {"v": "\\n" * specials + "x" * plain})',
    ],
)
@pytest.mark.parametrize("replace", [True, False])
@pytest.mark.parametrize("beyond", [0, 1, 100_000])
def test_output_escaped_past_the_free_space_is_refused(on_small_tmpfs, tree, replace, beyond, tmp_path):
    code = _SMALL_TMPFS_SCRIPT.format(tree=tree, replace=replace, beyond=beyond)
    proc = on_small_tmpfs(str(tmp_path), code)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    got = json.loads(proc.stdout)
    if beyond:
        # Refused before the file is touched: nothing written, nothing freed.
        assert got == {"outcome": os_message(errno.ENOSPC), "old kept": True, "new made": False, "blocks freed": 0}
    else:
        assert got["outcome"] == "written"
        assert got["old kept"] != replace and got["new made"] != replace
    assert not any(tmp_path.iterdir())


@pytest.mark.parametrize("sigxfsz", _SIGXFSZ)
@pytest.mark.parametrize(
    "tree, indent, limit",
    [
        (_TWO_LEVELS, 99_000, 100_000),  # just under the limit
        (_TWO_LEVELS, 0, _EIGHT_MIB),
        *[(tree, 4, _exactly) for tree in _ESCAPE_HEAVY],
    ],
)
def test_sizes_within_the_limits_are_written(tree, indent, limit, sigxfsz, tmp_path):
    old = tmp_path / "old.xml"
    old.write_bytes(b"precious")
    new = tmp_path / "new.xml"
    results = _run_bounded(tree, indent, [old, new], limit, sigxfsz)
    assert results == [("written", str(len(_output(tree, indent).encode())))] * 2


def test_devices_are_not_held_to_the_size_limit():
    assert _run_bounded(_TWO_LEVELS, 200_000, ["/dev/null"], limit=100_000) == [("written", "0")]


# ----------------------------------------------------------------------------
# A failing close is reported

_CLOSE_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* close() of the file named by SHIM_CLOSE_PATH closes it, then fails with
   the error number SHIM_CLOSE_ERRNO. */
int close(int fd) {
    static int (*real_close)(int);
    if (!real_close) real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    const char *target = getenv("SHIM_CLOSE_PATH");
    int fail = 0;
    if (target) {
        char link[64], path[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n > 0) {
            path[n] = 0;
            fail = strcmp(path, target) == 0;
        }
    }
    int rc = real_close(fd);
    if (fail && rc == 0) {
        errno = atoi(getenv("SHIM_CLOSE_ERRNO"));
        return -1;
    }
    return rc;
}
"""


@pytest.fixture(scope="module")
def close_shim(tmp_path_factory):
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc/self/fd")
    compiler = next((c for c in ("cc", "gcc", "clang") if shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C compiler")
    build = tmp_path_factory.mktemp("shim")
    source = build / "close_shim.c"
    source.write_text(_CLOSE_SHIM)
    library = build / "close_shim.so"
    proc = subprocess.run(
        [compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"], capture_output=True, timeout=120
    )
    if proc.returncode != 0:
        pytest.skip("the shim does not compile: " + proc.stderr.decode(errors="replace")[-500:])
    return library


@pytest.mark.parametrize(
    "target, close_errno, expected",
    [
        ("file", errno.EIO, ("OSError", os_message(errno.EIO))),
        ("file", errno.ENOSPC, ("OSError", os_message(errno.ENOSPC))),
        ("file", errno.EDQUOT, ("OSError", os_message(errno.EDQUOT))),
        # Interrupted, the descriptor is closed all the same.
        ("file", errno.EINTR, ("written", "")),
        # The write's own error comes first.
        ("/dev/full", errno.EIO, ("OSError", os_message(errno.ENOSPC))),
    ],
)
def test_failing_close_is_reported(close_shim, target, close_errno, expected, tmp_path):
    if target == "/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    path = os.path.realpath(tmp_path / "out.xml") if target == "file" else target
    code = f"""
        import sys
        from arbolite import Node, write_file
        try:
            write_file(Node("r", None, None, "t" * 20000), {path!r}, 2, False)
        except Exception as exc:
            print(type(exc).__name__, exc, sep="|")
        else:
            print("written|")
    """
    env = dict(os.environ)
    preload = env.get("LD_PRELOAD", "")
    env["LD_PRELOAD"] = (preload + " " + str(close_shim)).strip()
    env["SHIM_CLOSE_PATH"] = path
    env["SHIM_CLOSE_ERRNO"] = str(close_errno)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, env=env
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.splitlines()
    assert tuple(lines[0].split("|", 1)) == expected
    if target == "file":
        # The bytes reached the file either way.
        assert pathlib.Path(path).read_text() == "<r>" + "t" * 20000 + "</r>"
