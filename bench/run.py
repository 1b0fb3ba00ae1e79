"""Side-by-side benchmarks of arbolite, lxml, ElementTree, xmltodict and a
native C++ DOM parser.

Documents: generated shapes at several sizes (bench/corpus.py) and the XML
files that Debian packages install (ISO code lists, the MIME database,
keyboard layouts; a file that is absent, empty or not well-formed is
skipped with a note). Every task is checked (element and match counts
agree across libraries) before anything is timed. Times are the best of
several rounds in this one process, each round timing every library once in
turn; a call that takes less than --min-time is timed in a loop and
reported per call. Results are MB/s of document text (or ms, or bytes) with
ratios against arbolite; the threads table gives the speedup of two threads
over one beside that of a task that runs without the interpreter lock.

    python bench/run.py [--only read,write,search,to_dict,memory,threads]
                        [--shapes attrs,catalog,...] [--sizes 4K,100K,1M,8M] [--no-files]
                        [--rounds N] [--min-time S] [--native PATH]
                        [--json FILE] [--markdown FILE]
"""

import argparse
import datetime
import gc
import glob
import math
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zlib
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import lxml.etree
import xmltodict

import arbolite
from corpus import SHAPES, generate

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)
DEFAULT_NATIVE = os.path.join(REPO_DIR, "build", "bench", "native_dom")

SECTIONS = ("read", "write", "search", "to_dict", "memory", "threads")
# The element each shape is searched for.
SEARCH_NAME = {"attrs": "row", "catalog": "title", "prose": "em", "deep": "leaf", "wide": "item", "mixed": "line",
               "chain": "leaf"}
# Shapes made only at these sizes and up: one chain of a thousand levels is
# already 15 KB.
MIN_SIZE = {"chain": 100 * 1024}
SIZE_UNITS = {"K": 1024, "M": 1024 * 1024}
# Files installed by Debian packages (iso-codes, shared-mime-info, xkb-data).
SYSTEM_FILES = ["/usr/share/xml/iso-codes/*.xml", "/usr/share/mime/packages/freedesktop.org.xml",
                "/usr/share/X11/xkb/rules/evdev.xml"]
# Indented output above this size is not written (chains 1,000 deep indent
# to a hundred times their size).
WRITE_LIMIT = 64 * 1000 * 1000
INDENT = 2  # blanks per level, as ElementTree and lxml indent by default
# ElementTree indents and writes a tree by recursion in Python, a frame or
# two per level: chains 1,000 deep need more than the default limit.
sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))


# ---------------------------------------------------------------- documents

class Doc:
    """One benchmark document, held as `str` and UTF-8 bytes and as a file
    (for the native parser and the memory probe)."""

    def __init__(self, label, text, root, path, search_name=None, data=None):
        self.label, self.text, self.root, self.path = label, text, root, path
        self.data = text.encode() if data is None else data
        self.mb = len(self.data) / 1e6
        tree = arbolite.read_string(text, root)
        self.elements = count_nodes(tree)
        self.search_name = search_name or most_common_name(tree)
        self.max_output = indented_size_bound(tree)
        self.lxml_parser = None  # the default parser, unless the document is too deep for it
        try:
            lxml.etree.fromstring(self.data)
        except lxml.etree.XMLSyntaxError:
            self.lxml_parser = lxml.etree.XMLParser(huge_tree=True)

    def lxml_tree(self):
        return lxml.etree.fromstring(self.data, self.lxml_parser)


def parse_size(token):
    token = token.strip().upper().removesuffix("B")
    unit = SIZE_UNITS.get(token[-1:], 1)
    number = token[:-1] if token[-1:] in SIZE_UNITS else token
    return int(float(number) * unit)


def size_label(size):
    for suffix, unit in (("MB", SIZE_UNITS["M"]), ("KB", SIZE_UNITS["K"])):
        if size >= unit and size % unit == 0:
            return f"{size // unit} {suffix}"
    return f"{size} B"


def generated_docs(shapes, sizes, workdir):
    docs = []
    for size in sizes:
        for shape in shapes:
            if size < MIN_SIZE.get(shape, 0):
                continue
            text, root = generate(shape, size)
            label = f"{shape} {size_label(size)}"
            path = os.path.join(workdir, f"{shape}-{size}.xml")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            docs.append(Doc(label, text, root, path, SEARCH_NAME[shape]))
    return docs


