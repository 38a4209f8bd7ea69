"""zebmacro on Dask: an archive's files scanned across a cluster, one row per file.

    import zebmacro.dask
    from dask.distributed import Client
    client = Client("tcp://scheduler:8786")
    df = zebmacro.dask.scan(["/mnt/archive", "s3://bucket/letters/"])
    df[df.result == "FOUND"].compute()

Paths are walked where the call is made: a local directory as zebscan walks it (through the scan
core's own walk, so that skipped entries and errors are rows too), a remote one with its fsspec
file system's find. Files go to the workers in batches, one task each, so that the scheduler's
cost per file stays small. On a worker, a local file is scanned by its path; a remote one is read
through fsspec (s3://, gs://, abfs://, hdfs://, ... wherever their fsspec packages are installed)
and scanned from memory, a batch's files fetched together. Each worker process loads the library
once. A task is pure: when a worker dies, its batches run again elsewhere, and each file still
has exactly one row.
"""
from __future__ import annotations

import contextlib
import gc
import json
import os
import struct
import uuid
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import dask.dataframe as dd
import fsspec
import numpy as np
import pandas as pd
from fsspec.implementations.local import LocalFileSystem

import zebmacro
from zebmacro import _capi

__all__ = ["scan", "COLUMNS", "LISTING_COLUMNS"]

#: The DataFrame's columns and their types: the fields of zebscan's JSON record
#: (docs/json-output.md), in its order, then `record`, the JSON record itself (its text, with any
#: field not listed here). A field that a record lacks is NaN in its row.
COLUMNS: Dict[str, Any] = {
    "schema": "int64", "path": object, "path_bytes": object, "result": object, "reason": object,
    "virus": object, "found_by": object, "virus_macros": object, "macros": "int64",
    "names": object, "unnamed": "int64", "names_left_out": "int64", "table_cut": bool,
    "deep_fallback": bool, "unconfirmed_alarm": bool, "container": object,
    "members_scanned": "Int64", "members": object, "record": object,
}
_FIELDS = [c for c in COLUMNS if c != "record"]

#: A scan asked for macro listings (macros=True, source=True) has these columns too, after the
#: fields of COLUMNS and before `record`: zebscan --macros' fields, which a document has where it
#: holds macros (NaN, <NA> elsewhere), and the count of a container's documents not listed.
LISTING_COLUMNS: Dict[str, Any] = {
    "macro_records": object, "macro_records_left_out": "Int64", "template": "boolean",
    "auto_macros": object, "command_macros": object, "member_listings_left_out": "Int64",
}
_TYPES = {**COLUMNS, **LISTING_COLUMNS}


def _columns(listing: bool) -> List[str]:
    """A scan's columns in their order: with listings, theirs before the record."""
    return _FIELDS + (list(LISTING_COLUMNS) if listing else []) + ["record"]

# An entry of a batch: ("F", local path) a file scanned by path, ("U", url) a file read through
# fsspec, ("R", record) an entry the walk accounted for (skipped, or an error).
Entry = Tuple[str, Union[bytes, str]]
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Files a task scans when the cluster's size is unknown; otherwise the files are spread over the
# worker threads, within these bounds. A task costs some milliseconds of its own, on its worker
# and at the client that gathers it, beside some 10 us a local file; so a thread's share is made
# two tasks, which lets a thread that finishes first take work from another, only where each
# still holds _SPLIT_MIN files.
_BATCH = 1024
_BATCH_MIN, _BATCH_MAX, _TASKS_A_THREAD, _SPLIT_MIN = 32, 8192, 2, 4096


_META: Optional[pd.DataFrame] = None


def _meta() -> pd.DataFrame:
    """An empty frame of every column a scan may have: made once (some milliseconds), then
    copied; a scan's are taken from it by name."""
    global _META
    if _META is None:
        _META = pd.DataFrame({c: pd.Series(dtype=t) for c, t in _TYPES.items()})
    return _META.copy()


def _reason(e: BaseException) -> str:
    """A read's failure in the words of the system where it has them."""
    words = {FileNotFoundError: "No such file or directory", PermissionError: "Permission denied",
             IsADirectoryError: "Is a directory"}
    for kind, text in words.items():
        if isinstance(e, kind):
            return text
    return getattr(e, "strerror", None) or "%s: %s" % (type(e).__name__, e)


