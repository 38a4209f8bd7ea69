// The name reader of the scan core: the macro table walk on byte tables (beside the wordbasic
// module's walk of the whole table), and the reading of built and real documents.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "namereader.h"
#include "sigdb.h"
#include "tempdir.h"
#include "wordbasic.h"

namespace {

using zm::MacroTable;
using zm::ParseMacroTable;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes* p, unsigned v) {
  p->push_back(static_cast<uint8_t>(v));
  p->push_back(static_cast<uint8_t>(v >> 8));
}

// A 0x01 section: one 24-byte entry per (mark, name id).
Bytes Entries(const std::vector<std::pair<unsigned, unsigned>>& entries, unsigned nClaimed = ~0u) {
  Bytes b = {0x01};
  Put16(&b, nClaimed == ~0u ? entries.size() : nClaimed);
  for (auto [mark, id] : entries) {
    Bytes e(24, 0);
    e[0] = static_cast<uint8_t>(mark);
    e[2] = static_cast<uint8_t>(id);
    e[3] = static_cast<uint8_t>(id >> 8);
    e[0x0C] = 10;  // length
    b.insert(b.end(), e.begin(), e.end());
  }
  return b;
}

// A 0x11 section: per name its id, length, bytes and one trailing byte.
Bytes Names(const std::vector<std::pair<unsigned, std::string>>& names, unsigned nClaimed = ~0u) {
  Bytes b = {0x11};
  Put16(&b, nClaimed == ~0u ? names.size() : nClaimed);
  for (const auto& [id, name] : names) {
    Put16(&b, id);
    b.push_back(static_cast<uint8_t>(name.size()));
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
  }
  return b;
}

Bytes Table(const std::vector<Bytes>& sections, bool bEndMark = true) {
  Bytes b = {0xFF};
  for (const Bytes& s : sections) b.insert(b.end(), s.begin(), s.end());
  if (bEndMark) b.push_back(0x40);
  return b;
}

Bytes Cut(Bytes b, size_t n) {
  b.resize(b.size() - n);
  return b;
}

const Bytes kTwoEntries = Entries({{0x55, 1}, {0x55, 2}});
const Bytes kTwoNames = Names({{1, "AutoOpen"}, {2, "FileSaveAs"}});
// Sections the walk steps over: 0x03 (two 14-byte records, then 0x00 0x02 and one 4-byte
// record), 0x05 (one 12-byte menu entry), 0x10 in 8-bit and in UTF-16 form.
const Bytes k03 = [] {
  Bytes b = {0x03, 2};
  b.insert(b.end(), 28, 0xAA);
  b.insert(b.end(), {0x00, 0x02, 0x01});
  b.insert(b.end(), 5, 0xBB);
  return b;
}();
const Bytes k05 = [] {
  Bytes b = {0x05, 1, 0};
  b.insert(b.end(), 12, 0xCC);
  return b;
}();
const Bytes k10 = {0x10, 9, 0, 4, 'M', 'a', 'i', 'n', 1, 0};
const Bytes k10Wide = {0x10, 0xFF, 0xFF, 10, 0, 1, 0, 'M', 0, 1, 0};

struct TableCase {
  const char* szWhat;
  Bytes table;
  size_t nMacros;
  std::vector<std::string> names;
  size_t nUnnamed;
  bool bNameSection, bCut;
};

