#!/usr/bin/python3
"""Writes the container layer's test inputs, made by code: archives with Python's zipfile,
tarfile, gzip, bz2 and lzma; 7z, gcab, zstd and genisoimage where they are installed; mail with
email and mailbox; TNEF and the bombs by hand (the 10 GiB member is written as repeated deflate
blocks, never held or written whole).

    container_inputs.py SAMPLES OUT     SAMPLES: the sample documents (mksamples' names)

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

SAMPLES, OUT = sys.argv[1], sys.argv[2]
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

for name in missing:
    print('missing ' + name)
