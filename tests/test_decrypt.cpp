// MACRO_DecryptDef: the substitution pairs' shape and the decoding of texts, in place and at any
// length.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "decrypt.h"

namespace {

std::string Decode(const std::string& s, int32_t* piResult = nullptr) {
  std::string out(s.size() + 1, '\x7F');
  int32_t r = SIG_iDecryptDef(s.c_str(), out.data());
  if (piResult) *piResult = r;
  EXPECT_EQ(out[s.size()], '\0');
  out.resize(s.size());
  return out;
}

// The source text that decodes to sPlain (every letter, digit, '#' and '*' written by its pair).
std::string Encode(const std::string& sPlain) {
  std::map<char, char> inverse;
  for (const DecryptPair& p : g_aDecryptPairs) inverse[p.chPlain] = static_cast<char>(p.bSource);
  std::string s;
  for (char c : sPlain) s += inverse.count(c) ? inverse[c] : c;
  return s;
}

TEST(DecryptTable, SixtyFourPairsOntoLettersDigitsHashAndStar) {
  std::set<int> sources;
  std::set<char> plains;
  int nHigh = 0, nAsciiOther = 0, nSelf = 0;
  for (const DecryptPair& p : g_aDecryptPairs) {
    sources.insert(p.bSource);
    plains.insert(p.chPlain);
    nHigh += p.bSource > 0x7F;
    nSelf += p.bSource == static_cast<uint8_t>(p.chPlain);
    nAsciiOther +=
        p.bSource >= 0x20 && p.bSource < 0x7F && p.bSource != static_cast<uint8_t>(p.chPlain);
  }
  std::set<char> expected = {'#', '*'};
  for (char c = '0'; c <= '9'; ++c) expected.insert(c);
  for (char c = 'A'; c <= 'Z'; ++c) expected.insert(c);
  for (char c = 'a'; c <= 'z'; ++c) expected.insert(c);
  EXPECT_EQ(sources.size(), 64u);
  EXPECT_EQ(plains, expected);
  EXPECT_GT(nHigh, 32);
  EXPECT_GE(nAsciiOther, 1);
  EXPECT_GE(nSelf, 1);
  EXPECT_EQ(sources.count(0), 0u);
}

TEST(Decrypt, DecodesTextsKeepingTheirLength) {
  struct Case {
    std::string sSource, sPlain;
  } aCases[] = {
      {Encode("Macro.Word.Concept#1*"), "Macro.Word.Concept#1*"},
      {"plain words stay", "plain words stay"},
      {"100% sure!", "100Q sureA"},  // printable sources change inside plain text
      {"a+b=c ~x", "a8brc dx"},
      {"#", "#"},  // the pair that stands for itself
      {"", ""},
      {std::string(255, '\x84'), std::string(255, 'z')},
      {std::string(1000, '\xFF'), std::string(1000, 'k')},  // no length limit
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.sPlain);
    int32_t r = 0;
    EXPECT_EQ(Decode(c.sSource, &r), c.sPlain);
    EXPECT_EQ(r, static_cast<int32_t>(c.sSource.size() + 1));
  }
  int32_t r = 0;
  std::string sAll;
  for (int b = 1; b < 256; ++b) sAll += static_cast<char>(b);
  std::string sDecoded = Decode(sAll, &r);
  EXPECT_EQ(r, 256);
  EXPECT_EQ(sDecoded.find('\0'), std::string::npos);
}

TEST(Decrypt, InPlaceAndOverlappingBuffersGiveTheSameLine) {
  const std::string sSource = Encode("AutoOpen FileSaveAs 1234567890 #*") + "\x93\xE6";
  const std::string sPlain = Decode(sSource);
  for (int iShift : {0, 1, 5, -1, -5}) {
    SCOPED_TRACE(iShift);
    char ab[128];
    std::memset(ab, 0, sizeof ab);
    char* pSrc = ab + 20;
    std::memcpy(pSrc, sSource.c_str(), sSource.size() + 1);
    EXPECT_EQ(SIG_iDecryptDef(pSrc, pSrc + iShift), static_cast<int32_t>(sSource.size() + 1));
    EXPECT_EQ(std::string(pSrc + iShift), sPlain);
  }
}

TEST(Decrypt, NullArguments) {
  char sz[4] = "xyz";
  EXPECT_EQ(SIG_iDecryptDef(nullptr, sz), 1);
  EXPECT_STREQ(sz, "");
  EXPECT_EQ(SIG_iDecryptDef("abc", nullptr), 0);
}

}  // namespace
