"""zebmacro: WordBasic macro viruses in Word 6/95 documents, found from Python.

Scans as zebscan does, through its scan core (libzmscan) and the zebmacro library, and answers
each file with zebscan's JSON record (docs/json-output.md) as a `Result`:

    import zebmacro
    r = zebmacro.scan_file("letter.doc")
    if r.infected:
        print(r.path, r.virus)
    for r in zebmacro.scan_paths(["/archive"], jobs=4):   # worker processes, results as they come
        print(r.to_dict())

A file that cannot be read is a result saying why (`result == "ERROR"`), never an exception;
exceptions are for misuse (a path that is no path, options the library does not know).

Scans in one process take turns, as the library requires (one caller at a time per process);
`scan_paths` and `zebmacro.dask` scan many files at once in worker processes.
"""
from __future__ import annotations

import json
import os
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple, Union

from . import _capi
from ._capi import ZebmacroError

__all__ = ["Result", "Definitions", "Scanner", "ZebmacroError", "scan_file", "scan_bytes",
           "scan_paths", "definitions", "library_version", "__version__"]

#: The version of this package and of libzmscan under it.
__version__: str = _capi.VERSION

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
BytesLike = Union[bytes, bytearray, memoryview]


@dataclass
class Result:
    """One file's result, as zebscan --json records it. `result` is "OK", "FOUND", "ERROR" or
    "SKIPPED"; `virus`, `found_by` and `virus_macros` come with FOUND, `reason` with ERROR and
    SKIPPED. `record` is the JSON record itself, which `to_dict()` reads; a field of the record
    that is not listed here (one of a later version) is an attribute all the same."""
    path: str
    result: str
    virus: Optional[str] = None
    found_by: Optional[str] = None
    virus_macros: List[str] = field(default_factory=list)
    reason: Optional[str] = None
    macros: int = 0
    names: List[str] = field(default_factory=list)
    unnamed: int = 0
    names_left_out: int = 0
    table_cut: bool = False
    deep_fallback: bool = False
    unconfirmed_alarm: bool = False
    path_bytes: Optional[str] = None
    schema: int = 1
    container: Optional[str] = None  # an archive or mail: its kind, its members looked at, and
    members_scanned: Optional[int] = None  # the records of those listed (json-output.md)
    members: List[Dict[str, Any]] = field(default_factory=list)
    # Asked for (macros=True, source=True), a document's macros: a record a macro, as zebscan
    # --json has them (json-output.md), its flags; a container's documents have theirs in members.
    macro_records: List[Dict[str, Any]] = field(default_factory=list)
    macro_records_left_out: int = 0
    template: bool = False
    auto_macros: List[str] = field(default_factory=list)
    command_macros: List[str] = field(default_factory=list)
    record: str = field(default="", repr=False)

    @classmethod
    def from_record(cls, record: Union[str, bytes]) -> "Result":
        """The result whose JSON record this is."""
        text = record if isinstance(record, str) else record.decode()
        # The record's own fields, set as they are: a loop over it costs more than the scan.
        r = cls.__new__(cls)
        r.__dict__.update(virus=None, found_by=None, virus_macros=[], reason=None,
                          path_bytes=None, container=None, members_scanned=None, members=[],
                          macro_records=[], macro_records_left_out=0, template=False,
                          auto_macros=[], command_macros=[])
        r.__dict__.update(json.loads(text))
        r.record = text
        return r

    def to_dict(self) -> Dict[str, Any]:
        """The JSON record, as zebscan --json prints it for this file."""
        return json.loads(self.record)

    @property
    def infected(self) -> bool:
        return self.result == "FOUND"

    @property
    def raw_path(self) -> bytes:
        """The path's exact bytes (`path` shows bytes that are not UTF-8 as U+FFFD)."""
        if self.path_bytes is not None:
            import base64
            return base64.b64decode(self.path_bytes)
        return self.path.encode()


@dataclass(frozen=True)
class Definitions:
    """What the loaded library tells of its definitions: their number, its version, their date
    (the library file's time) and the library's path. The definitions themselves are compiled
    into it; `zebscan --list-definitions` lists them for the library it was built with."""
    count: int
    engine_version: str
    date: str
    library: str


def _path(path: PathLike) -> bytes:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError("zebmacro: a path is str, bytes or os.PathLike, not %s"
                        % type(path).__name__)
    return os.fsencode(path)


