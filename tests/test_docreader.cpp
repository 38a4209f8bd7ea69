// Reading documents built by the document builder: the compound document reader
// (regular sectors and, for small streams, the mini-stream), the macro table and extraction, and
// the signature matcher. Every test ends with no file open and no block committed.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "docreader.h"
#include "fileprim.h"
#include "hostfake.h"
#include "tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;

zmdoc::MacroSpec Body(size_t n, uint8_t key = 0, uint8_t seed = 1) {
  zmdoc::MacroSpec m;
  m.key = key;
  for (size_t i = 0; i < n; ++i) m.body.push_back(static_cast<uint8_t>(seed + 7 * i));
  return m;
}

class Doc : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
  }

  // Builds and writes a document; its path.
  std::string Write(const zmdoc::DocSpec& spec, zmdoc::BuildInfo* pInfo = nullptr) {
    Bytes file = zmdoc::BuildWord6(spec, pInfo);
    EXPECT_FALSE(file.empty());
    return WriteBytes(file);
  }
  std::string WriteBytes(const Bytes& file) {
    std::string sPath = dir.Path("d" + std::to_string(nFiles++) + ".doc");
    EXPECT_TRUE(zmdoc::WriteFile(sPath, file));
    return sPath;
  }
  // The whole readable length of the stream through requests; empty when a read fails.
  static Bytes ReadAll(DocReader* p, uint32_t cb) {
    Bytes v;
    for (uint32_t lPos = 0; lPos < cb; lPos += ZM_IMAGE) {
      int32_t n = static_cast<int32_t>(cb - lPos < ZM_IMAGE ? cb - lPos : ZM_IMAGE);
      if (!DOC_iReadAt(p, lPos, n)) return {};
      v.insert(v.end(), p->abImage, p->abImage + n);
    }
    return v;
  }
  // A fresh DocReader over a file, ready for DOC_Open or DOC_ReadMacroTable.
  DocReader* Fresh(const std::string& sPath) {
    DocReader* p = static_cast<DocReader*>(pCommitBlock(sizeof(DocReader)));
    p->hFile = hOpenRead(sPath.c_str());
    EXPECT_NE(p->hFile, -1);
    p->lSectorSize = ZM_SECTOR;
    return p;
  }

  HostFake fake;
  TempDir dir;
  int nFiles = 0;
};

// ---------------------------------------------------------------------------------------------
// The compound document reader: regular sectors

TEST_F(Doc, OpensAndReadsARegularStream) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(300, 0x41), Body(20)};
  spec.minStreamSize = 9000;
  zmdoc::BuildInfo info;
  DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(info.inMiniStream);
  EXPECT_EQ(p->bInMiniStream, 0);
  EXPECT_EQ(p->wChainLength, 18);
  EXPECT_EQ(p->wStartSector, info.chain[0]);
  EXPECT_EQ(p->lStreamSize, 9000u);
  EXPECT_EQ(p->lMacroTablePos, info.tableOffset);
  EXPECT_EQ(p->lDirOffset, (info.dirStart + 1) * 512);
  EXPECT_EQ(DOC_lReadableBytes(p), 18u * 512u);
  EXPECT_EQ(ReadAll(p, 9000), info.wordDocument);
  DOC_CloseDocument(p);
}

// Whatever the layout of sectors, the stream reads as it was written.
TEST_F(Doc, ReadsTheStreamWhateverTheLayout) {
  struct Case {
    const char* szName;
    void (*pfnSet)(zmdoc::DocSpec*);
  } kCases[] = {
      {"forward", [](zmdoc::DocSpec*) {}},
      {"reverse chain", [](zmdoc::DocSpec* s) { s->streamOrder = zmdoc::ChainOrder::kReverse; }},
      {"interleaved", [](zmdoc::DocSpec* s) { s->streamOrder = zmdoc::ChainOrder::kInterleaved; }},
      {"FAT sectors listed in reverse file order",
       [](zmdoc::DocSpec* s) {
         s->fatReversed = true;
         s->minStreamSize = 200000;  // several FAT sectors
       }},
      {"entry 31, the last of a full block", [](zmdoc::DocSpec* s) { s->wordDocIndex = 31; }},
      {"other streams first",
       [](zmdoc::DocSpec* s) {
         s->wordDocIndex = 3;
         zmdoc::EntrySpec a, b;
         a.name =
             u"\x01"
             u"CompObj";
         a.data.assign(5000, 0x11);
         b.name = u"Data";
         b.data.assign(100, 0x22);
         s->extraEntries = {a, b};
       }},
      {"directory with a free sector after its first",
       [](zmdoc::DocSpec* s) {
         s->minDirSectors = 2;
         s->dirGapSectors = 1;
         s->wordDocIndex = 5;
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    zmdoc::DocSpec spec;
    spec.macros = {Body(100, 0x33)};
    spec.minStreamSize = 6000;
    c.pfnSet(&spec);
    zmdoc::BuildInfo info;
    DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ReadAll(p, static_cast<uint32_t>(info.wordDocument.size())), info.wordDocument);
    EXPECT_EQ(p->lMacroTablePos, info.tableOffset);
    DOC_CloseDocument(p);
  }
}

TEST_F(Doc, OnlyTheFirstFourSignatureBytesAreExamined) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.badSignatureTail = true;
  DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
  EXPECT_NE(p, nullptr);
  DOC_CloseDocument(p);

  spec.badSignatureTail = false;
  Bytes file = zmdoc::BuildWord6(spec);
  file[3] = 0xE1;
  EXPECT_EQ(DOC_pOpenDocument(WriteBytes(file).c_str()), nullptr);
  EXPECT_EQ(DOC_pOpenDocument(dir.Write("text.doc", std::string(5000, 'x')).c_str()), nullptr);
  EXPECT_EQ(DOC_pOpenDocument(dir.Write("empty.doc", "").c_str()), nullptr);
  EXPECT_EQ(DOC_pOpenDocument(dir.Path("missing.doc").c_str()), nullptr);
}

TEST_F(Doc, TheNameMustReduceExactlyToWordDocument) {
  const struct {
    std::u16string name;
    bool bFound;
  } kCases[] = {
      {u"WordDocument", true},
      {u"worddocument", false},
      {u"WordDocumen", false},
      {u"WordDocumentX", false},
      // Every non-zero byte of the first 26 counts: a code unit 0x6F57 gives the bytes "Wo".
      {u"\u6F57rdDocument", true},
      {u"W\u0100ordDocument", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.bFound);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    spec.streamName = c.name;
    DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
    EXPECT_EQ(p != nullptr, c.bFound);
    DOC_CloseDocument(p);
  }
}

// All 32 entries of a full directory block are examined, the last one read included; the 33rd
// lies beyond the block.
TEST_F(Doc, EntriesUpToTheThirtySecondAreFound) {
  for (int iEntry : {1, 2, 30, 31, 32, 40}) {
    SCOPED_TRACE(iEntry);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    spec.wordDocIndex = iEntry;
    DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
    EXPECT_EQ(p != nullptr, iEntry <= 31);
    DOC_CloseDocument(p);
  }
}

