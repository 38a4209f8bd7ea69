#!/usr/bin/python3
"""zebmacrod end to end, over real sockets: the protocol's table (z, n and bare forms, line ends,
sessions, INSTREAM, FILDES, errors) on the local socket and TCP, robustness (timeouts, slow
clients, clients that go away, garbage, more connections than it serves at once, signals, a stop
with requests in flight), a bounded load test, half a minute of steady clients, and real clients
against it (clamdscan, node's clamscan package, nc). Natively, or zebmacrod.exe under Wine over
TCP.

  zebmacrod_test.py --part protocol|load|sustained|clamdscan|containers|mail|rspamd|service
                    --zebmacrod EXE --zebscan EXE --mksamples EXE --work DIR [--emulator CMD]
"""
import argparse
import array
import base64
import grp
import atexit
import json
import os
import pwd
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

FAILURES = []
EICAR = base64.b64decode(  # the EICAR test file, kept encoded as pyclamd keeps it
    "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNULUZJTEUhJEgrSCo=")
SKIPPED = 77
STARTED = []  # every daemon started, ended at exit should a check have thrown
DAEMONS = []  # and their Daemon objects, whose state and log a failed part prints
# Time limits for what the daemon does are stretched where it runs slowly: under Valgrind
# (tools/memcheck's ZEBMACROD_WRAPPER) or Wine. Checks wait for the event itself, up to the limit.
SLOWER = 10 if os.environ.get("ZEBMACROD_WRAPPER") else 1


def patience(seconds, wine=False):
    return seconds * SLOWER * (3 if wine else 1)


def wait_for(what, seconds):
    """Polls what() until it is true or the time is up; its last value."""
    deadline = time.monotonic() + seconds
    while True:
        got = what()
        if got or time.monotonic() > deadline:
            return got
        time.sleep(0.05)

# What zebscan --deep says of each sample, as the daemon (deep by default) must answer it.
VERDICTS = {
    "01-clean-no-macros.doc": "OK",
    "02-clean-macros.doc": "OK",
    "03-concept-names.doc": "Macro.Word.Concept.a FOUND",
    "04-wieder-confirmed.doc": "Macro.Word.Wieder FOUND",
    "05-autoopen-unconfirmed.doc": "OK",
    "06-deep-only.doc": "Macro.Word.Satanic FOUND",
    "07-numbered-macros.doc": "Macro.Word.Outlaw FOUND",
    "08-truncated.doc": "Truncated document ERROR",
    "09-word97.doc": "OK",
    "10-plain-text.doc": "OK",
    "11-encrypted.doc": "OK",  # as clamd answers, unless AlertEncryptedDoc says otherwise
    "eicar.com": "Eicar-Test-Signature FOUND",
}


def check(ok, what):
    if not ok:
        FAILURES.append(what)
        print("FAIL:", what, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def instream(data, form=b"z", chunk=4096):
    out = form + b"INSTREAM" + (b"\0" if form == b"z" else b"\n")
    for i in range(0, len(data), chunk):
        out += struct.pack(">I", len(data[i:i + chunk])) + data[i:i + chunk]
    return out + struct.pack(">I", 0)


class Daemon:
    """One zebmacrod with a configuration of its own in a directory of its own."""

    def __init__(self, args, name, extra="", local=True):
        self.args, self.wine = args, bool(args.emulator)
        self.dir = os.path.join(args.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "tmp"))
        self.port = free_port()
        self.sock = os.path.join(self.dir, "z.sock") if local and not self.wine else None
        self.pidfile = os.path.join(self.dir, "z.pid")
        self.logfile = os.path.join(self.dir, "z.log")
        lines = ["TCPSocket %d" % self.port, "Foreground yes", "LogVerbose yes",
                 "PidFile " + self.host(self.pidfile), "LogFile " + self.host(self.logfile)]
        if self.sock:
            lines.append("LocalSocket " + self.sock)
        self.conf = os.path.join(self.dir, "z.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n" + extra)
        self.proc = None
        self.stale = set(self.private_dirs())  # under Wine, those of daemons before this one

    def host(self, path):
        """A path as the daemon sees it (a Z: path under Wine)."""
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def command(self):
        # ZEBMACROD_WRAPPER: a program that runs the daemon (tools/memcheck's Valgrind).
        prefix = (self.args.emulator.split() if self.wine else []) + \
            os.environ.get("ZEBMACROD_WRAPPER", "").split()
        return prefix + [os.path.abspath(self.args.zebmacrod), "--config-file",
                         self.host(self.conf)]

    def start(self):
        env = dict(os.environ, TMPDIR=os.path.join(self.dir, "tmp"))
        self.proc = subprocess.Popen(self.command(), env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        STARTED.append(self.proc)
        DAEMONS.append(self)
        deadline = time.monotonic() + (90 if self.wine else patience(20))
        while time.monotonic() < deadline:
            try:
                if self.talk(b"zPING\0", tcp=True, wait=2) == b"PONG\0":
                    with open(self.pidfile) as f:
                        self.pid = int(f.read())  # under Wine, the daemon's own Windows pid
                    return self
            except OSError:
                pass
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        out, err = self.proc.communicate(timeout=10) if self.proc.poll() is not None else (b"", b"")
        raise RuntimeError("zebmacrod did not start: %r %r" % (out, err))

    def connect(self, tcp):
        if tcp or not self.sock:
            s = socket.create_connection(("127.0.0.1", self.port))
        else:
            s = socket.socket(socket.AF_UNIX)
            s.connect(self.sock)
        return s

    def talk(self, data, tcp=False, wait=10, fd=None, fd_with_command=False):
        """Sends data (and a descriptor as FILDES wants it, or with the command's bytes), then
        reads until the daemon closes; '<TIMEOUT>' marks a reply that did not end."""
        with self.connect(tcp) as s:
            if fd is not None and fd_with_command:
                s.sendmsg([data], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
            else:
                s.sendall(data)
                if fd is not None:
                    s.sendmsg([b"\0"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS,
                                         array.array("i", [fd]))])
            return read_all(s, wait)

    def stop(self, how="SIGTERM"):
        if how == "SHUTDOWN" or self.wine:
            self.talk(b"zSHUTDOWN\0", tcp=True)
        else:
            self.proc.send_signal(getattr(signal, how))
        self.proc.wait(timeout=60)
        return self.proc.returncode

    def descriptors(self):
        """What the daemon's descriptors lead to (each pipe and socket by its kind); one closed
        while they are listed is left out."""
        fd = "/proc/%d/fd" % self.proc.pid
        kinds = []
        for n in os.listdir(fd):
            try:
                kinds.append(re.sub(r"\[\d+\]", "", os.readlink(os.path.join(fd, n))))
            except FileNotFoundError:
                pass
        return sorted(kinds)

    def workers(self):
        pids = []
        for d in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % d) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                with open("/proc/%s/cmdline" % d, "rb") as f:
                    cmd = f.read()
            except (OSError, ValueError):
                continue
            if int(fields[1]) == self.proc.pid and b"--zm-worker" in cmd and fields[0] != "Z":
                pids.append(int(d))
        return pids

    def private_dirs(self):
        """The daemon's private directories left (under Wine: in the prefix's temporary folder)."""
        if not self.wine:
            tmp = os.path.join(self.dir, "tmp")
            return [os.path.join(tmp, d) for d in os.listdir(tmp) if d.startswith("zebmacrod-")]
        # The prefix is shared with the daemons of the other parts, running at the same time:
        # only this daemon's, by its pid, once it is known.
        prefix = os.path.join(os.path.dirname(self.args.emulator.split()[0]), "wineprefix")
        mine = r"zebmacrod-%s-\d+$" % (getattr(self, "pid", None) or r"\d+")
        found = []
        for root, dirs, _ in os.walk(os.path.join(prefix, "drive_c", "users")):
            found += [os.path.join(root, d) for d in dirs if re.match(mine, d)]
        return [f for f in found if f not in getattr(self, "stale", ())]


def read_all(s, wait):
    s.settimeout(wait)
    out = b""
    try:
        while True:
            d = s.recv(65536)
            if not d:
                return out
            out += d
    except socket.timeout:
        return out + b"<TIMEOUT>"
    except ConnectionResetError:
        return out + b"<RESET>"


def messages(data):
    """A session's replies, each with its delimiter, in a fixed order (they come as they finish)."""
    return sorted(re.findall(rb"[^\0\n]*[\0\n]", data))


