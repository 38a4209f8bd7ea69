#!/usr/bin/python3
"""Writes the container layer's test inputs, made by code: archives with Python's zipfile,
tarfile, gzip, bz2 and lzma; 7z, gcab, zstd and genisoimage where they are installed; mail with
email and mailbox; TNEF and the bombs by hand (the 10 GiB member is written as repeated deflate
blocks, never held or written whole); Outlook's stores with tests/pstwriter.py.

    container_inputs.py SAMPLES OUT [MKCOMPOUND...]
        SAMPLES: the sample documents (mksamples' names); MKCOMPOUND: the command of
        tests/tools/mkcompound (with its emulator), which writes the compound files that hold
        documents (without it they are missing)

Prints the names of the inputs it could not make (a tool missing), one a line, as 'missing NAME'.
"""
import base64
import binascii
import bz2
import email.message
import email.policy
import gzip
import io
import lzma
import mailbox
import os
import random
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile
import zlib

import pstwriter

SAMPLES, OUT = sys.argv[1], sys.argv[2]
MKCOMPOUND = sys.argv[3:]
os.makedirs(OUT, exist_ok=True)
missing = []


def sample(name):
    with open(os.path.join(SAMPLES, name), 'rb') as f:
        return f.read()


INFECTED = sample('03-concept-names.doc')  # Macro.Word.Concept.a
WIEDER = sample('04-wieder-confirmed.doc')  # Macro.Word.Wieder
OUTLAW = sample('07-numbered-macros.doc')  # Macro.Word.Outlaw
CLEAN = sample('02-clean-macros.doc')
README = b'Nothing to see here.\n' * 20
EICAR = base64.b64decode(  # the EICAR test file, kept encoded as pyclamd keeps it
    'WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNULUZJTEUhJEgrSCo=')


def put(name, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


def zip_bytes(members, method=zipfile.ZIP_DEFLATED, zip64=False):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w', method) as z:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=(1996, 8, 1, 12, 0, 0))
            info.compress_type = method
            with z.open(info, 'w', force_zip64=zip64) as f:
                f.write(data)
    return buf.getvalue()


def tar_bytes(members, fmt=tarfile.PAX_FORMAT, mode='w', encoding='utf-8'):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode=mode, format=fmt, encoding=encoding) as t:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 838900800
            t.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def tool(*argv, cwd=None):
    if shutil.which(argv[0]) is None:
        return False
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return True


def with_files(members, fn):
    """Runs fn(dir, names) in a directory holding the members as files; its result."""
    with tempfile.TemporaryDirectory() as d:
        names = []
        for name, data in members:
            path = os.path.join(d, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'wb') as f:
                f.write(data)
            names.append(name)
        return fn(d, names)


def seven_zip(members, *options):
    def make(d, names):
        if not tool('7z', 'a', '-bd', *options, 'out.7z', *names, cwd=d):
            return None
        with open(os.path.join(d, 'out.7z'), 'rb') as f:
            return f.read()
    return with_files(members, make)


def zip_by_7z(members, *options):
    def make(d, names):
        if not tool('7z', 'a', '-bd', '-tzip', *options, 'out.zip', *names, cwd=d):
            return None
        with open(os.path.join(d, 'out.zip'), 'rb') as f:
            return f.read()
    return with_files(members, make)


def cab(members):
    def make(d, names):
        if not tool('gcab', '-c', '-z', 'out.cab', *names, cwd=d):
            return None
        with open(os.path.join(d, 'out.cab'), 'rb') as f:
            return f.read()
    return with_files(members, make)


def iso(members):
    def make(d, names):
        os.makedirs(os.path.join(d, 'root'))
        for n in names:
            os.rename(os.path.join(d, n), os.path.join(d, 'root', n))
        if not tool('genisoimage', '-quiet', '-J', '-r', '-o', 'out.iso', 'root', cwd=d):
            return None
        with open(os.path.join(d, 'out.iso'), 'rb') as f:
            return f.read()
    return with_files(members, make)


def zstd(data):
    if shutil.which('zstd') is None:
        return None
    return subprocess.run(['zstd', '-q', '-c'], input=data, check=True,
                          stdout=subprocess.PIPE).stdout


def gz(data, name=''):
    buf = io.BytesIO()
    with gzip.GzipFile(filename=name, fileobj=buf, mode='wb', mtime=0) as f:
        f.write(data)
    return buf.getvalue()


def put_or_miss(name, data):
    if data is None:
        missing.append(name)
    else:
        put(name, data)


def message(subject, attachments=(), body='Hello.\n'):
    m = email.message.EmailMessage(policy=email.policy.SMTP)
    m['From'] = 'alice@example.org'
    m['To'] = 'bob@example.org'
    m['Subject'] = subject
    m['Message-ID'] = '<%s@example.org>' % subject.replace(' ', '.')
    m.set_content(body)
    for name, data, kw in attachments:
        m.add_attachment(data, maintype='application', subtype='msword', filename=name, **kw)
    return m


def uu_lines(data):
    out = []
    for i in range(0, len(data), 45):
        out.append(binascii.b2a_uu(data[i:i + 45]).decode('ascii'))
    return ''.join(out)


def tnef(attachments):
    """MS-TNEF: signature, key, then per attachment its rendering, title and data attributes."""
    def attribute(level, ident, data):
        return (struct.pack('<BII', level, ident, len(data)) + data +
                struct.pack('<H', sum(data) & 0xFFFF))
    out = struct.pack('<IH', 0x223E9F78, 0x1234)
    out += attribute(1, 0x00089006, struct.pack('<I', 0x00010000))  # attTnefVersion
    for name, data in attachments:
        out += attribute(2, 0x00069002, b'\x01\x00' + b'\xff' * 12)
        out += attribute(2, 0x00018010, name.encode('latin-1') + b'\0')
        out += attribute(2, 0x0006800F, data)
    return out


