"""Checks of the benchmark harness itself (documents, file discovery, timing
loops, the native program, the JSON results), not of any speed. Run by
`make bench` before it times anything, or alone:

    .venv/bin/python -m pytest -q bench/test_harness.py
"""

import json
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402
from corpus import SHAPES, generate  # noqa: E402

import arbolite  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def max_depth(root):
    depth, stack = 0, [(root, 1)]
    while stack:
        node, d = stack.pop()
        depth = max(depth, d)
        stack.extend((c, d + 1) for c in node)
    return depth


# ------------------------------------------------------------ documents

@pytest.mark.parametrize("shape", list(SHAPES))
@pytest.mark.parametrize("size", [4096, 100 * 1024])
def test_shapes_are_well_formed_sized_and_deterministic(shape, size):
    text, root = generate(shape, size)
    tree = ET.fromstring(text)
    assert run.local_name(tree.tag) == root
    assert len(text.encode()) >= size
    assert generate(shape, size) == (text, root)
    assert generate(shape, size, seed=1)[0] != text
    # arbolite sees the same elements as ElementTree.
    assert run.count_nodes(arbolite.read_string(text, root)) == run.count_etree(tree)
    if shape == "chain":
        assert max_depth(tree) == 1 + 1000 + 1  # document element, the chain, its leaf


@pytest.mark.parametrize("token, size, label", [
    ("4K", 4096, "4 KB"),
    ("100k", 100 * 1024, "100 KB"),
    ("1M", 1024 * 1024, "1 MB"),
    ("8MB", 8 * 1024 * 1024, "8 MB"),
    ("0.5M", 512 * 1024, "512 KB"),
    ("1000", 1000, "1000 B"),
])
def test_sizes(token, size, label):
    assert run.parse_size(token) == size
    assert run.size_label(size) == label


def test_installed_files_skip_absent_empty_malformed_and_aliases(tmp_path, monkeypatch):
    good = tmp_path / "codes.xml"
    good.write_text('<?xml version="1.0" encoding="UTF-8"?>\n<!-- list -->\n'
                    '<m:entries xmlns:m="urn:x"><m:entry code="a"/><m:entry code="b"/><m:other/></m:entries>\n')
    (tmp_path / "alias.xml").symlink_to(good)
    (tmp_path / "empty.xml").write_bytes(b"")
    (tmp_path / "broken.xml").write_text('<entries><entry name="A & B"/></entries>')
    (tmp_path / "latin1.xml").write_bytes(b"<a>\xe9</a>")
    monkeypatch.setattr(run, "SYSTEM_FILES", [str(tmp_path / "*.xml"), str(tmp_path / "absent" / "x.xml")])
    notes = []
    docs = run.system_docs(notes)
    assert [d.label for d in docs] == ["codes.xml"]
    doc = docs[0]
    assert (doc.root, doc.search_name, doc.elements) == ("m:entries", "m:entry", 4)
    assert sorted(n.split(":")[0] for n in notes) == sorted(
        ["broken.xml", "empty.xml", "latin1.xml", str(tmp_path / "absent" / "x.xml")])


@pytest.mark.parametrize("text, name, expected", [
    ('<r xmlns="urn:a"><c/><c/></r>', "c", "{urn:a}c"),
    ('<r xmlns:p="urn:b"><p:c/><c/><p:c/></r>', "p:c", "{urn:b}c"),
    ("<r><c/></r>", "c", "c"),
    ("<r><c/></r>", "missing", "missing"),
])
def test_etree_tag_finds_the_namespaced_form(text, name, expected):
    assert run.etree_tag(ET.fromstring(text), name) == expected


def test_deep_documents_get_an_unlimited_lxml_parser(tmp_path):
    text, root = generate("chain", 100 * 1024)
    path = tmp_path / "chain.xml"
    path.write_text(text)
    doc = run.Doc("chain", text, root, str(path), "leaf")
    assert doc.lxml_parser is not None
    assert run.count_lxml(doc.lxml_tree()) == doc.elements
    shallow = run.Doc("wide", *generate("wide", 4096), str(path), "item")
    assert shallow.lxml_parser is None


# --------------------------------------------------------------- timing

class Tracked:
    alive = 0
    most = 0

    def __init__(self):
        Tracked.alive += 1
        Tracked.most = max(Tracked.most, Tracked.alive)

    def __del__(self):
        Tracked.alive -= 1


def test_timed_loop_keeps_every_result_until_the_time_is_taken():
    Tracked.alive = Tracked.most = 0
    per_call = run.Timing.timed(Tracked, 50)
    assert per_call > 0
    assert Tracked.most == 50 and Tracked.alive == 0


@pytest.mark.parametrize("min_time, expect_loop", [(0.0, False), (10.0, True)])
def test_loop_count_repeats_only_calls_shorter_than_min_time(min_time, expect_loop):
    calls = []
    timing = run.Timing(rounds=2, min_time=min_time)
    number = timing.loop_count(lambda: calls.append(1))
    assert (number > 1) == expect_loop
    assert len(calls) in (1, 2)  # the warm-up, and a second look when it was short


