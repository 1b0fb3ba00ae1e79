"""Turns the items of many XML documents into a dataframe or Parquet files on a
Dask cluster.

    python examples/dask_records.py DIR [--scheduler ADDRESS] [--parquet OUT]
                                        [--root catalog] [--item item] [--pattern '*.xml']
                                        [--files-per-partition N]

Without --scheduler the script starts a local cluster of two worker processes
(one thread each) on this machine; with the address of a running scheduler
(tcp://host:8786) the same code runs on that cluster. The workers open the files
themselves, so on a real cluster DIR must be a path that every worker can read
(a shared file system) and arbolite must be installed on every worker.

The pipeline: a bag of file paths -> arbolite.read_file on the workers -> one
plain dict per <item> element (file, id, name, price) -> a dataframe. Trees never
leave the worker that read them; only the records travel. With --parquet the
dataframe is written as Parquet files into the directory OUT (one file per
partition); otherwise the script prints a short summary.

A file that cannot be read or parsed fails the whole computation; the error
carries a note naming the file.
"""

import argparse
import os
import pathlib
import sys

import arbolite
import dask.bag as db
import pandas as pd
from dask.distributed import Client, LocalCluster

# The columns of the record dataframe and their types.
META = pd.DataFrame(
    {
        "file": pd.Series([], dtype="str"),
        "id": pd.Series([], dtype="str"),
        "name": pd.Series([], dtype="str"),
        "price": pd.Series([], dtype="float64"),
    }
)


def file_records(path, root_tag="catalog", item="item"):
    """The records of one document: one dict per `item` element at any depth
    below the `root_tag` element, with the file's path, the element's `id`
    attribute and the texts of its <name> and <price> children (None where
    missing; the price as a float). Runs on a worker."""
    try:
        root = arbolite.read_file(path, root_tag)
        records = []
        for element in root.search_by_name(item):
            form = element.to_dict()
            fields = {}
            for child in form["children"]:
                fields.setdefault(child["name"], child["text"])
            price = fields.get("price")
            records.append(
                {
                    "file": path,
                    "id": form["attrs"].get("id"),
                    "name": fields.get("name"),
                    "price": None if price is None else float(price),
                }
            )
        return records
    except (OSError, ValueError) as exc:
        exc.add_note(f"while reading {path}")
        raise


def records_bag(paths, root_tag="catalog", item="item", files_per_partition=8):
    """A bag of record dicts, read on the cluster's workers."""
    paths = [os.fspath(p) for p in paths]
    bag = db.from_sequence(paths, partition_size=max(1, files_per_partition))
    return bag.map(file_records, root_tag, item).flatten()


def records_frame(paths, root_tag="catalog", item="item", files_per_partition=8):
    """The records as a dask dataframe with the columns of META."""
    return records_bag(paths, root_tag, item, files_per_partition).to_dataframe(meta=META)


def local_client():
    """A client of a cluster of two single-threaded worker processes on this
    machine, without the dashboard. The scheduler's own web server listens on
    any free port of this machine only: by default it asks for 8787, which
    another program may hold."""
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
    )
    return Client(cluster)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", help="the directory of the documents (readable by every worker)")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--parquet", metavar="OUT", help="write the records as Parquet files into OUT")
    parser.add_argument("--root", default="catalog", help="the element to read from each file")
    parser.add_argument("--item", default="item", help="the element that makes one record")
    parser.add_argument("--pattern", default="*.xml", help="file name pattern ('**/*.xml' for subfolders)")
    parser.add_argument("--files-per-partition", type=int, default=8, help="files per task (default 8)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.directory):
        parser.error(f"not a directory: {args.directory}")
    paths = sorted(str(p.resolve()) for p in pathlib.Path(args.directory).glob(args.pattern) if p.is_file())

    client = Client(args.scheduler) if args.scheduler else local_client()
    try:
        frame = records_frame(paths, args.root, args.item, args.files_per_partition)
        if args.parquet:
            frame.to_parquet(args.parquet, write_index=False)
            print(f"wrote the records of {len(paths)} files to {args.parquet}")
        else:
            records = frame.compute()
            print(f"files: {len(paths)}")
            print(f"records: {len(records)} ({records['price'].count()} priced)")
            print(f"total price: {records['price'].sum():.2f}")
            dearest = records.dropna(subset=["price"]).sort_values(["price", "id"], ascending=[False, True])
            for row in dearest.head(3).itertuples():
                print(f"dearest: {row.id} {row.name!r} {row.price:.2f}")
    except (OSError, ValueError) as exc:
        # A document that failed on a worker: its error, with the note that
        # names the file.
        notes = "".join(f"; {note}" for note in getattr(exc, "__notes__", ()))
        print(f"{parser.prog}: error: {type(exc).__name__}: {exc}{notes}", file=sys.stderr)
        return 1
    finally:
        cluster = client.cluster
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
