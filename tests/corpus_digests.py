#!/usr/bin/python3
"""The WordDocument streams of the real corpus as Python's olefile reads them.

Usage: corpus_digests.py CORPUS_DIR TSV          check TSV against olefile's reading now
       corpus_digests.py --write CORPUS_DIR TSV  (re)write TSV from olefile's reading

TSV (tests/data/corpus_worddocument.tsv) is what tests/test_corpus.cpp compares the library's
reader with, in both builds (Wine has no olefile). One line per .doc file of CORPUS_DIR/real:

  file  expect  size  sha256  nfib  where  note

expect  "read": the reader must deliver exactly these bytes;
        "refused": opening must fail cleanly, by the reader's design: the stream lies in
        more than 16,384 regular sectors, or its FIB field at 0x118 (the macro table's position
        in a Word 6 FIB) is 0x10000000 or more.
size    the WordDocument stream's size; sha256 its SHA-256 (olefile's bytes).
nfib    the FIB's nFib; where "mini" (in the mini-stream) or "regular".

Run by ctest (corpus_olefile_digests) in the native build, so a changed corpus or a changed
olefile reading shows up as a failure here rather than as a puzzling reader failure.
"""
import hashlib
import os
import sys

MAX_CHAIN = 16384  # the reader's cap on a regular chain (hostutil/zm_limits.h ZM_MAX_CHAIN)
TABLE_LIMIT = 0x10000000  # FIB 0x118 values from here on are refused (ZM_MACRO_TABLE_LIMIT)


def read_corpus(corpus):
    import olefile
    rows = []
    real = os.path.join(corpus, "real")
    for name in sorted(os.listdir(real)):
        if not name.lower().endswith(".doc"):
            continue
        path = os.path.join(real, name)
        ole = olefile.OleFileIO(path)
        data = ole.openstream("WordDocument").read()
        cutoff = ole.minisectorcutoff
        ole.close()
        where = "mini" if len(data) < cutoff else "regular"
        sectors = (len(data) + 511) // 512
        nfib = data[2] | (data[3] << 8)
        fib_table = int.from_bytes(data[0x118:0x11C], "little")
        expect, note = "read", ""
        if where == "regular" and sectors > MAX_CHAIN:
            expect, note = "refused", f"{sectors} sectors"
        elif fib_table >= TABLE_LIMIT:
            expect, note = "refused", f"FIB 0x118 = 0x{fib_table:08X}"
        rows.append([name, expect, str(len(data)), hashlib.sha256(data).hexdigest(),
                     f"0x{nfib:02X}", where, note])
    return rows


def main():
    args = sys.argv[1:]
    write = args[:1] == ["--write"]
    if write:
        args = args[1:]
    if len(args) != 2:
        print(__doc__)
        return 2
    corpus, tsv = args
    if not os.path.isdir(os.path.join(corpus, "real")):
        print(f"SKIPPED: no corpus at {corpus}/real")
        return 77
    try:
        rows = read_corpus(corpus)
    except ImportError:
        print("SKIPPED: python3-olefile is not installed for /usr/bin/python3 "
              "(tools/install-deps installs it)")
        return 77
    lines = ["\t".join(r) + "\n" for r in rows]
    if write:
        with open(tsv, "w") as f:
            f.write("# file\texpect\tsize\tsha256\tnfib\twhere\tnote "
                    "(written by tests/corpus_digests.py from olefile)\n")
            f.writelines(lines)
        print(f"wrote {len(lines)} rows to {tsv}")
        return 0
    with open(tsv) as f:
        kept = [l for l in f if not l.startswith("#")]
    if kept != lines:
        print(f"FAIL: {tsv} no longer matches olefile's reading of {corpus}/real:")
        for old, new in zip(kept, lines):
            if old != new:
                print(f"  kept: {old.rstrip()}\n  now:  {new.rstrip()}")
        if len(kept) != len(lines):
            print(f"  {len(kept)} rows kept, {len(lines)} files now")
        return 1
    print(f"ok: {len(lines)} WordDocument streams match {tsv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
