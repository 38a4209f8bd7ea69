// The reader on real Word 6/95 files (../shared/corpus/real): every WordDocument stream within the
// reader's limits reads byte for byte as olefile reads it (tests/data/corpus_worddocument.tsv,
// written and re-checked by tests/corpus_digests.py), all 22 Word 6/95 files among them, and job 1
// answers every file without a find and without a leak.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "docreader.h"
#include "engine.h"
#include "hostfake.h"

namespace {

// ---- SHA-256 (FIPS 180-4), enough to compare with Python's hashlib ----
class Sha256 {
 public:
  void Add(const uint8_t* pb, size_t cb) {
    for (size_t i = 0; i < cb; ++i) {
      m_ab[m_n++] = pb[i];
      if (m_n == 64) Block();
    }
    m_cbTotal += cb;
  }
  std::string Hex() {
    uint64_t cBits = m_cbTotal * 8;
    uint8_t b = 0x80;
    Add(&b, 1);
    b = 0;
    while (m_n != 56) Add(&b, 1);
    for (int i = 7; i >= 0; --i) {
      uint8_t x = static_cast<uint8_t>(cBits >> (8 * i));
      Add(&x, 1);
    }
    std::string s;
    char sz[9];
    for (uint32_t h : m_h) {
      std::snprintf(sz, sizeof sz, "%08x", h);
      s += sz;
    }
    return s;
  }