def _entries(path: PathArg, storage_options: Dict[str, Any]) -> List[bytes]:
    """One path's entries, in walk order, each its kind's letter and its text (Entry, packed)."""
    if not isinstance(path, str) or "://" not in path:
        return _capi.walk_raw(os.fsencode(path))
    fs, root = fsspec.core.url_to_fs(path, **storage_options)
    if isinstance(fs, LocalFileSystem):
        return _capi.walk_raw(os.fsencode(root))
    try:
        info = fs.info(root)
    except Exception as e:  # the store's own errors as a row, as zebscan reports a missing path
        return [b"R" + _capi.known_record(path.encode(), _capi.ERROR, _reason(e))]
    if info.get("type") == "directory":
        return [b"U" + fs.unstrip_protocol(p).encode() for p in sorted(fs.find(root))]
    return [b"U" + fs.unstrip_protocol(root).encode()]


def _fetch(urls: Sequence[str], storage_options: Dict[str, Any]) -> Dict[str, Any]:
    """Each URL's bytes, or the exception that reading it raised; a file system's files asked for
    together (an object store's file system fetches them at once)."""
    by_fs: Dict[Any, List[Tuple[str, str]]] = {}
    for url in urls:
        fs, p = fsspec.core.url_to_fs(url, **storage_options)
        by_fs.setdefault(fs, []).append((url, p))
    got: Dict[str, Any] = {}
    for fs, pairs in by_fs.items():
        try:
            data = fs.cat([p for _, p in pairs], on_error="return")
        except Exception as e:
            data = {p: e for _, p in pairs}
        for url, p in pairs:
            got[url] = data.get(p, FileNotFoundError(p))
    return got


@contextlib.contextmanager
def _no_collection() -> Iterator[None]:
    """The objects of a batch's rows, made at once, are no garbage to look for: the collector is
    kept from walking the process's objects again each few hundred lists made."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def _frame(records: Sequence[bytes], columns: Sequence[str]) -> pd.DataFrame:
    """The rows of a batch's records, in the columns asked for (each a column's cost to make and to
    move), a column at a time in its own type. Fields a record lacks are NaN (<NA> in
    members_scanned), as pandas has them."""
    if not records:
        return _meta()[list(columns)]
    with _no_collection():
        fields = [c for c in columns if c != "record"]
        rows = json.loads(b"[" + b",".join(records) + b"]") if fields else []
        nan = float("nan")
        made = {}
        for c in columns:
            made[c] = (pd.Series([r.decode() for r in records], dtype=object) if c == "record" else
                       pd.Series([r.get(c, nan) for r in rows], dtype=_TYPES[c]))
        return pd.DataFrame(made)


_END = "\udcff"  # a text's end in libzmscan's tables (0xFF), as surrogateescape reads it


def _texts(data: bytes) -> List[str]:
    """A table's run of UTF-8 texts, each ended by 0xFF."""
    if b"\0" not in data:  # paths and records: the ends made NULs, the UTF-8 read at full speed
        return data.replace(b"\xff", b"\0").decode().split("\0")[:-1]
    return data.decode("utf-8", "surrogateescape").split(_END)[:-1]


def _objects(values: List[Any]) -> np.ndarray:
    """values as a column of objects, a list each row's one object (as pandas makes them)."""
    try:
        return np.fromiter(values, dtype=object, count=len(values))
    except ValueError:  # numpy before 1.23 makes no column of objects from an iterator
        column = np.empty(len(values), dtype=object)
        column[:] = values
        return column


def _table_frame(table: bytes, columns: Sequence[str]) -> pd.DataFrame:
    """The rows of a table of records that libzmscan made (its layout: capi/columns.h), in the
    columns asked for: the values their records hold, as _frame has them, without the records'
    JSON read back (but for fields that are JSON themselves, as `members`)."""
    if table[:4] != b"ZMC1":
        raise ValueError("zebmacro.dask: not a table of libzmscan's")
    with _no_collection():
        return _read_table(table, columns)