const TableCase kTableCases[] = {
    {"two named macros",
     Table({kTwoEntries, kTwoNames}),
     2,
     {"AutoOpen", "FileSaveAs"},
     0,
     true,
     false},
    {"entry order, not name order",
     Table({kTwoEntries, Names({{2, "B"}, {1, "A"}})}),
     2,
     {"A", "B"},
     0,
     true,
     false},
    {"name section before the entries",
     Table({kTwoNames, kTwoEntries}),
     2,
     {"AutoOpen", "FileSaveAs"},
     0,
     true,
     false},
    {"sections 0x03 0x05 0x10 stepped over",
     Table({kTwoEntries, k03, k05, k10, k10Wide, kTwoNames}),
     2,
     {"AutoOpen", "FileSaveAs"},
     0,
     true,
     false},
    {"no end mark",
     Table({kTwoEntries, kTwoNames}, false),
     2,
     {"AutoOpen", "FileSaveAs"},
     0,
     true,
     false},
    {"only entries marked 0x55",
     Table({Entries({{0x55, 1}, {0x00, 2}, {0x54, 2}}), kTwoNames}),
     1,
     {"AutoOpen"},
     0,
     true,
     false},
    {"a name used twice counts twice",
     Table({Entries({{0x55, 1}, {0x55, 1}}), kTwoNames}),
     2,
     {"AutoOpen", "AutoOpen"},
     0,
     true,
     false},
    {"empty name kept", Table({Entries({{0x55, 7}}), Names({{7, ""}})}), 1, {""}, 0, true, false},
    {"first name of an id wins",
     Table({Entries({{0x55, 1}}), Names({{1, "A"}, {1, "B"}})}),
     1,
     {"A"},
     0,
     true,
     false},
    // Failures.
    {"no name section", Table({kTwoEntries}), 2, {}, 2, false, false},
    {"an id that names nothing",
     Table({Entries({{0x55, 1}, {0x55, 9}}), kTwoNames}),
     2,
     {"AutoOpen"},
     1,
     true,
     false},
    {"name section cut short",
     Cut(Table({kTwoEntries, kTwoNames}, false), 4),
     2,
     {},
     2,
     false,
     true},
    {"name section claims more names",
     Table({kTwoEntries, Names({{1, "AutoOpen"}}, 300)}),
     2,
     {},
     2,
     false,
     true},
    {"entries cut short keep the whole ones",
     Cut(Table({kTwoEntries}, false), 1),
     1,
     {},
     1,
     false,
     true},
    {"entry count beyond the bytes",
     Table({Entries({{0x55, 1}}, 0xFFFF), kTwoNames}),
     1,
     {},
     1,
     false,
     true},
    {"unknown section ends the walk",
     Table({kTwoEntries, {0x07}, kTwoNames}),
     2,
     {},
     2,
     false,
     false},
    {"0x12 ends the walk", Table({kTwoEntries, {0x12}, kTwoNames}), 2, {}, 2, false, false},
    {"0x10 size inside its own field",
     Table({kTwoEntries, {0x10, 1, 0}, kTwoNames}),
     2,
     {},
     2,
     false,
     true},
    {"0x05 count beyond the bytes",
     Table({kTwoEntries, {0x05, 0xFF, 0xFF}, kTwoNames}),
     2,
     {},
     2,
     false,
     true},
    {"not a table", Bytes{0x00, 0x01, 0x01, 0x00}, 0, {}, 0, false, false},
    {"no bytes", Bytes{}, 0, {}, 0, false, false},
};

// The same view from the wordbasic module's walk of the whole table, which zebscan's listing of
// macros reads: both walks must agree on what a table holds.
MacroTable WordBasicView(const Bytes& table) {
  std::vector<wordbasic::Entry> entries(64);
  wordbasic::Table w = wordbasic::ReadTable(table.data(), table.size(), entries.data(), 64);
  MacroTable t;
  for (size_t i = 0; i < w.nStored; ++i) {
    const wordbasic::Entry& e = entries[i];
    if (!e.Marked()) continue;
    ++t.nMacros;
    if (!e.name.bPresent) {
      ++t.nUnnamed;
      continue;
    }
    char ach[256];
    wordbasic::TextToUtf8(table.data(), table.size(), e.name, ach, sizeof ach);
    t.names.push_back(ach);
  }
  t.bNameSection = w.bNameSection;
  t.bCut = w.bCut;
  return t;
}

TEST(MacroTableWalk, NamesEachTakenEntryByItsId) {
  for (const TableCase& c : kTableCases) {
    SCOPED_TRACE(c.szWhat);
    for (const MacroTable& t :
         {ParseMacroTable(c.table.data(), c.table.size()), WordBasicView(c.table)}) {
      EXPECT_EQ(t.nMacros, c.nMacros);
      EXPECT_EQ(t.names, c.names);
      EXPECT_EQ(t.nUnnamed, c.nUnnamed);
      EXPECT_EQ(t.bNameSection, c.bNameSection);
      EXPECT_EQ(t.bCut, c.bCut);
    }
  }
}

