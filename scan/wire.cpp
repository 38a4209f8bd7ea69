// The channel's compact forms, written and read field by field.
#include "wire.h"

#include <cstring>

namespace zm {
namespace {

// Little-endian fields and length-prefixed strings, appended to a string.
class Writer {
 public:
  explicit Writer(std::string* ps) : m_s(*ps) {}
  void U32(uint32_t v) {
    const char ach[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                         static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    m_s.append(ach, 4);
  }
  // A field written before what it counts: Set gives it its value.
  size_t Reserve32() {
    m_s.append(4, '\0');
    return m_s.size() - 4;
  }
  void Set32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) m_s[at + i] = static_cast<char>(v >> (8 * i));
  }
  void U64(uint64_t v) {
    char ach[8];
    for (int i = 0; i < 8; ++i) ach[i] = static_cast<char>(v >> (8 * i));
    m_s.append(ach, 8);
  }
  void Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    m_s += s;
  }
  size_t Size() const { return m_s.size(); }
  // Room for n bytes more, to be written through the pointer (a Filler) before the next call.
  char* Grow(size_t n) {
    const size_t at = m_s.size();
    m_s.resize(at + n);
    return &m_s[at];
  }

 private:
  std::string& m_s;
};

// The same fields written in place, into room whose size was reckoned before: a record of many
// small fields grows its message once.
class Filler {
 public:
  explicit Filler(char* p) : m_p(p) {}
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) m_p[i] = static_cast<char>(v >> (8 * i));
    m_p += 4;
  }
  void Bytes(const void* pb, size_t cb) {
    if (cb > 0) std::memcpy(m_p, pb, cb);
    m_p += cb;
  }
  void Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    Bytes(s.data(), s.size());
  }

 private:
  char* m_p;
};

class Reader {
 public:
  explicit Reader(std::string_view s) : m_s(s) {}
  bool U32(uint32_t* pv) {
    if (m_s.size() - m_pos < 4) return false;
    *pv = 0;
    for (int i = 0; i < 4; ++i)
      *pv |= static_cast<uint32_t>(static_cast<unsigned char>(m_s[m_pos + i])) << (8 * i);
    m_pos += 4;
    return true;
  }
  bool U64(uint64_t* pv) {
    uint32_t lo, hi;
    if (!U32(&lo) || !U32(&hi)) return false;
    *pv = lo | static_cast<uint64_t>(hi) << 32;
    return true;
  }
  bool Size(size_t* pv) {
    uint64_t v;
    if (!U64(&v)) return false;
    *pv = static_cast<size_t>(v);
    return true;
  }
  bool View(std::string_view* pv) {
    uint32_t n;
    if (!U32(&n) || m_s.size() - m_pos < n) return false;
    *pv = m_s.substr(m_pos, n);
    m_pos += n;
    return true;
  }
  bool Str(std::string* ps) {
    std::string_view v;
    if (!View(&v)) return false;
    if (!v.empty())
      ps->assign(v);  // most texts of a listing's records are empty
    else
      ps->clear();
    return true;
  }
  bool Bytes(uint8_t* pb, size_t cb) {
    if (m_s.size() - m_pos < cb) return false;
    std::memcpy(pb, m_s.data() + m_pos, cb);
    m_pos += cb;
    return true;
  }
  bool Done() const { return m_pos == m_s.size(); }

 private:
  std::string_view m_s;
  size_t m_pos = 0;
};

// The container section, last in a result: the kind, the members looked at, then each record
// (its kinds in one field, its cause, its bytes read, its name, finding and reason, its chain).
void AppendContainer(const FileResult& r, Writer* pW) {
  Writer& w = *pW;
  w.U32(static_cast<uint32_t>(r.containerKind));
  w.U64(r.nMembers);
  w.U32(static_cast<uint32_t>(r.members.size()));
  for (const container::Member& m : r.members) {
    w.U32(static_cast<uint32_t>(m.kind) | static_cast<uint32_t>(m.why) << 8 |
          static_cast<uint32_t>(m.outcome) << 16 | static_cast<uint32_t>(m.limit) << 24);
    w.U32(static_cast<uint32_t>(m.cause));
    w.U64(m.cbRead);
    w.Str(m.sName);
    w.Str(m.sVirus);
    w.Str(m.sReason);
    w.U32(static_cast<uint32_t>(m.chain.size()));
    for (const std::string& c : m.chain) w.Str(c);
  }
}

