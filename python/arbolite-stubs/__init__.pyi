"""Read XML into trees of immutable `Node` objects and write them back.

`read_string` and `read_file` return the first element with a given name, at
any depth, as a `Node` tree; `write_string` and `write_file` write a tree as
indented XML. Nodes render themselves as outlines, search their subtree
(`Node.search` with a `SearchType`) and convert to and from plain dicts
(`Node.to_dict`, `Node.from_dict`).

Example:
    ```python
    import arbolite

    book = arbolite.read_string('<shelf><book id="b1">Tom</book></shelf>', "book")
    assert (book.name, book.attrs, book.text) == ("book", {"id": "b1"}, "Tom")
    print(arbolite.write_string(book, indent=2, default_xml_def=False))
    ```
"""

from collections.abc import Sequence
from typing import ClassVar, Final, TypedDict, final

from typing_extensions import NotRequired, ReadOnly

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

class NodeDict(TypedDict):
    """The dict form of a `Node`, as `Node.to_dict` returns it.

    Exists for type checkers only: import it under `typing.TYPE_CHECKING`.
    The key order of the dict, and the order of the entries of `"attrs"`,
    follow the node's attribute map and are not fixed: compare dict forms
    by content.
    """

    name: str
    """The element name."""
    attrs: dict[str, str]
    """Attribute name to value."""
    children: list[NodeDict]
    """The children's dict forms, in order."""
    text: str | None
    """The text, or `None` when the element has none."""

class NodeDictInput(TypedDict):
    """The dict form that `Node.from_dict` accepts.

    Exists for type checkers only. Every `NodeDict` fits it; besides, `"text"`
    may be left out and `"children"` may be any sequence (a tuple, say) of
    dict forms.
    """

    name: ReadOnly[str]
    """The element name."""
    attrs: ReadOnly[dict[str, str]]
    """Attribute name to value (a `dict`: other mappings are refused)."""
    children: ReadOnly[Sequence[NodeDictInput]]
    """The children's dict forms, in order."""
    text: ReadOnly[NotRequired[str | None]]
    """The text; `None` or a missing key means no text."""

@final
class SearchType:
    """Which test `Node.search` applies: one of three fixed members.

    Members compare equal to themselves and to the integers of their values
    (`SearchType.Tag == 0`), convert with `int()`, and are not ordered or
    hashable (they cannot be set members or dict keys). The class cannot be
    instantiated; `SearchType.Tag` and the others are the only instances.

    Example:
        ```python
        from arbolite import SearchType

        assert int(SearchType.Attr) == 1
        assert repr(SearchType.Text) == "SearchType.Text"
        ```
    """

    Tag: Final[SearchType]
    """Match nodes whose element name equals the value (value 0)."""
    Attr: Final[SearchType]
    """Match nodes that have an attribute of that name, whatever its value (value 1)."""
    Text: Final[SearchType]
    """Match nodes whose text equals the value; absent text never matches (value 2)."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __int__(self) -> int:
        """The member's value: 0 for `Tag`, 1 for `Attr`, 2 for `Text`."""

    def __eq__(self, other: object, /) -> bool:
        """Whether `other` is this member, or an integer equal to its value.

        Anything else (a string, a float, an integer out of range) is unequal.
        """

    def __ne__(self, other: object, /) -> bool:
        """The opposite of `==`."""

