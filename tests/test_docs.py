"""The documentation: its examples run, its site builds, its charts draw.

Every fenced ```python block of docs/*.md, and of the docstrings of the type
stub (they appear in the API reference), runs as a test, in a scratch
directory, after the blocks above it on the same page (or in the same
docstring), so a page can build on what it has shown. A block that cannot run
is preceded by a line

    <!-- test: skip because ... -->

and is reported as skipped with that reason.
"""

import ast
import importlib.util
import json
import pathlib
import re
import struct
import subprocess
import sys
import textwrap

import pytest

from helpers import SANITIZED

REPO = pathlib.Path(__file__).resolve().parent.parent
DOCS = REPO / "docs"
STUB = REPO / "python" / "arbolite-stubs" / "__init__.pyi"

pytestmark = pytest.mark.skipif(not DOCS.is_dir(), reason="documentation sources not available")

FENCE = re.compile(r"^(\s*)(```+)\s*([\w+-]*)[^\n]*$")
SKIP = re.compile(r"^\s*<!--\s*test:\s*skip\b\s*(.*?)\s*-->\s*$")


def fenced_blocks(text):
    """(first line number, language, code, skip reason or None) of each fenced
    block of Markdown `text`, code dedented."""
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence, language = opening.groups()
        previous = next((line for line in reversed(lines[:i]) if line.strip()), "")
        skip = SKIP.match(previous)
        body = []
        i += 1
        while i < len(lines) and not re.match(rf"^\s*{fence}\s*$", lines[i]):
            body.append(lines[i])
            i += 1
        start = i - len(body) + 1
        blocks.append((start, language.lower(), textwrap.dedent("\n".join(body)), skip.group(1) if skip else None))
        i += 1
    return blocks


def stub_docstrings():
    """(qualified name, docstring) of the stub module and each of its definitions."""
    if not STUB.is_file():
        return []
    tree = ast.parse(STUB.read_text())
    found = [("module", ast.get_docstring(tree))]

    def visit(node, prefix):
        for child in node.body:
            if isinstance(child, (ast.FunctionDef, ast.ClassDef)):
                name = prefix + child.name
                found.append((name, ast.get_docstring(child)))
                if isinstance(child, ast.ClassDef):
                    visit(child, name + ".")

    visit(tree, "")
    return [(name, doc) for name, doc in found if doc]


def example_cases():
    """One case per python block: its id, the blocks before it in the same
    chain, the block itself and its skip reason."""
    chains = []
    for page in sorted(DOCS.glob("*.md")):
        chains.append((page.name, page.read_text(encoding="utf-8")))
    for name, doc in stub_docstrings():
        chains.append((f"stub:{name}", doc))
    cases = []
    for chain, text in chains:
        earlier = []
        for line, language, code, skip in fenced_blocks(text):
            if language not in {"python", "py", "python3"}:
                continue
            cases.append(pytest.param(list(earlier), code, skip, id=f"{chain}:{line}"))
            if skip is None:
                earlier.append(code)
    return cases


@pytest.mark.parametrize("earlier, code, skip", example_cases())
def test_example_runs(earlier, code, skip, tmp_path, monkeypatch, capsys):
    if skip is not None:
        pytest.skip(f"marked in the page: {skip or 'no reason given'}")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}
    try:
        for block in earlier:
            exec(compile(block, "<earlier block>", "exec"), namespace)
        exec(compile(code, "<block>", "exec"), namespace)
    except ModuleNotFoundError as e:
        # A page may show an optional package (a cluster engine, say) that
        # only the development environment installs.
        if e.name is None or e.name.split(".")[0] == "arbolite":
            raise
        pytest.skip(f"needs {e.name}, not installed here")


@pytest.mark.parametrize(
    "markdown, expected",
    [
        ("```python\nx = 1\n```\n", [(2, "python", "x = 1", None)]),
        ("<!-- test: skip because it needs a network -->\n\n```python\nfetch()\n```\n",
         [(4, "python", "fetch()", "because it needs a network")]),
        ("    ```python\n    a = 1\n      b\n    ```\n```sh\nmake\n```\n",
         [(2, "python", "a = 1\n  b", None), (6, "sh", "make", None)]),
        ("<!-- test: skip -->\nText between.\n```python\ny\n```\n", [(4, "python", "y", None)]),
        ("````python\n```\n````\n", [(2, "python", "```", None)]),
    ],
    ids=["plain", "skipped", "indented-and-other-language", "marker-not-adjacent", "longer-fence"],
)
def test_fenced_blocks_are_found(markdown, expected):
    assert fenced_blocks(markdown) == expected


# ----------------------------------------------------------------------------
# The site