TEST_F(Doc, TheFirstEntryNamedWordDocumentWinsWhateverItsType) {
  // Two streams named WordDocument: the one in the lower position is read.
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.wordDocIndex = 2;
  zmdoc::EntrySpec other;
  other.name = u"WordDocument";
  other.data.assign(700, 0x00);
  other.index = 1;
  DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
  ASSERT_NE(p, nullptr);
  DOC_CloseDocument(p);
  spec.extraEntries = {other};
  zmdoc::BuildInfo info;
  p = DOC_pOpenDocument(Write(spec, &info).c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->lStreamSize, 700u);
  EXPECT_EQ(p->lMacroTablePos, 0u);  // the other stream's zero bytes at 0x118
  DOC_CloseDocument(p);

  // A storage named WordDocument is taken too: give it the start and size of a real stream.
  zmdoc::DocSpec s2;
  s2.macros = {Body(10)};
  s2.minStreamSize = 5000;
  s2.streamName = u"Renamed";
  s2.wordDocIndex = 2;
  zmdoc::EntrySpec storage;
  storage.name = u"WordDocument";
  storage.type = 1;
  storage.index = 1;
  s2.extraEntries = {storage};
  zmdoc::BuildInfo i2;
  EXPECT_EQ(DOC_pOpenDocument(Write(s2, &i2).c_str()), nullptr);  // start 0, size 0: empty
  s2.extraEntries[0].startField = i2.chain[0];
  s2.extraEntries[0].sizeField = 5000;
  p = DOC_pOpenDocument(Write(s2, &i2).c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->lMacroTablePos, i2.tableOffset);
  DOC_CloseDocument(p);
}

// Word opens the root storage's WordDocument stream: an embedded document's, its storages listed
// before it, is passed over whatever it holds; without a root stream of the name the first entry
// of it is still taken.
TEST_F(Doc, TheRootStoragesStreamWinsOverAnEmbeddedOne) {
  zmdoc::DocSpec clean;
  clean.macros = {Body(20, 0x11, 9)};
  zmdoc::DocSpec word97 = clean;
  word97.word97 = true;
  zmdoc::EntrySpec damaged = zmdoc::WordDocumentEntry(clean);
  damaged.startField = zmdoc::kEndOfChain;
  zmdoc::EntrySpec big = zmdoc::WordDocumentEntry(clean);
  big.data.resize(6000, 0x5A);  // in regular sectors
  const struct {
    const char* szWhat;
    zmdoc::EntrySpec embedded;
    std::u16string rootName;
    bool bEmbeddedRead;
  } kCases[] = {
      {"a clean Word 6 document", zmdoc::WordDocumentEntry(clean), u"WordDocument", false},
      {"a Word 97 document", zmdoc::WordDocumentEntry(word97), u"WordDocument", false},
      {"a damaged stream", damaged, u"WordDocument", false},
      {"a stream in regular sectors", big, u"WordDocument", false},
      {"no root stream of the name", zmdoc::WordDocumentEntry(clean), u"Renamed", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    for (uint32_t cbMin : {0u, 6000u}) {  // the root's stream in the mini-stream, then not
      zmdoc::DocSpec spec;
      spec.macros = {Body(300, 0x41), Body(20)};
      spec.minStreamSize = cbMin;
      spec.streamName = c.rootName;
      spec.wordDocIndex = 4;
      spec.extraEntries = zmdoc::ObjectPoolEntries(1, {c.embedded});
      zmdoc::BuildInfo info;
      DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
      ASSERT_NE(p, nullptr);
      if (c.bEmbeddedRead) {
        EXPECT_EQ(p->lStreamSize, c.embedded.data.size());
      } else {
        EXPECT_EQ(p->lStreamSize, info.wordDocument.size());
        EXPECT_EQ(p->lMacroTablePos, info.tableOffset);
        EXPECT_EQ(ReadAll(p, static_cast<uint32_t>(info.wordDocument.size())), info.wordDocument);
      }
      DOC_CloseDocument(p);
    }
  }
  // The root's tree is walked through its links only: one that loops, or leaves the block, ends
  // its branch; an embedded stream linked in as the root's child counts as one of them.
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.wordDocIndex = 4;
  spec.extraEntries = zmdoc::ObjectPoolEntries(1, {zmdoc::WordDocumentEntry(clean)});
  zmdoc::BuildInfo info;
  Bytes file = zmdoc::BuildWord6(spec, &info);
  const size_t lDir = (info.dirStart + 1) * 512;
  auto link = [&](size_t iEntry, size_t at, uint32_t l) {
    for (int k = 0; k < 4; ++k)
      file[lDir + iEntry * 128 + at + k] = static_cast<uint8_t>(l >> 8 * k);
  };
  const struct {
    size_t iEntry, at;
    uint32_t l;
    bool bRootRead;
  } kLinks[] = {
      {4, 0x44, 4, true},    // the root's stream its own sibling
      {4, 0x48, 0, true},    // back to the root
      {4, 0x44, 999, true},  // outside the block
      {0, 0x4C, 3, false},   // the root's child the embedded stream: taken as the root's
  };
  for (const auto& l : kLinks) {
    SCOPED_TRACE(l.at);
    Bytes saved = file;
    link(l.iEntry, l.at, l.l);
    DocReader* p = DOC_pOpenDocument(WriteBytes(file).c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->lStreamSize == info.wordDocument.size(), l.bRootRead);
    DOC_CloseDocument(p);
    file = saved;
  }
}

// The directory is read as one block from its first sector: sectors after the first are taken
// as entries, and the directory's real continuation is seen only while it lies in the block.
TEST_F(Doc, TheDirectoryIsOneContiguousBlock) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.minStreamSize = 6000;
  spec.minDirSectors = 2;
  spec.wordDocIndex = 4;  // the first entry of the directory's second sector
  for (int nGap : {0, 1, 6, 7}) {
    SCOPED_TRACE(nGap);
    spec.dirGapSectors = nGap;
    DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
    EXPECT_EQ(p != nullptr, nGap < 7);
    DOC_CloseDocument(p);
  }
  // A decoy entry in the sector after the first is found before the real one.
  zmdoc::BuildInfo info;
  spec.dirGapSectors = 1;
  Write(spec, &info);
  Bytes decoy(128, 0);
  const char* szName = "WordDocument";
  for (int i = 0; szName[i]; ++i)
    decoy[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(szName[i]);
  decoy[0x74] = static_cast<uint8_t>(info.chain[0]);  // the real stream's start ...
  decoy[0x78] = 0x34;                                 // ... with a size of its own
  decoy[0x79] = 0x12;
  spec.dirGapContent = decoy;
  DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->lStreamSize, 0x1234u);
  DOC_CloseDocument(p);
}

