// The scan core's text helpers: the '&' lists that carry a document's names into MACRO_Handler
// within one call's limits, Windows-1252 names as UTF-8, and names of any bytes shown safely.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "sigdb.h"
#include "textutil.h"
#include "zm_abi.h"

namespace {

using zm::BuildMacroLists;

std::vector<std::string> Numbered(size_t n, const std::string& sStem = "M") {
  std::vector<std::string> v;
  for (size_t i = 0; i < n; ++i) v.push_back(sStem + std::to_string(i));
  return v;
}

struct ListCase {
  const char* szWhat;
  std::vector<std::string> names;
  std::vector<size_t> namesPerList;
  size_t nLeftOut;
};

const ListCase kListCases[] = {
    {"one name", {"AutoOpen"}, {1}, 0},
    {"25 names in one call", Numbered(25), {25}, 0},
    {"26 names in two calls", Numbered(26), {25, 1}, 0},
    {"51 names in three calls", Numbered(51), {25, 25, 1}, 0},
    {"255 characters in one call", Numbered(9, std::string(26, 'x')), {9}, 0},  // 9 x 28 = 252
    {"more than 255 characters split", Numbered(10, std::string(26, 'x')), {9, 1}, 0},
    {"a name of 30 characters", {std::string(30, 'a')}, {1}, 0},
    {"a name of 31 characters left out", {"AutoOpen", std::string(31, 'a'), "x"}, {2}, 1},
    {"names holding '&' or NUL left out", {"Auto&Open", std::string("A\0B", 3), "x"}, {1}, 2},
    {"no names, no calls", {}, {}, 0},
};

TEST(MacroLists, CarryEveryNameWithinOneCallsLimits) {
  for (const ListCase& c : kListCases) {
    SCOPED_TRACE(c.szWhat);
    size_t nLeftOut = 99;
    std::vector<std::string> lists = BuildMacroLists(c.names, &nLeftOut);
    EXPECT_EQ(nLeftOut, c.nLeftOut);
    ASSERT_EQ(lists.size(), c.namesPerList.size());
    std::string sAll;
    for (size_t i = 0; i < lists.size(); ++i) {
      EXPECT_EQ(static_cast<size_t>(std::count(lists[i].begin(), lists[i].end(), '&')),
                c.namesPerList[i]);
      EXPECT_LE(lists[i].size(), 255u);
      EXPECT_EQ(lists[i].back(), '&');
      sAll += lists[i];
    }
    std::string sExpected;
    for (const std::string& s : c.names)
      if (s.size() <= 30 && s.find_first_of(std::string("&\0", 2)) == std::string::npos)
        sExpected += s + "&";
    EXPECT_EQ(sAll, sExpected);  // in order, none lost
  }
}

// Leaving out long names and names with '&' loses no identification only while no definition
// holds such a name.
TEST(MacroLists, NoDatabaseNameIsLeftOut) {
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p))
    for (int32_t i = 0; i < p->nMacros; ++i) {
      std::string s = p->pMacros[i].szName;
      EXPECT_LE(s.size(), size_t{ZM_MAX_MACRO_NAME}) << s;
      EXPECT_EQ(s.find('&'), std::string::npos) << s;
    }
}

TEST(Text, Windows1252BecomesUtf8) {
  const std::pair<std::string, std::string> kCases[] = {
      {"AutoOpen", "AutoOpen"},
      {"B\xFCroNeu", "B\xC3\xBCroNeu"},
      {"Datei\xD6"
       "ffnen",
       "Datei\xC3\x96"
       "ffnen"},
      {"\x80", "\xE2\x82\xAC"},
      {"\x81", "\xEF\xBF\xBD"},
  };
  for (const auto& [in, out] : kCases) EXPECT_EQ(zm::Cp1252ToUtf8(in), out);
}

