// The macro table walk of the name reader: pure byte parsing, no file access.
#include <map>

#include "le.h"
#include "namereader.h"

namespace zm {
namespace {

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
    *pv = DOC_wLe16(m_pb + m_pos);
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

// A table holds a handful of sections; more than this is a loop in damaged bytes.
constexpr int kMaxSections = 64;
constexpr unsigned kMarkTaken = 0x55;
constexpr size_t kMacroEntry = 24;

// 0x03: a count of 14-byte records, then a second count (with an optional 0x00 0x02 lead) of
// 4-byte records and one byte more.
bool SkipSection03(Cursor* pc) {
  unsigned n;
  if (!pc->U8(&n) || !pc->Skip(n * 14u) || !pc->U8(&n)) return false;
  if (n == 0) {
    size_t at = pc->Pos();
    unsigned b;
    if (!pc->U8(&b)) return false;
    if (b != 2) {
      pc->Seek(at);
      return true;
    }
    if (!pc->U8(&n)) return false;
  }
  return n == 0 || pc->Skip(n * 4u + 1);
}

// 0x10: a 16-bit byte size counted from the size field itself; 0xFFFF announces UTF-16 names
// and is followed by the size.
bool SkipSection10(Cursor* pc) {
  size_t at = pc->Pos();
  unsigned cb;
  if (!pc->U16(&cb)) return false;
  if (cb == 0xFFFF && !pc->U16(&cb)) return false;
  if (at + cb < pc->Pos()) return false;
  pc->Seek(at);
  return pc->Skip(cb);
}

// 0x11: a count, then per name its 16-bit id, an 8-bit length, the name's bytes and one more
// byte. The first name given for an id wins.
bool ReadSection11(Cursor* pc, std::map<unsigned, std::string>* pNames) {
  unsigned n, id, len, pad;
  std::map<unsigned, std::string> names;
  if (!pc->U16(&n)) return false;
  for (unsigned i = 0; i < n; ++i) {
    if (!pc->U16(&id) || !pc->U8(&len) || !pc->Has(len)) return false;
    std::string name(reinterpret_cast<const char*>(pc->Here()), len);
    pc->Skip(len);
    if (!pc->U8(&pad)) return false;
    names.emplace(id, std::move(name));
  }
  pNames->insert(names.begin(), names.end());
  return true;
}

}  // namespace

MacroTable ParseMacroTable(const uint8_t* pb, size_t cb) {
  MacroTable t;
  Cursor c(pb, cb);
  unsigned b;
  if (!c.U8(&b) || b != 0xFF) return t;
  std::vector<unsigned> ids;  // name id of each taken entry, in entry order
  std::map<unsigned, std::string> names;
  bool bEnd = false;
  for (int iSection = 0; iSection < kMaxSections && !bEnd; ++iSection) {
    unsigned id, n;
    if (!c.U8(&id)) break;
    bool bOk = true;
    switch (id) {
      case 0x01:  // entries that are there count even when the section is cut
        bOk = c.U16(&n);
        for (unsigned i = 0; bOk && i < n; ++i, c.Skip(kMacroEntry)) {
          bOk = c.Has(kMacroEntry);
          if (bOk && c.Here()[0] == kMarkTaken) ids.push_back(c.Here()[2] | (c.Here()[3] << 8));
        }
        break;
      case 0x03:
        bOk = SkipSection03(&c);
        break;
      case 0x05:
        bOk = c.U16(&n) && c.Skip(n * 12u);
        break;
      case 0x10:
        bOk = SkipSection10(&c);
        break;
      case 0x11:
        bOk = ReadSection11(&c, &names);
        t.bNameSection = t.bNameSection || bOk;
        break;
      default:  // 0x12, the 0x40 end mark, or a section whose layout is unknown
        bEnd = true;
        break;
    }
    if (!bOk) {
      t.bCut = true;
      break;
    }
  }
  t.nMacros = ids.size();
  for (unsigned id : ids) {
    auto it = names.find(id);
    if (it == names.end())
      ++t.nUnnamed;
    else
      t.names.push_back(it->second);
  }
  return t;
}

}  // namespace zm