# --- Each kind with the infected document inside, and the same with a clean one --------------
for tag, doc in (('infected', INFECTED), ('clean', CLEAN)):
    members = [('readme.txt', README), ('letters/concept.doc', doc)]
    put('%s.zip' % tag, zip_bytes(members))
    put('%s-zip64.zip' % tag, zip_bytes(members, zip64=True))
    put('%s-ustar.tar' % tag, tar_bytes(members, tarfile.USTAR_FORMAT))
    put('%s-pax.tar' % tag, tar_bytes(members, tarfile.PAX_FORMAT))
    put('%s-gnu.tar' % tag, tar_bytes([('d/' + 'long-name-' * 12 + '.doc', doc)],
                                      tarfile.GNU_FORMAT))
    put('%s.tar.gz' % tag, tar_bytes(members, mode='w:gz'))
    put('%s.tar.bz2' % tag, tar_bytes(members, mode='w:bz2'))
    put('%s.tar.xz' % tag, tar_bytes(members, mode='w:xz'))
    put_or_miss('%s.tar.zst' % tag, zstd(tar_bytes(members)))
    put('%s.doc.gz' % tag, gz(doc, 'concept.doc'))
    put('%s-noname.doc.gz' % tag, gz(doc))
    put('%s.doc.bz2' % tag, bz2.compress(doc))
    put('%s.doc.xz' % tag, lzma.compress(doc))
    put_or_miss('%s.doc.zst' % tag, zstd(doc))
    put_or_miss('%s.7z' % tag, seven_zip([('readme.txt', README), ('concept.doc', doc)]))
    put_or_miss('%s.cab' % tag, cab([('readme.txt', README), ('concept.doc', doc)]))
    put_or_miss('%s.iso' % tag, iso([('readme.txt', README), ('concept.doc', doc)]))
    put('%s-base64.eml' % tag, bytes(message('base64', [('concept.doc', doc, {})])))
    put('%s-qp.eml' % tag, bytes(message('qp', [('concept.doc', doc,
                                                 {'cte': 'quoted-printable'})])))
    m = message('uuencoded part')
    m.add_attachment(b'', maintype='application', subtype='msword', filename='concept.doc')
    part = m.get_payload()[1]
    del part['Content-Transfer-Encoding']
    part['Content-Transfer-Encoding'] = 'x-uuencode'
    part.set_payload('begin 644 concept.doc\n' + uu_lines(doc) + '`\nend\n')
    put('%s-uuencode.eml' % tag, bytes(m))
    put('%s-inline-uu.eml' % tag, bytes(message(
        'inline', body='See below.\n\nbegin 644 concept.doc\n' + uu_lines(doc) +
        '`\nend\n\nRegards.\n')))
    inner = message('inner', [('concept.doc', doc, {})])
    outer = message('forwarded')
    outer.add_attachment(inner, filename='forwarded.eml')
    put('%s-rfc822.eml' % tag, bytes(outer))
    box = os.path.join(OUT, '%s.mbox' % tag)
    if os.path.exists(box):
        os.remove(box)
    mb = mailbox.mbox(box)
    mb.add(message('first'))
    mb.add(message('second', [('concept.doc', doc, {})]))
    mb.add(message('third'))
    mb.flush()
    mb.close()
    put('%s.tnef' % tag, tnef([('readme.txt', README), ('concept.doc', doc)]))
    m = message('tnef')
    m.add_attachment(tnef([('concept.doc', doc)]), maintype='application', subtype='ms-tnef',
                     filename='winmail.dat')
    put('%s-tnef.eml' % tag, bytes(m))

# Mail: multipart nested three deep, names from filename* (RFC 2231) and from name= alone.
m = message('nested')
m.make_mixed()
alt = email.message.EmailMessage(policy=email.policy.SMTP)
alt.set_content('plain')
alt.add_alternative('<p>html</p>', subtype='html')
alt.make_mixed()
alt.add_attachment(INFECTED, maintype='application', subtype='msword', filename='deep.doc')
m.attach(alt)
put('nested-multipart.eml', bytes(m))
m = message('rfc2231')
m.add_attachment(INFECTED, maintype='application', subtype='msword',
                 filename=('utf-8', '', '\u20ac-r\u00e9sum\u00e9!.doc'))
put('rfc2231.eml', bytes(m))
raw = bytes(message('name only', [('x', INFECTED, {})]))
raw = raw.replace(b'Content-Disposition: attachment; filename="x"\r\n', b'')
raw = raw.replace(b'Content-Type: application/msword', b'Content-Type: application/msword; name="by-name.doc"')
put('name-only.eml', raw)
put('no-name.eml', bytes(message('no name', [('x', WIEDER, {})])).replace(
    b'Content-Disposition: attachment; filename="x"\r\n', b''))

# --- Nesting five deep: zip > tar.gz > 7z > mail > zip > document ----------------------------
level4 = zip_bytes([('x.doc', INFECTED)])
level3 = bytes(message('level3', [('n4.zip', level4, {})]))
level2 = seven_zip([('n3.eml', level3)])
if level2 is None:
    missing.append('nest5.zip')
else:
    level1 = tar_bytes([('n2.7z', level2)], mode='w:gz')
    put('nest5.zip', zip_bytes([('n1.tar.gz', level1)]))

# --- Names that are only names ---------------------------------------------------------------
put('names.zip', zip_bytes([('../../up.doc', INFECTED), ('/abs/path.doc', WIEDER),
                            ('ctl\x01\x1b[31m.doc', OUTLAW), ('bang!name.doc', CLEAN)]))
put('names.tar', tar_bytes([('../../up.doc', INFECTED), ('/abs/path.doc', WIEDER),
                            ('ctl\x01\x1b[31m.doc', OUTLAW), ('bang!name.doc', CLEAN)]))

# The EICAR test file zipped, as health checks send it.
put('eicar.zip', zip_bytes([('readme.txt', README), ('eicar.com', EICAR)]))

# Names in UTF-8 (zip's flag) and in bytes of no charset (a Latin-1 ustar name): kept as stored.
put('utf8-names.zip', zip_bytes([('r\u00e9sum\u00e9.doc', INFECTED)]))
put('latin1-names.tar', tar_bytes([('r\u00e9sum\u00e9.doc', INFECTED)], tarfile.USTAR_FORMAT,
                                  encoding='latin-1'))

# --- Encrypted -------------------------------------------------------------------------------
put_or_miss('encrypted.zip', zip_by_7z([('concept.doc', INFECTED)], '-psecret'))
put_or_miss('encrypted-aes.zip', zip_by_7z([('concept.doc', INFECTED)], '-psecret',
                                           '-mem=AES256'))
put_or_miss('encrypted.7z', seven_zip([('concept.doc', INFECTED)], '-psecret'))
put_or_miss('encrypted-headers.7z', seven_zip([('concept.doc', INFECTED)], '-psecret', '-mhe=on'))

