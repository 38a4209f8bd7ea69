// MACRO_ScanRaw: the raw signature table and the block-wise scan, block edges and stale bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hostfake.h"
#include "rawscan.h"
#include "sigdb.h"
#include "tempdir.h"
#include "zm_limits.h"

namespace {

std::string Bytes(const char* szHex) {
  uint8_t ab[ZM_SIG_BYTES];
  int32_t n = SIG_iDecode(szHex, ab, ZM_SIG_BYTES);
  return n < 0 ? std::string() : std::string(reinterpret_cast<char*>(ab), static_cast<size_t>(n));
}

std::string Sig(int i) { return Bytes(g_aRawSignatures[i].szSignature); }

// A file of cbFile filler bytes with sBytes laid over it at each offset.
std::string Image(size_t cbFile, const std::vector<std::pair<size_t, std::string>>& aParts) {
  std::string s(cbFile, '\x11');
  for (const auto& [off, part] : aParts) s.replace(off, part.size(), part);
  return s;
}

// Every raw signature is whole hex (an odd count would lose its last digit unseen) and fits the
// carry kept from one block to the next, so an occurrence across two blocks is found.
TEST(RawTable, SignaturesAreWholeHexThatFitsTheCarry) {
  for (int i = 0; i < ZM_RAW_SIGNATURES; ++i) {
    SCOPED_TRACE(g_aRawSignatures[i].szName);
    const std::string sHex = g_aRawSignatures[i].szSignature;
    EXPECT_EQ(sHex.size() % 2, 0u);
    EXPECT_EQ(sHex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(Sig(i).size(), sHex.size() / 2);
    EXPECT_LE(Sig(i).size(), size_t{ZM_SIG_BYTES});
  }
}

TEST(RawTable, NoSignatureInsideAnotherOrInsideTheDatabase) {
  std::vector<std::string> aDb;
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p))
    for (int m = 0; m < p->nMacros; ++m)
      for (const char* s : p->pMacros[m].apszSignature)
        if (s) aDb.push_back(Bytes(s));
  ASSERT_FALSE(aDb.empty());
  for (int i = 0; i < ZM_RAW_SIGNATURES; ++i) {
    for (int j = 0; j < ZM_RAW_SIGNATURES; ++j) {
      if (i == j) continue;
      EXPECT_EQ(Sig(j).find(Sig(i)), std::string::npos) << i << " in " << j;
    }
    for (const std::string& d : aDb) {
      EXPECT_EQ(d.find(Sig(i)), std::string::npos) << g_aRawSignatures[i].szName;
      EXPECT_EQ(Sig(i).find(d), std::string::npos) << g_aRawSignatures[i].szName;
    }
  }
}

// The block size of the scan's reads; the edge cases sit at its boundaries.
constexpr size_t kBlock = ZM_RAW_BLOCK;

class RawScan : public ::testing::Test {
 protected:
  TempDir m_dir;
};

TEST_F(RawScan, FindsTheSignatureWhereverItLies) {
  const size_t n = Sig(0).size();  // FormatC, 17 bytes
  struct Case {
    const char* szWhat;
    size_t cbFile;
    size_t off;  // npos: the signature is not in the file
    int32_t iExpected;
  } aCases[] = {
      {"at offset 0", 100, 0, 1},
      {"last bytes of a 5000-byte file", 5000, 5000 - n, 1},
      {"last bytes of a file one block and a bit long", kBlock + 77, kBlock + 77 - n, 1},
      {"ending on the first block's last byte", 2 * kBlock, kBlock - n, 1},
      {"starting on the second block's first byte", 2 * kBlock, kBlock, 1},
      {"straddling the first block edge", 2 * kBlock, kBlock - 8, 1},
      {"straddling with one byte in the first block", kBlock + 900, kBlock - 1, 1},
      {"straddling the second block edge", 3 * kBlock, 2 * kBlock - 5, 1},
      {"file of exactly the signature", n, 0, 1},
      {"absent", 5000, std::string::npos, 0},
      {"empty file", 0, std::string::npos, 0},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szWhat);
    std::vector<std::pair<size_t, std::string>> aParts;
    if (c.off != std::string::npos) aParts.push_back({c.off, Sig(0)});
    std::string sPath = m_dir.Write("f.bin", Image(c.cbFile, aParts));
    HostFake fake;
    EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "FormatC"), c.iExpected);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Calls(kCallClose), 1);
  }
}

// Every start position within and around a group of positions tested together, and near the
// end of the bytes, where positions are tested one by one.
TEST_F(RawScan, FindsTheSignatureAtEveryAlignment) {
  for (size_t cbFile : {size_t{RAW_STEP + 44}, size_t{4 * RAW_STEP - 24}}) {
    for (size_t off = 0; off + Sig(3).size() <= cbFile; ++off) {
      const size_t iInStep = off % RAW_STEP;
      if (iInStep >= 20 && iInStep < RAW_STEP - 20 && off % 37 != 0 && cbFile - off > 40) continue;
      std::string sPath = m_dir.Write("f.bin", Image(cbFile, {{off, Sig(3)}}));
      ASSERT_EQ(RAW_iScanRaw(sPath.c_str(), "EasyMan"), 1) << cbFile << " " << off;
    }
  }
  // First and last byte present but the middle differs: no match anywhere.
  std::string sNear = Sig(3);
  sNear[7] = static_cast<char>(sNear[7] ^ 0x40);
  std::string sPath = m_dir.Write("f.bin", Image(1000, {{10, sNear}, {500, sNear}, {985, sNear}}));
  EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "EasyMan"), 0);
}

