"""What one node kept from a read costs, against ElementTree.

The routine extraction loop: read many documents of about 100 KB, keep one
node of each and drop the rest. Each case runs in a fresh process per
library; the figure is the growth of the resident set (after a collection
and malloc_trim) per kept node. The kept node is a leaf with a short text,
a leaf with a text longer than 96 bytes, or a subtree of 20 records (six
elements each) with short or long texts.

    python bench/kept.py [--documents N] [--json FILE]
"""

import argparse
import json
import subprocess
import sys

PROBE = r"""
import ctypes, gc, random, sys
sys.path.insert(0, {bench_dir!r})
from corpus import WORDS, words

libc = ctypes.CDLL("libc.so.6")
def rss():
    gc.collect()
    libc.malloc_trim(0)
    return int(open("/proc/self/statm").read().split()[1]) * 4096

lib, name, index, note_words, documents = {lib!r}, {name!r}, {index}, {note_words}, {documents}

def record(rng, n):
    return (f"<record><id>{{n}}</id><name>{{words(rng, 2)}}</name><email>{{rng.choice(WORDS)}}@example.org</email>"
            f"<city>{{rng.choice(WORDS)}}</city><note>{{words(rng, note_words)}}</note></record>")

# A first element of a varying number of children moves every later node,
# so that the kept nodes fall at different places in the memory of their
# reads; then batches of 20 records up to 100 KB.
def document(seed):
    rng = random.Random(seed)
    parts, size, n = ["<root><pad>" + "<p/>" * rng.randrange(80) + "</pad>"], 0, 0
    while size < 100_000:
        parts.append("<batch>" + "".join(record(rng, n + k) for k in range(20)) + "</batch>")
        size += len(parts[-1])
        n += 20
    return "".join(parts) + "</root>"

texts = [document(seed) for seed in range(32)]
if lib == "arbolite":
    import arbolite
    keep = lambda text: arbolite.read_string(text, "root").search_by_name(name)[index]
else:
    import xml.etree.ElementTree as ET
    keep = lambda text: list(ET.fromstring(text).iter(name))[index]
for text in texts[:4]:
    keep(text)
kept = [None] * documents
before = rss()
for i in range(documents):
    kept[i] = keep(texts[i % len(texts)])
print((rss() - before) / documents)
"""

# (label, name and index of the kept element among those of its name, words per note)
CASES = [
    ("leaf", "id", 0, 4),
    ("leaf, text of 150 bytes", "note", 0, 25),
    ("20-record subtree", "batch", 1, 4),
    ("20-record subtree, texts of 150 bytes", "batch", 1, 25),
]
LIBRARIES = ("arbolite", "ElementTree")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--documents", type=int, default=10_000, help="documents read per case (default 10000)")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    bench_dir = sys.path[0]
    rows = []
    print("| kept node | arbolite bytes | ElementTree bytes | arbolite / ET |")
    print("|---|---|---|---|")
    for label, name, index, note_words in CASES:
        figures = {}
        for lib in LIBRARIES:
            code = PROBE.format(bench_dir=bench_dir, lib=lib, name=name, index=index, note_words=note_words,
                                documents=args.documents)
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                                 timeout=1800)
            figures[lib] = float(out.stdout)
        ours, theirs = (figures[lib] for lib in LIBRARIES)
        print(f"| {label} | {ours:,.0f} | {theirs:,.0f} | {ours / theirs:.2f} |", flush=True)
        rows.append({"label": label, "values": figures})
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"documents": args.documents, "rows": rows}, f, indent=1)
            f.write("\n")


if __name__ == "__main__":
    main()