// Reads the container section into *pR; false unless every field is whole and in its range. A
// count is believed only as far as the message could hold its entries (a record takes 32 bytes at
// the least, a name of the chain 4).
bool ReadContainer(Reader* pRd, size_t cbMessage, FileResult* pR) {
  Reader& rd = *pRd;
  uint32_t uKind, nRecords;
  if (!rd.U32(&uKind) || uKind > static_cast<uint32_t>(container::kLastKind) ||
      !rd.U64(&pR->nMembers) || !rd.U32(&nRecords) || nRecords > cbMessage / 32)
    return false;
  pR->containerKind = static_cast<container::Kind>(uKind);
  pR->members.resize(nRecords);
  for (container::Member& m : pR->members) {
    uint32_t uKinds, uCause, nChain;
    if (!rd.U32(&uKinds) || (uKinds & 0xFF) > static_cast<uint32_t>(container::kLastKind) ||
        (uKinds >> 8 & 0xFF) > static_cast<uint32_t>(container::Why::kHidden) ||
        (uKinds >> 16 & 0xFF) > static_cast<uint32_t>(container::Outcome::kSkipped) ||
        (uKinds >> 24) > static_cast<uint32_t>(container::Limit::kMaxFileSize) ||
        !rd.U32(&uCause) || uCause > static_cast<uint32_t>(container::kLastCause) ||
        !rd.U64(&m.cbRead) || !rd.Str(&m.sName) || !rd.Str(&m.sVirus) || !rd.Str(&m.sReason) ||
        !rd.U32(&nChain) || nChain > cbMessage / 4)
      return false;
    m.kind = static_cast<container::Kind>(uKinds & 0xFF);
    m.why = static_cast<container::Why>(uKinds >> 8 & 0xFF);
    m.outcome = static_cast<container::Outcome>(uKinds >> 16 & 0xFF);
    m.limit = static_cast<container::Limit>(uKinds >> 24);
    m.cause = static_cast<container::Cause>(uCause);
    m.chain.resize(nChain);
    for (std::string& c : m.chain)
      if (!rd.Str(&c)) return false;
  }
  return true;
}

// The macro listing (ScanOptions::macros), a section of its own at a result's end: its flags, the
// macros left out, the records, each with its flags, numbers, digest (a body read whole) and texts.
constexpr size_t kRecordBytes = 5 * 4 + 4 * 4;  // the fewest a record takes: 5 numbers, 4 texts

// A digest still queued is written as zeros, its place noted in *pPatches (ReplyWriter).
void AppendListing(const MacroListing& l, Writer* pw, DigestPatches* pPatches) {
  Writer& w = *pw;
  w.U32(static_cast<uint32_t>(l.detail) | l.bTemplate << 8);
  w.U64(l.nLeftOut);
  w.U64(l.records.size());
  for (const MacroRecord& m : l.records) {
    const size_t cbDigest = m.eBody == BodyRead::kWhole ? sizeof m.abSha256 : 0;
    if (cbDigest > 0 && m.iQueuedDigest != DigestQueue::kNone && pPatches)
      pPatches->push_back({w.Size() + 5 * 4, m.iQueuedDigest});
    Filler f(w.Grow(kRecordBytes + cbDigest + m.sName.size() + m.sDescription.size() +
                    m.sSource.size() + m.body.size()));
    f.U32(m.bNamed | m.bSourceCut << 1 | static_cast<uint32_t>(m.eBody) << 8 |
          static_cast<uint32_t>(m.eByteScan) << 16 | static_cast<uint32_t>(m.bKey) << 24);
    for (uint32_t v : {m.cbSize, m.lOffset, m.cbRead, m.nUnknown}) f.U32(v);
    f.Bytes(m.abSha256, cbDigest);
    for (const std::string* p : {&m.sName, &m.sDescription, &m.sSource, &m.body}) f.Str(*p);
  }
}

