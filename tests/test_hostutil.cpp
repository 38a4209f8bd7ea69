// Host utilities: string and path services, the drive calls (real drives under Wine, "no drive"
// on POSIX), the file copy and its leak-free failures, and the seam's directory search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "drive.h"
#include "host.h"
#include "hostfake.h"
#include "tempdir.h"
#include "tul.h"

namespace {

bool OnWindows() { return g_chPathSep == '\\'; }

// A Windows-form path with '\' turned into this platform's separator.
std::string Native(std::string s) {
  std::replace(s.begin(), s.end(), '\\', g_chPathSep);
  return s;
}

TEST(StrLen, CountsBytesBeforeTheNul) {
  EXPECT_EQ(UTL_iStrLen("C:\\WORD"), 7);
  EXPECT_EQ(UTL_iStrLen("\xE4\xF6"), 2);
  EXPECT_EQ(UTL_iStrLen(""), 0);
  EXPECT_EQ(UTL_iStrLen(nullptr), 0);
}

TEST(InStr, PositionsFromTheStart) {
  struct Case {
    int32_t iStart;
    const char* szString;
    const char* szSearch;
    int32_t iExpected;
  } aCases[] = {
      {1, "C:\\WORD\\A.DOC", "word", 4},
      {2, "abcabc", "ABC", 4},
      {5, "abcabc", "abc", 0},
      {0, "C:\\WORD\\A.DOC", "word", 4},
      {-3, "C:\\WORD\\A.DOC", "word", 4},
      {INT32_MIN, "abc", "c", 3},
      {1, "abc", "", 1},
      {4, "abc", "", 4},
      {5, "abc", "", 0},
      {-7, "abc", "", 1},
      {4, "abc", "c", 0},
      {3, "abc", "c", 3},
      {1, "abc", "abcd", 0},
      {1, "", "", 1},
      {2, "", "", 0},
      {1, "xAxa", "a", 2},
      {1, "\xE4x", "\xC4", 0},  // accented letters are not folded
      {INT32_MAX, "abc", "", 0},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(std::string(c.szString) + " / " + c.szSearch + " from " +
                 std::to_string(c.iStart));
    EXPECT_EQ(UTL_iInStr(c.iStart, c.szString, c.szSearch), c.iExpected);
  }
  char szString[] = "abc", szSearch[] = "B";
  EXPECT_EQ(UTL_iInStr(1, szString, szSearch), 2);
  EXPECT_STREQ(szString, "abc");
  EXPECT_STREQ(szSearch, "B");
  EXPECT_EQ(UTL_iInStr(1, nullptr, ""), 1);
  EXPECT_EQ(UTL_iInStr(1, std::string(600, 'a').append("b").c_str(), "AB"), 600);
}

TEST(MakeSpec, FirstEntryOfTheListBecomesASearchSpec) {
  // Written with '\'; on POSIX both sides use '/'.
  struct Case {
    const char* szPath;
    const char* szSpec;
  } aCases[] = {
      {"C:\\;D:\\", "C:\\*.*"},
      {"C:;D:", "C:\\*.*"},
      {"C:\\DOCS\\;", "C:\\DOCS\\*.*"},
      {"C:\\DOCS;", "C:\\DOCS*.*"},  // a separator anywhere counts, not only at the end
      {";C:\\", "\\*.*"},
      {"C:\\DOCS", "C:\\DOCS*.*"},  // no ';': the whole text is the
                                    // base
      {"DOCS", "DOCS\\*.*"},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szPath);
    char szSpec[256];
    std::string sExpected = Native(c.szSpec);
    EXPECT_EQ(UTL_iMakeSpec(Native(c.szPath).c_str(), szSpec),
              static_cast<int32_t>(sExpected.size() + 1));
    EXPECT_EQ(std::string(szSpec), sExpected);
  }
}

TEST(MakeSpec, EmptyAndOversizedPathsGiveAnEmptySpec) {
  const std::string aPaths[] = {"", std::string(252, 'x') + ";", std::string(252, 'x') + "/" + ";",
                                std::string(1000, 'x')};
  for (const std::string& s : aPaths) {
    char szSpec[256] = "untouched";
    EXPECT_EQ(UTL_iMakeSpec(s.c_str(), szSpec), 0) << s.size();
    EXPECT_STREQ(szSpec, "");
  }
  char szSpec[256];
  EXPECT_EQ(UTL_iMakeSpec((std::string(251, 'x') + ";").c_str(), szSpec), 256);  // just fits
  EXPECT_EQ(std::strlen(szSpec), 255u);
  EXPECT_EQ(UTL_iMakeSpec(nullptr, szSpec), 0);
}

