// The Word 6 document builder: lays out the WordDocument stream, then the compound file around it
// (sectors in a planned physical order, FAT and mini-FAT chains, directory tree), then applies the
// knobs that damage it.
#include "docbuilder.h"

#include <algorithm>
#include <fstream>

#include "sigdb.h"

namespace zmdoc {
namespace {

constexpr uint32_t kEntrySize = 128;
constexpr uint32_t kEntriesPerSector = kSectorSize / kEntrySize;
constexpr uint32_t kFatEntriesPerSector = kSectorSize / 4;
constexpr uint32_t kHeaderFatSlots = 109;
constexpr uint32_t kMiniPerSector = kSectorSize / kMiniSectorSize;
constexpr uint8_t kTypeUnused = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5;

void Grow(std::vector<uint8_t>* pv, size_t end) {
  if (pv->size() < end) pv->resize(end, 0);
}
void Put8(std::vector<uint8_t>* pv, size_t at, uint8_t x) {
  Grow(pv, at + 1);
  (*pv)[at] = x;
}
void Put16(std::vector<uint8_t>* pv, size_t at, uint32_t x) {
  Put8(pv, at, static_cast<uint8_t>(x));
  Put8(pv, at + 1, static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>* pv, size_t at, uint32_t x) {
  Put16(pv, at, x & 0xFFFFu);
  Put16(pv, at + 2, x >> 16);
}
void PutBytes(std::vector<uint8_t>* pv, size_t at, const std::vector<uint8_t>& b) {
  Grow(pv, at + b.size());
  std::copy(b.begin(), b.end(), pv->begin() + static_cast<std::ptrdiff_t>(at));
}

// The macro table: the 0x01 section, extra sections, the 0x05 and 0x10 sections when a macro has a
// description or a menu text, the 0x11 name section, the end mark.
std::vector<uint8_t> MakeTable(const DocSpec& s, const std::vector<uint32_t>& bodyAt) {
  // The texts: descriptions in macro order, then menu texts.
  std::vector<std::string> texts;
  std::vector<int> descIndex(s.macros.size(), -1), menuIndex(s.macros.size(), -1);
  for (size_t i = 0; i < s.macros.size(); ++i)
    if (s.macros[i].description) {
      descIndex[i] = static_cast<int>(texts.size());
      texts.push_back(*s.macros[i].description);
    }
  for (size_t i = 0; i < s.macros.size(); ++i)
    if (s.macros[i].menuText) {
      menuIndex[i] = static_cast<int>(texts.size());
      texts.push_back(*s.macros[i].menuText);
    }
  auto nameId = [&s](size_t i) { return s.macros[i].nameId.value_or(static_cast<uint16_t>(i)); };

  std::vector<uint8_t> t;
  Put8(&t, 0, s.tableMark);
  Put8(&t, 1, s.tableSection);
  Put16(&t, 2, s.countField.value_or(static_cast<uint16_t>(s.macros.size())));
  for (size_t i = 0; i < s.macros.size(); ++i) {
    const MacroSpec& m = s.macros[i];
    size_t at = t.size();
    Grow(&t, at + 24);
    t[at] = m.mark;
    t[at + 1] = m.key;
    Put16(&t, at + 2, nameId(i));
    // Without a text section the bytes stay 0, as they always were; with one, 0xFFFF names none.
    if (!texts.empty()) Put16(&t, at + 4, descIndex[i] < 0 ? 0xFFFFu : unsigned(descIndex[i]));
    Put32(&t, at + 0x0C, m.lengthField.value_or(static_cast<uint32_t>(m.body.size())));
    Put32(&t, at + 0x10, m.state);
    Put32(&t, at + 0x14, m.offsetField.value_or(bodyAt[i]));
  }
  for (const auto& section : s.extraSections) t.insert(t.end(), section.begin(), section.end());
  size_t nMenus = 0;
  for (int k : menuIndex) nMenus += k >= 0;
  if (nMenus > 0) {
    t.push_back(0x05);
    Put16(&t, t.size(), static_cast<uint32_t>(nMenus));
    for (size_t i = 0; i < s.macros.size(); ++i) {
      if (menuIndex[i] < 0) continue;
      const uint32_t record[6] = {1, 0,         static_cast<uint32_t>(menuIndex[i]),
                                  0, nameId(i), static_cast<uint32_t>(i)};
      for (uint32_t v : record) Put16(&t, t.size(), v);
    }
  }
  if (!texts.empty()) {
    size_t at = t.size() + 1;  // the size counts from its own field
    t.push_back(0x10);
    if (s.wideTexts) Put16(&t, t.size(), 0xFFFF);
    size_t sizeAt = t.size();
    Put16(&t, sizeAt, 0);
    for (const std::string& text : texts) {
      if (s.wideTexts) {
        Put16(&t, t.size(), static_cast<uint32_t>(text.size()));
        for (char c : text) Put16(&t, t.size(), static_cast<unsigned char>(c));
      } else {
        t.push_back(static_cast<uint8_t>(text.size()));
        t.insert(t.end(), text.begin(), text.end());
      }
      Put16(&t, t.size(), 1);  // references
    }
    Put16(&t, sizeAt, static_cast<uint32_t>(t.size() - at));
  }
  if (s.nameSection) {
    t.push_back(0x11);
    Put16(&t, t.size(), static_cast<uint32_t>(s.macros.size()));
    for (size_t i = 0; i < s.macros.size(); ++i) {
      const MacroSpec& m = s.macros[i];
      Put16(&t, t.size(), nameId(i));
      t.push_back(static_cast<uint8_t>(m.name.size()));
      t.insert(t.end(), m.name.begin(), m.name.end());
      t.push_back(0);
    }
  }
  t.push_back(0x40);
  return t;
}

// The WordDocument stream, and (Word 97 layout) the 1Table stream that then holds the table.
std::vector<uint8_t> MakeStream(const DocSpec& s, BuildInfo* pInfo, std::vector<uint8_t>* pTable) {
  uint32_t cursor = kFibSize;
  std::vector<uint32_t> bodyAt(s.macros.size());
  for (size_t i = 0; i < s.macros.size(); ++i) {
    if (s.macros[i].at) {
      bodyAt[i] = *s.macros[i].at;
    } else {
      bodyAt[i] = cursor;
      cursor += static_cast<uint32_t>(s.macros[i].body.size());
    }
  }
  std::vector<uint8_t> table;
  if (s.macroTable) table = s.emptyTable ? std::vector<uint8_t>{0xFF, 0x40} : MakeTable(s, bodyAt);
  const bool tableHere = s.macroTable && !s.word97;
  uint32_t tableAt = s.tableAt.value_or(cursor);

  size_t end = std::max<size_t>(cursor, s.minStreamSize);
  for (size_t i = 0; i < s.macros.size(); ++i)
    end = std::max<size_t>(end, bodyAt[i] + s.macros[i].body.size());
  if (tableHere) end = std::max<size_t>(end, tableAt + table.size());
  for (const auto& patch : s.patches)
    end = std::max<size_t>(end, patch.first + patch.second.size());

  std::vector<uint8_t> wd(end, 0);
  for (size_t i = kFibSize; i < end; ++i) wd[i] = PatternByte(static_cast<uint32_t>(i));
  // The FIB: identification, version, product, language; the rest zero.
  Put16(&wd, 0x00, s.word97 ? 0xA5EC : 0xA5DC);
  Put16(&wd, 0x02, s.word97 ? 0xC1 : 0x65);
  Put16(&wd, 0x04, s.word97 ? 0x2049 : 0xC02D);
  Put16(&wd, 0x06, 0x0409);
  Put16(&wd, 0x0A, s.word97 ? 0x0200 : 0x0000);  // fWhichTblStm: the table stream is 1Table
  Put16(&wd, 0x0C, s.word97 ? 0xBF : 0x65);
  for (size_t i = 0; i < s.macros.size(); ++i) {
    std::vector<uint8_t> b = s.macros[i].body;
    for (uint8_t& c : b) c ^= s.macros[i].key;
    PutBytes(&wd, bodyAt[i], b);
  }
  if (tableHere) PutBytes(&wd, tableAt, table);
  Put32(&wd, 0x118, s.fibMacroTable.value_or(tableHere ? tableAt : 0));
  Put32(&wd, 0x11C, s.fibMacroLength.value_or(tableHere ? static_cast<uint32_t>(table.size()) : 0));
  for (const auto& patch : s.patches) PutBytes(&wd, patch.first, patch.second);
  if (s.encrypted) {
    Put16(&wd, 0x0A, wd[0x0A] | (wd[0x0B] | 0x01) << 8);  // fEncrypted
    Put32(&wd, 0x0E, 0x7E21CE4Bu);                        // the password's verifier
    for (size_t i = 0x30; i < wd.size(); ++i)
      if (wd[i] != 0) wd[i] ^= kScrambleKey[i % 16];
  }

  if (s.word97) {
    *pTable = table;
    Grow(pTable, 0x200);
  }
  pInfo->tableOffset = tableHere ? tableAt : 0;
  pInfo->tableLength = tableHere ? static_cast<uint32_t>(table.size()) : 0;
  pInfo->bodyOffsets = bodyAt;
  return wd;
}

// One directory entry being laid out.
struct Entry {
  std::u16string name;
  uint8_t type = kTypeUnused;
  std::vector<uint8_t> data;
  Placement placement = Placement::kAuto;
  std::optional<uint32_t> startField, sizeField;
  bool mini = false;
  std::vector<uint32_t> chain;  // sectors or mini-sectors, in stream order
  uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
};

// The order of names in a storage's tree: shorter first, then code units upper-cased.
bool NameLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = (a[i] >= u'a' && a[i] <= u'z') ? static_cast<char16_t>(a[i] - 32) : a[i];
    char16_t y = (b[i] >= u'a' && b[i] <= u'z') ? static_cast<char16_t>(b[i] - 32) : b[i];
    if (x != y) return x < y;
  }
  return false;
}

uint32_t BuildTree(std::vector<Entry>* pEntries, const std::vector<int>& sorted, int lo, int hi) {
  if (lo > hi) return kNoStream;
  int mid = lo + (hi - lo) / 2;
  Entry& e = (*pEntries)[static_cast<size_t>(sorted[static_cast<size_t>(mid)])];
  e.left = BuildTree(pEntries, sorted, lo, mid - 1);
  e.right = BuildTree(pEntries, sorted, mid + 1, hi);
  return static_cast<uint32_t>(sorted[static_cast<size_t>(mid)]);
}

// What a physical sector holds.
enum class Kind { kFat, kDir, kGap, kMiniFat, kContainer, kStream, kFiller };
struct Block {
  Kind kind;
  size_t owner;  // entry index for kStream
  size_t index;  // position within its kind (or within its stream)
};

uint32_t CeilDiv(size_t a, size_t b) { return static_cast<uint32_t>((a + b - 1) / b); }

void Link(std::vector<uint32_t>* pFat, const std::vector<uint32_t>& chain) {
  for (size_t k = 0; k < chain.size(); ++k)
    (*pFat)[chain[k]] = k + 1 < chain.size() ? chain[k + 1] : kEndOfChain;
}

}  // namespace