// The listing of a result of cbResult bytes; false on anything that no AppendListing wrote.
bool ReadListing(Reader* prd, size_t cbResult, MacroListing* pl) {
  Reader& rd = *prd;
  MacroListing& l = *pl;
  uint32_t flags;
  size_t n;
  if (!rd.U32(&flags) || (flags & ~0x1FFu) != 0 ||
      (flags & 0xFF) > static_cast<uint32_t>(MacroDetail::kBodies) || !rd.Size(&l.nLeftOut) ||
      !rd.Size(&n) || n > cbResult / kRecordBytes)
    return false;
  l.detail = static_cast<MacroDetail>(flags & 0xFF);
  l.bTemplate = flags >> 8 & 1;
  l.records.resize(n);
  for (MacroRecord& m : l.records) {
    const uint32_t kBody = static_cast<uint32_t>(BodyRead::kOverCap);
    const uint32_t kByteScan = static_cast<uint32_t>(wordbasic::ByteScan::kCut);
    if (!rd.U32(&flags) || (flags & 0xFC) != 0 || (flags >> 8 & 0xFF) > kBody ||
        (flags >> 16 & 0xFF) > kByteScan)
      return false;
    m.bNamed = flags & 1;
    m.bSourceCut = flags >> 1 & 1;
    m.eBody = static_cast<BodyRead>(flags >> 8 & 0xFF);
    m.eByteScan = static_cast<wordbasic::ByteScan>(flags >> 16 & 0xFF);
    m.bKey = static_cast<uint8_t>(flags >> 24);
    for (uint32_t* p : {&m.cbSize, &m.lOffset, &m.cbRead, &m.nUnknown})
      if (!rd.U32(p)) return false;
    if (m.eBody == BodyRead::kWhole && !rd.Bytes(m.abSha256, sizeof m.abSha256)) return false;
    for (std::string* p : {&m.sName, &m.sDescription, &m.sSource, &m.body})
      if (!rd.Str(p)) return false;
  }
  return true;
}

// A container's listings of its members: the count left out, the count listed, each with its
// record's index (rising, each below the count of records) and its listing.
void AppendMemberListings(const FileResult& r, Writer* pw, DigestPatches* pPatches) {
  pw->U64(r.nMemberListingsLeftOut);
  pw->U64(r.memberListings.size());
  for (const MemberListing& m : r.memberListings) {
    pw->U64(m.iMember);
    AppendListing(m.listing, pw, pPatches);
  }
}

bool ReadMemberListings(Reader* prd, size_t cbResult, FileResult* pR) {
  size_t n;
  if (!prd->Size(&pR->nMemberListingsLeftOut) || !prd->Size(&n) || n > pR->members.size())
    return false;
  pR->memberListings.resize(n);
  for (size_t k = 0; k < n; ++k) {
    MemberListing& m = pR->memberListings[k];
    if (!prd->Size(&m.iMember) || m.iMember >= pR->members.size() ||
        (k > 0 && m.iMember <= pR->memberListings[k - 1].iMember) ||
        !ReadListing(prd, cbResult, &m.listing))
      return false;
  }
  return true;
}

// Appends r in its compact form, length first.
void AppendResult(const FileResult& r, std::string* pOut, DigestPatches* pPatches = nullptr) {
  Writer w(pOut);
  size_t at = w.Reserve32();
  const MacroTable& t = r.doc.table;
  w.U32(static_cast<uint32_t>(r.outcome) | static_cast<uint32_t>(r.doc.kind) << 8 |
        r.bFallback << 16 | r.bUnconfirmed << 17 | t.bNameSection << 18 | t.bCut << 19);
  w.U32(static_cast<uint32_t>(r.cause) | static_cast<uint32_t>(r.foundBy) << 8);
  for (const std::string* p : {&r.sVirus, &r.sResultMacros, &r.sReason, &r.doc.sError}) w.Str(*p);
  for (size_t n : {r.nLeftOut, r.nCalls, t.nMacros, t.nUnnamed, t.names.size()}) w.U64(n);
  w.U64(r.id.uVolume);
  w.U64(r.id.uIndex);
  w.U32(r.nLinks);
  for (const std::string& s : t.names) w.Str(s);
  AppendContainer(r, &w);
  AppendListing(r.listing, &w, pPatches);
  AppendMemberListings(r, &w, pPatches);
  w.Set32(at, static_cast<uint32_t>(pOut->size() - at - 4));
}

}  // namespace

std::string EncodeResult(const FileResult& r) {
  std::string s;
  AppendResult(r, &s);
  return s.substr(4);
}