// Records what the platform was told and writes as much as it was allowed.
uint32_t s_cchSeen;
uint32_t WideShortPath(const char*, char* szShort, uint32_t cch) {
  s_cchSeen = cch;
  std::memset(szShort, 'S', cch);
  szShort[cch - 1] = '\0';
  return cch - 1;
}

TEST(DosPath, ThePlatformNeverWritesPastTheWorkArea) {
  HostFake fake;
  g_zmHost.pfnGetShortPathName = WideShortPath;
  for (int32_t cch : {1000, 129, 128, 20}) {
    char szShort[1024];
    std::memset(szShort, 'x', sizeof szShort);
    EXPECT_EQ(UTL_lDosPath("C:\\LONG NAME", szShort, cch), 1);
    EXPECT_EQ(s_cchSeen, static_cast<uint32_t>(std::min(cch, 128)));
    EXPECT_EQ(std::strlen(szShort), static_cast<size_t>(std::min(cch, 128) - 1));
    EXPECT_EQ(szShort[std::min(cch, 128)], 'x');
  }
}

TEST(DosPath, ExistingMissingAndTooSmall) {
  TempDir dir;
  std::string sPath = dir.Write("A Long Name.document", "x");
  char szShort[128];
  ASSERT_EQ(UTL_lDosPath(sPath.c_str(), szShort, 128), 1);
  if (!OnWindows()) {
    EXPECT_EQ(std::string(szShort), sPath);  // no short names: the path itself
  }
  EXPECT_NE(szShort[0], '\0');

  struct Case {
    std::string sPath;
    int32_t cch;
  } aCases[] = {{dir.Path("missing.doc"), 128}, {"", 128}, {sPath, 0}, {sPath, -5}, {sPath, 3}};
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.sPath + " " + std::to_string(c.cch));
    char sz[128] = "previous";
    EXPECT_EQ(UTL_lDosPath(c.sPath.c_str(), sz, c.cch), 0);
    EXPECT_STREQ(sz, "previous");
  }
  EXPECT_EQ(UTL_lDosPath(nullptr, szShort, 128), 0);
}

TEST(GetCWD, NeedsRoomForTheTextAndItsNul) {
  char szDir[260];
  ASSERT_EQ(UTL_pszGetCWD(szDir, 260), szDir);
  const int32_t n = static_cast<int32_t>(std::strlen(szDir));
  ASSERT_GT(n, 0);
  char szSmall[260] = "untouched";
  EXPECT_EQ(UTL_pszGetCWD(szSmall, n), nullptr);
  EXPECT_STREQ(szSmall, "untouched");
  EXPECT_EQ(UTL_pszGetCWD(szSmall, -1), nullptr);
  EXPECT_EQ(UTL_pszGetCWD(szSmall, n + 1), szSmall);
  EXPECT_STREQ(szSmall, szDir);
  HostFake fake;
  fake.FailNth(kCallGetCwd, 1);
  EXPECT_EQ(UTL_pszGetCWD(szSmall, 260), nullptr);
}

TEST(WindowsDirectory, LengthPlusOneOrEmptyAndZero) {
  char szDir[256] = "untouched";
  int32_t r = UTL_iGetWindowsDirectory(szDir);
  if (OnWindows()) {
    EXPECT_EQ(r, static_cast<int32_t>(std::strlen(szDir) + 1));
    EXPECT_GT(r, 3);
  } else {
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(szDir, "");
  }
}

// Restores the current directory after a test that moves between drives.
class Drives : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(UTL_pszGetCWD(m_szSaved, 260), nullptr); }
  void TearDown() override { g_zmHost.pfnSetCurrentDirectory(m_szSaved); }
  char m_szSaved[260];
};

TEST_F(Drives, PosixHasNone) {
  if (OnWindows()) GTEST_SKIP() << "drive letters exist here";
  EXPECT_EQ(UTL_iGetDrive(), 0);
  for (int32_t i : {1, 3, 26, 0, 32}) EXPECT_EQ(UTL_iChDrive(i), -1) << i;
  for (char c : {'C', 'c', 'Z', 'A'}) EXPECT_EQ(UTL_iKindOfDrive(c), 0) << c;
}