// Both vector searches find the first occurrence exactly where a plain search does: random
// buffers of every length around the RAW_STEP-position steps, seeded with whole and near
// signatures.
TEST(RawSearch, VectorSearchesAgreeWithAPlainSearch) {
  std::mt19937 rng(99);
  const std::string sig = Sig(2);  // Guess, 19 bytes
  int nFound = 0;
  for (int iRound = 0; iRound < 3000; ++iRound) {
    std::string ab(static_cast<size_t>(rng() % (3 * RAW_STEP + 100)), '\0');
    for (char& c : ab) c = static_cast<char>(rng() % 3 ? rng() : sig[rng() % sig.size()]);
    if (ab.size() >= sig.size() && rng() % 2) {
      std::string part = sig;
      if (rng() % 3 == 0) part[rng() % part.size()] ^= 1;  // a near miss
      ab.replace(rng() % (ab.size() - sig.size() + 1), sig.size(), part);
    }
    size_t at = ab.find(sig);
    int32_t iWant = at == std::string::npos ? -1 : static_cast<int32_t>(at);
    nFound += iWant >= 0;
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(ab.data());
    const uint8_t* pbSig = reinterpret_cast<const uint8_t*>(sig.data());
    uint32_t cb = static_cast<uint32_t>(ab.size()), n = static_cast<uint32_t>(sig.size());
    ASSERT_EQ(RAW_iFindBytes(pb, cb, pbSig, n, 0), iWant) << iRound;
    if (RAW_iHasWideSearch()) {
      ASSERT_EQ(RAW_iFindBytes(pb, cb, pbSig, n, 1), iWant) << iRound;
    }
  }
  EXPECT_GT(nFound, 500);
}

TEST_F(RawScan, EachNameFindsOnlyItsOwnSignature) {
  for (int i = 0; i < ZM_RAW_SIGNATURES; ++i) {
    std::string sPath = m_dir.Write("f.bin", Image(3000, {{2040, Sig(i)}}));
    for (int j = 0; j < ZM_RAW_SIGNATURES; ++j)
      EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), g_aRawSignatures[j].szName), i == j ? 1 : 0)
          << g_aRawSignatures[i].szName << " scanned as " << g_aRawSignatures[j].szName;
  }
}

TEST_F(RawScan, ShortReadsStillFindAnOccurrenceAcrossThem) {
  std::string sPath = m_dir.Write("f.bin", Image(600, {{95, Sig(4)}}));
  for (int cbCap : {1, 7, 19, 20, 100}) {
    HostFake fake;
    fake.CapReads(cbCap);
    EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "SaverSex"), 1) << cbCap;
    EXPECT_EQ(fake.OpenFiles(), 0);
  }
}

TEST_F(RawScan, StaleBytesOfAnEarlierBlockNeverCompleteAMatch) {
  // The short last block ends with the signature's head; the first block holds its tail at the
  // positions that follow the last block's bytes in a reused buffer.
  const std::string s = Sig(1);  // Wazzu, 13 bytes
  const size_t h = 6, c = 100;
  std::string sFile = Image(kBlock + c, {{c, s.substr(h)}, {kBlock + c - h, s.substr(0, h)}});
  ASSERT_EQ(sFile.find(s), std::string::npos);
  std::string sPath = m_dir.Write("f.bin", sFile);
  HostFake fake;
  EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "Wazzu"), 0);
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(RawScan, StopsReadingAtTheBlockOfTheFirstOccurrence) {
  std::string sPath = m_dir.Write("f.bin", Image(10000, {{100, Sig(2)}, {9000, Sig(2)}}));
  HostFake fake;
  EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "Guess"), 1);
  EXPECT_EQ(fake.Calls(kCallRead), 1);
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(RawScan, OtherNamesGiveZeroAndCloseTheFile) {
  std::string sPath = m_dir.Write("f.bin", Image(200, {{0, Sig(0)}, {50, Sig(1)}, {100, Sig(3)}}));
  const char* const aszNames[] = {"formatc",  "WAZZU", "Easyman", "Macro.Word.Guess",
                                  "FormatC ", "",      nullptr};
  std::string sLong(64, 'F');
  for (const char* sz : aszNames) {
    HostFake fake;
    EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), sz), 0) << (sz ? sz : "(null)");
    EXPECT_EQ(fake.Calls(kCallOpen), 1);
    EXPECT_EQ(fake.Calls(kCallRead), 0);
    EXPECT_EQ(fake.OpenFiles(), 0);
  }
  EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), sLong.c_str()), 0);
}

TEST_F(RawScan, UnreadableFilesGiveZeroWithoutLeaks) {
  std::string sPath = m_dir.Write("f.bin", Image(kBlock + 5000, {{kBlock + 3000, Sig(3)}}));
  {
    HostFake fake;
    fake.FailNth(kCallRead, 2);  // the block that holds the occurrence
    EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "EasyMan"), 0);
    EXPECT_EQ(fake.OpenFiles(), 0);
  }
  {
    HostFake fake;
    fake.FailNth(kCallOpen, 1);
    EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "EasyMan"), 0);
    EXPECT_EQ(fake.Calls(kCallClose), 0);
  }
  EXPECT_EQ(RAW_iScanRaw(m_dir.Path("missing.bin").c_str(), "EasyMan"), 0);
  EXPECT_EQ(RAW_iScanRaw(m_dir.Root().c_str(), "EasyMan"), 0);  // a directory
  EXPECT_EQ(RAW_iScanRaw(nullptr, "EasyMan"), 0);
  EXPECT_EQ(RAW_iScanRaw(sPath.c_str(), "EasyMan"), 1);
}

}  // namespace