TEST(MacroTableWalk, EveryCutOfATableEndsWithoutReadingPastIt) {
  Bytes full = Table({kTwoEntries, k03, k05, k10, k10Wide, kTwoNames});
  for (size_t n = 0; n <= full.size(); ++n) {
    Bytes part(full.begin(),
               full.begin() + static_cast<std::ptrdiff_t>(n));  // exact size: ASan sees overreads
    MacroTable t = ParseMacroTable(part.data(), part.size());
    EXPECT_LE(t.names.size(), 2u);
    MacroTable w = WordBasicView(part);
    EXPECT_EQ(w.names, t.names);
    EXPECT_EQ(w.bCut, t.bCut);
  }
}

// ---- Built documents, read from files ----

std::vector<std::string> Numbered(size_t n, const std::string& sStem = "M") {
  std::vector<std::string> v;
  for (size_t i = 0; i < n; ++i) v.push_back(sStem + std::to_string(i));
  return v;
}

using zm::DocKind;
using zm::DocNames;
using zm::ReadDocumentNames;

zmdoc::DocSpec WithNames(const std::vector<std::string>& names) {
  zmdoc::DocSpec spec;
  for (const std::string& name : names) {
    zmdoc::MacroSpec m;
    m.name = name;
    m.body.assign(30, 0x20);
    m.key = 0x11;
    spec.macros.push_back(m);
  }
  return spec;
}

// The spec rebuilt with its bytes changed at stream offsets found from a first build.
zmdoc::DocSpec Patched(zmdoc::DocSpec spec, uint32_t (*pfnAt)(const zmdoc::BuildInfo&),
                       std::vector<uint8_t> bytes) {
  zmdoc::BuildInfo info;
  zmdoc::BuildWord6(spec, &info);
  spec.patches.push_back({pfnAt(info), std::move(bytes)});
  return spec;
}

zmdoc::DocSpec CutAt(zmdoc::DocSpec spec, uint32_t (*pfnAt)(const zmdoc::BuildInfo&)) {
  spec.minStreamSize = 8192;  // regular sectors: file offsets follow from the chain
  zmdoc::BuildInfo info;
  zmdoc::BuildWord6(spec, &info);
  uint32_t lAt = pfnAt(info);
  spec.truncateTo =
      (info.chain.at(lAt / zmdoc::kSectorSize) + 1) * zmdoc::kSectorSize + lAt % zmdoc::kSectorSize;
  return spec;
}

const std::string k30(30, 'L');
const std::string k31(31, 'M');

struct DocCase {
  const char* szWhat;
  zmdoc::DocSpec spec;
  DocKind kind;
  std::vector<std::string> names;
  size_t nMacros, nUnnamed;
  bool bCut;
};

