#!/usr/bin/python3
"""zebscan end to end: builds the sample documents, runs zebscan (natively, or zebscan.exe under
Wine) on them and compares every line and the exit status with the expected reports in samples/;
parses --json and --list-definitions --json; checks the command line's answers."""
import argparse
import base64
import codecs
import io
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

FAILURES = []
# What the Windows builds answer for a container they cannot open (%s: "Archive" or "Mail").
NOT_IN_BUILD = ("%s support not in this build (extract it and scan the folder, or use the Linux "
                "build)")
EICAR = base64.b64decode(  # the EICAR test file, kept encoded as pyclamd keeps it
    "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNULUZJTEUhJEgrSCo=")


def check(ok, what):
    if not ok:
        FAILURES.append(what)
        print("FAIL:", what)


def encrypted(doc):
    """The document with its FIB's fEncrypted set (bit 0x0100 at offset 0x0A), as a password
    gives it: the FIB is found by its first bytes (wIdent 0xA5DC, nFib 0x65)."""
    fib = doc.find(b"\xdc\xa5\x65\x00")
    assert fib >= 0
    return doc[:fib + 0x0B] + bytes([doc[fib + 0x0B] | 0x01]) + doc[fib + 0x0C:]


def normalise(text):
    """Lines with the Windows separators of a listed path turned into '/', the time masked."""
    lines = []
    for line in text.replace("\r\n", "\n").splitlines():
        line = re.sub(r"^Time: [0-9.]+ sec \([0-9]+ m [0-9]+ s\)$", "Time: *", line)
        head, sep, tail = line.partition(": ")
        lines.append(head.replace("\\", "/") + sep + tail)
    return lines


def mkcompound_beside(mksamples):
    """tests/tools/mkcompound, built into the folder of mksamples."""
    ext = ".exe" if mksamples.endswith(".exe") else ""
    return os.path.join(os.path.dirname(os.path.abspath(mksamples)), "mkcompound" + ext)


class Runner:
    def __init__(self, args):
        self.prefix = args.emulator.split() if args.emulator else []
        self.zebscan = self.prefix + [os.path.abspath(args.zebscan)]
        self.mksamples = self.prefix + [os.path.abspath(args.mksamples)]
        self.mkcompound = self.prefix + [mkcompound_beside(args.mksamples)]
        self.work = os.path.abspath(args.work)

    def run(self, *argv, env=None, stdin=None):
        """stdin: bytes that standard input reads from a regular file, or Pipe(bytes)."""
        with tempfile.TemporaryFile() as f:
            if isinstance(stdin, bytes):
                f.write(stdin)
                f.seek(0)
            p = subprocess.run(self.zebscan + list(argv), cwd=self.work, capture_output=True,
                               env=env, stdin=f if isinstance(stdin, bytes) else None,
                               input=stdin.data if isinstance(stdin, Pipe) else None)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


class Pipe:
    def __init__(self, data):
        self.data = data


def expected(path):
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def compare(name, got_text, want_lines):
    got = normalise(got_text)
    if got != want_lines:
        print("--- expected (%s)\n%s\n--- got\n%s" % (name, "\n".join(want_lines), "\n".join(got)))
    check(got == want_lines, name + ": report differs")


def read_terminal(p, master):
    """What the terminal whose side master is gets while p runs (read as it comes: a full
    terminal buffer would hold p), until p ends; master is closed."""
    seen = b""
    while True:
        if select.select([master], [], [], 0.1)[0]:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            seen += chunk
            if chunk:
                continue
        if p.poll() is not None:
            break
    p.wait(timeout=60)
    os.close(master)
    return seen