bool DecodeResult(std::string_view s, FileResult* pR) {
  Reader rd(s);
  MacroTable& t = pR->doc.table;
  uint32_t flags, codes;
  size_t nNames;
  // Bits no encoder writes are refused, so that what is accepted is what was sent.
  if (!rd.U32(&flags) || (flags >> 20) != 0 ||
      (flags & 0xFF) > static_cast<uint32_t>(Outcome::kSkipped) ||
      ((flags >> 8) & 0xFF) > static_cast<uint32_t>(DocKind::kWord6) || !rd.U32(&codes) ||
      (codes & 0xFF) > static_cast<uint32_t>(container::kLastCause) ||
      (codes >> 8) > static_cast<uint32_t>(kLastFoundBy))
    return false;
  pR->cause = static_cast<Cause>(codes & 0xFF);
  pR->foundBy = static_cast<FoundBy>(codes >> 8);
  pR->outcome = static_cast<Outcome>(flags & 0xFF);
  pR->doc.kind = static_cast<DocKind>((flags >> 8) & 0xFF);
  pR->bFallback = flags >> 16 & 1;
  pR->bUnconfirmed = flags >> 17 & 1;
  t.bNameSection = flags >> 18 & 1;
  t.bCut = flags >> 19 & 1;
  for (std::string* p : {&pR->sVirus, &pR->sResultMacros, &pR->sReason, &pR->doc.sError})
    if (!rd.Str(p)) return false;
  if (!rd.Size(&pR->nLeftOut) || !rd.Size(&pR->nCalls) || !rd.Size(&t.nMacros) ||
      !rd.Size(&t.nUnnamed) || !rd.Size(&nNames) || nNames > s.size() / 4 ||
      !rd.U64(&pR->id.uVolume) || !rd.U64(&pR->id.uIndex) || !rd.U32(&pR->nLinks))
    return false;
  t.names.resize(nNames);
  for (std::string& name : t.names)
    if (!rd.Str(&name)) return false;
  if (!ReadContainer(&rd, s.size(), pR) || !ReadListing(&rd, s.size(), &pR->listing) ||
      !ReadMemberListings(&rd, s.size(), pR))
    return false;
  return rd.Done();
}

bool DecodeReply(std::string_view s, size_t nMax, const std::function<void(FileResult&&)>& each) {
  Reader rd(s);
  uint32_t n = 0;
  if (!rd.U32(&n) || n > nMax) return false;
  for (uint32_t k = 0; k < n; ++k) {
    std::string_view one;
    FileResult r;
    if (!rd.View(&one) || !DecodeResult(one, &r)) return false;
    each(std::move(r));
  }
  return rd.Done();
}

BatchWriter::BatchWriter(uint32_t uBatch, size_t nItems) {
  Writer w(&m_s);
  w.U32(uBatch);
  w.U32(static_cast<uint32_t>(nItems));
}

void BatchWriter::Add(Reach reach, uint32_t uSlot, bool bFollow, bool bKnownRegular,
                      const std::string& sName, const std::string& sPath) {
  Writer w(&m_s);
  w.U32(static_cast<uint32_t>(reach));
  w.U32(uSlot);
  w.U32(bFollow | bKnownRegular << 1);
  w.Str(sName);
  w.Str(sPath);
}

std::string EncodeBatch(uint32_t uBatch, const std::vector<BatchItem>& items) {
  BatchWriter w(uBatch, items.size());
  for (const BatchItem& it : items)
    w.Add(it.reach, it.uSlot, it.bFollow, it.bKnownRegular, it.sName, it.sPath);
  return w.Request();
}

bool DecodeBatch(std::string_view s, size_t nFds, uint32_t* puBatch,
                 std::vector<BatchItem>* pItems) {
  Reader rd(s);
  uint32_t n = 0;
  if (!rd.U32(puBatch) || !rd.U32(&n) || n > kMaxBatch) return false;
  pItems->clear();
  for (uint32_t i = 0; i < n; ++i) {
    BatchItem it;
    uint32_t uReach, uFlags;
    if (!rd.U32(&uReach) || !rd.U32(&it.uSlot) || !rd.U32(&uFlags) || (uFlags & ~3u) != 0 ||
        !rd.Str(&it.sName) || !rd.Str(&it.sPath) || uReach > static_cast<uint32_t>(Reach::kByPath))
      return false;
    it.reach = static_cast<Reach>(uReach);
    if (it.reach != Reach::kByPath && it.uSlot >= nFds) return false;
    it.bFollow = uFlags & 1;
    it.bKnownRegular = uFlags & 2;
    pItems->push_back(std::move(it));
  }
  return rd.Done();
}

ReplyWriter::ReplyWriter() { Clear(); }

void ReplyWriter::Add(const FileResult& r) {
  AppendResult(r, &m_s, &m_patches);
  ++m_n;
}

void ReplyWriter::FillDigests(const std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>>& d) {
  for (const auto& [at, iDigest] : m_patches)
    if (iDigest < d.size()) std::memcpy(&m_s[at], d[iDigest].data(), wordbasic::kSha256Bytes);
  m_patches.clear();
}

const std::string& ReplyWriter::Reply() {
  Writer(&m_s).Set32(0, static_cast<uint32_t>(m_n));
  return m_s;
}

void ReplyWriter::Clear() {
  m_s.assign(4, '\0');
  m_n = 0;
  m_patches.clear();
}

}  // namespace zm