// Long streams open up to the longest chain that the header's 109 FAT sectors can describe
// (13,952 sectors less the FAT and the directory); the last byte of each reads, the next fails.
TEST_F(Doc, LongChainsOpenUpToWhatTheHeadersFatCovers) {
  for (uint32_t nSectors : {1024u, 1025u, 13800u}) {
    SCOPED_TRACE(nSectors);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    spec.minStreamSize = nSectors * 512;
    spec.streamOrder = zmdoc::ChainOrder::kReverse;  // every step of the walk a new FAT entry
    zmdoc::BuildInfo info;
    DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->wChainLength, nSectors);
    uint32_t lLast = nSectors * 512 - 1;
    ASSERT_EQ(DOC_iReadAt(p, lLast, 1), 1);
    EXPECT_EQ(p->abImage[0], info.wordDocument[lLast]);
    EXPECT_EQ(DOC_iReadAt(p, lLast + 1, 1), 0);
    DOC_CloseDocument(p);
  }
}

TEST_F(Doc, BrokenChainsFailTheOpen) {
  struct Case {
    const char* szName;
    void (*pfnSet)(zmdoc::DocSpec*);
  } kCases[] = {
      {"a loop", [](zmdoc::DocSpec* s) { s->streamChainLoop = true; }},
      // Empty stream: a start that is an end or free marker.
      {"start is the end marker", [](zmdoc::DocSpec* s) { s->startField = zmdoc::kEndOfChain; }},
      {"start is the free marker", [](zmdoc::DocSpec* s) { s->startField = zmdoc::kFreeSector; }},
      // A sector whose FAT sector would be listed in slot 109 or later (unusable, a choice).
      {"sector 13952", [](zmdoc::DocSpec* s) { s->startField = 13952; }},
      {"sector 60000", [](zmdoc::DocSpec* s) { s->startField = 60000; }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    spec.minStreamSize = 5000;
    c.pfnSet(&spec);
    EXPECT_EQ(DOC_pOpenDocument(Write(spec).c_str()), nullptr);
  }
}

TEST_F(Doc, TheFibPositionMustBeBelow0x10000000) {
  for (uint32_t lPos : {0x0FFFFFFFu, 0x10000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(lPos);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    spec.fibMacroTable = lPos;
    DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
    EXPECT_EQ(p != nullptr, lPos < 0x10000000u);
    if (p) {
      EXPECT_EQ(p->lMacroTablePos, lPos);
    }
    DOC_CloseDocument(p);
  }
}

// A request of 24 bytes starting 10 bytes before a sector's end: 10 bytes from that sector and 14
// from the next sector of the chain (here not the next one in the file).
TEST_F(Doc, ARequestAcrossASectorBoundaryFollowsTheChain) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.minStreamSize = 8 * 512;
  spec.streamOrder = zmdoc::ChainOrder::kReverse;
  zmdoc::BuildInfo info;
  DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
  ASSERT_NE(p, nullptr);
  ASSERT_NE(info.chain[3] + 1, info.chain[4]);
  const uint32_t lPos = 4 * 512 - 10;
  ASSERT_EQ(DOC_iReadAt(p, lPos, 24), 1);
  EXPECT_EQ(Bytes(p->abImage, p->abImage + 24),
            Bytes(info.wordDocument.begin() + lPos, info.wordDocument.begin() + lPos + 24));
  EXPECT_EQ(p->lCachedOffset, (info.chain[4] + 1) * 512);
  DOC_CloseDocument(p);
}

TEST_F(Doc, TheFileIsReadAWindowAtATime) {
  for (bool bMini : {false, true}) {
    SCOPED_TRACE(bMini);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    spec.minStreamSize = bMini ? 3000 : 40000;
    zmdoc::BuildInfo info;
    Bytes file = zmdoc::BuildWord6(spec, &info);
    DocReader* p = DOC_pOpenDocument(WriteBytes(file).c_str());
    ASSERT_NE(p, nullptr);
    int nReads = fake.Calls(kCallRead);
    // The whole stream in requests of 100 bytes, each of several sectors or mini-sectors: one
    // read for each window of the file the stream crosses, not one for each sector.
    const uint32_t cbStream = static_cast<uint32_t>(info.wordDocument.size()) / 100 * 100;
    for (uint32_t lPos = 0; lPos < cbStream; lPos += 100) {
      ASSERT_EQ(DOC_iReadAt(p, lPos, 100), 1);
      ASSERT_EQ(Bytes(p->abImage, p->abImage + 100),
                Bytes(info.wordDocument.begin() + lPos, info.wordDocument.begin() + lPos + 100));
    }
    EXPECT_LE(fake.Calls(kCallRead) - nReads,
              static_cast<int>((file.size() + ZM_READ_WINDOW - 1) / ZM_READ_WINDOW));
    // Back and forth between the stream's two ends (a scan reads its macros from the last to the
    // first): each end's window is read once at most.
    nReads = fake.Calls(kCallRead);
    for (int i = 0; i < 4; ++i)
      for (uint32_t lPos : {0u, cbStream - 100}) ASSERT_EQ(DOC_iReadAt(p, lPos, 100), 1);
    EXPECT_LE(fake.Calls(kCallRead) - nReads, 2);
    DOC_CloseDocument(p);
  }
}

// The file's bytes where a window holds them: from any offset up to the window's end or the
// file's; none at or past the file's end, or when the window's read fails (and the next asks
// again).
TEST_F(Doc, FileRunsAreTakenFromTheWindows) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.minStreamSize = 40000;
  Bytes file = zmdoc::BuildWord6(spec);
  const uint32_t cbFile = static_cast<uint32_t>(file.size());
  DocReader* p = DOC_pOpenDocument(WriteBytes(file).c_str());
  ASSERT_NE(p, nullptr);
  const struct {
    uint32_t lOffset, cbMax, cbRun;
  } kRuns[] = {
      {0, 100, 100},
      {ZM_READ_WINDOW - 10, 100, 10},  // the window ends
      {ZM_READ_WINDOW, 3 * ZM_READ_WINDOW, ZM_READ_WINDOW},
      {cbFile - 5, 100, 5},  // the file ends
      {cbFile, 100, 0},
      {cbFile + 600, 10, 0},
  };
  for (const auto& r : kRuns) {
    SCOPED_TRACE(r.lOffset);
    uint32_t cb = 77;
    const uint8_t* pb = DOC_pbFileRun(p, r.lOffset, r.cbMax, &cb);
    ASSERT_EQ(cb, r.cbRun);
    if (r.cbRun == 0) {
      EXPECT_EQ(pb, nullptr);
      continue;
    }
    EXPECT_EQ(Bytes(pb, pb + cb), Bytes(file.begin() + r.lOffset, file.begin() + r.lOffset + cb));
  }
  const uint32_t lMiddle = 2 * ZM_READ_WINDOW + 3;  // in no window held now
  uint32_t cb = 77;
  fake.FailNth(kCallRead, 1);
  EXPECT_EQ(DOC_pbFileRun(p, lMiddle, 8, &cb), nullptr);
  EXPECT_EQ(cb, 0u);
  const uint8_t* pb = DOC_pbFileRun(p, lMiddle, 8, &cb);
  ASSERT_NE(pb, nullptr);
  EXPECT_EQ(Bytes(pb, pb + cb), Bytes(file.begin() + lMiddle, file.begin() + lMiddle + 8));
  DOC_CloseDocument(p);
}

