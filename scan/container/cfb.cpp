// Compound files read in full for the walk of their contents, the walk of their storages, and the
// writer of a one-stream file for the library's reader. Pure: bytes in through a read by
// position, nothing of the platform.
#include "cfb.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace container::cfb {

namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint32_t kFreeSector = 0xFFFFFFFFu;
constexpr uint32_t kFatSector = 0xFFFFFFFDu;
constexpr uint32_t kDifatSector = 0xFFFFFFFCu;
constexpr uint32_t kLastSector = 0xFFFFFFF9u;  // above it: markers, no sector
constexpr uint32_t kHeaderBytes = 512;
constexpr uint32_t kHeaderDifat = 109;
constexpr uint32_t kEntryBytes = 128;
constexpr uint32_t kMiniSector = 64;
const uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

uint32_t Le16(const uint8_t* pb) { return pb[0] | uint32_t{pb[1]} << 8; }
uint32_t Le32(const uint8_t* pb) { return Le16(pb) | Le16(pb + 2) << 16; }
void Put16(uint8_t* pb, uint32_t x) {
  pb[0] = static_cast<uint8_t>(x);
  pb[1] = static_cast<uint8_t>(x >> 8);
}
void Put32(uint8_t* pb, uint32_t x) {
  Put16(pb, x & 0xFFFFu);
  Put16(pb + 2, x >> 16);
}

