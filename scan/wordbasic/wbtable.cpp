// The macro table walk: every section the table holds, every macro entry with its name,
// description and menu text, and what the library's byte scan makes of each entry.
#include <algorithm>

#include "wordbasic.h"
#include "zm_limits.h"

namespace wordbasic {
namespace {

constexpr uint8_t kMarkTaken = 0x55;
constexpr size_t kEntryBytes = 24;
constexpr size_t kMenuBytes = 12;

uint16_t Le16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | (pb[1] << 8)); }
uint32_t Le32(const uint8_t* pb) {
  return static_cast<uint32_t>(pb[0]) | (static_cast<uint32_t>(pb[1]) << 8) |
         (static_cast<uint32_t>(pb[2]) << 16) | (static_cast<uint32_t>(pb[3]) << 24);
}

// A walk over untrusted bytes: every take checks that what it needs is there.
class Cursor {
 public:
  Cursor(const uint8_t* pb, size_t cb) : m_pb(pb), m_cb(cb) {}
  bool Has(size_t n) const { return n <= m_cb && m_pos <= m_cb - n; }
  bool Skip(size_t n) {
    if (!Has(n)) return false;
    m_pos += n;
    return true;
  }
  bool U8(unsigned* pv) {
    if (!Has(1)) return false;
    *pv = m_pb[m_pos++];
    return true;
  }
  bool U16(unsigned* pv) {
    if (!Has(2)) return false;
    *pv = Le16(m_pb + m_pos);
    m_pos += 2;
    return true;
  }
  const uint8_t* Here() const { return m_pb + m_pos; }
  size_t Pos() const { return m_pos; }
  void Seek(size_t pos) { m_pos = pos; }

 private:
  const uint8_t* m_pb;
  size_t m_cb;
  size_t m_pos = 0;
};

// 0x03: a count of 14-byte records, then a second count (with an optional 0x00 0x02 lead) of
// 4-byte records and one byte more.
bool Section03(Cursor* pc, uint32_t* pnRecords) {
  unsigned n1, n2;
  if (!pc->U8(&n1) || !pc->Skip(n1 * 14u) || !pc->U8(&n2)) return false;
  *pnRecords = n1;
  if (n2 == 0) {
    size_t at = pc->Pos();
    unsigned b;
    if (!pc->U8(&b)) return false;
    if (b != 2) {
      pc->Seek(at);
      return true;
    }
    if (!pc->U8(&n2)) return false;
  }
  *pnRecords += n2;
  return n2 == 0 || pc->Skip(n2 * 4u + 1);
}

// 0x10: where its texts begin and end (the size counts from the first size field), and whether
// they are UTF-16.
struct TextSpan {
  size_t lFirst = 0, lEnd = 0;
  bool bUtf16 = false;
};
bool Section10(Cursor* pc, TextSpan* pSpan) {
  size_t at = pc->Pos();
  unsigned cb;
  if (!pc->U16(&cb)) return false;
  pSpan->bUtf16 = cb == 0xFFFF;
  if (pSpan->bUtf16 && !pc->U16(&cb)) return false;
  if (at + cb < pc->Pos()) return false;  // a size inside its own fields
  pSpan->lFirst = pc->Pos();
  pc->Seek(at);
  if (!pc->Skip(cb)) return false;
  pSpan->lEnd = pc->Pos();
  return true;
}

// The next whole text of a 0x10 section at *pPos (below lEnd), or false.
bool NextText(const uint8_t* pb, const TextSpan& span, size_t* pPos, TextRef* pText) {
  Cursor c(pb, span.lEnd);
  c.Seek(*pPos);
  unsigned n;
  if (span.bUtf16 ? !c.U16(&n) : !c.U8(&n)) return false;
  size_t cbText = span.bUtf16 ? 2u * n : n;
  size_t at = c.Pos();
  if (!c.Skip(cbText) || !c.Skip(2)) return false;  // the text and its reference count
  pText->lAt = static_cast<uint32_t>(at);
  pText->cb = static_cast<uint32_t>(cbText);
  pText->bPresent = true;
  pText->bUtf16 = span.bUtf16;
  *pPos = c.Pos();
  return true;
}

// 0x11: a count, then per name its 16-bit id, an 8-bit length, the name and one byte more.
bool Section11(Cursor* pc, uint32_t* pnNames) {
  unsigned n, len;
  if (!pc->U16(&n)) return false;
  for (unsigned i = 0; i < n; ++i) {
    if (!pc->Skip(2) || !pc->U8(&len) || !pc->Skip(len + 1u)) return false;
  }
  *pnNames = n;
  return true;
}

