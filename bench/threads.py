"""Threads and processes: how much a second thread gains, and what crossing a
process costs.

    python bench/threads.py [--rounds N] [--small-count N] [--large-count N]

Two sets of catalogue documents (bench/corpus.py's catalog shape) are written
to a temporary directory: many small ones (about 100 KB) and a few large ones
(8 MB). Each task is run over a whole set by a ThreadPoolExecutor of 1 and of 2
threads, and the wall time of the pass is taken; best of N rounds, each round
timing every configuration once in turn, so a drifting machine speed hits them
all alike.

Tasks (per document):
- read: arbolite.read_file, the tree then dropped;
- write: arbolite.write_string(tree, indent=2) of a tree read beforehand;
- read + records: read_file, then one dict per <book> (search_by_name and
  to_dict), the way examples/read_directory.py works;
- zlib reference: zlib.compress of a buffer sized so that one call takes as
  long as one read. zlib releases the interpreter lock for the whole call, so
  its speedup is what two threads can reach on this machine at this moment.

Then the cost of the way across processes, per MB of XML: to_dict in the worker,
pickle there, unpickle and Node.from_dict in the parent, next to the read itself;
and a pass over the small documents by a ProcessPoolExecutor of 2 processes
returning trees that way, next to 2 threads returning trees.

Prints Markdown tables.
"""

import argparse
import concurrent.futures
import gc
import os
import pathlib
import pickle
import platform
import random
import sys
import tempfile
import time
import zlib

import arbolite
from arbolite import Node

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import corpus  # noqa: E402

ROOT = "catalog"


def make_set(directory, prefix, count, size, seed):
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        text, root = corpus.catalog(rng, size)
        assert root == ROOT
        path = directory / f"{prefix}{i:03d}.xml"
        path.write_text(text, encoding="utf-8")
        paths.append(str(path))
    return paths


def read(path):
    arbolite.read_file(path, ROOT)


def write(tree):
    arbolite.write_string(tree, indent=2)


def read_records(path):
    root = arbolite.read_file(path, ROOT)
    records = []
    for book in root.search_by_name("book"):
        form = book.to_dict()
        fields = {c["name"]: c["text"] for c in form["children"]}
        records.append({"id": form["attrs"]["id"], "title": fields["title"], "price": float(fields["price"])})
    return len(records)


def compress(buffer):
    zlib.compress(buffer, 6)


def one_pass(pool, task, items):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in pool.map(task, items):
            pass
        return time.perf_counter() - start
    finally:
        gc.enable()


def timed(fn, *args):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def best(fn, rounds, *args):
    times = []
    result = None
    for _ in range(rounds):
        elapsed, result = timed(fn, *args)
        times.append(elapsed)
        del result
    return min(times)