def system_docs(notes):
    """The installed XML files, each once (the ISO lists have alias links),
    skipping those that are absent, empty or rejected as not well-formed."""
    paths = []
    for pattern in SYSTEM_FILES:
        found = sorted(glob.glob(pattern))
        if not found:
            notes.append(f"{pattern}: not installed, skipped")
        for p in found:
            real = os.path.realpath(p)
            if real not in paths:
                paths.append(real)
    docs = []
    for path in paths:
        name = os.path.basename(path)
        with open(path, "rb") as f:
            data = f.read()
        if not data.strip():
            notes.append(f"{name}: empty, skipped")
            continue
        try:
            text = data.decode("utf-8")
            ET.fromstring(text)
            root = document_element_name(text)
            docs.append(Doc(name, text, root, path, data=data))
        except (UnicodeDecodeError, ET.ParseError, ValueError) as e:
            notes.append(f"{name}: rejected ({e}), skipped")
    return docs


def document_element_name(text):
    """The name of the first element as written (with its prefix), past the
    declaration, comments, processing instructions and the doctype."""
    pos = 0
    while True:
        pos = text.index("<", pos)
        if text.startswith("<!--", pos):
            pos = text.index("-->", pos) + 3
        elif text.startswith("<?", pos):
            pos = text.index("?>", pos) + 2
        elif text.startswith("<!", pos):  # a doctype, perhaps with an internal subset
            bracket, end = text.find("[", pos), text.index(">", pos)
            if bracket != -1 and bracket < end:
                end = text.index(">", text.index("]", bracket))
            pos = end + 1
        else:
            return re.match(r"<([^\s/>]+)", text[pos:pos + 1024]).group(1)


def local_name(tag):
    return tag.rpartition("}")[2]


def count_nodes(node):
    count, stack = 0, [node]
    while stack:
        n = stack.pop()
        count += 1
        stack.extend(n.children)
    return count


def most_common_name(tree):
    names, stack = Counter(), list(tree.children)
    while stack:
        n = stack.pop()
        names[n.name] += 1
        stack.extend(n.children)
    return names.most_common(1)[0][0] if names else tree.name


def indented_size_bound(tree):
    """Bytes of indentation the writer adds: about two runs of blanks per
    element (before its start and its end tag), `INDENT` per level."""
    total, stack = 0, [(tree, 0)]
    while stack:
        n, depth = stack.pop()
        total += 2 * INDENT * depth + 2
        stack.extend((c, depth + 1) for c in n.children)
    return total


def etree_tag(et_root, name):
    """The ElementTree / lxml form of an element name: `{uri}name` where the
    document puts it in a namespace."""
    tags = Counter(e.tag for e in et_root.iter() if isinstance(e.tag, str) and local_name(e.tag) == name.split(":")[-1])
    return tags.most_common(1)[0][0] if tags else name


def count_etree(root):
    return sum(1 for _ in root.iter())


def count_lxml(root):
    return sum(1 for _ in root.iter(lxml.etree.Element))  # elements only, not comments


# ------------------------------------------------------------------- timing

class Timing:
    """Per-call time of each contender, best over rounds. A contender is a
    function of no arguments; a call shorter than `min_time` is repeated in
    a loop that lasts about that long. Results of a loop are kept until its
    time is taken, so every library is timed on building its results, not
    on freeing them."""

    def __init__(self, rounds, min_time):
        self.rounds, self.min_time = rounds, min_time

    def loop_count(self, fn):
        once = self.timed(fn, 1)  # also the warm-up: long calls are not repeated for it
        if once >= self.min_time:
            return 1
        once = self.timed(fn, 1)
        if once >= self.min_time:
            return 1
        return max(1, min(1_000_000, int(self.min_time / max(once, 1e-9))))

    @staticmethod
    def timed(fn, number):
        results = [None] * number
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            for i in range(number):
                results[i] = fn()
            elapsed = time.perf_counter() - start
            del results
        finally:
            gc.enable()
        return elapsed / number

    def best_of_each(self, fns, rounds=None):
        """Best time of each function, each round calling every function in
        turn: on a machine whose speed drifts (shared cores, frequency
        changes), every library meets the same conditions, so the ratios
        hold better than those of one library timed after another. A
        function may instead be a `NativeTimer`, which times itself."""
        timers = []
        for fn in fns:
            if isinstance(fn, NativeTimer):
                timers.append(fn)
            else:
                number = self.loop_count(fn)
                timers.append(lambda fn=fn, number=number: self.timed(fn, number))
        best = [math.inf] * len(fns)
        for _ in range(rounds or self.rounds):
            for i, timer in enumerate(timers):
                best[i] = min(best[i], timer())
        return best