 private:
  static uint32_t Rot(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
  void Block() {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = (uint32_t(m_ab[4 * i]) << 24) | (uint32_t(m_ab[4 * i + 1]) << 16) |
             (uint32_t(m_ab[4 * i + 2]) << 8) | m_ab[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rot(w[i - 15], 7) ^ Rot(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rot(w[i - 2], 17) ^ Rot(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3], e = m_h[4], f = m_h[5], g = m_h[6],
             h = m_h[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (Rot(e, 6) ^ Rot(e, 11) ^ Rot(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      uint32_t t2 = (Rot(a, 2) ^ Rot(a, 13) ^ Rot(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    m_h[0] += a, m_h[1] += b, m_h[2] += c, m_h[3] += d;
    m_h[4] += e, m_h[5] += f, m_h[6] += g, m_h[7] += h;
    m_n = 0;
  }
  uint32_t m_h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t m_ab[64] = {};
  size_t m_n = 0;
  uint64_t m_cbTotal = 0;
};

TEST(Sha256, KnownAnswers) {
  Sha256 empty;
  EXPECT_EQ(empty.Hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 abc;
  abc.Add(reinterpret_cast<const uint8_t*>("abc"), 3);
  EXPECT_EQ(abc.Hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// ---- The kept olefile reading ----
struct Row {
  std::string sFile, sExpect, sSha, sNfib, sWhere, sNote;
  uint32_t lSize;
};

std::vector<Row> LoadRows() {
  std::vector<Row> v;
  std::ifstream in(ZM_SOURCE_DIR "/tests/data/corpus_worddocument.tsv");
  std::string sLine;
  while (std::getline(in, sLine)) {
    if (sLine.empty() || sLine[0] == '#') continue;
    std::istringstream is(sLine);
    Row r;
    std::string sSize;
    std::getline(is, r.sFile, '\t');
    std::getline(is, r.sExpect, '\t');
    std::getline(is, sSize, '\t');
    std::getline(is, r.sSha, '\t');
    std::getline(is, r.sNfib, '\t');
    std::getline(is, r.sWhere, '\t');
    std::getline(is, r.sNote, '\t');
    r.lSize = static_cast<uint32_t>(std::stoul(sSize));
    v.push_back(r);
  }
  return v;
}

std::string CorpusPath(const std::string& sFile) {
  return std::string(ZM_CORPUS_DIR) + "/real/" + sFile;
}

bool CorpusPresent() { return std::ifstream(CorpusPath("poi_Word6.doc")).good(); }

TEST(Corpus, KeptReadingCoversEveryFile) {
  std::vector<Row> rows = LoadRows();
  ASSERT_EQ(rows.size(), 25u);
  int nRead = 0, nRefused = 0, nMini = 0, nWord6 = 0;
  for (const Row& r : rows) {
    nRead += r.sExpect == "read";
    nRefused += r.sExpect == "refused";
    nMini += r.sWhere == "mini";
    nWord6 += r.sNfib == "0x65" || r.sNfib == "0x68";
  }
  EXPECT_EQ(nWord6, 22);
  // Only the Word 97 control SimpleMacro, whose 0x118 field (not a Word 6 FIB there) is
  // 0x13010000; every Word 6/95 stream is read, the longest of 3540 sectors.
  EXPECT_EQ(nRefused, 1);
  EXPECT_EQ(nRead, 24);
  for (const Row& r : rows) {
    if (r.sNfib == "0x65" || r.sNfib == "0x68") {
      EXPECT_EQ(r.sExpect, "read") << r.sFile;
    }
  }
  EXPECT_EQ(nMini, 11);
}

// Every stream within the reader's limits reads as olefile reads it, through the shared
// open/read/close the front end uses; a refused one is refused for the reason its row gives.
TEST(Corpus, WordDocumentStreamsReadAsOlefileReadsThem) {
  if (!CorpusPresent()) GTEST_SKIP() << "no corpus at " << ZM_CORPUS_DIR;
  HostFake fake;
  for (const Row& r : LoadRows()) {
    SCOPED_TRACE(r.sFile);
    int32_t iWhy = -1;
    DocReader* p = DOC_pOpenDocument(CorpusPath(r.sFile).c_str(), &iWhy);
    if (r.sExpect == "refused") {
      EXPECT_EQ(p, nullptr);
      // "NNNN sectors": too long for the reader; "FIB 0x118 = ...": the table position's limit.
      EXPECT_EQ(iWhy, r.sNote.find("sectors") != std::string::npos ? DOC_WHY_CHAIN_TOO_LONG
                                                                   : DOC_WHY_FIB);
      EXPECT_EQ(fake.OpenFiles(), 0);
      EXPECT_EQ(fake.Blocks(), 0);
      continue;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->lStreamSize, r.lSize);
    EXPECT_EQ(p->bInMiniStream != 0, r.sWhere == "mini");
    EXPECT_GE(DOC_lReadableBytes(p), r.lSize);
    Sha256 sha;
    for (uint32_t lPos = 0; lPos < r.lSize; lPos += ZM_IMAGE) {
      int32_t cb = static_cast<int32_t>(r.lSize - lPos < ZM_IMAGE ? r.lSize - lPos : ZM_IMAGE);
      ASSERT_EQ(DOC_iReadAt(p, lPos, cb), 1) << lPos;
      sha.Add(p->abImage, static_cast<size_t>(cb));
    }
    EXPECT_EQ(sha.Hex(), r.sSha);
    // Nothing lies past the chain's last (mini-)sector.
    EXPECT_EQ(DOC_iReadAt(p, DOC_lReadableBytes(p), 1), 0);
    DOC_CloseDocument(p);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
  }
}

// Job 1 on every corpus file: none holds macros, so none is a find; nothing leaks.
TEST(Corpus, Job1AnswersEveryFileWithoutAFind) {
  if (!CorpusPresent()) GTEST_SKIP() << "no corpus at " << ZM_CORPUS_DIR;
  HostFake fake;
  for (const Row& r : LoadRows()) {
    SCOPED_TRACE(r.sFile);
    char szResult[256] = "", szMacros[256] = "untouched";
    EXPECT_EQ(ENG_iHandler(1, CorpusPath(r.sFile).c_str(), "x&", szResult, "", szMacros), 0);
    EXPECT_STREQ(szResult, "MACRO_ERROR_OPENING_OLE2");
    EXPECT_STREQ(szMacros, "untouched");
    char szText[64] = "";
    EXPECT_EQ(DOC_ScanDocument(CorpusPath(r.sFile).c_str(), g_pDatabaseHead, szText, nullptr), 0);
    // No corpus file has a usable macro table: the scan says so in its own text.
    EXPECT_STREQ(szText, "MACRO_ERROR_OPENING_OLE2");
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
  }
}

}  // namespace