TEST_F(Drives, ChangeReadAndKindOfRealDrives) {
  if (!OnWindows()) GTEST_SKIP() << "no drive letters on POSIX";
  EXPECT_EQ(UTL_iKindOfDrive('C'), 4);
  EXPECT_EQ(UTL_iKindOfDrive('c'), 4);
  EXPECT_EQ(UTL_iKindOfDrive(0x100 + 'C'), 4);  // only the low byte is the letter
  ASSERT_EQ(UTL_iChDrive(3), 0);
  EXPECT_EQ(UTL_iGetDrive(), 3);
  if (UTL_iKindOfDrive('Z') != 0) {
    ASSERT_EQ(UTL_iChDrive(26), 0);
    EXPECT_EQ(UTL_iGetDrive(), 26);
    ASSERT_EQ(UTL_iChDrive(3), 0);
  }
  char szBefore[260], szAfter[260];
  ASSERT_NE(UTL_pszGetCWD(szBefore, 260), nullptr);
  for (int32_t i : {0, 32, -1, 100}) {
    EXPECT_EQ(UTL_iChDrive(i), -1) << i;
    ASSERT_NE(UTL_pszGetCWD(szAfter, 260), nullptr);
    EXPECT_STREQ(szAfter, szBefore);
  }
  EXPECT_EQ(UTL_iGetDrive(), 3);
  // A letter with no drive behind it.
  for (char c = 'Y'; c >= 'D'; --c) {
    if (UTL_iKindOfDrive(c) != 0) continue;
    EXPECT_EQ(UTL_iChDrive(c - 'A' + 1), -1) << c;
    EXPECT_EQ(UTL_iGetDrive(), 3);
    break;
  }
}

TEST(DosPathOnWindows, MissingPathLeavesTheBufferAlone) {
  if (!OnWindows()) GTEST_SKIP() << "covered by DosPath.ExistingMissingAndTooSmall";
  char sz[128] = "C:\\KEEP.ME";
  EXPECT_EQ(UTL_lDosPath("C:\\no such dir\\no such file.document", sz, 128), 0);
  EXPECT_STREQ(sz, "C:\\KEEP.ME");
}

// A name as this platform's A-calls spell it: UTF-8 on POSIX, Windows-1252 on Windows (where only
// Latin-1 letters are used here); empty when Windows-1252 has no such letter.
std::string Local(const std::string& sUtf8) {
  if (!OnWindows()) return sUtf8;
  std::string s;
  for (size_t i = 0; i < sUtf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(sUtf8[i]);
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < sUtf8.size()) {
      s += static_cast<char>(((c & 0x03) << 6) | (sUtf8[++i] & 0x3F));
    } else {
      return "";
    }
  }
  return s;
}

class CopyFile : public ::testing::Test {
 protected:
  TempDir m_dir;
};

TEST_F(CopyFile, CopiesWholeFiles) {
  std::string s4096;
  for (int i = 0; i < 4096; ++i) s4096 += static_cast<char>(i * 7);
  const std::string aContents[] = {
      "", "x", std::string(2047, 'a'), std::string(2048, 'b'), s4096, std::string(5000, '\0')};
  for (const std::string& s : aContents) {
    SCOPED_TRACE(s.size());
    std::string sSrc = m_dir.Write("src.bin", s);
    m_dir.Write("dst.bin", "old content that is longer than some sources");
    HostFake fake;
    EXPECT_EQ(UTL_iCopyFile(sSrc.c_str(), m_dir.Path("dst.bin").c_str()), 1);
    EXPECT_EQ(m_dir.Read("dst.bin"), s);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.GlobalBlocks(), 0);
    if (s.size() == 4096) {
      EXPECT_EQ(fake.Calls(kCallRead), 3);  // two full blocks and an empty read
    }
  }
}

TEST_F(CopyFile, NeverCopiesAFileOntoItself) {
  std::string sSrc = m_dir.Write("Same.doc", "precious");
  std::string sDotted = m_dir.Root() + g_chPathSep + "." + g_chPathSep + "Same.doc";
  std::vector<std::string> others = {sSrc, sDotted, m_dir.Path("SAME.DOC")};
  if (!OnWindows()) {
    others.pop_back();  // another name here: see RefusesOnlyTheSameFile
    std::filesystem::create_symlink(sSrc, m_dir.Path("link.doc"));
    std::filesystem::create_hard_link(sSrc, m_dir.Path("hard.doc"));
    others.push_back(m_dir.Path("link.doc"));
    others.push_back(m_dir.Path("hard.doc"));
  }
  for (const std::string& sOther : others) {
    SCOPED_TRACE(sOther);
    HostFake fake;
    EXPECT_EQ(UTL_iCopyFile(sSrc.c_str(), sOther.c_str()), 0);
    EXPECT_EQ(fake.Calls(kCallOpen) + fake.Calls(kCallCreate), 0);
    EXPECT_EQ(m_dir.Read("Same.doc"), "precious");
  }
  EXPECT_EQ(UTL_iCopyFile("c:\\a.doc", "C:\\A.DOC"), 0);
}

