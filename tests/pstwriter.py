"""Writes Outlook's personal folders and offline stores (MS-PST, its Unicode layouts: 512-byte
pages, or 4 KiB pages as Outlook 2013 writes offline stores) for the container tests: just enough
of the format for a reader to find the folders, their messages and the messages' attachments,
and nothing that was not asked for (no allocation maps, no name-to-id map, no recipients, no
search folders).

    data = pstwriter.pst([Folder('Inbox', messages=[Message('hi', [Attachment('a.doc', b)])])])

The layers, bottom up:
  NDB  the header (its two CRCs), data blocks of at most 8176 bytes with their trailers, XBLOCKs
       for longer data, SLBLOCKs for a node's subnodes, and the two B-trees of pages: nodes (NBT)
       and blocks (BBT). External blocks are encoded when asked (the "compressible" permutation,
       whose table is taken from the installed libpff: see permutation()).
  LTP  the heap on a node (one block: the tests' properties are small; what is longer than an
       allocation may be goes to a subnode), the B-tree on the heap, property contexts (PC) and
       table contexts (TC).
  Messaging  the message store, the root folder and its folders (each a PC with its hierarchy,
       contents and associated contents tables), messages (a PC, an attachment table, the
       attachments' PCs in subnodes), attachments by value and attached messages; messages a
       contents table leaves out, and messages outside the folders.

Faults for the damage tests are asked for by name (pst(faults=...)): 'nbt-loop' turns the node
B-tree's root into a branch whose entries lead back to itself; 'nbt-shared' puts two levels of
branches above it whose entries all lead to the same page; 'xblock-loop' makes every XBLOCK an
XXBLOCK that lists itself; 'xblock-huge' declares 4 GiB in every XBLOCK.

listing() reads a file back with pypff, the oracle, and expected() says what it must read.
"""
import ctypes
import ctypes.util
import struct
import zlib

# --- Property tags (id << 16 | type) ----------------------------------------------------------
PT_INT16, PT_INT32, PT_BOOL, PT_OBJECT, PT_INT64, PT_STRING, PT_BINARY = (
    0x0002, 0x0003, 0x000B, 0x000D, 0x0014, 0x001F, 0x0102)
TAG_MESSAGE_CLASS = 0x001A001F
TAG_SUBJECT = 0x0037001F
TAG_MESSAGE_FLAGS = 0x0E070003
TAG_MESSAGE_SIZE = 0x0E080003
TAG_ATTACH_SIZE = 0x0E200003
TAG_RECORD_KEY = 0x0FF90102
TAG_BODY = 0x1000001F
TAG_DISPLAY_NAME = 0x3001001F
TAG_VALID_FOLDER_MASK = 0x35DF0003
TAG_IPM_SUBTREE_ENTRYID = 0x35E00102
TAG_CONTENT_COUNT = 0x36020003
TAG_CONTENT_UNREAD = 0x36030003
TAG_SUBFOLDERS = 0x360A000B
TAG_CONTAINER_CLASS = 0x3613001F
TAG_ATTACH_DATA_BINARY = 0x37010102
TAG_ATTACH_DATA_OBJECT = 0x3701000D
TAG_ATTACH_FILENAME = 0x3704001F
TAG_ATTACH_METHOD = 0x37050003
TAG_ATTACH_LONG_FILENAME = 0x3707001F
TAG_RENDERING_POSITION = 0x370B0003
TAG_LTP_ROW_ID = 0x67F20003
TAG_LTP_ROW_VER = 0x67F30003

ATTACH_BY_VALUE, ATTACH_EMBEDDED_MESSAGE = 1, 5

# --- Node ids: type in the low 5 bits, index above -------------------------------------------
NID_TYPE_NORMAL_FOLDER, NID_TYPE_NORMAL_MESSAGE, NID_TYPE_ATTACHMENT = 0x02, 0x04, 0x05
NID_TYPE_HIERARCHY_TABLE, NID_TYPE_CONTENTS_TABLE, NID_TYPE_ASSOC_CONTENTS_TABLE = 0x0D, 0x0E, 0x0F
NID_TYPE_LTP = 0x1F
NID_MESSAGE_STORE = 0x21
NID_ROOT_FOLDER = 0x122
NID_ATTACHMENT_TABLE = 0x671

