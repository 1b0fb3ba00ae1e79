"""Threads: calls that let other threads run while they work, memory running
out on any thread, daemon threads inside a call while the interpreter exits,
and many threads sharing trees.

The lock-release cases run here, with a second thread; the others each run
in a fresh interpreter with a timeout: what they guard against ends the
process (an abort, std::terminate) rather than failing an assert.
"""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from arbolite import Node, read_file, read_string, write_file, write_string
from helpers import SANITIZED, run_python

# ----------------------------------------------------------------------------
# The interpreter lock is released while reading and writing


def runs_another_thread(call):
    """Whether a second thread, woken just before call(), gets to run while
    the call is still going. With a long switch interval this thread hands
    the interpreter lock over only where it waits, so the other thread runs
    before the call returns only if the call released the lock; the calls
    below take far longer than a thread takes to wake."""
    go = threading.Event()
    ran = []
    thread = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
    thread.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        go.set()
        call()
        inside = bool(ran)
    finally:
        sys.setswitchinterval(interval)
        go.set()
        thread.join()
    return inside


def test_lock_released_during_parse():
    # About 50 MB of elements outside the root: all the work is index
    # building and skipping, the result is one small node.
    unit = '<item attr="value">some text of the item &amp; more</item>\n'
    doc = "<doc>" + unit * (50_000_000 // len(unit)) + "<r>end</r></doc>"
    assert runs_another_thread(lambda: read_string(doc, "r"))


def test_lock_released_during_read_file(tmp_path):
    unit = "<item>text &lt; text</item>\n"
    path = tmp_path / "big.xml"
    path.write_text("<doc>" + unit * (50_000_000 // len(unit)) + "<r/></doc>", encoding="utf-8")
    assert runs_another_thread(lambda: read_file(str(path), "r"))


def _wide_indented_tree():
    # A small tree whose output is about 100 MB of indentation, so nearly all
    # the work happens in the walk.
    node = Node("leaf", None, None, "t")
    for _ in range(60):
        node = Node("n", None, [node, Node("x")])
    return node


def test_lock_released_during_write_string():
    tree = _wide_indented_tree()
    assert runs_another_thread(lambda: write_string(tree, 20000, False))


def test_lock_released_during_write_file(tmp_path):
    tree = _wide_indented_tree()
    path = str(tmp_path / "big.xml")
    assert runs_another_thread(lambda: write_file(tree, path, 20000, False))
    assert os.path.getsize(path) > 50_000_000


# ----------------------------------------------------------------------------
# Memory exhausted: MemoryError (or success), whichever thread runs out

# Shared by the scripts: the documents, and a sweep of address-space limits
# above what the process already maps. Between tries the limit is lifted
# again (only the soft limit moves), and every result that came back is
# checked once memory is plentiful.
SWEEP_PRELUDE = """
import gc, os, resource, sys, tempfile, threading
import arbolite

def document(count, text=""):
    return "<r>" + "".join(f'<i a="{n}" b="x{text}"/>' for n in range(count)) + "</r>"

def mapped():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
LOW = (0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 24)

def sweep(call, check, limits_mib=(8, 12, 16, 20, 24, 28, 32, 40, 48, 64, 80, 96), prepare=None):
    # Large reads run out on the indexing thread at most limits from 12 to
    # 96 MiB (its first throw there); small reads and writes need less, so
    # they sweep lower limits. `prepare`, if given, runs before each limit is
    # set and returns the call to try under it.
    for mib in limits_mib:
        gc.collect()
        if prepare is not None:
            call = prepare()
        limit = mapped() + mib * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            result = call()
            outcome = "ok"
        except MemoryError:
            result, outcome = None, "MemoryError"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        if result is not None:
            check(result)
        del result
        print(mib, outcome, flush=True)
"""

SWEEPS = {
    # Indexed on the caller's thread.
    "read_string small": """
        doc = document(10000)  # under 256 KiB
        def check(tree):
            assert len(tree.children) == 10000 and tree.children[-1].attrs == {"a": "9999", "b": "x"}
        sweep(lambda: arbolite.read_string(doc, "r"), check, LOW)
    """,
    # Indexed on a worker thread, which parses start tags too.
    "read_string large": """
        doc = document(60000)
        def check(tree):
            assert len(tree.children) == 60000 and tree.children[-1].attrs == {"a": "59999", "b": "x"}
        sweep(lambda: arbolite.read_string(doc, "r"), check)
    """,
    "read_string large non-ASCII": """
        doc = document(40000, "\\u00e9\\u4e2d")
        def check(tree):
            assert len(tree.children) == 40000 and tree.children[-1].attrs["b"] == "x\\u00e9\\u4e2d"
        sweep(lambda: arbolite.read_string(doc, "r"), check)
    """,
    "read_file large": """
        path = os.path.join(tempfile.mkdtemp(), "doc.xml")
        with open(path, "w") as f:
            f.write(document(60000))
        def check(tree):
            assert len(tree.children) == 60000 and tree.children[-1].attrs == {"a": "59999", "b": "x"}
        sweep(lambda: arbolite.read_file(path, "r"), check)
    """,
    "write_string large": """
        # Made directly, so that no freed memory of a read is left to reuse.
        tree = arbolite.Node("r", None, [arbolite.Node("i", {"a": str(n)}, None, "x\\u00e9") for n in range(100000)])
        expected = arbolite.write_string(tree)
        kept = []  # so that each try needs memory the last one did not free
        def check(out):
            assert out == expected
            kept.append(out)
        sweep(lambda: arbolite.write_string(tree), check, LOW)
    """,
    # A new thread whose first call into the module, and whose first throw
    # if it runs out, happen under the limit. It is started before the limit
    # is set: the interpreter's own start of a thread that runs out of memory
    # can leave Thread.start() waiting for it forever.
    "read_string on a new thread": """
        doc = document(60000)
        def started_thread():
            box, go = [None], threading.Event()  # no list growth under the limit
            def run():
                go.wait()
                try:
                    box[0] = arbolite.read_string(doc, "r")
                except MemoryError as exc:
                    box[0] = exc
            thread = threading.Thread(target=run)
            thread.start()
            def call():
                go.set()
                thread.join()
                if isinstance(box[0], MemoryError):
                    raise box[0]
                return box[0]
            return call
        def check(tree):
            assert len(tree.children) == 60000
        sweep(None, check, prepare=started_thread)
    """,
}


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory does not fit under an address-space limit")
@pytest.mark.parametrize("name", list(SWEEPS))
def test_memory_exhausted_raises_memory_error(name):
    proc = run_python(SWEEP_PRELUDE + textwrap.dedent(SWEEPS[name]), timeout=180)
    assert proc.returncode == 0, (proc.returncode, proc.stdout[-2000:], proc.stderr[-4000:])
    outcomes = [line.split(None, 1)[1] for line in proc.stdout.splitlines()]
    assert len(outcomes) == 12, proc.stdout
    assert set(outcomes) <= {"ok", "MemoryError"}, proc.stdout
    # The smallest limits are far too small: the failure path did run.
    assert "MemoryError" in outcomes, proc.stdout


@pytest.mark.skipif(SANITIZED, reason="the sanitizer build keeps the shared C++ runtime")
def test_thread_local_data_is_set_up_with_each_thread():
    # What keeps a first throw on a new thread from allocating: all of the
    # module's thread-local data, the C++ runtime's included, is static.
    import shutil

    import arbolite

    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not available")
    out = subprocess.run([readelf, "-dW", arbolite.__file__], capture_output=True, text=True, check=True).stdout
    flags = [line for line in out.splitlines() if "(FLAGS)" in line]
    assert flags and "STATIC_TLS" in flags[0], out
    assert "libstdc++" not in out, out


# ----------------------------------------------------------------------------
# Daemon threads inside a call that releases the lock while the main thread
# exits: the interpreter ends them when they ask for the lock again, and they
# must end quietly.

EXIT_SCRIPT = """
import os, resource, sys, threading, time
import arbolite

resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 2**20, 64 * 2**20))
call, text, folder = sys.argv[1:]
doc = "<r>" + "".join(f"<i a='{n}'>t{n}{text}</i>" for n in range(200_000)) + "</r>"
tree = arbolite.read_string(doc, "r")
path = os.path.join(folder, "doc.xml")
with open(path, "w", encoding="utf-8") as f:
    f.write(doc)

def loop(k):
    out = os.path.join(folder, f"out{k}.xml")
    while True:
        if call == "read_string":
            arbolite.read_string(doc, "r")
        elif call == "read_file":
            arbolite.read_file(path, "r")
        elif call == "write_string":
            arbolite.write_string(tree)
        else:
            arbolite.write_file(tree, out)

for k in range(4):
    threading.Thread(target=loop, args=(k,), daemon=True).start()
time.sleep(0.3)
"""

EXIT_RUNS = 4 if SANITIZED else 15


@pytest.mark.parametrize(
    "call, text",
    [
        ("read_string", ""),
        ("read_string", "\u00e9"),  # encoded into a copy for the call
        ("read_file", ""),
        ("write_string", ""),
        ("write_string", "\u4e2d"),  # decoded into the str without the lock
        ("write_file", ""),
    ],
)
def test_daemon_threads_inside_calls_end_quietly_at_exit(call, text, tmp_path):
    failures = []
    # Two interpreters at a time, so that the sweep stays short.
    for first in range(0, EXIT_RUNS, 2):
        procs = []
        for run in range(first, min(first + 2, EXIT_RUNS)):
            folder = tmp_path / str(run)
            folder.mkdir()
            procs.append(
                subprocess.Popen(
                    [sys.executable, "-c", EXIT_SCRIPT, call, text, str(folder)],
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    text=True,
                )
            )
        for proc in procs:
            try:
                _, err = proc.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                proc.kill()
                _, err = proc.communicate()
            # Quietly: no "terminate called ...", no traceback.
            if proc.returncode != 0 or err:
                failures.append((proc.returncode, err[-2000:]))
    assert not failures, failures


# ----------------------------------------------------------------------------
# Many threads reading, writing, searching and converting shared trees while
# another keeps replacing them (dropping the last reference to the old ones).

STRESS_SCRIPT = """
import os, random, resource, threading, time
import arbolite
from arbolite import Node, SearchType

resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 2**20, 64 * 2**20))

def document(count, text):
    rows = "".join(f'<item id="{n}" k="{text}{n % 7}"><v>{text}{n}</v><w/></item>' for n in range(count))
    return f"<root><head t='{text}'/>{rows}</root>"

# Small ones indexed on the caller's thread, large ones (256 KiB or more) on
# a worker; ASCII and not.
docs = [document(50, "a"), document(40, "\\u00e9\\u4e2d"), document(12000, "b"), document(9000, "\\U0001f600")]
bad = "<root><item></root>"

# What each document's tree must give, computed before any thread starts.
expected = []
for doc in docs:
    tree = arbolite.read_string(doc, "root")
    expected.append({
        # Attributes come in each map's own order, which differs between
        # trees of the same document: texts are compared by their lines
        # sorted, or read back.
        "dict": tree.to_dict(),
        "str": sorted(str(tree).splitlines()),
        "xml": len(arbolite.write_string(tree)),
        "xml2": len(arbolite.write_string(tree, indent=2, default_xml_def=False)),
        "items": len(tree.search_by_name("item")),
        "attr": len(tree.search(SearchType.Attr, "k")),
    })
del tree

shared = [(0, arbolite.read_string(docs[0], "root"))]
stop = threading.Event()
errors = []
counts = {}

first_rounds = threading.Semaphore(0)

def worker(name, step):
    # Finishes one whole round however slow the machine (the main thread
    # waits for every first round before it stops them), then goes on until
    # stopped.
    def run():
        rng = random.Random(name)
        n = 0
        try:
            while n == 0 or not stop.is_set():
                step(rng)
                n += 1
                if n == 1:
                    first_rounds.release()
        except BaseException as exc:
            errors.append(f"{name}: {exc!r}")
            if n == 0:
                first_rounds.release()
        counts[name] = n
    return threading.Thread(target=run, name=name)

def replace(rng):
    k = rng.randrange(len(docs))
    if rng.random() < 0.5:
        tree = arbolite.read_string(docs[k], "root")
    else:
        tree = Node.from_dict(expected[k]["dict"])
    shared[0] = (k, tree)  # the old tree may go now

def read(rng):
    k = rng.randrange(len(docs))
    tree = arbolite.read_string(docs[k], "root")
    assert tree.to_dict() == expected[k]["dict"]
    try:
        arbolite.read_string(bad, "root")
    except ValueError as exc:
        assert "expected </item>" in str(exc), exc
    else:
        raise AssertionError("malformed document read")

def write(rng):
    k, tree = shared[0]
    xml = arbolite.write_string(tree)
    assert len(xml) == expected[k]["xml"]
    assert arbolite.read_string(xml, "root").to_dict() == expected[k]["dict"]
    path = os.path.join(folder, f"{threading.get_ident()}.xml")
    arbolite.write_file(tree, path, indent=2, default_xml_def=False)
    with open(path, encoding="utf-8") as f:
        assert len(f.read()) == expected[k]["xml2"]
    assert arbolite.read_file(path, "root").to_dict() == expected[k]["dict"]

def search(rng):
    k, tree = shared[0]
    assert len(tree.search_by_name("item")) == expected[k]["items"]
    assert len(tree.search(SearchType.Attr, "k")) == expected[k]["attr"]

def convert(rng):
    k, tree = shared[0]
    d = tree.to_dict()
    assert d == expected[k]["dict"]
    assert Node.from_dict(d).to_dict() == d
    assert sorted(str(tree).splitlines()) == expected[k]["str"]

threads = [worker("replace", replace)]
for i in range(2):
    threads += [worker(f"read{i}", read), worker(f"write{i}", write),
                worker(f"search{i}", search), worker(f"convert{i}", convert)]
for t in threads:
    t.start()
time.sleep(SECONDS)
for t in threads:
    first_rounds.acquire()
stop.set()
for t in threads:
    t.join()
assert not errors, errors
assert all(counts[t.name] > 0 for t in threads), counts
print("ok")
"""


def test_threads_share_trees_while_others_drop_them(tmp_path):
    seconds = 1.5 if SANITIZED else 4
    proc = run_python(f"SECONDS = {seconds}\nfolder = {str(tmp_path)!r}\n" + STRESS_SCRIPT, timeout=300)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-4000:])
    assert proc.stdout == "ok\n", proc.stderr[-4000:]