// A file cut inside a sector is no error: the missing bytes keep what the cache held.
TEST_F(Doc, ATruncatedSectorKeepsTheCachedBytes) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.minStreamSize = 8 * 512;  // the stream's last sector is the file's last sector
  zmdoc::BuildInfo info;
  Bytes file = zmdoc::BuildWord6(spec, &info);
  ASSERT_EQ(info.chain.back() + 2u, file.size() / 512);
  file.resize(file.size() - 200);
  DocReader* p = DOC_pOpenDocument(WriteBytes(file).c_str());
  ASSERT_NE(p, nullptr);
  const Bytes& wd = info.wordDocument;
  ASSERT_EQ(DOC_iReadAt(p, 6 * 512, 512), 1);  // sector 6 now in the cache
  ASSERT_EQ(DOC_iReadAt(p, 7 * 512, 512), 1);
  EXPECT_EQ(Bytes(p->abImage, p->abImage + 312),
            Bytes(wd.begin() + 7 * 512, wd.begin() + 7 * 512 + 312));
  EXPECT_EQ(Bytes(p->abImage + 312, p->abImage + 512),
            Bytes(wd.begin() + 6 * 512 + 312, wd.begin() + 7 * 512));
  DOC_CloseDocument(p);

  // A file that ends before its directory: no directory byte can be read, so nothing is found.
  spec.minStreamSize = 0;
  Bytes small = zmdoc::BuildWord6(spec, &info);
  small.resize((info.dirStart + 1) * 512);
  EXPECT_EQ(DOC_pOpenDocument(WriteBytes(small).c_str()), nullptr);
}

TEST_F(Doc, RequestsBeyondTheChainFail) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.minStreamSize = 5000;
  DocReader* p = DOC_pOpenDocument(Write(spec).c_str());
  ASSERT_NE(p, nullptr);
  const uint32_t lEnd = 10 * 512;
  EXPECT_EQ(DOC_lReadableBytes(p), lEnd);
  EXPECT_EQ(DOC_iReadAt(p, lEnd - 4, 4), 1);  // slack after the size, inside the chain
  EXPECT_EQ(DOC_iReadAt(p, lEnd - 4, 5), 0);
  EXPECT_EQ(DOC_iReadAt(p, lEnd, 0), 0);  // even an empty request there
  EXPECT_EQ(DOC_iReadAt(p, 0xFFFFFFFFu, 1), 0);
  EXPECT_EQ(DOC_iReadAt(p, 0, ZM_IMAGE + 1), 0);  // does not fit abImage
  EXPECT_EQ(DOC_iReadAt(p, 0, -1), 0);
  EXPECT_EQ(DOC_iReadAt(p, 0, ZM_IMAGE), 1);
  DOC_CloseDocument(p);
}

TEST_F(Doc, FailedPlatformCallsFailTheOpen) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10)};
  spec.minStreamSize = 5000;
  spec.minStreamSize = 40000;  // the stream's first sector last, in another window
  spec.streamOrder = zmdoc::ChainOrder::kReverse;
  std::string sPath = Write(spec);
  int nSeeks = fake.Calls(kCallSeek);
  DOC_CloseDocument(DOC_pOpenDocument(sPath.c_str()));
  nSeeks = fake.Calls(kCallSeek) - nSeeks;
  ASSERT_GE(nSeeks, 2);
  // Every read the open makes is needed: failing any of them fails the open.
  for (int n = 1; n <= nSeeks; ++n) {
    SCOPED_TRACE(n);
    fake.FailNth(kCallSeek, n);
    EXPECT_EQ(DOC_pOpenDocument(sPath.c_str()), nullptr);
  }
  fake.FailNth(kCallSeek, 0);
  fake.FailNth(kCallCommit, 1);
  EXPECT_EQ(DOC_pOpenDocument(sPath.c_str()), nullptr);
  fake.FailNth(kCallOpen, 1);
  EXPECT_EQ(DOC_pOpenDocument(sPath.c_str()), nullptr);
  DocReader* p = DOC_pOpenDocument(sPath.c_str());
  EXPECT_NE(p, nullptr);
  DOC_CloseDocument(p);
}

// DOC_pOpenDocument says why it failed, so the front end can report a clear reason.
TEST_F(Doc, OpenFailuresSayWhy) {
  struct Case {
    const char* szName;
    void (*pfnSet)(zmdoc::DocSpec*);
    int32_t iWhy;
  } kCases[] = {
      {"well-formed", [](zmdoc::DocSpec*) {}, DOC_WHY_NONE},
      {"bad signature", [](zmdoc::DocSpec* s) { s->truncateTo = 2; }, DOC_WHY_NOT_OLE2},
      {"no WordDocument", [](zmdoc::DocSpec* s) { s->streamName = u"Word"; },
       DOC_WHY_NO_WORDDOCUMENT},
      {"empty stream", [](zmdoc::DocSpec* s) { s->startField = zmdoc::kEndOfChain; },
       DOC_WHY_EMPTY_STREAM},
      {"1025 sectors", [](zmdoc::DocSpec* s) { s->minStreamSize = 1025 * 512; }, DOC_WHY_NONE},
      {"chain loop",
       [](zmdoc::DocSpec* s) {
         s->minStreamSize = 5000;
         s->streamChainLoop = true;
       },
       DOC_WHY_CHAIN_TOO_LONG},
      {"loop of a chain of 13,000 sectors",
       [](zmdoc::DocSpec* s) {
         s->minStreamSize = 13000 * 512;
         s->streamChainLoop = true;
       },
       DOC_WHY_CHAIN_TOO_LONG},
      {"sector beyond the listed FAT",
       [](zmdoc::DocSpec* s) {
         s->minStreamSize = 5000;
         s->startField = 14000;
       },
       DOC_WHY_BROKEN_CHAIN},
      {"mini-chain loop", [](zmdoc::DocSpec* s) { s->miniChainLoop = true; }, DOC_WHY_MINI_STREAM},
      {"FIB position", [](zmdoc::DocSpec* s) { s->fibMacroTable = 0x10000000; }, DOC_WHY_FIB},
  };
  // A block used before, attached with and without the head read into its window by the caller,
  // must read each file as a fresh reader does: nothing an earlier document left there shows (a
  // file of two bytes would otherwise pass the signature test).
  DocReader* pKept = DOC_pCommitReader();
  ASSERT_NE(pKept, nullptr);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    c.pfnSet(&spec);
    const std::string sPath = Write(spec);
    int32_t iWhy = -1;
    DocReader* p = DOC_pOpenDocument(sPath.c_str(), &iWhy);
    EXPECT_EQ(iWhy, c.iWhy);
    EXPECT_EQ(p != nullptr, c.iWhy == DOC_WHY_NONE);
    const Bytes fresh = p ? ReadAll(p, DOC_lReadableBytes(p)) : Bytes();
    for (bool bHead : {false, true}) {
      SCOPED_TRACE(bHead);
      // Whatever an earlier document left: here the compound file's signature everywhere, in
      // step with abImage.
      for (size_t i = 0; i < sizeof *pKept; ++i)
        reinterpret_cast<uint8_t*>(pKept)[i] =
            "\xD0\xCF\x11\xE0"[(i - offsetof(DocReader, abImage)) % 4];
      int32_t h = hOpenRead(sPath.c_str());
      int32_t cbHead =
          bHead ? static_cast<int32_t>(uReadBlockAt(h, 0, pKept->aabWindow[0], ZM_READ_WINDOW))
                : -1;
      int32_t iWhyKept = -1;
      EXPECT_EQ(DOC_iAttachInto(pKept, h, cbHead, &iWhyKept), p != nullptr);
      EXPECT_EQ(iWhyKept, c.iWhy);
      if (p) {
        EXPECT_EQ(pKept->lMacroTablePos, p->lMacroTablePos);
        EXPECT_EQ(ReadAll(pKept, DOC_lReadableBytes(pKept)), fresh);
      }
      iCloseFile(h);
    }
    DOC_CloseDocument(p);
  }
  DOC_CloseDocument(pKept);
  int32_t iWhy = -1;
  EXPECT_EQ(DOC_pOpenDocument(dir.Path("missing.doc").c_str(), &iWhy), nullptr);
  EXPECT_EQ(iWhy, DOC_WHY_FILE);
  fake.FailNth(kCallCommit, 1);
  EXPECT_EQ(DOC_pOpenDocument(dir.Path("missing.doc").c_str(), &iWhy), nullptr);
  EXPECT_EQ(iWhy, DOC_WHY_FILE);
}