std::vector<DocCase> DocCases() {
  zmdoc::DocSpec noTable;
  noTable.macroTable = false;
  zmdoc::DocSpec noNames = WithNames({"AutoOpen", "FileSaveAs"});
  noNames.nameSection = false;
  zmdoc::DocSpec shortLength = WithNames({"AutoOpen", "FileSaveAs"});
  shortLength.fibMacroLength = 4 + 2 * 24 + 12;  // ends inside the name section
  zmdoc::DocSpec word97 = WithNames({"AutoOpen"});
  word97.word97 = true;
  zmdoc::DocSpec regular = WithNames({"AutoOpen", "FileSaveAs"});
  regular.minStreamSize = 8192;
  regular.streamOrder = zmdoc::ChainOrder::kReverse;
  zmdoc::DocSpec mini = WithNames({"AutoOpen", "FileSaveAs"});
  mini.placement = zmdoc::Placement::kMini;
  mini.miniReverse = true;
  std::vector<std::string> n25 = Numbered(25, "Macro"), n26 = Numbered(26, "Macro"),
                           n300 = Numbered(300, "Macro");
  auto idOfSecond = [](const zmdoc::BuildInfo& i) { return i.tableOffset + 4 + 24 + 2; };
  auto inNames = [](const zmdoc::BuildInfo& i) { return i.tableOffset + i.tableLength - 6; };
  auto inEntries = [](const zmdoc::BuildInfo& i) { return i.tableOffset + 4 + 24 + 10; };
  auto afterEntries = [](const zmdoc::BuildInfo& i) { return i.tableOffset + 4 + 2 * 24; };
  zmdoc::DocSpec loop = WithNames({"AutoOpen"});
  loop.minStreamSize = 8192;
  loop.streamChainLoop = true;
  zmdoc::DocSpec miniLoop = WithNames({"AutoOpen"});
  miniLoop.miniChainLoop = true;
  zmdoc::DocSpec empty = WithNames({"AutoOpen"});
  empty.startField = zmdoc::kEndOfChain;
  zmdoc::DocSpec badFib = WithNames({"AutoOpen"});
  badFib.fibMacroTable = 0x10000000;
  zmdoc::DocSpec otherName = WithNames({"AutoOpen"});
  otherName.streamName = u"WordDocumenT";
  zmdoc::DocSpec emptyTable;
  emptyTable.emptyTable = true;
  zmdoc::DocSpec encrypted = WithNames({"AutoOpen", "FileSaveAs"});
  encrypted.encrypted = true;
  zmdoc::DocSpec encryptedRegular = encrypted;
  encryptedRegular.minStreamSize = 8192;
  zmdoc::DocSpec encryptedEmpty = emptyTable;
  encryptedEmpty.encrypted = true;
  zmdoc::DocSpec encryptedFar = encrypted;
  encryptedFar.fibMacroTable = 0xFFFFFFFF;  // scrambled past the reader's limit: it refuses
  return {
      {"no macro table", noTable, DocKind::kWord6, {}, 0, 0, false},
      {"one macro", WithNames({"AutoOpen"}), DocKind::kWord6, {"AutoOpen"}, 1, 0, false},
      {"25 macros", WithNames(n25), DocKind::kWord6, n25, 25, 0, false},
      {"26 macros", WithNames(n26), DocKind::kWord6, n26, 26, 0, false},
      {"300 macros", WithNames(n300), DocKind::kWord6, n300, 300, 0, false},
      {"names of 30 and 31 characters",
       WithNames({k30, k31}),
       DocKind::kWord6,
       {k30, k31},
       2,
       0,
       false},
      {"accented name", WithNames({"B\xFCroNeu"}), DocKind::kWord6, {"B\xFCroNeu"}, 1, 0, false},
      {"an empty table, FF 40", emptyTable, DocKind::kWord6, {}, 0, 0, false},
      {"regular sectors in reverse",
       regular,
       DocKind::kWord6,
       {"AutoOpen", "FileSaveAs"},
       2,
       0,
       false},
      {"mini-stream in reverse", mini, DocKind::kWord6, {"AutoOpen", "FileSaveAs"}, 2, 0, false},
      // Failures.
      {"no name section", noNames, DocKind::kWord6, {}, 2, 2, false},
      {"name section cut by the table length", shortLength, DocKind::kWord6, {}, 2, 2, true},
      {"an id that points nowhere",
       Patched(WithNames({"AutoOpen", "FileSaveAs"}), idOfSecond, {0x77, 0x77}),
       DocKind::kWord6,
       {"AutoOpen"},
       2,
       1,
       false},
      {"file cut inside the name section",
       CutAt(WithNames({"AutoOpen", "FileSaveAs"}), inNames),
       DocKind::kTruncated,
       {},
       2,
       2,
       true},
      {"file cut between the entries and the names",
       CutAt(WithNames({"AutoOpen", "FileSaveAs"}), afterEntries),
       DocKind::kTruncated,
       {},
       2,
       2,
       false},
      {"file cut inside the entries",
       CutAt(WithNames({"AutoOpen", "FileSaveAs"}), inEntries),
       DocKind::kTruncated,
       {},
       1,
       1,
       true},
      {"Word 97", word97, DocKind::kNotWord6, {}, 0, 0, false},
      // Password-protected: past the FIB's first bytes nothing can be read.
      {"encrypted", encrypted, DocKind::kEncrypted, {}, 0, 0, false},
      {"encrypted, regular sectors", encryptedRegular, DocKind::kEncrypted, {}, 0, 0, false},
      {"encrypted, an empty table", encryptedEmpty, DocKind::kEncrypted, {}, 0, 0, false},
      {"encrypted, its table position past the reader's limit",
       encryptedFar,
       DocKind::kEncrypted,
       {},
       0,
       0,
       false},
      {"no WordDocument stream", otherName, DocKind::kNotWord6, {}, 0, 0, false},
      {"chain loop", loop, DocKind::kDamaged, {}, 0, 0, false},
      {"mini-chain loop", miniLoop, DocKind::kDamaged, {}, 0, 0, false},
      {"empty stream", empty, DocKind::kDamaged, {}, 0, 0, false},
      {"macro table position past the reader's limit", badFib, DocKind::kNotWord6, {}, 0, 0, false},
  };
}