// Names that are two files are copied between: letters whose UTF-8 forms differ only in a
// continuation byte (Ú/Ê, К/Њ), and on POSIX names that differ in case.
TEST_F(CopyFile, RefusesOnlyTheSameFile) {
  const struct {
    const char *szSrc, *szDst;
  } kCases[] = {
      {"\xC3\x9A.doc", "\xC3\x8A.doc"},
      {"\xD0\x9A.doc", "\xD0\x8A.doc"},
      {"case.doc", "CASE.doc"},
  };
  for (const auto& c : kCases) {
    std::string sSrc = Local(c.szSrc), sDst = Local(c.szDst);
    if (sSrc.empty()) continue;  // no Windows-1252 form
    SCOPED_TRACE(sSrc + " -> " + sDst);
    int32_t h = g_zmHostPlatform.pfnCreate(m_dir.Path(sSrc).c_str(), 0, ZM_HFILE_ERROR);
    ASSERT_NE(h, ZM_HFILE_ERROR);
    ASSERT_EQ(g_zmHostPlatform.pfnWrite(h, "new", 3), 3u);
    g_zmHostPlatform.pfnClose(h);
    bool bTwoFiles = !OnWindows() || std::string(c.szSrc) != "case.doc";
    EXPECT_EQ(UTL_iCopyFile(m_dir.Path(sSrc).c_str(), m_dir.Path(sDst).c_str()), bTwoFiles ? 1 : 0);
    EXPECT_EQ(m_dir.Read(sSrc), "new");
    if (bTwoFiles) {
      EXPECT_EQ(m_dir.Read(sDst), "new");
    }
  }
}

// A copy is never readable by more people than its source: a new destination gets the source's
// permission bits (less the umask), an existing one that grants more takes them. POSIX only.
TEST_F(CopyFile, TheCopyGetsTheSourcesPermissionsNeverWider) {
  if (OnWindows()) GTEST_SKIP() << "no permission bits";
  namespace fs = std::filesystem;
  const struct {
    fs::perms src;
    std::optional<fs::perms> dst;  // an existing destination's, or none
  } kCases[] = {
      {fs::perms(0600), std::nullopt},    {fs::perms(0640), std::nullopt},
      {fs::perms(0444), std::nullopt},    {fs::perms(0600), fs::perms(0666)},
      {fs::perms(0640), fs::perms(0604)}, {fs::perms(0644), fs::perms(0600)},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.src)) + " over " +
                 (c.dst ? std::to_string(static_cast<int>(*c.dst)) : "none"));
    std::string sSrc = m_dir.Write("src" + std::to_string(n), "private");
    std::string sDst = m_dir.Path("dst" + std::to_string(n++));
    fs::permissions(sSrc, c.src);
    if (c.dst) {
      m_dir.Write(sDst.substr(m_dir.Root().size() + 1), "older, longer content");
      fs::permissions(sDst, *c.dst);
    }
    ASSERT_EQ(UTL_iCopyFile(sSrc.c_str(), sDst.c_str()), 1);
    EXPECT_EQ(m_dir.Read(sDst.substr(m_dir.Root().size() + 1)), "private");
    fs::perms got = fs::status(sDst).permissions() & fs::perms::all;
    EXPECT_EQ(got & ~c.src, fs::perms::none) << static_cast<int>(got);  // never wider
    EXPECT_EQ(got & fs::perms::owner_all, c.src & fs::perms::owner_all) << static_cast<int>(got);
    if (c.dst) {  // one that grants more than the source takes the source's bits
      EXPECT_EQ(got, (*c.dst & ~c.src) != fs::perms::none ? c.src : *c.dst)
          << static_cast<int>(got);
    }
  }
}