// ---------------------------------------------------------------------------------------------
// The mini-stream: streams below the header's cutoff

TEST_F(Doc, ReadsASmallStreamFromTheMiniStream) {
  struct Case {
    const char* szName;
    void (*pfnSet)(zmdoc::DocSpec*);
  } kCases[] = {
      {"alone", [](zmdoc::DocSpec*) {}},
      {"mini-chain backwards", [](zmdoc::DocSpec* s) { s->miniReverse = true; }},
      {"after other small streams",
       [](zmdoc::DocSpec* s) {
         s->wordDocIndex = 3;
         zmdoc::EntrySpec a, b;
         a.name =
             u"\x01"
             u"CompObj";
         a.data.assign(106, 0x11);
         b.name =
             u"\x05"
             u"SummaryInformation";
         b.data.assign(1500, 0x22);
         s->extraEntries = {a, b};
       }},
      {"beside a large stream",
       [](zmdoc::DocSpec* s) {
         zmdoc::EntrySpec a;
         a.name = u"Data";
         a.data.assign(40000, 0x33);
         s->extraEntries = {a};
         s->fatReversed = true;
       }},
      {"4095 bytes, 64 mini-sectors", [](zmdoc::DocSpec* s) { s->minStreamSize = 4095; }},
      // Mini-sectors past 8192 (a container of more than 1024 sectors, a mini-FAT of more than 64).
      {"after 3 MB of other streams in the mini-stream",
       [](zmdoc::DocSpec* s) {
         s->wordDocIndex = 3;
         zmdoc::EntrySpec a;
         a.name = u"Big";
         a.data.assign(3u << 20, 0x44);
         a.placement = zmdoc::Placement::kMini;
         s->extraEntries = {a};
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    zmdoc::DocSpec spec;
    spec.macros = {Body(300, 0x5A)};
    spec.minStreamSize = 2600;
    c.pfnSet(&spec);
    zmdoc::BuildInfo info;
    DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
    ASSERT_TRUE(info.inMiniStream);
    ASSERT_NE(p, nullptr);
    uint32_t cb = static_cast<uint32_t>(info.wordDocument.size());
    EXPECT_EQ(p->bInMiniStream, 1);
    EXPECT_EQ(p->lStreamSize, cb);
    EXPECT_EQ(p->wMiniChainLength, (cb + 63) / 64);
    EXPECT_EQ(DOC_lReadableBytes(p), (cb + 63) / 64 * 64);
    EXPECT_EQ(p->lMacroTablePos, info.tableOffset);
    EXPECT_EQ(ReadAll(p, cb), info.wordDocument);
    // A request across mini-sectors that are not neighbours in the container.
    ASSERT_EQ(DOC_iReadAt(p, 64 * 5 - 3, 70), 1);
    EXPECT_EQ(Bytes(p->abImage, p->abImage + 70),
              Bytes(info.wordDocument.begin() + 317, info.wordDocument.begin() + 387));
    // Beyond the mini-chain, as beyond a regular chain.
    EXPECT_EQ(DOC_iReadAt(p, DOC_lReadableBytes(p) - 1, 1), 1);
    EXPECT_EQ(DOC_iReadAt(p, DOC_lReadableBytes(p), 1), 0);
    DOC_CloseDocument(p);
  }
}

// The header's cutoff decides: with a cutoff of 0 a small stream is a regular one.
TEST_F(Doc, TheHeadersCutoffDecidesWhereTheStreamIs) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(100)};
  spec.miniCutoff = 0;
  zmdoc::BuildInfo info;
  DocReader* p = DOC_pOpenDocument(Write(spec, &info).c_str());
  ASSERT_FALSE(info.inMiniStream);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->bInMiniStream, 0);
  EXPECT_EQ(ReadAll(p, static_cast<uint32_t>(info.wordDocument.size())), info.wordDocument);
  DOC_CloseDocument(p);
}

// Damaged mini-streams fail the open cleanly: no hang, no leak, no bytes of something else.
TEST_F(Doc, DamagedMiniStreamsFailTheOpen) {
  struct Case {
    const char* szName;
    void (*pfnSet)(zmdoc::DocSpec*);
  } kCases[] = {
      {"mini-chain loop", [](zmdoc::DocSpec* s) { s->miniChainLoop = true; }},
      {"mini-FAT chain loop", [](zmdoc::DocSpec* s) { s->miniFatChainLoop = true; }},
      {"container chain loop", [](zmdoc::DocSpec* s) { s->rootChainLoop = true; }},
      {"container chain ends early", [](zmdoc::DocSpec* s) { s->rootChainSectors = 2; }},
      {"size below the chain", [](zmdoc::DocSpec* s) { s->sizeField = 2600 - 64 * 3; }},
      {"size above the chain", [](zmdoc::DocSpec* s) { s->sizeField = 2600 + 64 * 3; }},
      {"size 0", [](zmdoc::DocSpec* s) { s->sizeField = 0; }},
      {"start is the end marker", [](zmdoc::DocSpec* s) { s->startField = zmdoc::kEndOfChain; }},
      {"start beyond the container", [](zmdoc::DocSpec* s) { s->startField = 200; }},
      // A small stream in regular sectors: there is no mini-stream to read it from.
      {"small stream in regular sectors",
       [](zmdoc::DocSpec* s) { s->placement = zmdoc::Placement::kRegular; }},
      // In the mini-stream but too long for it: more than 64 mini-sectors.
      {"5000 bytes in the mini-stream",
       [](zmdoc::DocSpec* s) {
         s->placement = zmdoc::Placement::kMini;
         s->miniCutoff = 8192;
         s->minStreamSize = 5000;
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    zmdoc::DocSpec spec;
    spec.macros = {Body(300, 0x5A)};
    spec.minStreamSize = 2600;
    c.pfnSet(&spec);
    EXPECT_EQ(DOC_pOpenDocument(Write(spec).c_str()), nullptr);
  }
}

// Conservative: entry 0 must be the root storage for its stream to serve as the container.
TEST_F(Doc, TheContainerIsTheRootStoragesStream) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(100)};
  zmdoc::BuildInfo info;
  Bytes file = zmdoc::BuildWord6(spec, &info);
  DocReader* p = DOC_pOpenDocument(WriteBytes(file).c_str());
  ASSERT_NE(p, nullptr);
  DOC_CloseDocument(p);
  file[(info.dirStart + 1) * 512 + 0x42] = 1;  // entry 0 now a plain storage
  EXPECT_EQ(DOC_pOpenDocument(WriteBytes(file).c_str()), nullptr);
}