@final
class Node:
    """One XML element: a name, attributes, ordered children and an optional text.

    A node is fixed once it is made: its properties are read-only and each
    access returns a fresh `str`, `dict` or `list`. Children are held by
    reference, so one node may sit under several parents; trees cannot form
    cycles. `==` is identity and nodes hash by identity. `str(node)` is a
    readable outline of the subtree (not XML) and `repr(node)` is
    `Node(name)`. The class cannot be subclassed.

    Args:
        name: The element name. Any string is accepted here; names that
            cannot be written as XML are refused by `write_string` and
            `write_file`.
        attrs: Attribute name to value. Must be a `dict` (or subclass) of
            `str` to `str`; `None` means no attributes.
        children: The child nodes, in order: a list, a tuple or another
            sequence (not a `str`) of `Node` objects. `None` means none.
        text: The element's text; `None` means no text, which differs from
            the empty string.

    Raises:
        TypeError: An argument of the wrong type, for example a non-`str`
            name, a non-`dict` `attrs`, a `str` as `children` or a child that
            is not a `Node`. The exception carries the note
            "while processing 'name'" (or the parameter at fault), and only the first bad argument
            (in the order name, attrs, children, text) is reported.
        UnicodeEncodeError: A string holding a lone surrogate.

    Example:
        ```python
        from arbolite import Node

        book = Node("book", {"id": "b1"}, text="Tom")
        root = Node("catalog", {"lang": "en"}, [book, Node("br")])
        assert root.children[0] is book
        assert repr(root) == "Node(catalog)"
        ```
    """

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node: ...
    @property
    def name(self) -> str:
        """The element name."""

    @property
    def attrs(self) -> dict[str, str]:
        """A new dict of attribute name to value, on every access.

        Changing it does not change the node. Its order is the node's own
        map order: stable for one node, but neither document order nor
        insertion order, and it differs between runs. Sort it when order
        matters: `sorted(node.attrs.items())`.
        """

    @property
    def text(self) -> str | None:
        """The element's text, or `None` when it has none.

        For a node that was read, this is all the character data directly
        inside the element, merged and trimmed; whitespace-only text is
        `None`, never `""`.
        """

    @property
    def children(self) -> list[Node]:
        """A new list of the child nodes, in order, on every access.

        The items are the children themselves, not copies
        (`node.children[0] is node.children[0]`); changing the list does not
        change the node.
        """

    def __to_string(self, spacing: int | None = None) -> str:
        """The outline that `str(node)` gives, shifted right by `spacing` blanks.

        Args:
            spacing: Blanks before the node's lines, 0 to 255; `None` means 0.

        Raises:
            TypeError: `spacing` is not an integer.
            OverflowError: `spacing` is below 0 or above 255.
        """

    def search_by_name(self, name: str, depth: int | None = None) -> list[Node]:
        """The nodes of this subtree whose element name equals `name`.

        This node itself is tested first; results come in document order
        (a node before its descendants). Names compare exactly, case and
        prefix included. A node reached twice through shared children is
        listed twice.

        Args:
            name: The element name to look for.
            depth: How many levels below this node to look: 0 tests this
                node only, 1 adds its children. `None` or a negative number
                means no limit.

        Returns:
            The matching nodes themselves (not copies), possibly none.

        Raises:
            TypeError: `name` is not a `str`, or `depth` not an integer.
            OverflowError: `depth` does not fit in 32 bits.

        Example:
            ```python
            from arbolite import Node

            leaf = Node("x")
            root = Node("x", children=[Node("y", children=[leaf])])
            assert root.search_by_name("x") == [root, leaf]
            assert root.search_by_name("x", depth=1) == [root]
            ```
        """

    def search_by_attr(self, key: str, depth: int | None = None) -> list[Node]:
        """The nodes of this subtree that have an attribute named `key`.

        The attribute's value plays no part (an empty value matches). Order,
        `depth` and errors as for `search_by_name`.

        Example:
            ```python
            from arbolite import Node

            root = Node("r", children=[Node("a", {"id": ""}), Node("b", {"key": "id"})])
            assert [n.name for n in root.search_by_attr("id")] == ["a"]
            ```
        """

    def search_by_text(self, text: str, depth: int | None = None) -> list[Node]:
        """The nodes of this subtree whose text equals `text` exactly.

        No trimming and no substring match; a node without text never
        matches, not even `""`. Order, `depth` and errors as for
        `search_by_name`.
        """

    def search(self, by: SearchType, value: str, depth: int | None = None) -> list[Node]:
        """Search this subtree with the test that `by` names.

        `SearchType.Tag` does what `search_by_name` does, `SearchType.Attr`
        what `search_by_attr` does and `SearchType.Text` what `search_by_text`
        does.

        Args:
            by: A `SearchType` member (an integer is refused).
            value: The name, attribute name or text to look for.
            depth: Levels below this node to look; `None` means no limit.

        Raises:
            TypeError: `by` is not a `SearchType` member, `value` not a
                `str` or `depth` not an integer.
            OverflowError: `depth` does not fit in 32 bits.

        Example:
            ```python
            from arbolite import Node, SearchType

            root = Node("r", children=[Node("a", {"id": "1"})])
            assert root.search(SearchType.Attr, "id") == root.search_by_attr("id")
            ```
        """

    @classmethod
    def from_dict(cls, dict_: NodeDictInput) -> Node:
        """Build a new tree of new nodes from its dict form.

        The form is the one `to_dict` returns: `"name"` (a `str`), `"attrs"`
        (a `dict` of `str` to `str`) and `"children"` (a list or other
        sequence of such dicts) are required at every level; `"text"` (a
        `str` or `None`) may be left out. Other keys are ignored, but must
        still hold a `str`, `None`, a `dict` of `str`, or a sequence of
        dicts. The whole input is checked before any node is made.

        Raises:
            TypeError: `dict_` is not a `dict`, or some value at any depth
                is of none of the kinds above (the message begins
                "failed to extract enum HashmapTypes").
            ValueError: "Invalid name", "Invalid attrs" or
                "Invalid children" when a required key is missing or of the
                wrong kind; "circular reference in dictionary form" when a
                dict contains itself.

        Example:
            ```python
            from arbolite import Node

            node = Node.from_dict({"name": "a", "attrs": {"k": "v"}, "children": []})
            assert (node.name, node.attrs, node.text) == ("a", {"k": "v"}, None)
            ```
        """

    def to_dict(self) -> NodeDict:
        """The dict form of this node and its whole subtree.

        Every dict and list in it is new; a node that occurs twice in the
        tree gives two equal dicts. `Node.from_dict(n.to_dict())` rebuilds an
        equal tree of new nodes.

        Example:
            ```python
            from arbolite import Node

            d = Node("a", {"k": "v"}, [Node("b", text="t")]).to_dict()
            assert d == {
                "name": "a",
                "attrs": {"k": "v"},
                "children": [{"name": "b", "attrs": {}, "children": [], "text": "t"}],
                "text": None,
            }
            ```
        """