TEST(NameReader, ReadsBuiltDocuments) {
  TempDir dir;
  for (const DocCase& c : DocCases()) {
    SCOPED_TRACE(c.szWhat);
    std::vector<uint8_t> bytes = zmdoc::BuildWord6(c.spec);
    ASSERT_FALSE(bytes.empty());
    std::string sPath = dir.Write("doc.doc", std::string(bytes.begin(), bytes.end()));
    DocNames d = ReadDocumentNames(sPath);
    EXPECT_EQ(d.kind, c.kind);
    EXPECT_EQ(d.table.names, c.names);
    EXPECT_EQ(d.table.nMacros, c.nMacros);
    EXPECT_EQ(d.table.nUnnamed, c.nUnnamed);
    EXPECT_EQ(d.table.bCut, c.bCut);
  }
}

TEST(NameReader, TellsFilesThatAreNoDocuments) {
  TempDir dir;
  std::vector<uint8_t> doc = zmdoc::BuildWord6(WithNames({"AutoOpen"}));
  // A stream that starts past the 13,952 sectors the header's FAT list covers: beyond the reader
  // in a file that long, broken in a short one.
  zmdoc::DocSpec far = WithNames({"AutoOpen"});
  far.minStreamSize = 8192;
  far.startField = 14000;
  std::vector<uint8_t> beyond = zmdoc::BuildWord6(far);
  std::string sBeyond(beyond.begin(), beyond.end());
  // A mini-stream document: header, FAT, directory (its WordDocument entry at 1152-1279),
  // mini-FAT, then the mini-stream.
  auto prefix = [&doc](size_t n) { return std::string(doc.begin(), doc.begin() + n); };
  zmdoc::DocSpec spec97 = WithNames({"AutoOpen"});
  spec97.word97 = true;
  std::vector<uint8_t> doc97 = zmdoc::BuildWord6(spec97);
  const std::pair<std::string, DocKind> kCases[] = {
      {"plain text", DocKind::kNotWord6},
      {"", DocKind::kNotWord6},
      {"\xD0\xCF\x11\xE0", DocKind::kTruncated},
      {prefix(600), DocKind::kTruncated},
      {prefix(1100), DocKind::kTruncated},  // no WordDocument entry yet
      {prefix(1400), DocKind::kTruncated},  // no mini-FAT
      {prefix(1600), DocKind::kTruncated},  // part of the mini-FAT
      {prefix(2100), DocKind::kTruncated},  // part of the FIB
      {prefix(doc.size() - 1), DocKind::kTruncated},
      // Cut, but its FIB, read whole, names a later Word.
      {std::string(doc97.begin(), doc97.end() - 1), DocKind::kNotWord6},
      {sBeyond + std::string(14001u * 512 - sBeyond.size(), '\0'), DocKind::kTooLarge},
      {sBeyond, DocKind::kDamaged},
  };
  for (const auto& [bytes, kind] : kCases) {
    EXPECT_EQ(ReadDocumentNames(dir.Write("f.doc", bytes)).kind, kind) << bytes.size();
  }
  EXPECT_EQ(ReadDocumentNames(dir.Path("missing.doc")).kind, DocKind::kUnreadable);
  EXPECT_EQ(ReadDocumentNames(dir.Root()).kind, DocKind::kUnreadable);
}