def protocol_cases(d, samples):
    """(name, bytes sent, expected reply: bytes, a regex, or a list of messages in any order,
    local socket only)."""
    sep = "\\" if d.wine else "/"
    S = d.host(samples)

    def p(name):
        return (S + sep + name).encode()

    def v(name):
        return p(name) + b": " + VERDICTS[name].encode()
    infected = [n for n in sorted(VERDICTS) if VERDICTS[n] != "OK"]
    contscan = b"".join(v(n) + b"\0" for n in infected)
    doc = {n: open(os.path.join(samples, n), "rb").read() for n in VERDICTS}
    missing = rb"(No such file or directory|File not found|The system cannot find the (file|path) specified)"
    date = rb"[A-Z][a-z]{2} [A-Z][a-z]{2} ( [1-9]|[12]\d|3[01]) \d\d:\d\d:\d\d \d{4}"  # ctime's
    version = rb"zebmacro 1\.0\.0/59/" + date
    unknown = b"UNKNOWN COMMAND\0"
    return [
        ("PING", b"zPING\0", b"PONG\0"),
        ("PING, n form", b"nPING\n", b"PONG\n"),
        ("PING, bare form", b"PING\n", b"PONG\n"),
        ("VERSION", b"zVERSION\0", re.compile(version + b"\0$")),
        ("VERSIONCOMMANDS", b"nVERSIONCOMMANDS\n",
         re.compile(version + rb"\| COMMANDS: SCAN QUIT RELOAD PING CONTSCAN VERSIONCOMMANDS "
                    rb"VERSION END SHUTDOWN MULTISCAN (FILDES )?STATS IDSESSION INSTREAM "
                    rb"ALLMATCHSCAN\n$")),
        ("RELOAD", b"zRELOAD\0", b"RELOADING\0"),
        ("STATS", b"zSTATS\0", re.compile(
            rb"POOLS: 1\n\nSTATE: VALID PRIMARY\nTHREADS: live 2  idle [0-2] max 2 idle-timeout 2\n"
            rb"QUEUE: \d+ items\n(\t[A-Z]+ [0-9.]+ \n)+\nMEMSTATS: .*\nEND\0$")),
        ("SCAN of a folder stops at the first finding", b"zSCAN " + S.encode() + b"\0",
         v("03-concept-names.doc") + b"\0"),
        ("SCAN of a folder, its separator at the end", b"zSCAN " + S.encode() + sep.encode() + b"\0",
         v("03-concept-names.doc") + b"\0"),
        ("CONTSCAN", b"zCONTSCAN " + S.encode() + b"\0", contscan),
        ("MULTISCAN", b"zMULTISCAN " + S.encode() + b"\0", contscan),
        ("ALLMATCHSCAN", b"zALLMATCHSCAN " + S.encode() + b"\0", v("03-concept-names.doc") + b"\0"),
        ("SCAN, n form", b"nSCAN " + p("04-wieder-confirmed.doc") + b"\n",
         v("04-wieder-confirmed.doc") + b"\n"),
        ("SCAN, bare form", b"SCAN " + p("07-numbered-macros.doc") + b"\n",
         v("07-numbered-macros.doc") + b"\n"),
        # Line ends as clamd takes them: a bare command sent alone, CRLF, a NUL inside the line.
        ("PING without a line end", b"PING", b"PONG\n"),
        ("VERSION without a line end", b"VERSION", re.compile(version + b"\n$")),
        ("SCAN without a line end", b"SCAN " + p("04-wieder-confirmed.doc"),
         v("04-wieder-confirmed.doc") + b"\n"),
        ("garbage without a line end", b"xyzzy", b"UNKNOWN COMMAND\n"),
        ("PING, CRLF", b"PING\r\n", b"PONG\n"),
        ("VERSION, CRLF", b"VERSION\r\n", re.compile(version + b"\n$")),
        ("SCAN, CRLF", b"SCAN " + p("03-concept-names.doc") + b"\r\n",
         v("03-concept-names.doc") + b"\n"),
        ("SCAN, n form, CRLF", b"nSCAN " + p("06-deep-only.doc") + b"\r\n",
         v("06-deep-only.doc") + b"\n"),
        ("SCAN, n form, a NUL in the line", b"nSCAN " + p("07-numbered-macros.doc") + b"\0junk\n",
         v("07-numbered-macros.doc") + b"\n"),
    ] + [("SCAN of " + n, b"zSCAN " + p(n) + b"\0", v(n) + b"\0") for n in sorted(VERDICTS)] + [
        ("SCAN of a clean folder", b"zSCAN " + (S + sep + "clean").encode() + b"\0",
         (S + sep + "clean").encode() + b": OK\0"),
        ("CONTSCAN of a clean folder", b"zCONTSCAN " + (S + sep + "clean").encode() + b"\0",
         (S + sep + "clean").encode() + b": OK\0"),
        ("SCAN of a missing path", b"zSCAN " + p("missing") + b"\0",
         re.compile(re.escape(p("missing")) + b": File path check failure: " + missing +
                    rb"\. ERROR\0$")),
        ("SCAN of a relative path", b"zSCAN relative\0",
         b"relative: File path check failure: Not an absolute path. ERROR\0"),
        ("SCAN of an empty path", b"zSCAN \0",
         b": File path check failure: No such file or directory. ERROR\0"),
        ("SCAN of an excluded path", b"zSCAN " + p("excluded") + b"\0", p("excluded") + b": Excluded\0"),
        ("SCAN without a path", b"zSCAN\0", unknown),
        ("unknown command", b"zBOGUS\0", unknown),
        ("lower case", b"zping\0", unknown),
        ("a prefix alone", b"z\0", unknown),
        ("END outside a session", b"zEND\0", unknown),
        ("bare INSTREAM", b"INSTREAM\n", b"UNKNOWN COMMAND\n"),
        ("two commands without a session", b"zPING\0zPING\0", b"PONG\0"),
        ("a command too long", b"zSCAN /" + b"a" * 5000 + b"\0", b"Command too long. ERROR\0"),
        ("INSTREAM", instream(doc["03-concept-names.doc"], chunk=1000),
         b"stream: Macro.Word.Concept.a FOUND\0"),
        ("INSTREAM, n form", instream(doc["06-deep-only.doc"], b"n"),
         b"stream: Macro.Word.Satanic FOUND\n"),
        ("INSTREAM of a clean document", instream(doc["02-clean-macros.doc"]), b"stream: OK\0"),
        ("INSTREAM of the EICAR test file", instream(EICAR + b"\n"),
         b"stream: Eicar-Test-Signature FOUND\0"),
        ("INSTREAM of text", instream(b"just text"), b"stream: OK\0"),
        ("INSTREAM of nothing", instream(b""), b"stream: OK\0"),
        ("INSTREAM of a truncated document", instream(doc["08-truncated.doc"]),
         b"stream: Truncated document ERROR\0"),
        ("INSTREAM over StreamMaxLength", b"zINSTREAM\0" + struct.pack(">I", 2 << 20) + b"x" * 100,
         b"INSTREAM size limit exceeded. ERROR\0"),
        ("INSTREAM over StreamMaxLength in chunks",
         b"zINSTREAM\0" + (struct.pack(">I", 600000) + b"x" * 600000) * 2,
         b"INSTREAM size limit exceeded. ERROR\0"),
        ("a session", b"zIDSESSION\0zPING\0zSCAN " + p("04-wieder-confirmed.doc") +
         b"\0nVERSION\nzEND\0",
         [b"1: PONG\0", b"2: " + v("04-wieder-confirmed.doc") + b"\0", re.compile(b"3: " + version + b"\n")]),
        ("INSTREAM in a session", b"zIDSESSION\0" + instream(doc["04-wieder-confirmed.doc"]) +
         b"zPING\0zEND\0", [b"1: stream: Macro.Word.Wieder FOUND\0", b"2: PONG\0"]),
        ("a bare command in a session", b"zIDSESSION\0PING\n",
         b"1: Command invalid inside IDSESSION. ERROR\0"),
        ("IDSESSION twice", b"zIDSESSION\0zIDSESSION\0", b"1: Command invalid inside IDSESSION. ERROR\0"),
        ("CONTSCAN in a session", b"nIDSESSION\nnPING\nnCONTSCAN " + S.encode() + b"\n",
         [b"1: PONG\n", b"2: Command invalid inside IDSESSION. ERROR\n"]),
        ("FILDES over TCP", b"zFILDES\0", b"FILDES: descriptors pass only over a local socket. ERROR\0",
         "tcp"),
    ]


def compare(name, got, want):
    if isinstance(want, list):
        msgs = messages(got)
        ok = len(msgs) == len(want) and all(
            any((w.fullmatch(m) if hasattr(w, "fullmatch") else w == m) for m in msgs) for w in want)
    elif hasattr(want, "match"):
        ok = want.match(got) is not None
    else:
        ok = got == want
    check(ok, "%s: got %r, want %r" % (name, got[:400], want))


def make_samples(args):
    samples = os.path.join(args.work, "samples")
    if not os.path.isdir(samples):
        prefix = args.emulator.split() if args.emulator else []
        subprocess.run(prefix + [os.path.abspath(args.mksamples), samples], check=True,
                       stdout=subprocess.DEVNULL)
        os.makedirs(os.path.join(samples, "clean"))
        for n in ("01-clean-no-macros.doc", "09-word97.doc", "10-plain-text.doc"):
            shutil.copy(os.path.join(samples, n), os.path.join(samples, "clean"))
        os.makedirs(os.path.join(samples, "excluded"))
        shutil.copy(os.path.join(samples, "03-concept-names.doc"), os.path.join(samples, "excluded"))
    # Made apart, so that a work directory from before has them too.
    with open(os.path.join(samples, "04-wieder-confirmed.doc"), "rb") as f:
        doc = f.read()
    fib = doc.find(b"\xdc\xa5\x65\x00")  # the FIB by its first bytes: fEncrypted set
    with open(os.path.join(samples, "11-encrypted.doc"), "wb") as f:
        f.write(doc[:fib + 0x0B] + bytes([doc[fib + 0x0B] | 0x01]) + doc[fib + 0x0C:])
    with open(os.path.join(samples, "eicar.com"), "wb") as f:
        f.write(EICAR)
    return samples


def part_protocol(args):
    samples = make_samples(args)
    d = Daemon(args, "protocol", "StreamMaxLength 1M\nExcludePath excluded$\nIdleTimeout 2\n"
               "CommandReadTimeout 1\nReadTimeout 1\nMaxThreads 2\n").start()
    for case in protocol_cases(d, samples):
        name, data, want = case[:3]
        transports = ["tcp"] if d.wine or len(case) > 3 else ["tcp", "local"]
        for t in transports:
            compare("%s (%s)" % (name, t), d.talk(data, tcp=t == "tcp"), want)
    if not d.wine:
        fildes(d, samples)
    robustness(d, samples)
    if not d.wine:
        signals(d, samples)
    else:
        check(d.stop() == 0, "SHUTDOWN: exit status %s" % d.proc.returncode)
        check(d.private_dirs() == [] and not os.path.exists(d.pidfile),
              "left behind under Wine: %s" % d.private_dirs())
    room(args)
    if not d.wine:
        stop_in_flight(args, samples)
    broken_documents(args, samples)
    config_errors(args)
    alerts(args, samples)


def alerts(args, samples):
    """AlertEncryptedDoc yes: an encrypted document is a finding, as clamd names it."""
    d = Daemon(args, "alerts", "AlertEncryptedDoc yes\n").start()
    name = "11-encrypted.doc"
    path = d.host(os.path.join(samples, name)).encode()
    with open(os.path.join(samples, name), "rb") as f:
        doc = f.read()
    for what, data, want in (
            ("INSTREAM", instream(doc), b"stream: Heuristics.Encrypted.Doc FOUND\0"),
            ("SCAN", b"zSCAN " + path + b"\0", path + b": Heuristics.Encrypted.Doc FOUND\0")):
        compare("AlertEncryptedDoc yes, %s" % what, d.talk(data, tcp=True), want)
    check(d.stop("SHUTDOWN") == 0, "AlertEncryptedDoc yes: stop")