// A read-only destination is never truncated, whoever copies (the tests may run as root).
TEST_F(CopyFile, NeverWritesAReadOnlyDestination) {
  std::string sSrc = m_dir.Write("src.bin", "new");
  std::string sDst = m_dir.Write("dst.bin", "read-only content");
  std::filesystem::permissions(sDst, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  HostFake fake;
  EXPECT_EQ(UTL_iCopyFile(sSrc.c_str(), sDst.c_str()), 0);
  EXPECT_EQ(m_dir.Read("dst.bin"), "read-only content");
  EXPECT_EQ(fake.OpenFiles(), 0);
  std::filesystem::permissions(sDst, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

TEST_F(CopyFile, FailuresGiveZeroAndGiveEverythingBack) {
  std::string sSrc = m_dir.Write("src.bin", std::string(5000, 'q'));
  struct Case {
    const char* szWhat;
    HostCall call;
    int n;
    bool bDestCreated;
  } aCases[] = {
      {"source not opened", kCallOpen, 1, false},
      {"destination not created", kCallCreate, 1, false},
      {"no block", kCallGlobalAlloc, 1, true},
      {"first read fails", kCallRead, 1, true},
      {"third read fails", kCallRead, 3, true},
      {"second write fails", kCallWrite, 2, true},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szWhat);
    std::string sDst =
        m_dir.Path(std::string("dst-") + std::to_string(c.call) + "-" + std::to_string(c.n));
    HostFake fake;
    fake.FailNth(c.call, c.n);
    EXPECT_EQ(UTL_iCopyFile(sSrc.c_str(), sDst.c_str()), 0);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.GlobalBlocks(), 0);
    EXPECT_EQ(m_dir.Exists(sDst.substr(m_dir.Root().size() + 1)), c.bDestCreated);
  }
  EXPECT_EQ(UTL_iCopyFile(m_dir.Path("missing").c_str(), m_dir.Path("never").c_str()), 0);
  EXPECT_FALSE(m_dir.Exists("never"));
  const std::string sLong(256, 'x');
  EXPECT_EQ(UTL_iCopyFile(sSrc.c_str(), sLong.c_str()), 0);
  EXPECT_EQ(UTL_iCopyFile(sLong.c_str(), m_dir.Path("d").c_str()), 0);
}

int32_t s_aHelpArgs[4];
int32_t FakeHelp(uint32_t hWnd, const char* sz, uint32_t uCommand, uint32_t dwData) {
  s_aHelpArgs[0] = static_cast<int32_t>(hWnd);
  s_aHelpArgs[1] = sz ? static_cast<int32_t>(std::strlen(sz)) : -1;
  s_aHelpArgs[2] = static_cast<int32_t>(uCommand);
  s_aHelpArgs[3] = static_cast<int32_t>(dwData);
  return 77;
}

TEST(WindowSystem, PassesThrough) {
  HostFake fake;
  g_zmHost.pfnWinHelp = FakeHelp;
  EXPECT_EQ(UTL_iWinHelp(0x1234, "abc.hlp", 3, 0xFFFFFFFFu), 77);
  EXPECT_EQ(s_aHelpArgs[0], 0x1234);
  EXPECT_EQ(s_aHelpArgs[1], 7);
  EXPECT_EQ(s_aHelpArgs[2], 3);
  EXPECT_EQ(s_aHelpArgs[3], -1);
  EXPECT_EQ(UTL_lGetActiveWindow(), g_zmHostPlatform.pfnGetActiveWindow());
}

// The seam's directory search, which the walk relies on: "." and "..", the directory bit, and
// the Win32 wildcards of the spec's last component, without regard to case.
TEST(FindFiles, WildcardsOfTheLastComponent) {
  TempDir dir;
  for (const char* sz : {"report.doc", "Template.DOT", "old.dot.bak", "README", "abc", "abbc"})
    dir.Write(sz, "x");
  dir.MakeDir("Sub.doc");
  struct Case {
    const char* szPattern;
    std::set<std::string> names;
  } aCases[] = {
      {"*.*",
       {".", "..", "report.doc", "Template.DOT", "old.dot.bak", "README", "abc", "abbc",
        "Sub.doc"}},
      {"*",
       {".", "..", "report.doc", "Template.DOT", "old.dot.bak", "README", "abc", "abbc",
        "Sub.doc"}},
      {"*.doc", {"report.doc", "Sub.doc"}},
      {"*.DOT", {"Template.DOT"}},
      {"*.dot*", {"Template.DOT", "old.dot.bak"}},
      {"a?c", {"abc"}},
      {"A*C", {"abc", "abbc"}},
      {"readme", {"README"}},
      {"nothing*", {}},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szPattern);
    ZmFindData fd;
    std::set<std::string> seen;
    HostFake fake;
    intptr_t h = g_zmHost.pfnFindFirst((dir.Root() + g_chPathSep + c.szPattern).c_str(), &fd);
    if (h != ZM_FIND_NONE) {
      do {
        seen.insert(fd.szName);
        bool bDir = std::string(fd.szName) == "." || std::string(fd.szName) == ".." ||
                    std::string(fd.szName) == "Sub.doc";
        EXPECT_EQ((fd.dwAttributes & ZM_ATTR_DIRECTORY) != 0, bDir) << fd.szName;
      } while (g_zmHost.pfnFindNext(h, &fd));
      g_zmHost.pfnFindClose(h);
    }
    EXPECT_EQ(seen, c.names);
    EXPECT_EQ(fake.Searches(), 0);
  }
  ZmFindData fd;
  EXPECT_EQ(g_zmHost.pfnFindFirst(dir.Path("missing/*.*").c_str(), &fd), ZM_FIND_NONE);
}