void AppendUtf8(uint32_t c, std::string* ps) {
  if (c < 0x80) {
    ps->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    ps->push_back(static_cast<char>(0xC0 | c >> 6));
    ps->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    ps->push_back(static_cast<char>(0xE0 | c >> 12));
    ps->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    ps->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    ps->push_back(static_cast<char>(0xF0 | c >> 18));
    ps->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    ps->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    ps->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16LE code units to UTF-8; a surrogate that pairs into nothing is U+FFFD.
std::string Utf8OfUtf16(const uint8_t* pb, size_t nUnits) {
  std::string s;
  for (size_t i = 0; i < nUnits; ++i) {
    uint32_t c = Le16(pb + 2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < nUnits) {
      uint32_t d = Le16(pb + 2 * (i + 1));
      if (d >= 0xDC00 && d < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
    AppendUtf8(c, &s);
  }
  return s;
}

bool SameName(const std::string& s, const char* sz) {
  size_t n = std::strlen(sz);
  if (s.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = s[i], b = sz[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b) return false;
  }
  return true;
}

bool StartsWith(const std::string& s, const char* sz) {
  size_t n = std::strlen(sz);
  return s.size() >= n && SameName(s.substr(0, n), sz);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The file
// ---------------------------------------------------------------------------------------------

int64_t File::ReadSector(uint32_t lSector, uint8_t* pb, uint32_t cbSector) {
  if (lSector >= m_nSectors) return -1;
  const uint64_t at = (uint64_t{lSector} + 1) * m_cbSector;
  int64_t n = m_read(at, pb, cbSector);
  if (n < 0) return -1;
  // The file's last sector may be cut short by its writer: the rest reads as zeros.
  if (n < static_cast<int64_t>(cbSector)) std::memset(pb + n, 0, cbSector - static_cast<size_t>(n));
  return cbSector;
}

bool File::Next(uint32_t lSector, uint32_t* plNext, std::string* psError) {
  const uint32_t nPer = m_cbSector / 4;
  const uint32_t g = lSector / nPer;
  if (g >= m_difat.size()) {
    *psError = "a sector the FAT does not cover";
    return false;
  }
  // A DIFAT slot may hold the very marker that says "nothing cached": the flag, not the number,
  // says whether the cache holds a sector.
  if (!m_bFatCached || m_lFatCached != m_difat[g]) {
    m_fatCache.resize(m_cbSector);
    m_bFatCached = false;
    if (ReadSector(m_difat[g], m_fatCache.data(), m_cbSector) < 0) {
      *psError = "a FAT sector cannot be read";
      return false;
    }
    m_lFatCached = m_difat[g];
    m_bFatCached = true;
  }
  *plNext = Le32(m_fatCache.data() + 4 * (lSector % nPer));
  return true;
}

bool File::Chain(uint32_t lStart, uint64_t nMax, std::vector<uint32_t>* pOut,
                 std::string* psError) {
  pOut->clear();
  uint32_t s = lStart;
  while (s != kEndOfChain) {
    if (s >= m_nSectors) {
      *psError = s > kLastSector ? "a chain broken by a free sector" : "a chain leaves the file";
      return false;
    }
    // No chain the file holds is longer than its sectors: a longer one loops.
    if (pOut->size() >= nMax || pOut->size() >= m_nSectors) {
      *psError = pOut->size() >= m_nSectors ? "a chain loops" : "a chain longer than its bound";
      return false;
    }
    pOut->push_back(s);
    if (!Next(s, &s, psError)) return false;
  }
  return true;
}

bool File::Open(ReadAtFunction read, uint64_t cb) {
  m_read = std::move(read);
  m_cbFile = cb;
  uint8_t abHeader[kHeaderBytes];
  const int64_t cbHeader = m_read(0, abHeader, kHeaderBytes);
  // As the library's reader, the signature's first half; the rest of the header must hold.
  if (cbHeader < 4 || std::memcmp(abHeader, kSignature, 4) != 0) {
    m_sError = "no compound file";
    return false;
  }
  m_bCompound = true;
  if (cb < kHeaderBytes || cbHeader != kHeaderBytes) {
    m_sError = "shorter than its header";
    return false;
  }
  const uint32_t shift = Le16(abHeader + 0x1E);
  if (shift != 9 && shift != 12) {
    m_sError = "a sector size of neither 512 nor 4096 bytes";
    return false;
  }
  m_cbSector = 1u << shift;
  m_bVersion3 = shift == 9;
  const uint64_t nSectors = (cb + m_cbSector - 1) / m_cbSector - 1;
  m_nSectors = static_cast<uint32_t>(std::min<uint64_t>(nSectors, kLastSector + 1ull));
  m_cbCutoff = Le32(abHeader + 0x38);
  m_lDirStart = Le32(abHeader + 0x30);
  m_lMiniFatStart = Le32(abHeader + 0x3C);

  // The FAT's sectors: the header's 109, then the DIFAT's chain, no more than the file holds.
  const uint32_t nFat = Le32(abHeader + 0x2C);
  if (nFat > m_nSectors) {
    m_sError = "a FAT larger than the file";
    return false;
  }
  for (uint32_t g = 0; g < nFat && g < kHeaderDifat; ++g)
    m_difat.push_back(Le32(abHeader + 0x4C + 4 * g));
  std::vector<uint8_t> ab(m_cbSector);
  uint32_t d = Le32(abHeader + 0x44);
  for (uint32_t nSteps = 0; m_difat.size() < nFat; ++nSteps) {
    if (d >= m_nSectors || nSteps >= m_nSectors || ReadSector(d, ab.data(), m_cbSector) < 0) {
      m_sError = "the DIFAT ends before the FAT's sectors";
      return false;
    }
    const uint32_t nPer = m_cbSector / 4 - 1;
    for (uint32_t k = 0; k < nPer && m_difat.size() < nFat; ++k)
      m_difat.push_back(Le32(ab.data() + 4 * k));
    d = Le32(ab.data() + 4 * nPer);
  }

  // The directory, its whole chain.
  std::vector<uint32_t> dir;
  const uint32_t nPerSector = m_cbSector / kEntryBytes;
  std::string sWhy;
  if (!Chain(m_lDirStart, kMaxEntries / nPerSector, &dir, &sWhy)) {
    m_sError = "directory: " + sWhy;
    return false;
  }
  for (uint32_t lSector : dir) {
    if (ReadSector(lSector, ab.data(), m_cbSector) < 0) {
      m_sError = "directory: a sector cannot be read";
      return false;
    }
    for (uint32_t k = 0; k < nPerSector; ++k) {
      const uint8_t* pb = ab.data() + k * kEntryBytes;
      Entry e;
      e.bType = pb[0x42];
      const uint32_t cbName = std::min<uint32_t>(Le16(pb + 0x40), 64);
      e.sName = Utf8OfUtf16(pb, cbName >= 2 ? cbName / 2 - 1 : 0);
      e.lLeft = Le32(pb + 0x44);
      e.lRight = Le32(pb + 0x48);
      e.lChild = Le32(pb + 0x4C);
      e.lStart = Le32(pb + 0x74);
      // Version 3 files may hold anything in the size's high half.
      e.cb = Le32(pb + 0x78) | (m_bVersion3 ? 0 : uint64_t{Le32(pb + 0x7C)} << 32);
      m_entries.push_back(std::move(e));
    }
  }
  if (m_entries.empty() || m_entries[0].bType != kTypeRoot) {
    m_sError = "no root storage";
    return false;
  }
  m_handedOut.assign(m_entries.size(), 0);
  m_handedOut[0] = 1;
  return true;
}

const std::vector<uint32_t>& File::Children(uint32_t i, bool* pbBroken) {
  auto it = m_listed.find(i);
  if (it != m_listed.end()) {
    *pbBroken |= it->second.bBroken;
    return it->second.children;
  }
  Listed& l = m_listed[i];
  std::vector<uint32_t>& out = l.children;
  std::vector<uint32_t> stack;
  if (i >= m_entries.size()) return out;
  uint32_t cur = m_entries[i].lChild;
  for (;;) {
    while (cur != kNoEntry) {
      if (cur >= m_entries.size() || m_handedOut[cur]) {
        l.bBroken = *pbBroken = true;
        break;
      }
      m_handedOut[cur] = 1;
      stack.push_back(cur);
      cur = m_entries[cur].lLeft;
    }
    if (stack.empty()) break;
    cur = stack.back();
    stack.pop_back();
    if (m_entries[cur].bType != kTypeUnused) out.push_back(cur);
    cur = m_entries[cur].lRight;
  }
  return out;
}

bool File::OpenMini(std::string* psError) {
  if (m_bMiniOpen) return true;
  if (m_bMiniFailed) {
    *psError = m_sMiniError;
    return false;
  }
  m_bMiniFailed = true;
  const Entry& root = m_entries[0];
  std::vector<uint32_t> sectors;
  std::string sWhy;
  if (root.cb > kMaxMiniStream) {
    m_sMiniError = "a mini-stream larger than 64 MiB";
  } else if (!Chain(m_lMiniFatStart, kMaxMiniStream / kMiniSector * 4 / m_cbSector + 1, &sectors,
                    &sWhy)) {
    m_sMiniError = "mini-FAT: " + sWhy;
  } else if (!Chain(root.lStart, (root.cb + m_cbSector - 1) / m_cbSector + 1, &m_rootChain,
                    &sWhy)) {
    m_sMiniError = "mini-stream: " + sWhy;
  } else {
    std::vector<uint8_t> ab(m_cbSector);
    for (uint32_t lSector : sectors) {
      if (ReadSector(lSector, ab.data(), m_cbSector) < 0) {
        m_sMiniError = "mini-FAT: a sector cannot be read";
        return false;
      }
      for (uint32_t k = 0; k < m_cbSector / 4; ++k) m_miniFat.push_back(Le32(ab.data() + 4 * k));
    }
    m_bMiniFailed = false;
    m_bMiniOpen = true;
    return true;
  }
  *psError = m_sMiniError;
  return false;
}

bool File::MiniNext(uint32_t lMini, uint32_t* plNext, std::string* psError) {
  if (lMini >= m_miniFat.size()) {
    *psError = "a mini-sector the mini-FAT does not cover";
    return false;
  }
  *plNext = m_miniFat[lMini];
  return true;
}

// ---------------------------------------------------------------------------------------------
// Streams
// ---------------------------------------------------------------------------------------------

File::Stream::Stream(File* pFile, uint32_t iEntry) : m_pFile(pFile) {
  const Entry& e = pFile->m_entries[iEntry];
  m_cb = e.cb;
  m_bMini = iEntry != 0 && e.cb < pFile->m_cbCutoff;
  m_lSector = e.lStart;
  if (m_bMini && m_cb > 0) pFile->OpenMini(&m_sError);
}

ptrdiff_t File::Stream::Read(uint8_t* pb, size_t cb) {
  if (!m_sError.empty()) return -1;
  if (m_at >= m_cb) return 0;
  File& f = *m_pFile;
  const uint32_t cbGranule = m_bMini ? kMiniSector : f.m_cbSector;
  size_t done = 0;
  while (done < cb && m_at < m_cb) {
    const uint32_t lIn = static_cast<uint32_t>(m_at % cbGranule);
    if (lIn == 0 && m_at > 0) {
      // The next (mini-)sector; no chain is longer than the (mini-)sectors there are.
      const uint64_t nMax = m_bMini ? f.m_miniFat.size() : f.m_nSectors;
      if (++m_nSteps > nMax) {
        m_sError = "a stream's chain loops";
        break;
      }
      if (!(m_bMini ? f.MiniNext(m_lSector, &m_lSector, &m_sError)
                    : f.Next(m_lSector, &m_lSector, &m_sError)))
        break;
    }
    uint64_t at;
    if (m_bMini) {
      const uint64_t lByte = uint64_t{m_lSector} * kMiniSector;
      const uint64_t k = lByte / f.m_cbSector;
      if (m_lSector > kLastSector || k >= f.m_rootChain.size()) {
        m_sError = "a mini-sector outside the mini-stream";
        break;
      }
      at = (uint64_t{f.m_rootChain[k]} + 1) * f.m_cbSector + lByte % f.m_cbSector + lIn;
    } else {
      if (m_lSector >= f.m_nSectors) {
        m_sError = "a stream's chain leaves the file";
        break;
      }
      at = (uint64_t{m_lSector} + 1) * f.m_cbSector + lIn;
    }
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>({cb - done, cbGranule - lIn, m_cb - m_at}));
    const int64_t got = f.m_read(at, pb + done, n);
    if (got != static_cast<int64_t>(n)) {
      m_sError = got < 0 ? "a read failed" : "the file ends inside a stream";
      break;
    }
    done += n;
    m_at += n;
  }
  if (done == 0 && !m_sError.empty()) return -1;
  return static_cast<ptrdiff_t>(done);
}

bool File::Stream::Skip(uint64_t cb) {
  uint8_t ab[512];
  while (cb > 0) {
    ptrdiff_t n = Read(ab, static_cast<size_t>(std::min<uint64_t>(cb, sizeof ab)));
    if (n <= 0) return false;
    cb -= static_cast<uint64_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// The walk of the storages
// ---------------------------------------------------------------------------------------------

namespace {

// Up to cb of a stream's first bytes.
std::vector<uint8_t> Head(File* pFile, uint32_t iEntry, size_t cb) {
  File::Stream s(pFile, iEntry);
  std::vector<uint8_t> ab(static_cast<size_t>(std::min<uint64_t>(cb, s.Size())));
  size_t n = 0;
  while (n < ab.size()) {
    ptrdiff_t r = s.Read(ab.data() + n, ab.size() - n);
    if (r <= 0) break;
    n += static_cast<size_t>(r);
  }
  ab.resize(n);
  return ab;
}

// A WordDocument stream that may be Word 6/95's: its FIB's version (0x65 Word 6.0 to 0x69, the
// last Word 95 wrote), or a FIB that cannot be read, which the scanner then judges.
bool MayBeWord6(File* pFile, uint32_t iEntry) {
  std::vector<uint8_t> ab = Head(pFile, iEntry, 4);
  if (ab.size() < 4) return true;
  const uint32_t nFib = Le16(ab.data() + 2);
  return nFib >= 0x65 && nFib <= 0x69;
}

uint32_t Child(File* pFile, const std::vector<uint32_t>& children, const char* szName,
               uint8_t bType) {
  for (uint32_t c : children) {
    const Entry& e = pFile->Entries()[c];
    if (e.bType == bType && SameName(e.sName, szName)) return c;
  }
  return kNoEntry;
}

// A name property of a mail: UTF-16 (type 001F) or 8-bit bytes (001E), NULs at its end dropped.
std::string PropertyName(File* pFile, uint32_t iEntry, bool bUnicode) {
  std::vector<uint8_t> ab = Head(pFile, iEntry, kMaxNameBytes);
  std::string s =
      bUnicode ? Utf8OfUtf16(ab.data(), ab.size() / 2) : std::string(ab.begin(), ab.end());
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

// An attachment's file name: the long one, the short one, the display name, in that order.
std::string AttachmentName(File* pFile, const std::vector<uint32_t>& children) {
  static const char* const kNames[] = {"__substg1.0_3707001F", "__substg1.0_3707001E",
                                       "__substg1.0_3704001F", "__substg1.0_3704001E",
                                       "__substg1.0_3001001F", "__substg1.0_3001001E"};
  for (const char* sz : kNames) {
    uint32_t c = Child(pFile, children, sz, kTypeStream);
    if (c == kNoEntry) continue;
    std::string s = PropertyName(pFile, c, sz[std::strlen(sz) - 1] == 'F');
    if (!s.empty()) return s;
  }
  return "";
}

// An Ole10Native stream: the package's file name and where its data lies. OLE1's layout: u32
// size of the rest; for a package, u16, the file name, its source path and (after two u32) a
// temporary path, each NUL-ended, then u32 size and the data. Anything else: the native data
// after the size, unnamed.
Object Ole10Native(File* pFile, uint32_t iEntry) {
  Object o;
  o.iEntry = iEntry;
  const uint64_t cbStream = pFile->Entries()[iEntry].cb;
  std::vector<uint8_t> ab = Head(pFile, iEntry, 4 + 2 + 3 * kMaxNameBytes + 12);
  const size_t cb = ab.size();
  if (cb < 4) return o;
  o.lOffset = 4;
  o.cb = std::min<uint64_t>(Le32(ab.data()), cbStream - 4);
  size_t at = 6;
  std::string asz[3];
  for (int i = 0; i < 3; ++i) {
    if (i == 2) {
      if (cb - std::min(cb, at) < 8) return o;
      at += 8;
    }
    const void* pEnd = at < cb ? std::memchr(ab.data() + at, 0, cb - at) : nullptr;
    if (!pEnd) return o;
    const size_t n = static_cast<const uint8_t*>(pEnd) - (ab.data() + at);
    if (n > kMaxNameBytes) return o;
    asz[i].assign(reinterpret_cast<const char*>(ab.data() + at), n);
    at += n + 1;
  }
  if (cb - std::min(cb, at) < 4) return o;
  const uint64_t cbData = Le32(ab.data() + at);
  at += 4;
  if (at > cbStream) return o;
  o.lOffset = at;
  o.cb = std::min<uint64_t>(cbData, cbStream - at);
  o.sName = asz[0];
  return o;
}

}  // namespace

void WalkLevel(File* pFile, uint32_t iLevel, Visitor* pV) {
  struct Pending {
    uint32_t i;
    std::string sPrefix;
    uint32_t nDepth;
  };
  std::vector<Pending> stack = {{iLevel, "", 0}};
  bool bBroken = false, bTooDeep = false;
  const std::vector<Entry>& entries = pFile->Entries();
  auto children = [&](uint32_t i) -> const std::vector<uint32_t>& {
    return pFile->Children(i, &bBroken);
  };
  auto meet = [&](Object::Type type, std::string sName, uint32_t iEntry, uint32_t iStorage) {
    Object o;
    o.type = type;
    o.sName = std::move(sName);
    o.iEntry = iEntry;
    o.iStorage = iStorage;
    if (iEntry != kNoEntry) o.cb = entries[iEntry].cb;
    pV->Meet(o);
  };
  while (!stack.empty() && !pV->Stopped()) {
    Pending p = std::move(stack.back());
    stack.pop_back();
    if (p.nDepth > kMaxDepth) {
      bTooDeep = true;
      continue;
    }
    const std::vector<uint32_t>& kids = children(p.i);
    std::vector<Pending> below;
    for (uint32_t c : kids) {
      if (pV->Stopped()) break;
      const Entry& e = entries[c];
      if (e.bType == kTypeStream && SameName(e.sName, "\x01Ole10Native")) {
        Object o = Ole10Native(pFile, c);
        o.sName = p.sPrefix + (o.sName.empty() ? e.sName : o.sName);
        if (o.cb > 0) pV->Meet(o);
        continue;
      }
      if (e.bType != kTypeStorage) continue;
      const std::vector<uint32_t>& inside = children(c);
      // A mail's attachment: its data a file, its object an embedded document or mail, each
      // named by the attachment's file name.
      if (StartsWith(e.sName, "__attach_version1.0_#")) {
        std::string sName = AttachmentName(pFile, inside);
        if (sName.empty()) sName = p.sPrefix + e.sName;
        uint32_t d = Child(pFile, inside, "__substg1.0_37010102", kTypeStream);
        if (d != kNoEntry) meet(Object::Type::kPayload, sName, d, kNoEntry);
        uint32_t o = Child(pFile, inside, "__substg1.0_3701000D", kTypeStorage);
        if (o == kNoEntry) continue;
        const std::vector<uint32_t>& object = children(o);
        uint32_t w = Child(pFile, object, "WordDocument", kTypeStream);
        if (w != kNoEntry && MayBeWord6(pFile, w))
          meet(Object::Type::kDocument, sName, w, o);
        else if (Child(pFile, object, "__properties_version1.0", kTypeStream) != kNoEntry)
          meet(Object::Type::kMessage, sName, kNoEntry, o);
        else
          below.push_back({o, p.sPrefix + e.sName + "/" + entries[o].sName + "/", p.nDepth + 2});
        continue;
      }
      uint32_t w = Child(pFile, inside, "WordDocument", kTypeStream);
      if (w != kNoEntry && MayBeWord6(pFile, w))
        meet(Object::Type::kDocument, p.sPrefix + e.sName, w, c);
      else
        below.push_back({c, p.sPrefix + e.sName + "/", p.nDepth + 1});
    }
    // Depth first, in the tree's order.
    for (auto it = below.rbegin(); it != below.rend(); ++it) stack.push_back(std::move(*it));
  }
  if (bBroken) pV->Problem("its directory's tree loops or leaves the directory");
  if (bTooDeep) pV->Problem("storages nested deeper than 32");
}

bool LevelHoldsObjects(File* pFile, uint32_t iLevel) {
  class Any : public Visitor {
   public:
    void Meet(const Object&) override { m_bAny = true; }
    void Problem(const std::string&) override { m_bAny = true; }
    bool Stopped() const override { return m_bAny; }
    bool m_bAny = false;
  };
  Any any;
  WalkLevel(pFile, iLevel, &any);
  return any.m_bAny;
}

}  // namespace container::cfb

namespace container {

bool CompoundHoldsObjects(const ReadAtFunction& read, uint64_t cb) {
  cfb::File f;
  if (!f.Open(read, cb)) return f.IsCompound();
  return cfb::LevelHoldsObjects(&f, 0);
}

}  // namespace container

namespace container::cfb {

// ---------------------------------------------------------------------------------------------
// The writer
// ---------------------------------------------------------------------------------------------

Frame FrameFor(uint64_t cbStream) {
  constexpr uint32_t kSector = 512, kPer = kSector / 4, kCutoff = 4096;
  const bool bMini = cbStream < kCutoff;
  const uint64_t nMini = bMini ? (cbStream + kMiniSector - 1) / kMiniSector : 0;
  const uint64_t nData =
      bMini ? (nMini * kMiniSector + kSector - 1) / kSector : (cbStream + kSector - 1) / kSector;
  const uint64_t nMiniFat = (nMini + kPer - 1) / kPer;
  uint64_t nFat = 1, nDifat = 0;
  for (;;) {
    nDifat = nFat > kHeaderDifat ? (nFat - kHeaderDifat + kPer - 2) / (kPer - 1) : 0;
    if (nFat * kPer >= nData + nFat + nDifat + nMiniFat + 1) break;
    ++nFat;
  }
  const uint64_t lFat = nData, lDifat = lFat + nFat, lMiniFat = lDifat + nDifat,
                 lDir = lMiniFat + nMiniFat, nAll = lDir + 1;
  auto n32 = [](uint64_t x) { return static_cast<uint32_t>(x); };

  Frame f;
  f.lTailAt = kFrameDataAt + nData * kSector;
  f.tail.assign((nAll - nData) * kSector, 0);
  auto sector = [&](uint64_t l) { return f.tail.data() + (l - nData) * kSector; };
  // The FAT: the data's chain (the stream's, or the mini-stream's), the FAT and DIFAT marked,
  // the mini-FAT's chain, the directory's one sector; the rest free.
  std::vector<uint32_t> fat(nFat * kPer, kFreeSector);
  auto link = [&](uint64_t lFrom, uint64_t n) {
    for (uint64_t k = 0; k < n; ++k) fat[lFrom + k] = k + 1 < n ? n32(lFrom + k + 1) : kEndOfChain;
  };
  link(0, nData);
  for (uint64_t k = 0; k < nFat; ++k) fat[lFat + k] = kFatSector;
  for (uint64_t k = 0; k < nDifat; ++k) fat[lDifat + k] = kDifatSector;
  link(lMiniFat, nMiniFat);
  link(lDir, 1);
  for (uint64_t k = 0; k < fat.size(); ++k) Put32(sector(lFat + k / kPer) + 4 * (k % kPer), fat[k]);
  for (uint64_t k = 0; k < nDifat; ++k) {
    uint8_t* pb = sector(lDifat + k);
    for (uint32_t j = 0; j < kPer - 1; ++j) {
      const uint64_t g = kHeaderDifat + k * (kPer - 1) + j;
      Put32(pb + 4 * j, g < nFat ? n32(lFat + g) : kFreeSector);
    }
    Put32(pb + 4 * (kPer - 1), k + 1 < nDifat ? n32(lDifat + k + 1) : kEndOfChain);
  }
  for (uint64_t k = 0; k < nMiniFat * kPer; ++k)
    Put32(sector(lMiniFat + k / kPer) + 4 * (k % kPer),
          k < nMini ? (k + 1 < nMini ? n32(k + 1) : kEndOfChain) : kFreeSector);
  // The directory: the root (the mini-stream's container), the stream, two unused entries.
  uint8_t* pbDir = sector(lDir);
  auto entry = [&](int i, const char* szName, uint8_t bType, uint32_t lChild, uint32_t lStart,
                   uint64_t cb) {
    uint8_t* pb = pbDir + i * kEntryBytes;
    size_t n = std::strlen(szName);
    for (size_t c = 0; c < n; ++c) Put16(pb + 2 * c, static_cast<uint8_t>(szName[c]));
    if (n) Put16(pb + 0x40, n32((n + 1) * 2));
    pb[0x42] = bType;
    pb[0x43] = 1;  // black
    Put32(pb + 0x44, kNoEntry);
    Put32(pb + 0x48, kNoEntry);
    Put32(pb + 0x4C, lChild);
    Put32(pb + 0x74, lStart);
    Put32(pb + 0x78, n32(cb));
  };
  entry(0, "Root Entry", kTypeRoot, 1, bMini && nData ? 0 : kEndOfChain, nMini * kMiniSector);
  entry(1, "WordDocument", kTypeStream, kNoEntry, cbStream ? 0 : kEndOfChain, cbStream);
  entry(2, "", kTypeUnused, kNoEntry, 0, 0);
  entry(3, "", kTypeUnused, kNoEntry, 0, 0);

  f.header.assign(kHeaderBytes, 0);
  uint8_t* pb = f.header.data();
  std::memcpy(pb, kSignature, sizeof kSignature);
  Put16(pb + 0x18, 0x3E);
  Put16(pb + 0x1A, 3);
  Put16(pb + 0x1C, 0xFFFE);
  Put16(pb + 0x1E, 9);
  Put16(pb + 0x20, 6);
  Put32(pb + 0x2C, n32(nFat));
  Put32(pb + 0x30, n32(lDir));
  Put32(pb + 0x38, kCutoff);
  Put32(pb + 0x3C, nMiniFat ? n32(lMiniFat) : kEndOfChain);
  Put32(pb + 0x40, n32(nMiniFat));
  Put32(pb + 0x44, nDifat ? n32(lDifat) : kEndOfChain);
  Put32(pb + 0x48, n32(nDifat));
  for (uint32_t g = 0; g < kHeaderDifat; ++g)
    Put32(pb + 0x4C + 4 * g, g < nFat ? n32(lFat + g) : kFreeSector);
  return f;
}

}  // namespace container::cfb
