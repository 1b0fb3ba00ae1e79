"""Helpers shared by the arbolite Python tests: error-message builders and
checks, views of trees, hypothesis strategies, and subprocess runners.

Test modules import them from here (`from helpers import ...`); conftest.py
holds only the pytest hooks. The suite also runs against an
AddressSanitizer build (ARBOLITE_SANITIZED set), where everything is several
times slower: SANITIZED lets tests scale down or skip there.
"""

import os
import subprocess
import sys
import textwrap

from hypothesis import strategies as st

from arbolite import Node

SANITIZED = bool(os.environ.get("ARBOLITE_SANITIZED"))


# ----------------------------------------------------------------------------
# Error messages


def mismatch(type_name, expected):
    """The type-mismatch message; type_name None gives the None form."""
    if type_name is None:
        return f"'None' is not an instance of '{expected}'"
    return f"'{type_name}' object is not an instance of '{expected}'"


def processing_note(param):
    return f"while processing '{param}'"


def check_error(excinfo, message=None, param=None):
    """Checks the message (when given) and the notes of a caught exception.

    param None means the exception must carry no note at all; otherwise exactly
    the processing note for that parameter.
    """
    exc = excinfo.value
    if message is not None:
        assert str(exc) == message
    notes = getattr(exc, "__notes__", None)
    if param is None:
        assert not notes, notes
    else:
        assert notes == [processing_note(param)]


# ----------------------------------------------------------------------------
# Nodes


def to_string(node, *args, **kwargs):
    """Calls the node's __to_string method (fetched by name so that it is never
    mangled, whatever the calling scope)."""
    return getattr(node, "__to_string")(*args, **kwargs)


def shape(node):
    """The content of a tree as nested plain values (identity dropped)."""
    return (
        node.name,
        node.attrs,
        node.text,
        [shape(child) for child in node.children],
    )


def dict_shape(d):
    """The content of a dictionary form, as shape() gives it for a node."""
    return (
        d["name"],
        d["attrs"],
        d["text"],
        [dict_shape(child) for child in d["children"]],
    )


def reference_outline(node, width=0):
    """Independent model of the outline text, used to check generated trees."""
    blanks = " " * width
    out = [blanks, "Name: ", node.name]
    attrs = node.attrs
    if attrs:
        out += ["\n", blanks, "Attributes:"]
        for key, value in attrs.items():
            out += ["\n", blanks, key, ": ", value]
    if node.text is not None:
        out += ["\n", blanks, "Text: ", node.text]
    children = node.children
    if children:
        out += ["\n", blanks, "Children:"]
        for child in children:
            out += ["\n", blanks, reference_outline(child, (width + 2) % 256), "\n"]
    return "".join(out)


# Any text that strict UTF-8 can encode: NUL, line feeds, astral characters.
texts = st.text(st.characters(codec="utf-8"), max_size=6)
names = texts
attr_maps = st.dictionaries(texts, texts, max_size=3)
optional_texts = st.none() | texts


def _with_children(children):
    # Sometimes repeat the first child so that shared nodes occur.
    return st.builds(
        lambda name, attrs, kids, text, share: Node(
            name, attrs, kids + kids[:1] if share else kids, text
        ),
        names,
        attr_maps,
        st.lists(children, max_size=4),
        optional_texts,
        st.booleans(),
    )


trees = st.recursive(
    st.builds(Node, names, attr_maps, st.none(), optional_texts),
    _with_children,
    max_leaves=16,
)


# ----------------------------------------------------------------------------
# Subprocesses


def run_python(code, timeout=1200):
    """Runs code in a fresh interpreter (same environment, so the same build
    of the module) and returns the completed process; stdout and stderr are
    text."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_script_ok(code, expected_stdout, timeout=1200):
    proc = run_python(code, timeout)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-4000:])
    assert proc.stdout == expected_stdout, proc.stderr[-4000:]


def os_message(code):
    """The text of an operating-system error as the module reports it."""
    return f"{os.strerror(code)} (os error {code})"


def check_os_error(exc, message):
    """An OSError made from the message alone: no errno, strerror or filename."""
    assert str(exc) == message
    assert exc.args == (message,)
    assert exc.errno is None
    assert exc.strerror is None
    assert exc.filename is None
    assert not getattr(exc, "__notes__", None)


XML_NAME_START = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_\u00e9\u4e2d"


def xml_name_strategy(extra_chars=""):
    """Valid XML names: a start character, then up to five name characters."""
    return st.builds(
        lambda first, rest: first + rest,
        st.sampled_from(XML_NAME_START),
        st.text(st.sampled_from(XML_NAME_START + "0123456789-." + extra_chars), max_size=5),
    )
