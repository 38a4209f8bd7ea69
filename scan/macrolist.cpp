// The listing of a document's macros, over the wordbasic module.
#include "macrolist.h"

#include <algorithm>
#include <cstring>

namespace zm {
namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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

// The source of a body in the clear into *pRecord, within *pcchLeft bytes, which it spends. Most
// bodies take two or three bytes of source a byte: a buffer of that size serves them at once.
void MakeSource(const std::vector<uint8_t>& clear, size_t* pcchLeft, MacroRecord* pRecord) {
  std::string& s = pRecord->sSource;
  size_t cchTry = std::min(*pcchLeft, 4 * clear.size() + 64);
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
  pRecord->nUnknown =
      static_cast<uint32_t>(info.nUnknownTokens + info.nUnknownCalls + info.nUnknownFields +
                            info.nTextTokens + (info.cbCut > 0 ? 1 : 0));
}

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
    MacroRecord m;
    m.bNamed = e.name.bPresent;
    if (m.bNamed)
      m.sName.assign(reinterpret_cast<const char*>(bytes.table.data() + e.name.lAt), e.name.cb);
    if (e.description.bPresent) m.sDescription = TableText(bytes.table, e.description);
    m.bKey = e.bKey;
    m.cbSize = e.lLength;
    m.lOffset = e.lOffset;
    m.cbRead = static_cast<uint32_t>(b.stored.size());
    m.eBody = b.bOverCap            ? BodyRead::kOverCap
              : m.cbRead < m.cbSize ? BodyRead::kCut
                                    : BodyRead::kWhole;
    m.eByteScan = e.eByteScan;
    if (m.eBody == BodyRead::kWhole) {
      uint8_t abDigest[wordbasic::kSha256Bytes];
      char achHex[2 * wordbasic::kSha256Bytes + 1];
      wordbasic::BodySha256(b.stored.data(), b.stored.size(), e.bKey, abDigest);
      wordbasic::Sha256Hex(abDigest, achHex);
      m.sSha256 = achHex;
    }
    if (detail >= MacroDetail::kSource) {
      clear.resize(b.stored.size());
      wordbasic::DecryptBody(b.stored.data(), b.stored.size(), e.bKey, clear.data());
      MakeSource(clear, &cchLeft, &m);
      if (detail == MacroDetail::kBodies) m.body.assign(clear.begin(), clear.end());
    }
    l.records.push_back(std::move(m));
  }
  return l;
}

bool IsAutoMacro(const std::string& sName) {
  static const char* const kAuto[] = {"AutoOpen", "AutoClose", "AutoNew", "AutoExec", "AutoExit"};
  return std::any_of(std::begin(kAuto), std::end(kAuto),
                     [&](const char* sz) { return CompareFolded(sName, sz) == 0; });
}

const char* CommandNamed(const std::string& sName) {
  // The statements' names (the functions, 0x8000 to 0xBFFF, are no commands a macro can stand in
  // for), sorted without regard to case once.
  static const std::vector<const char*> s_names = [] {
    size_t n = 0;
    const wordbasic::NameRow* pRows = wordbasic::CommandRows(&n);
    std::vector<const char*> v;
    for (size_t i = 0; i < n; ++i)
      if (pRows[i].wId < 0x8000 || pRows[i].wId >= 0xC000) v.push_back(pRows[i].szName);
    std::sort(v.begin(), v.end(),
              [](const char* a, const char* b) { return CompareFolded(std::string(a), b) < 0; });
    return v;
  }();
  auto it = std::lower_bound(
      s_names.begin(), s_names.end(), sName,
      [](const char* sz, const std::string& s) { return CompareFolded(s, sz) > 0; });
  return it != s_names.end() && CompareFolded(sName, *it) == 0 ? *it : nullptr;
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
