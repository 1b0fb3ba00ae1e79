"""ARBOLITE_KERNELS: each level it names, and any value it does not, gives the
same results on documents with every kind of markup and of non-ASCII text.
The kernels are chosen once per process, so each level runs in a fresh
interpreter. Which table each level picks is checked by the native tests
(tests/native/kernel_choice_test.cpp)."""

import json
import os
import subprocess
import sys

import pytest

# Reads, searches, converts and writes documents that take every kernel
# family through its vector and its tail paths: texts, values and names
# longer and shorter than a register, ASCII, Latin-1, BMP and astral
# characters, references, comments, CDATA, instructions, malformed input and
# bytes that are not UTF-8. Prints the results as JSON; asserts the round
# trips itself.
SCRIPT = r"""
import json, os, sys, tempfile
import arbolite
from arbolite import Node

prose = {
    "ascii": "plain text, <escaped> & 'quoted' \"twice\"\t" * 6,
    "latin1": "Grüße, naïve café à la crème; " * 6,
    "bmp": "中文字符と日本語のテキスト — ‘quotes’ " * 6,
    "astral": "🌍 emoji 𝄞 music 😀 " * 6,
}
prose["mixed"] = "".join(prose.values())

def esc(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;").replace("\t", "&#9;")

def doc(text, items):
    body = "".join(
        f'<item id="i{i}" note="{esc(text[: i % 70])}">{esc(text[i % 50:])}<b>{i}</b>&amp;&#x4e2d;&#233;&#x1F30D;</item>'
        for i in range(items)
    )
    return (
        '<?xml version="1.0"?>\n<!DOCTYPE r>\n'
        f'<r a="x &amp; y" b=\'single "q"\' c="tab&#9;nl&#10;" d="{esc(text)}">'
        f"<!-- a comment with < and > and {text} --><?pi target {text}?>"
        f"<t>{esc(text)}</t><e>&lt;&gt;&amp;&quot;&apos;</e><c><![CDATA[<not markup> & {text}]]></c>"
        f'<m>head<b>bold</b>tail {esc(text)}</m><n xmlns:p="u" p:q="v"/>{body}</r>'
    )

def error(call):
    try:
        call()
    except (ValueError, OSError) as e:
        return [type(e).__name__, str(e)]
    return None

# A map's attribute order is its own (and differs between processes): the
# output holds sorted dicts, and writes of a tree whose elements carry all
# their attributes in one.
def sort_attrs(d):
    return {**d, "attrs": sorted(d["attrs"].items()), "children": [sort_attrs(c) for c in d["children"]]}

def one_attr(node):
    attrs = "|".join(f"{k}={v}" for k, v in sorted(node.attrs.items()))
    return Node(node.name, {"all": attrs} if attrs else None, [one_attr(c) for c in node.children], node.text)

out = []
for kind, text in prose.items():
    for items in (0, 3, 40):
        xml = doc(text, items)
        root = arbolite.read_string(xml, "r")
        assert root.children[0].text == text.strip(), kind
        as_dict = root.to_dict()
        assert arbolite.read_string(arbolite.write_string(root, 2), "r").to_dict() == as_dict, kind
        assert Node.from_dict(as_dict).to_dict() == as_dict
        single = one_attr(root)
        out.append([kind, items, sort_attrs(as_dict), arbolite.write_string(single, 2),
                    arbolite.write_string(single, 0, False), str(single)])
        out.append([len(root.search_by_name("b")), len(root.search_by_attr("note")),
                    len(root.search_by_text(text.strip())), len(root.search_by_text("0"))])
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "doc.xml")
            arbolite.write_file(single, path, 1)
            assert arbolite.read_file(path, "r").to_dict() == single.to_dict()
            with open(path, "rb") as f:
                out.append(f.read().decode("utf-8"))
            with open(path, "wb") as f:
                f.write(xml.encode("utf-8")[:-200] + b"\xc3\x28" + xml.encode("utf-8")[-200:])
            out.append(error(lambda: arbolite.read_file(path, "r")))
        out.append(error(lambda: arbolite.read_string(xml[: len(xml) // 2], "r")))
        out.append(error(lambda: arbolite.read_string(xml.replace("</m>", "</n>"), "r")))
        out.append(error(lambda: arbolite.read_string(xml.replace("<t>", "<t <"), "r")))
print(json.dumps(out))
"""

LEVELS = ["portable", "sse2", "avx2"]


def run_with_kernels(value):
    env = dict(os.environ)
    env.pop("ARBOLITE_KERNELS", None)
    if value is not None:
        env["ARBOLITE_KERNELS"] = value
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, (value, proc.stderr[-4000:])
    assert proc.stderr == "", (value, proc.stderr[-4000:])
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def unforced():
    return run_with_kernels(None)


# Each level, a level in other case, and values that name no level (ignored
# as if unset, silently).
@pytest.mark.parametrize("value", LEVELS + ["SSE2", "", "avx512", "neon"])
def test_every_kernel_level_gives_the_same_results(unforced, value):
    assert run_with_kernels(value) == unforced
