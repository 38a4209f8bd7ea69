"""python3 -m zebmacro.dask: files and trees scanned on a Dask cluster, one record per file.

    python3 -m zebmacro.dask --scheduler tcp://HOST:8786 PATHS... --out results.jsonl
    python3 -m zebmacro.dask --local 4 /archive s3://bucket/docs/ --out results.csv

--out takes its format from its name: .jsonl (zebscan's JSON records, one a line), .csv (the
columns of zebmacro.dask.COLUMNS but the record, and with --macros or --source those of
LISTING_COLUMNS), .parquet (a directory of Parquet files, where pyarrow is installed). Records
are written as their batches finish, in no set order. A summary goes to stderr; the exit status
is zebscan's: 1 when a virus was found, else 2 when a file could not be scanned, else 0.
"""
from __future__ import annotations

import argparse
import csv
import functools
import importlib.util
import json
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO

import pandas as pd
from distributed import Client, LocalCluster, as_completed

import zebmacro
import zebmacro.dask as zd

_FORMATS = {".jsonl": "jsonl", ".json": "jsonl", ".csv": "csv", ".parquet": "parquet"}


def _format(out: str) -> Optional[str]:
    for suffix, name in _FORMATS.items():
        if out.endswith(suffix):
            return name
    return None


def _csv_rows(df: pd.DataFrame) -> List[List[Any]]:
    """Rows for CSV: lists as JSON arrays, absent fields empty."""
    rows = []
    for row in df[[c for c in df.columns if c != "record"]].itertuples(index=False):
        rows.append([json.dumps(v) if isinstance(v, list) else ("" if pd.isna(v) else v)
                     for v in row])
    return rows


def write_records(client: Client, df: Any, out: TextIO, fmt: str, counts: Dict[str, int]) -> None:
    """Computes each partition and writes its rows as it finishes; counts by result, into counts
    as the rows are written (a run that breaks off has the counts of what it wrote)."""
    writer = None
    if fmt == "csv":
        writer = csv.writer(out)
        writer.writerow([c for c in df.columns if c != "record"])
    futures = client.compute(df.to_delayed())
    for future in as_completed(futures):
        part = future.result()
        future.release()
        for result, n in part["result"].value_counts().items():
            counts[result] = counts.get(result, 0) + int(n)
        if writer is not None:
            writer.writerows(_csv_rows(part))
        else:
            out.writelines(r + "\n" for r in part["record"])


def write_and_count(df: Any, write_part: Callable[[pd.DataFrame, int], None]) -> Dict[str, int]:
    """Each partition written by write_part(rows, its number) where it was made, and counted by
    result there: the files are scanned once, and the counts (so the exit status) are those of
    the rows written."""
    counts = df.map_partitions(_write_and_count, write_part, meta=pd.Series(dtype="int64"))
    return {str(k): int(v) for k, v in counts.compute().groupby(level=0).sum().items()}


def _write_and_count(part: pd.DataFrame, write_part: Callable[[pd.DataFrame, int], None],
                     partition_info: Optional[Dict[str, Any]] = None) -> pd.Series:
    if partition_info is not None:  # None: Dask's trial call on the empty frame of its types
        write_part(part, partition_info["number"])
    return part["result"].value_counts()


def _write_parquet(out: str, part: pd.DataFrame, number: int) -> None:
    os.makedirs(out, exist_ok=True)
    part.to_parquet(os.path.join(out, "part.%d.parquet" % number), index=False)


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="python3 -m zebmacro.dask", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    where = ap.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running cluster's scheduler")
    where.add_argument("--local", metavar="N", type=int,
                       help="a cluster of N worker processes on this machine")
    ap.add_argument("--out", required=True, help="results.jsonl, results.csv or results.parquet")
    ap.add_argument("--format", choices=("jsonl", "csv", "parquet"))
    ap.add_argument("--no-deep", dest="deep", action="store_false",
                    help="scan as zebscan does, not as zebscan --deep")
    ap.add_argument("--macros", action="store_true",
                    help="list each document's macros, as zebscan --macros does")
    ap.add_argument("--source", action="store_true",
                    help="list them with their source, as zebscan --source does")
    ap.add_argument("--batch-size", type=int, metavar="FILES", help="files a task scans")
    ap.add_argument("--storage-option", action="append", default=[], metavar="KEY=VALUE",
                    help="for fsspec, e.g. anon=true (VALUE read as JSON where it is)")
    ap.add_argument("paths", nargs="+", metavar="PATH", help="files, directories or fsspec URLs")
    a = ap.parse_args(argv)
    fmt = a.format or _format(a.out)
    if fmt is None:
        ap.error("say --format for %s (jsonl, csv or parquet)" % a.out)
    engines = ("pyarrow", "fastparquet")
    if fmt == "parquet" and not any(importlib.util.find_spec(m) for m in engines):
        ap.error("%s: Parquet is written with pyarrow or fastparquet, and neither is installed"
                 % a.out)
    options: Dict[str, Any] = {}
    for item in a.storage_option:
        key, _, value = item.partition("=")
        try:
            options[key] = json.loads(value)
        except ValueError:
            options[key] = value

    start = time.monotonic()
    counts: Dict[str, int] = {}
    cluster = None
    try:
        if a.local:
            cluster = LocalCluster(n_workers=a.local, threads_per_worker=1)
        with Client(cluster if cluster is not None else a.scheduler) as client:
            # The columns written, and no other made: JSON Lines has the records as they are.
            listing = a.macros or a.source
            columns = (["result", "record"] if fmt == "jsonl" else
                       [c for c in zd._columns(listing) if c != "record"])
            df = zd.scan(a.paths, deep=a.deep, batch_size=a.batch_size, storage_options=options,
                         columns=columns, macros=a.macros, source=a.source)
            if fmt == "parquet":
                counts = write_and_count(df, functools.partial(_write_parquet, a.out))
            else:
                with open(a.out, "w", newline="" if fmt == "csv" else None) as out:
                    write_records(client, df, out, fmt, counts)
    except Exception as e:
        # Not every file was scanned: zebscan's status for that (1 where what was written holds a
        # virus), never a traceback's 1 alone.
        print("zebmacro.dask: the scan did not finish (%d rows known written): %s: %s"
              % (sum(counts.values()), type(e).__name__, e), file=sys.stderr)
        return 1 if counts.get("FOUND") else 2
    finally:
        if cluster is not None:
            cluster.close()
    print("zebmacro %s (library %s): %d files, %d infected, %d errors, %d skipped in %.1f s"
          % (zebmacro.__version__, zebmacro.library_version(), sum(counts.values()),
             counts.get("FOUND", 0), counts.get("ERROR", 0), counts.get("SKIPPED", 0),
             time.monotonic() - start), file=sys.stderr)
    if counts.get("FOUND"):
        return 1
    return 2 if counts.get("ERROR") else 0


if __name__ == "__main__":
    sys.exit(main())