const uint8_t kScrambleKey[16] = {0x3B, 0x9E, 0x51, 0xC7, 0x0D, 0x62, 0xA4, 0x18,
                                  0xE9, 0x75, 0x2F, 0x4A, 0xB3, 0x86, 0xD1, 0x6C};

uint8_t PatternByte(uint32_t offset) {
  return static_cast<uint8_t>((offset * 131u + (offset >> 8) * 7u + 0x5Bu) & 0xFFu);
}

std::vector<uint8_t> BuildWord6(const DocSpec& s, BuildInfo* pInfoOut) {
  BuildInfo info;
  std::vector<uint8_t> table97;
  std::vector<uint8_t> wd = MakeStream(s, &info, &table97);
  info.wordDocument = wd;

  // ---- Directory positions ----
  std::vector<Entry> entries(1);
  entries[0].name = u"Root Entry";
  entries[0].type = kTypeRoot;
  auto place = [&entries](int index, Entry e) -> bool {
    if (index < 1) return false;
    if (entries.size() <= static_cast<size_t>(index))
      entries.resize(static_cast<size_t>(index) + 1);
    if (entries[static_cast<size_t>(index)].type != kTypeUnused) return false;
    entries[static_cast<size_t>(index)] = std::move(e);
    return true;
  };
  Entry word;
  word.name = s.streamName;
  word.type = kTypeStream;
  word.data = wd;
  word.placement = s.placement;
  word.startField = s.startField;
  word.sizeField = s.sizeField;
  // No name: a compound file without a WordDocument stream (a mail, a workbook).
  const bool bWord = !s.streamName.empty();
  if (bWord && !place(s.wordDocIndex, word)) return {};
  const size_t iWord = bWord ? static_cast<size_t>(s.wordDocIndex) : SIZE_MAX;
  std::vector<int> parents(entries.size(), 0);
  std::vector<EntrySpec> extras = s.extraEntries;
  if (s.word97) {
    EntrySpec t;
    t.name = u"1Table";
    t.data = table97;
    extras.push_back(t);
  }
  for (const EntrySpec& x : extras) {
    int index = x.index;
    if (index < 0) {
      index = 1;
      while (static_cast<size_t>(index) < entries.size() &&
             entries[static_cast<size_t>(index)].type != kTypeUnused)
        ++index;
    }
    Entry e;
    e.name = x.name;
    e.type = x.type;
    e.data = x.data;
    e.placement = x.placement;
    e.startField = x.startField;
    e.sizeField = x.sizeField;
    if (!place(index, e)) return {};
    parents.resize(entries.size(), 0);
    parents[static_cast<size_t>(index)] = x.parent;
  }
  parents.resize(entries.size(), 0);
  for (int parent : parents)
    if (parent < 0 || static_cast<size_t>(parent) >= entries.size() ||
        (parent > 0 && entries[static_cast<size_t>(parent)].type != kTypeStorage))
      return {};
  for (const Entry& e : entries)
    if (e.name.size() > 31) return {};
  size_t nEntries = std::max<size_t>(entries.size(), static_cast<size_t>(s.minDirSectors) * 4);
  nEntries = CeilDiv(nEntries, kEntriesPerSector) * kEntriesPerSector;
  entries.resize(nEntries);
  const uint32_t nDir = static_cast<uint32_t>(nEntries / kEntriesPerSector);

  // ---- Mini-stream allocation, in directory order ----
  uint32_t nMini = 0;
  for (size_t i = 1; i < entries.size(); ++i) {
    Entry& e = entries[i];
    if (e.type != kTypeStream || e.data.empty()) continue;
    e.mini = e.placement == Placement::kMini ||
             (e.placement == Placement::kAuto && e.data.size() < s.miniCutoff);
    if (!e.mini) continue;
    uint32_t n = CeilDiv(e.data.size(), kMiniSectorSize);
    for (uint32_t k = 0; k < n; ++k) e.chain.push_back(nMini + k);
    if (i == iWord && s.miniReverse) std::reverse(e.chain.begin(), e.chain.end());
    nMini += n;
  }
  const uint32_t nContainer = CeilDiv(static_cast<size_t>(nMini) * kMiniSectorSize, kSectorSize);
  const uint32_t nMiniFat = CeilDiv(nMini, kFatEntriesPerSector);

  // ---- Physical order of the sectors ----
  std::vector<Block> blocks;
  for (uint32_t k = 0; k < nDir; ++k) {
    blocks.push_back({Kind::kDir, 0, k});
    if (k == 0)
      for (int g = 0; g < s.dirGapSectors; ++g) blocks.push_back({Kind::kGap, 0, 0});
  }
  for (uint32_t k = 0; k < nMiniFat; ++k) blocks.push_back({Kind::kMiniFat, 0, k});
  for (uint32_t k = 0; k < nContainer; ++k) blocks.push_back({Kind::kContainer, 0, k});
  for (size_t i = 1; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.type != kTypeStream || e.data.empty() || e.mini) continue;
    uint32_t n = CeilDiv(e.data.size(), kSectorSize);
    for (uint32_t k = 0; k < n; ++k) {
      blocks.push_back({Kind::kStream, i, k});
      if (i == iWord && s.streamOrder == ChainOrder::kInterleaved)
        blocks.push_back({Kind::kFiller, 0, 0});
    }
  }
  uint32_t nFat = 1;
  while (blocks.size() + nFat > static_cast<size_t>(nFat) * kFatEntriesPerSector) ++nFat;
  if (nFat > kHeaderFatSlots) return {};
  info.fatSectors = nFat;
  if (s.fatReversed) {
    for (uint32_t g = nFat; g-- > 0;) blocks.push_back({Kind::kFat, 0, g});
  } else {
    std::vector<Block> fat;
    for (uint32_t g = 0; g < nFat; ++g) fat.push_back({Kind::kFat, 0, g});
    blocks.insert(blocks.begin(), fat.begin(), fat.end());
  }

  // ---- Sector numbers of every chain ----
  std::vector<uint32_t> fatSecs(nFat), dirSecs(nDir), miniFatSecs(nMiniFat),
      containerSecs(nContainer);
  for (uint32_t n = 0; n < blocks.size(); ++n) {
    const Block& b = blocks[n];
    switch (b.kind) {
      case Kind::kFat:
        fatSecs[b.index] = n;
        break;
      case Kind::kDir:
        dirSecs[b.index] = n;
        break;
      case Kind::kMiniFat:
        miniFatSecs[b.index] = n;
        break;
      case Kind::kContainer:
        containerSecs[b.index] = n;
        break;
      case Kind::kStream:
        entries[b.owner].chain.push_back(n);
        break;
      default:
        break;
    }
  }
  Entry none;
  Entry& w = bWord ? entries[iWord] : none;
  if (!w.mini && s.streamOrder == ChainOrder::kReverse)
    std::reverse(w.chain.begin(), w.chain.end());

  std::vector<uint32_t> fat(static_cast<size_t>(nFat) * kFatEntriesPerSector, kFreeSector);
  for (uint32_t sec : fatSecs) fat[sec] = kFatSector;
  Link(&fat, dirSecs);
  Link(&fat, miniFatSecs);
  Link(&fat, containerSecs);
  for (const Entry& e : entries)
    if (!e.mini) Link(&fat, e.chain);
  if (s.streamChainLoop && !w.mini && !w.chain.empty()) fat[w.chain.back()] = w.chain.front();
  if (s.miniFatChainLoop && nMiniFat) fat[miniFatSecs.back()] = miniFatSecs.front();
  if (s.rootChainLoop && nContainer) fat[containerSecs.back()] = containerSecs.front();
  if (s.rootChainSectors > 0 && static_cast<uint32_t>(s.rootChainSectors) <= nContainer)
    fat[containerSecs[static_cast<size_t>(s.rootChainSectors) - 1]] = kEndOfChain;

  std::vector<uint32_t> miniFat(static_cast<size_t>(nMiniFat) * kFatEntriesPerSector, kFreeSector);
  for (const Entry& e : entries)
    if (e.mini) Link(&miniFat, e.chain);
  if (s.miniChainLoop && w.mini && !w.chain.empty()) miniFat[w.chain.back()] = w.chain.front();

  // ---- Directory entries: each storage's children in a tree of their own ----
  for (size_t iParent = 0; iParent < entries.size(); ++iParent) {
    if (entries[iParent].type != kTypeRoot && entries[iParent].type != kTypeStorage) continue;
    std::vector<int> named;
    for (size_t i = 1; i < entries.size(); ++i)
      if (entries[i].type != kTypeUnused && i < parents.size() &&
          static_cast<size_t>(parents[i]) == iParent)
        named.push_back(static_cast<int>(i));
    std::stable_sort(named.begin(), named.end(), [&entries](int a, int b) {
      return NameLess(entries[static_cast<size_t>(a)].name, entries[static_cast<size_t>(b)].name);
    });
    entries[iParent].child = BuildTree(&entries, named, 0, static_cast<int>(named.size()) - 1);
  }

  // ---- The file ----
  std::vector<uint8_t> file((blocks.size() + 1) * kSectorSize, 0);
  auto sector = [](uint32_t n) { return static_cast<size_t>(n + 1) * kSectorSize; };
  static const uint8_t kSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  for (int i = 0; i < 8; ++i)
    file[static_cast<size_t>(i)] = (s.badSignatureTail && i >= 4) ? 0 : kSig[i];
  Put16(&file, 0x18, 0x003E);
  Put16(&file, 0x1A, 0x0003);
  Put16(&file, 0x1C, 0xFFFE);
  Put16(&file, 0x1E, 9);
  Put16(&file, 0x20, 6);
  Put32(&file, 0x2C, nFat);
  Put32(&file, 0x30, dirSecs[0]);
  Put32(&file, 0x38, s.miniCutoff);
  Put32(&file, 0x3C, nMiniFat ? miniFatSecs[0] : kEndOfChain);
  Put32(&file, 0x40, nMiniFat);
  Put32(&file, 0x44, kEndOfChain);
  Put32(&file, 0x48, 0);
  for (uint32_t g = 0; g < kHeaderFatSlots; ++g)
    Put32(&file, 0x4C + 4 * g, g < nFat ? fatSecs[g] : kFreeSector);

  for (uint32_t g = 0; g < nFat; ++g)
    for (uint32_t k = 0; k < kFatEntriesPerSector; ++k)
      Put32(&file, sector(fatSecs[g]) + 4 * k, fat[g * kFatEntriesPerSector + k]);
  for (uint32_t g = 0; g < nMiniFat; ++g)
    for (uint32_t k = 0; k < kFatEntriesPerSector; ++k)
      Put32(&file, sector(miniFatSecs[g]) + 4 * k, miniFat[g * kFatEntriesPerSector + k]);
  for (uint32_t n = 0; n < blocks.size(); ++n)
    if (blocks[n].kind == Kind::kGap && !s.dirGapContent.empty()) {
      std::vector<uint8_t> gap = s.dirGapContent;
      gap.resize(kSectorSize, 0);
      PutBytes(&file, sector(n), gap);
    }
  for (const Entry& e : entries) {
    for (size_t k = 0; k < e.chain.size(); ++k) {
      size_t from = k * (e.mini ? kMiniSectorSize : kSectorSize);
      size_t n = std::min<size_t>(e.mini ? kMiniSectorSize : kSectorSize, e.data.size() - from);
      std::vector<uint8_t> piece(e.data.begin() + static_cast<std::ptrdiff_t>(from),
                                 e.data.begin() + static_cast<std::ptrdiff_t>(from + n));
      size_t at;
      if (e.mini) {
        uint32_t m = e.chain[k];
        at = sector(containerSecs[m / kMiniPerSector]) + (m % kMiniPerSector) * kMiniSectorSize;
      } else {
        at = sector(e.chain[k]);
      }
      PutBytes(&file, at, piece);
    }
  }

  entries[0].chain = containerSecs;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    size_t at = sector(dirSecs[i / kEntriesPerSector]) + (i % kEntriesPerSector) * kEntrySize;
    if (e.type == kTypeUnused) {
      Put32(&file, at + 0x44, kNoStream);
      Put32(&file, at + 0x48, kNoStream);
      Put32(&file, at + 0x4C, kNoStream);
      continue;
    }
    for (size_t c = 0; c < e.name.size(); ++c) Put16(&file, at + 2 * c, e.name[c]);
    Put16(&file, at + 0x40, static_cast<uint32_t>((e.name.size() + 1) * 2));
    file[at + 0x42] = e.type;
    file[at + 0x43] = 1;  // black
    Put32(&file, at + 0x44, e.left);
    Put32(&file, at + 0x48, e.right);
    Put32(&file, at + 0x4C, e.child);
    if (e.type == kTypeRoot) {
      // CLSID of a Word 6 or a Word 97 document.
      static const uint8_t kClsid[16] = {0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
      for (int c = 0; c < 16; ++c) file[at + 0x50 + static_cast<size_t>(c)] = kClsid[c];
      if (s.word97) file[at + 0x50] = 0x06;
    }
    uint32_t start = e.chain.empty() ? kEndOfChain : e.chain[0];
    uint32_t size =
        e.type == kTypeRoot ? nMini * kMiniSectorSize : static_cast<uint32_t>(e.data.size());
    if (e.type == kTypeStorage) start = 0, size = 0;
    Put32(&file, at + 0x74, e.startField.value_or(start));
    Put32(&file, at + 0x78, e.sizeField.value_or(size));
  }

  info.inMiniStream = w.mini;
  info.chain = w.chain;
  info.dirStart = dirSecs[0];
  if (s.truncateTo > 0 && s.truncateTo < file.size()) file.resize(s.truncateTo);
  if (pInfoOut) *pInfoOut = std::move(info);
  return file;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