// Every cut of a document reads without a fault (the sanitizer build checks the reads), and is
// a truncated document once it begins as a compound file.
TEST(NameReader, SurvivesEveryCutOfADocument) {
  TempDir dir;
  zmdoc::DocSpec spec = WithNames({"AutoOpen", "FileSaveAs", "AAAZAO"});
  spec.minStreamSize = 8192;
  std::vector<uint8_t> doc = zmdoc::BuildWord6(spec);
  for (size_t n = 0; n < doc.size(); n += 37) {
    DocNames d = ReadDocumentNames(dir.Write(
        "cut.doc", std::string(doc.begin(), doc.begin() + static_cast<std::ptrdiff_t>(n))));
    EXPECT_EQ(d.kind, n < 4 ? DocKind::kNotWord6 : DocKind::kTruncated) << n;
    EXPECT_LE(d.table.names.size(), 3u);
  }
}

// Real Word 6/95 documents (none has macros) and Word 97 ones, as their list in SOURCES.md
// describes them, the two with WordDocument streams of 1124 and 3540 sectors among them.
TEST(NameReader, ReadsTheRealCorpusAsItIs) {
  const std::string sDir = std::string(ZM_CORPUS_DIR) + "/real/";
  if (!std::ifstream(sDir + "SOURCES.md")) GTEST_SKIP() << "no corpus at " << ZM_CORPUS_DIR;
  const std::pair<const char*, DocKind> kFiles[] = {
      {"poi_Word6.doc", DocKind::kWord6},
      {"poi_Word95.doc", DocKind::kWord6},
      {"poi_Bug49933.doc", DocKind::kWord6},
      {"poi_Bug51944.doc", DocKind::kWord6},
      {"poi_TestInvertedClassID.doc", DocKind::kWord6},
      {"poi_divenbog_APRIL_30-APRIL.doc", DocKind::kWord6},
      {"rubyole_test.doc", DocKind::kWord6},
      {"poi_Bug50955.doc", DocKind::kWord6},
      {"aspose_Document.PreWord60.doc", DocKind::kWord6},
      {"aspose_Node.RecurseAllNodes_nFibC0.doc", DocKind::kNotWord6},
      {"neg97_poi_SimpleMacro.doc", DocKind::kNotWord6},
      {"neg97_poi_Bug46817.doc", DocKind::kNotWord6},
  };
  for (const auto& [szFile, kind] : kFiles) {
    DocNames d = ReadDocumentNames(sDir + szFile);
    EXPECT_EQ(d.kind, kind) << szFile;
    EXPECT_EQ(d.table.nMacros, 0u) << szFile;
  }
}

// Word writes the directory last: a real document cut anywhere in its last 937 bytes has lost
// part of it, and is a truncated document, not something else.
TEST(NameReader, TellsARealDocumentCutInItsDirectory) {
  const std::string sFile = std::string(ZM_CORPUS_DIR) + "/real/poi_Word95.doc";
  std::ifstream in(sFile, std::ios::binary);
  if (!in) GTEST_SKIP() << "no corpus at " << ZM_CORPUS_DIR;
  const std::string sWhole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(sWhole.size(), 102400u);
  TempDir dir;
  const std::string sPath = dir.Write("cut.doc", sWhole);
  EXPECT_EQ(ReadDocumentNames(sPath).kind, DocKind::kWord6);
  // Cut in place and kept open, its size told anew: opening is the slow part under Wine.
  zm::File f;
  std::string sWhy;
  ASSERT_TRUE(zm::OpenFile(nullptr, sPath, true, false, &f, &sWhy)) << sWhy;
  size_t nWrong = 0;
  for (size_t n = sWhole.size() - 1; n >= sWhole.size() - 937; --n) {
    std::filesystem::resize_file(std::filesystem::u8path(sPath), n);
    f.cbSize = n;
    DocKind kind = ReadDocumentNames(f).kind;
    if (kind != DocKind::kTruncated && nWrong++ == 0) ADD_FAILURE() << n << " bytes: " << int(kind);
  }
  EXPECT_EQ(nWrong, 0u);
}

}  // namespace
