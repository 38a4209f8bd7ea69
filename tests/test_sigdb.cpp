// Invariants of the shipped signature database and the hex decoding rule.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sigdb.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

TEST(SigDb, ChainHas59DefinitionsFromHeadToSaverSex) {
  int n = 0;
  const VirusDef* pLast = nullptr;
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p)) {
    ++n;
    pLast = p;
  }
  EXPECT_EQ(n, 59);
  EXPECT_EQ(g_lDefinitionCount, 59);
  EXPECT_EQ(SIG_iSignatures(), 59);
  EXPECT_STREQ(g_pDatabaseHead->szName, "Macro.Word.WMVCK");
  ASSERT_NE(pLast, nullptr);
  EXPECT_STREQ(pLast->szName, "Macro.Word.SaverSex");
  EXPECT_EQ(SIG_pNext(nullptr), nullptr);
}

TEST(SigDb, RecordsKeepTheirShape) {
  int nMacros = 0, iPrevThreshold = 1 << 30;
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p)) {
    SCOPED_TRACE(p->szName);
    EXPECT_LE(std::strlen(p->szName), 26u);
    EXPECT_GE(p->iThreshold, 1);
    EXPECT_LE(p->iThreshold, 20);
    EXPECT_LE(p->iThreshold, iPrevThreshold) << "thresholds never rise along the chain";
    iPrevThreshold = p->iThreshold;
    EXPECT_TRUE(p->iVerify >= 0 && p->iVerify <= 2);
    ASSERT_GE(p->nMacros, 1);
    std::set<std::string> folded;
    for (int i = 0; i < p->nMacros; ++i) {
      const MacroDef& m = p->pMacros[i];
      EXPECT_GT(std::strlen(m.szName), 0u);
      EXPECT_LE(std::strlen(m.szName), 22u);
      EXPECT_TRUE(folded.insert(Upper(m.szName)).second) << "name twice: " << m.szName;
      bool bEmptySeen = false;
      for (const char* s : m.apszSignature) {
        if (!s) bEmptySeen = true;
        EXPECT_FALSE(s && bEmptySeen) << "used slot after an empty one";
        EXPECT_FALSE(s && p->iVerify == 0) << "signature in a definition that needs none";
      }
      ++nMacros;
    }
  }
  EXPECT_EQ(nMacros, 289);
}

// Every signature is whole hex (an odd count would lose its last digit unseen), fits the matcher's
// buffer (a longer one never hits), and occurs inside no other: the index of the matcher and the
// walk it stands in for find each as exactly the definition whose slot it fills.
TEST(SigDb, SignaturesAreWholeHexThatFitsAndStandsAlone) {
  std::vector<std::string> all;
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p))
    for (int i = 0; i < p->nMacros; ++i)
      for (const char* s : p->pMacros[i].apszSignature) {
        if (!s) break;
        SCOPED_TRACE(s);
        const size_t n = std::strlen(s);
        EXPECT_EQ(n % 2, 0u);
        EXPECT_EQ(std::strspn(s, "0123456789ABCDEF"), n);
        uint8_t ab[ZM_SIG_BYTES];
        EXPECT_EQ(SIG_iDecode(s, ab, ZM_SIG_BYTES), static_cast<int32_t>(n / 2));
        all.push_back(s);
      }
  for (const std::string& a : all)
    for (const std::string& b : all)
      EXPECT_TRUE(a == b || b.find(a) == std::string::npos) << a << " inside " << b;
}

TEST(SigDb, AccentedNamesAreWindows1252Bytes) {
  EXPECT_STREQ(g_aVirusDefs[43].pMacros[1].szName, "B\xFCroNeu");
  EXPECT_STREQ(g_aVirusDefs[1].pMacros[5].szName,
               "DateiSchlie\xDF"
               "en");
  EXPECT_STREQ(g_aVirusDefs[27].pMacros[3].szName, "AAA\xD9\xDB\xD2");
}

TEST(SigDb, DecodeRule) {
  struct Case {
    const char* szHex;
    int32_t cbMax;
    int32_t nWant;
    std::vector<uint8_t> want;
  } kCases[] = {
      {"4D5A", 8, 2, {0x4D, 0x5A}}, {"", 8, 0, {}},
      {"00FF", 8, 2, {0x00, 0xFF}}, {"ABC", 8, 1, {0xAB}},  // a last lone digit is dropped
      {":0", 8, 1, {0xA0}},                                 // ':' counts as 10, on the digit side
      {"0102", 1, -1, {}},                                  // does not fit
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szHex);
    uint8_t ab[8] = {};
    int32_t n = SIG_iDecode(c.szHex, ab, c.cbMax);
    EXPECT_EQ(n, c.nWant);
    if (n > 0) {
      EXPECT_EQ(std::vector<uint8_t>(ab, ab + n), c.want);
    }
  }
}

}  // namespace