// The shared mapping from stream bytes to file offsets (the front end's truncation test uses it).
TEST_F(Doc, FileOffsetsOfStreamBytes) {
  for (bool bMini : {false, true}) {
    SCOPED_TRACE(bMini);
    zmdoc::DocSpec spec;
    spec.macros = {Body(100, 0x12)};
    spec.minStreamSize = bMini ? 3000 : 7000;
    spec.streamOrder = zmdoc::ChainOrder::kReverse;
    spec.miniReverse = true;
    zmdoc::BuildInfo info;
    Bytes file = zmdoc::BuildWord6(spec, &info);
    DocReader* p = DOC_pOpenDocument(WriteBytes(file).c_str());
    ASSERT_NE(p, nullptr);
    for (uint32_t lPos = 0; lPos < info.wordDocument.size(); ++lPos) {
      uint32_t lOffset = DOC_lFileOffsetOf(p, lPos);
      ASSERT_GE(lOffset, 512u) << lPos;
      ASSERT_LT(lOffset, file.size()) << lPos;
      ASSERT_EQ(file[lOffset], info.wordDocument[lPos]) << lPos;
    }
    EXPECT_NE(DOC_lFileOffsetOf(p, DOC_lReadableBytes(p) - 1), 0u);
    EXPECT_EQ(DOC_lFileOffsetOf(p, DOC_lReadableBytes(p)), 0u);
    DOC_CloseDocument(p);
  }
}

// ---------------------------------------------------------------------------------------------
// The macro table and extraction

TEST_F(Doc, ListsTheEntriesMarked0x55InTableOrder) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(30, 1, 1), Body(40, 2, 2), Body(50, 3, 3)};
  spec.macros[1].mark = 0x00;
  zmdoc::BuildInfo info;
  DocReader* p = Fresh(Write(spec, &info));
  ASSERT_EQ(DOC_ReadMacroTable(p), 1);
  ASSERT_EQ(p->wMacroCount, 2);
  EXPECT_EQ(p->alMacroOffset[0], info.bodyOffsets[0]);
  EXPECT_EQ(p->alMacroLength[0], 30u);
  EXPECT_EQ(p->abMacroKey[0], 1);
  EXPECT_EQ(p->alMacroOffset[1], info.bodyOffsets[2]);
  EXPECT_EQ(p->alMacroLength[1], 50u);
  EXPECT_EQ(p->abMacroKey[1], 3);
  EXPECT_EQ(p->lSectorSize, 512u);
  DOC_CloseDocument(p);
}

TEST_F(Doc, LengthsFrom1To3999AreTaken) {
  const struct {
    uint32_t lLength;
    bool bTaken;
  } kCases[] = {{0, false}, {1, true}, {3999, true}, {4000, false}, {0xFFFFFFFF, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lLength);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10), Body(4000)};
    spec.macros[1].lengthField = c.lLength;
    DocReader* p = Fresh(Write(spec));
    ASSERT_EQ(DOC_ReadMacroTable(p), 1);
    EXPECT_EQ(p->wMacroCount, c.bTaken ? 2 : 1);
    if (c.bTaken) {
      EXPECT_EQ(p->alMacroLength[1], c.lLength);
      EXPECT_EQ(DOC_ExtractMacro(p, 1), 1);
    }
    DOC_CloseDocument(p);
  }
}

TEST_F(Doc, TablesThatListNothingFail) {
  struct Case {
    const char* szName;
    void (*pfnSet)(zmdoc::DocSpec*);
  } kCases[] = {
      {"0xFF 0x02", [](zmdoc::DocSpec* s) { s->tableSection = 0x02; }},
      {"0xFE 0x01", [](zmdoc::DocSpec* s) { s->tableMark = 0xFE; }},
      {"count 0", [](zmdoc::DocSpec* s) { s->countField = 0; }},
      {"no entry marked 0x55", [](zmdoc::DocSpec* s) { s->macros[0].mark = 0x54; }},
      {"no table (FIB 0)", [](zmdoc::DocSpec* s) { s->macroTable = false; }},
      {"table beyond the chain", [](zmdoc::DocSpec* s) { s->fibMacroTable = 0x00100000; }},
      {"Word 97 layout", [](zmdoc::DocSpec* s) { s->word97 = true; }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    zmdoc::DocSpec spec;
    spec.macros = {Body(10)};
    c.pfnSet(&spec);
    DocReader* p = Fresh(Write(spec));
    EXPECT_EQ(DOC_ReadMacroTable(p), 0);
    EXPECT_EQ(p->wMacroCount, 0);
    DOC_CloseDocument(p);
  }
}

// A table announcing more entries than the stream holds fails as a whole at the first entry that
// reaches beyond the chain, although earlier entries were listed.
TEST_F(Doc, AnEntryBeyondTheChainFailsTheWholeTable) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10), Body(10)};
  spec.nameSection = false;
  zmdoc::BuildInfo info;
  Write(spec, &info);
  uint32_t lEnd = static_cast<uint32_t>((info.wordDocument.size() + 63) / 64 * 64);
  // Entries 0 and 1 are real; further ones run over the end mark and the slack to the chain end.
  uint32_t nFit = (lEnd - info.tableOffset - 4) / 24;
  spec.countField = static_cast<uint16_t>(nFit);
  DocReader* p = Fresh(Write(spec));
  EXPECT_EQ(DOC_ReadMacroTable(p), 1);
  EXPECT_EQ(p->wMacroCount, 2);
  DOC_CloseDocument(p);
  spec.countField = static_cast<uint16_t>(nFit + 1);
  p = Fresh(Write(spec));
  EXPECT_EQ(DOC_ReadMacroTable(p), 0);
  EXPECT_EQ(p->wMacroCount, 2);
  DOC_CloseDocument(p);
}

