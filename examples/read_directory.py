"""Reads every XML document of a directory on a pool of threads and sums up the
items that they list.

    python examples/read_directory.py DIR [--workers N] [--root catalog] [--item item]
                                          [--pattern '*.xml'] [--records]

Each document is read with its own `arbolite.read_file` call on a worker thread;
the reader parses without the interpreter lock, so the threads overlap on
several cores. From each document the worker takes one plain record per <item>
element: its `id` attribute and the texts of its <name> and <price> children.
The records come back in file order (sorted by path), whatever the number of
workers, so the output does not depend on it.

Files that cannot be read or parsed are reported on stderr and skipped; the exit
status is then 1.
"""

import argparse
import concurrent.futures
import json
import math
import os
import pathlib
import sys

import arbolite


def item_records(root, item="item"):
    """One dict per `item` element at any depth below `root` (itself included):
    {"id": ..., "name": ..., "price": ...}. A missing attribute or child gives
    None; the price is the float of the <price> text."""
    records = []
    for element in root.search_by_name(item):
        form = element.to_dict()
        fields = {}
        for child in form["children"]:
            fields.setdefault(child["name"], child["text"])
        price = fields.get("price")
        records.append(
            {
                "id": form["attrs"].get("id"),
                "name": fields.get("name"),
                "price": None if price is None else float(price),
            }
        )
    return records


def file_records(path, root_tag="catalog", item="item"):
    """The item records of one document (runs on a worker thread)."""
    return item_records(arbolite.read_file(os.fspath(path), root_tag), item)


def read_directory(directory, workers=None, root_tag="catalog", item="item", pattern="*.xml"):
    """Reads the matching files of `directory` on `workers` threads (None: the
    executor's default). Returns (paths, records, failures): the sorted paths,
    all records in path order, and (path, exception) for each file that failed."""
    paths = sorted(p for p in pathlib.Path(directory).glob(pattern) if p.is_file())
    records, failures = [], []
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(file_records, path, root_tag, item) for path in paths]
        for path, future in zip(paths, futures):
            try:
                records.extend(future.result())
            except (OSError, ValueError) as exc:
                failures.append((path, exc))
    return paths, records, failures


def summary(paths, records, failures):
    """The report printed by the command, as a list of lines."""
    priced = [r for r in records if r["price"] is not None]
    lines = [
        f"files: {len(paths)} ({len(failures)} failed)",
        f"records: {len(records)} ({len(priced)} priced)",
        f"total price: {math.fsum(r['price'] for r in priced):.2f}",
    ]
    if priced:
        # Ties go to the smaller id, so the choice does not depend on order.
        cheapest = min(priced, key=lambda r: (r["price"], str(r["id"])))
        dearest = min(priced, key=lambda r: (-r["price"], str(r["id"])))
        for label, r in (("cheapest", cheapest), ("dearest", dearest)):
            lines.append(f"{label}: {r['id']} {r['name']!r} {r['price']:.2f}")
    return lines


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", help="the directory to read")
    parser.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1,
                        help="number of reading threads (default: the number of cores)")
    parser.add_argument("--root", default="catalog", help="the element to read from each file")
    parser.add_argument("--item", default="item", help="the element that makes one record")
    parser.add_argument("--pattern", default="*.xml", help="file name pattern ('**/*.xml' for subfolders)")
    parser.add_argument("--records", action="store_true",
                        help="print every record as a line of JSON instead of the summary")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.directory):
        parser.error(f"not a directory: {args.directory}")

    paths, records, failures = read_directory(args.directory, args.workers, args.root, args.item, args.pattern)
    for path, exc in failures:
        print(f"{parser.prog}: {path}: {type(exc).__name__}: {exc}", file=sys.stderr)
    if args.records:
        for record in records:
            print(json.dumps(record, ensure_ascii=False))
    else:
        print("\n".join(summary(paths, records, failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