# --- Truncated and damaged -------------------------------------------------------------------
whole = zip_bytes([('concept.doc', INFECTED), ('readme.txt', README)])
put('truncated.zip', whole[:len(whole) - 200])
put('truncated-early.zip', whole[:len(whole) // 3])
# Past the decoder's first 64 KiB of output, so that the members before the cut come out whole.
noise = random.Random(1996).randbytes(300000)
targz = tar_bytes([('concept.doc', INFECTED), ('noise.bin', noise)], mode='w:gz')
put('truncated.tar.gz', targz[:len(targz) // 2])
damaged = bytearray(zip_bytes([('readme.txt', README), ('concept.doc', INFECTED)]))
at = damaged.find(b'concept.doc') + 200
for i in range(at, at + 64):
    damaged[i] ^= 0x5A
put('damaged.zip', bytes(damaged))
seven = seven_zip([('concept.doc', INFECTED), ('readme.txt', README)])
put_or_miss('truncated.7z', None if seven is None else seven[:len(seven) // 2])

# --- Bombs -----------------------------------------------------------------------------------
ZEROS = 10 << 30
MIB = 1 << 20


def zeros_deflate(total):
    """Raw deflate of total zero bytes: one fully flushed block of 1 MiB repeated (a full flush
    leaves the compressor as it began), then the final block."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = c.compress(b'\0' * MIB) + c.flush(zlib.Z_FULL_FLUSH)
    tail = c.compress(b'') + c.flush(zlib.Z_FINISH)
    c2 = zlib.compressobj(9, zlib.DEFLATED, -15)
    assert c2.compress(b'\0' * MIB) + c2.flush(zlib.Z_FULL_FLUSH) == block
    return block, total // MIB, tail


def write_zeros_zip(path, name=b'zeros.bin'):
    block, count, tail = zeros_deflate(ZEROS)
    csize = len(block) * count + len(tail)
    with open(path, 'wb') as f:
        # Local header with a zip64 extra field (sizes in it), stored CRC of the zeros not
        # computed: the reader stops at the limit long before it could check it.
        extra = struct.pack('<HHQQ', 1, 16, ZEROS, csize)
        f.write(struct.pack('<IHHHHHIIIHH', 0x04034B50, 45, 0, 8, 0, 0x21, 0, 0xFFFFFFFF,
                            0xFFFFFFFF, len(name), len(extra)) + name + extra)
        for _ in range(count):
            f.write(block)
        f.write(tail)
        cd_at = f.tell()
        extra = struct.pack('<HHQQQ', 1, 24, ZEROS, csize, 0)
        cd = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 45, 45, 0, 8, 0, 0x21, 0, 0xFFFFFFFF,
                         0xFFFFFFFF, len(name), len(extra), 0, 0, 0, 0, 0) + name + extra
        f.write(cd)
        eocd64_at = f.tell()
        f.write(struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, 1, 1, len(cd), cd_at))
        f.write(struct.pack('<IIQI', 0x07064B50, 0, eocd64_at, 1))
        f.write(struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                            0xFFFFFFFF, 0))


def write_zeros_gz(path):
    block, count, tail = zeros_deflate(ZEROS)
    with open(path, 'wb') as f:
        f.write(b'\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03')
        for _ in range(count):
            f.write(block)
        f.write(tail)
        f.write(struct.pack('<II', 0, ZEROS & 0xFFFFFFFF))


write_zeros_zip(os.path.join(OUT, 'zeros-10g.zip'))
write_zeros_gz(os.path.join(OUT, 'zeros-10g.gz'))

with zipfile.ZipFile(os.path.join(OUT, 'many.zip'), 'w', zipfile.ZIP_STORED) as z:
    for i in range(100000):
        z.writestr(zipfile.ZipInfo('f%06d.txt' % i, date_time=(1996, 8, 1, 0, 0, 0)), b'x')

data = INFECTED
for depth in range(20, 0, -1):
    data = zip_bytes([('r%02d.%s' % (depth, 'doc' if depth == 20 else 'zip'), data)])
put('recursion-20.zip', data)
data = INFECTED
for depth in range(5, 0, -1):
    data = zip_bytes([('r%02d.%s' % (depth, 'doc' if depth == 5 else 'zip'), data)])
put('recursion-5.zip', data)


# --- A zip that contains itself --------------------------------------------------------------
# Its one member, deflated, inflates to the whole zip file: a deflate quine in the manner of Russ
# Cox's "Zip Files All The Way Down". Two kinds of block do all the work: a stored block, which
# prints the bytes after its 5-byte header ("print n"), and a fixed-Huffman block that copies
# the last n bytes of the output once more ("repeat n"), made exactly 5 bytes too. Then a
# program of them prints the file's head P, itself, and its tail Q. The CRC-32 of the member (the
# whole file) is stored in P and Q, which the program prints as well: CRC-32 is affine over GF(2)
# in the message's bits, so the fixed point crc(file(x)) = x is a linear system, solved below.

class Bits:
    """Deflate's bit order: fields from the lowest bit up; Huffman codes from their top bit."""

    def __init__(self):
        self.value = self.count = 0

    def put(self, value, count):
        self.value |= (value & ((1 << count) - 1)) << self.count
        self.count += count

    def code(self, code, count):
        for i in range(count - 1, -1, -1):
            self.put(code >> i & 1, 1)

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, 'little')


LENGTH_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83,
               99, 115, 131, 163, 195, 227, 258]
LENGTH_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
DISTANCE_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385]
DISTANCE_EXTRA = [0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7]


def fixed_symbol(bits, symbol):
    if symbol < 144:
        bits.code(0x30 + symbol, 8)
    elif symbol < 256:
        bits.code(0x190 + symbol - 144, 9)
    elif symbol < 280:
        bits.code(symbol - 256, 7)
    else:
        bits.code(0xC0 + symbol - 280, 8)


def fixed_copy(bits, length, distance):
    i = max(k for k in range(len(LENGTH_BASE) - 1) if LENGTH_BASE[k] <= length)
    fixed_symbol(bits, 257 + i)
    bits.put(length - LENGTH_BASE[i], LENGTH_EXTRA[i])
    j = max(k for k in range(len(DISTANCE_BASE)) if DISTANCE_BASE[k] <= distance)
    bits.code(j, 5)
    bits.put(distance - DISTANCE_BASE[j], DISTANCE_EXTRA[j])


def repeat(n, size=5, final=False):
    """'repeat n' in exactly size bytes, ending on a byte boundary (so that a stored block may
    follow): one copy or two (same distance), and empty blocks, as the bits come out; the last
    block final when asked (then only its bytes count)."""
    for parts in [[n]] + [[a, n - a] for a in range(3, n - 2)]:
        for empties in range(3):
            bits = Bits()
            bits.put(1 if final and not empties else 0, 1)
            bits.put(1, 2)
            for a in parts:
                fixed_copy(bits, a, n)
            fixed_symbol(bits, 256)
            for e in range(empties):
                bits.put(1 if final and e == empties - 1 else 0, 1)
                bits.put(1, 2)
                fixed_symbol(bits, 256)
            if bits.count == 8 * size or (final and len(bits.bytes()) == size):
                return bits.bytes()
    raise ValueError('no %d-byte encoding of repeat %d' % (size, n))


def stored(n):
    """'print n': a stored block's header, on a byte boundary."""
    return struct.pack('<BHH', 0, n, n ^ 0xFFFF)


def quine_zip(name, crc):
    """The zip whose member, name, is the zip itself; crc is what P and Q store."""
    assert len(name) == 30  # the head is then 60 bytes: 'repeat 65' fits 5 bytes
    q = 46 + len(name) + 22
    last = repeat(4 + q, size=4, final=True)  # the final block, 4 bytes as it turns out
    m = len(last) + q
    L, R = stored, repeat

    def program(P, Q):
        p = len(P)
        return b''.join([
            L(p + 5), P, L(p + 5),            # print P and this header
            R(p + 5),                         # ... again: P, and the stream so far
            L(5), R(p + 5),                   # print the repeat
            L(5), L(5),                       # print that print's header
            L(20), R(p + 5), L(5), L(5), L(20),  # print the four before this payload
            R(20),                            # ... again
            L(20), R(20), L(20), R(20), L(20),   # the loop: print 'repeat, print' twice
            R(20),                            # ... again, running one header ahead
            L(20), L(0), L(0), R(20), L(m),      # a print whose payload the next ops are
            L(0), L(0),                       # two empty prints
            R(20),                            # the payload above: the empty prints, itself, and
            L(m), last, Q,                    #   this header; print the last op and Q
            last,                             # repeat them: the stream ends, Q follows
        ])

    head = 30 + len(name)
    csize = len(program(b'\0' * head, b'\0' * q))
    total = head + csize + q
    P = struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0, 8, 0, 0x2821, crc, csize, total,
                    len(name), 0) + name
    cd = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 20, 20, 0, 8, 0, 0x2821, crc, csize,
                     total, len(name), 0, 0, 0, 0, 0, 0) + name
    Q = cd + struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 1, 1, len(cd), head + csize, 0)
    return P + program(P, Q) + Q