// More than 64 usable entries (a choice): the first 64 are listed, the rest read and ignored.
TEST_F(Doc, AtMost64MacrosAreListed) {
  zmdoc::DocSpec spec;
  for (int i = 0; i < 70; ++i)
    spec.macros.push_back(Body(5, static_cast<uint8_t>(i), static_cast<uint8_t>(i)));
  spec.minStreamSize = 8000;
  zmdoc::BuildInfo info;
  DocReader* p = Fresh(Write(spec, &info));
  ASSERT_EQ(DOC_ReadMacroTable(p), 1);
  EXPECT_EQ(p->wMacroCount, 64);
  EXPECT_EQ(p->alMacroOffset[63], info.bodyOffsets[63]);
  EXPECT_EQ(p->abMacroKey[63], 63);
  // The remaining entries were read: the table position moved past all 70.
  EXPECT_EQ(p->lMacroTablePos, info.tableOffset + 70 * 24);
  DOC_CloseDocument(p);
}

TEST_F(Doc, ExtractionUndoesTheKey) {
  zmdoc::DocSpec spec;
  zmdoc::MacroSpec a;
  a.body = {0x00, 0x41};
  a.key = 0x41;
  zmdoc::MacroSpec b;
  b.body = {0x10, 0x20, 0x30};
  spec.macros = {a, b};
  zmdoc::BuildInfo info;
  DocReader* p = Fresh(Write(spec, &info));
  ASSERT_EQ(DOC_ReadMacroTable(p), 1);
  // Stored as 0x41 0x00; in the clear 0x00 0x41.
  EXPECT_EQ(info.wordDocument[info.bodyOffsets[0]], 0x41);
  EXPECT_EQ(info.wordDocument[info.bodyOffsets[0] + 1], 0x00);
  for (int iRepeat = 0; iRepeat < 2; ++iRepeat) {  // the key applies to a fresh copy each time
    ASSERT_EQ(DOC_ExtractMacro(p, 0), 1);
    EXPECT_EQ(p->abImage[0], 0x00);
    EXPECT_EQ(p->abImage[1], 0x41);
  }
  ASSERT_EQ(DOC_ExtractMacro(p, 1), 1);  // key 0: as stored
  EXPECT_EQ(Bytes(p->abImage, p->abImage + 3), b.body);
  EXPECT_EQ(DOC_ExtractMacro(p, 2), 0);
  DOC_CloseDocument(p);
}

TEST_F(Doc, AMacroBeyondTheChainCannotBeExtracted) {
  zmdoc::DocSpec spec;
  spec.macros = {Body(10), Body(10)};
  spec.macros[1].offsetField = 0x8000;
  DocReader* p = Fresh(Write(spec));
  ASSERT_EQ(DOC_ReadMacroTable(p), 1);
  EXPECT_EQ(DOC_ExtractMacro(p, 0), 1);
  EXPECT_EQ(DOC_ExtractMacro(p, 1), 0);
  DOC_CloseDocument(p);
}

// Table entries and macros across sector boundaries, in both kinds of stream.
TEST_F(Doc, TablesAndMacrosAcrossSectorBoundaries) {
  for (bool bMini : {false, true}) {
    SCOPED_TRACE(bMini);
    zmdoc::DocSpec spec;
    spec.macros = {Body(700, 0x77), Body(3999, 0x01)};
    if (bMini) {
      spec.macros[1].lengthField = 1000;
      spec.macros[1].body.resize(1000);
      spec.miniReverse = true;
      spec.tableAt = 64 * 40 - 14;  // entry 0 from 64*40-10
    } else {
      spec.streamOrder = zmdoc::ChainOrder::kReverse;
      spec.tableAt = 512 * 12 - 14;
    }
    zmdoc::BuildInfo info;
    DocReader* p = Fresh(Write(spec, &info));
    ASSERT_EQ(info.inMiniStream, bMini);
    ASSERT_EQ(DOC_ReadMacroTable(p), 1);
    ASSERT_EQ(p->wMacroCount, 2);
    for (uint16_t k = 0; k < 2; ++k) {
      ASSERT_EQ(DOC_ExtractMacro(p, k), 1);
      const Bytes& want = spec.macros[k].body;
      EXPECT_EQ(Bytes(p->abImage, p->abImage + want.size()), want);
    }
    DOC_CloseDocument(p);
  }
}

// ---------------------------------------------------------------------------------------------
// The signature matcher

struct Match {
  int32_t iRet;
  std::string sText;
  VirusDef* pFound;
};

Match MatchIn(const Bytes& image, VirusDef* pStart, int32_t lLength) {
  Match m;
  char szText[ZM_SCAN_TEXT] = "untouched";
  m.pFound = reinterpret_cast<VirusDef*>(&m);  // must be overwritten
  m.iRet = DOC_MatchSignatures(image.data(), pStart, szText, lLength, &m.pFound);
  m.sText = szText;
  return m;
}
Match MatchIn(const Bytes& image, VirusDef* pStart) {
  return MatchIn(image, pStart, static_cast<int32_t>(image.size()));
}

Bytes With(const Bytes& sig, size_t at, size_t size) {
  Bytes v(size, 0xEE);
  std::copy(sig.begin(), sig.end(), v.begin() + static_cast<std::ptrdiff_t>(at));
  return v;
}

TEST(Matcher, FindsWholeSignaturesInsideTheMacroOnly) {
  MacroDef md = {"M", {"4D5A90", nullptr, nullptr, nullptr, nullptr}};
  VirusDef vd = {"Local.A", 1, 1, &md, 1};
  const Bytes sig = {0x4D, 0x5A, 0x90};
  const struct {
    Bytes image;
    int32_t lLength;
    int32_t iRet;
  } kCases[] = {
      {With(sig, 0, 10), 10, 1},
      {With(sig, 7, 10), 10, 1},  // the signature's last byte is the macro's last byte
      {With(sig, 8, 12), 10, 0},  // one byte past the macro's end, whatever the image holds
      {With(sig, 0, 3), 3, 1},
      {With(sig, 0, 3), 2, 0},  // a macro shorter than the signature
      {With(sig, 0, 10), 0, 0},
      {With(sig, 0, 10), -5, 0},
      {With({0x4D, 0x5A, 0x4D, 0x5A, 0x90}, 0, 5), 5, 1},  // a false start, then a hit
  };
  for (const auto& c : kCases) {
    Match m = MatchIn(c.image, &vd, c.lLength);
    EXPECT_EQ(m.iRet, c.iRet);
    EXPECT_EQ(m.sText, c.iRet ? "Local.A" : "MACRO_NO_VIRUS_FOUND");
    EXPECT_EQ(m.pFound, c.iRet ? &vd : nullptr);
  }
}

