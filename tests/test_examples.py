"""The scaling examples: examples/read_directory.py (a thread pool) and
examples/dask_records.py (a Dask cluster of worker processes), each run as a
program on a generated directory of catalogues and checked against the records
that the generator put in."""

import json
import math
import pathlib
import random
import subprocess
import sys
from xml.sax.saxutils import escape

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
NAMES = ("Lamp", "Tom & Jerry <deluxe>", "Café crème", "雪国", "Chair", "Ünïcode 🌍", "Desk")


def make_corpus(directory, count=20, seed=7):
    """Writes count catalogues into directory; returns the records each file
    holds, in path order: (path, [{"id", "name", "price"}...])."""
    rng = random.Random(seed)
    directory.mkdir(exist_ok=True)
    files = []
    for f in range(count):
        records, parts = [], []
        for i in range(0 if f == 3 else rng.randint(1, 12)):
            record = {"id": f"f{f:02d}-{i}", "name": None, "price": None}
            fields = []
            if i % 5 != 4:
                record["name"] = f"{rng.choice(NAMES)} {i}"
                fields.append(f"<name lang='x'>{escape(record['name'])}</name>")
            fields.append("<tags><tag>a</tag><name>not this one</name></tags>")
            if (f + i) % 6 != 5:
                price = f"{rng.uniform(0.5, 999):.2f}"
                record["price"] = float(price)
                fields.append(f'<price currency="EUR">{price}</price>')
            if i % 2:
                fields.reverse()
            item = f'<item sku="s{i}" id="{record["id"]}">{"".join(fields)}</item>'
            # Some items sit a level deeper, inside a section.
            parts.append(f"<section>{item}</section>" if i % 3 == 1 else item)
            records.append(record)
        path = directory / f"doc{f:02d}.xml"
        path.write_text(
            f'<?xml version="1.0"?>\n<!-- file {f} -->\n<export><catalog n="{f}">{"".join(parts)}</catalog></export>\n',
            encoding="utf-8",
        )
        files.append((path, records))
    return files


def run_example(name, *args, cwd=None, timeout=180):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=cwd,
    )


def all_records(files):
    return [r for _, records in files for r in records]


def priced(files):
    return [r for r in all_records(files) if r["price"] is not None]


@pytest.fixture
def corpus(tmp_path):
    return tmp_path / "docs", make_corpus(tmp_path / "docs")


# ----------------------------------------------------------------------------
# examples/read_directory.py


@pytest.mark.parametrize("workers", [1, 2, 7])
def test_read_directory_records_in_file_order(corpus, workers):
    directory, files = corpus
    proc = run_example("read_directory.py", directory, "--workers", workers, "--records")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert [json.loads(line) for line in proc.stdout.splitlines()] == all_records(files)


def test_read_directory_summary(corpus):
    directory, files = corpus
    proc = run_example("read_directory.py", directory, "--workers", 2)
    assert proc.returncode == 0, proc.stderr
    with_price = priced(files)
    cheapest = min(with_price, key=lambda r: (r["price"], r["id"]))
    dearest = min(with_price, key=lambda r: (-r["price"], r["id"]))
    assert proc.stdout.splitlines() == [
        "files: 20 (0 failed)",
        f"records: {len(all_records(files))} ({len(with_price)} priced)",
        f"total price: {math.fsum(r['price'] for r in with_price):.2f}",
        f"cheapest: {cheapest['id']} {cheapest['name']!r} {cheapest['price']:.2f}",
        f"dearest: {dearest['id']} {dearest['name']!r} {dearest['price']:.2f}",
    ]


BROKEN = {
    "bad_markup.xml": ("<catalog><item id='z'><name>x</nam></item></catalog>",
                       "ValueError: malformed XML at byte 29: expected </name>, found </nam>"),
    "no_root.xml": ("<other><item id='z'/></other>", "ValueError: root tag <catalog> not found in document"),
    "bad_price.xml": ("<catalog><item id='z'><price>cheap</price></item></catalog>",
                      "ValueError: could not convert string to float: 'cheap'"),
    "latin1.xml": ("<catalog><item id='z'><name>caf\xe9</name></item></catalog>",
                   "OSError: stream did not contain valid UTF-8"),
}


