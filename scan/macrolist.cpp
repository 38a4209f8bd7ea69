// The listing of a document's macros, over the wordbasic module.
#include "macrolist.h"

#include <algorithm>
#include <cstring>

namespace zm {
namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// No command's name is longer.
constexpr size_t kLongestCommand = 64;

// strcasecmp's order over ASCII, on bytes of any value.
int CompareFolded(const std::string& a, const char* sz) {
  size_t i = 0;
  for (; i < a.size() && sz[i] != '\0'; ++i) {
    const unsigned char ca = FoldAscii(a[i]), cb = FoldAscii(sz[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return i < a.size() ? 1 : sz[i] != '\0' ? -1 : 0;
}

// A cut text ends on a whole UTF-8 sequence: a trailing lead byte and what follows it are dropped
// when the sequence it begins is not all there.
void DropPartialSequence(std::string* ps) {
  std::string& s = *ps;
  for (size_t k = 1; k <= 3 && k <= s.size(); ++k) {
    const unsigned char c = s[s.size() - k];
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (n > k) s.resize(s.size() - k);
    return;
  }
}

// A text of the table as UTF-8, cut to kMaxDescriptionBytes.
std::string TableText(const std::vector<uint8_t>& table, const wordbasic::TextRef& text) {
  char ach[kMaxDescriptionBytes + 1];
  const size_t cch = wordbasic::TextToUtf8(table.data(), table.size(), text, ach, sizeof ach);
  std::string s(ach, std::min(cch, kMaxDescriptionBytes));
  if (cch > kMaxDescriptionBytes) DropPartialSequence(&s);
  return s;
}

// The source of a body in the clear into *pRecord, within *pcchLeft bytes, which it spends.
// WordBasic takes two or three bytes of source a byte of body, bytes of no known token some five
// ("[token 0xNN] "): a buffer of eight serves nearly every body in one pass.
void MakeSource(const std::vector<uint8_t>& clear, size_t* pcchLeft, MacroRecord* pRecord) {
  std::string& s = pRecord->sSource;
  size_t cchTry = std::min(*pcchLeft, 8 * clear.size() + 64);
  wordbasic::SourceInfo info;
  for (int iPass = 0; iPass < 2; ++iPass) {
    s.resize(cchTry + 1);
    info = wordbasic::Detokenise(clear.data(), clear.size(), &s[0], s.size());
    if (!info.bTruncated || cchTry == *pcchLeft) break;
    cchTry = std::min(*pcchLeft, info.cchSource);
  }
  s.resize(info.cchWritten);
  pRecord->bSourceCut = info.bTruncated;
  if (info.bTruncated) DropPartialSequence(&s);
  *pcchLeft -= s.size();
  pRecord->nUnknown = static_cast<uint32_t>(
      info.nUnknownTokens + info.nUnknownCalls + info.nUnknownFields + info.nTextTokens +
      (info.cbCut > 0 ? 1 : 0) + (info.cbNotDecoded > 0 ? 1 : 0));
}

// The statements' names (the functions, 0x8000 to 0xBFFF, are no commands a macro can stand in
// for) by a hash of their names in lower case, open addressing: asked of every macro listed, one
// probe or two where a tree of strings takes a dozen cache misses. Most macros are named like no
// command, and a bit for each length, first and last letter that a command has (8 KiB that stay
// in the cache) tells nearly all of them before any hash.
struct CommandTable {
  static constexpr size_t kSlots = 4096;  // a power of two, some four times the names
  static constexpr size_t kBits = 65536;
  struct Slot {
    const char* sz = nullptr;
    uint32_t uHash = 0;
  } aSlots[kSlots];
  uint64_t aqBits[kBits / 64] = {};
  // A letter 1 to 26, a digit 27 to 31 (apart from every letter: names often end in one), any
  // other byte 0.
  static uint32_t Kind(char c) {
    const unsigned char u = static_cast<unsigned char>(FoldAscii(c));
    return u >= 'a' && u <= 'z' ? u - 'a' + 1u : u >= '0' && u <= '9' ? 27u + (u - '0') % 5u : 0u;
  }
  static uint32_t Shape(const char* pch, size_t cch) {
    return static_cast<uint32_t>(cch % 64) << 10 | Kind(pch[0]) << 5 | Kind(pch[cch - 1]);
  }
  bool MayHold(const char* pch, size_t cch) const {
    const uint32_t u = Shape(pch, cch);
    return aqBits[u / 64] >> (u % 64) & 1;
  }
  CommandTable() {
    size_t n = 0;
    const wordbasic::NameRow* pRows = wordbasic::CommandRows(&n);
    for (size_t i = 0; i < n; ++i) {
      if (pRows[i].wId >= 0x8000 && pRows[i].wId < 0xC000) continue;
      const uint32_t u = Hash(pRows[i].szName, std::strlen(pRows[i].szName));
      size_t k = u & (kSlots - 1);
      while (aSlots[k].sz != nullptr) k = (k + 1) & (kSlots - 1);
      aSlots[k] = {pRows[i].szName, u};
      const uint32_t uShape = Shape(pRows[i].szName, std::strlen(pRows[i].szName));
      aqBits[uShape / 64] |= uint64_t{1} << (uShape % 64);
    }
  }
  // FNV-1a over the bytes in ASCII lower case.
  static uint32_t Hash(const char* pch, size_t cch) {
    uint32_t u = 2166136261u;
    for (size_t i = 0; i < cch; ++i)
      u = (u ^ static_cast<unsigned char>(FoldAscii(pch[i]))) * 16777619u;
    return u;
  }
};

}  // namespace

MacroListing ListMacros(const MacroBytes& bytes, MacroDetail detail) {
  MacroListing l;
  if (detail == MacroDetail::kNone || (bytes.bodies.empty() && bytes.nLeftOut == 0)) return l;
  l.detail = detail;
  l.bTemplate = bytes.bTemplate;
  l.nLeftOut = bytes.nLeftOut;
  l.records.reserve(bytes.bodies.size());
  size_t cchLeft = kMaxListedSourceBytes;
  std::vector<uint8_t> clear;
  for (const MacroBytes::Body& b : bytes.bodies) {
    const wordbasic::Entry& e = bytes.entries[b.iEntry];
    MacroRecord& m = l.records.emplace_back();
    m.bNamed = e.name.bPresent;
    if (m.bNamed)
      m.sName.assign(reinterpret_cast<const char*>(bytes.table.data() + e.name.lAt), e.name.cb);
    if (e.description.bPresent) m.sDescription = TableText(bytes.table, e.description);
    m.bKey = e.bKey;
    m.cbSize = e.lLength;
    m.lOffset = e.lOffset;
    m.cbRead = b.cbRead;
    m.eBody = b.bOverCap            ? BodyRead::kOverCap
              : m.cbRead < m.cbSize ? BodyRead::kCut
                                    : BodyRead::kWhole;
    m.eByteScan = e.eByteScan;
    if (m.eBody == BodyRead::kWhole) {
      m.iQueuedDigest = b.iQueued;
      std::memcpy(m.abSha256, b.abSha256, sizeof m.abSha256);
    }
    if (detail >= MacroDetail::kSource && b.stored.size() == b.cbRead) {
      clear.resize(b.stored.size());
      wordbasic::DecryptBody(b.stored.data(), b.stored.size(), e.bKey, clear.data());
      MakeSource(clear, &cchLeft, &m);
      if (detail == MacroDetail::kBodies) m.body.assign(clear.begin(), clear.end());
    }
  }
  return l;
}

std::string Sha256Text(const MacroRecord& m) {
  if (m.eBody != BodyRead::kWhole) return {};
  char achHex[2 * wordbasic::kSha256Bytes + 1];
  wordbasic::Sha256Hex(m.abSha256, achHex);
  return achHex;
}

size_t ListingBytes(const MacroListing& l) {
  size_t cb = 32;
  for (const MacroRecord& m : l.records)
    cb += 48 + m.sName.size() + m.sDescription.size() + m.sSource.size() + m.body.size();
  return cb;
}

bool IsAutoMacro(const std::string& sName) {
  static const char* const kAuto[] = {"AutoOpen", "AutoClose", "AutoNew", "AutoExec", "AutoExit"};
  // Seven to nine letters from an A: most names are none.
  if (sName.size() < 7 || sName.size() > 9 || FoldAscii(sName[0]) != 'a') return false;
  return std::any_of(std::begin(kAuto), std::end(kAuto),
                     [&](const char* sz) { return CompareFolded(sName, sz) == 0; });
}

const char* CommandNamed(const std::string& sName) {
  static const CommandTable s_table;
  if (sName.empty() || sName.size() > kLongestCommand ||
      !s_table.MayHold(sName.data(), sName.size()))
    return nullptr;
  const uint32_t u = CommandTable::Hash(sName.data(), sName.size());
  for (size_t k = u & (CommandTable::kSlots - 1); s_table.aSlots[k].sz != nullptr;
       k = (k + 1) & (CommandTable::kSlots - 1)) {
    const CommandTable::Slot& slot = s_table.aSlots[k];
    if (slot.uHash == u && CompareFolded(sName, slot.sz) == 0) return slot.sz;
  }
  return nullptr;
}

const char* ByteScanText(wordbasic::ByteScan e) {
  switch (e) {
    case wordbasic::ByteScan::kTaken:
      return "taken";
    case wordbasic::ByteScan::kNotMarked:
      return "not marked";
    case wordbasic::ByteScan::kEmpty:
      return "empty";
    case wordbasic::ByteScan::kTooLong:
      return "too long";
    case wordbasic::ByteScan::kBeyondCap:
      return "beyond the 64th";
    case wordbasic::ByteScan::kNotFirst:
      return "not in the first section";
    case wordbasic::ByteScan::kCut:
      return "in a cut section";
  }
  return "";
}

}  // namespace zm