std::vector<uint8_t> HexBytes(const std::string& hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
  };
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  return out;
}

std::vector<uint8_t> DatabaseSignature(int iDef, int iMacro, int iSlot) {
  if (iDef < 0 || iDef >= ZM_DEFINITIONS || iSlot < 0 || iSlot >= ZM_SIG_SLOTS) return {};
  const VirusDef& def = g_aVirusDefs[iDef];
  if (iMacro < 0 || iMacro >= def.nMacros) return {};
  const char* sz = def.pMacros[iMacro].apszSignature[iSlot];
  return sz ? HexBytes(sz) : std::vector<uint8_t>();
}

std::vector<EntrySpec> ObjectPoolEntries(int at, std::vector<EntrySpec> streams,
                                         const std::u16string& name) {
  EntrySpec pool;
  pool.name = u"ObjectPool";
  pool.type = kTypeStorage;
  pool.index = at;
  EntrySpec object;
  object.name = name;
  object.type = kTypeStorage;
  object.index = at + 1;
  object.parent = at;
  std::vector<EntrySpec> v = {pool, object};
  for (EntrySpec& e : streams) {
    e.index = at + static_cast<int>(v.size());
    e.parent = at + 1;
    v.push_back(std::move(e));
  }
  return v;
}

EntrySpec WordDocumentEntry(const DocSpec& embedded) {
  BuildInfo info;
  BuildWord6(embedded, &info);
  EntrySpec e;
  e.name = u"WordDocument";
  e.data = info.wordDocument;
  return e;
}

MacroSpec HarmlessMacro(const std::string& name) {
  MacroSpec m;
  m.name = name;
  m.body.assign(40, 0x20);
  m.key = 0x21;
  return m;
}

MacroSpec MacroCarrying(const std::vector<uint8_t>& embedded, uint8_t key, const std::string& name,
                        size_t size, size_t at) {
  MacroSpec m;
  m.name = name;
  m.key = key;
  size = std::max(size, at + embedded.size());
  m.body.resize(size);
  uint32_t x = 0x2545F491u;
  for (uint8_t& b : m.body) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  std::copy(embedded.begin(), embedded.end(), m.body.begin() + static_cast<std::ptrdiff_t>(at));
  return m;
}

}  // namespace zmdoc