TEST(Matcher, OnlyDefinitionsWithAVerifyFlagAreExamined) {
  MacroDef md = {"M", {"C0FFEE", nullptr, nullptr, nullptr, nullptr}};
  Bytes image = With({0xC0, 0xFF, 0xEE}, 4, 20);
  for (int32_t iVerify : {0, 1, 2}) {
    VirusDef vd = {"Local.B", 1, iVerify, &md, 1};
    EXPECT_EQ(MatchIn(image, &vd).iRet, iVerify ? 1 : 0) << iVerify;
  }
  EXPECT_EQ(MatchIn(image, nullptr).iRet, 0);
  EXPECT_EQ(MatchIn(image, nullptr).sText, "MACRO_NO_VIRUS_FOUND");
}

TEST(Matcher, SignaturesDecodeAsTheDatabaseWritesThem) {
  const std::string sLong(1026, 'A');  // 513 bytes: longer than the decoded-signature buffer
  const struct {
    const char* szSig;
    Bytes image;
    int32_t iRet;
  } kCases[] = {
      {"", Bytes(8, 0), 0},  // no digit pairs: never hits
      {"0A1", Bytes(8, 0xEE), 0},
      {"0A1", With({0x0A}, 7, 8), 1},        // a lone last digit is dropped: 0A alone
      {sLong.c_str(), Bytes(600, 0xAA), 0},  // too long to decode: never hits
      {"FF", With({0xFF}, 3, 4), 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.szSig).substr(0, 8));
    MacroDef md = {"M", {c.szSig, nullptr, nullptr, nullptr, nullptr}};
    VirusDef vd = {"Local.C", 1, 1, &md, 1};
    EXPECT_EQ(MatchIn(c.image, &vd).iRet, c.iRet);
  }
}

TEST(Matcher, TheDefinitionNearestTheChainStartWins) {
  const Bytes wieder = zmdoc::DatabaseSignature(45, 1);  // Macro.Word.Wieder, AutoOpen
  const Bytes killdll = zmdoc::DatabaseSignature(48, 0);
  const Bytes alliance = zmdoc::DatabaseSignature(41, 0);
  ASSERT_FALSE(wieder.empty());
  ASSERT_FALSE(killdll.empty());
  Bytes both = With(killdll, 2, 200);
  std::copy(wieder.begin(), wieder.end(), both.begin() + 100);
  std::copy(wieder.begin(), wieder.end(), both.begin() + 150);  // twice: one hit all the same
  const struct {
    const Bytes* pImage;
    int iStart;
    const char* szName;
    int iFound;
  } kCases[] = {
      {&both, 0, "Macro.Word.Wieder", 45},
      {&both, 45, "Macro.Word.Wieder", 45},
      {&both, 46, "Macro.Word.KillDll", 48},  // a start after Wieder never looks back
      {&both, 49, "MACRO_NO_VIRUS_FOUND", -1},
      {&alliance, 0, "Macro.Word.Alliance", 41},  // two definitions share this signature
      {&alliance, 42, "Macro.Word.Alliance", 55},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.iStart);
    Match m = MatchIn(*c.pImage, &g_aVirusDefs[c.iStart]);
    EXPECT_EQ(m.sText, c.szName);
    EXPECT_EQ(m.iRet, c.iFound >= 0 ? 1 : 0);
    EXPECT_EQ(m.pFound, c.iFound >= 0 ? &g_aVirusDefs[c.iFound] : nullptr);
  }
}

// The one-pass search over the database gives exactly the walk's answer: macros carrying one or
// more signatures, whole or cut short, at the edges or anywhere, from every chain start.
TEST(Matcher, OnePassSearchAgreesWithTheWalk) {
  std::vector<Bytes> sigs;
  for (int iDef = 0; iDef < ZM_DEFINITIONS; ++iDef)
    for (int iMacro = 0; iMacro < g_aVirusDefs[iDef].nMacros; ++iMacro)
      for (int iSlot = 0; iSlot < ZM_SIG_SLOTS; ++iSlot) {
        Bytes sig = zmdoc::DatabaseSignature(iDef, iMacro, iSlot);
        if (sig.empty()) break;
        sigs.push_back(sig);
      }
  std::mt19937 rng(1234);
  int nFound = 0, nNone = 0;
  for (int iRound = 0; iRound < 400; ++iRound) {
    Bytes image(1 + rng() % 600);
    for (auto& b : image)
      b = static_cast<uint8_t>(rng() % 4 ? rng() : sigs[rng() % sigs.size()][0]);
    for (int nPut = static_cast<int>(rng() % 4); nPut > 0; --nPut) {
      const Bytes& sig = sigs[rng() % sigs.size()];
      size_t cb = rng() % 3 ? sig.size() : 1 + rng() % sig.size();  // sometimes cut short
      if (cb > image.size()) continue;
      // Anywhere; at the end; or across the middle of either length searched, where the search
      // splits its work.
      size_t at = rng() % (image.size() - cb + 1);
      if (rng() % 3 == 0) at = image.size() - cb;
      if (rng() % 3 == 0) {
        size_t mid = (rng() % 2 ? image.size() : image.size() / 2) / 2;
        size_t back = rng() % 3;
        at = std::min(mid >= back ? mid - back : 0, image.size() - cb);
      }
      std::copy(sig.begin(), sig.begin() + static_cast<std::ptrdiff_t>(cb),
                image.begin() + static_cast<std::ptrdiff_t>(at));
    }
    for (int iStart : {0, 17, 40, 45, 46, 55, 58}) {
      for (int32_t lLength :
           {static_cast<int32_t>(image.size()), static_cast<int32_t>(image.size() / 2)}) {
        VirusDef* pWalk = nullptr;
        DOC_iMatchByWalk(image.data(), &g_aVirusDefs[iStart], lLength, &pWalk);
        Match m = MatchIn(image, &g_aVirusDefs[iStart], lLength);
        ASSERT_EQ(m.pFound, pWalk) << "round " << iRound << " start " << iStart;
        ASSERT_EQ(m.iRet, pWalk ? 1 : 0);
        ++(pWalk ? nFound : nNone);
      }
    }
  }
  EXPECT_GT(nFound, 1000);  // both outcomes are well represented
  EXPECT_GT(nNone, 1000);
}

// Every used signature of the database is found from the head, as the definition nearest the
// head that holds it.
TEST(Matcher, EverySignatureOfTheDatabaseIsFound) {
  int nSignatures = 0;
  for (int iDef = 0; iDef < ZM_DEFINITIONS; ++iDef)
    for (int iMacro = 0; iMacro < g_aVirusDefs[iDef].nMacros; ++iMacro)
      for (int iSlot = 0; iSlot < ZM_SIG_SLOTS; ++iSlot) {
        Bytes sig = zmdoc::DatabaseSignature(iDef, iMacro, iSlot);
        if (sig.empty()) break;
        ++nSignatures;
        Match m = MatchIn(With(sig, 17, 300), g_pDatabaseHead);
        ASSERT_EQ(m.iRet, 1) << g_aVirusDefs[iDef].szName;
        EXPECT_LE(m.pFound, &g_aVirusDefs[iDef]);
        EXPECT_EQ(m.sText, m.pFound->szName);
      }
  EXPECT_EQ(nSignatures, 26);
}

}  // namespace