class Scanner:
    """A scanner with its options; one per thread or shared, its scans take turns with every
    other scan of the process. `library` names another zebmacro library than the package's.
    Archives and mail are opened as zebscan opens them; the keywords are its options' (clamd's
    keys): scan_archive, scan_mail, max_recursion, max_files, max_scansize, max_filesize (bytes;
    0: no limit), alert_exceeds_max, alert_encrypted_archive. macros=True lists each document's
    macros in its result (`macro_records`) as zebscan --macros does; source=True with their
    source, as --source does."""

    _p = None  # none made yet: refused options leave a Scanner with nothing to close

    def __init__(self, deep: bool = True, alert_encrypted: bool = False,
                 library: Optional[PathLike] = None, macros: bool = False, source: bool = False,
                 **containers: Union[bool, int]):
        self._options = _capi.options(deep, alert_encrypted,
                                      None if library is None else _path(library),
                                      _macros(macros, source), **containers)
        error = _capi.ctypes.create_string_buffer(256)
        # Held: at the interpreter's end the module's globals may be gone before this is collected.
        self._close = _capi.lib.ZMS_CloseScanner
        self._p = _capi.lib.ZMS_pOpenScanner(_capi.ctypes.byref(self._options), error, len(error))
        if not self._p:
            raise ZebmacroError("zebmacro: " + error.value.decode(errors="replace"))

    def scan_file(self, path: PathLike) -> Result:
        """The file at path (a final link followed). A directory is an ERROR ("Is a directory"):
        `scan_paths` walks directories."""
        return Result.from_record(_capi.take_record(_capi.lib.ZMS_pScanPath(self._p, _path(path))))

    def scan_bytes(self, data: BytesLike, name: Optional[PathLike] = None) -> Result:
        """A document in memory, known to its result as name (None: "stream")."""
        if not isinstance(data, bytes):  # bytes go to the library as they are, others copied
            if not isinstance(data, (bytearray, memoryview)):
                raise TypeError("zebmacro: data is bytes-like, not %s" % type(data).__name__)
            data = bytes(data)
        p = _capi.lib.ZMS_pScanBuffer(self._p, data, len(data),
                                      None if name is None else _path(name))
        return Result.from_record(_capi.take_record(p))

    def definitions(self) -> Definitions:
        lib = _capi.lib
        return Definitions(lib.ZMS_iDefinitions(self._p), lib.ZMS_pszEngineVersion(self._p).decode(),
                           lib.ZMS_pszEngineDate(self._p).decode(),
                           os.fsdecode(lib.ZMS_pszLibrary(self._p)))

    def close(self) -> None:
        if self._p:
            self._close(self._p)
            self._p = None

    def __enter__(self) -> "Scanner":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


def _macros(macros: bool, source: bool) -> int:
    """The C API's level of listing for zebscan's --macros and --source."""
    if not isinstance(macros, bool) or not isinstance(source, bool):
        raise TypeError("zebmacro: macros and source are bools")
    return 2 if source else 1 if macros else 0


_scanners: Dict[Tuple[bool, bool, bool, bool], Scanner] = {}
_scanners_lock = threading.Lock()


def _scanner(deep: bool, alert_encrypted: bool = False, macros: bool = False,
             source: bool = False) -> Scanner:
    """The process's scanner for these options, made at first use: the library is loaded once."""
    key = (bool(deep), bool(alert_encrypted), macros, source)
    s = _scanners.get(key)
    if s is None:
        with _scanners_lock:
            s = _scanners.get(key)
            if s is None:
                s = _scanners[key] = Scanner(key[0], key[1], None, macros, source)
    return s


def scan_file(path: PathLike, deep: bool = True, macros: bool = False,
              source: bool = False) -> Result:
    """Scans one file, as zebscan --deep does (deep=False: as zebscan); macros, source: with
    its macros listed, as zebscan --macros and --source list them."""
    return _scanner(deep, False, macros, source).scan_file(path)


def scan_bytes(data: BytesLike, name: Optional[PathLike] = None, deep: bool = True,
               macros: bool = False, source: bool = False) -> Result:
    """Scans a document held in memory; its result's path is name, or "stream"."""
    return _scanner(deep, False, macros, source).scan_bytes(data, name)


def scan_paths(paths: Union[PathLike, Iterable[PathLike]], jobs: Optional[int] = None,
               deep: bool = True, alert_encrypted: bool = False, macros: bool = False,
               source: bool = False) -> Iterator[Result]:
    """Scans files and directory trees as zebscan --jobs does: jobs worker processes (None: one a
    core), every entry of a tree once, results in walk order as they come. Closing the iterator
    early ends the pool."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    encoded = [_path(p) for p in paths]
    if jobs is not None and (not isinstance(jobs, int) or jobs < 1):
        raise ValueError("zebmacro: jobs is a number of workers, at least 1")
    pool = _capi.Pool(_capi.options(deep, alert_encrypted, None, _macros(macros, source)),
                      jobs or 0, encoded)
    try:
        while True:
            record = pool.next(200)  # short waits: an interrupt is seen between them
            if record is None:
                return
            if record:
                yield Result.from_record(record)
    finally:
        pool.close()


def definitions() -> Definitions:
    """The loaded library's definitions: their number (59), its version, their date."""
    return _scanner(True).definitions()


def library_version() -> str:
    """The version of the zebmacro library the package loads ("1.0.0")."""
    return definitions().engine_version
