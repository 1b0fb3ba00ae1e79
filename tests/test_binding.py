"""Argument binding, shared by every function and method: positional and
keyword parameters, omitted optional ones, and the TypeError (with no note)
for a missing, surplus, unknown or repeated argument.

One table: each row is a call (the callable, its positional arguments, its
keyword arguments, passed in that order) and its outcome: refused with this
message, or bound and returning a result with this content. Binding comes
before any conversion, so the rows also show that a value of the wrong type
does not change which binding error is raised.
"""

import pytest

from arbolite import Node, SearchType, read_file, read_string, write_file, write_string
from helpers import check_error

NEW = "Node.__new__()"


class Refused:
    """The call raises TypeError itself (not a subclass), with exactly this
    message and no processing note."""

    def __init__(self, message):
        self.message = message

    def check(self, func, args, kwargs):
        with pytest.raises(TypeError) as excinfo:
            func(*args, **kwargs)
        assert type(excinfo.value) is TypeError
        check_error(excinfo, self.message, None)


class Returns:
    """The call binds and returns a result whose view is `expected`."""

    def __init__(self, view, expected):
        self.view = view
        self.expected = expected

    def check(self, func, args, kwargs):
        assert self.view(func(*args, **kwargs)) == self.expected


def identities(nodes):
    """A list of nodes as their identities, so that lists compare by identity."""
    return [id(node) for node in nodes]


def fields(node):
    """A node's fields, its children by identity."""
    return (node.name, node.attrs, identities(node.children), node.text)


def name_of(node):
    return node.name


def text_of(node):
    return node.text


def to_string_method(node):
    """The node's __to_string method (fetched by name so that it is never
    mangled)."""
    return getattr(node, "__to_string")


def leaf_dict(name):
    return {"name": name, "attrs": {}, "children": []}


N = Node("n")
R = Node("r")
B, C = Node("b"), Node("c")
LEAF = Node("l", text="v")
TREE = Node("r", children=[Node("m", children=[LEAF])])
KEYED = Node("n", {"k": "v"}, None, "t")