def _read_table(table: bytes, columns: Sequence[str]) -> pd.DataFrame:
    ncols, n = struct.unpack_from("<IQ", table, 4)
    pos, made, nan = 16, {}, float("nan")
    for _ in range(ncols):
        (cch,) = struct.unpack_from("<I", table, pos)
        name, kind = table[pos + 4:pos + 4 + cch].decode(), chr(table[pos + 4 + cch])
        start = -(-(pos + 5 + cch) // 8) * 8 + 8
        (cb,) = struct.unpack_from("<Q", table, start - 8)
        pos = -(-(start + cb) // 8) * 8
        if name not in columns:
            continue
        values: Any
        if kind == "i":
            values = np.frombuffer(table, "<i8", n, start).astype(np.int64)
        elif kind == "I":
            values = pd.arrays.IntegerArray(np.frombuffer(table, "<i8", n, start).astype(np.int64),
                                            np.frombuffer(table, np.uint8, n, start + 8 * n) == 0)
        elif kind == "b":
            values = np.frombuffer(table, np.uint8, n, start).astype(bool)
        elif kind == "B":
            flags = np.frombuffer(table, np.uint8, n, start)
            values = pd.arrays.BooleanArray(flags == 1, flags == 2)
        elif kind == "s":  # a row's index into the column's texts, the last (-1) NaN
            texts = _texts(table[start + 8 + 4 * n:start + cb])
            values = _objects(texts + [nan])[np.frombuffer(table, "<i4", n, start + 8)]
        elif kind == "t":
            values = _objects(_texts(table[start:start + cb]))
        elif kind == "l":  # a row's count of texts, -1 where the field is absent
            counts = np.frombuffer(table, "<i4", n, start)
            values = np.full(n, nan, dtype=object)
            rows = np.flatnonzero(counts >= 0)
            if len(rows):
                flat = _texts(table[start + 4 * n:start + cb])
                ends = np.cumsum(counts[rows]).tolist()
                values[rows] = _objects([flat[e - k:e] if k else []
                                         for e, k in zip(ends, counts[rows].tolist())])
        elif kind == "j":  # a row's JSON, empty where the field is absent
            values = np.full(n, nan, dtype=object)
            if cb > n:
                values[:] = _objects([json.loads(t) if t else nan
                                      for t in _texts(table[start:start + cb])])
        else:
            raise ValueError("zebmacro.dask: a column %r of a kind unknown here" % name)
        made[name] = values
    return pd.DataFrame({c: made[c] for c in columns})


def _pack(batch: Sequence[bytes], base: bytes) -> bytes:
    """A batch as one opaque value for its task: the directory that relative paths start from,
    then each entry's kind letter, text and a NUL."""
    return base + b"\0" + b"\0".join(batch) + b"\0"


def _unpack(blob: bytes) -> Tuple[bytes, List[Tuple[str, bytes]]]:
    base, _, rest = blob.partition(b"\0")
    return base, [(chr(e[0]), e[1:]) for e in rest.split(b"\0")[:-1]]


def _scan_batch(blob: bytes, deep: bool, storage_options: Dict[str, Any],
                columns: Sequence[str] = tuple(COLUMNS), listing: Tuple[bool, bool] = (False, False)
                ) -> pd.DataFrame:
    """A task: the batch's records, in its order, as rows. Local files are scanned by one call
    for each run of them, so that what a file costs here is little beside its scan; a relative
    path is opened from the directory the scan was asked in, and recorded as it was given."""
    # distributed 2022.12 hands from_map's inputs to the workers of an in-process cluster still
    # wrapped for the wire (a Serialize, its value in .data).
    blob = getattr(blob, "data", blob)
    # The process's own, for these options: the library loaded once.
    scanner = zebmacro._scanner(deep, False, *listing)
    # A batch of absolute local paths alone, as a walk of a tree named absolutely gives: scanned
    # from the batch as it is, its paths handed over where they lie (each ends with a NUL).
    _, _, rest = blob.partition(b"\0")
    if rest and os.sep == "/":
        view = np.frombuffer(rest, np.uint8)
        starts = np.flatnonzero(view == 0)[:-1] + 1
        starts = np.concatenate(([0], starts))
        if (view[starts] == ord("F")).all() and (view[starts + 1] == ord("/")).all():
            return _table_frame(_capi.scan_paths_table_at(scanner._p, rest, starts + 1), columns)
    base, batch = _unpack(blob)
    urls = [t.decode() for k, t in batch if k == "U"]
    remote = _fetch(urls, storage_options) if urls else {}
    # A run of local files is a table of libzmscan's; other entries' records are read as JSON.
    pieces: List[pd.DataFrame] = []
    records: List[bytes] = []
    run: List[bytes] = []

    def take_records() -> None:
        if records:
            pieces.append(_frame(records, columns))
            records.clear()

    def scan_run() -> None:
        take_records()
        opened = [p if os.path.isabs(p) else os.path.join(base, p) for p in run]
        names = None if opened == run else run  # each known by the path it is opened by
        pieces.append(_table_frame(_capi.scan_paths_records(scanner._p, opened, names,
                                                            table=True), columns))
        run.clear()

    for kind, text in batch:
        if kind == "F":
            run.append(text)
            continue
        if run:
            scan_run()
        if kind == "U":
            data = remote[text.decode()]
            if isinstance(data, BaseException):
                records.append(_capi.known_record(text, _capi.ERROR, _reason(data)))
            else:
                records.append(scanner.scan_bytes(data, text).record.encode())
        else:
            records.append(text)
    if run:
        scan_run()
    take_records()
    if len(pieces) == 1:
        return pieces[0]
    return pd.concat(pieces, ignore_index=True) if pieces else _frame([], columns)


class _ScanBatches:
    """from_map's function: a batch's rows in the columns that the computation reads. Dask asks
    for them (project_columns) when a frame is only partly used, as df[["path", "result"]] or
    df.result.value_counts(), so that no other column is made and moved."""

    def __init__(self, deep: bool, storage_options: Dict[str, Any], columns: Sequence[str],
                 listing: Tuple[bool, bool] = (False, False)) -> None:
        self.deep, self.storage_options, self._columns = deep, storage_options, list(columns)
        self.listing = listing

    @property
    def columns(self) -> List[str]:
        return self._columns

    def project_columns(self, columns: Sequence[str]) -> "_ScanBatches":
        return self if list(columns) == self._columns else _ScanBatches(
            self.deep, self.storage_options, columns, self.listing)

    def __call__(self, blob: bytes) -> pd.DataFrame:
        return _scan_batch(blob, self.deep, self.storage_options, self._columns, self.listing)


def _batch_size(n: int) -> int:
    try:
        from distributed import get_client
        threads = sum(get_client().nthreads().values())
    except (ImportError, ValueError):
        return _BATCH
    split = n >= threads * _TASKS_A_THREAD * _SPLIT_MIN
    per = -(-n // max(1, threads * (_TASKS_A_THREAD if split else 1)))
    return max(_BATCH_MIN, min(_BATCH_MAX, per))


def entries(paths: Union[PathArg, Iterable[PathArg]],
            storage_options: Optional[Dict[str, Any]] = None) -> List[Entry]:
    """Every entry of the paths, in order: what scan() hands out in batches."""
    return [(chr(e[0]), e[1:] if e[0] != ord("U") else e[1:].decode())
            for e in _raw_entries(paths, storage_options or {})]


def _raw_entries(paths: Union[PathArg, Iterable[PathArg]],
                 storage_options: Dict[str, Any]) -> List[bytes]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    out: List[bytes] = []
    for p in paths:
        out.extend(_entries(p, storage_options))
    return out


def scan(paths: Union[PathArg, Iterable[PathArg]], *, deep: bool = True,
         batch_size: Optional[int] = None, storage_options: Optional[Dict[str, Any]] = None,
         columns: Optional[Sequence[str]] = None, macros: bool = False,
         source: bool = False) -> dd.DataFrame:
    """A Dask DataFrame with one row per file under paths (local paths, directories, or fsspec
    URLs), the columns of COLUMNS (columns: those alone, in that order). batch_size: files a task
    scans (None: about two tasks a thread of the current client's workers). storage_options go to
    fsspec for remote paths. A computation that reads some columns only has only those made.
    macros=True lists each document's macros as zebscan --macros does, source=True with their
    source as --source does: the frame has the columns of LISTING_COLUMNS too."""
    if batch_size is not None and batch_size < 1:
        raise ValueError("zebmacro.dask: batch_size is at least 1")
    if isinstance(columns, str):
        raise TypeError("zebmacro.dask: columns is a list of names, not %r" % columns)
    level = zebmacro._macros(macros, source)  # refuses what is not a bool
    known = _columns(level > 0)
    columns = list(known if columns is None else columns)
    unknown = [c for c in columns if c not in known]
    if unknown or not columns or len(set(columns)) < len(columns):
        raise ValueError("zebmacro.dask: columns are some of COLUMNS (and of LISTING_COLUMNS, "
                         "with macros or source), each once: %r" % columns)
    storage_options = dict(storage_options or {})
    found = _raw_entries(paths, storage_options)
    size = batch_size or _batch_size(len(found))
    # A partition a batch, each batch one bytes value: nothing walks through it, and there is one
    # task a batch.
    base = os.fsencode(os.getcwd())
    blobs = [_pack(found[i:i + size], base) for i in range(0, len(found), size)]
    meta = _meta()[columns]
    if not blobs:
        return dd.from_pandas(meta, npartitions=1)
    # Keys of this call's own: a scan reads files as they are now, so no earlier scan's results
    # (persisted, or still held) may stand in for it, as Dask would take them for keys made from
    # the same paths.
    return dd.from_map(_ScanBatches(deep, storage_options, columns, (macros, source)), blobs,
                       meta=meta, label="zebmacro-scan", token=uuid.uuid4().hex,
                       enforce_metadata=False)