Entry ReadEntry(const uint8_t* pb, size_t at) {
  Entry e;
  e.lAt = static_cast<uint32_t>(at);
  e.bMark = pb[at];
  e.bKey = pb[at + 1];
  e.wNameId = Le16(pb + at + 2);
  e.wTextIndex = Le16(pb + at + 4);
  e.lLength = Le32(pb + at + 0x0C);
  e.lState = Le32(pb + at + 0x10);
  e.lOffset = Le32(pb + at + 0x14);
  return e;
}

// The entries of aEntries[0..n) whose key (by `key`) is v, in a range sorted by that key.
template <typename Key>
std::pair<Entry*, Entry*> EqualRange(Entry* aEntries, size_t n, unsigned v, Key key) {
  auto less = [&](const Entry& e, unsigned x) { return key(e) < x; };
  auto greater = [&](unsigned x, const Entry& e) { return x < key(e); };
  return {std::lower_bound(aEntries, aEntries + n, v, less),
          std::upper_bound(aEntries, aEntries + n, v, greater)};
}

template <typename Key>
void SortBy(Entry* aEntries, size_t n, Key key) {
  std::sort(aEntries, aEntries + n, [&](const Entry& a, const Entry& b) {
    return key(a) != key(b) ? key(a) < key(b) : a.lAt < b.lAt;
  });
}

// Names, by id, from the whole 0x11 sections: the first for an id wins.
void ResolveNames(const uint8_t* pb, const Table& t, Entry* aEntries, size_t n) {
  auto key = [](const Entry& e) { return e.wNameId; };
  SortBy(aEntries, n, key);
  for (size_t s = 0; s < t.nSections; ++s) {
    const Section& sec = t.aSections[s];
    if (sec.bId != 0x11 || sec.bCut) continue;
    size_t pos = sec.lAt + 3;
    for (uint32_t i = 0; i < sec.nRecords; ++i) {
      uint16_t id = Le16(pb + pos);
      uint8_t len = pb[pos + 2];
      // The entries of an id are named together, so a range named once is done with.
      auto range = EqualRange(aEntries, n, id, key);
      for (Entry* p = range.first; p != range.second && !p->name.bPresent; ++p) {
        p->name.lAt = static_cast<uint32_t>(pos + 3);
        p->name.cb = len;
        p->name.bPresent = true;
      }
      pos += 3u + len + 1u;
    }
  }
}

// The first 0x05 record that names a macro gives it its menu text's index.
void ResolveMenus(const uint8_t* pb, const Table& t, Entry* aEntries, size_t n) {
  auto key = [](const Entry& e) { return e.wNameId; };  // still sorted so
  for (size_t s = 0; s < t.nSections; ++s) {
    const Section& sec = t.aSections[s];
    if (sec.bId != 0x05) continue;
    for (uint32_t i = 0; i < sec.nRecords; ++i) {
      const uint8_t* pRec = pb + sec.lAt + 3 + i * kMenuBytes;
      auto range = EqualRange(aEntries, n, Le16(pRec + 8), key);
      for (Entry* p = range.first; p != range.second && !p->bMenu; ++p) {
        p->bMenu = true;
        p->wMenuTextIndex = Le16(pRec + 4);
      }
    }
  }
}

// The 0x10 texts, numbered on from one section to the next, to the entries that name them.
template <typename Key, typename Set>
void ResolveTexts(const uint8_t* pb, const Table& t, Entry* aEntries, size_t n, Key key, Set set) {
  SortBy(aEntries, n, key);
  unsigned k = 0;
  for (size_t s = 0; s < t.nSections && k <= 0xFFFF; ++s) {
    const Section& sec = t.aSections[s];
    if (sec.bId != 0x10) continue;
    Cursor c(pb, sec.lAt + sec.cb);
    c.Seek(sec.lAt + 1);
    TextSpan span;
    if (!Section10(&c, &span)) continue;
    size_t pos = span.lFirst;
    TextRef text;
    for (; k <= 0xFFFF && NextText(pb, span, &pos, &text); ++k) {
      auto range = EqualRange(aEntries, n, k, key);
      for (Entry* p = range.first; p != range.second; ++p) set(p, text);
    }
  }
}

