"""zebmacro.dask on LocalClusters of worker processes: the records of zebscan --jobs 2, row for row;
a worker killed in the middle of a run costs no file and doubles none; memory:// stands in for an
object store; the command line writes what zebscan prints."""
import collections
import csv
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys

import dask
import fsspec
import pandas as pd
import pytest
from distributed import Client, LocalCluster

import zebmacro
import zebmacro.dask as zd
import zebmacro.dask.__main__ as zd_main
from conftest import zebscan_lines, zebscan_records


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as c:
        yield c


def test_a_cluster_gives_zebscans_records(client, work, corpus, containers, tree, monkeypatch):
    # Macros listed or not, as zebscan --macros and --source list them; the scan without them
    # last, for what follows. The tree's entries that its walk accounts for share batches with
    # files scanned.
    for flags, asked in ((["--macros"], {"macros": True}), (["--source"], {"source": True}),
                         ([], {})):
        want = zebscan_lines("--jobs", "2", *flags, corpus, containers, tree, cwd=work)
        df = zd.scan([corpus, containers, tree], batch_size=100, **asked)
        assert df.npartitions > 2
        got = df.compute()
        assert collections.Counter(got["record"]) == collections.Counter(want)
        assert got["path"].is_unique
        assert list(got.columns) == zd._columns(bool(asked))
        assert dict(got.dtypes) == dict(zd._meta()[list(got.columns)].dtypes)
        # Each column holds its record's field, and NaN (<NA>) where the record has none.
        for _, row in got.iterrows():
            record = json.loads(row["record"])
            for c in got.columns[:-1]:
                assert (row[c] == record[c]) if c in record else pd.isna(row[c]), (c, record)
        assert not asked or got["macro_records"].notna().sum() > 1
    found = got[got.result == "FOUND"]
    # The viruses of documents, in the corpus and inside the containers; and the test file.
    assert len(found) and found.container.notna().any()
    assert (found.virus.str.startswith("Macro.Word.") | (found.virus == "Eicar-Test-Signature")).all()

    # Columns asked for, or the only ones a computation reads, are the only ones made: the same
    # values, in the same rows.
    by_path, scan_batch = got.set_index("path"), zd._scan_batch
    for frame, made in ((zd.scan([corpus, containers], columns=["result", "path", "record"]),
                         ["result", "path", "record"]),
                        (zd.scan([corpus, containers])[["path", "virus"]], ["path", "virus"]),
                        (zd.scan([containers], columns=["path", "members"]), ["path", "members"])):
        asked = []
        monkeypatch.setattr(zd, "_scan_batch", lambda *a: asked.append(a[3]) or scan_batch(*a))
        part = frame.compute(scheduler="sync").set_index("path")
        assert asked and all(sorted(a) == sorted(made) for a in asked)  # in an order of Dask's
        assert list(part.columns) == [c for c in made if c != "path"]
        pd.testing.assert_frame_equal(part, by_path.loc[part.index, part.columns])
    assert dict(got.result.value_counts()) == \
        dict(zd.scan([corpus, containers, tree]).result.value_counts().compute())
    for bad in ({"columns": ["path", "nope"]}, {"columns": []}, {"columns": ["path", "path"]},
                {"columns": "path"}, {"columns": ["path", "auto_macros"]}, {"macros": 1}):
        with pytest.raises((ValueError, TypeError)):
            zd.scan([corpus], **bad)


def _die_at_third_batch():
    """Run on one worker: the process kills itself when its third batch starts."""
    original, calls = zd._scan_batch, [0]

    def dying(*args):
        calls[0] += 1
        if calls[0] == 3:
            os.kill(os.getpid(), signal.SIGKILL)
        return original(*args)

    zd._scan_batch = dying


def test_a_killed_worker_costs_no_file(work, corpus):
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as c:
        victim = sorted(c.scheduler_info()["workers"])[0]
        before = c.run(os.getpid, workers=[victim])[victim]
        c.run(_die_at_third_batch, workers=[victim])
        got = zd.scan([corpus], batch_size=20).compute()
        c.wait_for_workers(2)
        assert before not in c.run(os.getpid).values()  # it did die, and was replaced
    assert got["path"].is_unique
    assert collections.Counter(got["record"]) == \
        collections.Counter(zebscan_lines("--jobs", "2", corpus, cwd=work))


def test_memory_stands_in_for_an_object_store(samples):
    fs = fsspec.filesystem("memory")
    names = sorted(os.listdir(samples))
    for name in names:
        with open(os.path.join(samples, name), "rb") as f:
            fs.pipe("/bucket/docs/" + name, f.read())
    fs.pipe("/bucket/docs/sub/copy.doc", fs.cat("/bucket/docs/" + names[2]))
    fs.pipe("/bucket/docs/sub/gone.doc", b"")
    # The store's memory is this process's: the workers are threads of it.
    with LocalCluster(processes=False, n_workers=1, threads_per_worker=2,
                      dashboard_address=":0") as cluster, Client(cluster):
        df = zd.scan(["memory://bucket/docs", "memory://bucket/missing.doc"], batch_size=4)
        fs.rm("/bucket/docs/sub/gone.doc")  # listed, then gone before its batch reads it
        got = df.compute().set_index("path")
    try:
        locals_ = {"memory:///bucket/docs/" + n: os.path.join(samples, n) for n in names}
        locals_["memory:///bucket/docs/sub/copy.doc"] = os.path.join(samples, names[2])
        assert sorted(got.index) == sorted(locals_) + ["memory:///bucket/docs/sub/gone.doc",
                                                       "memory://bucket/missing.doc"]
        for url, path in locals_.items():
            want = zebmacro.scan_file(path).to_dict()
            row = json.loads(got.loc[url, "record"])
            assert {**row, "path": path} == want, url
        for url in ("memory:///bucket/docs/sub/gone.doc", "memory://bucket/missing.doc"):
            assert (got.loc[url, "result"], got.loc[url, "reason"]) == \
                ("ERROR", "No such file or directory")
    finally:
        fs.rm("/bucket", recursive=True)


