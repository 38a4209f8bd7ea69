"""python3 -m zebmacro.dask: files and trees scanned on a Dask cluster, one record per file.

    python3 -m zebmacro.dask --scheduler tcp://HOST:8786 PATHS... --out results.jsonl
    python3 -m zebmacro.dask --local 4 /archive s3://bucket/docs/ --out results.csv

--out takes its format from its name: .jsonl (zebscan's JSON records, one a line), .csv (the
columns of zebmacro.dask.COLUMNS but the record), .parquet (a directory of Parquet files, where
pyarrow is installed). Records are written as their batches finish, in no set order. A summary
goes to stderr; the exit status is zebscan's: 1 when a virus was found, else 2 when a file could
not be scanned, else 0.
"""
from __future__ import annotations

import argparse
import csv
import json
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, TextIO

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
    cols = [c for c in zd.COLUMNS if c != "record"]
    rows = []
    for row in df[cols].itertuples(index=False):
        rows.append([json.dumps(v) if isinstance(v, list) else ("" if pd.isna(v) else v)
                     for v in row])
    return rows


def write_records(client: Client, df: Any, out: TextIO, fmt: str) -> Dict[str, int]:
    """Computes each partition and writes its rows as it finishes; counts by result."""
    counts = {"OK": 0, "FOUND": 0, "ERROR": 0, "SKIPPED": 0}
    writer = None
    if fmt == "csv":
        writer = csv.writer(out)
        writer.writerow([c for c in zd.COLUMNS if c != "record"])
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
    return counts


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
    ap.add_argument("--batch-size", type=int, metavar="FILES", help="files a task scans")
    ap.add_argument("--storage-option", action="append", default=[], metavar="KEY=VALUE",
                    help="for fsspec, e.g. anon=true (VALUE read as JSON where it is)")
    ap.add_argument("paths", nargs="+", metavar="PATH", help="files, directories or fsspec URLs")
    a = ap.parse_args(argv)
    fmt = a.format or _format(a.out)
    if fmt is None:
        ap.error("say --format for %s (jsonl, csv or parquet)" % a.out)
    options: Dict[str, Any] = {}
    for item in a.storage_option:
        key, _, value = item.partition("=")
        try:
            options[key] = json.loads(value)
        except ValueError:
            options[key] = value

    start = time.monotonic()
    cluster = LocalCluster(n_workers=a.local, threads_per_worker=1) if a.local else None
    try:
        with Client(cluster if cluster is not None else a.scheduler) as client:
            # The columns written, and no other made: JSON Lines has the records as they are.
            columns = ["result", "record"] if fmt == "jsonl" else zd._FIELDS
            df = zd.scan(a.paths, deep=a.deep, batch_size=a.batch_size, storage_options=options,
                         columns=columns)
            if fmt == "parquet":
                df.to_parquet(a.out)
                counts = df["result"].value_counts().compute().to_dict()
            else:
                with open(a.out, "w", newline="" if fmt == "csv" else None) as out:
                    counts = write_records(client, df, out, fmt)
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