class NativeTimer:
    """One round of the native parser on a document file: a process that
    reads the file and reports its best time per parse."""

    def __init__(self, binary, path, min_time):
        self.command = [binary, path, "--rounds", "1", "--min-time", str(min_time)]

    def run(self):
        out = subprocess.run(self.command, capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise RuntimeError(out.stderr.strip() or f"native_dom exited with {out.returncode}")
        return dict(field.split("=", 1) for field in out.stdout.split())

    def __call__(self):
        return float(self.run()["best_s"])


# ------------------------------------------------------------------- tables

def fmt(value):
    if isinstance(value, str):
        return value
    if isinstance(value, int):
        return f"{value:,}"
    if value is None or math.isnan(value):
        return "-"
    return f"{value:,.1f}" if abs(value) >= 10 else f"{value:.3g}"


def ratio(ours, theirs):
    """How many times faster arbolite is: their time over ours."""
    if ours is None or theirs is None:
        return "-"
    return f"{theirs / ours:.1f}x" if theirs / ours >= 0.95 else f"{theirs / ours:.2f}x"


class Section:
    """One table: printed as Markdown (with ratio columns) and stored in the
    JSON results (values only)."""

    def __init__(self, id, title, unit, higher_is_better, columns, headers):
        self.id, self.title, self.unit, self.higher = id, title, unit, higher_is_better
        self.columns, self.headers = list(columns), headers
        self.rows, self.cells, self.notes = [], [], []

    def add(self, label, values, cells):
        self.rows.append({"label": label, "values": {k: round(v, 6) for k, v in values.items() if v is not None}})
        self.cells.append([fmt(c) for c in [label, *cells]])

    def markdown(self):
        lines = [f"**{self.title}**", "", "| " + " | ".join(self.headers) + " |", "|" + "---|" * len(self.headers)]
        lines += ["| " + " | ".join(r) + " |" for r in self.cells]
        lines += [""] + [f"- {n}" for n in self.notes] if self.notes else []
        return "\n".join(lines) + "\n"

    def as_json(self):
        used = [c for c in self.columns if any(c in r["values"] for r in self.rows)]
        return {"id": self.id, "title": self.title, "unit": self.unit, "higher_is_better": self.higher,
                "columns": used, "rows": self.rows}


# ---------------------------------------------------------------- sections

def bench_read(docs, timing, native):
    section = Section("read", "read: MB/s (higher is better)", "MB/s", True,
                      ["arbolite", "lxml", "ElementTree", "native DOM"],
                      ["document", "MB", "arbolite", "lxml", "ElementTree", "native DOM", "vs lxml", "vs ET",
                       "vs native"])
    if native is None:
        section.notes.append("native DOM: not built (bench/setup), column left out")
    for doc in docs:
        text, root, data = doc.text, doc.root, doc.data
        counts = {doc.elements, count_lxml(doc.lxml_tree()), count_etree(ET.fromstring(text))}
        assert len(counts) == 1, f"{doc.label}: element counts differ {counts}"
        fns = [lambda: arbolite.read_string(text, root), lambda: lxml.etree.fromstring(data, doc.lxml_parser),
               lambda: ET.fromstring(text)]
        if native is not None:
            timer = NativeTimer(native, doc.path, timing.min_time)
            found = int(timer.run()["elements"])
            assert found == doc.elements, f"{doc.label}: native parser found {found} elements, not {doc.elements}"
            fns.append(timer)
        times = timing.best_of_each(fns) + [None] * (4 - len(fns))
        t_ours, t_lx, t_et, t_nat = times
        speeds = [doc.mb / t if t else None for t in times]
        section.add(doc.label, dict(zip(section.columns, speeds)),
                    [doc.mb, *speeds, ratio(t_ours, t_lx), ratio(t_ours, t_et), ratio(t_ours, t_nat)])
        if doc.lxml_parser is not None:
            section.notes.append(f"{doc.label}: lxml with huge_tree=True (its default parser stops at 256 levels)")
    return section


def bench_write(docs, timing):
    section = Section("write", f"write, indented by {INDENT}: MB/s of output (higher is better)", "MB/s", True,
                      ["arbolite", "lxml", "ElementTree"],
                      ["document", "arbolite", "lxml", "ElementTree", "vs lxml", "vs ET"])
    for doc in docs:
        if doc.max_output + len(doc.data) > WRITE_LIMIT:
            section.notes.append(f"{doc.label}: skipped, its indented output would be over "
                                 f"{(doc.max_output + len(doc.data)) / 1e6:,.0f} MB")
            continue
        ours = arbolite.read_string(doc.text, doc.root)
        lx = doc.lxml_tree()
        et = ET.fromstring(doc.text)
        out = arbolite.write_string(ours, indent=INDENT)
        assert count_nodes(arbolite.read_string(out, doc.root)) == doc.elements
        mb = len(out.encode()) / 1e6

        # All three re-indent the whole tree by the same step: lxml's
        # pretty_print alone leaves elements that have whitespace around them
        # as they are.
        def lxml_write():
            lxml.etree.indent(lx, space=" " * INDENT)
            return lxml.etree.tostring(lx, encoding="unicode")

        def et_write():
            ET.indent(et, space=" " * INDENT)
            return ET.tostring(et, encoding="unicode", xml_declaration=True)

        t_ours, t_lx, t_et = timing.best_of_each(
            [lambda: arbolite.write_string(ours, indent=INDENT), lxml_write, et_write])
        section.add(doc.label, {"arbolite": mb / t_ours, "lxml": mb / t_lx, "ElementTree": mb / t_et},
                    [mb / t_ours, mb / t_lx, mb / t_et, ratio(t_ours, t_lx), ratio(t_ours, t_et)])
    return section


def bench_search(docs, timing):
    section = Section("search", "search_by_name vs iter(name): ms (lower is better)", "ms", False,
                      ["arbolite", "ElementTree", "lxml"],
                      ["document", "name", "matches", "arbolite", "ElementTree", "lxml", "vs ET", "vs lxml"])
    for doc in docs:
        name = doc.search_name
        ours, et, lx = arbolite.read_string(doc.text, doc.root), ET.fromstring(doc.text), doc.lxml_tree()
        et_name, lx_name = etree_tag(et, name), etree_tag(lx, name)
        matches = {len(ours.search_by_name(name)), len(list(et.iter(et_name))), len(list(lx.iter(lx_name)))}
        assert len(matches) == 1, f"{doc.label}: match counts differ {matches}"
        t_ours, t_et, t_lx = timing.best_of_each(
            [lambda: ours.search_by_name(name), lambda: list(et.iter(et_name)), lambda: list(lx.iter(lx_name))])
        section.add(doc.label, {"arbolite": t_ours * 1e3, "ElementTree": t_et * 1e3, "lxml": t_lx * 1e3},
                    [name, matches.pop(), t_ours * 1e3, t_et * 1e3, t_lx * 1e3, ratio(t_ours, t_et),
                     ratio(t_ours, t_lx)])
    return section


def bench_to_dict(docs, timing):
    section = Section("to_dict", "read + to_dict vs xmltodict.parse: MB/s", "MB/s", True,
                      ["arbolite", "xmltodict"], ["document", "arbolite", "xmltodict", "vs xmltodict"])
    for doc in docs:
        text, root = doc.text, doc.root
        d = arbolite.read_string(text, root).to_dict()
        assert d["name"] == root and root in xmltodict.parse(text)
        t_ours, t_x = timing.best_of_each(
            [lambda: arbolite.read_string(text, root).to_dict(), lambda: xmltodict.parse(text)],
            max(1, timing.rounds // 2))
        section.add(doc.label, {"arbolite": doc.mb / t_ours, "xmltodict": doc.mb / t_x},
                    [doc.mb / t_ours, doc.mb / t_x, ratio(t_ours, t_x)])
    return section


# The trees of `copies` distinct copies of the document (so that a small
# document is measured over megabytes, above the allocator's granularity),
# all kept alive; the resident memory they add, per copy.
MEMORY_PROBE = r"""
import ctypes, gc, sys
libc = ctypes.CDLL("libc.so.6")
def rss():
    gc.collect()
    libc.malloc_trim(0)
    return int(open("/proc/self/statm").read().split()[1]) * 4096
path, root, lib, copies = {path!r}, {root!r}, {lib!r}, {copies}
text = open(path, encoding="utf-8").read()
if lib == "arbolite":
    import arbolite
    parse = lambda t: arbolite.read_string(t, root)
else:
    import xml.etree.ElementTree as ET
    parse = lambda t: ET.fromstring(t)
# Warm up imports and caches on a document of one element: a warm-up on the
# document itself would leave freed blocks in the allocator's arenas (the
# reader's worker thread has its own) for the measured trees to reuse unseen.
parse("<" + root + "/>")
texts = [text.encode().decode() for _ in range(copies)]
before = rss()
trees = [parse(t) for t in texts]
print((rss() - before) / copies)
"""
MEMORY_INPUT = 8 * 1024 * 1024  # bytes of document text per measurement


def bench_memory(docs):
    section = Section("memory", "retained memory per element: bytes (lower is better)", "bytes", False,
                      ["arbolite", "ElementTree"], ["document", "elements", "arbolite", "ElementTree", "arbolite / ET"])
    for doc in docs:
        copies = max(1, MEMORY_INPUT // max(1, len(doc.data)))
        cells = []
        for lib in ("arbolite", "ElementTree"):
            code = MEMORY_PROBE.format(path=doc.path, root=doc.root, lib=lib, copies=copies)
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                                 timeout=600)
            cells.append(float(out.stdout) / doc.elements)
        section.add(doc.label, {"arbolite": cells[0], "ElementTree": cells[1]},
                    [doc.elements, *cells, f"{cells[0] / cells[1]:.2f}"])
    return section


# (label, shape, size in bytes, distinct documents, tasks): many small
# documents and a few large ones.
THREAD_WORKLOADS = [
    ("small element-dense", "wide", 100 * 1024, 16, 240),
    ("small prose", "prose", 70 * 1024, 16, 600),
    ("large", "catalog", 8 * 1024 * 1024, 2, 6),
]


def bench_threads(timing):
    """Two threads against one through ThreadPoolExecutor.map, beside the
    same map over a task that releases the interpreter lock for all its
    work (zlib.compress of a buffer sized to take as long as one read): the
    reference speedup that the machine allows."""
    section = Section("threads", "threads: speedup of 2 threads over 1 through ThreadPoolExecutor.map "
                      "(higher is better)", "x", True, ["arbolite", "zlib.compress"],
                      ["workload", "tasks", "1 thread ms", "2 threads ms", "speedup", "zlib.compress speedup",
                       "of reference"])
    single = Timing(5, 0.05)
    for label, shape, size, distinct, tasks in THREAD_WORKLOADS:
        docs = [generate(shape, size, seed=20261207 + i) for i in range(distinct)]
        items = [docs[i % distinct] for i in range(tasks)]
        mean_size = sum(len(t.encode()) for t, _ in docs) / distinct
        read = lambda doc: arbolite.read_string(*doc)
        t_read = single.best_of_each([lambda: read(docs[0])])[0]
        # zlib's time grows with its input: size its buffer from the document's
        # own bytes to take as long as one read.
        sample = docs[0][0].encode()
        t_zip = single.best_of_each([lambda: zlib.compress(sample)])[0]
        length = max(1, int(len(sample) * t_read / t_zip))
        buffer = (sample * (length // len(sample) + 1))[:length]
        compress = lambda _: zlib.compress(buffer)

        pools = {n: ThreadPoolExecutor(max_workers=n) for n in (1, 2)}
        try:
            for pool in pools.values():  # start the threads before timing
                list(pool.map(time.sleep, [0.01] * 4))
            fns = [lambda: list(pools[1].map(read, items)), lambda: list(pools[2].map(read, items)),
                   lambda: list(pools[1].map(compress, items)), lambda: list(pools[2].map(compress, items))]
            r1, r2, z1, z2 = timing.best_of_each(fns)
        finally:
            for pool in pools.values():
                pool.shutdown()
        ours, ref = r1 / r2, z1 / z2
        section.add(f"{label} ({mean_size / 1024:,.0f} KB)", {"arbolite": ours, "zlib.compress": ref},
                    [tasks, r1 * 1e3, r2 * 1e3, f"{ours:.2f}x", f"{ref:.2f}x", f"{ours / ref:.2f}"])
    return section


# --------------------------------------------------------------------- main

def machine_description():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    return f"{platform.machine()}, {os.cpu_count()} cores{', ' + model if model else ''}, {platform.system()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", default=",".join(SECTIONS), help=f"tables to make (default all: {','.join(SECTIONS)})")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="generated shapes (default all)")
    parser.add_argument("--sizes", default="4K,100K,1M,8M", help="sizes of the generated documents (default 4K,100K,1M,8M)")
    parser.add_argument("--size", type=float, help="one size in MB instead of --sizes")
    parser.add_argument("--no-files", action="store_true", help="leave out the installed XML files")
    parser.add_argument("--rounds", "--repeat", type=int, default=5, help="rounds per timing (default 5)")
    parser.add_argument("--min-time", type=float, default=0.02,
                        help="time a call in a loop of at least this many seconds (default 0.02)")
    parser.add_argument("--native", default=DEFAULT_NATIVE, help="the native DOM program (built by bench/setup)")
    parser.add_argument("--json", help="write all results to this file")
    parser.add_argument("--markdown", help="also write the tables to this file")
    parser.add_argument("--skip-memory", action="store_true", help="leave out the memory table")
    args = parser.parse_args()

    only = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = [s for s in only if s not in SECTIONS]
    shapes = [s.strip() for s in args.shapes.split(",") if s.strip()]
    unknown += [s for s in shapes if s not in SHAPES]
    if unknown:
        parser.error(f"unknown table or shape: {', '.join(unknown)}")
    if args.skip_memory and "memory" in only:
        only.remove("memory")
    sizes = [int(args.size * 1024 * 1024)] if args.size else [parse_size(s) for s in args.sizes.split(",") if s.strip()]
    native = args.native if args.native and os.access(args.native, os.X_OK) else None
    if native is None and "read" in only:
        print(f"note: no native DOM program at {args.native} (run bench/setup); its column is left out",
              file=sys.stderr)

    timing = Timing(args.rounds, args.min_time)
    notes, sections = [], []
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="arbolite-bench-") as workdir:
        docs = []
        if any(s != "threads" for s in only):
            docs = generated_docs(shapes, sizes, workdir) + ([] if args.no_files else system_docs(notes))
        for note in notes:
            print(f"note: {note}", file=sys.stderr)
        runners = {"read": lambda: bench_read(docs, timing, native), "write": lambda: bench_write(docs, timing),
                   "search": lambda: bench_search(docs, timing), "to_dict": lambda: bench_to_dict(docs, timing),
                   "memory": lambda: bench_memory(docs), "threads": lambda: bench_threads(timing)}
        for name in SECTIONS:
            if name in only:
                begun = time.perf_counter()
                sections.append(runners[name]())
                print(f"({name}: {time.perf_counter() - begun:.0f} s)", file=sys.stderr, flush=True)

    report = "\n".join(s.markdown() for s in sections)
    if notes:
        report += "\n" + "\n".join(f"- {n}" for n in notes) + "\n"
    print(report)
    print(f"(all: {time.perf_counter() - started:.0f} s)", file=sys.stderr)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(report)
    if args.json:
        import json
        result = {"meta": {"python": platform.python_version(), "machine": machine_description(),
                           "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")},
                  "sections": [s.as_json() for s in sections]}
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1, ensure_ascii=False)
            f.write("\n")


if __name__ == "__main__":
    main()