def crc_fixed_point(make):
    """x with crc32(make(x)) == x, make(x) placing x in fixed places of a message of fixed length.
    crc32(make(x)) = c0 ^ A x over GF(2), column i of A being crc32(make(1 << i)) ^ c0; so
    (I + A) x = c0, solved by Gauss-Jordan elimination. None when I + A is singular."""
    c0 = zlib.crc32(make(0))
    columns = [zlib.crc32(make(1 << i)) ^ c0 for i in range(32)]
    # Row r: bit i is the coefficient of x_i in output bit r; bit 32 the right-hand side.
    rows = [sum(((columns[i] >> r & 1) ^ (i == r)) << i for i in range(32)) | (c0 >> r & 1) << 32
            for r in range(32)]
    for col in range(32):
        pivot = next((r for r in range(col, 32) if rows[r] >> col & 1), None)
        if pivot is None:
            return None
        rows[col], rows[pivot] = rows[pivot], rows[col]
        for r in range(32):
            if r != col and rows[r] >> col & 1:
                rows[r] ^= rows[col]
    return sum((rows[r] >> 32 & 1) << r for r in range(32))


def make_self_zip():
    name = b'zip-that-holds-itself/self.zip'
    crc = crc_fixed_point(lambda x: quine_zip(name, x))
    data = quine_zip(name, crc)
    # A true quine: inflated, the member is the file, and its CRC holds.
    d = zlib.decompressobj(-15)
    assert d.decompress(data[30 + len(name):]) == data and d.eof
    assert zipfile.ZipFile(io.BytesIO(data)).read(name.decode()) == data
    return data