std::set<std::string> FindAll(const std::string& sSpec) {
  std::set<std::string> seen;
  ZmFindData fd;
  intptr_t h = g_zmHost.pfnFindFirst(sSpec.c_str(), &fd);
  if (h == ZM_FIND_NONE) return seen;
  do seen.insert(fd.szName);
  while (g_zmHost.pfnFindNext(h, &fd));
  g_zmHost.pfnFindClose(h);
  return seen;
}

// Win32's rules on both platforms: '*' and '?' over characters (a UTF-8 letter on POSIX is one),
// a trailing ".*" or "." also matching names without a dot, and case ignored for the letters
// that Windows folds; two different accented names stay two.
TEST(FindFiles, PatternsOverCharactersWithoutRegardToCase) {
  TempDir dir;
  // Created through the platform's own calls, so the names are spelt as its A-calls spell them.
  const char* const kNames[] = {"WRITE",
                                "W.X",
                                "wx.y.z",
                                "Write.me",
                                "aW",
                                "ab.doc",
                                "\xC3\xA9.doc",
                                "\xC3\x9A.txt",
                                "\xC3\x8A.txt",
                                "x\xC3\xBF",
                                "\xD0\x9A\xD0\xB0.txt",
                                "\xD0\x8A.txt"};
  for (const char* sz : kNames) {
    std::string s = Local(sz);
    if (s.empty()) continue;
    int32_t h = g_zmHostPlatform.pfnCreate(dir.Path(s).c_str(), 0, ZM_HFILE_ERROR);
    ASSERT_NE(h, ZM_HFILE_ERROR) << sz;
    g_zmHostPlatform.pfnClose(h);
  }
  dir.MakeDir("WORD");
  struct Case {
    const char* szPattern;
    std::set<std::string> names;
  } aCases[] = {
      {"W*.*", {"WRITE", "W.X", "wx.y.z", "Write.me", "WORD"}},
      {"w*", {"WRITE", "W.X", "wx.y.z", "Write.me", "WORD"}},
      {"W*.X", {"W.X"}},
      {"write.*", {"WRITE", "Write.me"}},
      {"write.", {"WRITE"}},
      {"WORD.*", {"WORD"}},
      {"?.doc", {"\xC3\xA9.doc"}},  // one letter, two bytes in UTF-8
      {"??.doc", {"ab.doc"}},
      {"\xC3\x89*", {"\xC3\xA9.doc"}},     // É finds é
      {"\xC3\xBA.TXT", {"\xC3\x9A.txt"}},  // ú finds Ú, not Ê
      {"\xC3\xAA*", {"\xC3\x8A.txt"}},
      {"X\xC5\xB8", {"x\xC3\xBF"}},             // Ÿ finds ÿ
      {"\xD0\xBA*", {"\xD0\x9A\xD0\xB0.txt"}},  // к finds Ка (no Windows-1252 form)
      {"??.TXT", {"\xD0\x9A\xD0\xB0.txt"}},
      {"\xD1\x9A.txt", {"\xD0\x8A.txt"}},  // њ finds Њ
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szPattern);
    std::set<std::string> want;
    bool bSpelt = !Local(c.szPattern).empty();
    for (const std::string& sName : c.names) {
      bSpelt = bSpelt && !Local(sName).empty();
      want.insert(Local(sName));
    }
    if (!bSpelt) continue;
    EXPECT_EQ(FindAll(dir.Path(Local(c.szPattern))), want);
  }
}

}  // namespace