// A UTF-16LE list's text, however its reads cut it: a pair of surrogates across two reads is one
// character, a lone one its three-byte form, half a unit at the very end U+FFFD.
TEST(Text, Utf16BecomesUtf8WhereverItIsCut) {
  const std::pair<std::string, std::string> kCases[] = {
      {std::string("a\0/\0", 4), "a/"},
      {std::string("\xE9\x00\x87\x65", 4), "\xC3\xA9\xE6\x96\x87"},  // U+00E9, U+6587
      {std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80"},      // U+1F600 as a pair
      {std::string("\x00\xD8x\x00", 4), "\xED\xA0\x80x"},            // a lone high surrogate
      {std::string("\x00\xDC", 2), "\xED\xB0\x80"},                  // a lone low one
      {std::string("\x00\xD8", 2), "\xED\xA0\x80"},                  // a high one at the end
      {std::string("a\0b", 3), "a\xEF\xBF\xBD"},                     // half a unit at the end
  };
  for (const auto& [in, out] : kCases) {
    for (size_t cut = 0; cut <= in.size(); ++cut) {
      SCOPED_TRACE(out + " cut at " + std::to_string(cut));
      std::string got;
      const size_t cbTaken = zm::AppendUtf16Le(in.data(), cut, false, &got);
      ASSERT_LE(cbTaken, cut);
      const std::string sRest = in.substr(cbTaken);
      EXPECT_EQ(zm::AppendUtf16Le(sRest.data(), sRest.size(), true, &got), sRest.size());
      EXPECT_EQ(got, out);
    }
  }
}

// What reaches a terminal or a JSON consumer from a name of any bytes.
TEST(Text, NamesOfAnyBytesAreShownSafelyAndKeptRecoverable) {
  const struct {
    std::string sIn, sEscaped;
    bool bUtf8;
    std::string sBase64;
  } kCases[] = {
      {"a.doc", "a.doc", true, "YS5kb2M="},
      {"new\nline", "new\\x0aline", true, "bmV3CmxpbmU="},
      {"caf\xE9", "caf\\xe9", false, "Y2Fm6Q=="},
      {"caf\xC3\xA9", "caf\xC3\xA9", true, "Y2Fmw6k="},
      {"\x1B[2J\x7F", "\\x1b[2J\\x7f", true, "G1sySn8="},
      {"csi\xC2\x9B", "csi\\xc2\\x9b", true, "Y3Npwps="},  // C1 control, in UTF-8
      {"\xED\xA0\x80", "\\xed\\xa0\\x80", false, "7aCA"},  // a surrogate
      {"\xC0\xAF", "\\xc0\\xaf", false, "wK8="},           // overlong '/'
      {"\xC3\xA9\x01\xC3\xA9 ok", "\xC3\xA9\\x01\xC3\xA9 ok", true, "w6kBw6kgb2s="},  // runs
      {"ab\xC3", "ab\\xc3", false, "YWLD"},  // a sequence the text's end cuts
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sIn);
    EXPECT_EQ(zm::EscapeControls(c.sIn), c.sEscaped);
    EXPECT_EQ(zm::IsUtf8(c.sIn), c.bUtf8);
    EXPECT_EQ(zm::Base64(c.sIn), c.sBase64);
    EXPECT_TRUE(zm::IsUtf8(zm::LossyUtf8(c.sIn)));
  }
  // Printable text is passed eight bytes at a time: any one byte, anywhere in it, is seen.
  for (unsigned b = 0; b < 256; ++b) {
    for (size_t at = 0; at < 17; ++at) {
      std::string s(17, 'a');
      s[at] = static_cast<char>(b);
      char achHex[5];
      std::snprintf(achHex, sizeof achHex, "\\x%02x", b);
      const std::string sWant =
          s.substr(0, at) +
          (b >= 0x20 && b < 0x7F ? std::string(1, static_cast<char>(b)) : std::string(achHex)) +
          s.substr(at + 1);
      ASSERT_EQ(zm::EscapeControls(s), sWant) << b << " at " << at;
    }
  }
}

// VERSION's date in ctime's form on every platform: a day below 10 is padded with a space.
TEST(Text, TimesInCtimesForm) {
  const struct {
    int iYear, iMonth, iDay, iHour, iMinute, iSecond;
    const char* szWant;
  } kCases[] = {
      {2026, 12, 9, 11, 29, 37, "Wed Dec  9 11:29:37 2026"},
      {2023, 3, 13, 8, 20, 54, "Mon Mar 13 08:20:54 2023"},
      {2000, 1, 1, 0, 0, 0, "Sat Jan  1 00:00:00 2000"},
  };
  for (const auto& c : kCases) {
    std::tm tm = {};
    tm.tm_year = c.iYear - 1900;
    tm.tm_mon = c.iMonth - 1;
    tm.tm_mday = c.iDay;
    tm.tm_hour = c.iHour;
    tm.tm_min = c.iMinute;
    tm.tm_sec = c.iSecond;
    tm.tm_isdst = -1;
    EXPECT_EQ(zm::CtimeText(std::mktime(&tm)), c.szWant);
  }
}

// Sizes as clamd's configuration and clamscan's options write them.
TEST(Text, SizesAsClamdReadsThem) {
  const struct {
    const char* sz;
    bool bOk;
    uint64_t cb;
  } kCases[] = {
      {"0", true, 0},
      {"400M", true, 400ull << 20},
      {"100m", true, 100ull << 20},
      {"1536K", true, 1536ull << 10},
      {"4g", true, 4ull << 30},
      {"17179869183G", true, 17179869183ull << 30},
      {"17179869184G", false, 0},  // past 2^64
      {"18446744073709551615", true, UINT64_MAX},
      {"18446744073709551616", false, 0},
      {"", false, 0},
      {"M", false, 0},
      {"10MB", false, 0},
      {"10 M", false, 0},
      {"-1", false, 0},
      {"1T", false, 0},
  };
  for (const auto& c : kCases) {
    uint64_t cb = 0;
    EXPECT_EQ(zm::ParseSize(c.sz, &cb), c.bOk) << c.sz;
    EXPECT_EQ(cb, c.cb) << c.sz;  // untouched (0) when refused
  }
}

}  // namespace