CASES = [
    # ---- missing required parameters: one name, two names
    (Node, (), {}, Refused(f"{NEW} missing 1 required positional argument: 'name'")),
    (Node, (), {"attrs": {}, "text": "t"}, Refused(f"{NEW} missing 1 required positional argument: 'name'")),
    (N.search, (), {}, Refused("Node.search() missing 2 required positional arguments: 'by' and 'value'")),
    (N.search, (), {"depth": 1}, Refused("Node.search() missing 2 required positional arguments: 'by' and 'value'")),
    (N.search, (SearchType.Tag,), {}, Refused("Node.search() missing 1 required positional argument: 'value'")),
    (N.search, (), {"value": "x"}, Refused("Node.search() missing 1 required positional argument: 'by'")),
    (N.search_by_name, (), {}, Refused("Node.search_by_name() missing 1 required positional argument: 'name'")),
    (N.search_by_attr, (), {"depth": 0}, Refused("Node.search_by_attr() missing 1 required positional argument: 'key'")),
    (N.search_by_text, (), {}, Refused("Node.search_by_text() missing 1 required positional argument: 'text'")),
    (Node.from_dict, (), {}, Refused("Node.from_dict() missing 1 required positional argument: 'dict_'")),
    (read_string, (), {},
     Refused("read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'")),
    (read_string, ("<r/>",), {}, Refused("read_string() missing 1 required positional argument: 'root_tag'")),
    (read_file, (), {}, Refused("read_file() missing 2 required positional arguments: 'file_path' and 'root_tag'")),
    (write_string, (), {}, Refused("write_string() missing 1 required positional argument: 'node'")),
    (write_file, (), {}, Refused("write_file() missing 2 required positional arguments: 'node' and 'file_path'")),
    (write_file, (R,), {}, Refused("write_file() missing 1 required positional argument: 'file_path'")),
    # ---- too many positional arguments: "from .. to" form and all-required form
    (Node, ("a", None, None, None, None), {}, Refused(f"{NEW} takes from 1 to 4 positional arguments but 5 were given")),
    (Node, tuple("abcdef"), {}, Refused(f"{NEW} takes from 1 to 4 positional arguments but 6 were given")),
    (N.search, (SearchType.Tag, "x", None, None), {},
     Refused("Node.search() takes from 2 to 3 positional arguments but 4 were given")),
    (N.search_by_name, ("x", None, None), {},
     Refused("Node.search_by_name() takes from 1 to 2 positional arguments but 3 were given")),
    (to_string_method(N), (1, 2), {}, Refused("Node.__to_string() takes from 0 to 1 positional arguments but 2 were given")),
    (Node.from_dict, ({}, {}), {}, Refused("Node.from_dict() takes 1 positional arguments but 2 were given")),
    (Node.from_dict, ({}, {}, {}), {}, Refused("Node.from_dict() takes 1 positional arguments but 3 were given")),
    (read_string, ("a", "b", "c"), {}, Refused("read_string() takes 2 positional arguments but 3 were given")),
    (read_file, ("a", "b", "c"), {}, Refused("read_file() takes 2 positional arguments but 3 were given")),
    (write_string, (R, 1, True, 4), {},
     Refused("write_string() takes from 1 to 3 positional arguments but 4 were given")),
    (write_file, (R, "p", 1, True, 5), {},
     Refused("write_file() takes from 2 to 4 positional arguments but 5 were given")),
    # ---- a keyword naming no parameter (matched exactly, case-sensitive)
    (Node, ("a",), {"bogus": 1}, Refused(f"{NEW} got an unexpected keyword argument 'bogus'")),
    (Node, (), {"Name": "a"}, Refused(f"{NEW} got an unexpected keyword argument 'Name'")),
    (Node, ("a",), {"näme": 1}, Refused(f"{NEW} got an unexpected keyword argument 'näme'")),
    (N.search, (SearchType.Tag, "x"), {"deep": 1}, Refused("Node.search() got an unexpected keyword argument 'deep'")),
    (to_string_method(N), (), {"width": 1}, Refused("Node.__to_string() got an unexpected keyword argument 'width'")),
    (Node.from_dict, (), {"d": {}}, Refused("Node.from_dict() got an unexpected keyword argument 'd'")),
    (read_string, ("a", "b"), {"other": 1}, Refused("read_string() got an unexpected keyword argument 'other'")),
    (read_file, ("a",), {"root": "b"}, Refused("read_file() got an unexpected keyword argument 'root'")),
    (write_string, (R,), {"indnt": 1}, Refused("write_string() got an unexpected keyword argument 'indnt'")),
    # ---- a parameter given twice
    (Node, ("a",), {"name": "b"}, Refused(f"{NEW} got multiple values for argument 'name'")),
    (Node, ("a", None, None, None), {"text": "t"}, Refused(f"{NEW} got multiple values for argument 'text'")),
    (N.search, (SearchType.Tag, "x"), {"by": SearchType.Tag},
     Refused("Node.search() got multiple values for argument 'by'")),
    (N.search, (SearchType.Tag, "x", 1), {"depth": 1}, Refused("Node.search() got multiple values for argument 'depth'")),
    (N.search_by_attr, ("a",), {"key": "b"}, Refused("Node.search_by_attr() got multiple values for argument 'key'")),
    (to_string_method(N), (1,), {"spacing": 1}, Refused("Node.__to_string() got multiple values for argument 'spacing'")),
    (Node.from_dict, ({},), {"dict_": {}}, Refused("Node.from_dict() got multiple values for argument 'dict_'")),
    (read_string, ("a",), {"xml_string": "b"},
     Refused("read_string() got multiple values for argument 'xml_string'")),
    (write_string, (R, 1), {"indent": 2}, Refused("write_string() got multiple values for argument 'indent'")),
    (write_file, (R, "p"), {"node": Node("s")}, Refused("write_file() got multiple values for argument 'node'")),
    # ---- order: positional count, then keywords in the order given, then missing
    (Node, (1, 2, 3, 4, 5), {"bogus": 1}, Refused(f"{NEW} takes from 1 to 4 positional arguments but 5 were given")),
    (Node, (), {"bogus": 1}, Refused(f"{NEW} got an unexpected keyword argument 'bogus'")),
    (Node, (), {"attrs": {}, "bogus": 1}, Refused(f"{NEW} got an unexpected keyword argument 'bogus'")),
    (N.search, (SearchType.Tag,), {"bogus": 1, "by": SearchType.Tag},
     Refused("Node.search() got an unexpected keyword argument 'bogus'")),
    (N.search, (SearchType.Tag,), {"by": SearchType.Tag, "bogus": 1},
     Refused("Node.search() got multiple values for argument 'by'")),
    # ---- binding comes before any conversion
    (Node, (5,), {"bogus": 1}, Refused(f"{NEW} got an unexpected keyword argument 'bogus'")),
    (N.search, (0, 5, 1.5, None), {}, Refused("Node.search() takes from 2 to 3 positional arguments but 4 were given")),
    (N.search, (), {"value": 5, "depth": 1.5}, Refused("Node.search() missing 1 required positional argument: 'by'")),
    # ---- a method without parameters refuses any argument
    (N.to_dict, (1,), {}, Refused("Node.to_dict() takes no arguments (1 given)")),
    (N.to_dict, (), {"x": 1}, Refused("Node.to_dict() takes no keyword arguments")),
    # ---- every parameter by position or by keyword, in any order
    (Node, ("a", {"k": "v", "l": "w"}, [B, C], "txt"), {},
     Returns(fields, ("a", {"k": "v", "l": "w"}, identities([B, C]), "txt"))),
    (Node, (), {"text": "txt", "children": [B, C], "attrs": {"k": "v", "l": "w"}, "name": "a"},
     Returns(fields, ("a", {"k": "v", "l": "w"}, identities([B, C]), "txt"))),
    (read_string, (), {"root_tag": "r", "xml_string": "<r>k</r>"}, Returns(text_of, "k")),
    (TREE.search, (), {"by": SearchType.Text, "value": "v", "depth": 2}, Returns(identities, identities([LEAF]))),
    (TREE.search, (SearchType.Text,), {"value": "v", "depth": 2}, Returns(identities, identities([LEAF]))),
    (TREE.search_by_text, (), {"text": "v", "depth": 2}, Returns(identities, identities([LEAF]))),
    (TREE.search_by_text, ("v", 2), {}, Returns(identities, identities([LEAF]))),
    (KEYED.search_by_name, (), {"name": "n", "depth": None}, Returns(identities, identities([KEYED]))),
    (KEYED.search_by_attr, (), {"key": "k", "depth": None}, Returns(identities, identities([KEYED]))),
    (KEYED.search_by_text, (), {"text": "t", "depth": None}, Returns(identities, identities([KEYED]))),
    (Node.from_dict, (), {"dict_": leaf_dict("k")}, Returns(name_of, "k")),
    # a class method called on an instance binds the class, not the instance
    (Node("other").from_dict, (leaf_dict("k"),), {}, Returns(name_of, "k")),
    # ---- an omitted optional parameter and None are the same
    (Node, ("a", None, None, None), {}, Returns(fields, ("a", {}, [], None))),
    (Node, (), {"name": "a", "attrs": None, "children": None, "text": None}, Returns(fields, ("a", {}, [], None))),
    (Node, (), {"text": None, "children": None, "attrs": None, "name": "a"}, Returns(fields, ("a", {}, [], None))),
    (Node, ("a",), {"text": None}, Returns(fields, ("a", {}, [], None))),
]


def short(value):
    if isinstance(value, Node):
        return f"<{value.name}>"
    if isinstance(value, SearchType):
        return str(value)
    if isinstance(value, list):
        return "[" + ", ".join(short(v) for v in value) + "]"
    return repr(value)


def call_id(func, args, kwargs):
    owner = getattr(func, "__self__", None)
    name = func.__qualname__
    if isinstance(owner, Node):
        name = f"<{owner.name}>." + name.split(".", 1)[1]
    shown = [short(a) for a in args] + [f"{k}={short(v)}" for k, v in kwargs.items()]
    return f"{name}({', '.join(shown)})"


@pytest.mark.parametrize(
    "func, args, kwargs, outcome",
    CASES,
    ids=[call_id(func, args, kwargs) for func, args, kwargs, _ in CASES],
)
def test_binding(func, args, kwargs, outcome, tmp_path, monkeypatch):
    # In an empty folder, so that a write_file refused at binding can be seen
    # to leave nothing behind.
    monkeypatch.chdir(tmp_path)
    outcome.check(func, args, kwargs)
    assert list(tmp_path.iterdir()) == []