def check_progress(r):
    """With stderr on a terminal, a run that lasts shows a progress line there, redrawn at most
    ten times a second and counting every file; a short run shows none. The long run is a file
    list fed slowly on stdin."""
    for want in (True, False):
        master, slave = pty.openpty()
        argv = ["--no-summary", "--file-list", "-"] if want else ["--no-summary", "samples/out"]
        p = subprocess.Popen(r.zebscan + argv, cwd=r.work, stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        start = time.monotonic()
        if want:
            for i in range(10):
                p.stdin.write(("many/f%03d.doc\n" % i).encode())
                p.stdin.flush()
                time.sleep(0.05)
        p.stdin.close()
        seen = read_terminal(p, master)
        elapsed = time.monotonic() - start
        draws = seen.count(b"\rzebscan: ")
        if want:
            # The last files may come within a tenth of a second of the last redraw, and the line
            # is cleared at the end without another: the counts drawn run on, and most are seen.
            counts = [int(n) for n in re.findall(rb"\rzebscan: (\d+) files", seen)]
            check(counts == sorted(counts) and 5 <= max(counts, default=0) <= 10,
                  "progress line counts the files: %r" % seen[-120:])
            check(draws <= elapsed * 10 + 1, "%d redraws in %.2f s" % (draws, elapsed))
        else:
            check(draws == 0, "no progress line for a short run: %r" % seen[-80:])


def on_terminal(argv, cwd):
    """What a terminal shows of argv run on it (a Windows console, under Wine): its bytes with
    the console's cursor escapes and carriage returns taken out."""
    master, slave = pty.openpty()
    p = subprocess.Popen(argv, cwd=cwd, stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    seen = read_terminal(p, master)
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\r", b"", seen).decode("utf-8", "replace")


def check_console(r):
    """On a terminal, and on Windows a console whatever its code page, names in any script show
    as the file system has them; with the report sent to NUL (/dev/null), an error still shows
    on the terminal, where stderr is."""
    name = "caf\xe9 \u6587\u6863.doc"
    os.makedirs(os.path.join(r.work, "console"), exist_ok=True)
    shutil.copy(os.path.join(r.work, "samples/out/03-concept-names.doc"),
                os.path.join(r.work, "console", name))
    seen = on_terminal(r.zebscan + ["--no-summary", "console"], r.work)
    check(normalise(seen)[:1] == ["console/%s: Macro.Word.Concept.a FOUND" % name],
          "a name on the terminal: %r" % seen)
    cut = "samples/out/08-truncated.doc"
    if r.prefix:
        exe = "Z:" + r.zebscan[-1].replace("/", "\\")
        argv = r.prefix + ["cmd", "/c", "%s --no-summary %s > NUL" % (exe, cut)]
    else:
        argv = ["/bin/sh", "-c", "%s --no-summary %s > /dev/null" % (r.zebscan[-1], cut)]
    seen = on_terminal(argv, r.work)
    check(cut + ": Truncated document ERROR" in normalise(seen), "report to NUL: %r" % seen)


def docx():
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
        z.writestr("word/document.xml", '<?xml version="1.0"?><w:document/>')
    return buf.getvalue()


def build_tree(r, root, wine):
    """The fixture tree: every kind of entry the walk must account for. Returns the table of
    (path relative to root, outcome, reason or virus) that a --deep run must print, one line each.
    Features the platform lacks are left out: under Wine no FIFO, no newline or non-UTF-8 names,
    no 'c:' directory, links only as the directories they lead to, and paths within the Unix
    side's 4096 bytes (past Windows' 260 all the same)."""
    samples = os.path.join(r.work, "samples/out")

    def sample(name):
        with open(os.path.join(samples, name), "rb") as f:
            return f.read()

    concept, wieder, deep_only = sample("03-concept-names.doc"), sample("04-wieder-confirmed.doc"), \
        sample("06-deep-only.doc")
    rows = [
        ("clean.doc", sample("01-clean-no-macros.doc"), "OK", ""),
        (".git/objects/concept.doc", concept, "FOUND", "Macro.Word.Concept.a"),
        (".config/wieder", wieder, "FOUND", "Macro.Word.Wieder"),  # no extension: by content
        ("-rf.doc", concept, "FOUND", "Macro.Word.Concept.a"),
        ("word97.doc", sample("09-word97.doc"), "SKIPPED", "Not a Word 6/95 document"),
        ("notes.txt", sample("10-plain-text.doc"), "SKIPPED", "Not a Word 6/95 document"),
        # A zip (Word 2007's, here the least of one): opened, nothing in it to find.
        ("report.docx", docx(), "ERROR" if wine else "OK",
         NOT_IN_BUILD % "Archive" if wine else ""),
        ("empty.doc", b"", "SKIPPED", "Not a Word 6/95 document"),
        ("cut.doc", sample("08-truncated.doc"), "ERROR", "Truncated document"),
        ("locked.doc", encrypted(wieder), "SKIPPED", "Encrypted document"),
        ("eicar.com", EICAR, "FOUND", "Eicar-Test-Signature"),
        ("eicar.txt", EICAR + b"\r\n", "FOUND", "Eicar-Test-Signature"),
        ("eicar-and-more.txt", EICAR + b"\nmore", "SKIPPED", "Not a Word 6/95 document"),
    ]
    if not wine:
        rows += [
            ("c:/docs/wieder.doc", wieder, "FOUND", "Macro.Word.Wieder"),
            ("new\nline.doc", concept, "FOUND", "Macro.Word.Concept.a"),
            ("caf\xe9.doc", wieder, "FOUND", "Macro.Word.Wieder"),
        ]
    for rel, data, _, _ in rows:
        path = os.path.join(os.fsencode(root), rel.encode("latin-1" if "\xe9" in rel else "utf-8"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    # A document padded past 4 GiB (sparse: nothing is written) is read like any other.
    with open(os.path.join(root, "huge.doc"), "wb") as f:
        f.write(concept)
        f.truncate(5 << 30)
    rows.append(("huge.doc", None, "FOUND", "Macro.Word.Concept.a"))
    # A tree deeper than any path limit, built a directory at a time through descriptors.
    level, depth = "d" * 200, (21 if not wine else 5)
    fd = os.open(root, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir(level, dir_fd=fd)
        nfd = os.open(level, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = nfd
    out = os.open("deep.doc", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(out, deep_only)
    os.close(out)
    os.close(fd)
    rows.append(("/".join([level] * depth + ["deep.doc"]), None, "FOUND", "Macro.Word.Satanic"))
    if not wine:
        os.mkfifo(os.path.join(root, "pipe.doc"))
        os.symlink("..", os.path.join(root, ".git/loop"))
        os.symlink(".", os.path.join(root, "self"))
        os.symlink("clean.doc", os.path.join(root, "link.doc"))
        os.symlink("missing", os.path.join(root, "dangling"))
        rows += [
            ("pipe.doc", None, "SKIPPED", "Not a regular file"),
            (".git/loop", None, "SKIPPED", "Symbolic link"),
            ("self", None, "SKIPPED", "Symbolic link"),
            ("link.doc", None, "SKIPPED", "Symbolic link"),
            ("dangling", None, "SKIPPED", "Symbolic link"),
        ]
    else:
        # Wine shows a Unix link as what it points to: the loops are directories met again.
        os.symlink("..", os.path.join(root, ".git/loop"))
        os.symlink(".", os.path.join(root, "self"))
        rows += [
            (".git/loop", None, "SKIPPED", "Directory loop"),
            ("self", None, "SKIPPED", "Directory loop"),
        ]
    return rows


def escaped(rel):
    """A path as the text report shows it: control characters and bytes outside UTF-8 as \\xHH."""
    out = ""
    for ch in rel:
        out += "\\x%02x" % ord(ch) if ord(ch) < 0x20 or ch == "\xe9" else ch
    return out


def parse_report(text, wine):
    """{path: (outcome, what)} of a text report, every path once (a second line fails), and the
    summary's fields."""
    lines, summary = {}, {}
    for line in text.replace("\r\n", "\n").splitlines():
        m = re.match(r"^(.*): (.*) (FOUND|ERROR|SKIPPED)$", line) or re.match(r"^(.*): (OK)$", line)
        if m and not line.startswith("Time:"):
            path = m.group(1).replace("\\", "/") if wine else m.group(1)
            check(path not in lines, "reported twice: " + path)
            lines[path] = (m.group(3), m.group(2)) if m.lastindex == 3 else ("OK", "")
            continue
        m = re.match(r"^([A-Za-z ]+): (\d+)$", line)
        if m:
            summary[m.group(1)] = int(m.group(2))
    return lines, summary


def check_tree(r):
    """The fixture tree: every infected document found, every other entry on exactly one line,
    the summary adding up, exit 1; links not followed by default and loops ended at once when
    they are; a tree of everyday non-Word files exits 0 without an ERROR line."""
    wine = bool(r.prefix)
    root = os.path.join(r.work, "tree")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    rows = build_tree(r, root, wine)
    start = time.monotonic()
    p = subprocess.run(r.zebscan + ["--deep", "tree"], cwd=r.work, capture_output=True, timeout=120)
    text = p.stdout.decode("utf-8", "surrogateescape")
    lines, summary = parse_report(text, wine)
    for rel, _, outcome, what in rows:
        got = lines.get("tree/" + escaped(rel))
        check(got == (outcome, what), "tree/%r: %s, want %s" % (rel, got, (outcome, what)))
    check(len(lines) == len(rows), "%d lines for %d entries:\n%s" % (len(lines), len(rows), text))
    n = {o: sum(1 for _, _, oo, _ in rows if oo == o) for o in ("OK", "FOUND", "ERROR", "SKIPPED")}
    check(summary.get("Scanned files") == n["OK"] + n["FOUND"] and
          summary.get("Infected files") == n["FOUND"] and summary.get("Skipped files") == n["SKIPPED"]
          and summary.get("Total errors") == n["ERROR"], "summary %s, want %s" % (summary, n))
    check(p.returncode == 1, "tree: exit status %d" % p.returncode)
    # The same through --json: one object per entry, the non-UTF-8 name recoverable.
    p = subprocess.run(r.zebscan + ["--deep", "--json", "tree"], cwd=r.work, capture_output=True,
                       timeout=120)
    objs = [json.loads(l) for l in p.stdout.decode().splitlines()]
    check(len(objs) == len(rows) + 1, "--json: %d objects for %d entries" % (len(objs), len(rows)))
    if not wine:
        raw = [base64.b64decode(o["path_bytes"]) for o in objs if "path_bytes" in o]
        check(raw == [b"tree/caf\xe9.doc"], "--json path_bytes: %r" % raw)
        # Links followed: each file once, loops ended at once, the link to a scanned file silent.
        p = subprocess.run(r.zebscan + ["--follow-dir-symlinks", "--follow-file-symlinks", "tree"],
                           cwd=r.work, capture_output=True, timeout=120)
        lines, _ = parse_report(p.stdout.decode("utf-8", "surrogateescape"), wine)
        check(lines.get("tree/self") == ("SKIPPED", "Directory loop") and
              lines.get("tree/.git/loop") == ("SKIPPED", "Directory loop") and
              "tree/link.doc" not in lines and lines.get("tree/dangling") ==
              ("SKIPPED", "Broken symbolic link"), "followed links: %s" % sorted(lines.items())[:8])
        # A named FIFO never blocks; a leading '-' is a path after "--".
        p = subprocess.run(r.zebscan + ["--no-summary", "--", "tree/pipe.doc", "tree/-rf.doc"],
                           cwd=r.work, capture_output=True, timeout=60)
        check(p.stdout.decode().splitlines() == ["tree/pipe.doc: Not a regular file SKIPPED",
                                                 "tree/-rf.doc: Macro.Word.Concept.a FOUND"],
              "named FIFO and '-rf.doc': %r" % p.stdout)
        check_unreadable(r, root)
    check(time.monotonic() - start < 60, "the tree took %.1f s" % (time.monotonic() - start))
    # Everyday files only: nothing to report as an error, exit 0. Where archives are not opened a
    # .docx (a zip) is an ERROR unless they are turned off.
    everyday = os.path.join(r.work, "everyday")
    os.makedirs(everyday, exist_ok=True)
    for name in ("word97.doc", "notes.txt", "report.docx", "empty.doc"):
        shutil.copy(os.path.join(root, name), everyday)
    p = subprocess.run(r.zebscan + (["--scan-archive=no"] if wine else []) + ["everyday"],
                       cwd=r.work, capture_output=True, timeout=60)
    check(p.returncode == 0 and b"ERROR" not in p.stdout + p.stderr,
          "everyday files: exit %d\n%s" % (p.returncode, p.stdout.decode()))


def check_unreadable(r, root):
    """A directory that cannot be read is an ERROR with the system's cause and exit 2; root reads
    every directory, so zebscan runs as 'nobody' for it."""
    if os.geteuid() != 0:
        print("unreadable directory: not root, so the test makes it unreadable to this user")
    locked = os.path.join(root, "locked")
    os.makedirs(locked)
    with open(os.path.join(locked, "x.doc"), "wb") as f:
        f.write(b"x")
    os.chmod(locked, 0)

    def drop():
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setgroups([])
            os.setuid(65534)
    try:
        p = subprocess.run(r.zebscan + ["--no-summary", "tree/locked", "tree/clean.doc"],
                           cwd=r.work, capture_output=True, timeout=60, preexec_fn=drop)
        check(p.stdout.decode().splitlines() == ["tree/locked: Permission denied ERROR",
                                                 "tree/clean.doc: OK"] and p.returncode == 2,
              "unreadable directory: exit %d %r %r" % (p.returncode, p.stdout, p.stderr))
    finally:
        os.chmod(locked, 0o755)
        shutil.rmtree(locked)


def worker_pids(parent, marker):
    """Live worker processes (their command line holds --zm-worker) whose parent is `parent`, or,
    under Wine, where every process's parent is init, whose command line holds `marker`."""
    pids = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % d, "rb") as f:
                cmd = f.read()
            with open("/proc/%s/stat" % d) as f:
                state, ppid = f.read().rsplit(")", 1)[1].split()[0:2]
        except OSError:
            continue
        mine = int(ppid) == parent or (parent is None and marker in cmd)
        if b"--zm-worker" in cmd and mine and state != "Z":
            pids.append(int(d))
    return pids


def holds(pid, name):
    try:
        return any(os.readlink("/proc/%d/fd/%s" % (pid, fd)).endswith(name)
                   for fd in os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return False


def drop_from_cache(root):
    """Every file under root written out and its pages dropped from the page cache, where the
    file system lets them go (not tmpfs): the tree is cold, as an archive is."""
    for parent, _, names in os.walk(root):
        for name in names:
            fd = os.open(os.path.join(parent, name), os.O_RDONLY)
            try:
                os.fsync(fd)
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def check_pool(r, mkcorpus):
    """--jobs N prints the report of --jobs 1, line for line, on the samples, the fixture tree and
    a benchmark corpus, and on the corpus cold, its heads read ahead; a worker killed while it
    scans costs one ERROR line for that file, and one past --file-timeout too; the run goes on; no
    worker is left behind."""
    subprocess.run(r.prefix + [os.path.abspath(mkcorpus), "corpus", "300", "1"], cwd=r.work,
                   check=True, stdout=subprocess.DEVNULL)
    os.makedirs(os.path.join(r.work, "empty"), exist_ok=True)  # workers started for nothing
    for argv in (["--deep", "samples/out"], ["--deep", "tree"], ["--deep", "corpus"],
                 ["--names", "corpus/docs"], ["empty"], ["--source", "samples/out"],
                 ["--macros", "--json", "--no-summary", "corpus/docs"]):
        want = r.run("-j", "1", *argv)
        for jobs in ("2", "3"):
            got = r.run("-j", jobs, *argv)
            check(normalise(got[1]) == normalise(want[1]) and got[0] == want[0],
                  "-j %s %s differs from -j 1" % (jobs, argv))
    want = r.run("-j", "1", "--io-depth", "0", "--deep", "corpus")
    for argv in (["-j", "1"], ["-j", "2"], ["-j", "2", "--io-depth", "1"]):
        drop_from_cache(os.path.join(r.work, "corpus"))
        got = r.run(*argv, "--deep", "corpus")
        check(normalise(got[1]) == normalise(want[1]) and got[0] == want[0],
              "%s on a cold corpus differs from a warm -j 1 --io-depth 0" % argv)
    # A slow file: MACRO_ScanRaw over gigabytes of zeros (sparse, so nothing is written).
    slow = os.path.join(r.work, "slow")
    os.makedirs(slow, exist_ok=True)
    with open(os.path.join(slow, "big.bin"), "wb") as f:
        f.truncate(16 << 30)
    for i in range(6):
        with open(os.path.join(slow, "small%d.txt" % i), "wb") as f:
            f.write(b"text")
    status, stdout, _ = r.run("--no-summary", "--raw", "FormatC", "-j", "2", "--file-timeout",
                              "0.3", "slow")
    lines = normalise(stdout)
    check(lines[0] == "slow/big.bin: Scan timed out after 0.3 s (worker stopped) ERROR" and
          len(lines) == 7 and status == 2, "--file-timeout: %d %s" % (status, lines))
    p = subprocess.Popen(r.zebscan + ["--no-summary", "--raw", "FormatC", "-j", "2", "slow"],
                         cwd=r.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    victim, seen, deadline = None, set(), time.monotonic() + 30
    while victim is None and time.monotonic() < deadline and p.poll() is None:
        seen.update(worker_pids(None if r.prefix else p.pid, b"--zm-raw=FormatC"))
        victim = next((pid for pid in seen if holds(pid, "big.bin")), None)
        time.sleep(0.02)
    if victim:
        os.kill(victim, signal.SIGKILL)
    out, _ = p.communicate(timeout=120)
    lines = normalise(out.decode())
    check(victim is not None and len(lines) == 7 and
          re.match(r"slow/big\.bin: Worker (killed by signal 9 \(Killed\)|exited with status \d+) ERROR$",
                   lines[0]) and p.returncode == 2, "killed worker: %s %s" % (p.returncode, lines))
    def alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False
    # Wine's processes leave the Unix side a moment after Windows has seen them end, and a loaded
    # machine's a moment after their parent: waited for, up to a limit far above the usual.
    deadline = time.monotonic() + 30
    while True:
        left = [pid for pid in seen if alive(pid)]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    check(seen and left == [], "workers left behind: %s of %s" % (left, seen))
    if r.prefix:
        return
    # An interrupt to zebscan alone ends its workers too.
    p = subprocess.Popen(r.zebscan + ["--raw", "FormatC", "-j", "2", "slow"], cwd=r.work,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen, deadline = set(), time.monotonic() + 30
    while not any(holds(pid, "big.bin") for pid in seen) and time.monotonic() < deadline:
        seen.update(worker_pids(p.pid, b""))
        time.sleep(0.02)
    p.send_signal(signal.SIGINT)
    p.wait(timeout=60)
    deadline = time.monotonic() + 30
    while True:
        left = [pid for pid in seen if alive(pid)]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    check(p.returncode == -signal.SIGINT and seen and left == [],
          "interrupted pool: exit %s, workers %s left of %s" % (p.returncode, left, seen))


def check_interrupt(r):
    """An interrupt while the list file exists still removes it. The walk of a large tree is
    interrupted as soon as its list file shows; if the walk wins the race, the file must be gone
    all the same."""
    big = os.path.join(r.work, "big")
    os.makedirs(big)
    for i in range(20000):
        open(os.path.join(big, "f%05d.doc" % i), "wb").close()
    tmp = tempfile.mkdtemp(dir=r.work)
    p = subprocess.Popen(r.zebscan + ["--library-walk", "big"], cwd=r.work,
                         env=dict(os.environ, TMPDIR=tmp),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while p.poll() is None and not os.listdir(tmp):
        pass
    p.send_signal(signal.SIGINT)
    p.wait(timeout=60)
    check(p.returncode in (-signal.SIGINT, 2), "interrupted: exit %s" % p.returncode)
    check(os.listdir(tmp) == [], "list file left behind after an interrupt")
    # An interrupt that zebscan inherited as ignored (nohup, a background job) stays ignored.
    p = subprocess.Popen(r.zebscan + ["--library-walk", "--no-summary", "big"], cwd=r.work,
                         env=dict(os.environ, TMPDIR=tmp), stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    while p.poll() is None and not os.listdir(tmp):
        pass
    p.send_signal(signal.SIGINT)
    p.wait(timeout=120)
    check(p.returncode == 0, "ignored interrupt: exit %s" % p.returncode)
    check(os.listdir(tmp) == [], "list file left behind after an ignored interrupt")


def check_command_line(r):
    """What users of clamscan type, each case a row: the arguments (run with --no-summary unless
    the row says so), what goes to standard input, the exit status, the report's lines (after
    normalise) and a pattern that standard error must match. Natively only where Wine lacks the
    feature (/dev/stdin, /proc)."""
    wine = bool(r.prefix)
    cli = os.path.join(r.work, "cli")
    shutil.rmtree(cli, ignore_errors=True)
    for d in ("d1", "d2"):
        os.makedirs(os.path.join(cli, d))
    samples = os.path.join(r.work, "samples/out")
    with open(os.path.join(samples, "03-concept-names.doc"), "rb") as f:
        concept = f.read()
    shutil.copy(os.path.join(samples, "01-clean-no-macros.doc"), os.path.join(cli, "d1/clean.doc"))
    with open(os.path.join(cli, "d2/concept.doc"), "wb") as f:
        f.write(concept)
    # Under Wine a Unix link reads as what it points to: named links are followed there too.
    os.symlink("d2/concept.doc", os.path.join(cli, "l1"))
    found = "cli/d2/concept.doc: Macro.Word.Concept.a FOUND"
    os.makedirs(os.path.join(r.work, "lists"), exist_ok=True)
    with open(os.path.join(r.work, "lists", "caf\xe9 \u6587\u6863.doc"), "wb") as f:
        f.write(concept)
    listed = "cli/d1/clean.doc\r\nlists/caf\xe9 \u6587\u6863.doc\r\n"
    utf16 = codecs.BOM_UTF16_LE + listed.encode("utf-16-le")
    found_listed = ["cli/d1/clean.doc: OK",
                    "lists/caf\xe9 \u6587\u6863.doc: Macro.Word.Concept.a FOUND"]
    rows = [
        # A link named on the command line is followed by default (and not with 0).
        ("named link", ["cli/l1"], None, 1, ["cli/l1: Macro.Word.Concept.a FOUND"], ""),
        ("named link, --follow-file-symlinks=1", ["--follow-file-symlinks=1", "cli/l1"], None, 1,
         ["cli/l1: Macro.Word.Concept.a FOUND"], ""),
        ("link named in a list", ["-j", "2", "--file-list", "-"], Pipe(b"cli/l1\ncli/d1\n"), 1,
         ["cli/l1: Macro.Word.Concept.a FOUND", "cli/d1/clean.doc: OK"], ""),
        # Each pattern takes one value: the paths after it are scanned.
        ("--exclude between paths", ["cli/d1", "--exclude", "*.bak", "cli/d2"], None, 1,
         ["cli/d1/clean.doc: OK", found], ""),
        ("--exclude=", ["--exclude=*.bak", "cli/d1", "cli/d2"], None, 1,
         ["cli/d1/clean.doc: OK", found], ""),
        ("patterns repeated", ["--exclude", "x", "--include", "*.doc", "--exclude-dir", "d1",
                               "cli"], None, 1,
         ["cli/d1: Excluded SKIPPED", found, "cli/l1: Excluded SKIPPED" if wine else
          "cli/l1: Symbolic link SKIPPED"], ""),
        ("unknown option", ["--bogus", "cli/d1"], None, 2, [],
         r"^zebscan: The following argument was not expected: --bogus"),
        # Standard input scanned as "stdin", from a file or a pipe, among other paths too.
        ("- from a file", ["-"], concept, 1, ["stdin: Macro.Word.Concept.a FOUND"], None),
        ("- from a pipe", ["-"], Pipe(concept), 1, ["stdin: Macro.Word.Concept.a FOUND"], None),
        ("- among paths, with workers", ["-j", "2", "cli/d1", "-", "cli/d2"], Pipe(concept), 1,
         ["cli/d1/clean.doc: OK", "stdin: Macro.Word.Concept.a FOUND", found], None),
        ("- and --file-list -", ["-", "--file-list", "-"], None, 2, [],
         r"^zebscan: standard input is read once"),
        # clamscan's output options.
        ("-o", ["-o", "cli/d1", "cli/d2"], None, 1, [found], None),
        ("--quiet", ["--quiet", "cli/d2", "samples/out/08-truncated.doc"], None, 2 if False else 1,
         [], r"^samples/out/08-truncated\.doc: Truncated document ERROR\s*$"),
        ("--stdout", ["--stdout", "-i", "samples/out/08-truncated.doc"], None, 2,
         ["samples/out/08-truncated.doc: Truncated document ERROR"], None),
        ("-v", ["-v", "cli/d1"], None, 0, ["Scanning cli/d1/clean.doc", "cli/d1/clean.doc: OK"],
         None),
        ("-V", ["-V"], None, 0, ["zebscan 1.0.0", "library zebmacro 1.0.0, 59 definitions"], None),
        # Workers beyond twice the cores are not started, and that is said.
        ("--jobs 1024", ["--jobs", "1024", "cli/d1"], None, 0, ["cli/d1/clean.doc: OK"],
         r"^zebscan: --jobs 1024 cut to \d+: more than 2 workers a core \(\d+ here\) only slow "
         r"the scan$"),
        # A path's closing separators are one in the paths below it.
        ("dir//", ["cli/d1//"], None, 0, ["cli/d1/clean.doc: OK"], None),
        # --file-timeout: a sane range, said readably.
        ("--file-timeout 1e30", ["--file-timeout", "1e30", "cli/d1"], None, 2, [],
         r"^zebscan: --file-timeout: seconds from 0\.01 to 604800 \(a week\), not 1e30$"),
        ("--file-timeout nan", ["--file-timeout", "nan", "cli/d1"], None, 2, [],
         r"not nan$"),
        ("--file-timeout 4294967.296", ["--file-timeout", "4294967.296", "cli/d1"], None, 2, [],
         r"not 4294967\.296$"),
        # --io-depth: files read ahead, none, or a usage error.
        ("--io-depth 0", ["--io-depth", "0", "cli/d1"], None, 0, ["cli/d1/clean.doc: OK"], None),
        ("--io-depth 4096", ["--io-depth=4096", "cli/d1"], None, 0, ["cli/d1/clean.doc: OK"],
         None),
        ("--io-depth 4097", ["--io-depth", "4097", "cli/d1"], None, 2, [],
         r"^zebscan: --io-depth: Value 4097 not in range 0 to 4096$"),
        ("--io-depth -1", ["--io-depth", "-1", "cli/d1"], None, 2, [], r"not in range"),
        # A list that cannot be read is an error with its cause; a line holding a NUL, one that
        # points at --null.
        ("missing file list", ["--file-list", "cli/none.txt"], None, 2,
         ["cli/none.txt: Cannot read the file list: No such file or directory ERROR"], ""),
        ("NUL in a line", ["--file-list", "-"], Pipe(b"cli/d1/clean.doc\0junk\ncli/d2/concept.doc\n"),
         1, ["cli/d1/clean.doc\\x00junk: Name holds a NUL byte (a NUL-separated list needs --null) "
             "ERROR", found], ""),
        # Lists as Windows writes them: PowerShell 5.1's '>' (UTF-16LE), Notepad's UTF-8, each
        # behind its byte order mark.
        ("UTF-16LE list", ["--file-list", "-"], Pipe(utf16), 1, found_listed, ""),
        ("UTF-16LE list, from a file", ["--file-list", "-"], utf16, 1, found_listed, ""),
        ("UTF-8 list with a mark", ["--file-list", "-"], listed.encode("utf-8-sig"), 1,
         found_listed, ""),
    ]
    if not wine:
        rows += [
            ("named link, never followed", ["--follow-file-symlinks=0", "cli/l1"], None, 0,
             ["cli/l1: Symbolic link SKIPPED"], ""),
            ("/dev/stdin", ["/dev/stdin"], concept, 1, ["/dev/stdin: Macro.Word.Concept.a FOUND"],
             ""),
            ("/proc/self/fd/0 with workers", ["-j", "2", "cli/d1/clean.doc", "/proc/self/fd/0"],
             concept, 1, ["cli/d1/clean.doc: OK", "/proc/self/fd/0: Macro.Word.Concept.a FOUND"],
             ""),
        ]
    if not wine:
        rows += [
            ("directory as file list", ["--file-list", "cli/d1"], None, 2,
             ["cli/d1: Cannot read the file list: Is a directory ERROR"], ""),
        ]
    # want_err: a pattern standard error must match, or None: it must be empty.
    for what, argv, stdin, want_status, want_lines, want_err in rows:
        status, stdout, stderr = r.run(*(["--no-summary"] + argv), stdin=stdin)
        stderr = stderr.replace("\r\n", "\n")
        err_ok = stderr == "" if want_err is None else re.search(want_err, stderr, re.M)
        check(status == want_status and normalise(stdout) == normalise("\n".join(want_lines)) and
              err_ok,
              "%s: exit %d, want %d\n%s\nstderr: %s" % (what, status, want_status, stdout, stderr))
    # The list's error counts in the summary.
    status, stdout, _ = r.run("--file-list", "cli/none.txt")
    check("Total errors: 1" in stdout, "unreadable list not counted: " + stdout)
    # With --json, standard error is JSON Lines too: "2>&1 | jq" reads everything.
    for argv in (["--json", "-i", "samples/out"], ["--json", "--bogus"],
                 ["--json", "--jobs", "1024", "cli/d1"]):
        p = subprocess.run(r.zebscan + argv, cwd=r.work, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        try:
            objs = [json.loads(line) for line in p.stdout.decode().splitlines()]
        except ValueError:
            objs = None
        check(objs and all(o.get("schema") == 1 or "summary" in o for o in objs) and
              (argv[1] != "-i" or sum(o.get("result") == "ERROR" for o in objs) == 1),
              "%s 2>&1 is not JSON Lines: %r" % (argv, p.stdout[-300:]))
    # -l appends the report (as printed without --quiet) and every error to the log.
    log = os.path.join(cli, "scan.log")
    with open(log, "w") as f:
        f.write("before\n")
    r.run("--quiet", "-l", "cli/scan.log", "cli/d2", "samples/out/08-truncated.doc")
    with open(log, "rb") as f:
        logged = f.read()
    lines = normalise(logged.decode())
    check(lines[:3] == ["before", found, "samples/out/08-truncated.doc: Truncated document ERROR"]
          and "Infected files: 1" in lines, "log: %s" % lines)
    # Its lines end as the report's do: CR LF on Windows, where editors expect them.
    ends = re.findall(rb"\r?\n", logged[len("before\n"):])
    check(ends and set(ends) == {b"\r\n" if wine else b"\n"}, "log's line ends: %s" % set(ends))


def slashes(text):
    """A report with Windows' separators anywhere in its lines turned into '/'."""
    return normalise(text.replace("\\", "/"))


def check_quarantine(r):
    """--copy and --move: each infected file goes below the directory under its path as reported
    (no root, no '..'), a taken name gets '.1', nothing is replaced, what was done is reported,
    and clean files stay where they are."""
    q = os.path.join(r.work, "quarantine")
    src = os.path.join(r.work, "qsrc")
    for d in (q, src):
        shutil.rmtree(d, ignore_errors=True)
    os.makedirs(os.path.join(src, "a"))
    samples = os.path.join(r.work, "samples/out")
    for rel, name in (("a/x.doc", "03-concept-names.doc"), ("b.doc", "04-wieder-confirmed.doc"),
                      ("clean.doc", "01-clean-no-macros.doc")):
        shutil.copy(os.path.join(samples, name), os.path.join(src, rel))
    os.makedirs(os.path.join(q, "qsrc/a"))
    with open(os.path.join(q, "qsrc/a/x.doc"), "wb") as f:
        f.write(b"taken")
    with open(os.path.join(samples, "07-numbered-macros.doc"), "rb") as f:
        outlaw = f.read()
    status, stdout, _ = r.run("--no-summary", "--copy=quarantine", "qsrc/a/../a/x.doc",
                              "qsrc/clean.doc", "-", stdin=outlaw)
    check(status == 1 and slashes(stdout) == slashes("\n".join([
        "qsrc/a/../a/x.doc: Macro.Word.Concept.a FOUND",
        "qsrc/a/../a/x.doc: copied to 'quarantine/qsrc/a/x.doc.1'",
        "qsrc/clean.doc: OK",
        "stdin: Macro.Word.Outlaw FOUND",
        "stdin: copied to 'quarantine/stdin'"])), "--copy: %d\n%s" % (status, stdout))
    with open(os.path.join(q, "qsrc/a/x.doc"), "rb") as f:
        check(f.read() == b"taken", "--copy replaced a file")
    check(os.path.exists(os.path.join(src, "a/x.doc")), "--copy removed the original")
    status, stdout, _ = r.run("--no-summary", "--move", "quarantine", "qsrc")
    check(status == 1 and slashes(stdout) == slashes("\n".join([
        "qsrc/a/x.doc: Macro.Word.Concept.a FOUND",
        "qsrc/a/x.doc: moved to 'quarantine/qsrc/a/x.doc.2'",
        "qsrc/b.doc: Macro.Word.Wieder FOUND",
        "qsrc/b.doc: moved to 'quarantine/qsrc/b.doc'",
        "qsrc/clean.doc: OK"])), "--move: %d\n%s" % (status, stdout))
    check(sorted(os.listdir(src)) == ["a", "clean.doc"] and os.listdir(os.path.join(src, "a")) == [],
          "--move left: %s" % os.listdir(src))
    moved = os.path.join(q, "qsrc/b.doc")
    with open(os.path.join(samples, "04-wieder-confirmed.doc"), "rb") as g:
        check(os.path.exists(moved) and open(moved, "rb").read() == g.read(),
              "--move changed the file")
    # A file that cannot be put away is said so on stderr too; the finding stands.
    with open(os.path.join(q, "blocker"), "wb") as f:
        f.write(b"a file where a directory would go")
    status, stdout, stderr = r.run("--no-summary", "--copy", "quarantine/blocker",
                                   "samples/out/03-concept-names.doc")
    check(status == 1 and re.search(r"^samples/out/03-concept-names\.doc: not copied: ", stderr,
                                    re.M), "unplaceable: %d %s %s" % (status, stdout, stderr))
    status, _, stderr = r.run("--copy", "q1", "--move", "q2", "qsrc")
    check(status == 2 and "excludes" in stderr, "--copy with --move: %d %s" % (status, stderr))


def check_slow_list(r):
    """--file-list - fed slowly: each result goes out before the next path comes, with workers
    too (two paths at once start them)."""
    for jobs in ("1", "2"):
        p = subprocess.Popen(r.zebscan + ["-j", jobs, "--no-summary", "--file-list", "-"],
                             cwd=r.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

        def lines(n):
            buf, deadline = b"", time.monotonic() + 60
            while buf.count(b"\n") < n and time.monotonic() < deadline:
                if select.select([p.stdout], [], [], 0.1)[0]:
                    chunk = os.read(p.stdout.fileno(), 4096)
                    if not chunk:
                        break
                    buf += chunk
            return normalise(buf.decode())
        p.stdin.write(b"samples/out/03-concept-names.doc\nsamples/out/01-clean-no-macros.doc\n")
        p.stdin.flush()
        first = lines(2)
        p.stdin.write(b"samples/out/04-wieder-confirmed.doc\n")
        p.stdin.flush()
        second = lines(1)
        p.stdin.close()
        p.wait(timeout=60)
        check(first == ["samples/out/03-concept-names.doc: Macro.Word.Concept.a FOUND",
                        "samples/out/01-clean-no-macros.doc: OK"] and
              second == ["samples/out/04-wieder-confirmed.doc: Macro.Word.Wieder FOUND"],
              "-j %s, slow list: %s then %s" % (jobs, first, second))


def check_closed_report(r):
    """With SIGPIPE ignored (always so on Windows), the run stops at the first write that fails
    once the report's reader has gone: exit 2, said on stderr, and the rest of the tree is not
    looked at (its last file's ERROR never shows)."""
    root = os.path.join(r.work, "closed")
    shutil.rmtree(root, ignore_errors=True)
    for d in range(8):
        os.makedirs(os.path.join(root, "d%d" % d))
        for f in range(400):
            with open(os.path.join(root, "d%d/f%03d.txt" % (d, f)), "wb") as out:
                out.write(b"text")
    shutil.copy(os.path.join(r.work, "samples/out/08-truncated.doc"), os.path.join(root, "zz.doc"))
    for jobs in ("1", "2"):
        p = subprocess.Popen(r.zebscan + ["-j", jobs, "closed"], cwd=r.work,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
        p.stdout.readline()
        p.stdout.close()
        err = p.stderr.read().decode()
        p.wait(timeout=120)
        check(p.returncode == 2 and "zz.doc" not in err and
              re.search(r"^zebscan: the report could not be written", err, re.M),
              "-j %s, reader gone: exit %d %s" % (jobs, p.returncode, err[-300:]))


HARMLESS = {"02-clean-macros.doc": ["FormatLetter", "InsertAddress"],
            "03-concept-names.doc": ["AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"],
            "05-autoopen-unconfirmed.doc": ["AutoOpen"],
            "07-numbered-macros.doc": ["A712", "B813", "C914"]}
MACRO_LINE = re.compile(r"^    macro (.*): (\d+) bytes, key 0x([0-9a-f]{2}), "
                        r"(sha256 ([0-9a-f]{64})|body .*?)((?: \[[a-z -]+\])*)$")


def harmless_source(name):
    """The source of a harmless macro of the samples (tests/support/samples.cpp)."""
    return 'Sub MAIN\n  MsgBox "%s"\nEnd Sub\n' % name


def unescape(text):
    """A line as the report escapes it (\\xHH for control characters and bytes outside UTF-8)
    back to its bytes."""
    return re.sub(rb"\\x([0-9a-f]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode())


def listed(text):
    """{path: [(name, size, key, sha256 or None, markers, source lines)]} and {path: flags} of a
    --macros or --source report."""
    docs, flags, current = {}, {}, None
    for line in text.replace("\r\n", "\n").splitlines():
        m = re.match(r"^(.*): (.* (FOUND|ERROR|SKIPPED)|OK)$", line)
        if m and not line.startswith(" "):
            current = m.group(1).replace("\\", "/")
            docs[current], flags[current] = [], []
            continue
        m = MACRO_LINE.match(line)
        if m:
            docs[current].append((m.group(1), int(m.group(2)), int(m.group(3), 16), m.group(5),
                                  m.group(6).strip(), []))
        elif line.startswith("        "):
            docs[current][-1][5].append(unescape(line[8:]).decode("utf-8"))
        elif line.startswith("    "):
            flags[current].append(line.strip())
    return docs, flags


def stream_bodies(path, records):
    """Each record's body in the clear, read independently: the WordDocument stream through
    olefile, the record's offset and size, XOR with its key. None without python3-olefile."""
    try:
        import olefile
    except ImportError:
        return None
    with olefile.OleFileIO(path) as ole:
        stream = ole.openstream("WordDocument").read()
    return [bytes(b ^ rec["key"] for b in stream[rec["offset"]:rec["offset"] + rec["size"]])
            for rec in records]


def check_macros(r):
    """--macros, --source, --extract and their JSON: the samples' macros listed with the SHA-256
    of their bodies in the clear (hashlib over the body as olefile reads it from the stream),
    their source as written, the flags (template, auto macros, built-in commands); every
    extracted file made new, for its owner alone, under a safe name, and nothing overwritten."""
    import hashlib
    wine = bool(r.prefix)
    out = "samples/out"
    status, text, _ = r.run("--macros", "--no-summary", out)
    docs, flags = listed(text)
    check(status == 1 and len(docs) == 10, "--macros: exit %d, %d documents" % (status, len(docs)))
    status, js, _ = r.run("--macros", "--json", "--no-summary", "-j", "2", out)
    objs = {o["path"].replace("\\", "/"): o for o in map(json.loads, js.splitlines())}
    for path, macros in docs.items():
        o = objs.get(path, {})
        records = o.get("macro_records", [])
        check(len(macros) == o.get("macros") == len(records) or
              (o.get("macros") == 0 and "macro_records" not in o),
              "%s: %d macro lines, %s records, macros %s" % (path, len(macros), len(records),
                                                              o.get("macros")))
        bodies = stream_bodies(os.path.join(r.work, path), records) if records else []
        for i, (name, size, key, sha, markers, _) in enumerate(macros):
            rec = records[i] if i < len(records) else {}
            check(rec.get("sha256") == sha and rec.get("size") == size and rec.get("key") == key
                  and rec.get("encrypted") == (key != 0) and rec.get("ole_stream") ==
                  "WordDocument" and (rec.get("vba_filename") or "without a name") == name,
                  "%s: %s listed as %s, recorded as %s" % (path, name, (size, key, sha), rec))
            if bodies is not None:
                check(hashlib.sha256(bodies[i]).hexdigest() == sha,
                      "%s: %s: hashlib over the body gives another SHA-256" % (path, name))
    concept = docs.get(out + "/03-concept-names.doc", [])
    check([(m[0], m[4]) for m in concept] ==
          [("AAAZAO", ""), ("AAAZFS", ""), ("AutoOpen", "[auto macro]"), ("PayLoad", ""),
           ("FileSaveAs", "[built-in command]")], "--macros markers: %s" % concept)
    o = objs.get(out + "/03-concept-names.doc", {})
    check(o.get("auto_macros") == ["AutoOpen"] and o.get("command_macros") == ["FileSaveAs"] and
          o.get("template") is False, "JSON flags: %s" % {k: o.get(k) for k in (
              "auto_macros", "command_macros", "template")})
    check("code" not in (o.get("macro_records") or [{}])[0], "--macros --json carries no code")

    # --source: the harmless macros read back as written, in the report and in JSON.
    status, text, _ = r.run("--source", "--no-summary", out)
    docs, _ = listed(text)
    _, js, _ = r.run("--source", "--json", "--no-summary", out)
    objs = {o["path"].replace("\\", "/"): o for o in map(json.loads, js.splitlines())}
    for name, macros in HARMLESS.items():
        got = docs.get(out + "/" + name, [])
        check([m[0] for m in got] == macros and
              all("\n".join(m[5]) + "\n" == harmless_source(m[0]) for m in got),
              "--source of %s: %s" % (name, got))
        codes = [rec.get("code") for rec in objs[out + "/" + name]["macro_records"]]
        check(codes == [harmless_source(m) for m in macros], "JSON code of %s: %s" % (name, codes))

    # A template (FIB fDot, bit 0 of the word at 0x0A) says so.
    with open(os.path.join(r.work, out, "05-autoopen-unconfirmed.doc"), "rb") as f:
        doc = f.read()
    fib = doc.find(b"\xdc\xa5\x65\x00")
    with open(os.path.join(r.work, "template.dot"), "wb") as f:
        f.write(doc[:fib + 0x0A] + bytes([doc[fib + 0x0A] | 0x01]) + doc[fib + 0x0B:])
    status, text, _ = r.run("--macros", "--no-summary", "template.dot")
    check(text.splitlines()[1:2] == ["    template"], "template: %r" % text)
    status, js, _ = r.run("--macros", "--json", "--no-summary", "template.dot")
    check(json.loads(js).get("template") is True, "template in JSON: %s" % js)

    # --extract: hostile names (the 0x11 section's names replaced, each by one of its length).
    with open(os.path.join(r.work, out, "03-concept-names.doc"), "rb") as f:
        doc = f.read()
    for old, new in ((b"\x06AAAZFS", b"\x06aaazao"), (b"\x07PayLoad", b"\x07CON.bak"),
                     (b"\x0aFileSaveAs", b"\x0a..\\\x01<>|?*.")):
        assert doc.count(old) == 1
        doc = doc.replace(old, new)
    os.makedirs(os.path.join(r.work, "hostile"), exist_ok=True)
    with open(os.path.join(r.work, "hostile/names.doc"), "wb") as f:
        f.write(doc)
    shutil.rmtree(os.path.join(r.work, "ex"), ignore_errors=True)
    # Each macro's file in table order, and the macro of the sample whose body it holds.
    want = [("AAAZAO", "AAAZAO"), ("aaazao~2", "AAAZFS"), ("AutoOpen", "AutoOpen"),
            ("%43ON.bak", "PayLoad"), ("%2E.%5C%01%3C%3E%7C%3F%2A%2E", "FileSaveAs")]
    folders = []
    for run in range(2):  # the second run's folder is new: nothing of the first is replaced
        status, js, err = r.run("--extract", "ex", "--json", "--no-summary", "-j", "2", "hostile",
                                out)
        objs = [json.loads(l) for l in js.splitlines()]
        check(status == 1 and all("extract_error" not in o for o in objs),
              "--extract: exit %d %s" % (status, err))
        got = {o["path"].replace("\\", "/"): o for o in objs if "extracted_to" in o}
        check(sorted(got) == sorted(["hostile/names.doc"] + [
            out + "/" + n for n in ("02-clean-macros.doc", "03-concept-names.doc",
                                    "04-wieder-confirmed.doc", "05-autoopen-unconfirmed.doc",
                                    "06-deep-only.doc", "07-numbered-macros.doc",
                                    "08-truncated.doc")]), "--extract: %s" % sorted(got))
        folder = os.path.join(r.work, got["hostile/names.doc"]["extracted_to"].replace("\\", "/"))
        folders.append(folder)
        check(os.path.basename(folder) == "hostile%2Fnames.doc" + ("~2" if run else "") or
              wine and os.path.basename(folder) == "hostile%5Cnames.doc" + ("~2" if run else ""),
              "--extract folder: %s" % folder)
        names = sorted(os.listdir(folder))
        check(names == sorted([n + e for n, _ in want for e in (".bin", ".wbs")]),
              "--extract names: %s" % names)
        for (stem, macro), rec in zip(want, got["hostile/names.doc"]["macro_records"]):
            with open(os.path.join(folder, stem + ".wbs"), encoding="utf-8") as f:
                check(f.read() == harmless_source(macro) == rec["code"], "%s.wbs" % stem)
            with open(os.path.join(folder, stem + ".bin"), "rb") as f:
                body = f.read()
            check(hashlib.sha256(body).hexdigest() == rec["sha256"], "%s.bin's SHA-256" % stem)
            mode = os.stat(os.path.join(folder, stem + ".bin")).st_mode & 0o777
            check(mode & 0o007 == 0 if wine else mode == 0o600, "%s.bin is %o" % (stem, mode))
        # Wine gives the owner's entry of a DACL to user and group: no access for others is what
        # shows of the user-only DACL on the Unix side (without it, files are 0644 there).
        mode = os.stat(folder).st_mode & 0o777
        check(mode & 0o007 == 0 if wine else mode == 0o700, "the folder is %o" % mode)
    check(folders[0] != folders[1] and os.listdir(folders[0]) == os.listdir(folders[1]),
          "a second --extract: %s" % folders)
    # A file in the way of a folder stays as it is; a directory that cannot be made is an error.
    in_the_way = folders[0] + "~3"
    with open(in_the_way, "w") as f:
        f.write("mine")
    status, js, _ = r.run("--extract", "ex", "--json", "--no-summary", "hostile")
    check(json.loads(js)["extracted_to"].endswith("~4") and open(in_the_way).read() == "mine",
          "a file in the way: %s" % js)
    status, text, err = r.run("--extract", "template.dot/x", "--no-summary", "template.dot")
    check(status == 2 and re.search(r"template\.dot: not extracted: ", text + err),
          "--extract into a file: exit %d %r %r" % (status, text, err))


def check_install_sets(source):
    """tools/scan-samples installs only what the native build needs, as its own install line
    lists it: no Wine, mingw-w64, ClamAV or YARA, which tools/test-all's sets still hold."""
    with open(os.path.join(source, "tools/scan-samples")) as f:
        line = next(l.strip() for l in f if l.startswith("tools/install-deps"))
    listed = subprocess.run(["bash", "-c", line + " --list"], cwd=source, capture_output=True,
                            text=True)
    native = listed.stdout.split()
    everything = subprocess.run([os.path.join(source, "tools/install-deps"), "--list"],
                                capture_output=True, text=True).stdout.split()
    foreign = re.compile(r"wine|mingw|clamav|clamdscan|yara")
    check(listed.returncode == 0 and "g++" in native and "libcli11-dev" in native and
          not [p for p in native if foreign.search(p)],
          "tools/scan-samples installs %s" % native)
    check(all(any(p.startswith(w) for p in everything) for w in ("wine", "g++-mingw", "clamav",
                                                                  "yara")),
          "tools/test-all's sets: %s" % everything)


# Each kind of container (tests/container_inputs.py names them), the member its document lies at.
CONTAINER_KINDS = [
    ("%s.zip", "letters/concept.doc"), ("%s-zip64.zip", "letters/concept.doc"),
    ("%s-ustar.tar", "letters/concept.doc"), ("%s-pax.tar", "letters/concept.doc"),
    ("%s.tar.gz", "letters/concept.doc"), ("%s.tar.bz2", "letters/concept.doc"),
    ("%s.tar.xz", "letters/concept.doc"), ("%s.tar.zst", "letters/concept.doc"),
    ("%s.doc.gz", "concept.doc"), ("%s.doc.bz2", "%s.doc"), ("%s.doc.xz", "%s.doc"),
    ("%s.doc.zst", "%s.doc"), ("%s.7z", "concept.doc"), ("%s.cab", "concept.doc"),
    ("%s.iso", "concept.doc"), ("%s-base64.eml", "concept.doc"), ("%s-qp.eml", "concept.doc"),
    ("%s-uuencode.eml", "concept.doc"), ("%s-inline-uu.eml", "concept.doc"),
    ("%s-rfc822.eml", "forwarded.eml!concept.doc"), ("%s.mbox", "message-2!concept.doc"),
    ("%s.tnef", "concept.doc"), ("%s-tnef.eml", "winmail.dat!concept.doc"),
    ("%s.pst", "Inbox/message-1!minutes.doc"), ("%s.ost", "Inbox/message-1!minutes.doc"),
    ("%s-permute.pst", "Inbox/message-1!minutes.doc"),
    ("%s-pst.zip", "mail.pst!Inbox/message-1!minutes.doc"),
]


# Mail as gateways hand it over: BinHex, yEnc, messages inside a mail's text, mbox splitting.
CONTAINER_KINDS += [
    ("%s.hqx", "concept.doc"), ("%s-binhex.eml", "concept.hqx!concept.doc"),
    ("%s-yenc.eml", "concept.doc"), ("%s-inline-yenc.eml", "concept.doc"),
    ("%s-epilogue.eml", "message-1!concept.doc"), ("%s-text-message.eml", "message-1!concept.doc"),
    ("%s-rspamd.eml", "message-1!concept.doc"), ("%s-mboxo-from.mbox", "message-2!concept.doc"),
    ("%s-mboxcl2.mbox", "message-2!concept.zip!concept.doc"),
]


# Compound files that hold documents (mkcompound): the file's line and its members' lines, the
# exit status; under Wine what may hold a document is not scanned there, never OK.
NOT_HERE = "Embedded documents not scanned in this build ERROR"
COMPOUND_ROWS = [
    ("embedded-infected.doc", 1, ["Macro.Word.Concept.a FOUND", "!ObjectPool/_1234: Macro.Word."
                                  "Concept.a FOUND"], 2, [NOT_HERE, "!ObjectPool/_1234: " + NOT_HERE]),
    ("embedded-clean.doc", 0, ["OK", "!ObjectPool/_1234: OK"], 2,
     [NOT_HERE, "!ObjectPool/_1234: " + NOT_HERE]),
    ("infected-embeds-clean.doc", 1, ["Macro.Word.Concept.a FOUND", "!ObjectPool/_1234: OK"], 1,
     ["Macro.Word.Concept.a FOUND", "!ObjectPool/_1234: " + NOT_HERE]),
    ("word97-embeds-infected.doc", 1, ["Macro.Word.Concept.a FOUND",
                                       "!ObjectPool/_1234: Macro.Word.Concept.a FOUND"], 2,
     [NOT_HERE, "!ObjectPool/_1234: " + NOT_HERE]),
    ("word97-embeds-word97.doc", 0, ["Not a Word 6/95 document SKIPPED"], 0,
     ["Not a Word 6/95 document SKIPPED"]),
    ("deep-embedded.doc", 1, ["Macro.Word.Concept.a FOUND", "!ObjectPool/_1: OK",
                              "!ObjectPool/_1!ObjectPool/_2: Macro.Word.Concept.a FOUND"], 2,
     [NOT_HERE, "!ObjectPool/_1: " + NOT_HERE]),
    # No WordDocument stream at the root: the library judges the object's, under Wine too.
    ("workbook-embeds-infected.xls", 1, ["Macro.Word.Concept.a FOUND",
                                         "!MBD0049A1B2: Macro.Word.Concept.a FOUND"], 1,
     ["Macro.Word.Concept.a FOUND", "!MBD0049A1B2: " + NOT_HERE]),
    ("workbook.xls", 0, ["Not a Word 6/95 document SKIPPED"], 0,
     ["Not a Word 6/95 document SKIPPED"]),
    ("package-infected.bin", 1, ["Macro.Word.Concept.a FOUND",
                                 "!report.doc: Macro.Word.Concept.a FOUND"], 2,
     [NOT_HERE, "!report.doc: " + NOT_HERE]),
    ("doc-package-infected.doc", 1, ["Macro.Word.Concept.a FOUND",
                                     "!ObjectPool/_1234/report.doc: Macro.Word.Concept.a FOUND"],
     2, [NOT_HERE, "!ObjectPool/_1234/report.doc: " + NOT_HERE]),
    ("infected.msg", 1, ["Macro.Word.Concept.a FOUND", "!report.doc: Macro.Word.Concept.a FOUND"],
     2, [NOT_HERE, "!report.doc: " + NOT_HERE]),
    ("clean.msg", 0, ["OK", "!report.doc: OK"], 2, [NOT_HERE, "!report.doc: " + NOT_HERE]),
    ("nested.msg", 1, ["Macro.Word.Concept.a FOUND", "!fwd!report.doc: Macro.Word.Concept.a FOUND"],
     2, [NOT_HERE, "!fwd!report.doc: " + NOT_HERE]),
    ("object.msg", 1, ["Macro.Word.Concept.a FOUND", "!report.doc: Macro.Word.Concept.a FOUND"],
     1, ["Macro.Word.Concept.a FOUND", "!report.doc: " + NOT_HERE]),
    ("msg-attaches-zip.msg", 1, ["Macro.Word.Concept.a FOUND",
                                 "!docs.zip!concept.doc: Macro.Word.Concept.a FOUND"], 2,
     [NOT_IN_BUILD % "Archive" + " ERROR", "!docs.zip: " + NOT_IN_BUILD % "Archive" + " ERROR"]),
    ("msg-attaches-msg.msg", 1, ["Macro.Word.Concept.a FOUND",
                                 "!inner.msg!report.doc: Macro.Word.Concept.a FOUND"], 2,
     [NOT_HERE, "!inner.msg: " + NOT_HERE]),
    ("package-of-msg.bin", 1, ["Macro.Word.Concept.a FOUND",
                               "!mail.msg!report.doc: Macro.Word.Concept.a FOUND"], 2,
     [NOT_HERE, "!mail.msg: " + NOT_HERE]),
    ("msg.zip", 1, ["Macro.Word.Concept.a FOUND",
                    "!mail/infected.msg!report.doc: Macro.Word.Concept.a FOUND"], 2,
     [NOT_IN_BUILD % "Archive" + " ERROR"]),
]


def compound_rows(c, wine, missing):
    """COMPOUND_ROWS as check_containers' rows: (arguments, exit status, lines)."""
    rows = []
    for name, status, lines, wine_status, wine_lines in COMPOUND_ROWS:
        if name in missing:
            print("skipped %s: mkcompound is missing" % name)
            continue
        want = wine_lines if wine else lines
        rows.append(([c + name], wine_status if wine else status,
                     [c + name + (l if l.startswith("!") else ": " + l) for l in want]))
    return rows


SELF_NAME = "!zip-that-holds-itself/self.zip"  # self.zip's one member: self.zip itself


def make_containers(r):
    """The container inputs in work/containers; the names of those a missing tool left out."""
    out = os.path.join(r.work, "containers")
    if os.path.isdir(out):
        shutil.rmtree(out)
    p = subprocess.run(["/usr/bin/python3", os.path.join(os.path.dirname(__file__),
                                                          "container_inputs.py"),
                        os.path.join(r.work, "samples/out"), out] + r.mkcompound,
                       capture_output=True, text=True, check=True)
    return {l[8:] for l in p.stdout.splitlines() if l.startswith("missing ")}


def zip_rows(c, missing):
    """Self-extracting zips, members a central directory leaves out, and MaxFiles counted as
    clamd counts: (arguments, exit status, the report's lines)."""
    hidden = ": Not in the zip's central directory (found by its local header) OK"
    found = ": Macro.Word.Concept.a FOUND"
    rows = []
    for name, member in (("sfx.exe", "concept.doc"), ("sfx-adjusted.exe", "concept.doc"),
                         ("sfx-elf.bin", "concept.doc"), ("sfx-script.pyz", "concept.doc"),
                         ("sfx-signed.exe", "concept.doc"), ("sfx-in.zip", "setup.exe!concept.doc"),
                         ("sfx-in.tar", "setup.exe!concept.doc"),
                         ("attachments-10000-tiny.eml", "concept.doc")):
        if name not in missing:
            rows.append(([c + name], 1, [c + name + found, c + name + "!" + member + found]))
    for name in ("hidden-first.zip", "hidden-middle.zip", "hidden-descriptor.zip",
                 "hidden-sfx.exe"):
        rows.append(([c + name], 1, [c + name + found, c + name + "!concept.doc" + hidden,
                                     c + name + "!concept.doc" + found]))
    rows += [
        ([c + "sfx-clean.exe"], 0, [c + "sfx-clean.exe: OK", c + "sfx-clean.exe!concept.doc: OK"]),
        ([c + "program.exe", c + "program-empty-zip.exe"], 0,
         [c + "program.exe: Not a Word 6/95 document SKIPPED",
          c + "program-empty-zip.exe: Not a Word 6/95 document SKIPPED"]),
        ([c + "hidden-clean.zip"], 0, [c + "hidden-clean.zip: OK",
                                       c + "hidden-clean.zip!old.doc" + hidden,
                                       c + "hidden-clean.zip!old.doc: OK"]),
        ([c + "attachments-10000.eml"], 2,
         [c + "attachments-10000.eml: Archive limit exceeded: MaxFiles 10000 ERROR",
          c + "attachments-10000.eml!f09998.txt: Archive limit exceeded: MaxFiles 10000 ERROR"]),
        ([c + "zip-10001-then-doc.zip"], 1,
         [c + "zip-10001-then-doc.zip" + found,
          c + "zip-10001-then-doc.zip!inner.zip!t10000.txt: Archive limit exceeded: MaxFiles "
          "10000 ERROR", c + "zip-10001-then-doc.zip!concept.doc" + found]),
        (["--max-files", "6", c + "count-tar.tar.gz"], 1,
         [c + "count-tar.tar.gz" + found, c + "count-tar.tar.gz!concept.doc" + found]),
        (["--max-files", "5", c + "count-tar.tar.gz"], 2,
         [c + "count-tar.tar.gz: Archive limit exceeded: MaxFiles 5 ERROR",
          c + "count-tar.tar.gz!concept.doc: Archive limit exceeded: MaxFiles 5 ERROR"]),
    ]
    return rows
def pst_rows(c):
    """Outlook's stores: where documents lie in one (folders by name, messages by number, what
    lies outside the folders as orphan-N), a message one level and an attached message one more,
    damage as libpff or the check of its trees says it, and ScanMail, which governs them."""
    p = c + "places.pst"
    inbox = p + "!Inbox/message-1!"
    return [
        ([p], 1, [p + ": Macro.Word.Concept.a FOUND",
                  p + "!Inbox/Archive/message-1!OLD.DOC: OK",
                  p + "!Inbox/folder-1/message-1!nameless.doc: OK",
                  inbox + "minutes.doc: Macro.Word.Concept.a FOUND",
                  inbox + "attachment-3!inner.doc: Macro.Word.Wieder FOUND",
                  inbox + "docs.zip!zipped.doc: Macro.Word.Outlaw FOUND",
                  inbox + "r\u00e9sum\u00e9\\x21.doc: Macro.Word.Wieder FOUND",
                  p + "!Inbox/message-2!unlisted.doc: Macro.Word.Wieder FOUND",
                  p + "!orphan-1!parentless.doc: Macro.Word.Concept.a FOUND",
                  p + "!orphan-2!orphan.doc: Macro.Word.Outlaw FOUND"]),
        (["--max-recursion=2", p], 1,
         [p + ": Macro.Word.Concept.a FOUND", p + "!Inbox/Archive/message-1!OLD.DOC: OK",
          p + "!Inbox/folder-1/message-1!nameless.doc: OK",
          inbox + "minutes.doc: Macro.Word.Concept.a FOUND",
          inbox + "attachment-3: Archive limit exceeded: MaxRecursion 2 ERROR",
          inbox + "docs.zip: Archive limit exceeded: MaxRecursion 2 ERROR",
          inbox + "r\u00e9sum\u00e9\\x21.doc: Macro.Word.Wieder FOUND",
          p + "!Inbox/message-2!unlisted.doc: Macro.Word.Wieder FOUND",
          p + "!orphan-1!parentless.doc: Macro.Word.Concept.a FOUND",
          p + "!orphan-2!orphan.doc: Macro.Word.Outlaw FOUND"]),
        ([c + "loop.pst"], 2, [c + "loop.pst: Damaged pst: a B-tree page stands at the wrong "
                               "level ERROR"]),
        ([c + "array-loop.pst"], 2, [c + "array-loop.pst: Damaged pst: a block tree leads to a "
                                     "block of the wrong level ERROR"]),
        ([c + "huge.pst"], 2, [c + "huge.pst: Damaged pst: the data of an attachment of 20000 "
                               "bytes cannot be read ERROR",
                               c + "huge.pst!Inbox/message-1!noise.bin: Damaged pst: the data "
                               "of an attachment of 20000 bytes cannot be read ERROR"]),
        (["--scan-mail=no", c + "infected.pst"], 0,
         [c + "infected.pst: Mail scanning turned off SKIPPED"]),
    ]


def check_containers(r):
    """Archives and mail: each kind with the infected sample FOUND on the container's line and
    the member's, the clean one OK, by zebscan alone and with workers alike; limits, encryption
    and damage never OK, the limits and switches as clamscan spells them, the JSON member records
    lossless. The Windows builds say the container is not opened, never OK."""
    missing = make_containers(r)
    wine = bool(r.prefix)
    rows = []  # (arguments, exit status, the report's lines)
    for stem, member in CONTAINER_KINDS:
        for tag in ("infected", "clean"):
            name = stem % tag
            if name in missing:
                print("skipped %s: the tool that makes it is missing" % name)
                continue
            path = "containers/" + name
            mail = re.search(r"\.(eml|mbox|tnef|pst|ost)$", name)
            if wine:
                rows.append(([path], 2, ["%s: %s ERROR" % (path, NOT_IN_BUILD % (
                    "Mail" if mail else "Archive"))]))
                continue
            verdict = "Macro.Word.Concept.a FOUND" if tag == "infected" else "OK"
            doc = member.replace("%s", tag)
            rows.append(([path], 1 if tag == "infected" else 0,
                         ["%s: %s" % (path, verdict), "%s!%s: %s" % (path, doc, verdict)]))
    c = "containers/"
    rows += compound_rows(c, wine, missing)
    if not wine:
        rows += [
            # Names that are only names; a '!' in one shows as \x21; control characters escaped.
            ([c + "names.zip"], 1, [c + "names.zip: Macro.Word.Concept.a FOUND",
                                    c + "names.zip!../../up.doc: Macro.Word.Concept.a FOUND",
                                    c + "names.zip!/abs/path.doc: Macro.Word.Wieder FOUND",
                                    c + "names.zip!ctl\\x01\\x1b[31m.doc: Macro.Word.Outlaw FOUND",
                                    c + "names.zip!bang\\x21name.doc: OK"]),
            (["-i", c + "names.zip"], 1, [c + "names.zip: Macro.Word.Concept.a FOUND",
                                          c + "names.zip!../../up.doc: Macro.Word.Concept.a FOUND",
                                          c + "names.zip!/abs/path.doc: Macro.Word.Wieder FOUND",
                                          c + "names.zip!ctl\\x01\\x1b[31m.doc: Macro.Word.Outlaw "
                                          "FOUND"]),
            ([c + "nest5.zip"], 1, [c + "nest5.zip: Macro.Word.Concept.a FOUND",
                                    c + "nest5.zip!n1.tar.gz!n2.7z!n3.eml!n4.zip!x.doc: "
                                    "Macro.Word.Concept.a FOUND"]),
            ([c + "no-name.eml"], 1, [c + "no-name.eml: Macro.Word.Wieder FOUND",
                                      c + "no-name.eml!part-2: Macro.Word.Wieder FOUND"]),
            ([c + "eicar.zip"], 1, [c + "eicar.zip: Eicar-Test-Signature FOUND",
                                    c + "eicar.zip!eicar.com: Eicar-Test-Signature FOUND"]),
            # Never OK for what was not read: encryption, damage, the bombs within their limits.
            ([c + "encrypted.zip"], 2, [c + "encrypted.zip: Encrypted archive member ERROR",
                                        c + "encrypted.zip!concept.doc: Encrypted archive member "
                                        "ERROR"]),
            (["--alert-encrypted-archive", c + "encrypted.zip"], 1,
             [c + "encrypted.zip: Heuristics.Encrypted.Zip FOUND",
              c + "encrypted.zip!concept.doc: Heuristics.Encrypted.Zip FOUND"]),
            (["--alert-encrypted", c + "encrypted.7z"], 1,
             [c + "encrypted.7z: Heuristics.Encrypted.7Zip FOUND",
              c + "encrypted.7z!concept.doc: Heuristics.Encrypted.7Zip FOUND"]),
            ([c + "damaged.zip"], 2, [c + "damaged.zip: Damaged zip: ZIP decompression failed (-3) "
                                      "ERROR", c + "damaged.zip!concept.doc: Damaged zip: ZIP "
                                      "decompression failed (-3) ERROR"]),
            ([c + "truncated.zip"], 1, [c + "truncated.zip: Macro.Word.Concept.a FOUND",
                                        c + "truncated.zip!concept.doc: Macro.Word.Concept.a "
                                        "FOUND"]),
            ([c + "zeros-10g.zip"], 2, [c + "zeros-10g.zip: Archive limit exceeded: MaxFileSize 100M "
                                        "ERROR", c + "zeros-10g.zip!zeros.bin: Archive limit "
                                        "exceeded: MaxFileSize 100M ERROR"]),
            (["--max-filesize=20m", "--max-scansize", "30M", c + "zeros-10g.gz"], 2,
             [c + "zeros-10g.gz: Archive limit exceeded: MaxFileSize 20M ERROR",
              c + "zeros-10g.gz!zeros-10g: Archive limit exceeded: MaxFileSize 20M ERROR",
              c + "zeros-10g.gz!zeros-10g: Archive limit exceeded: MaxScanSize 30M ERROR"]),
            ([c + "many.zip"], 2, [c + "many.zip: Archive limit exceeded: MaxFiles 10000 ERROR",
                                   c + "many.zip!f010000.txt: Archive limit exceeded: MaxFiles "
                                   "10000 ERROR"]),
            (["--alert-exceeds-max", "--max-files", "2", c + "many.zip"], 1,
             [c + "many.zip: Heuristics.Limits.Exceeded.MaxFiles FOUND",
              c + "many.zip!f000002.txt: Heuristics.Limits.Exceeded.MaxFiles FOUND"]),
            (["--max-recursion=4", c + "recursion-5.zip"], 2,
             [c + "recursion-5.zip: Archive limit exceeded: MaxRecursion 4 ERROR",
              c + "recursion-5.zip!r01.zip!r02.zip!r03.zip!r04.zip: Archive limit exceeded: "
              "MaxRecursion 4 ERROR"]),
            (["--max-recursion=0", c + "recursion-5.zip"], 1,
             [c + "recursion-5.zip: Macro.Word.Concept.a FOUND",
              c + "recursion-5.zip!r01.zip!r02.zip!r03.zip!r04.zip!r05.doc: Macro.Word.Concept.a "
              "FOUND"]),
            # The zip that contains itself ends at MaxRecursion, or its heuristic name.
            ([c + "self.zip"], 2, [c + "self.zip: Archive limit exceeded: MaxRecursion 17 ERROR",
                                   c + "self.zip" + SELF_NAME * 17 + ": Archive limit exceeded: "
                                   "MaxRecursion 17 ERROR"]),
            (["--alert-exceeds-max", "--max-recursion", "3", c + "self.zip"], 1,
             [c + "self.zip: Heuristics.Limits.Exceeded.MaxRecursion FOUND",
              c + "self.zip" + SELF_NAME * 3 + ": Heuristics.Limits.Exceeded.MaxRecursion FOUND"]),
            # The switches: turned off is SKIPPED, never OK; mail inside a zip is then a member.
            (["--scan-archive=no", c + "infected.zip", c + "infected.mbox"], 1,
             [c + "infected.zip: Archive scanning turned off SKIPPED",
              c + "infected.mbox: Macro.Word.Concept.a FOUND",
              c + "infected.mbox!message-2!concept.doc: Macro.Word.Concept.a FOUND"]),
            (["--scan-mail=no", c + "infected-base64.eml"], 0,
             [c + "infected-base64.eml: Mail scanning turned off SKIPPED"]),
            (["--scan-mail=no", c + "nest5.zip"], 0, [c + "nest5.zip: OK"]),
            (["--max-files", "1Q", c + "infected.zip"], 2, []),
        ]
        # Checksums that do not hold: the document judged, the damage beside it; a BinHex cut
        # short; an mbox's Content-Length that ends inside an open multipart.
        rows += [
            ([c + "binhex-badcrc.hqx"], 1,
             [c + "binhex-badcrc.hqx: Macro.Word.Concept.a FOUND",
              c + "binhex-badcrc.hqx!concept.doc: Macro.Word.Concept.a FOUND",
              c + "binhex-badcrc.hqx!concept.doc: Damaged binhex: the data fork's CRC does not "
              "match ERROR"]),
            ([c + "binhex-truncated.hqx"], 2,
             [c + "binhex-truncated.hqx: Damaged binhex: the data fork ends early ERROR",
              c + "binhex-truncated.hqx!concept.doc: Damaged binhex: the data fork ends early "
              "ERROR"]),
            ([c + "yenc-badcrc.eml"], 2,
             [c + "yenc-badcrc.eml: Damaged mail: a yEnc block's CRC-32 does not match ERROR",
              c + "yenc-badcrc.eml!concept.doc: OK",
              c + "yenc-badcrc.eml!concept.doc: Damaged mail: a yEnc block's CRC-32 does not "
              "match ERROR"]),
            ([c + "cl-inside-multipart.mbox"], 1,
             [c + "cl-inside-multipart.mbox: Macro.Word.Concept.a FOUND",
              c + "cl-inside-multipart.mbox!message-1!concept.doc: Macro.Word.Concept.a FOUND"]),
            ([c + "digest.eml", c + "quoted-headers.eml"], 0,
             [c + "digest.eml: OK", c + "quoted-headers.eml: OK"]),
        ]
        rows += zip_rows(c, missing)
    if not wine:
        rows += pst_rows(c)
    for jobs in ("1", "2"):
        for argv, status, lines in rows:
            code, out, err = r.run("--no-summary", "-j", jobs, *argv)
            check(code == status and normalise(out) == normalise("\n".join(lines)),
                  "-j %s %s: exit %d, want %d\n%s" % (jobs, argv, code, status, out))
    if wine:
        check_unopened_containers(r)
        return
    # The whole directory: the report of -j 2 is that of -j 1; the summary counts the members.
    want = r.run("-j", "1", "containers")
    got = r.run("-j", "2", "containers")
    check(normalise(got[1]) == normalise(want[1]) and got[0] == want[0] == 1,
          "containers: -j 2 differs from -j 1")
    members = re.search(r"^Scanned members: (\d+)$", want[1], re.M)
    check(members and int(members.group(1)) > 10000, "summary: %s" % want[1][-300:])
    # JSON: the member records, the chain and a name that is not UTF-8 kept exactly.
    code, out, _ = r.run("--json", "--no-summary", c + "nest5.zip", c + "latin1-names.tar",
                         c + "many.zip")
    objs = [json.loads(l) for l in out.splitlines()]
    nest, latin, many = objs
    check(nest["container"] == "zip" and nest["members_scanned"] == 6 and
          [(m["chain"], m["name"], m["result"], m["why"]) for m in nest["members"]] ==
          [(["n1.tar.gz", "n2.7z", "n3.eml", "n4.zip"], "x.doc", "FOUND", "document")],
          "--json nest5.zip: %s" % nest)
    check([base64.b64decode(m["name_bytes"]) for m in latin["members"]] == [b"r\xe9sum\xe9.doc"],
          "--json name_bytes: %s" % latin["members"])
    check(many["result"] == "ERROR" and many["members"][-1]["limit"] == "MaxFiles" and
          many["members"][-1]["why"] == "limit", "--json many.zip: %s" % many["members"])
    # A member the central directory leaves out: its note, then its document's record.
    _, out, _ = r.run("--json", "--no-summary", c + "hidden-middle.zip")
    hidden = json.loads(out)
    check(hidden["container"] == "zip" and
          [(m["name"], m["why"], m["result"], m.get("reason", m.get("virus")))
           for m in hidden["members"]] ==
          [("concept.doc", "hidden", "OK", "Not in the zip's central directory (found by its local "
            "header)"), ("concept.doc", "document", "FOUND", "Macro.Word.Concept.a")],
          "--json hidden-middle.zip: %s" % hidden["members"])
    # A document five containers deep shows its macros as it does on its own: under its line
    # (--macros, --source), in its member record (--json), in a folder of its own (--extract).
    doc = "samples/out/03-concept-names.doc"
    member = c + "nest5.zip!n1.tar.gz!n2.7z!n3.eml!n4.zip!x.doc"
    for jobs in ("1", "2"):
        for flag in ("--macros", "--source"):
            _, out, _ = r.run("--no-summary", "-j", jobs, flag, c + "nest5.zip", doc)
            under = {}
            for line in out.splitlines():
                if line.startswith("    "):
                    under[path].append(line)
                else:
                    path = line.rsplit(": ", 1)[0]
                    under[path] = []
            check(under.get(member) == under[doc] != [],
                  "-j %s %s nest5.zip:\n%s" % (jobs, flag, out))
        _, out, _ = r.run("--no-summary", "-j", jobs, "--macros", "--json", c + "nest5.zip", doc)
        nest, alone = [json.loads(l) for l in out.splitlines()]
        keys = ("macro_records", "macro_records_left_out", "template", "auto_macros",
                "command_macros")
        check([nest["members"][0].get(k) for k in keys] == [alone[k] for k in keys] and
              "member_listings_left_out" not in nest, "-j %s --json nest5.zip: %s" % (jobs, nest))
    # More member records than a worker's result carries: the listings of those left out are
    # counted, every document accounted for.
    with zipfile.ZipFile(os.path.join(r.work, "long-names.zip"), "w") as z:
        for i in range(3500):
            z.writestr("%05d-%s.doc" % (i, "x" * 1200),
                       open(os.path.join(r.work, "samples/out/02-clean-macros.doc"), "rb").read())
    for jobs in ("1", "2"):
        _, out, _ = r.run("--no-summary", "-j", jobs, "--macros", "long-names.zip")
        listed = len(re.findall(r"^long-names\.zip!", out, re.M))
        left = re.search(r"^    macros of (\d+) documents in it not listed", out, re.M)
        check(out.count("    macro ") == 2 * listed and
              listed + (int(left.group(1)) if left else 0) == 3500 and (jobs == "2") == bool(left),
              "-j %s --macros long-names.zip: %d listed, %s" % (jobs, listed, left))
    shutil.rmtree(os.path.join(r.work, "ex-nest"), ignore_errors=True)
    _, out, _ = r.run("--no-summary", "--extract", "ex-nest", c + "nest5.zip", doc)
    folders = [os.path.join(r.work, l.split(": extracted to ")[1].strip("'"))
               for l in out.splitlines() if ": extracted to " in l]
    files = [sorted((n, open(os.path.join(f, n), "rb").read()) for n in os.listdir(f))
             for f in folders]
    check(len(files) == 2 and files[0] == files[1] != [] and
          out.startswith(c + "nest5.zip: ") and member + ": extracted to " in out,
          "--extract nest5.zip:\n%s" % out)


def check_unopened_containers(r):
    """Where containers are not opened, none is clean: each is an ERROR that says what to do,
    counted, on stderr with -i and --quiet too, exit 2; turned off, each is SKIPPED, exit 0.
    --help says which options do nothing here."""
    c = "containers/"
    line = c + "infected.zip: " + NOT_IN_BUILD % "Archive" + " ERROR"
    for argv, want_out in (([], [line]), (["-i"], []), (["--quiet"], None)):
        code, out, err = r.run(*argv, c + "infected.zip")
        lines = normalise(out)
        check(code == 2 and normalise(err) == [line] and
              (lines == [] if want_out is None else
               lines[:len(want_out)] == want_out and "Total errors: 1" in lines and
               "Infected files: 0" in lines),
              "%s infected.zip: exit %d\n%s\nstderr: %s" % (argv, code, out, err))
    # The archives and mail each say what to do; the compound files among them are judged where
    # their documents lie, or say what was not read here: none is OK.
    archive = re.compile(r"^containers/[^!:]*\.(zip|tar|t?gz|bz2|xz|zst|7z|cab|iso|eml|mbox|tnef|"
                         r"pst|ost|hqx|exe|bin|pyz|jpg): ")
    code, out, _ = r.run("--no-summary", "containers")
    lines = normalise(out)
    hint = NOT_IN_BUILD[2:] + " ERROR"
    check(lines and not any(l.endswith(": OK") for l in lines) and code in (1, 2) and
          any(l.endswith(hint) for l in lines),
          "containers: exit %d\n%s" % (code, out))
    code, out, _ = r.run("--no-summary", "--scan-archive=no", "--scan-mail=no", "containers")
    lines = [l for l in normalise(out) if archive.match(l) and "!" not in l.split(": ")[0]]
    check(lines and not any(l.endswith(": OK") or l.endswith(hint) for l in lines),
          "containers turned off: exit %d\n%s" % (code, out))
    help_text = r.run("--help")[1]
    for option in ("--max-recursion", "--max-files", "--max-scansize", "--max-filesize",
                   "--alert-exceeds-max", "--alert-encrypted-archive", "--io-depth"):
        said = re.search(r"^ +%s\b[^\n]*(\n {8,}[^-\s][^\n]*)*" % option, help_text, re.M)
        check(said and "nothing in this build" in said.group(0),
              "--help does not say %s does nothing here:\n%s" % (option, help_text))


def version_strings(path):
    """The StringFileInfo of a PE file's version resource: {key: value}, as Explorer shows them."""
    with open(path, "rb") as f:
        data = f.read()
    strings = {}
    at = data.find("VS_VERSION_INFO\0".encode("utf-16-le"))
    if at < 0:
        return strings
    end = at - 6 + struct.unpack_from("<H", data, at - 6)[0]
    for key in re.finditer(rb"(?:[A-Za-z]\0)+\0\0", data[at:end]):
        start = at + key.start()
        if start % 2 or struct.unpack_from("<H", data, start - 2)[0] != 1:
            continue  # a String has type 1 (text) in the word before its key
        value = (at + key.end() + 3) & ~3
        stop = value
        while stop + 1 < end and data[stop:stop + 2] != b"\0\0":
            stop += 2
        name = key.group(0)[:-2].decode("utf-16-le")
        strings[name] = data[value:stop].decode("utf-16-le", "replace")
    return strings


def check_version_resources(zebscan):
    """Each program and the library carry a version resource that names them and their maker."""
    folder = os.path.dirname(os.path.abspath(zebscan))
    for name in ("zebscan.exe", "zebmacrod.exe", "zebmacro.dll"):
        got = version_strings(os.path.join(folder, name))
        check(got.get("OriginalFilename") == name and got.get("FileVersion") == "1.0.0" and
              got.get("ProductVersion") == "1.0.0" and got.get("ProductName") == "zebmacro" and
              all(got.get(k) for k in ("CompanyName", "LegalCopyright", "FileDescription")),
              "%s's version resource: %s" % (name, got))


def check_limits(r, sanitized):
    """Workers fit the limits on memory, open files and processes: every file is accounted for
    (the tree's one virus found, no ERROR), zebscan says on stderr that it runs fewer workers or
    none, and nothing crashes; files waiting in line for their heads (a cold tree, a directory
    each) leave the walk descriptors enough. RLIMIT_NPROC does not hold root, so that row runs as
    'nobody'. Not under a sanitizer, whose shadow memory no small address-space limit holds."""
    import resource
    root = os.path.join(r.work, "limits")
    shutil.rmtree(root, ignore_errors=True)
    for d in range(20):
        os.makedirs(os.path.join(root, "d%02d" % d))
        for f in range(50):
            with open(os.path.join(root, "d%02d/f%02d.txt" % (d, f)), "wb") as out:
                out.write(b"text")
    for d in range(100):
        os.makedirs(os.path.join(root, "a%02d" % d))
        with open(os.path.join(root, "a%02d/f.txt" % d), "wb") as out:
            out.write(b"text")
    shutil.copy(os.path.join(r.work, "samples/out/03-concept-names.doc"), os.path.join(root, "d07"))
    os.chmod(r.work, 0o755)
    rows = [
        ("ulimit -n 10", "-j2", resource.RLIMIT_NOFILE, 10, False, "no room for a worker within "
         "the limit of 10 open files"),
        ("ulimit -n 16", "-j8", resource.RLIMIT_NOFILE, 16, False, r"(no room for a worker|\d "
         r"workers? instead of \d+), within the limit of 16 open files \(ulimit -n\)"),
        ("ulimit -n 20", "-j4", resource.RLIMIT_NOFILE, 20, False, r"\d workers? instead of \d+"),
        ("ulimit -n 16", "-j1", resource.RLIMIT_NOFILE, 16, False, None),
        ("ulimit -u 4", "-j4", resource.RLIMIT_NPROC, 4, True, r"\d workers? instead of \d+, "
         r"within the limit of 4 processes \(ulimit -u\)"),
    ]
    if not sanitized:
        rows.append(("ulimit -v 20000", "-j2", resource.RLIMIT_AS, 20000 * 1024, False,
                     "(worker thread|scanning in this process)"))
    for what, jobs, limit, value, nobody, note in rows:
        def set_limit():
            if nobody and os.geteuid() == 0:
                os.setgid(65534)
                os.setgroups([])
                os.setuid(65534)
            resource.setrlimit(limit, (value, value))
        drop_from_cache(root)
        p = subprocess.run(r.zebscan + [jobs, "--infected", "limits"], cwd=r.work,
                           capture_output=True, timeout=120, preexec_fn=set_limit)
        out, err = p.stdout.decode(), p.stderr.decode()
        _, summary = parse_report(out, False)
        check(p.returncode == 1 and summary.get("Skipped files") == 1100 and
              summary.get("Infected files") == 1 and summary.get("Total errors") == 0 and
              (re.search("^zebscan: .*" + note, err, re.M) if note else err == ""),
              "%s, %s: exit %d\n%s\n%s" %
              (what, jobs, p.returncode, out[-400:], err[-400:]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zebscan", required=True)
    ap.add_argument("--mksamples", required=True)
    ap.add_argument("--expected", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--mkcorpus", required=True)
    ap.add_argument("--emulator", default="")
    ap.add_argument("--sanitized", action="store_true")
    ap.add_argument("--variant-library", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    r = Runner(args)
    out = "samples/out"  # as the README's main job names it
    subprocess.run(r.mksamples + [out], cwd=r.work, check=True)

    # The report of the README's main job, and the same with --deep.
    status, stdout, _ = r.run(out)
    compare("default", stdout, expected(os.path.join(args.expected, "expected-report.txt")))
    check(status == 1, "default: exit status %d, want 1" % status)
    status, stdout, _ = r.run("--deep", "--no-summary", out)
    compare("--deep", stdout, expected(os.path.join(args.expected, "expected-deep.txt")))
    check(status == 1, "--deep: exit status %d, want 1" % status)

    # Exit status by outcome, with files named one by one (cases: arguments, status, lines).
    def sample(name):
        return out + "/" + name
    with open(os.path.join(r.work, "locked.doc"), "wb") as f:
        f.write(encrypted(open(os.path.join(r.work, sample("03-concept-names.doc")), "rb").read()))
    cases = [
        ([sample("01-clean-no-macros.doc"), sample("02-clean-macros.doc")], 0, 2),
        ([sample("03-concept-names.doc")], 1, 1),
        ([sample("10-plain-text.doc")], 0, 1),
        ([sample("08-truncated.doc")], 2, 1),
        ([sample("10-plain-text.doc"), sample("07-numbered-macros.doc")], 1, 2),
        ([out + "/missing.doc"], 2, 1),
        (["--infected", out], 1, 3),
        (["--skipped=no", out], 1, 8),
        (["--raw", "EasyMan", sample("01-clean-no-macros.doc")], 0, 1),
        (["--library-walk", "--filter", "*.txt", out], 0, 0),
        (["--library-walk", out], 1, 10),
        ([out, out + "/../out/03-concept-names.doc"], 1, 10),  # one file reached twice
        (["locked.doc"], 0, 1),
        (["--alert-encrypted-doc", "locked.doc"], 1, 1),
        (["--alert-encrypted-doc=no", "locked.doc"], 0, 1),
    ]
    for argv, want_status, want_lines in cases:
        status, stdout, _ = r.run("--no-summary", *argv)
        check(status == want_status, "%s: exit status %d, want %d" % (argv, status, want_status))
        check(len(stdout.splitlines()) == want_lines, "%s: %d lines, want %d" % (argv, len(stdout.splitlines()), want_lines))
    for argv, want in ((["locked.doc"], "locked.doc: Encrypted document SKIPPED"),
                       (["--alert-encrypted-doc", "-j", "2", "locked.doc"],
                        "locked.doc: Heuristics.Encrypted.Doc FOUND")):
        check(r.run("--no-summary", *argv)[1].splitlines() == [want], "%s: want %s" % (argv, want))
    status, stdout, _ = r.run("--no-summary", out + "/missing.doc")
    # The system's own words: POSIX's, or Windows' (Wine's or the real system's).
    check(re.search(r"missing\.doc: (No such file or directory|File not found|"
                    r"The system cannot find the file specified) ERROR$", stdout.rstrip()),
          "missing file: " + stdout)
    # A report that cannot be written is a failure, not a clean run.
    if os.path.exists("/dev/full") and not r.prefix:
        with open("/dev/full", "wb") as full:
            p = subprocess.run(r.zebscan + [sample("01-clean-no-macros.doc")], cwd=r.work,
                               stdout=full, stderr=subprocess.PIPE)
        check(p.returncode == 2 and b"could not be written" in p.stderr,
              "report to /dev/full: exit %d %r" % (p.returncode, p.stderr))
    # Errors go to stderr too, so --infected still tells them.
    status, stdout, stderr = r.run("--no-summary", "--infected", out)
    check("08-truncated.doc: Truncated document ERROR" in stderr, "--infected keeps errors: " + stderr)

    # --names shows what the name reader read.
    status, stdout, _ = r.run("--names", "--no-summary", sample("03-concept-names.doc"))
    check("names: AAAZAO&AAAZFS&AutoOpen&PayLoad&FileSaveAs&" in stdout, "--names: " + stdout)

    status, stdout, _ = r.run("--json", "--no-summary", sample("05-autoopen-unconfirmed.doc"))
    check(json.loads(stdout).get("unconfirmed_alarm") is True, "unconfirmed alarm: " + stdout)

    # --json: one object per file in report order, then the summary.
    status, stdout, _ = r.run("--json", out)
    objects = [json.loads(line) for line in stdout.splitlines()]
    text = [l for l in normalise(r.run(out)[1]) if ": " in l and not l.startswith("Time")][:len(objects) - 1]
    check(len(objects) == 11, "--json: %d objects, want 11" % len(objects))
    for obj, line in zip(objects, text):
        verdict = obj["result"] if obj["result"] == "OK" else \
            (obj.get("virus", "") + " FOUND" if obj["result"] == "FOUND" else
             obj.get("reason", "") + " " + obj["result"])
        check(obj["path"].replace("\\", "/") + ": " + verdict == line, "--json disagrees: %s / %s" % (obj, line))
    summary = objects[-1].get("summary", {})
    check(summary.get("scanned_files") == 7 and summary.get("skipped_files") == 2 and
          summary.get("infected_files") == 3 and summary.get("total_errors") == 1 and
          summary.get("known_viruses") == 59 and summary.get("schema") == 1,
          "--json summary: %s" % summary)
    check(status == 1, "--json: exit status %d" % status)

    # The database as it ships.
    status, stdout, _ = r.run("--list-definitions", "--json")
    db = json.loads(stdout)
    slots = sum(len(m["signatures"]) for d in db["definitions"] for m in d["macros"])
    check(len(db["definitions"]) == 59 and db["definition_count"] == 59, "59 definitions")
    check(slots == 26 and db["signature_slots_used"] == 26, "26 signature slots, got %d" % slots)
    check([e["name"] for e in db["raw_signatures"]] == ["FormatC", "Wazzu", "Guess", "EasyMan", "SaverSex"],
          "five raw entries")
    check(db["definitions"][0]["name"] == "Macro.Word.WMVCK" and db["definitions"][0]["threshold"] == 20,
          "chain order")
    check(status == 0, "--list-definitions: exit status")
    check(db.get("confirmed_with", {}).get("answers", 0) > 300, "--list-definitions: confirmed")
    status, stdout, _ = r.run("--list-definitions")
    check(status == 0 and "59 definitions, 26 signature slots used" in stdout, "--list-definitions text")
    # --library means what it says: a library whose database differs in one byte of one signature
    # is not listed as zebscan's; the difference is named. Natively by its path (a sanitizer's
    # dlopen does not search the run path); under Wine by its name, found beside zebscan.exe.
    variant = os.path.basename(args.variant_library) if r.prefix else args.variant_library
    for argv in (["--list-definitions"], ["--list-definitions", "--json"]):
        status, stdout, stderr = r.run(*argv, "--library", variant)
        check(status == 2 and stdout == "", "%s of the variant library: exit status %d, %d bytes "
              "listed" % (argv, status, len(stdout)))
        check("holds another database" in stderr and "BC3DE010B19502269A of definition 46 "
              "(Macro.Word.Wieder)" in stderr, "%s of the variant library: %s" % (argv, stderr))

    # The command line: help and version exit 0, usage errors 2; on Windows "/?" asks for help
    # (elsewhere it is a path, missing here), and a path from the root is no option.
    for argv, want in ((["--help"], 0), (["--version"], 0), ([], 2), (["--bogus", out], 2),
                       (["--raw", "formatc", out], 2), (["--library", "no-such-library", out], 2),
                       (["/?"], 0 if r.prefix else 2),
                       ([os.path.join(r.work, sample("03-concept-names.doc"))], 1)):
        status, stdout, stderr = r.run(*argv)
        check(status == want, "%s: exit status %d, want %d\n%s" % (argv, status, want, stderr))
    if r.prefix:
        check("--deep" in r.run("/?")[1], "/? text")
    version = r.run("--version")[1]
    check("zebscan 1.0.0" in version and "zebmacro 1.0.0, 59 definitions" in version,
          "--version text: " + version)
    check("--deep" in r.run("--help")[1], "--help text")

    # Many files: no progress line when stderr is not a terminal; the list file is removed.
    many = os.path.join(r.work, "many")
    os.makedirs(many)
    for i in range(320):
        with open(os.path.join(many, "f%03d.doc" % i), "wb") as f:
            f.write(b"plain")
    env = dict(os.environ)
    if not r.prefix:
        env["TMPDIR"] = tempfile.mkdtemp(dir=r.work)
    status, stdout, stderr = r.run("--no-summary", "many", env=env)
    check(len(stdout.splitlines()) == 320 and stderr == "", "320 files, quiet stderr: %r" % stderr[:200])
    status, stdout, stderr = r.run("--no-summary", "--library-walk", "many", env=env)
    check(len(stdout.splitlines()) == 320 and stderr == "", "library walk: %r" % stderr[:200])
    if not r.prefix:
        check(os.listdir(env["TMPDIR"]) == [], "list file left behind: %s" % os.listdir(env["TMPDIR"]))
        check_progress(r)

    check_command_line(r)
    check_console(r)
    check_containers(r)
    check_macros(r)
    check_quarantine(r)
    check_slow_list(r)
    check_closed_report(r)
    check_tree(r)
    check_pool(r, args.mkcorpus)
    if r.prefix:
        check_version_resources(args.zebscan)
    if not r.prefix:
        check_interrupt(r)
        check_limits(r, args.sanitized)
        check_install_sets(os.path.dirname(os.path.abspath(args.expected)))

    print("%d failures" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
