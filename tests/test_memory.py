"""Running out of memory anywhere in a call: MemoryError or the normal result,
never a crash, a SystemError or a wrong result.

Two sweeps, each entry point in a subprocess of its own:
- a preloaded C allocator fails the n-th malloc, calloc or realloc of a call,
  for every n up to the number the call makes (the interpreter's own
  allocations go through malloc too, so they fail as well);
- the address space is limited to a little more than the process already
  uses, at several sizes.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from helpers import SANITIZED

SHIM_SOURCE = Path(__file__).parent / "shim" / "failing_malloc.c"

# Inputs and calls shared by both sweeps: each call gives its outcome as plain
# values, to compare with the outcome of a run that had all the memory it
# wanted. The names of the results of a search are compared by identity.
PRELUDE = r"""
import gc, json, os, resource, sys, tempfile
import arbolite
from arbolite import Node, SearchType

def shape(node):
    return (node.name, node.attrs, node.text, [shape(c) for c in node.children])

BODY = (
    "head &amp; <e k='v' l='w&quot;'>t&apos;s</e><![CDATA[<raw>]]><g><h i='j'/>tail</g><g/>"
)
def document(repeat):
    return (
        "<?xml version='1.0'?><!-- c --><doc><r a='1' b=\"&lt;&amp;&gt;\" c='&#65;&#x4e2d;'>"
        + BODY * repeat + "</r></doc>"
    )
# A small document, or (with REPEAT) one of a few hundred KiB, still read
# without the worker thread.
DOC = document(REPEAT)
assert len(DOC) < 256 * 1024
# Past the size that is indexed on a worker thread.
LARGE = "<r>" + "".join(f"<e n='{i}' q=\"a&amp;b\">t{i} &lt; x</e>" for i in range(12000)) + "</r>"
assert len(LARGE) >= 256 * 1024

TMP = tempfile.mkdtemp()
DOC_PATH = os.path.join(TMP, "doc.xml")
with open(DOC_PATH, "w", encoding="utf-8") as f:
    f.write(DOC)
OUT_PATH = os.path.join(TMP, "out.xml")

TREE = arbolite.read_string(DOC, "r")
FORM = TREE.to_dict()
INVALID_FORM = {"name": "r", "attrs": {}, "children": [FORM, {"name": "c", "attrs": {"k": 1}, "children": ()}]}
CYCLIC_FORM = {"name": "r", "attrs": {"k": "v"}, "children": [FORM, FORM]}
CYCLIC_FORM["children"].append(CYCLIC_FORM)

def written_file():
    arbolite.write_file(TREE, OUT_PATH, indent=2)

def read_back():
    with open(OUT_PATH, encoding="utf-8") as f:
        return f.read()

# name: (call, what its result is compared by)
CALLS = {
    "read_string": (lambda: arbolite.read_string(DOC, "r"), shape),
    "read_string_large": (lambda: arbolite.read_string(LARGE, "r"), shape),
    "read_file": (lambda: arbolite.read_file(DOC_PATH, "r"), shape),
    "write_string": (lambda: arbolite.write_string(TREE, indent=2), lambda s: s),
    "write_file": (written_file, lambda _: read_back()),
    "to_dict": (TREE.to_dict, lambda d: d),
    "from_dict": (lambda: Node.from_dict(FORM), shape),
    "from_dict_invalid": (lambda: Node.from_dict(INVALID_FORM), shape),
    "from_dict_cycle": (lambda: Node.from_dict(CYCLIC_FORM), shape),
    "read_string_malformed": (lambda: arbolite.read_string(DOC.replace("</r>", "</x>"), "r"), shape),
    "str": (lambda: str(TREE), lambda s: s),
    "node": (lambda: Node("n", {"k": "v", "l": ""}, (TREE, TREE), "t"), shape),
    "search": (lambda: TREE.search(SearchType.Attr, "k"), lambda found: [id(n) for n in found]),
    "search_by_name": (lambda: TREE.search_by_name("g"), lambda found: [id(n) for n in found]),
}

def descriptors():
    return len(os.listdir("/proc/self/fd"))

def outcome_of(call, normal):
    try:
        result = call()
    except Exception as e:
        return ("raised", [type(e).__name__, str(e)])
    return ("returned", normal(result))

problems = []

def check(label, outcome, expected):
    if outcome == expected or (outcome[0] == "raised" and outcome[1][0] == "MemoryError"):
        return
    problems.append([label, outcome[0] + ": " + repr(outcome[1])[:2000]])
