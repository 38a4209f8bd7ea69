"""zebmacro's API gives zebscan's records: scan_file on every file the walk hands on, scan_bytes as
scan_file, scan_paths as zebscan --jobs; what cannot be read is a result; misuse raises."""
import json
import os
import subprocess
import sys
import threading

import pytest

import zebmacro
from zebmacro import _capi
from conftest import program, zebscan_lines, zebscan_records


def walked_files(root: str):
    """The files the walk of root hands on to be scanned, in order: those whose path the system
    opens (the tree's deepest file is reached by the walk alone, through its directories; by its
    path it is "File name too long", as zebscan says when given it)."""
    return [os.fsdecode(text) for kind, text in _capi.walk(os.fsencode(root))
            if kind == "F" and len(text) < os.pathconf("/", "PC_PATH_MAX")]


# The macros listed as zebscan --macros and --source list them: the samples', and those of the
# documents inside the containers.
@pytest.mark.parametrize("which, flags", [("samples", []), ("tree", []), ("containers", []),
                                          ("samples", ["--macros"]), ("samples", ["--source"]),
                                          ("containers", ["--source"])])
def test_scan_file_gives_zebscans_records(request, work, which, flags):
    root = os.path.relpath(request.getfixturevalue(which), work)  # as zebscan is given it
    want = {r.get("path_bytes", r["path"]): r for r in zebscan_records(*flags, root, cwd=work)}
    asked = {"macros": "--macros" in flags, "source": "--source" in flags}
    here = os.getcwd()
    os.chdir(work)
    try:
        files = walked_files(root)
        assert files
        for path in files:
            result = zebmacro.scan_file(path, **asked)
            got = result.to_dict()
            assert got == want[got.get("path_bytes", got["path"])], path
            assert result.macro_records == got.get("macro_records", []), path
        # Listed, in a file's record or in its members'.
        assert ('"macro_records"' in json.dumps(list(want.values()))) == bool(flags)
    finally:
        os.chdir(here)


@pytest.mark.parametrize("which", ["samples", "tree"])
def test_scan_bytes_gives_what_scan_file_gives(request, which):
    root = request.getfixturevalue(which)
    for path in walked_files(root):
        if os.path.getsize(path) > 64 << 20:  # the tree's 5 GiB sparse document
            continue
        with open(path, "rb") as f:
            data = f.read()
        want = zebmacro.scan_file(path)
        assert zebmacro.scan_bytes(data, path) == want
        assert zebmacro.scan_bytes(bytearray(data), path) == want
        assert zebmacro.scan_bytes(memoryview(data), name=path) == want


@pytest.mark.parametrize("jobs, source", [(1, False), (2, False), (2, True)])
def test_scan_paths_is_zebscan_jobs(work, samples, tree, jobs, source):
    # Two paths: the samples, and the tree again through one of its files, met twice.
    args = ["samples/out", "tree", "tree/clean.doc"]
    want = zebscan_lines("--jobs", str(jobs), *(["--source"] if source else []), *args, cwd=work)
    here = os.getcwd()
    os.chdir(work)
    try:
        got = [r.record for r in zebmacro.scan_paths(args, jobs=jobs, source=source)]
    finally:
        os.chdir(here)
    assert got == want


def test_results_say_why(tmp_path, samples):
    cases = [
        (str(tmp_path / "missing.doc"), "ERROR", "No such file or directory"),
        (str(tmp_path), "ERROR", "Is a directory"),
        (os.path.join(samples, "08-truncated.doc"), "ERROR", "Truncated document"),
        (os.path.join(samples, "10-plain-text.doc"), "SKIPPED", "Not a Word 6/95 document"),
    ]
    if os.geteuid() != 0:  # root reads it all the same
        locked = tmp_path / "locked.doc"
        locked.write_bytes(b"x")
        locked.chmod(0)
        cases.append((str(locked), "ERROR", "Permission denied"))
    for path, result, reason in cases:
        r = zebmacro.scan_file(path)
        assert (r.result, r.reason, r.virus, r.infected) == (result, reason, None, False), path


