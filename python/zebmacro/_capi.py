"""The binding: libzmscan's C functions (zmscan.h) through ctypes, loaded once per process.

ctypes rather than a compiled extension: the C API is a handful of plain C calls, so the package
stays pure Python over one C library, bound to no Python version, and ctypes lets go of the GIL
during each call, so that threads (a Dask worker's) read files while another scans.
"""
from __future__ import annotations

import ctypes
import os
from typing import Any, Iterator, List, Optional, Sequence, Tuple, Union

# The package's own copy (built with it), else an installed one.
_HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib")
_NAMES = (os.path.join(_HERE, "libzmscan.so"), "libzmscan.so.1")

OK, FOUND, ERROR, SKIPPED = 0, 1, 2, 3


class ZebmacroError(RuntimeError):
    """The library could not be loaded, or a pool could not be made."""


class ZmsOptions(ctypes.Structure):
    _fields_ = [("cbSize", ctypes.c_uint32), ("bDeep", ctypes.c_int32),
                ("bAlertEncrypted", ctypes.c_int32), ("pszLibrary", ctypes.c_char_p),
                ("nMaxRecursion", ctypes.c_uint32), ("nMaxFiles", ctypes.c_uint32),
                ("cbMaxScanSize", ctypes.c_uint64), ("cbMaxFileSize", ctypes.c_uint64),
                ("bScanArchive", ctypes.c_int32), ("bScanMail", ctypes.c_int32),
                ("bAlertExceedsMax", ctypes.c_int32), ("bAlertEncryptedArchive", ctypes.c_int32),
                ("iMacros", ctypes.c_int32)]


WALK_SINK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char),
                             ctypes.c_size_t)


def _load() -> ctypes.CDLL:
    errors = []
    for name in _NAMES:
        try:
            return ctypes.CDLL(name)
        except OSError as e:
            errors.append(str(e))
    raise ImportError("zebmacro: cannot load libzmscan: " + "; ".join(errors))


lib = _load()
_p, _s, _i = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32
for _name, _res, _args in (
        ("ZMS_pszVersion", _s, []),
        ("ZMS_InitOptions", None, [ctypes.POINTER(ZmsOptions)]),
        ("ZMS_pOpenScanner", _p, [ctypes.POINTER(ZmsOptions), _s, ctypes.c_size_t]),
        ("ZMS_CloseScanner", None, [_p]),
        ("ZMS_pszEngineVersion", _s, [_p]),
        ("ZMS_iDefinitions", _i, [_p]),
        ("ZMS_pszEngineDate", _s, [_p]),
        ("ZMS_pszLibrary", _s, [_p]),
        ("ZMS_pScanPath", _p, [_p, _s]),
        ("ZMS_pScanBuffer", _p, [_p, _s, ctypes.c_size_t, _s]),  # bytes as they are
        ("ZMS_pszScanPaths", _p, [_p, ctypes.POINTER(ctypes.c_char_p),
                                  ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t,
                                  ctypes.POINTER(ctypes.c_size_t)]),
        ("ZMS_pScanPathsColumns", _p, [_p, ctypes.POINTER(ctypes.c_char_p),
                                       ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t,
                                       ctypes.POINTER(ctypes.c_size_t)]),
        ("ZMS_FreeText", None, [_p]),
        ("ZMS_pKnownResult", _p, [_s, _i, _s]),
        ("ZMS_iOutcome", _i, [_p]),
        ("ZMS_pszPath", _s, [_p]),
        ("ZMS_pszRecord", _s, [_p]),
        ("ZMS_FreeResult", None, [_p]),
        ("ZMS_nWalk", ctypes.c_int64, [_s, WALK_SINK, _p]),
        ("ZMS_pOpenPool", _p, [ctypes.POINTER(ZmsOptions), ctypes.c_uint32,
                               ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t, _s,
                               ctypes.c_size_t]),
        ("ZMS_iPoolNext", _i, [_p, _i, ctypes.POINTER(_p)]),
        ("ZMS_uPoolWorkers", ctypes.c_uint32, [_p]),
        ("ZMS_ClosePool", None, [_p])):
    _f = getattr(lib, _name)
    _f.restype, _f.argtypes = _res, _args

VERSION: str = lib.ZMS_pszVersion().decode()


# Scanner's keywords for archives and mail, and the fields they set.
_CONTAINER_FIELDS = {
    "scan_archive": "bScanArchive", "scan_mail": "bScanMail", "max_recursion": "nMaxRecursion",
    "max_files": "nMaxFiles", "max_scansize": "cbMaxScanSize", "max_filesize": "cbMaxFileSize",
    "alert_exceeds_max": "bAlertExceedsMax", "alert_encrypted_archive": "bAlertEncryptedArchive",
}