CRYPT_NONE, CRYPT_PERMUTE = 0, 1

BLOCK_MAX = 8176          # data bytes a block holds (8192 less its trailer)
HEAP_ALLOC_MAX = 3580     # the longest allocation a heap holds: longer values go to subnodes
PROVIDER_UID = bytes(range(0x10, 0x20))


def crc(data):
    """MS-PST's CRC: CRC-32's table and reflection, started at 0 and not inverted at the end."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def signature(ib, bid):
    ib ^= bid
    return ((ib >> 16) ^ ib) & 0xFFFF


def nid(index, kind):
    return index << 5 | kind


def align(n, to):
    return (n + to - 1) // to * to


def permutation():
    """The "compressible encryption" of external blocks, byte for byte: the inverse of libpff's
    decoding table, asked of the installed libpff. None where it cannot be loaded."""
    path = ctypes.util.find_library('pff')
    if not path:
        return None
    try:
        decrypt = ctypes.CDLL(path).libpff_encryption_decrypt
    except (OSError, AttributeError):
        return None
    decrypt.restype = ctypes.c_ssize_t
    decrypt.argtypes = [ctypes.c_uint8, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t,
                        ctypes.c_void_p]
    buf = ctypes.create_string_buffer(bytes(range(256)), 256)
    if decrypt(CRYPT_PERMUTE, 0, buf, 256, None) != 256:
        return None
    plain = buf.raw[:256]
    assert sorted(plain) == list(range(256)), 'not a permutation'
    encode = bytearray(256)
    for cipher, p in enumerate(plain):
        encode[p] = cipher
    return bytes(encode)


# --- The messaging layer's input ---------------------------------------------------------------
class Attachment:
    """A file by value (data), or an attached message (message); named by long and short file
    names, either or both left out when None."""

    def __init__(self, long_name=None, data=b'', message=None, short_name=None):
        self.long_name, self.short_name, self.data, self.message = (
            long_name, short_name, data, message)


class Message:
    """A message; one not listed is left out of its folder's contents table (its node still
    names the folder its parent)."""

    def __init__(self, subject, attachments=(), body='Hello.\r\n', listed=True):
        self.subject, self.attachments, self.body, self.listed = (
            subject, list(attachments), body, listed)


class Folder:
    def __init__(self, name, folders=(), messages=()):
        self.name, self.folders, self.messages = name, list(folders), list(messages)


# --- LTP: the heap on a node, its B-tree, property and table contexts --------------------------
class Heap:
    """A heap on a node held in one block: HNHDR, the allocations, the page map."""

    def __init__(self, client_sig):
        self.client_sig, self.allocs, self.user_root = client_sig, [], 0

    def alloc(self, data=b''):
        assert len(data) <= HEAP_ALLOC_MAX
        self.allocs.append(bytes(data))
        return len(self.allocs) << 5  # hidType 0, hidIndex from 1, block 0

    def set(self, hid, data):
        self.allocs[(hid >> 5) - 1] = bytes(data)

    def bytes(self):
        body = b''.join(self.allocs)
        ib_map = align(12 + len(body), 2)
        offsets, at = [12], 12
        for a in self.allocs:
            at += len(a)
            offsets.append(at)
        out = struct.pack('<HBBII', ib_map, 0xEC, self.client_sig, self.user_root, 0) + body
        out += b'\0' * (ib_map - len(out))
        out += struct.pack('<HH', len(self.allocs), 0) + struct.pack('<%dH' % len(offsets),
                                                                      *offsets)
        assert len(out) <= BLOCK_MAX, 'heap outgrows one block'
        return out


def bth(heap, key_size, entry_size, records):
    """A B-tree on the heap of one leaf: its header's HID. records: (key bytes, entry bytes)."""
    hid = heap.alloc()
    root = heap.alloc(b''.join(k + e for k, e in sorted(records))) if records else 0
    heap.set(hid, struct.pack('<BBBBI', 0xB5, key_size, entry_size, 0, root))
    return hid