def test_fields_and_the_record(samples, containers, tmp_path):
    r = zebmacro.scan_file(os.path.join(samples, "06-deep-only.doc"))
    assert (r.result, r.virus, r.found_by, r.names) == \
        ("FOUND", "Macro.Word.Satanic", "deep scan", ["ShowTip"])
    assert r.infected and r.to_dict() == json.loads(r.record)
    shallow = zebmacro.scan_file(os.path.join(samples, "06-deep-only.doc"), deep=False)
    assert (shallow.result, shallow.virus) == ("OK", None)
    assert zebmacro.scan_bytes(b"").path == "stream"
    # A name that is not UTF-8: its bytes in path_bytes, and back.
    odd = os.fsencode(str(tmp_path)) + b"/caf\xe9.doc"
    with open(odd, "wb") as f:
        f.write(b"plain")
    r = zebmacro.scan_file(odd)
    assert r.raw_path == odd and r.path_bytes and "\ufffd" in r.path
    # A container: its kind and members; a scanner told not to open archives reads it as a file.
    z = zebmacro.scan_file(os.path.join(containers, "infected.zip"))
    assert (z.result, z.container) == ("FOUND", "zip") and z.virus.startswith("Macro.Word.")
    assert z.members_scanned >= len(z.members) >= 1
    assert any(m["result"] == "FOUND" for m in z.members)
    closed = zebmacro.Scanner(scan_archive=False).scan_file(os.path.join(containers, "infected.zip"))
    assert (closed.result, closed.container) != ("FOUND", "zip")


def test_definitions_and_versions():
    d = zebmacro.definitions()
    version = subprocess.run([program("zebscan"), "--version"], capture_output=True,
                             text=True).stdout
    assert "library zebmacro %s, %d definitions" % (d.engine_version, d.count) in version
    assert d.count == 59 and zebmacro.library_version() == d.engine_version
    assert zebmacro.__version__ == d.engine_version  # built together
    assert os.path.exists(d.library) and d.date


def test_misuse_raises(samples):
    for bad in (None, 3, ["a"]):
        with pytest.raises(TypeError):
            zebmacro.scan_file(bad)
    with pytest.raises(TypeError):
        zebmacro.scan_bytes("text, not bytes")
    for jobs in (0, -1, 1.5):
        with pytest.raises(ValueError):
            next(zebmacro.scan_paths([samples], jobs=jobs))
    with pytest.raises(zebmacro.ZebmacroError):
        zebmacro.Scanner(library="/nonexistent/libzebmacro.so")
    for bad, error in (({"max_files": -1}, ValueError), ({"max_recursion": 1 << 32}, ValueError),
                       ({"scan_mail": 1}, ValueError), ({"max_files": True}, ValueError),
                       ({"maxfiles": 3}, TypeError), ({"macros": 1}, TypeError),
                       ({"source": "yes"}, TypeError)):
        with pytest.raises(error):
            zebmacro.Scanner(**bad)
    # Refused options, and the process's own scanner still open as the interpreter ends: nothing
    # to say on stderr (as every Dask worker process said at its end).
    code = ("import zebmacro\ntry:\n    zebmacro.Scanner(max_files=-1)\nexcept ValueError:\n"
            "    pass\nzebmacro.scan_file(%r)\n" % samples)
    ended = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (ended.returncode, ended.stderr) == (0, "")


def test_pool_ends_when_left_early(corpus):
    it = zebmacro.scan_paths(corpus, jobs=2)
    first = next(it)
    assert first.result in ("OK", "FOUND")
    it.close()  # the workers end; nothing hangs


def test_threads_take_turns(samples):
    paths = sorted(os.path.join(samples, n) for n in os.listdir(samples))
    want = [zebmacro.scan_file(p) for p in paths]
    wrong = []

    def scan():
        own = zebmacro.Scanner()
        for _ in range(20):
            for p, w in zip(paths, want):
                for s in (own, zebmacro):
                    if s.scan_file(p) != w:
                        wrong.append(p)
        own.close()

    threads = [threading.Thread(target=scan) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not wrong