def test_read_directory_reports_each_failed_file_and_keeps_the_rest(corpus):
    directory, files = corpus
    for name, (text, _) in BROKEN.items():
        (directory / name).write_bytes(text.encode("latin-1"))
    proc = run_example("read_directory.py", directory, "--workers", 2, "--records")
    assert proc.returncode == 1
    assert [json.loads(line) for line in proc.stdout.splitlines()] == all_records(files)
    errors = sorted(proc.stderr.splitlines())
    assert len(errors) == len(BROKEN)
    for line, (name, (_, message)) in zip(errors, sorted(BROKEN.items())):
        assert line.startswith(f"read_directory.py: {directory / name}: {message}"), line


@pytest.mark.parametrize(
    "args, message",
    [
        (["--workers", "0"], "--workers: must be at least 1, not 0"),
        (["--workers", "two"], "--workers: invalid positive_int value: 'two'"),
        (["--pattern", "*.xml", "--records"], "not a directory"),
    ],
)
def test_read_directory_usage_errors(tmp_path, args, message):
    target = tmp_path / "missing" if message == "not a directory" else tmp_path
    proc = run_example("read_directory.py", target, *args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert message in proc.stderr


# ----------------------------------------------------------------------------
# examples/dask_records.py: a local cluster of two worker processes. Each run
# starts its own cluster (several seconds), so the cases are few.


@pytest.fixture
def dask_ready():
    for module in ("dask.bag", "dask.distributed", "pandas", "pyarrow"):
        pytest.importorskip(module)


def test_dask_parquet_matches_a_single_process_run(dask_ready, corpus, tmp_path):
    import pandas as pd

    directory, files = corpus
    out = tmp_path / "records.parquet"
    proc = run_example("dask_records.py", directory, "--parquet", out, "--files-per-partition", 3)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout == f"wrote the records of 20 files to {out}\n"
    parts = sorted(p.name for p in out.iterdir() if p.suffix == ".parquet")
    assert len(parts) == 7  # 20 files, 3 a partition

    frame = pd.read_parquet(out)
    assert list(frame.columns) == ["file", "id", "name", "price"]
    assert str(frame["price"].dtype) == "float64"
    got = [
        (row.file, row.id, None if pd.isna(row.name) else row.name, None if pd.isna(row.price) else row.price)
        for row in frame.itertuples(index=False)
    ]
    expected = [
        (str(path.resolve()), r["id"], r["name"], r["price"]) for path, records in files for r in records
    ]
    assert sorted(got, key=repr) == sorted(expected, key=repr)
    assert len(set(got)) == len(got)


def test_dask_summary_and_failure(dask_ready, corpus):
    directory, files = corpus
    proc = run_example("dask_records.py", directory)
    assert proc.returncode == 0, proc.stderr[-4000:]
    with_price = priced(files)
    dearest = sorted(with_price, key=lambda r: (-r["price"], r["id"]))[:3]
    assert proc.stdout.splitlines() == [
        "files: 20",
        f"records: {len(all_records(files))} ({len(with_price)} priced)",
        f"total price: {math.fsum(r['price'] for r in with_price):.2f}",
    ] + [f"dearest: {r['id']} {r['name']!r} {r['price']:.2f}" for r in dearest]

    bad = directory / "bad_markup.xml"
    bad.write_text(BROKEN["bad_markup.xml"][0], encoding="utf-8")
    proc = run_example("dask_records.py", directory)
    assert proc.returncode == 1
    assert proc.stdout == ""
    # The cluster may log lines of its own around the error (a worker that
    # took long to start or to stop, on a busy machine).
    assert (
        f"dask_records.py: error: {BROKEN['bad_markup.xml'][1]}; line 1, column 30; while reading {bad.resolve()}"
    ) in proc.stderr.splitlines()