def utf16(s):
    return s.encode('utf-16-le')


class Subnodes:
    """The subnodes of one node, to become its SLBLOCK: nid -> (bidData, bidSub)."""

    def __init__(self, writer):
        self.writer, self.entries, self.next_ltp = writer, {}, 0x400

    def add(self, nid_, bid_data, bid_sub=0):
        assert nid_ not in self.entries
        self.entries[nid_] = (bid_data, bid_sub)

    def data(self, data):
        """A value too long for the heap, as a subnode of its own: its NID."""
        n = nid(self.next_ltp, NID_TYPE_LTP)
        self.next_ltp += 1
        self.add(n, self.writer.data(data))
        return n

    def block(self):
        return self.writer.slblock(self.entries) if self.entries else 0


def value_bytes(tag, value):
    kind = tag & 0xFFFF
    if kind == PT_STRING:
        return utf16(value)
    if kind == PT_INT64:
        return struct.pack('<q', value)
    return bytes(value)


def pc(writer, props, subnodes):
    """A property context: its data block's BID. props: {tag: value}; an object's value is
    (nid, size), its subnode being the caller's."""
    heap = Heap(0xBC)
    records = []
    for tag in sorted(props):
        kind, value = tag & 0xFFFF, props[tag]
        if kind in (PT_INT16, PT_INT32, PT_BOOL):
            hnid = value & 0xFFFFFFFF
        elif kind == PT_OBJECT:
            hnid = heap.alloc(struct.pack('<II', *value))
        else:
            data = value_bytes(tag, value)
            hnid = heap.alloc(data) if len(data) <= HEAP_ALLOC_MAX else subnodes.data(data)
        records.append((struct.pack('<H', tag >> 16), struct.pack('<HI', kind, hnid)))
    heap.user_root = bth(heap, 2, 6, records)
    return writer.data(heap.bytes())