SELF = make_self_zip()
put('self.zip', SELF)
# unzip and libarchive (bsdtar) read the member as the whole file, where they are installed.
for reader in (['unzip', '-p'], ['bsdtar', '-xOf']):
    if shutil.which(reader[0]):
        got = subprocess.run(reader + [os.path.join(OUT, 'self.zip')], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout
        assert got == SELF, '%s reads %d bytes of self.zip' % (reader[0], len(got))



# --- Mail as gateways hand it over: BinHex, yEnc, messages inside a mail's text, mbox splitting -
HQX_ALPHABET = '!"#$%&\'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr'


def rle90(data):
    """BinHex 4.0's run-length step: a run of 3 to 255 as the byte, 0x90 and the count; 0x90
    itself as 0x90 0x00."""
    out, i = bytearray(), 0
    while i < len(data):
        n = 1
        while i + n < len(data) and data[i + n] == data[i] and n < 255:
            n += 1
        out += b'\x90\x00' if data[i] == 0x90 else data[i:i + 1]
        if n >= 3:
            out += bytes([0x90, n])
            i += n
        else:
            i += 1
    return bytes(out)


def binhex(name, data, rsrc=b'', bad_data_crc=False, cut=False, width=64):
    """A BinHex 4.0 text: header (name, type, creator, flags, fork lengths), data fork, resource
    fork, each with its CRC-16/XMODEM (binascii.crc_hqx), run-length coded, 6 bits a character,
    lines of width characters (None: one line) between ':'."""
    head = (bytes([len(name)]) + name + b'\0' + b'WDBNMSWD' + b'\0\0' +
            struct.pack('>II', len(data), len(rsrc)))
    data_crc = binascii.crc_hqx(data, 0) ^ (0x5A5A if bad_data_crc else 0)
    body = (head + struct.pack('>H', binascii.crc_hqx(head, 0)) + data +
            struct.pack('>H', data_crc) + rsrc + struct.pack('>H', binascii.crc_hqx(rsrc, 0)))
    coded = rle90(body)
    if cut:
        coded = coded[:len(coded) // 2]  # inside the data fork, the most of it
    chars = []
    for i in range(0, len(coded), 3):
        group = coded[i:i + 3]
        v = int.from_bytes(group + b'\0' * (3 - len(group)), 'big')
        chars += [HQX_ALPHABET[(v >> (18 - 6 * k)) & 63] for k in range(len(group) + 1)]
    text = ':' + ''.join(chars) + ('' if cut else ':')
    lines = [text[i:i + width] for i in range(0, len(text), width)] if width else [text]
    return ('(This file must be converted with BinHex 4.0)\r\n\r\n' +
            '\r\n'.join(lines) + '\r\n').encode('ascii')


def yenc(name, data, crc=None):
    """A yEnc block: =ybegin, lines of 128 (NUL, TAB, LF, CR, space, '.' and '=' escaped), =yend
    with the size and the CRC-32 (crc: a wrong one in its place)."""
    out, line = [], bytearray()
    for b in data:
        c = (b + 42) & 0xFF
        line += bytes([0x3D, (c + 64) & 0xFF]) if c in (0, 9, 10, 13, 32, 46, 61) else bytes([c])
        if len(line) >= 128:
            out.append(bytes(line))
            line = bytearray()
    if line:
        out.append(bytes(line))
    crc = zlib.crc32(data) if crc is None else crc
    return (b'=ybegin line=128 size=%d name=%s\r\n' % (len(data), name) + b'\r\n'.join(out) +
            b'\r\n=yend size=%d crc32=%08x\r\n' % (len(data), crc))


def with_part(subject, head, body):
    """A message of a text part and one part more, given as its header lines and body bytes."""
    m = message(subject)
    m.make_mixed()
    raw = bytes(m)
    closing = b'--' + m.get_boundary().encode() + b'--'
    part = b'--' + m.get_boundary().encode() + b'\r\n' + head + b'\r\n\r\n' + body + b'\r\n'
    return raw.replace(closing, part + closing)


def mbox_bytes(messages):
    """An mbox as Python's mailbox module writes it (mboxo: "From " in bodies as ">From ")."""
    with tempfile.TemporaryDirectory() as d:
        box = mailbox.mbox(os.path.join(d, 'x.mbox'))
        for m in messages:
            box.add(m)
        box.flush()
        box.close()
        with open(os.path.join(d, 'x.mbox'), 'rb') as f:
            return f.read()


def mboxcl2(messages):
    """mboxcl2: each message's body counted by its Content-Length, "From " in it left as it is."""
    out = b''
    for i, raw in enumerate(messages):
        head, _, body = raw.partition(b'\r\n\r\n')  # a binary body as it is
        head = head.replace(b'\r\n', b'\n')
        out += (b'From sender%d@example.org Mon Jul  1 12:00:00 1996\n' % i + head +
                b'\nContent-Length: %d\n\n' % len(body) + body + b'\n')
    return out


# A "From " line inside a text, with a header block after it: an mbox's message separator to a
# reader that splits on every such line.
FAKE_FROM = (b'From alice@example.org Mon Jan  1 00:00:00 1996\nFrom: alice@example.org\n'
             b'Subject: minutes\n\nAll agreed.\n')

for tag, doc in (('infected', INFECTED), ('clean', CLEAN)):
    # BinHex: a raw .hqx (with a resource fork), and a mac-binhex40 part.
    put('%s.hqx' % tag, binhex(b'concept.doc', doc, rsrc=b'\0\0\1\0' + README))
    put('%s-binhex.eml' % tag, with_part(
        'binhex', b'Content-Type: application/mac-binhex40; name="concept.hqx"\r\n'
        b'Content-Disposition: attachment; filename="concept.hqx"',
        binhex(b'concept.doc', doc)))
    # yEnc: an x-yencode part, and a block inside a text part.
    put('%s-yenc.eml' % tag, with_part(
        'yenc', b'Content-Type: application/msword; name="concept.doc"\r\n'
        b'Content-Transfer-Encoding: x-yencode', yenc(b'concept.doc', doc)))
    put('%s-inline-yenc.eml' % tag, with_part(
        'inline yenc', b'Content-Type: text/plain', b'The file:\r\n\r\n' +
        yenc(b'concept.doc', doc) + b'\r\nRegards.'))
    # A message after the closing delimiter (the epilogue), and in a plain-text body.
    inner = bytes(message('inner', [('concept.doc', doc, {})]))
    put('%s-epilogue.eml' % tag, bytes(message('outer', [('readme.txt', README, {})])) +
        b'\r\n' + inner)
    put('%s-text-message.eml' % tag, bytes(message('text')).rstrip(b'\r\n') +
        b'\r\n\r\nThe message below came back.\r\n\r\n' + inner)
    # What rspamd hands clamd for an mbox: the mbox without its first "From " line.
    box = mbox_bytes([message('first'), message('second', [('concept.doc', doc, {})]),
                      message('third')])
    put('%s-rspamd.eml' % tag, box[box.index(b'\n') + 1:])
    # mbox splitting: mboxo with an unescaped "From " line in the text before the attachment;
    # mboxcl2 whose binary zip holds one in its first member, before the document.
    notes = message('second', [('concept.doc', doc, {})],
                    body='Notes.\n\n' + FAKE_FROM.decode('ascii'))
    put('%s-mboxo-from.mbox' % tag, mbox_bytes([message('first'), notes, message('third')])
        .replace(b'\n>From alice@', b'\nFrom alice@'))
    zipped = zip_bytes([('notes.txt', b'\n' + FAKE_FROM), ('concept.doc', doc)],
                       zipfile.ZIP_STORED)
    put('%s-mboxcl2.mbox' % tag, mboxcl2([
        bytes(message('first')),
        b'From: alice@example.org\r\nTo: bob@example.org\r\nSubject: binary\r\n'
        b'Content-Type: application/zip; name="concept.zip"\r\n'
        b'Content-Transfer-Encoding: binary\r\n\r\n' + zipped,
        bytes(message('third'))]))

# Damage: CRCs that do not hold (the bytes still judged), a BinHex cut in its data fork.
put('binhex-badcrc.hqx', binhex(b'concept.doc', INFECTED, bad_data_crc=True))
put('binhex-badcrc-clean.hqx', binhex(b'concept.doc', CLEAN, bad_data_crc=True))
put('binhex-truncated.hqx', binhex(b'concept.doc', INFECTED, cut=True))
put('binhex-one-line.hqx', binhex(b'one-line.doc', INFECTED, width=None))
put('yenc-badcrc.eml', with_part(
    'yenc', b'Content-Type: application/msword; name="concept.doc"\r\n'
    b'Content-Transfer-Encoding: x-yencode', yenc(b'concept.doc', CLEAN, crc=0x12345678)))
# mbox splitting at its edges: a Content-Length that points at a "From " line inside an open
# multipart; one that is wrong (so not followed); a multipart that never closes, the next message
# after it.
second = bytes(message('second', [('concept.doc', INFECTED, {})],
                       body='Notes.\n\n' + FAKE_FROM.decode('ascii'))).replace(b'\r\n', b'\n')
head, _, body = second.partition(b'\n\n')
put('cl-inside-multipart.mbox', b'From a@example.org Mon Jul  1 12:00:00 1996\n' + head +
    b'\nContent-Length: %d\n\n' % body.index(b'From alice@') + body)
put('lying-cl.mbox', mboxcl2([bytes(message('first')), bytes(message('third'))])
    .replace(b'Content-Length: ', b'Content-Length: 9', 1) +
    mbox_bytes([message('second', [('concept.doc', INFECTED, {})])]))
unclosed = bytes(message('unclosed', [('readme.txt', README, {})])).replace(b'\r\n', b'\n')
put('unclosed-multipart.mbox', b'From a@example.org Mon Jul  1 12:00:00 1996\n' +
    unclosed[:unclosed.rindex(b'\n--')] + b'\n\n' +
    mbox_bytes([message('second', [('concept.doc', INFECTED, {})])]))
# mboxcl2 with a document as its binary body: its bytes exactly, the blank line after them the
# mbox's.
put('mboxcl2-binary.mbox', mboxcl2([
    b'From: alice@example.org\r\nSubject: binary\r\n'
    b'Content-Type: application/msword; name="concept.doc"\r\n'
    b'Content-Transfer-Encoding: binary\r\n\r\n' + INFECTED, bytes(message('after'))]))
# Sixty of them one after another, the document in the last: each split from the one before
# however many never close.
put('unclosed-many.mbox', b''.join(
    b'From a@example.org Mon Jul  1 12:00:00 1996\n' +
    (lambda m: m[:m.rindex(b'\n--')] + b'\n\n')(bytes(message(
        'unclosed %d' % i, [('readme.txt', README, {})] if i < 59 else
        [('concept.doc', INFECTED, {})])).replace(b'\r\n', b'\n')) for i in range(60)))
# Benign texts that quote headers: a reply chain quoting 300 header blocks (no MIME fields: no
# message), and a digest of 300 messages with MIME fields (each a message, side by side).
chain = ''.join('From: person%d@example.org\nSent: Monday\nTo: bob@example.org\n'
                'Subject: RE: plans\n\nReply %d.\n\n' % (i, i) for i in range(300))
put('quoted-headers.eml', bytes(message('quoted', body='Latest first.\n\n' + chain)))
digest = ''.join('------------------------------\n\nDate: Mon, 1 Jul 1996\nFrom: p%d@example.org\n'
                 'Subject: item %d\nContent-Type: text/plain\n\nItem %d.\n\n' % (i, i, i)
                 for i in range(300))
put('digest.eml', bytes(message('digest', body='Today\'s topics.\n\n' + digest)))
# More part delimiters than twice MaxFiles: not parsed.
put('delimiters.eml', bytes(message('delimiters', body='--x\n' * 20001)))
# --- Zips after a program, and members a central directory leaves out -----------------------
# A self-extracting zip is a program with a zip after it: its offsets count from the zip's start
# (as Python writes them), or from the file's once `zip -A` has adjusted them. The programs are
# any bytes with a program's head: an MZ header and padding, an ELF header, a '#!' line.
MZ_STUB = b'MZ\x90\x00\x03' + bytes(59) + b'PE\x00\x00' + bytes(range(256)) * 119  # 30 KiB
ELF_STUB = b'\x7fELF\x02\x01\x01' + bytes(9) + bytes(range(256)) * 40
SFX_MEMBERS = [('readme.txt', README), ('concept.doc', INFECTED)]


def after_program(stub, members, adjust=False):
    data = stub + zip_bytes(members)
    if not adjust:
        return data
    def make(d, names):
        path = os.path.join(d, 'sfx.exe')
        with open(path, 'wb') as f:
            f.write(data)
        if not tool('zip', '-A', path):
            return None
        with open(path, 'rb') as f:
            return f.read()
    return with_files([], make)


sfx = after_program(MZ_STUB, SFX_MEMBERS)
put('sfx.exe', sfx)
put_or_miss('sfx-adjusted.exe', after_program(MZ_STUB, SFX_MEMBERS, adjust=True))
put('sfx-clean.exe', after_program(MZ_STUB, [('readme.txt', README), ('concept.doc', CLEAN)]))
put('sfx-elf.bin', after_program(ELF_STUB, SFX_MEMBERS))
put('sfx-script.pyz', after_program(b'#!/usr/bin/env python3\n', [('__main__.py', b'print(1)\n')] +
                                    SFX_MEMBERS))
# A signature appended to the program after its zip, beyond libarchive's 16 KiB look for the end.
put('sfx-signed.exe', sfx + b'\x30\x82' + bytes(range(256)) * 80)
# Programs with no zip at their end, though one ends with a zip's end record of no entries (a zip
# library's template) and one holds a zip before other bytes: what they were.
put('program.exe', MZ_STUB)
put('program-empty-zip.exe', MZ_STUB + b'PK\x05\x06' + bytes(18))
put('program-zip-inside.exe', MZ_STUB + zip_bytes(SFX_MEMBERS) + bytes(range(256)) * 300)
# A zip after bytes that are no program: not looked for (clamd finds its local header).
put('zip-after-jpeg.jpg', b'\xff\xd8\xff\xe0\x00\x10JFIF\x00' + bytes(range(256)) * 40 +
    b'\xff\xd9' + zip_bytes(SFX_MEMBERS))
# A self-extracting zip as a member: of a zip (held by position) and of a tar (streamed).
put('sfx-in.zip', zip_bytes([('setup.exe', sfx)]))
put('sfx-in.tar', tar_bytes([('setup.exe', sfx)]))


class Unseekable(io.RawIOBase):
    """Where zipfile writes a data descriptor after each member: it cannot go back."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def hiding_zip(members, hidden, prefix=b'', descriptors=False):
    """A zip whose central directory leaves out the members named in hidden: their local headers
    and data stay where they were written."""
    out = Unseekable() if descriptors else io.BytesIO()
    out.write(prefix)
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(zipfile.ZipInfo(name, date_time=(1996, 8, 1, 12, 0, 0)), data,
                       zipfile.ZIP_DEFLATED)
        z.filelist = [i for i in z.filelist if i.filename not in hidden]
        for name in hidden:
            del z.NameToInfo[name]
    return bytes(out.data) if descriptors else out.getvalue()


NOTES = ('notes.txt', README)
put('hidden-first.zip', hiding_zip([('concept.doc', INFECTED), NOTES], {'concept.doc'}))
put('hidden-middle.zip', hiding_zip([NOTES, ('concept.doc', INFECTED), ('readme.txt', README)],
                                    {'concept.doc'}))
put('hidden-last.zip', hiding_zip([NOTES, ('concept.doc', INFECTED)], {'concept.doc'}))
put('hidden-descriptor.zip', hiding_zip([NOTES, ('concept.doc', INFECTED)], {'concept.doc'},
                                        descriptors=True))
put('hidden-two.zip', hiding_zip([('a.doc', WIEDER), NOTES, ('b.doc', OUTLAW), ('readme.txt', README)],
                                 {'a.doc', 'b.doc'}))
put('hidden-sfx.exe', hiding_zip([('concept.doc', INFECTED), NOTES], {'concept.doc'}, MZ_STUB))
# An entry left behind by an update that rewrote the directory without it: a clean document, noted.
put('hidden-clean.zip', hiding_zip([NOTES, ('old.doc', CLEAN), ('readme.txt', README)], {'old.doc'}))
# A streaming reader extracts the hidden member where it reads a pipe.
if shutil.which('bsdtar'):
    for name in ('hidden-middle.zip', 'hidden-descriptor.zip'):
        with open(os.path.join(OUT, name), 'rb') as f:
            listed = subprocess.run(['bsdtar', '-tf', '-'], input=f.read(), stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL).stdout.split()
        assert b'concept.doc' in listed, '%s: bsdtar lists %s' % (name, listed)

# --- MaxFiles, counted as clamd counts -------------------------------------------------------
# clamd counts the file and every file of more than 5 bytes it meets, at every depth, and stops
# any one zip after MaxFiles entries (its parent goes on). 10,000 attachments of a byte or few,
# the document last: clamd finds it. Of 100 bytes each: clamd stops before the document.
def many_attachments(size):
    """10,000 attachments of size bytes, then the document. email builds the message with the
    document and one attachment, whose part is repeated with its name and bytes changed (10,000
    calls of add_attachment take a minute)."""
    m = message('many attachments', [('f00000.txt', b'@' * size, {}),
                                     ('concept.doc', INFECTED, {})])
    raw = bytes(m)
    sep = b'--' + m.get_boundary().encode() + b'\r\n'
    pre, first, doc = raw.rsplit(sep, 2)
    filler = base64.b64encode(b'@' * size)
    parts = [first.replace(b'f00000.txt', b'f%05d.txt' % i).replace(
        filler, base64.b64encode(((b'%05d' % i) * (size // 5 + 1))[:size])) for i in range(10000)]
    return pre + b''.join(sep + p for p in parts) + sep + doc


put('attachments-10000-tiny.eml', many_attachments(3))
put('attachments-10000.eml', many_attachments(100))
tiny = [('t%05d.txt' % i, b'x') for i in range(10001)]
put('zip-10001-then-doc.zip', zip_bytes([('inner.zip', zip_bytes(tiny, zipfile.ZIP_STORED)),
                                         ('concept.doc', INFECTED)]))
put('zip-10001.zip', zip_bytes(tiny[:10000] + [('concept.doc', INFECTED)], zipfile.ZIP_STORED))

# Small trees whose document clamd reaches from some MaxFiles on (measured with clamscan
# --max-files, tests/test_container.cpp has the numbers): members of 100 bytes and of one.
P100 = b'p' * 100
put('count-zip.zip', zip_bytes([('a', P100), ('b', P100), ('c', P100), ('concept.doc', INFECTED)]))
put('count-zip-tiny.zip', zip_bytes([('t%02d' % i, b'x') for i in range(11)] +
                                    [('concept.doc', INFECTED)]))
put('count-zip-in-zip.zip', zip_bytes([('a', P100), ('z.zip', zip_bytes([('b', P100),
                                                                         ('concept.doc', INFECTED)]))]))
put('count-zip-after-zip.zip', zip_bytes([('inner.zip', zip_bytes([('t%02d' % i, b'x')
                                                                   for i in range(11)])),
                                          ('concept.doc', INFECTED)]))
put('count-tar-tiny.tar', tar_bytes([('t%02d' % i, b'x') for i in range(20)] +
                                    [('concept.doc', INFECTED)]))
put('count-tar.tar.gz', tar_bytes([('a', P100), ('b', P100), ('c', P100), ('concept.doc', INFECTED)],
                                  mode='w:gz'))
put('count-mail-tiny.eml', bytes(message('tiny', [('f%d.txt' % i, b'x%d' % i, {}) for i in range(9)]
                                         + [('concept.doc', INFECTED, {})])))
inner = message('inner', [('concept.doc', INFECTED, {})])
outer = message('outer')
outer.add_attachment(inner, filename='fwd.eml')
put('count-rfc822.eml', bytes(outer))
box = os.path.join(OUT, 'count.mbox')
if os.path.exists(box):
    os.remove(box)
mb = mailbox.mbox(box)
mb.add(message('m1', [('a1', P100, {})]))
mb.add(message('m2', [('a2', P100, {})]))
mb.add(message('m3', [('concept.doc', INFECTED, {})]))
mb.flush()
mb.close()

# --- Compound files that hold documents (tests/tools/mkcompound), and containers of them --------
COMPOUND = ['embedded-infected.doc', 'embedded-clean.doc', 'infected-embeds-clean.doc',
            'word97-embeds-infected.doc', 'word97-embeds-word97.doc', 'deep-embedded.doc',
            'workbook-embeds-infected.xls', 'workbook.xls', 'package-infected.bin',
            'doc-package-infected.doc', 'infected.msg', 'clean.msg', 'nested.msg', 'object.msg']
COMPOUND_HELD = ['msg.zip', 'msg-attaches-zip.msg', 'msg-attaches-msg.msg', 'infected-msg.eml',
                 'infected-embeds-clean.eml', 'package-of-msg.bin']


def compound_inputs():
    if not MKCOMPOUND:
        missing.extend(COMPOUND + COMPOUND_HELD)
        return
    subprocess.run(MKCOMPOUND + ['docs', OUT], check=True, stdout=subprocess.DEVNULL)
    msg = open(os.path.join(OUT, 'infected.msg'), 'rb').read()
    put('msg.zip', zip_bytes([('readme.txt', README), ('mail/infected.msg', msg)]))
    with tempfile.TemporaryDirectory() as d:
        def mk(kind, out, *files):
            argv = []
            for name, data in files:
                path = os.path.join(d, name)
                with open(path, 'wb') as f:
                    f.write(data)
                argv += [name, path]
            subprocess.run(MKCOMPOUND + [kind, os.path.join(OUT, out)] + argv, check=True,
                           stdout=subprocess.DEVNULL)
        mk('msg', 'msg-attaches-zip.msg', ('readme.txt', README),
           ('docs.zip', zip_bytes([('concept.doc', INFECTED)])))
        mk('msg', 'msg-attaches-msg.msg', ('inner.msg', msg))
        mk('package', 'package-of-msg.bin', ('mail.msg', msg))
    m = message('msg attached')
    m.add_attachment(msg, maintype='application', subtype='vnd.ms-outlook',
                     filename='infected.msg')
    put('infected-msg.eml', bytes(m))
    doc = open(os.path.join(OUT, 'infected-embeds-clean.doc'), 'rb').read()
    put('infected-embeds-clean.eml', bytes(message('embeds', [('report.doc', doc, {})])))


compound_inputs()

# --- Outlook's personal folders and offline stores (tests/pstwriter.py) ---------------------
# Each one whole is read back by pypff, where it is installed: its folders' messages and their
# attachments must be what was written.
NOISE = random.Random(1997).randbytes(20000)  # longer than a block: its data is an XBLOCK


def put_pst(name, folders, **kw):
    data = pstwriter.pst(folders, **kw)
    put(name, data)
    if not kw.get('faults'):
        got = pstwriter.listing(os.path.join(OUT, name))
        assert got is None or got == pstwriter.expected(folders), '%s: pypff reads %r' % (name,
                                                                                        got)
    return data


def pst_inbox(doc, *more):
    return [pstwriter.Folder('Inbox', messages=[pstwriter.Message('minutes', [
        pstwriter.Attachment('readme.txt', README)] + ([pstwriter.Attachment('minutes.doc', doc)]
                                                       if doc else []) + list(more))])]


pst_bytes = {}
for tag, doc in (('infected', INFECTED), ('clean', CLEAN)):
    pst_data = pst_bytes[tag] = put_pst('%s.pst' % tag, pst_inbox(doc))
    put_pst('%s.ost' % tag, pst_inbox(doc), client=b'SO', four_k=True)
    if pstwriter.permutation() is None:
        missing.append('%s-permute.pst' % tag)
    else:
        put_pst('%s-permute.pst' % tag, pst_inbox(doc, pstwriter.Attachment('noise.bin', NOISE)),
                crypt=pstwriter.CRYPT_PERMUTE)
    put('%s-pst.zip' % tag, zip_bytes([('mail.pst', pst_data)]))

# Where documents lie in a store: a subfolder, a folder with no name, a name only short, an
# attached message with no name, a zip, a name with '!' and beyond ASCII, a message its folder's
# table leaves out, one whose folder is gone, one with no parent at all.
put_pst('places.pst', [pstwriter.Folder(
    'Inbox', [pstwriter.Folder('Archive', messages=[pstwriter.Message('old', [
        pstwriter.Attachment(None, CLEAN, short_name='OLD.DOC')])]),
              pstwriter.Folder(None, messages=[pstwriter.Message('nameless', [
                  pstwriter.Attachment('nameless.doc', CLEAN)])])],
    [pstwriter.Message('minutes', [
        pstwriter.Attachment('minutes.doc', INFECTED), pstwriter.Attachment('noise.bin', NOISE),
        pstwriter.Attachment(message=pstwriter.Message('forwarded', [
            pstwriter.Attachment('inner.doc', WIEDER)])),
        pstwriter.Attachment('docs.zip', zip_bytes([('zipped.doc', OUTLAW)])),
        pstwriter.Attachment('r\u00e9sum\u00e9!.doc', WIEDER)]),
     pstwriter.Message('unlisted', [pstwriter.Attachment('unlisted.doc', WIEDER)], listed=False)])],
    parentless=[pstwriter.Message('parentless', [pstwriter.Attachment('parentless.doc', INFECTED)])],
    orphans=[pstwriter.Message('orphan', [pstwriter.Attachment('orphan.doc', OUTLAW)])])

# Damaged: cut in half; a header whose CRC fails; a node B-tree whose root leads to itself, and
# one of shared pages; an array block that is its own child; an array declaring 4 GiB.
pst_data = pst_bytes['infected']
put('truncated.pst', pst_data[:len(pst_data) // 2])
put('header-crc.pst', pst_data[:100] + bytes([pst_data[100] ^ 1]) + pst_data[101:])
put_pst('loop.pst', pst_inbox(INFECTED), faults=['nbt-loop'])
put_pst('shared.pst', pst_inbox(INFECTED), faults=['nbt-shared'])
put_pst('array-loop.pst', pst_inbox(None, pstwriter.Attachment('noise.bin', NOISE)),
        faults=['xblock-loop'])
put_pst('huge.pst', pst_inbox(None, pstwriter.Attachment('noise.bin', NOISE)),
        faults=['xblock-huge'])

for name in missing:
    print('missing ' + name)
