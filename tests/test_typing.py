"""The type stub: installed where type checkers find it, true to the module,
complete, and strict enough to catch the usual mistakes.

Every check runs from a scratch directory against the installed package, so
the stub is found the way a user's type checker finds it (the stub-only
package beside the extension), not through the source tree.
"""

import ast
import pathlib
import subprocess
import sys
import textwrap

import pytest

import arbolite
from helpers import SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the stub is checked against the normal build; the sanitizer run adds nothing to it"
)
mypy = pytest.importorskip("mypy")

REPO = pathlib.Path(__file__).resolve().parent.parent
SOURCE_STUB = REPO / "python" / "arbolite-stubs" / "__init__.pyi"
ALLOWLIST = pathlib.Path(__file__).resolve().parent / "stubtest-allowlist.txt"
INSTALLED_STUB = pathlib.Path(arbolite.__file__).parent / "arbolite-stubs" / "__init__.pyi"


def run_tool(args, cwd, timeout=600):
    """Runs `python -m <args>` in `cwd` with this interpreter."""
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=timeout
    )


def run_mypy(tmp_path, source):
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent(source))
    return run_tool(
        ["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), program.name], tmp_path
    )


def error_lines(output):
    """(line, code) of each error in mypy's output."""
    found = set()
    for line in output.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[2].strip() == "error":
            found.add((int(parts[1]), line.rsplit("[", 1)[-1].rstrip("]")))
    return found


def test_stub_is_installed_beside_the_extension():
    assert INSTALLED_STUB.is_file()
    if SOURCE_STUB.is_file():
        assert INSTALLED_STUB.read_text() == SOURCE_STUB.read_text(), "installed stub is stale: reinstall"


def test_stubtest_matches_the_built_module(tmp_path):
    proc = run_tool(["mypy.stubtest", "arbolite", "--allowlist", str(ALLOWLIST)], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_user_program_passes(tmp_path):
    proc = run_mypy(
        tmp_path,
        """
        from typing import TYPE_CHECKING

        import arbolite
        from arbolite import Node, SearchType

        if TYPE_CHECKING:
            from arbolite import NodeDict

        root: Node = arbolite.read_string("<a><b x='1'>t</b></a>", "a")
        same: Node = arbolite.read_file(file_path="doc.xml", root_tag="a")
        node = Node("c", {"k": "v"}, (root, same), text=None)
        text = node.text
        if text is not None:
            print(text.upper())
        names: list[str] = [child.name for child in node.children]
        values: dict[str, str] = node.attrs
        form: "NodeDict" = node.to_dict()
        first_text: str | None = form["children"][0]["text"]
        copy: Node = Node.from_dict(form)
        by_hand = Node.from_dict({"name": "a", "attrs": {}, "children": ()})
        found: list[Node] = copy.search(SearchType.Attr, "k", depth=2)
        found += copy.search_by_name("a") + copy.search_by_attr("k", 1) + copy.search_by_text("t", None)
        print(int(SearchType.Tag), SearchType.Text == 2, node.__to_string(2), names, values, first_text, by_hand)
        xml: str = arbolite.write_string(node, indent=2, default_xml_def=False)
        arbolite.write_file(node, "out.xml", None, True)
        """,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_planted_mistakes_are_reported(tmp_path):
    proc = run_mypy(
        tmp_path,
        """\
        import arbolite
        from arbolite import Node, SearchType

        node = arbolite.read_string(b"<a/>", "a")
        size = len(node.text)
        node.search(SearchType.Name, "a")
        node.search(0, "a")
        node.name = "b"
        arbolite.write_string(node, indent="2")
        Node.from_dict({"name": "a", "attrs": {}})
        Node("a", children="bc")
        arbolite.write_file(node)
        """,
    )
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert error_lines(proc.stdout) == {
        (4, "arg-type"),  # bytes where a str is wanted
        (5, "arg-type"),  # text may be None
        (6, "attr-defined"),  # SearchType has no member Name
        (7, "arg-type"),  # an int in place of a SearchType member
        (8, "misc"),  # properties are read-only
        (9, "arg-type"),  # indent is an int
        (10, "typeddict-item"),  # "children" is required in the dict form
        (11, "arg-type"),  # a str is not a sequence of nodes
        (12, "call-arg"),  # file_path is required
    }, proc.stdout


def stub_definitions():
    """(qualified name, node) of every function, method and property of the stub."""
    tree = ast.parse(INSTALLED_STUB.read_text())
    found = []
    for top in tree.body:
        if isinstance(top, ast.FunctionDef):
            found.append((top.name, top))
        elif isinstance(top, ast.ClassDef):
            for item in top.body:
                if isinstance(item, ast.FunctionDef):
                    found.append((f"{top.name}.{item.name}", item))
    return found


def test_every_function_method_and_property_has_a_docstring():
    definitions = stub_definitions()
    # __new__ is documented on the class, as the constructor's parameters.
    missing = [name for name, node in definitions if not ast.get_docstring(node) and name != "Node.__new__"]
    assert missing == []
    top_level = {node.name for node in ast.parse(INSTALLED_STUB.read_text()).body if hasattr(node, "name")}
    assert set(arbolite.__all__) <= top_level
    members = {f"Node.{m}" for m in vars(arbolite.Node) if not m.startswith("__") or m == "__to_string"}
    assert members <= {name for name, _ in definitions}