// What DOC_ReadMacroTable lists: in the 0x01 section right after the 0xFF, in order, the marked
// entries of 1 to 3999 bytes, the first ZM_MAX_MACROS of them. A section that the bytes cut
// fails its reading as a whole.
void JudgeByteScan(const Table& t, Entry* aEntries, size_t n) {
  const Section* pFirst = t.nSections > 0 && t.aSections[0].bId == 0x01 ? &t.aSections[0] : nullptr;
  size_t nTaken = 0;
  for (size_t i = 0; i < n; ++i) {
    Entry& e = aEntries[i];
    if (!pFirst || e.lAt >= pFirst->lAt + pFirst->cb)
      e.eByteScan = ByteScan::kNotFirst;
    else if (pFirst->bCut)
      e.eByteScan = ByteScan::kCut;
    else if (e.bMark != kMarkTaken)
      e.eByteScan = ByteScan::kNotMarked;
    else if (e.lLength == 0)
      e.eByteScan = ByteScan::kEmpty;
    else if (e.lLength >= ZM_MACRO_LENGTH_LIMIT)
      e.eByteScan = ByteScan::kTooLong;
    else if (nTaken >= ZM_MAX_MACROS)
      e.eByteScan = ByteScan::kBeyondCap;
    else
      e.eByteScan = ByteScan::kTaken, ++nTaken;
  }
}

}  // namespace

Table ReadTable(const uint8_t* pb, size_t cb, Entry* aEntries, size_t cEntries) {
  Table t;
  if (cb == 0 || pb[0] != 0xFF) return t;
  t.bTable = true;
  Cursor c(pb, cb);
  c.Skip(1);
  bool bEnd = false;
  while (t.nSections < kMaxSections && !bEnd) {
    Section sec;
    sec.lAt = static_cast<uint32_t>(c.Pos());
    unsigned id, n;
    if (!c.U8(&id)) break;
    sec.bId = static_cast<uint8_t>(id);
    bool bOk = true;
    switch (id) {
      case 0x01:  // the whole records count even when the section is cut
        bOk = c.U16(&n);
        for (unsigned i = 0; bOk && i < n; ++i, c.Skip(kEntryBytes)) {
          bOk = c.Has(kEntryBytes);
          if (!bOk) break;
          ++sec.nRecords;
          ++t.nEntries;
          if (c.Here()[0] == kMarkTaken) ++t.nMarked;
          if (t.nStored < cEntries) aEntries[t.nStored++] = ReadEntry(pb, c.Pos());
        }
        break;
      case 0x03:
        bOk = Section03(&c, &sec.nRecords);
        break;
      case 0x05:
        bOk = c.U16(&n) && c.Skip(n * kMenuBytes);
        if (bOk) sec.nRecords = n;
        break;
      case 0x10: {
        TextSpan span;
        bOk = Section10(&c, &span);
        if (!bOk) break;
        TextRef text;
        for (size_t pos = span.lFirst; NextText(pb, span, &pos, &text);) ++sec.nRecords;
        t.nTexts += sec.nRecords;
        break;
      }
      case 0x11:
        bOk = Section11(&c, &sec.nRecords);
        if (bOk) t.nNames += sec.nRecords, t.bNameSection = true;
        break;
      default:  // 0x12, the 0x40 end mark, or a section whose layout is unknown
        bEnd = true;
        break;
    }
    sec.cb = static_cast<uint32_t>(c.Pos() - sec.lAt);
    if (!bOk) {
      sec.cb = static_cast<uint32_t>(cb - sec.lAt);
      sec.bCut = t.bCut = true;
      bEnd = true;
    }
    t.aSections[t.nSections++] = sec;
  }

  size_t n = t.nStored;
  ResolveNames(pb, t, aEntries, n);
  ResolveMenus(pb, t, aEntries, n);
  ResolveTexts(
      pb, t, aEntries, n, [](const Entry& e) { return e.wTextIndex; },
      [](Entry* p, const TextRef& text) { p->description = text; });
  // Entries without a menu record sort after every text index, so no text reaches them.
  ResolveTexts(
      pb, t, aEntries, n,
      [](const Entry& e) { return e.bMenu ? unsigned{e.wMenuTextIndex} : 0x10000u; },
      [](Entry* p, const TextRef& text) { p->menuText = text; });
  SortBy(aEntries, n, [](const Entry&) { return 0u; });  // back to table order
  JudgeByteScan(t, aEntries, n);
  return t;
}

}  // namespace wordbasic
