#!/usr/bin/python3
"""Documents built by the document builder are real compound files to independent readers.

Usage: check_olefile.py MKDOCS

Runs MKDOCS (tests/tools/mkdocs.cpp) into a temporary directory, then
  1. opens every NAME.doc with Python's olefile (Debian's python3-olefile, strict about defects)
     and checks that its WordDocument stream equals NAME.wd, the bytes the builder wrote, and
     that the FIB says encrypted exactly where the manifest does (oletools' test: bit 0x0100 of
     the 16-bit field at offset 10);
  2. runs `clamscan --debug` (Debian's clamav) on every document and checks that its Word 6 macro
     reader reports the same number of macros with the same keys and lengths, in table order, as
     manifest.tsv lists (and no macro table where the manifest says "-").
A check whose package is not installed (and could not be) is skipped with a message; when both
are skipped the script exits 77, which ctest reports as a skip.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def load_manifest(directory):
    rows = []
    with open(os.path.join(directory, "manifest.tsv")) as f:
        for line in f:
            name, placement, macros, protection = line.rstrip("\n").split("\t")
            pairs = None if macros == "-" else [
                tuple(int(x) for x in p.split(":")) for p in macros.split(",")]
            rows.append((name, placement, pairs, protection == "encrypted"))
    return rows


def check_olefile(directory, rows):
    try:
        import olefile
    except ImportError:
        print("SKIPPED olefile check: python3-olefile is not installed for /usr/bin/python3 "
              "(tools/install-deps installs it)")
        return None
    failures = 0
    for name, placement, _, encrypted in rows:
        path = os.path.join(directory, name + ".doc")
        with open(os.path.join(directory, name + ".wd"), "rb") as f:
            expected = f.read()
        try:
            ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
            data = ole.openstream("WordDocument").read()
            ole.close()
        except Exception as e:  # any defect olefile raises is a failure of the builder
            print(f"FAIL olefile {name}: {e}")
            failures += 1
            continue
        if data != expected:
            print(f"FAIL olefile {name}: WordDocument differs ({len(data)} vs {len(expected)} bytes)")
            failures += 1
        elif bool(int.from_bytes(data[10:12], "little") & 0x0100) != encrypted:
            print(f"FAIL olefile {name}: fEncrypted is not {encrypted}")
            failures += 1
        else:
            print(f"ok   olefile {name}: {len(data)} bytes ({placement})")
    return failures


def check_clamscan(directory, rows):
    clamscan = shutil.which("clamscan")
    if clamscan is None:
        print("SKIPPED clamscan check: clamscan (Debian's clamav) is not installed "
              "(tools/install-deps installs it)")
        return None
    # clamscan needs some database; one signature that matches nothing will do.
    db = os.path.join(directory, "nothing.ndb")
    with open(db, "w") as f:
        f.write("ZmNothing:0:*:00112233445566778899aabbccddeeff0011223344556677\n")
    failures = 0
    for name, _, pairs, _ in rows:
        path = os.path.join(directory, name + ".doc")
        out = subprocess.run([clamscan, "--debug", "--no-summary", "-d", db, path],
                             capture_output=True, timeout=300)
        text = (out.stdout + out.stderr).decode("latin-1")
        counts = [int(n) for n in re.findall(r"macro count: (\d+)", text)]
        seen = [(int(k), int(n)) for _, k, n in
                re.findall(r"Decompress WM project macro:(\d+) key:(\d+) length:(\d+)", text)]
        if pairs is None:
            ok = not counts and not seen
            want = "no macro table"
        else:
            ok = counts == [len(pairs)] and seen == pairs
            want = f"{len(pairs)} macros {pairs}"
        if ok:
            print(f"ok   clamscan {name}: {want}")
        else:
            print(f"FAIL clamscan {name}: wanted {want}, clamscan reported counts {counts}, "
                  f"macros {seen} (exit {out.returncode})")
            failures += 1
    return failures


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with tempfile.TemporaryDirectory(prefix="zm-mkdocs-") as directory:
        subprocess.run([sys.argv[1], directory], check=True)
        rows = load_manifest(directory)
        results = [check_olefile(directory, rows), check_clamscan(directory, rows)]
    if all(r is None for r in results):
        return SKIP
    return 1 if any(r for r in results if r) else 0


if __name__ == "__main__":
    sys.exit(main())