def fildes(d, samples):
    """Descriptors passed over the local socket: scanned as they are, clamd's answers when one
    comes with the command's own bytes or does not come at all."""
    fd = os.open(os.path.join(samples, "03-concept-names.doc"), os.O_RDONLY)
    try:
        compare("FILDES", d.talk(b"zFILDES\0", fd=fd),
                re.compile(rb"fd\[\d+\]: Macro\.Word\.Concept\.a FOUND\0$"))
        compare("FILDES in a session", d.talk(b"zIDSESSION\0zFILDES\0", fd=fd, wait=patience(10)),
                re.compile(rb"1: fd\[\d+\]: Macro\.Word\.Concept\.a FOUND\0COMMAND READ TIMED OUT\n$"))
        compare("a descriptor with the command's bytes", d.talk(b"zFILDES\0", fd=fd,
                                                                fd_with_command=True),
                b"PROTOCOL ERROR: ancillary data sent without FILDES. ERROR\0"
                b"Error processing command. ERROR\0")
        compare("a descriptor with PING", d.talk(b"zPING\0", fd=fd, fd_with_command=True), b"PONG\0")
        compare("FILDES without a descriptor", d.talk(b"zFILDES\0zPING\0"),
                b"No file descriptor received. ERROR\0")
    finally:
        os.close(fd)
    r, w = os.pipe()
    compare("FILDES of a pipe", d.talk(b"zFILDES\0", fd=r), re.compile(rb"fd\[\d+\]: OK\0$"))
    os.close(r)
    os.close(w)
    link = os.path.join(samples, "link.doc")
    if not os.path.lexists(link):
        os.symlink("03-concept-names.doc", link)
    compare("SCAN of a link (not followed)", d.talk(b"zSCAN " + link.encode() + b"\0"),
            link.encode() + b": OK\0")
    os.remove(link)


def slow_talk(s, data, interval, wait):
    """Sends data a byte at a time, interval seconds apart, while reading what comes back until
    the daemon closes (or wait seconds pass); the reply and when it ended."""
    t0 = time.monotonic()

    def send():
        for i in range(len(data)):
            try:
                s.sendall(data[i:i + 1])
            except OSError:
                return
            time.sleep(interval)
    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    got = read_all(s, wait)
    return got, time.monotonic() - t0


def robustness(d, samples):
    """Slow clients time out (CommandReadTimeout bounds the whole command, not each byte),
    clients that go away cost nothing, garbage gets an answer or a closed connection, more
    clients than are served at once wait their turn; the daemon goes on."""
    timed_out = b"COMMAND READ TIMED OUT\n"
    t0 = time.monotonic()
    with d.connect(True) as s:  # says nothing: closed after CommandReadTimeout, as clamd does
        got = read_all(s, patience(30))
    check(got == timed_out and 0.8 < time.monotonic() - t0 < patience(20),
          "silent client: %r after %.1f s" % (got, time.monotonic() - t0))
    with d.connect(True) as s:  # a byte every 0.3 s: the command's time runs out all the same
        got, took = slow_talk(s, b"zVERSIONCOMMANDS\0", 0.3, patience(30))
    check(got == timed_out and took < patience(4), "slow command: %r after %.1f s" % (got, took))
    with d.connect(True) as s:  # stops in the middle of a chunk
        s.sendall(b"zINSTREAM\0" + struct.pack(">I", 1000) + b"x" * 10)
        got = read_all(s, patience(30))
    check(got == b"stream: Timed out waiting for the client ERROR\0", "slow stream: %r" % got)
    with d.connect(True) as s:  # an idle session ends after IdleTimeout
        s.sendall(b"zIDSESSION\0zPING\0")
        got = read_all(s, patience(30))
    check(got == b"1: PONG\0" + timed_out, "idle session: %r" % got)
    for _ in range(5):  # gone in the middle of a stream, and of a command
        with d.connect(True) as s:
            s.sendall(b"zINSTREAM\0" + struct.pack(">I", 100000) + b"x" * 5000)
        with d.connect(True) as s:
            s.sendall(b"zSCAN /tm")
    rng = random.Random(15)
    for i in range(20):  # garbage: an answer or a closed connection, never a hang
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))
        got = d.talk(junk, tcp=True, wait=15)
        check(not got.endswith(b"<TIMEOUT>"), "garbage %d %r: %r" % (i, junk[:40], got))
    # More connections than are served at once: the extra ones wait, then are served.
    held = [d.connect(True) for _ in range(140 if not d.wine else 20)]
    got = d.talk(b"zPING\0", tcp=True, wait=30)
    for s in held:
        s.close()
    check(got == b"PONG\0", "PING behind %d silent connections: %r" % (len(held), got))
    check(d.talk(b"zPING\0", tcp=True) == b"PONG\0", "still answering after the abuse")
    left = [os.listdir(p) for p in d.private_dirs()]
    check(left == [[]], "stream files left (one empty private directory expected): %s" % left)


def room(args):
    """Slow clients cannot lock others out: with more of them than the daemon serves at once,
    each sending a byte every half second of a command that never ends (CommandReadTimeout 60),
    a PING is still answered within seconds; those ended to make room hear COMMAND READ TIMED
    OUT, as clamd says when a command's time runs out."""
    d = Daemon(args, "room", "CommandReadTimeout 60\nMaxThreads 1\n").start()
    slow = [d.connect(True) for _ in range(20 if d.wine else 140)]
    heard = [b""] * len(slow)
    done = threading.Event()

    def hear(i):
        # Before the next byte goes: a byte sent after the daemon closed resets the connection,
        # and a reset drops what was not read yet.
        try:
            while True:
                b = slow[i].recv(4096, socket.MSG_DONTWAIT)
                heard[i] += b
                if not b:
                    return
        except OSError:
            pass

    def drip():
        data = b"zPING" + b"x" * 4000
        for k in range(len(data)):
            for i, s in enumerate(slow):
                hear(i)
                try:
                    s.send(data[k:k + 1], socket.MSG_DONTWAIT)
                except OSError:
                    pass
            if done.wait(0.5):
                return
    dripper = threading.Thread(target=drip)
    dripper.start()
    t0 = time.monotonic()
    got = d.talk(b"zPING\0", tcp=True, wait=patience(30, d.wine))
    took = time.monotonic() - t0
    done.set()
    dripper.join()
    for i, s in enumerate(slow):
        hear(i)
        s.close()
    check(got == b"PONG\0" and took < patience(15, d.wine),
          "PING among %d slow clients: %r after %.1f s" % (len(slow), got, took))
    ended = [h for h in heard if h]
    check(all(h == b"COMMAND READ TIMED OUT\n" for h in ended) and
          (d.wine or len(ended) >= len(slow) + 1 - 128),
          "slow clients ended to make room: %d, %s" % (len(ended), sorted(set(ended))[:3]))
    check(d.stop() == 0, "stop after the slow clients")


def stop_in_flight(args, samples):
    """At SIGTERM every request that reached the daemon is answered: streams being read with an
    ERROR, and clients still waiting for a place (the daemon is full) or in the listen queue
    have their whole requests carried out, or hear that the daemon stops."""
    d = Daemon(args, "inflight", "ReadTimeout 60\nMaxThreads 1\n").start()
    streams = [d.connect(False) for _ in range(128)]
    for s in streams:
        s.sendall(b"zINSTREAM\0" + struct.pack(">I", 1000) + b"x" * 10)
    # Every place is taken once the daemon has read each stream's command (LogVerbose names it).
    check(wait_for(lambda: open(d.logfile).read().count(": INSTREAM") >= len(streams), patience(30)),
          "the streams did not all start")
    waiting = [(d.connect(False), b"zSCAN " + os.path.join(samples, n).encode() + b"\0", n)
               for n in ("03-concept-names.doc", "04-wieder-confirmed.doc")]
    for s, request, _ in waiting:
        s.sendall(request)
    silent = d.connect(False)
    status = d.stop()  # what a client sent on a local socket is there for the daemon to read
    got = [read_all(s, patience(10)) for s in streams]
    check(got == [b"stream: zebmacrod is shutting down ERROR\0"] * len(streams),
          "streams at SIGTERM: %s" % sorted(set(got))[:3])
    for s, _, n in waiting:
        reply = read_all(s, patience(10))
        want = os.path.join(samples, n).encode() + b": " + VERDICTS[n].encode() + b"\0"
        check(reply == want, "a request waiting for a place at SIGTERM: %r, want %r" % (reply, want))
    got = read_all(silent, patience(10))
    check(got == b"zebmacrod is shutting down. ERROR\n", "a silent client at SIGTERM: %r" % got)
    for s in streams + [w[0] for w in waiting] + [silent]:
        s.close()
    check(status == 0, "SIGTERM with requests in flight: exit status %s" % status)


def signals(d, samples):
    """SIGHUP reopens the log; SIGTERM fails the request being read, then leaves no socket, pid
    file, private directory or worker."""
    os.rename(d.logfile, d.logfile + ".1")
    d.proc.send_signal(signal.SIGHUP)

    def reopened():
        d.talk(b"zPING\0")
        return os.path.exists(d.logfile) and "PING" in open(d.logfile).read()
    check(wait_for(reopened, patience(10)), "log not reopened")
    workers = d.workers()
    pending = d.connect(False)
    pending.sendall(b"zINSTREAM\0" + struct.pack(">I", 1000) + b"x" * 10)
    check(wait_for(lambda: b"\tINSTREAM " in d.talk(b"zSTATS\0"), patience(10)),
          "the stream never started")
    status = d.stop()
    got = read_all(pending, patience(10))
    pending.close()
    check(got == b"stream: zebmacrod is shutting down ERROR\0", "stream at SIGTERM: %r" % got)
    check(status == 0, "SIGTERM: exit status %s" % status)
    left = [p for p in (d.sock, d.pidfile) + tuple(d.private_dirs()) if os.path.exists(p)]
    check(left == [], "left behind after SIGTERM: %s" % left)
    check(workers and wait_for(lambda: not any(os.path.exists("/proc/%d" % w) for w in workers),
                               patience(10)), "workers left: %s" % workers)


