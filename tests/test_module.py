"""The module object, its classes as Python sees them, and the conversion
conventions shared by every function and method: the type-mismatch message
and the processing note. Argument binding is tested in test_binding.py."""

import collections
import gc
import inspect
import weakref

import numpy
import pytest

import arbolite
from arbolite import Node, SearchType
from helpers import assert_script_ok, check_error, mismatch, to_string

# Every public name the module will have, in the order it adds them.
FULL_CONTENTS = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

Py_TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7
Py_TPFLAGS_IMMUTABLETYPE = 1 << 8
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


class Outer:
    class Inner:
        pass


# ----------------------------------------------------------------------------
# Module contents


def test_all_is_an_ordered_subset_of_the_full_contents():
    names = arbolite.__all__
    assert type(names) is list
    assert names[:2] == ["SearchType", "Node"]
    assert len(set(names)) == len(names)
    # Present names only, in the module's order of addition.
    assert names == [n for n in FULL_CONTENTS if hasattr(arbolite, n)]


def test_public_attributes_are_exactly_all_in_order():
    public = [name for name in vars(arbolite) if not name.startswith("_")]
    assert public == arbolite.__all__


def test_module_identity_and_doc():
    assert arbolite.__name__ == "arbolite"
    assert arbolite.__doc__ == ""


@pytest.mark.parametrize("cls, name", [(Node, "Node"), (SearchType, "SearchType")])
def test_classes_are_named_and_derive_from_object(cls, name):
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert getattr(arbolite, name) is cls


def test_reimport_makes_a_new_module_sharing_the_type_objects():
    assert_script_ok(
        """
        import sys
        import arbolite as first
        del sys.modules["arbolite"]
        import arbolite as second
        print(second is not first)
        print(second.Node is first.Node, second.SearchType is first.SearchType)
        print(second.SearchType.Tag is first.SearchType.Tag)
        print(second.__all__ == first.__all__, second.__all__ is not first.__all__)
        print(second.__all__[:2])
        """,
        "True\nTrue True\nTrue\nTrue True\n['SearchType', 'Node']\n",
    )


# ----------------------------------------------------------------------------
# Documentation strings are text signatures only

METHOD_SIGNATURES = [
    ("__to_string", "($self, spacing=None)", "(spacing=None)"),
    ("search_by_name", "($self, name, depth=None)", "(name, depth=None)"),
    ("search_by_attr", "($self, key, depth=None)", "(key, depth=None)"),
    ("search_by_text", "($self, text, depth=None)", "(text, depth=None)"),
    ("search", "($self, by, value, depth=None)", "(by, value, depth=None)"),
    ("to_dict", "($self)", "()"),
]


@pytest.mark.parametrize("name, text_signature, bound_signature", METHOD_SIGNATURES)
def test_instance_method_docs_are_signatures(name, text_signature, bound_signature):
    descriptor = Node.__dict__[name]
    assert descriptor.__doc__ is None
    assert descriptor.__text_signature__ == text_signature
    # $self is positional-only
    unbound = "(self, /" + (", " if bound_signature != "()" else "") + bound_signature[1:]
    assert str(inspect.signature(descriptor)) == unbound
    bound = getattr(Node("a"), name)
    assert bound.__doc__ is None
    assert str(inspect.signature(bound)) == bound_signature


def test_from_dict_is_a_class_method_with_signature_doc():
    descriptor = Node.__dict__["from_dict"]
    assert type(descriptor).__name__ == "classmethod_descriptor"
    assert descriptor.__text_signature__ == "($cls, dict_)"
    assert Node.from_dict.__doc__ is None
    assert Node.from_dict.__self__ is Node
    assert str(inspect.signature(Node.from_dict)) == "(dict_)"


def test_node_class_doc_is_the_constructor_signature():
    assert Node.__text_signature__ == "(name, attrs=None, children=None, text=None)"
    assert not Node.__doc__  # the signature is all there is; no docstring
    assert str(inspect.signature(Node)) == "(name, attrs=None, children=None, text=None)"


def test_children_property_doc():
    assert Node.children.__doc__ == "Children are shared references to the same nodes, not copies."


def test_search_type_has_no_doc():
    assert SearchType.__doc__ is None


# ----------------------------------------------------------------------------
# The type objects


@pytest.mark.parametrize("cls", [Node, SearchType])
def test_types_cannot_be_subclassed(cls):
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841
            pass
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_search_type_cannot_be_instantiated():
    assert SearchType.__flags__ & Py_TPFLAGS_DISALLOW_INSTANTIATION
    with pytest.raises(TypeError):
        SearchType()
    with pytest.raises(TypeError):
        type(SearchType.Tag)(0)


@pytest.mark.parametrize("cls", [Node, SearchType])
def test_types_are_mutable(cls):
    assert not cls.__flags__ & Py_TPFLAGS_IMMUTABLETYPE
    cls.extra_marker = 41
    try:
        assert cls.extra_marker == 41
        cls.extra_marker += 1
        assert cls.__dict__["extra_marker"] == 42
    finally:
        del cls.extra_marker
    assert not hasattr(cls, "extra_marker")


def test_node_class_attribute_visible_from_instances():
    Node.extra_marker = "shared"
    try:
        assert Node("a").extra_marker == "shared"
    finally:
        del Node.extra_marker


@pytest.mark.parametrize("cls", [Node, SearchType])
def test_types_take_no_part_in_cyclic_gc(cls):
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC


@pytest.mark.parametrize(
    "make",
    [
        lambda: Node("a"),
        lambda: Node("a", {"k": "v"}, [Node("b"), Node("c")], "t"),
        lambda: Node.from_dict({"name": "a", "attrs": {}, "children": []}),
        lambda: SearchType.Attr,
    ],
)
def test_objects_are_not_gc_tracked(make):
    obj = make()
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("make", [lambda: Node("a"), lambda: SearchType.Tag])
def test_no_instance_dict_and_no_weakref(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.other = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert type(obj).__weakrefoffset__ == 0
    assert type(obj).__dictoffset__ == 0


# ----------------------------------------------------------------------------
# Type mismatch message and the processing note

N = Node("n")


@pytest.mark.parametrize(
    "value, type_name",
    [
        (1, "int"),
        (1.5, "float"),
        (b"a", "bytes"),
        (True, "bool"),
        (None, None),
        ([], "list"),
        (Outer.Inner(), "Outer.Inner"),  # qualified name
        (collections.OrderedDict(), "OrderedDict"),
        (numpy.float64(1.0), "float64"),
        (Node("x"), "Node"),
        (SearchType.Tag, "SearchType"),
    ],
)
def test_type_mismatch_names_the_qualified_type(value, type_name):
    with pytest.raises(TypeError) as excinfo:
        Node(value)
    check_error(excinfo, mismatch(type_name, "str"), "name")


def test_type_mismatch_none_form():
    with pytest.raises(TypeError) as excinfo:
        Node(None)
    check_error(excinfo, "'None' is not an instance of 'str'", "name")


NOTE_CASES = [
    (lambda: Node(1), TypeError, mismatch("int", "str"), "name"),
    (lambda: Node("a", attrs=1), TypeError, mismatch("int", "dict"), "attrs"),
    (lambda: Node("a", children=1), TypeError, mismatch("int", "Sequence"), "children"),
    (lambda: Node("a", text=1), TypeError, mismatch("int", "str"), "text"),
    (lambda: to_string(N, "1"), TypeError, None, "spacing"),
    (lambda: to_string(N, 256), OverflowError, "out of range integral type conversion attempted", "spacing"),
    (lambda: N.search_by_name(1), TypeError, mismatch("int", "str"), "name"),
    (lambda: N.search_by_attr(None), TypeError, mismatch(None, "str"), "key"),
    (lambda: N.search_by_text(b"t"), TypeError, mismatch("bytes", "str"), "text"),
    (lambda: N.search(1, "x"), TypeError, mismatch("int", "SearchType"), "by"),
    (lambda: N.search(SearchType.Tag, 1), TypeError, mismatch("int", "str"), "value"),
    (lambda: N.search_by_name("x", depth="1"), TypeError, None, "depth"),
    (lambda: N.search_by_name("x", depth=2**40), OverflowError, None, "depth"),
    (lambda: Node.from_dict(1), TypeError, mismatch("int", "dict"), "dict_"),
    (lambda: Node.from_dict(dict_=None), TypeError, mismatch(None, "dict"), "dict_"),
]


@pytest.mark.parametrize("call, exc_type, message, param", NOTE_CASES)
def test_failed_conversion_keeps_exception_and_gets_note(call, exc_type, message, param):
    with pytest.raises(exc_type) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    check_error(excinfo, message, param)


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda s: Node(s), "name"),
        (lambda s: Node("a", text=s), "text"),
        (lambda s: Node("a", attrs={s: "v"}), "attrs"),
        (lambda s: Node("a", attrs={"k": s}), "attrs"),
        (lambda s: N.search_by_name(s), "name"),
        (lambda s: N.search_by_attr(s), "key"),
        (lambda s: N.search_by_text(s), "text"),
        (lambda s: N.search(SearchType.Text, s), "value"),
    ],
)
def test_lone_surrogate_fails_strict_utf8_with_note(call, param):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call("a\ud800b")
    check_error(excinfo, None, param)


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: Node(StrSub("nm")).name, "nm"),
        (lambda: Node("a", text=StrSub("tx")).text, "tx"),
        (lambda: Node("a", attrs={StrSub("k"): StrSub("v")}).attrs, {"k": "v"}),
        (lambda: len(Node(StrSub("nm")).search_by_name(StrSub("nm"))), 1),
    ],
)
def test_str_subclasses_are_accepted_and_come_back_as_str(call, expected):
    result = call()
    assert result == expected
    if isinstance(result, str):
        assert type(result) is str
    if isinstance(result, dict):
        assert all(type(k) is str and type(v) is str for k, v in result.items())


class NotesNotAList(Exception):
    pass


def _raising_sequence(exc):
    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise exc

    return Seq()


def test_note_is_appended_to_existing_notes():
    exc = ValueError("boom")
    exc.add_note("first")
    with pytest.raises(ValueError) as excinfo:
        Node("a", children=_raising_sequence(exc))
    assert excinfo.value is exc
    assert exc.__notes__ == ["first", "while processing 'children'"]


def test_failing_add_note_is_discarded_and_first_exception_raised():
    exc = NotesNotAList("boom")
    exc.__notes__ = "not a list"  # makes BaseException.add_note fail
    with pytest.raises(NotesNotAList) as excinfo:
        Node("a", children=_raising_sequence(exc))
    assert excinfo.value is exc
    assert str(exc) == "boom"
    assert exc.__notes__ == "not a list"