def tc(writer, columns, rows, subnodes):
    """A table context: its data block's BID. columns: tags besides the row id and version;
    rows: one dict a row, the row id under TAG_LTP_ROW_ID."""
    heap = Heap(0x7C)
    sizes = {PT_INT16: 2, PT_BOOL: 1, PT_INT64: 8}
    cols = [TAG_LTP_ROW_ID, TAG_LTP_ROW_VER] + list(columns)
    width = {t: sizes.get(t & 0xFFFF, 4) for t in cols}
    # Row layout: 8- and 4-byte cells (the row id first), then 2-byte, then 1-byte, then the cell
    # existence bitmap; each cell's bit is its column's place in that order.
    order = ([t for t in cols if width[t] in (4, 8)] + [t for t in cols if width[t] == 2] +
             [t for t in cols if width[t] == 1])
    ib, place, ends = {}, 0, []
    for group in ((4, 8), (2,), (1,)):
        for t in order:
            if width[t] in group:
                ib[t] = place
                place += width[t]
        ends.append(place)
    bitmap = (len(order) + 7) // 8
    row_size = place + bitmap
    matrix = b''
    for r in rows:
        cells = bytearray(row_size)
        for i, t in enumerate(order):
            if t not in r:
                continue
            kind, v = t & 0xFFFF, r[t]
            if kind in (PT_STRING, PT_BINARY):
                data = value_bytes(t, v)
                v = heap.alloc(data) if len(data) <= HEAP_ALLOC_MAX else subnodes.data(data)
            cells[ib[t]:ib[t] + width[t]] = (v & (1 << 8 * width[t]) - 1).to_bytes(width[t],
                                                                                    'little')
            cells[place + i // 8] |= 0x80 >> (i % 8)
        matrix += bytes(cells)
    tcinfo = heap.alloc()
    index = bth(heap, 4, 4, [(struct.pack('<I', r[TAG_LTP_ROW_ID]), struct.pack('<I', i))
                             for i, r in enumerate(rows)])
    if not matrix:
        rows_hnid = 0
    elif len(matrix) <= HEAP_ALLOC_MAX:
        rows_hnid = heap.alloc(matrix)
    else:
        rows_hnid = subnodes.data(matrix)
    descs = b''.join(struct.pack('<IHBB', t, ib[t], width[t], order.index(t)) for t in sorted(cols))
    heap.set(tcinfo, struct.pack('<BB4HIII', 0x7C, len(cols), ends[0], ends[1], ends[2],
                                 row_size, index, rows_hnid, 0) + descs)
    heap.user_root = tcinfo
    return writer.data(heap.bytes())


# --- NDB: blocks, the two B-trees and the header -----------------------------------------------
class Layout:
    """Unicode with 512-byte pages (wVer 23), or with 4 KiB pages (wVer 36, as Outlook 2013 writes
    offline stores): bigger pages and block units, longer trailers, blocks stored compressed
    (zlib) when that is shorter."""

    def __init__(self, four_k):
        self.version = 36 if four_k else 23
        self.page = 4096 if four_k else 512
        self.unit = 512 if four_k else 64
        self.footer = 24 if four_k else 16
        self.entries = 4056 if four_k else 488  # a page's entries; its counts follow
        self.compress = four_k


class Writer:
    def __init__(self, crypt=CRYPT_NONE, client=b'SM', faults=(), four_k=False):
        self.crypt, self.client, self.faults = crypt, client, set(faults)
        self.layout = Layout(four_k)
        self.encode = permutation() if crypt == CRYPT_PERMUTE else None
        if crypt == CRYPT_PERMUTE and self.encode is None:
            raise RuntimeError('no permutation: libpff cannot be loaded')
        self.blocks = []  # (bid, stored bytes, length before compression)
        self.nodes = {}   # nid -> (bidData, bidSub, nidParent)
        self.next_bid = 4

    def _bid(self, internal):
        bid = self.next_bid | (2 if internal else 0)
        self.next_bid += 4
        return bid

    def block(self, data, internal=False, bid=None, compress=True):
        assert len(data) <= BLOCK_MAX
        bid = bid or self._bid(internal)
        if not internal and self.encode is not None:
            data = data.translate(self.encode)
        stored = bytes(data)
        if compress and self.layout.compress and len(zlib.compress(stored)) < len(stored):
            stored = zlib.compress(stored)
        self.blocks.append((bid, stored, len(data)))
        return bid

    def data(self, data):
        """Data of any length: one block, or an XBLOCK of blocks."""
        if len(data) <= BLOCK_MAX:
            return self.block(data)
        # (libpff 20180714 reads no array, nor a block through one, stored compressed: plain.)
        bids = [self.block(data[i:i + BLOCK_MAX], compress=False)
                for i in range(0, len(data), BLOCK_MAX)]
        assert len(bids) <= 1021, 'longer than one XBLOCK holds'
        bid, level, total = self._bid(True), 1, len(data)
        if 'xblock-huge' in self.faults:
            total = 0xFFFFFFFF
        if 'xblock-loop' in self.faults:
            level, bids = 2, [bid] * len(bids)  # an XXBLOCK whose entries are itself
        return self.block(struct.pack('<BBHI', 1, level, len(bids), total) +
                          struct.pack('<%dQ' % len(bids), *bids), internal=True, bid=bid,
                          compress=False)

    def slblock(self, entries):
        assert len(entries) <= (BLOCK_MAX - 8) // 24
        body = b''.join(struct.pack('<QQQ', n, d, s) for n, (d, s) in sorted(entries.items()))
        return self.block(struct.pack('<BBHI', 2, 0, len(entries), 0) + body, internal=True)

    def node(self, nid_, bid_data, bid_sub=0, parent=0):
        assert nid_ not in self.nodes
        self.nodes[nid_] = (bid_data, bid_sub, parent)

    def file(self):
        L = self.layout
        at = 0x4400  # where the first allocation map would be: none is written
        laid, body = [], bytearray()
        for bid, data, plain in self.blocks:
            size = align(len(data), L.unit)
            if size - len(data) < L.footer:
                size += L.unit
            ib = at + len(body)
            trailer = struct.pack('<HHIQ', len(data), signature(ib, bid), crc(data), bid)
            if L.footer == 24:
                trailer += struct.pack('<HHI', 2, plain, 0)
            body += data + b'\0' * (size - L.footer - len(data)) + trailer
            laid.append((bid, ib, len(data)))
        body += b'\0' * (align(at + len(body), L.page) - at - len(body))
        pages = []
        next_page = [0x100000]  # page BIDs: a range of their own

        def page(ptype, level, entries, entry_size):
            ib = at + len(body) + L.page * len(pages)
            bid = next_page[0]
            next_page[0] += 4
            pages.append([ptype, level, entries, entry_size, ib, bid])
            return bid, ib

        def branch(key, ref):
            return struct.pack('<QQQ', key, ref[0], ref[1])

        def tree(ptype, leaf_entries, leaf_size):
            """Leaves of packed entries (key, bytes), branches above: the root's (bid, ib)."""
            level, size, items = 0, leaf_size, leaf_entries
            while True:
                most = L.entries // size
                made = []
                for i in range(0, max(len(items), 1), most):
                    chunk = items[i:i + most]
                    made.append((chunk[0][0] if chunk else 0,
                                 page(ptype, level, [e for _, e in chunk], size)))
                if len(made) == 1:
                    return made[0][1]
                items = [(k, branch(k, ref)) for k, ref in made]
                level, size = level + 1, 24

        nbt = [(n, struct.pack('<QQQII', n, d, s, p, 0))
               for n, (d, s, p) in sorted(self.nodes.items())]
        bbt = [(bid, struct.pack('<QQHHI', bid, ib, cb, 2, 0)) for bid, ib, cb in sorted(laid)]
        nbt_root = tree(0x81, nbt, 32)
        bbt_root = tree(0x80, bbt, 24)
        if 'nbt-loop' in self.faults:
            # The root turns into a branch whose entries all lead back to itself.
            root = next(p for p in pages if p[5] == nbt_root[0])
            root[1:4] = [1, [branch(0x21, nbt_root)] * 20, 24]
        if 'nbt-shared' in self.faults:
            # Two levels of branches above the root, every entry of each leading to the same
            # page below: no loop, but far more paths than the file has pages.
            level = next(p for p in pages if p[5] == nbt_root[0])[1]
            shared = page(0x81, level + 1, [branch(0x21, nbt_root)] * 20, 24)
            nbt_root = page(0x81, level + 2, [branch(0x21, shared)] * 20, 24)
        wide = L.page == 4096
        for ptype, level, entries, entry_size, ib, bid in pages:
            content = b''.join(entries)
            content += b'\0' * (L.entries - len(content))
            most = L.entries // entry_size
            if wide:
                content += struct.pack('<HHBB10x', len(entries), most, entry_size, level)
            else:
                content += struct.pack('<BBBBI', len(entries), most, entry_size, level, 0)
            body += content + struct.pack('<BBHIQ', ptype, ptype, signature(ib, bid),
                                          crc(content), bid)
            if wide:
                body += b'\0' * 8
        eof = at + len(body)
        root = struct.pack('<IQQQQQQQQBBH', 0, eof, 0, 0, 0, nbt_root[0], nbt_root[1],
                           bbt_root[0], bbt_root[1], 0, 0, 0)
        rgnid = struct.pack('<32I', *([0x400] * 32))
        head = (self.client + struct.pack('<HHBBIIQQI', L.version, 19, 1, 1, 0, 0, 0,
                                          next_page[0], 0x5A4D4251) + rgnid +
                struct.pack('<Q', 0) + root + struct.pack('<I', 0) + b'\xff' * 256 +
                struct.pack('<BBHQ', 0x80, self.crypt, 0, self.next_bid))
        assert len(head) == 516
        header = b'!BDN' + struct.pack('<I', crc(head[:471])) + head
        header += struct.pack('<I', crc(head)) + b'\0' * 36
        assert len(header) == 564
        return header + b'\0' * (at - len(header)) + bytes(body)


# --- The messaging layer -----------------------------------------------------------------------
class Store:
    def __init__(self, writer):
        self.w = writer
        self.next_folder, self.next_message = 0x401, 0x10000

    def folder(self, f, nid_, parent, assoc=True):
        w = self.w
        index = nid_ >> 5
        sub_nids = []
        for child in f.folders:
            n = nid(self.next_folder, NID_TYPE_NORMAL_FOLDER)
            self.next_folder += 1
            sub_nids.append((n, child))
        props = {TAG_CONTENT_COUNT: len(f.messages), TAG_CONTENT_UNREAD: 0,
                 TAG_SUBFOLDERS: int(bool(f.folders)), TAG_CONTAINER_CLASS: 'IPF.Note'}
        if f.name is not None:
            props[TAG_DISPLAY_NAME] = f.name
        sub = Subnodes(w)
        w.node(nid_, pc(w, props, sub), sub.block(), parent)
        rows = [{TAG_LTP_ROW_ID: n, TAG_LTP_ROW_VER: 1, TAG_DISPLAY_NAME: c.name or '',
                 TAG_CONTENT_COUNT: len(c.messages), TAG_SUBFOLDERS: int(bool(c.folders))}
                for n, c in sub_nids]
        sub = Subnodes(w)
        w.node(nid(index, NID_TYPE_HIERARCHY_TABLE),
               tc(w, [TAG_DISPLAY_NAME, TAG_CONTENT_COUNT, TAG_SUBFOLDERS], rows, sub),
               sub.block())
        message_nids = []
        for m in f.messages:
            n = nid(self.next_message, NID_TYPE_NORMAL_MESSAGE)
            self.next_message += 1
            message_nids.append(n)
            self.message(m, n, nid_)
        rows = [{TAG_LTP_ROW_ID: n, TAG_LTP_ROW_VER: 1, TAG_SUBJECT: m.subject}
                for n, m in zip(message_nids, f.messages) if m.listed]
        sub = Subnodes(w)
        w.node(nid(index, NID_TYPE_CONTENTS_TABLE), tc(w, [TAG_SUBJECT], rows, sub), sub.block())
        if assoc:
            sub = Subnodes(w)
            w.node(nid(index, NID_TYPE_ASSOC_CONTENTS_TABLE), tc(w, [], [], sub), sub.block())
        for n, child in sub_nids:
            self.folder(child, n, nid_)

    def message_nodes(self, m):
        """A message's PC and subnode tree: (bidData, bidSub)."""
        w = self.w
        sub = Subnodes(w)
        rows = []
        for i, a in enumerate(m.attachments):
            anid = nid(0x400 + i, NID_TYPE_ATTACHMENT)
            asub = Subnodes(w)
            props = {TAG_ATTACH_SIZE: len(a.data), TAG_RENDERING_POSITION: 0xFFFFFFFF}
            if a.long_name is not None:
                props[TAG_ATTACH_LONG_FILENAME] = a.long_name
                props[TAG_DISPLAY_NAME] = a.long_name
            if a.short_name is not None:
                props[TAG_ATTACH_FILENAME] = a.short_name
            if a.message is not None:
                props[TAG_ATTACH_METHOD] = ATTACH_EMBEDDED_MESSAGE
                enid = nid(0x4000 + i, NID_TYPE_NORMAL_MESSAGE)
                data_bid, sub_bid = self.message_nodes(a.message)
                asub.add(enid, data_bid, sub_bid)
                props[TAG_ATTACH_DATA_OBJECT] = (enid, 0)
            else:
                props[TAG_ATTACH_METHOD] = ATTACH_BY_VALUE
                props[TAG_ATTACH_DATA_BINARY] = a.data
            sub.add(anid, pc(w, props, asub), asub.block())
            row = {TAG_LTP_ROW_ID: anid, TAG_LTP_ROW_VER: 1, TAG_ATTACH_SIZE: len(a.data),
                   TAG_ATTACH_METHOD: props[TAG_ATTACH_METHOD]}
            if a.long_name is not None:
                row[TAG_ATTACH_LONG_FILENAME] = a.long_name
            rows.append(row)
        if m.attachments:
            tsub = Subnodes(w)
            sub.add(NID_ATTACHMENT_TABLE,
                    tc(w, [TAG_ATTACH_SIZE, TAG_ATTACH_METHOD, TAG_ATTACH_LONG_FILENAME], rows,
                       tsub), tsub.block())
        props = {TAG_MESSAGE_CLASS: 'IPM.Note', TAG_SUBJECT: m.subject, TAG_BODY: m.body,
                 TAG_MESSAGE_FLAGS: 0x11 if m.attachments else 0x01,
                 TAG_MESSAGE_SIZE: sum(len(a.data) for a in m.attachments) + 1024}
        return pc(w, props, sub), sub.block()

    def message(self, m, nid_, parent):
        data_bid, sub_bid = self.message_nodes(m)
        self.w.node(nid_, data_bid, sub_bid, parent)

    def outside(self, m, parent):
        """A message outside the folders: its parent a node that is not there (0: none)."""
        n = nid(self.next_message, NID_TYPE_NORMAL_MESSAGE)
        self.next_message += 1
        self.message(m, n, parent)


# A folder's node id that no node has: the parent of orphans.
NID_MISSING_FOLDER = nid(0x7FFF, NID_TYPE_NORMAL_FOLDER)


def pst(folders, crypt=CRYPT_NONE, client=b'SM', faults=(), four_k=False, orphans=(),
        parentless=()):
    """The file's bytes: folders under the top of the store's folders (the IPM subtree, as Outlook
    shows them), itself below the unnamed root folder; orphans, messages whose parent folder is
    missing, and parentless messages, whose node names no parent."""
    w = Writer(crypt, client, faults, four_k)
    s = Store(w)
    top = nid(s.next_folder, NID_TYPE_NORMAL_FOLDER)
    entry_id = struct.pack('<I', 0) + PROVIDER_UID + struct.pack('<I', top)
    sub = Subnodes(w)
    w.node(NID_MESSAGE_STORE, pc(w, {TAG_RECORD_KEY: PROVIDER_UID,
                                     TAG_DISPLAY_NAME: 'Personal Folders',
                                     TAG_VALID_FOLDER_MASK: 0x89,
                                     TAG_IPM_SUBTREE_ENTRYID: entry_id}, sub), sub.block())
    # The root's one subfolder is the top, the node id taken above.
    s.folder(Folder(None, [Folder('Top of Personal Folders', folders)]), NID_ROOT_FOLDER,
             NID_ROOT_FOLDER)
    for m in orphans:
        s.outside(m, NID_MISSING_FOLDER)
    for m in parentless:
        s.outside(m, 0)
    return w.file()


def expected(folders):
    """What listing() reads of a file written of folders: the messages its folders' tables list,
    each folder's before its subfolders'."""
    out = []

    def walk(fs, path):
        for f in fs:
            p = path + [f.name or '']
            for m in f.messages:
                if m.listed:
                    out.append(('/'.join(p), m.subject, [
                        (a.long_name, ATTACH_EMBEDDED_MESSAGE if a.message else ATTACH_BY_VALUE,
                         None if a.message else a.data) for a in m.attachments]))
            walk(f.folders, p)

    walk(folders, ['Top of Personal Folders'])
    return out


def listing(path):
    """What pypff reads of the file, for every message its folders' tables list, in order: (folder
    path, subject, attachments), an attachment as (long file name, method, its bytes) (pypff
    reads no attached message); None where pypff is not installed."""
    try:
        import pypff
    except ImportError:
        return None
    out = []

    def props(item):
        got = {}
        for rs in item.record_sets:
            for e in rs.entries:
                got.setdefault(e.entry_type, e)
        return got

    def attachments(m):
        got = []
        for i in range(m.number_of_attachments):
            a = m.get_attachment(i)
            p = props(a)
            name = p[0x3707].data_as_string if 0x3707 in p else None
            method = p[0x3705].data_as_integer
            data = a.read_buffer(a.size) if method == ATTACH_BY_VALUE else None
            got.append((name, method, data))
        return got

    def walk(folder, path):
        for i in range(folder.number_of_sub_messages):
            m = folder.get_sub_message(i)
            out.append(('/'.join(path), m.subject, attachments(m)))
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, path + [sub.name or ''])

    f = pypff.file()
    f.open(path)
    walk(f.get_root_folder(), [])
    f.close()
    return out