def test_the_command_line(client, work, samples, corpus, tmp_path, monkeypatch):
    scan_batch = zd._scan_batch
    module = [sys.executable, "-m", "zebmacro.dask"]
    out = tmp_path / "results.jsonl"
    p = subprocess.run(module + ["--local", "2", corpus, "--out", str(out)], capture_output=True,
                       text=True, cwd=work)
    assert p.returncode == 1, p.stderr  # carriers found
    lines = [line.decode() for line in out.read_bytes().splitlines()]
    assert collections.Counter(lines) == \
        collections.Counter(zebscan_lines("--jobs", "2", corpus, cwd=work))
    assert "%d files, " % len(lines) in p.stderr

    # A table, and one with the macros listed as zebscan --macros lists them.
    for flags in ([], ["--macros"]):
        table = tmp_path / "results.csv"
        p = subprocess.run(module + ["--scheduler", client.scheduler.address, *flags,
                                     "samples/out", "--out", str(table)],
                           capture_output=True, text=True, cwd=work)
        assert p.returncode == 1, p.stderr
        with open(table, newline="") as f:
            rows = list(csv.DictReader(f))
        want = {r["path"]: r for r in map(json.loads,
                                           zebscan_lines(*flags, "samples/out", cwd=work))}
        assert sorted(r["path"] for r in rows) == sorted(want)
        assert list(rows[0]) == [c for c in zd._columns(bool(flags)) if c != "record"]
        for r in rows:
            w = want[r["path"]]
            assert (r["result"], r["virus"], json.loads(r["names"])) == \
                (w["result"], w.get("virus", ""), w["names"])
            if flags:
                assert (json.loads(r["macro_records"] or "null"), r["template"]) == \
                    (w.get("macro_records"), str(w.get("template", "")))
        assert not flags or any(r["auto_macros"] not in ("", "[]") for r in rows)

    # Partitions written and counted from one scan (as Parquet is written, where pyarrow is).
    scans = []
    monkeypatch.setattr(zd, "_scan_batch", lambda *a: scans.append(1) or scan_batch(*a))
    df = zd.scan([corpus], batch_size=200, columns=zd._FIELDS)
    parts = tmp_path / "parts"
    parts.mkdir()
    with dask.config.set(scheduler="sync"):
        counts = zd_main.write_and_count(
            df, lambda part, n: part.to_csv(parts / ("%d.csv" % n), index=False))
    assert len(scans) == df.npartitions == len(list(parts.iterdir()))
    assert counts == collections.Counter(json.loads(r)["result"] for r in lines)
    written = pd.concat(pd.read_csv(f) for f in parts.iterdir())
    assert sorted(written["path"]) == sorted(json.loads(r)["path"] for r in lines)

    # Runs that cannot be made, or break off, end with status 2 and say why: never a traceback
    # (its status is 1, "a virus found").
    engine = any(importlib.util.find_spec(m) for m in ("pyarrow", "fastparquet"))
    for args, said in ((["--local", "1", "samples/out", "--out", "x.txt"], "--format"),
                       (["--scheduler", "tcp://127.0.0.1:9", "samples/out", "--out", "x.jsonl"],
                        "did not finish (0 rows known written): OSError"),
                       ([] if engine else ["--local", "1", "samples/out", "--out", "x.parquet"],
                        "neither is installed")):
        if args:
            p = subprocess.run(module + args, capture_output=True, text=True, cwd=str(tmp_path),
                               env=dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="1s"))
            assert p.returncode == 2 and said in p.stderr and "Traceback" not in p.stderr, p.stderr


def test_an_empty_scan(client, tmp_path):
    df = zd.scan([str(tmp_path)])
    assert len(df.compute()) == 0 and list(df.columns) == list(zd.COLUMNS)


def test_a_scan_reads_the_files_as_they_are_now(client, work, samples, tmp_path):
    """A second scan of the same paths is no copy of the first, even where the first's results are
    still held (persisted): the file under a path may have changed."""
    records = zebscan_records(samples, cwd=work)
    clean = next(r["path"] for r in records if r["result"] == "OK")
    carrier = next(r["path"] for r in records if r["result"] == "FOUND")
    path = str(tmp_path / "letter.doc")
    shutil.copy(os.path.join(work, clean), path)
    first = zd.scan([path]).persist()
    assert list(first.compute()["result"]) == ["OK"]
    shutil.copy(os.path.join(work, carrier), path)
    assert list(zd.scan([path]).compute()["result"]) == ["FOUND"]


@pytest.mark.parametrize("data, texts", [
    (b"", []), (b"\xff", [""]), (b"a\xffb c\xff", ["a", "b c"]),
    (b"\xc3\xa9\xff\xe2\x80\xa8\xff", ["\u00e9", "\u2028"]),
    (b"a\x00b\xff\x00\xff", ["a\x00b", "\x00"]),  # a NUL in a macro's name
])
def test_a_tables_texts(data, texts):
    assert zd._texts(data) == texts
