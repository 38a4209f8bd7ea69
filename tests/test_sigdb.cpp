// Invariants of the shipped signature database and the hex decoding rule.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
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

// Slot usage, by chain position and macro name: the lengths in hex digits, slot order.
TEST(SigDb, SignatureSlotsHaveTheirLengths) {
  const std::map<std::pair<int, std::string>, std::vector<size_t>> kSlots = {
      {{18, "AutoOpen"}, {32, 20}},   {{18, "AutoNew"}, {42, 42}}, {{41, "FileClose"}, {22, 24}},
      {{41, "FileSaveAs"}, {50, 48}}, {{42, "AutoOpen"}, {76}},    {{42, "AutoNew"}, {76}},
      {{46, "AutoClose"}, {18}},      {{46, "AutoOpen"}, {44}},    {{47, "AutoClose"}, {38}},
      {{48, "autoOpen"}, {52, 30}},   {{49, "AutoOpen"}, {46}},    {{50, "AutoOpen"}, {32}},
      {{51, "AutoOpen"}, {38}},       {{52, "AutoClose"}, {56}},   {{53, "AutoOpen"}, {44}},
      {{54, "AutoClose"}, {40}},      {{55, "AutoOpen"}, {36}},    {{56, "AutoOpen"}, {76}},
      {{57, "AutoOpen"}, {38}},       {{58, "autoopen"}, {34}},    {{59, "dateispeichern"}, {40}},
  };
  std::set<std::string> distinct;
  int nUsed = 0, iPos = 0;
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p)) {
    ++iPos;
    for (int i = 0; i < p->nMacros; ++i) {
      const MacroDef& m = p->pMacros[i];
      std::vector<size_t> lengths;
      for (const char* s : m.apszSignature) {
        if (!s) break;
        lengths.push_back(std::strlen(s));
        distinct.insert(s);
        ++nUsed;
        EXPECT_EQ(std::strspn(s, "0123456789ABCDEF"), std::strlen(s)) << s;
      }
      auto it = kSlots.find({iPos, m.szName});
      EXPECT_EQ(lengths, it == kSlots.end() ? std::vector<size_t>{} : it->second)
          << iPos << " " << m.szName;
    }
  }
  EXPECT_EQ(nUsed, 26);
  EXPECT_EQ(distinct.size(), 24u);
  for (const std::string& a : distinct)
    for (const std::string& b : distinct)
      EXPECT_TRUE(a == b || b.find(a) == std::string::npos) << a << " inside " << b;
  // The three Alliance/AutoNew slots share one string.
  EXPECT_STREQ(g_aVirusDefs[41].pMacros[0].apszSignature[0],
               g_aVirusDefs[55].pMacros[0].apszSignature[0]);
  EXPECT_STREQ(g_aVirusDefs[41].pMacros[1].apszSignature[0],
               g_aVirusDefs[55].pMacros[0].apszSignature[0]);
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