def test_best_of_each_interleaves_rounds():
    order = []
    timing = run.Timing(rounds=3, min_time=0.0)
    best = timing.best_of_each([lambda: order.append("a"), lambda: order.append("b")])
    assert len(best) == 2 and all(t > 0 for t in best)
    assert order[-6:] == ["a", "b"] * 3


# ------------------------------------------------------- native program

@pytest.fixture(scope="module")
def native(tmp_path_factory):
    if not os.path.exists("/usr/include/pugixml.hpp") or shutil.which("g++") is None:
        pytest.skip("no native DOM parser installed (bench/setup installs it)")
    out = tmp_path_factory.mktemp("native")
    subprocess.run([os.path.join(HERE, "setup"), str(out)], check=True, timeout=300, capture_output=True)
    return str(out / "native_dom")


@pytest.mark.parametrize("text, code, expect", [
    ("<a><b x='1'>t</b><!-- c --><![CDATA[d]]><c/></a>", 0, "elements=3"),
    ("<a>" + "<n>" * 3000 + "</n>" * 3000 + "</a>", 0, "elements=3001"),
    ("<a><b></a>", 1, "at byte"),
    ("", 1, "at byte"),
])
def test_native_program(native, tmp_path, text, code, expect):
    path = tmp_path / "doc.xml"
    path.write_text(text)
    out = subprocess.run([native, str(path), "--rounds", "2", "--min-time", "0.001"], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == code
    assert expect in (out.stdout if code == 0 else out.stderr)
    if code == 0:
        fields = dict(f.split("=", 1) for f in out.stdout.split())
        assert float(fields["best_s"]) > 0 and int(fields["bytes"]) == len(text.encode())


@pytest.mark.parametrize("args", [[], ["--rounds"], ["--rounds", "0"], ["--min-time", "x"], ["--bogus", "1"]])
def test_native_program_usage(native, tmp_path, args):
    path = tmp_path / "doc.xml"
    path.write_text("<a/>")
    out = subprocess.run([native] + ([str(path)] + args if args else []), capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 2 and "usage" in out.stderr


def test_native_timer_reports_elements(native, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text(generate("mixed", 4096)[0])
    timer = run.NativeTimer(native, str(path), 0.001)
    assert int(timer.run()["elements"]) == run.count_etree(ET.parse(path).getroot())
    assert timer() > 0


# --------------------------------------------------------------- results

def check_schema(results, ids):
    assert set(results) == {"meta", "sections"}
    assert all(isinstance(results["meta"][k], str) and results["meta"][k] for k in ("python", "machine", "date"))
    assert [s["id"] for s in results["sections"]] == ids
    for section in results["sections"]:
        assert set(section) == {"id", "title", "unit", "higher_is_better", "columns", "rows"}
        assert isinstance(section["higher_is_better"], bool) and section["columns"][0] == "arbolite"
        assert section["rows"]
        for row in section["rows"]:
            assert set(row) == {"label", "values"} and isinstance(row["label"], str)
            assert set(row["values"]) <= set(section["columns"])
            assert all(isinstance(v, float) and v > 0 for v in row["values"].values())


def test_json_results(tmp_path):
    out = tmp_path / "results" / "r.json"
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "run.py"), "--only", "read,write,search,to_dict,memory",
         "--shapes", "wide,chain", "--sizes", "4K,100K", "--no-files", "--rounds", "1", "--min-time", "0.001",
         "--native", str(tmp_path / "none"), "--json", str(out), "--markdown", str(tmp_path / "t.md")],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(out.read_text())
    check_schema(results, ["read", "write", "search", "to_dict", "memory"])
    read = results["sections"][0]
    # No chain of 4 KB (one chain is longer); no native column without the program.
    assert [r["label"] for r in read["rows"]] == ["wide 4 KB", "wide 100 KB", "chain 100 KB"]
    assert read["columns"] == ["arbolite", "lxml", "ElementTree"]
    assert "**read: MB/s (higher is better)**" in proc.stdout
    assert (tmp_path / "t.md").read_text() in proc.stdout


def test_threads_section(monkeypatch):
    monkeypatch.setattr(run, "THREAD_WORKLOADS", [("small", "wide", 4096, 2, 8)])
    section = run.bench_threads(run.Timing(rounds=1, min_time=0.001))
    check_schema({"meta": {"python": "3", "machine": "m", "date": "d"}, "sections": [section.as_json()]},
                 ["threads"])
    assert section.as_json()["columns"] == ["arbolite", "zlib.compress"]
    assert section.cells[0][0].startswith("small (")


@pytest.mark.parametrize("args, message", [
    (["--only", "reed"], "unknown table or shape: reed"),
    (["--shapes", "attrs,tall"], "unknown table or shape: tall"),
])
def test_unknown_names_are_rejected(args, message):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "run.py"), *args], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 2 and message in proc.stderr


@pytest.mark.parametrize("text, name", [
    ("<a/>", "a"),
    ('<?xml version="1.0"?>\n<!-- <b> --><?pi <c>?>\n<p:d xmlns:p="u"/>', "p:d"),
    ('<!DOCTYPE e [<!ELEMENT e ANY><!ENTITY x "<f>">]>\n<e>&x;</e>', "e"),
    ("<!DOCTYPE g SYSTEM 'g.dtd'><g\tx='1'/>", "g"),
])
def test_document_element_name(text, name):
    assert run.document_element_name(text) == name