def read_string(xml_string: str, root_tag: str) -> Node:
    """Parse a document held in a `str` and return its element named `root_tag`.

    The first element in document order with exactly that name, at any
    depth, becomes the root of the returned tree; nothing outside it is
    kept. See "What a read keeps" for how text, comments and references are
    treated.

    Args:
        xml_string: The whole document.
        root_tag: The name of the element to return.

    Returns:
        A new tree of new nodes.

    Raises:
        ValueError: The document is malformed (the message gives the byte
            offset, counted in UTF-8 bytes from 0), uses an unknown entity,
            or has no element named `root_tag`.
        TypeError: An argument is not a `str`.
        UnicodeEncodeError: A string holds a lone surrogate.
        KeyboardInterrupt: Ctrl-C (or another signal handler that raises)
            stops a long parse on the main thread.

    Example:
        ```python
        import arbolite

        r = arbolite.read_string("<a><r x='1'>text</r></a>", "r")
        assert (r.name, r.attrs, r.text) == ("r", {"x": "1"}, "text")
        ```
    """

def read_file(file_path: str, root_tag: str) -> Node:
    """Read a UTF-8 file and return its element named `root_tag`.

    The file is read whole, then parsed as `read_string` parses a `str`.
    No encoding declaration or byte-order mark is looked at: the bytes must
    be UTF-8.

    Args:
        file_path: The path, as a `str` (a `pathlib.Path` or `bytes` is
            refused: pass `str(path)`).
        root_tag: The name of the element to return.

    Raises:
        FileNotFoundError: No such file.
        PermissionError: The file may not be read.
        IsADirectoryError: The path names a directory.
        OSError: Any other system error, a path holding a NUL character,
            or content that is not valid UTF-8
            ("stream did not contain valid UTF-8").
        ValueError: As for `read_string`.
        TypeError: An argument is not a `str`.
        KeyboardInterrupt: Ctrl-C on the main thread, also while the read
            blocks (on a pipe, say).
    """

def write_string(node: Node, indent: int | None = None, default_xml_def: bool | None = None) -> str:
    """Write the tree under `node` as indented XML and return it.

    Each element that does not follow text starts a line, indented by
    `indent` blanks per level; text and attribute values are escaped;
    attributes come in each node's own map order.

    Args:
        node: The root of the tree to write.
        indent: Blanks per nesting level; `None` means 4. 0 keeps the line
            breaks without blanks.
        default_xml_def: Whether to begin with the line
            `<?xml version="1.0" encoding="utf-8"?>`; `None` means `True`.

    Raises:
        ValueError: An element or attribute name that would not read back
            as the same name ("invalid element name '...'",
            "invalid attribute name '...'"): empty, or holding blanks,
            `/`, `>`, `=` or quotes, or an element name that begins with
            `!` or `?`.
        TypeError: `node` is not a `Node`, `indent` not an integer or
            `default_xml_def` not a `bool`.
        OverflowError: `indent` is negative or does not fit in 64 bits, or
            indent times depth is beyond any possible output size.
        MemoryError: The output does not fit in memory.
        KeyboardInterrupt: Ctrl-C on the main thread stops a long write.

    Example:
        ```python
        import arbolite
        from arbolite import Node

        xml = arbolite.write_string(Node("a", children=[Node("b", text="x")]), indent=2)
        assert xml == '<?xml version="1.0" encoding="utf-8"?>\\n<a>\\n  <b>x</b>\\n</a>'
        ```
    """

def write_file(
    node: Node,
    file_path: str,
    indent: int | None = None,
    default_xml_def: bool | None = None,
) -> None:
    """Write the tree under `node` as indented XML into a file.

    The file is created (mode 0666 less the umask) or truncated, and gets
    exactly the UTF-8 bytes of what `write_string` returns for the same
    arguments. Argument errors, invalid names and impossible sizes are found
    before the file is touched; a failure while writing (a full disk, say)
    leaves the part already written.

    Args:
        node: The root of the tree to write.
        file_path: The path, as a `str`.
        indent: Blanks per nesting level; `None` means 4.
        default_xml_def: Whether to write the XML declaration first;
            `None` means `True`.

    Raises:
        FileNotFoundError: The directory does not exist, or the path is
            empty.
        PermissionError: The file may not be written.
        IsADirectoryError: The path names a directory.
        OSError: Any other system error (a full disk, for one), or a path
            holding a NUL character.
        ValueError: As for `write_string`.
        TypeError: As for `write_string`, or `file_path` is not a `str`.
        OverflowError: As for `write_string`.
        KeyboardInterrupt: Ctrl-C on the main thread stops a long write.
    """