def broken_documents(args, samples):
    """AlertBrokenWord6: a truncated document is an ERROR by default (the table above), a finding
    in clamd's Heuristics.Broken.* names with yes, OK with no - by SCAN, INSTREAM and in a
    folder's CONTSCAN alike - while an infected document stays FOUND."""
    folder = os.path.join(args.work, "broken")
    os.makedirs(folder, exist_ok=True)
    for n in ("04-wieder-confirmed.doc", "08-truncated.doc"):
        shutil.copy(os.path.join(samples, n), folder)
    truncated = open(os.path.join(folder, "08-truncated.doc"), "rb").read()
    for value, verdict in (("yes", b"Heuristics.Broken.Word6 FOUND"), ("no", b"OK")):
        d = Daemon(args, "broken-" + value, "AlertBrokenWord6 %s\n" % value).start()
        doc = d.host(os.path.join(folder, "08-truncated.doc")).encode()
        infected = d.host(os.path.join(folder, "04-wieder-confirmed.doc")).encode()
        name = "AlertBrokenWord6 " + value
        compare(name + ": SCAN", d.talk(b"zSCAN " + doc + b"\0", tcp=True),
                doc + b": " + verdict + b"\0")
        compare(name + ": INSTREAM", d.talk(instream(truncated), tcp=True),
                b"stream: " + verdict + b"\0")
        compare(name + ": CONTSCAN", d.talk(b"zCONTSCAN " + d.host(folder).encode() + b"\0",
                                            tcp=True),
                [infected + b": Macro.Word.Wieder FOUND\0"] +
                ([doc + b": " + verdict + b"\0"] if value == "yes" else []))
        check(d.stop() == 0, name + ": stop")


def config_errors(args):
    """A file that cannot be read stops the daemon before anything starts (exit 1, nothing
    made); keys it does not use or know are named."""
    bad = [("Foreground maybe\n", "Foreground expects yes or no"),
           ("LogFile\n", "LogFile needs a value"),
           ("ExcludePath (\n", "ExcludePath is no extended regular expression")]
    for text, why in bad:
        d = Daemon(args, "badconf", text)
        p = subprocess.run(d.command(), capture_output=True, timeout=120)
        err = p.stderr.decode("utf-8", "replace")
        check(p.returncode == 1 and why in err and not os.path.exists(d.pidfile) and
              not (d.sock and os.path.exists(d.sock)), "bad config %r: %d %s" % (text, p.returncode, err))
    d = Daemon(args, "warnconf", "User clamav\nBogusKey 1\n").start()
    d.stop()
    err = d.proc.stderr.read().decode()
    check("unknown keys, ignored: BogusKey" in err and
          "clamd keys that zebmacrod does not use, ignored: User" in err, "warnings: %s" % err)
    default_config(args)


class BesideDaemon(Daemon):
    """A zebmacrod copied with its library into a folder of its own, started without
    --config-file: it finds the zebmacrod.conf beside it."""

    def __init__(self, args, name):
        Daemon.__init__(self, args, name)
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        for n in ("zebmacrod.exe", "zebmacro.dll"):
            shutil.copy(os.path.join(os.path.dirname(os.path.abspath(args.zebmacrod)), n), self.bin)
        shutil.copy(self.conf, os.path.join(self.bin, "zebmacrod.conf"))

    def command(self):
        return self.args.emulator.split() + [os.path.join(self.bin, "zebmacrod.exe")]


def default_config(args):
    """Without --config-file: /etc/zebmacrod.conf; on Windows the zebmacrod.conf beside the
    executable, else %ProgramData%'s."""
    wine = bool(args.emulator)
    want = r"C:\ProgramData\zebmacro\zebmacrod.conf" if wine else "/etc/zebmacrod.conf"
    if not wine and os.path.exists(want):
        print("skipped the default configuration: %s is there" % want)
        return
    p = subprocess.run(Daemon(args, "noconf").command()[:-2], capture_output=True, timeout=120)
    err = p.stderr.decode("utf-8", "replace")
    check(p.returncode == 1 and "cannot read the configuration " + want in err,
          "no configuration: %d %s" % (p.returncode, err))
    if wine:
        d = BesideDaemon(args, "beside").start()
        check(d.stop("SHUTDOWN") == 0, "the configuration beside the executable: stop")


def part_service(args):
    """Under Windows' service manager (Wine's services.exe, driven by its sc.exe and reg.exe):
    --install-service registers zebmacrod to run with --service and the configuration named;
    sc start has it serve (RUNNING, PING, a scan); sc stop ends it as SHUTDOWN does (its log
    says so, nothing left behind); a configuration that cannot be read stops it with its own
    exit code; --uninstall-service removes it. Natively there is no service manager: skipped."""
    if not args.emulator:
        print("skipped: no service manager here")
        return SKIPPED
    samples = make_samples(args)
    d = Daemon(args, "service", "MaxThreads 1\n")

    def run(*argv):
        p = subprocess.run(args.emulator.split() + list(argv), capture_output=True,
                           timeout=patience(120))
        return p.returncode, (p.stdout + p.stderr).decode("utf-8", "replace")

    exe = os.path.abspath(args.zebmacrod)

    def state():
        _, out = run("sc", "query", "zebmacrod")
        m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return m.group(1) if m else out

    run(exe, "--uninstall-service")  # one that an earlier run left
    atexit.register(run, exe, "--uninstall-service")
    code, out = run(exe, "--install-service", "--config-file", d.host(d.conf))
    check(code == 0 and "installed the service zebmacrod" in out, "--install-service: %d %s"
          % (code, out))
    _, out = run("reg", "query", r"HKLM\System\CurrentControlSet\Services\zebmacrod", "/v",
                 "ImagePath")
    check("--service" in out and d.host(d.conf) in out, "the service's command line: %s" % out)
    code, out = run("sc", "start", "zebmacrod")
    check(wait_for(lambda: state() == "RUNNING", patience(60, True)),
          "sc start: %d %s, then %s" % (code, out, state()))
    sample = (d.host(samples) + "\\03-concept-names.doc").encode()
    compare("PING of the service", d.talk(b"zPING\0", tcp=True), b"PONG\0")
    compare("SCAN of the service", d.talk(b"zSCAN " + sample + b"\0", tcp=True, wait=60),
            sample + b": Macro.Word.Concept.a FOUND\0")
    with open(d.pidfile) as f:
        pid = int(f.read())
    code, out = run("sc", "stop", "zebmacrod")
    check(wait_for(lambda: state() == "STOPPED", patience(60, True)),
          "sc stop: %d %s, then %s" % (code, out, state()))
    with open(d.logfile, "rb") as f:
        log = f.read()
    check(re.search(rb"^zebmacrod 1\.0\.0 started: .*\r\n", log, re.M) and
          log.endswith(b"zebmacrod stopped\r\n"), "the service's log: %r" % log[-300:])
    prefix = os.path.join(os.path.dirname(args.emulator.split()[0]), "wineprefix", "drive_c")
    left = [os.path.join(r, n) for r, ds, _ in os.walk(prefix) for n in ds
            if re.match(r"zebmacrod-%d-\d+$" % pid, n)]
    check(not os.path.exists(d.pidfile) and left == [], "left behind by the service: %s" % left)
    # A configuration that cannot be read: stopped before it serves, with its own exit code.
    with open(d.conf, "a") as f:
        f.write("Foreground maybe\n")
    run("sc", "start", "zebmacrod")
    check(wait_for(lambda: state() == "STOPPED", patience(60, True)),
          "a broken configuration: %s" % state())
    _, out = run("sc", "query", "zebmacrod")
    check(re.search(r"WIN32_EXIT_CODE\s*:\s*1066\b", out) and
          re.search(r"SERVICE_EXIT_CODE\s*:\s*1\b", out), "its exit code: %s" % out)
    code, out = run(exe, "--uninstall-service")
    check(code == 0 and run("sc", "query", "zebmacrod")[0] != 0,
          "--uninstall-service: %d %s" % (code, out))
    # Not started by the service manager, --service says how it is run.
    code, out = run(exe, "--service", "--config-file", d.host(d.conf))
    check(code == 1 and "--install-service" in out, "--service by hand: %d %s" % (code, out))


# Each kind of container (tests/container_inputs.py names them); the infected ones hold
# 03-concept-names.doc, the clean ones 02-clean-macros.doc.
CONTAINER_STEMS = ["%s.zip", "%s-zip64.zip", "%s-ustar.tar", "%s-pax.tar", "%s-gnu.tar", "%s.tar.gz",
                   "%s.tar.bz2", "%s.tar.xz", "%s.tar.zst", "%s.doc.gz", "%s-noname.doc.gz",
                   "%s.doc.bz2", "%s.doc.xz", "%s.doc.zst", "%s.7z", "%s.cab", "%s.iso",
                   "%s-base64.eml", "%s-qp.eml", "%s-uuencode.eml", "%s-inline-uu.eml",
                   "%s-rfc822.eml", "%s.mbox", "%s.tnef", "%s-tnef.eml",
                   "%s.pst", "%s.ost", "%s-permute.pst", "%s-pst.zip"]
# Mail as gateways hand it over: BinHex, yEnc, messages inside a mail's text, mbox splitting.
CONTAINER_STEMS += ["%s.hqx", "%s-binhex.eml", "%s-yenc.eml", "%s-inline-yenc.eml",
                    "%s-epilogue.eml", "%s-text-message.eml", "%s-rspamd.eml",
                    "%s-mboxo-from.mbox", "%s-mboxcl2.mbox"]
# The infected ones of them that mail filters are handed, each whole, as messages (items 5, 6).
GATEWAY_MESSAGES = ["binhex", "yenc", "epilogue", "text-message", "rspamd"]


def mkcompound(args):
    """tests/tools/mkcompound beside mksamples, with the emulator."""
    prefix = args.emulator.split() if args.emulator else []
    ext = ".exe" if args.mksamples.endswith(".exe") else ""
    return prefix + [os.path.join(os.path.dirname(os.path.abspath(args.mksamples)),
                                  "mkcompound" + ext)]


# Compound files that hold documents (mkcompound, tests/container_inputs.py): the daemon's answer,
# and under Wine (no member can be scanned there) the answer that says so.
COMPOUND_ANSWERS = [
    ("embedded-infected.doc", "Macro.Word.Concept.a FOUND"), ("embedded-clean.doc", "OK"),
    ("infected-embeds-clean.doc", "Macro.Word.Concept.a FOUND"),
    ("word97-embeds-infected.doc", "Macro.Word.Concept.a FOUND"),
    ("word97-embeds-word97.doc", "OK"),  # clamd has no SKIPPED
    ("workbook-embeds-infected.xls", "Macro.Word.Concept.a FOUND"),
    ("package-infected.bin", "Macro.Word.Concept.a FOUND"),
    ("doc-package-infected.doc", "Macro.Word.Concept.a FOUND"),
    ("infected.msg", "Macro.Word.Concept.a FOUND"), ("clean.msg", "OK"),
    ("nested.msg", "Macro.Word.Concept.a FOUND"), ("object.msg", "Macro.Word.Concept.a FOUND"),
    ("msg.zip", "Macro.Word.Concept.a FOUND"),
    ("msg-attaches-zip.msg", "Macro.Word.Concept.a FOUND"),
]
# Without a WordDocument stream at the root, the library judges the first it finds: the object's.
COMPOUND_WINE = {"infected-embeds-clean.doc": "Macro.Word.Concept.a FOUND",
                 "workbook-embeds-infected.xls": "Macro.Word.Concept.a FOUND",
                 "object.msg": "Macro.Word.Concept.a FOUND",
                 "word97-embeds-word97.doc": "OK",
                 "msg.zip": "Archive support not in this build (extract it and scan the folder, "
                            "or use the Linux build) ERROR",
                 "msg-attaches-zip.msg": "Archive support not in this build (extract it and scan "
                                         "the folder, or use the Linux build) ERROR"}