"""

SHIM_SWEEP = r"""
import ctypes
shim = ctypes.CDLL(os.environ["FAILING_MALLOC"])
shim.fail_after.argtypes = [ctypes.c_long]
shim.fail_after.restype = None
shim.disarm.restype = ctypes.c_long
call, normal = CALLS[NAME]
gc.disable()  # the collector's work would shift the count from run to run
expected = outcome_of(call, normal)
outcome_of(call, normal)
NEVER = 1 << 62
shim.fail_after(NEVER)
try:
    call()
except Exception:
    pass
count = NEVER - shim.disarm()
fds = descriptors()
for n in range(1, count + 3):
    print(n, file=sys.stderr, flush=True)
    result = None
    shim.fail_after(n)
    try:
        result = call()
    except BaseException as e:
        shim.disarm()
        outcome = ("raised", [type(e).__name__, str(e)])
    else:
        shim.disarm()
        outcome = ("returned", normal(result))
    result = None
    check(n, outcome, expected)
    if descriptors() != fds:
        problems.append([n, "descriptor left open"])
        fds = descriptors()
print(json.dumps({"count": count, "problems": problems}))
"""

LIMIT_SWEEP = r"""
call, normal = CALLS[NAME]
expected = outcome_of(call, normal)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

succeeded = []
for extra in EXTRA:
    print(extra, file=sys.stderr, flush=True)
    result = None
    limit = address_space() + extra
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        result = call()
    except BaseException as e:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        outcome = ("raised", [type(e).__name__, str(e)])
    else:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        outcome = ("returned", normal(result))
    if outcome == expected:
        succeeded.append(extra)
    result = None
    check(extra, outcome, expected)
print(json.dumps({"succeeded": succeeded, "problems": problems}))
"""

# Room above what the process already uses: from none at all to plenty.
EXTRA = [0, 64 << 10, 128 << 10, 256 << 10, 384 << 10, 512 << 10, 768 << 10, 1 << 20, 3 << 19, 2 << 20, 3 << 20,
         4 << 20, 6 << 20, 8 << 20, 12 << 20, 16 << 20, 32 << 20, 64 << 20, 128 << 20, 1 << 30]


def run_sweep(name, sweep, env, **values):
    settings = "".join(f"{k} = {v!r}\n" for k, v in values.items())
    code = settings + PRELUDE + f"NAME = {name!r}\n" + sweep
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, **env},
    )
    last = proc.stderr.strip().splitlines()[-3:]
    assert proc.returncode == 0, f"exit {proc.returncode} after {last}: {proc.stderr[-3000:]}"
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def failing_malloc(tmp_path_factory):
    if SANITIZED:
        pytest.skip("the sanitizer's allocator cannot be replaced")
    compiler = next((c for c in (os.environ.get("CC"), "cc", "gcc", "clang") if c and shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C compiler")
    library = tmp_path_factory.mktemp("shim") / "failing_malloc.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(SHIM_SOURCE), "-ldl"],
        check=True,
        capture_output=True,
        timeout=120,
    )
    return library


SHIM_CALLS = ["read_string", "read_string_malformed", "read_file", "write_string", "write_file", "to_dict",
              "from_dict", "from_dict_invalid", "from_dict_cycle", "str", "node", "search", "search_by_name"]


@pytest.mark.parametrize("name", SHIM_CALLS)
def test_every_allocation_may_fail(failing_malloc, name):
    # Every object of the interpreter is allocated by malloc too.
    env = {"LD_PRELOAD": str(failing_malloc), "FAILING_MALLOC": str(failing_malloc), "PYTHONMALLOC": "malloc"}
    report = run_sweep(name, SHIM_SWEEP, env, REPEAT=1)
    assert report["count"] >= 1
    assert report["problems"] == []


LIMIT_CALLS = [
    "read_string",
    "read_string_large",
    "read_file",
    "write_string",
    "write_file",
    "to_dict",
    "from_dict",
    "from_dict_invalid",
]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves more address space than any limit allows")
@pytest.mark.parametrize("name", LIMIT_CALLS)
def test_limited_address_space(name):
    report = run_sweep(name, LIMIT_SWEEP, {}, REPEAT=2000, EXTRA=EXTRA)
    assert report["problems"] == []
    assert EXTRA[-1] in report["succeeded"]