def options(deep: bool, alert_encrypted: bool, library: Optional[bytes], macros: int = 0,
            **containers: Union[bool, int]) -> ZmsOptions:
    """The C API's options; macros: 0 none, 1 zebscan --macros' listing, 2 --source's."""
    o = ZmsOptions()
    lib.ZMS_InitOptions(ctypes.byref(o))
    o.bDeep, o.bAlertEncrypted, o.pszLibrary = int(deep), int(alert_encrypted), library
    o.iMacros = macros
    for key, value in containers.items():
        name = _CONTAINER_FIELDS.get(key)
        if name is None:
            raise TypeError("zebmacro: no option %r" % key)
        if name[0] == "b":
            if not isinstance(value, bool):
                raise ValueError("zebmacro: %s is a bool" % key)
        elif isinstance(value, bool) or not isinstance(value, int) or \
                not 0 <= value < (1 << (32 if name[0] == "n" else 64)):
            raise ValueError("zebmacro: %s is a number of at least 0 that its field holds" % key)
        setattr(o, name, int(value))
    return o


def take_record(p: Optional[int]) -> bytes:
    """The JSON record of a result handle, which is freed."""
    if not p:
        raise MemoryError("zebmacro: no memory for a result")
    try:
        record = lib.ZMS_pszRecord(p)
        if record is None:
            raise MemoryError("zebmacro: no memory for a record")
        return record
    finally:
        lib.ZMS_FreeResult(p)


def _take_text(text: Optional[int], size: "ctypes.c_size_t") -> bytes:
    """The bytes of a text libzmscan answered with, which is freed."""
    if not text:
        raise MemoryError("zebmacro: no memory for the records")
    try:
        return ctypes.string_at(text, size.value)
    finally:
        lib.ZMS_FreeText(text)


def scan_paths_records(scanner: int, paths: Sequence[bytes],
                       names: Optional[Sequence[bytes]] = None, table: bool = False) -> bytes:
    """The JSON Lines of the files at paths, scanned in turn by one call, each known to its record
    by its name (None: by its path); table=True: their records as columns (capi/columns.h)."""
    if not paths and not table:
        return b""
    size = ctypes.c_size_t()
    array = ctypes.c_char_p * len(paths)
    call = lib.ZMS_pScanPathsColumns if table else lib.ZMS_pszScanPaths
    return _take_text(call(scanner, array(*paths), None if names is None else array(*names),
                           len(paths), ctypes.byref(size)), size)


def scan_paths_table_at(scanner: int, data: bytes, offsets: Any) -> bytes:
    """As scan_paths_records(..., table=True) for the paths that lie in data at offsets (a numpy
    array), each ended by a NUL: no bytes object is made for one, nor copied."""
    import numpy as np
    size = ctypes.c_size_t()
    keep = ctypes.c_char_p(data)  # the address of data's own bytes
    addresses = (offsets + ctypes.cast(keep, ctypes.c_void_p).value).astype(np.uintp)
    return _take_text(lib.ZMS_pScanPathsColumns(
        scanner, addresses.ctypes.data_as(ctypes.POINTER(ctypes.c_char_p)), None,
        len(addresses), ctypes.byref(size)), size)


def known_record(path: bytes, outcome: int, reason: str) -> bytes:
    return take_record(lib.ZMS_pKnownResult(path, outcome, reason.encode("utf-8", "replace")))


def walk_raw(path: bytes) -> List[bytes]:
    """The walk's entries of one path, in order, each its kind's letter and its text: b'F' and a
    path, a file to scan; b'R' and a record, an entry accounted for by the walk itself."""
    batches: List[bytes] = []

    def sink(_ctx: Optional[int], pch: "ctypes._Pointer[ctypes.c_char]", cb: int) -> int:
        batches.append(ctypes.string_at(pch, cb))
        return 1

    callback = WALK_SINK(sink)
    if lib.ZMS_nWalk(path, callback, None) < 0:
        raise MemoryError("zebmacro: the walk ran out of memory")
    out: List[bytes] = []
    for batch in batches:  # collected in batches by the C walk, each entry ended by a NUL
        out.extend(batch.split(b"\0")[:-1])
    return out


def walk(path: bytes) -> Iterator[Tuple[str, bytes]]:
    """The same as ('F', path) and ('R', record)."""
    for entry in walk_raw(path):
        yield chr(entry[0]), entry[1:]


class Pool:
    """A pool of worker processes over paths; next() gives result records as they come."""

    def __init__(self, opts: ZmsOptions, jobs: int, paths: Sequence[bytes]):
        array = (ctypes.c_char_p * len(paths))(*paths)
        error = ctypes.create_string_buffer(256)
        self._p = lib.ZMS_pOpenPool(ctypes.byref(opts), jobs, array, len(paths), error,
                                    len(error))
        if not self._p:
            raise ZebmacroError("zebmacro: " + (error.value.decode(errors="replace") or
                                                "no memory for a pool"))

    @property
    def workers(self) -> int:
        return lib.ZMS_uPoolWorkers(self._p)

    def next(self, timeout_ms: int) -> Optional[bytes]:
        """A record; b"" when none came within the time; None when every one has been given."""
        handle = ctypes.c_void_p()
        got = lib.ZMS_iPoolNext(self._p, timeout_ms, ctypes.byref(handle))
        if got == -2:
            raise MemoryError("zebmacro: the pool ran out of memory; files are missing")
        if got < 0:
            return None
        return take_record(handle.value) if got else b""

    def close(self) -> None:
        if self._p:
            lib.ZMS_ClosePool(self._p)
            self._p = None

    def __del__(self) -> None:
        self.close()