def make_containers(args, samples):
    """The container inputs in work/inputs, and the names a missing tool left out."""
    out = os.path.join(args.work, "inputs")
    p = subprocess.run(["/usr/bin/python3", os.path.join(os.path.dirname(__file__),
                                                          "container_inputs.py"), samples, out]
                       + mkcompound(args), capture_output=True, text=True, check=True)
    # A truncated document inside a zip, for AlertBrokenWord6.
    import zipfile
    with zipfile.ZipFile(os.path.join(out, "truncated-doc.zip"), "w") as z:
        z.write(os.path.join(samples, "08-truncated.doc"), "cut.doc")
    return out, {l[8:] for l in p.stdout.splitlines() if l.startswith("missing ")}


def zip_rows(missing):
    """Self-extracting zips, members a central directory leaves out, MaxFiles as clamd counts:
    (file, reply after "label: ")."""
    found = "Macro.Word.Concept.a FOUND"
    rows = [(name, found) for name in (
        "sfx.exe", "sfx-adjusted.exe", "sfx-elf.bin", "sfx-script.pyz", "sfx-signed.exe",
        "sfx-in.zip", "sfx-in.tar", "hidden-first.zip", "hidden-middle.zip",
        "hidden-descriptor.zip", "hidden-sfx.exe", "attachments-10000-tiny.eml",
        "zip-10001-then-doc.zip") if name not in missing]
    return rows + [("sfx-clean.exe", "OK"), ("program.exe", "OK"), ("hidden-clean.zip", "OK"),
                   ("attachments-10000.eml", "Archive limit exceeded: MaxFiles 10000 ERROR"),
                   ("zip-10001.zip", "Archive limit exceeded: MaxFiles 10000 ERROR")]


def part_containers(args):
    """Archives and mail by SCAN, INSTREAM and FILDES: each kind with the infected document FOUND,
    the same without it OK; the bombs end within their limits with the ERROR naming them (the
    zip that contains itself at MaxRecursion) or, asked for, the heuristic name; ALLMATCHSCAN
    answers every finding of a container; ScanArchive and ScanMail no answer OK, as clamd does;
    nothing is left in the private directory. Under Wine (no archive or mail support in the
    Windows builds) every container is an ERROR that says so, never OK."""
    samples = make_samples(args)
    folder, missing = make_containers(args, samples)
    d = Daemon(args, "containers", "StreamMaxLength 100M\nMaxThreads 2\nReadTimeout 30\n").start()
    sep = "\\" if d.wine else "/"
    F = d.host(folder)

    def path(name):
        return (F + sep + name).encode()
    rows = []  # (file, reply after "label: ")
    for stem in CONTAINER_STEMS:
        for tag in ("infected", "clean"):
            name = stem % tag
            if name in missing:
                print("skipped %s: the tool that makes it is missing" % name)
                continue
            if d.wine:
                mail = re.search(r"\.(eml|mbox|tnef|pst|ost)$", name)
                rows.append((name, "%s support not in this build (extract it and scan the "
                             "folder, or use the Linux build) ERROR" %
                             ("Mail" if mail else "Archive")))
            else:
                rows.append((name, "Macro.Word.Concept.a FOUND" if tag == "infected" else "OK"))
    for name, want in COMPOUND_ANSWERS:
        if name not in missing:
            rows.append((name, COMPOUND_WINE.get(name, "Embedded documents not scanned in this "
                                                 "build ERROR") if d.wine else want))
    if not d.wine:
        rows += [
            ("eicar.zip", "Eicar-Test-Signature FOUND"),
            ("nest5.zip", "Macro.Word.Concept.a FOUND"),
            ("encrypted.zip", "Encrypted archive member ERROR"),
            ("damaged.zip", "Damaged zip: ZIP decompression failed (-3) ERROR"),
            ("zeros-10g.zip", "Archive limit exceeded: MaxFileSize 100M ERROR"),
            ("zeros-10g.gz", "Archive limit exceeded: MaxFileSize 100M ERROR"),
            ("many.zip", "Archive limit exceeded: MaxFiles 10000 ERROR"),
            ("recursion-20.zip", "Archive limit exceeded: MaxRecursion 17 ERROR"),
            ("self.zip", "Archive limit exceeded: MaxRecursion 17 ERROR"),
            ("truncated-doc.zip", "Truncated document ERROR"),
            ("binhex-badcrc.hqx", "Macro.Word.Concept.a FOUND"),
            ("binhex-badcrc-clean.hqx", "Damaged binhex: the data fork's CRC does not match ERROR"),
            ("yenc-badcrc.eml", "Damaged mail: a yEnc block's CRC-32 does not match ERROR"),
            ("cl-inside-multipart.mbox", "Macro.Word.Concept.a FOUND"),
            ("digest.eml", "OK"),
            # Outlook's stores: every hiding place walked; damage, and its loops, ERROR.
            ("places.pst", "Macro.Word.Concept.a FOUND"),
            ("truncated.pst", "Damaged pst: a B-tree page lies past the end ERROR"),
            ("shared.pst", "Damaged pst: a B-tree leads to more pages than the file holds (a "
             "loop) ERROR"),
            ("array-loop.pst", "Damaged pst: a block tree leads to a block of the wrong level "
             "ERROR"),
        ] + zip_rows(missing)
    for name, want in rows:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        compare("SCAN of " + name, d.talk(b"zSCAN " + path(name) + b"\0", tcp=True, wait=120),
                path(name) + b": " + want.encode() + b"\0")
        compare("INSTREAM of " + name, d.talk(instream(data, chunk=65536), tcp=True, wait=120),
                b"stream: " + want.encode() + b"\0")
        if not d.wine:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY)
            got = re.sub(rb"^fd\[\d+\]", b"fd", d.talk(b"zFILDES\0", fd=fd, wait=120))
            os.close(fd)
            compare("FILDES of " + name, got, b"fd: " + want.encode() + b"\0")
    if not d.wine:
        # ALLMATCHSCAN: every finding of the container, each on its line; SCAN the first.
        names = path("names.zip")
        compare("ALLMATCHSCAN of names.zip", d.talk(b"zALLMATCHSCAN " + names + b"\0"),
                b"".join(names + b": " + v + b" FOUND\0" for v in
                         (b"Macro.Word.Concept.a", b"Macro.Word.Wieder", b"Macro.Word.Outlaw")))
        compare("SCAN of names.zip", d.talk(b"zSCAN " + names + b"\0"),
                names + b": Macro.Word.Concept.a FOUND\0")
        got = d.talk(b"zCONTSCAN " + path("") + b"\0", wait=300)
        limits = sorted(re.findall(rb"/([^/]+): Archive limit exceeded: (\w+)", got))
        check(limits == [(b"attachments-10000.eml", b"MaxFiles"), (b"delimiters.eml", b"MaxFiles"),
                         (b"many.zip", b"MaxFiles"), (b"recursion-20.zip", b"MaxRecursion"),
                         (b"self.zip", b"MaxRecursion"), (b"zeros-10g.gz", b"MaxFileSize"),
                         (b"zeros-10g.zip", b"MaxFileSize"), (b"zip-10001.zip", b"MaxFiles")],
              "CONTSCAN of the folder: the limits %s" % limits)
    check(wait_for(lambda: all(os.listdir(p) == [] for p in d.private_dirs()), patience(10)),
          "files left in the private directory: %s" % [os.listdir(p) for p in d.private_dirs()])
    check(d.stop("SHUTDOWN") == 0, "containers: stop")
    if d.wine:
        return
    # The switches and alerts as clamd has them.
    configs = [
        ("AlertExceedsMax yes\nAlertEncryptedArchive yes\nMaxFiles 100\nMaxRecursion 0\n",
         [("many.zip", "Heuristics.Limits.Exceeded.MaxFiles FOUND"),
          ("self.zip", "Heuristics.Limits.Exceeded.MaxRecursion FOUND"),
          ("encrypted.7z", "Heuristics.Encrypted.7Zip FOUND"),
          ("infected.zip", "Macro.Word.Concept.a FOUND")]),
        ("ScanArchive no\n", [("infected.zip", "OK"), ("infected.mbox", "Macro.Word.Concept.a FOUND")]),
        ("ScanMail no\nMaxFileSize 1M\n", [("infected-base64.eml", "OK"), ("infected.pst", "OK"),
                                         ("nest5.zip", "OK"),
                                         ("zeros-10g.zip", "Archive limit exceeded: MaxFileSize 1M "
                                          "ERROR")]),
        ("AlertBrokenWord6 yes\n", [("truncated-doc.zip", "Heuristics.Broken.Word6 FOUND")]),
        ("AlertBrokenWord6 no\n", [("truncated-doc.zip", "OK")]),
    ]
    for extra, cases in configs:
        d = Daemon(args, "containers-conf", "StreamMaxLength 100M\n" + extra).start()
        for name, want in cases:
            compare("%s: SCAN of %s" % (extra.strip(), name),
                    d.talk(b"zSCAN " + path(name) + b"\0", wait=120),
                    path(name) + b": " + want.encode() + b"\0")
        check(d.stop("SHUTDOWN") == 0, "%s: stop" % extra)