@pytest.mark.skipif(SANITIZED, reason="the site does not depend on the build of the module")
def test_site_builds_strictly_with_the_whole_api(tmp_path):
    pytest.importorskip("mkdocs")
    pytest.importorskip("mkdocstrings_handlers.python")
    site = tmp_path / "site"
    proc = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--quiet", "--site-dir", str(site)],
        cwd=REPO,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    api = (site / "api.html").read_text(encoding="utf-8")
    import arbolite

    for name in arbolite.__all__:
        assert f'id="arbolite.{name}"' in api, name
    for member in ["name", "attrs", "text", "children", "search", "search_by_name", "search_by_attr",
                   "search_by_text", "to_dict", "from_dict", "__to_string"]:
        assert f'id="arbolite.Node.{member}"' in api, member
    # The constructor's parameters are the class's own signature.
    assert "Node(name: str, attrs: dict[str, str] | None = None" in re.sub(r"<[^>]+>", "", api)
    for page in ["index", "quickstart", "reading", "errors", "performance", "threads"]:
        assert (site / f"{page}.html").is_file(), page


# ----------------------------------------------------------------------------
# The charts


def load_charts():
    """docs/charts.py as a module (it is a script, not part of a package)."""
    found = importlib.util.spec_from_file_location("doc_charts", DOCS / "charts.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


RESULTS = DOCS / "bench-results.json"


def test_committed_charts_match_the_committed_results():
    data = json.loads(RESULTS.read_text())
    ids = {section["id"] for section in data["sections"]}
    assert {p.name for p in (DOCS / "img").glob("bench-*.png")} == {f"bench-{i}.png" for i in ids}
    page = (DOCS / "performance.md").read_text()
    assert set(re.findall(r"\(img/bench-([\w-]+)\.png\)", page)) == ids


@pytest.mark.skipif(SANITIZED, reason="drawing does not depend on the build of the module")
def test_charts_draw_one_png_per_section(tmp_path):
    pytest.importorskip("matplotlib")
    data = json.loads(RESULTS.read_text())
    # A new run with a section fewer, and one row missing a library.
    data["sections"] = data["sections"][1:]
    del data["sections"][0]["rows"][0]["values"]["lxml"]
    results = tmp_path / "results.json"
    results.write_text(json.dumps(data))
    out = tmp_path / "img"
    out.mkdir()
    (out / "bench-gone.png").write_bytes(b"old")
    (out / "keep.png").write_bytes(b"not a chart")
    page = tmp_path / "perf.md"
    page.write_text("# P\n\n<!-- charts:start -->\nold\n<!-- charts:end -->\n\nafter\n")
    written = load_charts().draw_all(results, out, page)
    ids = [s["id"] for s in data["sections"]]
    assert [p.name for p in written] == [f"bench-{i}.png" for i in ids]
    assert sorted(p.name for p in out.iterdir()) == sorted([f"bench-{i}.png" for i in ids] + ["keep.png"])
    for path in written:
        assert png_size(path) == (800, 420)
    text = page.read_text()
    assert "old" not in text and text.endswith("<!-- charts:end -->\n\nafter\n")
    assert re.findall(r"\]\(img/bench-([\w-]+)\.png\)", text) == ids
    assert data["meta"]["machine"] in text


def broken(change):
    data = json.loads(RESULTS.read_text())
    change(data)
    return data


@pytest.mark.parametrize(
    "data, where",
    [
        (broken(lambda d: d.pop("meta")), "meta"),
        (broken(lambda d: d["meta"].pop("date")), "meta.date"),
        (broken(lambda d: d.update(sections=[])), "sections"),
        (broken(lambda d: d["sections"][1].update(id="read")), "sections[1].id"),
        (broken(lambda d: d["sections"][0].update(id="../x")), "sections[0].id"),
        (broken(lambda d: d["sections"][0].update(higher_is_better="yes")), "sections[0].higher_is_better"),
        (broken(lambda d: d["sections"][0].update(columns=[])), "sections[0].columns"),
        (broken(lambda d: d["sections"][0]["rows"][0]["values"].update(other=1.0)), "sections[0].rows[0].values"),
        (broken(lambda d: d["sections"][0]["rows"][0]["values"].update(lxml="fast")),
         "sections[0].rows[0].values.lxml"),
        (broken(lambda d: d["sections"][0]["rows"][0]["values"].update(lxml=float("nan"))),
         "sections[0].rows[0].values.lxml"),
        (broken(lambda d: d["sections"][0]["rows"][1].pop("label")), "sections[0].rows[1]"),
    ],
    ids=["no-meta", "no-date", "no-sections", "duplicate-id", "id-with-path", "flag-not-bool", "no-columns",
         "unknown-column", "value-not-number", "value-nan", "row-without-label"],
)
def test_charts_refuse_results_of_another_shape(tmp_path, data, where):
    results = tmp_path / "results.json"
    results.write_text(json.dumps(data))
    charts = load_charts()
    with pytest.raises(charts.SchemaError) as excinfo:
        charts.load_results(results)
    assert str(excinfo.value).startswith(where + ":")


def test_charts_command_reports_a_bad_file(tmp_path):
    results = tmp_path / "results.json"
    results.write_text("{not json")
    proc = subprocess.run(
        [sys.executable, str(DOCS / "charts.py"), str(results), "--out", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 1
    assert proc.stderr.startswith("charts: error: ") and "not JSON" in proc.stderr
    assert list(tmp_path.iterdir()) == [results]