def reference_buffer(path, target, rounds):
    """A buffer of the document's own bytes (repeated as needed) that zlib
    compresses in about `target` seconds."""
    data = pathlib.Path(path).read_bytes()
    size = len(data)
    for _ in range(3):
        buffer = (data * (size // len(data) + 1))[:size]
        took = best(compress, rounds, buffer)
        size = max(1024, int(size * target / took))
    return (data * (size // len(data) + 1))[:size]


def thread_table(sets, rounds):
    """Best pass time for every (set, task, threads)."""
    pools = {n: concurrent.futures.ThreadPoolExecutor(max_workers=n) for n in (1, 2)}
    try:
        configs = []
        for set_name, paths in sets.items():
            trees = [arbolite.read_file(p, ROOT) for p in paths]
            per_read = best(lambda: [read(p) for p in paths], rounds) / len(paths)
            buffer = reference_buffer(paths[0], per_read, rounds)
            tasks = {
                "read": (read, paths),
                "write": (write, trees),
                "read + records": (read_records, paths),
                "zlib reference": (compress, [buffer] * len(paths)),
            }
            for task_name, (task, items) in tasks.items():
                for n in (1, 2):
                    configs.append(((set_name, task_name, n), task, items))
        results = {key: float("inf") for key, _, _ in configs}
        for _ in range(rounds):
            for key, task, items in configs:
                results[key] = min(results[key], one_pass(pools[key[2]], task, items))
        return results
    finally:
        for pool in pools.values():
            pool.shutdown()


def to_dict_in_worker(path):
    return arbolite.read_file(path, ROOT).to_dict()


def read_in_thread(path):
    return arbolite.read_file(path, ROOT)


def crossing_costs(paths, rounds):
    """Seconds per MB of each step of the crossing, over a set of documents."""
    megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
    steps = {"read_file": 0.0, "to_dict": 0.0, "pickle": 0.0, "unpickle": 0.0, "from_dict": 0.0}
    for path in paths:
        tree = arbolite.read_file(path, ROOT)
        form = tree.to_dict()
        blob = pickle.dumps(form, pickle.HIGHEST_PROTOCOL)
        steps["read_file"] += best(arbolite.read_file, rounds, path, ROOT)
        steps["to_dict"] += best(tree.to_dict, rounds)
        steps["pickle"] += best(pickle.dumps, rounds, form, pickle.HIGHEST_PROTOCOL)
        steps["unpickle"] += best(pickle.loads, rounds, blob)
        steps["from_dict"] += best(Node.from_dict, rounds, form)
        del tree, form, blob
    return {k: v / megabytes for k, v in steps.items()}


def process_pass(pool, paths):
    trees = [Node.from_dict(form) for form in pool.map(to_dict_in_worker, paths)]
    return len(trees)


def thread_pass(pool, paths):
    trees = list(pool.map(read_in_thread, paths))
    return len(trees)


def pool_comparison(paths, rounds):
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as processes, \
            concurrent.futures.ThreadPoolExecutor(max_workers=2) as threads:
        list(processes.map(to_dict_in_worker, paths[:2]))  # start the workers
        best_p = best_t = float("inf")
        for _ in range(rounds):
            best_p = min(best_p, timed(process_pass, processes, paths)[0])
            best_t = min(best_t, timed(thread_pass, threads, paths)[0])
    return best_t, best_p


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--small-count", type=int, default=64)
    parser.add_argument("--large-count", type=int, default=4)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="arbolite-threads-") as tmp:
        tmp = pathlib.Path(tmp)
        sets = {
            "small": make_set(tmp, "small", args.small_count, 100_000, 1),
            "large": make_set(tmp, "large", args.large_count, 8_000_000, 2),
        }
        sizes = {name: sum(os.path.getsize(p) for p in paths) / len(paths) for name, paths in sets.items()}

        print(f"{time.strftime('%Y-%m-%d')}, {platform.machine()}, {os.cpu_count()} cores, "
              f"CPython {platform.python_version()}, best of {args.rounds} rounds\n")

        results = thread_table(sets, args.rounds)
        print("| documents | task | 1 thread ms | 2 threads ms | speedup |")
        print("|---|---|---|---|---|")
        for set_name, paths in sets.items():
            label = f"{len(paths)} x {sizes[set_name] / 1e3:,.0f} KB"
            for task_name in ("read", "write", "read + records", "zlib reference"):
                one = results[(set_name, task_name, 1)]
                two = results[(set_name, task_name, 2)]
                print(f"| {label} | {task_name} | {one * 1e3:.1f} | {two * 1e3:.1f} | {one / two:.2f}x |")

        print("\n| documents | read_file | to_dict | pickle | unpickle | from_dict | crossing / read |")
        print("|---|---|---|---|---|---|---|")
        for set_name, paths in sets.items():
            costs = crossing_costs(paths, args.rounds)
            crossing = costs["to_dict"] + costs["pickle"] + costs["unpickle"] + costs["from_dict"]
            cells = " | ".join(f"{costs[k] * 1e3:.1f}" for k in costs)
            print(f"| {set_name} | {cells} | {crossing / costs['read_file']:.1f}x |")
        print("(ms per MB of XML)")

        best_t, best_p = pool_comparison(sets["small"], args.rounds)
        print(f"\n{len(sets['small'])} small documents to trees: 2 threads {best_t * 1e3:.1f} ms, "
              f"2 processes (to_dict, pickle, from_dict) {best_p * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