def miltertest_script(sock, message, body_files):
    """A miltertest (Lua) session handing the milter one message as an MTA does: connection,
    envelope, each header unfolded as it came, the body from files, end of message; it prints
    the milter's reply, and whether it asked for quarantine."""
    head = message.replace(b"\r\n", b"\n").partition(b"\n\n")[0]
    headers = []
    for line in head.split(b"\n"):
        if line[:1] in (b" ", b"\t") and headers:
            headers[-1][1] += b"\r\n" + line
        else:
            name, _, value = line.partition(b":")
            headers.append([name, value.lstrip(b" ")])
    # The milter answers the end of the message once the daemon has scanned it: under a sanitizer
    # or Valgrind that takes longer than miltertest's 10 seconds, and on a loaded CI machine the
    # first message of a milter's session has taken over 60 (the rest of the session passed).
    lua = ['mt.set_timeout(%d)' % patience(180),
           'local conn = mt.connect("unix:%s", 40, 0.25)' % sock,
           'if conn == nil then error("no connection to the milter") end',
           'if mt.conninfo(conn, "client.test", "127.0.0.1") ~= nil then error("conninfo") end',
           'if mt.mailfrom(conn, "<alice@example.org>") ~= nil then error("mailfrom") end',
           'if mt.rcptto(conn, "<bob@example.org>") ~= nil then error("rcptto") end']
    for name, value in headers:
        lua.append('if mt.header(conn, [=[%s]=], [=[%s]=]) ~= nil then error("header") end'
                   % (name.decode(), value.decode()))
    # The end of the headers is sent by mt.bodyfile() as the milter negotiated it.
    lua += ['if mt.bodyfile(conn, [=[%s]=]) ~= nil then error("body") end' % f
            for f in body_files]
    lua += ['if mt.eom(conn) ~= nil then error("eom") end',
            'local r = mt.getreply(conn)',
            'local names = {[SMFIR_ACCEPT] = "accept", [SMFIR_CONTINUE] = "continue",',
            '               [SMFIR_REJECT] = "reject", [SMFIR_TEMPFAIL] = "tempfail",',
            '               [SMFIR_DISCARD] = "discard", [SMFIR_REPLYCODE] = "replycode"}',
            'mt.echo("reply " .. (names[r] or tostring(r)))',
            'if mt.eom_check(conn, MT_QUARANTINE) then mt.echo("quarantined") end',
            'mt.disconnect(conn)']
    return "\n".join(lua) + "\n"


def exim_session(conf, message):
    """exim -bh: an SMTP session as if from 127.0.0.1 through the configuration's ACLs, the
    message sent whole; the SMTP replies."""
    lines = message.replace(b"\r\n", b"\n").split(b"\n")
    data = b"\r\n".join(b"." + l if l.startswith(b".") else l for l in lines)
    dialog = (b"HELO client.test\r\nMAIL FROM:<alice@example.org>\r\nRCPT TO:<bob@example.org>\r\n"
              b"DATA\r\n" + data + b"\r\n.\r\nQUIT\r\n")
    p = subprocess.run(["exim4", "-C", conf, "-bh", "127.0.0.1"], input=dialog,
                       capture_output=True, timeout=patience(120))
    return [l for l in p.stdout.decode("utf-8", "replace").splitlines() if l[:3].isdigit()]


def milter_replies(milter, d, messages, action, cases):
    """clamav-milter (OnInfected action, OnFail Defer) between miltertest and the daemon d: each
    (tag, the lines miltertest prints) of cases checked for messages[tag]."""
    sock = os.path.join(d.dir, "milter.sock")
    conf = os.path.join(d.dir, "milter.conf")
    with open(conf, "w") as f:
        f.write("MilterSocket unix:%s\nClamdSocket unix:%s\nForeground yes\n"
                "OnInfected %s\nOnClean Accept\nOnFail Defer\nLogFile %s\n"
                "LogVerbose yes\nLogInfected Full\n"
                % (sock, d.sock, action, os.path.join(d.dir, "milter.log")))
    proc = subprocess.Popen([milter, "-c", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    STARTED.append(proc)
    try:
        for tag, want in cases:
            # In files of at most 65,535 bytes: miltertest sends a file in chunks of 65,536, one
            # more than the milter takes.
            raw = messages[tag].replace(b"\r\n", b"\n")
            data = raw.partition(b"\n\n")[2].replace(b"\n", b"\r\n")
            bodies = []
            for k in range(0, len(data), 65535):
                bodies.append(os.path.join(d.dir, "%s.body.%d" % (tag, k // 65535)))
                with open(bodies[-1], "wb") as f:
                    f.write(data[k:k + 65535])
            script = os.path.join(d.dir, tag + ".lua")
            with open(script, "w") as f:
                f.write(miltertest_script(sock, messages[tag], bodies))
            p = subprocess.run(["miltertest", "-s", script], capture_output=True,
                               text=True, timeout=patience(240))
            check(p.returncode == 0 and p.stdout.split("\n")[:-1] == want,
                  "clamav-milter (OnInfected %s), %s message: %s %s, want %s"
                  % (action, tag, p.stdout, p.stderr[-300:], want))
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def exim_replies(d, messages, cases):
    """Exim's malware condition (av_scanner clamd over TCP to the daemon d, deny malware = *)
    through exim -bh: each (tag, the start of the reply to the data) of cases checked."""
    # Exim gives up root for a configuration of its own: its spool is open to it, and it
    # reaches the daemon over TCP.
    spool = os.path.join(d.dir, "spool")
    os.makedirs(spool, mode=0o777, exist_ok=True)
    os.chmod(spool, 0o777)
    conf = os.path.join(d.dir, "exim.conf")
    with open(conf, "w") as f:
        f.write("primary_hostname = zebmacro.test\nspool_directory = %s\n"
                "log_file_path = %s/%%slog\nav_scanner = clamd:127.0.0.1 %d\n"
                "acl_smtp_rcpt = acl_check_rcpt\nacl_smtp_data = acl_check_data\n"
                "begin acl\nacl_check_rcpt:\n  accept\nacl_check_data:\n"
                "  deny malware = *\n       message = This message contains a virus "
                "($malware_name).\n  accept\nbegin routers\nbegin transports\n"
                % (spool, spool, d.port))
    for tag, want in cases:
        replies = exim_session(conf, messages[tag])
        check(len(replies) >= 2 and replies[-2].startswith(want),
              "exim -bh, %s message: %s, want %s" % (tag, replies[-3:], want))


def part_mail(args):
    """Mail filters that hand the whole message to clamd: clamav-milter (its ClamdSocket the
    daemon's) driven by miltertest rejects the message whose attachment is infected, or has it
    quarantined, and accepts the clean one; Exim's malware condition (av_scanner clamd, an ACL
    with malware = *, through exim -bh with a configuration and spool of its own) names the
    virus in its 550 and accepts the clean message. A limit's ERROR makes both defer the
    message; with AlertExceedsMax both reject it. Each is skipped, with its reason, where it is
    not installed."""
    samples = make_samples(args)
    folder, _ = make_containers(args, samples)
    messages = {tag: open(os.path.join(folder, "%s-%s.eml" % (tag, kind)), "rb").read()
                for tag in ("infected", "clean") for kind in ("base64",)}
    messages["forwarded"] = open(os.path.join(folder, "infected-rfc822.eml"), "rb").read()
    for kind in GATEWAY_MESSAGES:
        messages[kind] = open(os.path.join(folder, "infected-%s.eml" % kind), "rb").read()
    # 10,000 attachments of 3 bytes, the document last: found, as clamd finds it. Of 100 bytes
    # each: MaxFiles is reached before it (clamd stops there too, and says OK), an ERROR.
    messages["many"] = open(os.path.join(folder, "attachments-10000-tiny.eml"), "rb").read()
    messages["limit"] = open(os.path.join(folder, "attachments-10000.eml"), "rb").read()
    # A .msg attaching the infected document; an infected document embedding a clean one.
    for tag, name in (("msg", "infected-msg.eml"), ("embeds", "infected-embeds-clean.eml")):
        messages[tag] = open(os.path.join(folder, name), "rb").read()
    milter = shutil.which("clamav-milter") or "/usr/sbin/clamav-milter"
    have_milter = os.path.exists(milter) and shutil.which("miltertest")
    if not have_milter:
        print("clamav-milter or miltertest is not installed (tools/install-deps installs them): "
              "the milter check skipped")
    if not shutil.which("exim4"):
        print("exim4 is not installed (tools/install-deps installs exim4-daemon-heavy): the "
              "Exim check skipped")
    if not have_milter and not shutil.which("exim4"):
        return SKIPPED
    d = Daemon(args, "mail", "StreamMaxLength 100M\n").start()
    virus = "550 This message contains a virus (Macro.Word.Concept.a)."
    if have_milter:
        for action, found in (("Reject", ["reply reject"]),
                              ("Quarantine", ["reply accept", "quarantined"])):
            milter_replies(milter, d, messages, action,
                           [("infected", found), ("forwarded", found), ("msg", found),
                            ("embeds", found), ("many", found),
                            ("limit", ["reply tempfail"]), ("clean", ["reply accept"])] +
                           [(kind, found) for kind in GATEWAY_MESSAGES])
        log = open(os.path.join(d.dir, "milter.log"), errors="replace").read()
        check("Macro.Word.Concept.a" in log, "the milter's log names no virus: %s" % log[-500:])
    if shutil.which("exim4"):
        exim_replies(d, messages, [("infected", virus), ("forwarded", virus), ("msg", virus),
                                   ("many", virus),
                                   ("limit", "451 Temporary local problem"),
                                   ("clean", "250 OK id=")])
    check(d.stop("SHUTDOWN") == 0, "mail: stop")
    # AlertExceedsMax: the limit is a finding, and the filters block the message for it.
    d = Daemon(args, "mail", "StreamMaxLength 100M\nAlertExceedsMax yes\n").start()
    if have_milter:
        milter_replies(milter, d, messages, "Reject", [("limit", ["reply reject"])])
    if shutil.which("exim4"):
        exim_replies(d, messages, [("limit", "550 This message contains a virus "
                                             "(Heuristics.Limits.Exceeded.MaxFiles).")])
    check(d.stop("SHUTDOWN") == 0, "mail, AlertExceedsMax: stop")
    return None


RSPAMD_CONF = """.include "$CONFDIR/common.conf"
options {
    pidfile = "$RUNDIR/rspamd.pid";
    .include "$CONFDIR/options.inc"
    disable_hyperscan = true;
}
logging {
    type = "file";
    filename = "$LOGDIR/rspamd.log";
}
worker "normal" {
    bind_socket = "127.0.0.1:%d";
    .include "$CONFDIR/worker-normal.inc"
    count = 1;
}
"""

# The antivirus module as its users configure it for clamd: the whole message to the scanner
# (scan_mime_parts = false), the virus symbol, and a reject.
RSPAMD_ANTIVIRUS = """clamav {
  type = "clamav";
  scan_mime_parts = false;
  servers = "%s";
  symbol = "CLAM_VIRUS";
  action = "reject";
}
"""


def part_rspamd(args):
    """rspamd 3.4's whole-message rule (Debian's rspamd, its stock configuration with one normal
    worker of its own, the antivirus module pointed at the daemon's socket): the infected mbox,
    which rspamd hands on without its first "From " line, and a message with a BinHex attachment
    get the virus symbol and are rejected; the clean mbox gets neither. Skipped where rspamd is
    not installed."""
    if not shutil.which("rspamd") or not shutil.which("rspamc"):
        print("rspamd is not installed (tools/install-deps installs it): the rspamd check skipped")
        return SKIPPED
    samples = make_samples(args)
    folder, _ = make_containers(args, samples)
    d = Daemon(args, "rspamd", "StreamMaxLength 100M\n").start()
    conf = os.path.join(d.dir, "rspamd")
    os.makedirs(os.path.join(conf, "local.d"))
    port = free_port()
    with open(os.path.join(conf, "rspamd.conf"), "w") as f:
        f.write(RSPAMD_CONF % port)
    with open(os.path.join(conf, "local.d", "antivirus.conf"), "w") as f:
        f.write(RSPAMD_ANTIVIRUS % d.sock)
    user, group = pwd.getpwuid(os.getuid()).pw_name, grp.getgrgid(os.getgid()).gr_name
    rspamd = subprocess.Popen(
        ["rspamd", "--no-fork", "--insecure", "-u", user, "-g", group, "-c",
         os.path.join(conf, "rspamd.conf")] +
        [x for v in ("LOCAL_CONFDIR", "DBDIR", "RUNDIR", "LOGDIR") for x in ("--var", v + "=" + conf)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    STARTED.append(rspamd)

    def check_message(path):
        p = subprocess.run(["rspamc", "-h", "127.0.0.1:%d" % port, "symbols", path],
                           capture_output=True, text=True, timeout=patience(60))
        return p.stdout
    try:
        ready = wait_for(lambda: "Action:" in check_message(os.path.join(folder, "clean.mbox")),
                         patience(120))
        check(ready, "rspamd did not answer: %s" % open(os.path.join(conf, "rspamd.log"),
                                                          errors="replace").read()[-800:])
        for name, infected in (("infected.mbox", True), ("infected-binhex.eml", True),
                               ("clean.mbox", False)):
            out = check_message(os.path.join(folder, name))
            found = "Symbol: CLAM_VIRUS (0.00)[Macro.Word.Concept.a]" in out
            rejected = "Action: reject" in out
            check(found == infected and rejected == infected,
                  "rspamd, %s: %s" % (name, out[:600]))
    finally:
        rspamd.terminate()
        rspamd.wait(timeout=60)
    check(d.stop("SHUTDOWN") == 0, "rspamd: stop")


def part_load(args):
    """Many clients at once, each request's answer checked; a worker killed in the middle costs
    at most the one file it held; afterwards no descriptor, process or stream file is left."""
    samples = make_samples(args)
    d = Daemon(args, "load", "MaxThreads 2\n").start()
    names = sorted(VERDICTS)
    docs = {n: open(os.path.join(samples, n), "rb").read() for n in names}
    for _ in range(3):
        d.talk(instream(docs[names[2]]))  # the workers started

    def settled():
        """No connection is open: the sockets are the two listeners and a channel per worker, and
        the list is the same a moment later (a connection that ends closes its socket before its
        wake pipe: listed between the two, the pipe's ends looked like the daemon's own)."""
        fds = d.descriptors()
        if fds.count("socket:") != 2 + len(d.workers()):
            return None
        time.sleep(0.02)
        return fds if d.descriptors() == fds else None
    base_fds = None if d.wine else [f for f in wait_for(settled, patience(10)) if f != "socket:"]
    wrong, worker_errors, lock = [], [], threading.Lock()
    clients, rounds = (32, 30) if not d.wine else (8, 10)

    done = [0]

    def client(i):
        for k in range(rounds):
            with lock:
                done[0] += 1
            n = names[(i + k) % len(names)]
            kind = (i + k) % (4 if not d.wine else 2)
            if kind == 0:
                got, want = d.talk(instream(docs[n]), tcp=True), b"stream: " + VERDICTS[n].encode() + b"\0"
            elif kind == 1:
                got = d.talk(b"nSCAN " + d.host(os.path.join(samples, n)).encode() + b"\n", tcp=True)
                want = d.host(os.path.join(samples, n)).encode() + b": " + VERDICTS[n].encode() + b"\n"
            elif kind == 2:
                fd = os.open(os.path.join(samples, n), os.O_RDONLY)
                got = re.sub(rb"^fd\[\d+\]", b"fd", d.talk(b"zFILDES\0", fd=fd))
                os.close(fd)
                want = b"fd: " + VERDICTS[n].encode() + b"\0"
            else:
                got = d.talk(b"zIDSESSION\0" + instream(docs[n]) + b"zPING\0" + instream(docs[names[3]]) +
                             b"zEND\0")
                want = b"".join(sorted([b"1: stream: " + VERDICTS[n].encode() + b"\0", b"2: PONG\0",
                                        b"3: stream: Macro.Word.Wieder FOUND\0"]))
                got = b"".join(messages(got))
            if got != want:
                with lock:
                    (worker_errors if re.search(rb"Worker (killed|exited)", got) else wrong).append(
                        (n, kind, got, want))

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    killed = []
    if not d.wine:
        # A worker killed a third of the way through, while files are in its hands.
        while done[0] < clients * rounds // 3:
            time.sleep(0.001)
        victims = d.workers()
        if victims:
            os.kill(victims[0], signal.SIGKILL)
            killed.append(victims[0])
    for t in threads:
        t.join()
    check(wrong == [], "%d wrong answers under load, e.g. %s" % (len(wrong), wrong[:3]))
    check(len(worker_errors) <= len(killed), "worker errors: %s" % worker_errors)
    print("load: %d requests, %d cost by the killed worker" % (clients * rounds, len(worker_errors)))
    check(d.talk(instream(docs[names[3]])) == b"stream: Macro.Word.Wieder FOUND\0", "after load")
    if not d.wine:
        # The same files and pipes once the last connections' threads have ended (a moment after
        # their clients); sockets: the two listeners and a channel per live worker.
        def as_before():
            fds = settled()
            return fds and [f for f in fds if f != "socket:"] == base_fds and fds
        fds = wait_for(as_before, patience(10)) or d.descriptors()
        check([f for f in fds if f != "socket:"] == base_fds and
              fds.count("socket:") == 2 + len(d.workers()) and 1 <= len(d.workers()) <= 2,
              "descriptors: %s before, %s after, workers %s" % (base_fds, fds, d.workers()))
        check(all(os.listdir(p) == [] for p in d.private_dirs()), "stream files left")
    workers = [] if d.wine else d.workers()
    if d.wine:
        check(d.stop() == 0, "stop after load")
    else:
        stop_under_load(d, samples, docs)
    check(wait_for(lambda: d.private_dirs() == [] and
                   not any(os.path.exists("/proc/%d" % w) for w in workers), patience(10)),
          "left behind after load")


def stop_under_load(d, samples, docs):
    """SIGTERM while clients keep sending: every request sent whole is answered - its verdict,
    or an ERROR that the daemon stops - or its connection is refused or reset; none is closed
    without a word."""
    replies, lock, sent = [], threading.Lock(), [0]
    names = sorted(VERDICTS)

    def client(i):
        for k in range(1000):
            n = names[(i + k) % len(names)]
            request = instream(docs[n]) if k % 2 else \
                b"nSCAN " + os.path.join(samples, n).encode() + b"\n"
            try:
                s = d.connect(i % 2 == 0)
            except OSError:
                return  # the daemon no longer listens
            with s:
                try:
                    s.sendall(request)
                except OSError:
                    continue
                got = read_all(s, patience(30))
            with lock:
                replies.append(got)
                sent[0] += 1
    threads = [threading.Thread(target=client, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    wait_for(lambda: sent[0] >= 40, patience(30))
    status = d.stop()
    for t in threads:
        t.join()
    unanswered = [r for r in replies if r == b"" or r.endswith(b"<TIMEOUT>")]
    check(status == 0 and unanswered == [], "SIGTERM under load: exit %s, %d of %d requests "
          "without a reply" % (status, len(unanswered), len(replies)))


def part_sustained(args):
    """Eight clients for 30 s, each streaming the samples one after another, a new connection
    each, while a ninth PINGs throughout: every request is answered, none waits in vain, and the
    daemon answers and stops cleanly afterwards. Under Wine the listener once stopped hearing
    new connections after a few seconds of this and never recovered (sys/socket_win32.cpp)."""
    samples = make_samples(args)
    d = Daemon(args, "sustained", "TCPAddr 127.0.0.1\nMaxThreads 2\n").start()
    names = sorted(VERDICTS)
    docs = {n: open(os.path.join(samples, n), "rb").read() for n in names}
    seconds, clients, wait = 30, 8, 10
    lock = threading.Lock()
    counts = {"stream": 0, "ping": 0}
    timeouts, wrong, slowest_ping = [], [], [0.0]
    t0 = time.monotonic()
    end = t0 + seconds

    def request(kind, data, want):
        started = time.monotonic()
        try:
            got = d.talk(data, tcp=True, wait=wait)
        except OSError as e:
            got = repr(e).encode()
        took = time.monotonic() - started
        with lock:
            if got == want:
                counts[kind] += 1
                if kind == "ping":
                    slowest_ping[0] = max(slowest_ping[0], took)
            elif got.endswith(b"<TIMEOUT>"):
                timeouts.append((kind, round(started - t0, 1)))
            else:
                wrong.append((kind, got[:100], want))

    def streamer(i):
        k = i
        while time.monotonic() < end:
            n = names[k % len(names)]
            k += 1
            request("stream", instream(docs[n]), b"stream: " + VERDICTS[n].encode() + b"\0")

    def pinger():
        while time.monotonic() < end:
            request("ping", b"zPING\0", b"PONG\0")
            time.sleep(0.05)
    threads = [threading.Thread(target=streamer, args=(i,)) for i in range(clients)]
    threads.append(threading.Thread(target=pinger))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.monotonic() - t0
    print("sustained: %d clients and a PING client for %.0f s: %d streams and %d PINGs answered "
          "(slowest PING %.2f s), %d timed out (%ds each), %d wrong" %
          (clients, took, counts["stream"], counts["ping"], slowest_ping[0], len(timeouts), wait,
           len(wrong)), flush=True)
    check(timeouts == [], "%d requests timed out, the first at %s" % (len(timeouts), timeouts[:5]))
    check(wrong == [], "%d wrong answers, e.g. %s" % (len(wrong), wrong[:3]))
    check(counts["stream"] >= clients and counts["ping"] > 0, "answered: %s" % counts)
    after = d.talk(b"zPING\0", tcp=True, wait=wait)
    check(after == b"PONG\0", "PING after the clients: %r" % after)
    if after == b"PONG\0":  # a daemon that no longer accepts is ended at exit
        check(d.stop() == 0, "stop after the clients: exit status %s" % d.proc.returncode)


def part_clamdscan(args):
    """Real clients: clamdscan through the daemon's own configuration file, in each of its modes,
    finds what zebscan --deep finds and exits as it does; a clean folder exits 0. Then node's
    clamscan package and nc, which send their commands without a line end; and clamdscan
    --stream of a mail, a zip and an mbox carrying the infected document."""
    if shutil.which("clamdscan") is None:
        print("clamdscan is not installed (tools/install-deps installs it): skipped")
        return SKIPPED
    samples = make_samples(args)
    d = Daemon(args, "clamdscan").start()
    zeb = subprocess.run([args.zebscan, "--deep", "--no-summary", samples], capture_output=True,
                         text=True)
    want = sorted(l for l in zeb.stdout.splitlines() if l.endswith(" FOUND")
                  and "/excluded/" not in l and "/clean/" not in l)
    check(len(want) == 5, "zebscan --deep finds %s" % want)
    files = [os.path.join(samples, n) for n in sorted(VERDICTS)]
    for mode in ([], ["--stream"], ["--fdpass"], ["--multiscan"], ["--multiscan", "--fdpass"]):
        for what in ([samples + "/" + n for n in sorted(VERDICTS)], files):
            p = subprocess.run(["clamdscan", "--config-file=" + d.conf] + mode + what,
                               capture_output=True, text=True, timeout=120)
            found = sorted(l for l in p.stdout.splitlines() if l.endswith(" FOUND"))
            check(found == want, "clamdscan %s: %s, want %s" % (mode, found, want))
            check(p.returncode == zeb.returncode == 1, "clamdscan %s: exit %d, zebscan %d"
                  % (mode, p.returncode, zeb.returncode))
        p = subprocess.run(["clamdscan", "--config-file=" + d.conf] + mode +
                           [os.path.join(samples, "clean")], capture_output=True, text=True,
                           timeout=120)
        z = subprocess.run([args.zebscan, "--deep", os.path.join(samples, "clean")],
                           capture_output=True)
        check(p.returncode == z.returncode == 0 and "FOUND" not in p.stdout,
              "clamdscan %s on a clean folder: exit %d %s" % (mode, p.returncode, p.stdout))
    pyclamd_check(d)
    node_clamscan(args, d, samples)
    netcat(d)
    # A mail, a zip and an mbox whose attachment or member is infected, sent whole by
    # clamdscan --stream (and named, and passed): found; the same without it: OK.
    folder, _ = make_containers(args, samples)
    for name in ("%s-base64.eml", "%s.zip", "%s.mbox"):
        for tag, verdict, status in (("infected", "Macro.Word.Concept.a FOUND", 1),
                                     ("clean", "OK", 0)):
            path = os.path.join(folder, name % tag)
            for mode in (["--stream"], [], ["--fdpass"]):
                p = subprocess.run(["clamdscan", "--config-file=" + d.conf, "--no-summary"] +
                                   mode + [path], capture_output=True, text=True, timeout=120)
                check(p.stdout.strip() == "%s: %s" % (path, verdict) and p.returncode == status,
                      "clamdscan %s %s: exit %d %s" % (mode, name % tag, p.returncode, p.stdout))
    check(d.stop() == 0, "stop")


# pyclamd's own check of a scanner (its doctest): PING, VERSION, and the EICAR test file sent as
# a stream and named as a file, beside a file without it. Run by the system's python3, where
# Debian's python3-pyclamd lives.
PYCLAMD = """
import os, sys
try:
    import pyclamd
except ImportError:
    sys.exit(77)
cd = pyclamd.ClamdUnixSocket(sys.argv[1])
found = ("FOUND", "Eicar-Test-Signature")
eicar, clean = os.path.join(sys.argv[2], "EICAR"), os.path.join(sys.argv[2], "NO_EICAR")
open(eicar, "wb").write(cd.EICAR())
open(clean, "w").write("no virus in this file")
checks = [("ping", cd.ping() is True), ("version", cd.version().startswith("zebmacro ")),
          ("scan_stream(EICAR())", cd.scan_stream(cd.EICAR()) == {"stream": found}),
          ("scan_file(EICAR)", cd.scan_file(eicar) == {eicar: found}),
          ("scan_file(NO_EICAR)", cd.scan_file(clean) is None)]
failed = [name for name, ok in checks if not ok]
print("pyclamd:", "failed " + ", ".join(failed) if failed else "ok")
sys.exit(1 if failed else 0)
"""


def pyclamd_check(d):
    p = subprocess.run(["/usr/bin/python3", "-c", PYCLAMD, d.sock, d.dir], capture_output=True,
                       text=True, timeout=120)
    if p.returncode == SKIPPED:
        print("pyclamd check skipped: python3-pyclamd is not installed for /usr/bin/python3 "
              "(tools/install-deps installs it)")
        return
    print(p.stdout.strip())
    check(p.returncode == 0, "pyclamd against zebmacrod: %s %s" % (p.stdout, p.stderr[-400:]))


NODE_CHECK = r"""
// node's clamscan package as its users call it, over the daemon's local socket: init() (which
// PINGs), then isInfected() of each file; a JSON line for each.
const NodeClam = require('clamscan');
const [socket, ...files] = process.argv.slice(2);
(async () => {
  const clam = await new NodeClam().init({
    clamdscan: { socket, localFallback: false, active: true, timeout: 20000 },
    clamscan: { active: false },
    preference: 'clamdscan',
  });
  console.log(JSON.stringify({ init: 'ok' }));
  for (const file of files) {
    try {
      const { isInfected, viruses } = await clam.isInfected(file);
      console.log(JSON.stringify({ file, isInfected, viruses }));
    } catch (e) {
      console.log(JSON.stringify({ file, error: String((e && e.message) || e) }));
    }
  }
})().catch((e) => {
  console.log(JSON.stringify({ init: String((e && e.message) || e) }));
});
"""


def node_clamscan(args, d, samples):
    """node's clamscan package (2.4.0, one of the most used clamd clients): init() sends "PING"
    and isInfected() "MULTISCAN path", each without a line end, and read the reply at once."""
    npm = shutil.which("npm")
    if not shutil.which("node") or not npm:
        print("node or npm is not installed: node's clamscan check skipped")
        return
    where = os.path.join(os.path.dirname(args.work), "node-clamscan")  # kept from run to run
    if not os.path.isdir(os.path.join(where, "node_modules", "clamscan")):
        os.makedirs(where, exist_ok=True)
        p = subprocess.run([npm, "install", "--prefix", where, "--no-audit", "--no-fund",
                            "clamscan@2.4.0"], capture_output=True, text=True, timeout=600)
        if p.returncode != 0:
            print("npm cannot install clamscan (%s): node's clamscan check skipped"
                  % (p.stderr.strip().splitlines() or ["exit %d" % p.returncode])[-1])
            return
    with open(os.path.join(where, "check.js"), "w") as f:
        f.write(NODE_CHECK)
    names = ["03-concept-names.doc", "02-clean-macros.doc", "08-truncated.doc"]
    p = subprocess.run(["node", os.path.join(where, "check.js"), d.sock] +
                       [os.path.join(samples, n) for n in names],
                       capture_output=True, text=True, timeout=patience(120))
    got = [json.loads(l) for l in p.stdout.splitlines() if l.startswith("{")]
    want = [{"init": "ok"},
            {"file": os.path.join(samples, names[0]), "isInfected": True,
             "viruses": ["Macro.Word.Concept.a"]},
            {"file": os.path.join(samples, names[1]), "isInfected": False, "viruses": []}]
    check(got[:3] == want and len(got) == 4 and "Truncated document" in got[3].get("error", ""),
          "node's clamscan: %s %s, want %s and an error for %s" % (got, p.stderr[-300:], want,
                                                                 names[2]))


def netcat(d):
    """printf 'PING' | nc -U socket: answered at once, as clamd answers it."""
    if not shutil.which("nc") or b"-U" not in subprocess.run(
            ["nc", "-h"], capture_output=True).stderr:
        print("no nc with -U (netcat-openbsd) is installed: the nc check skipped")
        return
    t0 = time.monotonic()
    p = subprocess.run(["nc", "-U", d.sock], input=b"PING", capture_output=True,
                       timeout=patience(60))
    took = time.monotonic() - t0
    check(p.stdout == b"PONG\n" and took < patience(5),
          "printf PING | nc -U: %r after %.1f s" % (p.stdout, took))


def report_daemons():
    """Whether each daemon still runs, and the end of its log: what a failure in CI leaves to read."""
    for d in DAEMONS:
        state = "running" if d.proc.poll() is None else "exited with %s" % d.proc.returncode
        print("daemon %s: %s; the end of its log:" % (os.path.basename(d.dir), state))
        try:
            with open(d.logfile, errors="replace") as f:
                print("".join("  | " + l for l in f.readlines()[-25:]), end="")
        except OSError as e:
            print("  (no log: %s)" % e)


def end_started():
    for p in STARTED:
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()


def main():
    atexit.register(end_started)
    ap = argparse.ArgumentParser()
    ap.add_argument("--part", required=True,
                    choices=["protocol", "load", "sustained", "clamdscan", "containers",
                             "mail", "rspamd", "service"])
    for a in ("--zebmacrod", "--zebscan", "--mksamples", "--work"):
        ap.add_argument(a, required=True)
    ap.add_argument("--emulator", default="")
    args = ap.parse_args()
    args.work = os.path.abspath(os.path.join(args.work, args.part))
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    status = {"protocol": part_protocol, "load": part_load, "sustained": part_sustained,
              "clamdscan": part_clamdscan, "containers": part_containers, "mail": part_mail,
              "rspamd": part_rspamd, "service": part_service}[args.part](args)
    if status == SKIPPED:
        return SKIPPED
    if FAILURES:
        report_daemons()
    print("%d failures" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
