// MACRO_CallTraverse over a temporary tree: the ExtensionFilter, pre-order CR LF lines, the start
// level's wildcard, dot-directories, the path limit, append and create counts, and failures that
// give back every record, buffer, search and file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "filelist.h"
#include "host.h"
#include "hostfake.h"
#include "tempdir.h"

namespace {

TEST(SplitFilter, DropsStarsAndKeepsPatternsWhole) {
  struct Case {
    const char* szFilter;
    std::vector<std::string> patterns;
  } aCases[] = {
      {"*.doc;*.dot", {".doc", ".dot"}},
      {"", {""}},
      {"*", {""}},
      {"**", {""}},
      {"*.doc;", {".doc", ""}},
      {";;", {"", "", ""}},
      {"*.document;x?y z", {".document", "x?y z"}},  // longer than 4: kept whole; '?' is plain
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szFilter);
    int32_t iLast = iSplitFilter(c.szFilter);
    ASSERT_EQ(iLast, static_cast<int32_t>(c.patterns.size()) - 1);
    EXPECT_EQ(g_iFilterLast, iLast);
    for (int32_t k = 0; k <= iLast; ++k) EXPECT_EQ(g_aszFilterSlots[k], c.patterns[k]);
  }
  EXPECT_EQ(iSplitFilter(std::string(63, ';').c_str()), 63);
  EXPECT_EQ(iSplitFilter(std::string(64, ';').c_str()), -1);  // 65 patterns
  EXPECT_EQ(g_iFilterLast, -1);
}

TEST(MatchFilter, SubstringOfTheUpperCasedName) {
  struct Case {
    const char* szFilter;
    const char* szName;
    int32_t iExpected;
  } aCases[] = {
      {"*.doc;*.dot", "report.doc", 1},
      {"*.doc;*.dot", "TEMPLATE.DOT", 1},
      {"*.doc;*.dot", "old.dot.bak", 1},
      {"*.doc;*.dot", "notes.txt", 0},
      {"*.doc", "A.DOCUMENT", 1},
      {"*doc", "DOCTOR.TXT", 1},
      {"*.Doc", "a.DOC", 1},
      {"*.Doc", "b.doc", 1},
      {"*.*", "README", 0},
      {"*.*", "x.y", 1},
      {"", "anything", 1},
      {"*", "anything", 1},
      {"*.doc;", "notes.txt", 1},
      {"*.d?c", "a.doc", 0},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(std::string(c.szFilter) + " / " + c.szName);
    iSplitFilter(c.szFilter);
    char szName[260];
    std::snprintf(szName, sizeof szName, "%s", c.szName);
    EXPECT_EQ(iMatchFilter(szName), c.iExpected);
    std::string sUpper = c.szName;
    std::transform(sUpper.begin(), sUpper.end(), sUpper.begin(), ::toupper);
    EXPECT_EQ(std::string(szName), sUpper);  // the name is upper-cased in place
  }
}

class Walk : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sz :
         {"report.doc", "TEMPLATE.DOT", "old.dot.bak", "notes.txt", "SubDir/a.DOCUMENT",
          "SubDir/inner.doc", "SubDir/skip.txt", "SubDir/Deep/x.dot", "SubDir/Deep/y.doc",
          ".hidden/h.doc", "Other/o.doc", "b.doc/c.txt", "b.doc/d.doc"})
      m_dir.Write(sz, "x");
    m_dir.MakeDir("Empty");
  }
  std::string Spec(const std::string& sPattern) const {
    return m_dir.Root() + g_chPathSep + sPattern;
  }
  std::string List() const { return m_dir.Path("list.txt"); }
  // The list file's lines; each must end in CR LF.
  std::vector<std::string> Lines() const {
    std::string s = m_dir.Read("list.txt");
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < s.size()) {
      size_t end = s.find("\r\n", pos);
      EXPECT_NE(end, std::string::npos) << "last line without CR LF";
      if (end == std::string::npos) break;
      EXPECT_EQ(s.substr(pos, end - pos).find('\n'), std::string::npos);
      lines.push_back(s.substr(pos, end - pos));
      pos = end + 2;
    }
    return lines;
  }
  // A path under the root, written with '/'.
  std::string P(const std::string& s) const { return m_dir.Path(s); }
  TempDir m_dir;
};

std::string DirOf(const std::string& s) {
  size_t i = s.find_last_of(g_chPathSep);
  return i == std::string::npos ? std::string() : s.substr(0, i);
}
bool Below(const std::string& sDir, const std::string& sAncestor) {
  return sDir.size() > sAncestor.size() && sDir.compare(0, sAncestor.size(), sAncestor) == 0 &&
         sDir[sAncestor.size()] == g_chPathSep;
}

// Pre-order: a directory's own files come before its subtrees, and every subtree is one run.
void ExpectPreOrder(const std::vector<std::string>& lines) {
  auto In = [](const std::string& x, const std::string& d) { return x == d || Below(x, d); };
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string d = DirOf(lines[i]);
    size_t last = i;
    for (size_t j = i + 1; j < lines.size(); ++j) {
      EXPECT_FALSE(Below(d, DirOf(lines[j]))) << lines[j] << " after " << lines[i];
      if (In(DirOf(lines[j]), d)) last = j;
    }
    for (size_t k = i; k <= last; ++k)
      EXPECT_TRUE(In(DirOf(lines[k]), d)) << "subtree of " << d << " split";
  }
}

TEST_F(Walk, ListsSelectedFilesInPreOrder) {
  HostFake fake;
  EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "*.doc;*.dot", 0), 9);
  std::vector<std::string> lines = Lines();
  std::set<std::string> got(lines.begin(), lines.end());
  std::set<std::string> want = {
      P("REPORT.DOC"),        P("TEMPLATE.DOT"),     P("OLD.DOT.BAK"),
      P("SubDir/A.DOCUMENT"), P("SubDir/INNER.DOC"), P("SubDir/Deep/X.DOT"),
      P("SubDir/Deep/Y.DOC"), P("Other/O.DOC"),      P("b.doc/D.DOC")};
  EXPECT_EQ(lines.size(), 9u);
  EXPECT_EQ(got, want);
  ExpectPreOrder(lines);
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(fake.Blocks(), 0);
  EXPECT_EQ(fake.Searches(), 0);
}

TEST_F(Walk, StartWildcardAlsoPicksTheSubdirectories) {
  // Only 'b.doc' matches '*.doc' among the directories; below it every name is searched. (No
  // start-level name has a longer extension beginning "doc", which Win32 matches through its 8.3
  // short name.)
  EXPECT_EQ(FL_iCallTraverse(Spec("*.doc").c_str(), List().c_str(), "", 0), 3);
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{P("REPORT.DOC"), P("b.doc/C.TXT"), P("b.doc/D.DOC")}));
  ExpectPreOrder(lines);
}

// As Win32 lists them: a start pattern ending in ".*" also takes names without a dot, files and
// directories alike, without regard to case; below it every name is searched.
TEST_F(Walk, AStartPatternEndingInDotStarTakesNamesWithoutADot) {
  for (const char* sz : {"Pat/WRITE", "Pat/w.x", "Pat/Wx.y.z", "Pat/aW", "Pat/other.w",
                         "Pat/WORD/inner.txt", "Pat/WORD/deeper/x", "Pat/Other/y.doc"})
    m_dir.Write(sz, "x");
  EXPECT_EQ(FL_iCallTraverse(P("Pat/W*.*").c_str(), List().c_str(), "", 0), 5);
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{P("Pat/WRITE"), P("Pat/W.X"), P("Pat/WX.Y.Z"),
                                   P("Pat/WORD/INNER.TXT"), P("Pat/WORD/deeper/X")}));
  ExpectPreOrder(lines);
}

TEST_F(Walk, ADirectoryWithoutWildcardIsWalkedThroughItsSubtree) {
  EXPECT_EQ(FL_iCallTraverse(P("SubDir").c_str(), List().c_str(), "*.DOC", 0), 3);
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{P("SubDir/INNER.DOC"), P("SubDir/A.DOCUMENT"),
                                   P("SubDir/Deep/Y.DOC")}));
}

TEST_F(Walk, ForwardSlashesSeparateOnEveryPlatform) {
  std::string sSpec = P("b.doc/*.*");
  std::replace(sSpec.begin(), sSpec.end(), '\\', '/');
  EXPECT_EQ(FL_iCallTraverse(sSpec.c_str(), List().c_str(), "", 0), 2);
  std::vector<std::string> lines = Lines();
  std::string sDir = sSpec.substr(0, sSpec.size() - 3);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{sDir + "C.TXT", sDir + "D.DOC"}));
}

TEST_F(Walk, CreateStartsTheCountAndAppendGoesOn) {
  std::string sOtherList = m_dir.Path("Empty/other.txt");
  EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), sOtherList.c_str(), "", 0), 13);
  EXPECT_EQ(FL_iCallTraverse(P("Other/*.*").c_str(), List().c_str(), "", 0), 1);
  EXPECT_EQ(FL_iCallTraverse(P("b.doc/*.*").c_str(), List().c_str(), "", 1), 3);
  EXPECT_EQ(FL_iCallTraverse(P("Other/*.*").c_str(), List().c_str(), "*.xyz", 1), 3);
  EXPECT_EQ(Lines().size(), 3u);
  EXPECT_EQ(FL_iCallTraverse(P("Other/*.*").c_str(), List().c_str(), "", 0), 1);
  EXPECT_EQ(Lines().size(), 1u);
  EXPECT_EQ(FL_iCallTraverse(Spec("*.xyz").c_str(), List().c_str(), "", 0), 0);
  EXPECT_EQ(m_dir.Read("list.txt"), "");
}

TEST_F(Walk, DeepSubtreesPastThePathLimitAreLeftOut) {
  // The nested spec of this directory passes 260 characters; its siblings are still listed.
  const size_t cbRoot = m_dir.Root().size() + 1;
  ASSERT_LT(cbRoot, 200u);
  std::string sLong = std::string(251 - cbRoot, 'L');
  m_dir.Write("Other/" + sLong + "/lost.doc", "x");
  m_dir.Write("Other/" + std::string(200 - cbRoot, 'K') + "/kept.doc", "x");
  ASSERT_GT((P("Other/" + sLong) + g_chPathSep + "*.*").size(), 260u);
  HostFake fake;
  EXPECT_EQ(FL_iCallTraverse(P("Other/*.*").c_str(), List().c_str(), "", 0), 2);
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{P("Other/O.DOC"),
                                   P("Other/" + std::string(200 - cbRoot, 'K') + "/KEPT.DOC")}));
  EXPECT_EQ(fake.Blocks(), 0);
  EXPECT_EQ(fake.Searches(), 0);
}

TEST_F(Walk, RefusedArguments) {
  struct Case {
    const char* szWhat;
    std::string sSpec, sList, sFilter;
    int32_t iAppend, iExpected;
  } aCases[] = {
      {"empty list path", Spec("*.*"), "", "", 0, -1},
      {"empty list path, append", Spec("*.*"), "", "", 1, -1},
      {"spec without a separator", "*.*", List(), "", 0, -1},
      {"spec over 255", Spec(std::string(300, 'x')), List(), "", 0, -1},
      {"list path over 255", Spec("*.*"), std::string(300, 'x'), "", 0, -1},
      {"filter over 255", Spec("*.*"), List(), std::string(256, 'x'), 0, -1},
      {"65 patterns", Spec("*.*"), List(), std::string(64, ';'), 0, -1},
      {"append to a missing list", Spec("*.*"), List(), "", 1, -3},
      {"list in a missing directory", Spec("*.*"), m_dir.Path("no/list.txt"), "", 0, -3},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szWhat);
    HostFake fake;
    EXPECT_EQ(FL_iCallTraverse(c.sSpec.c_str(), c.sList.c_str(), c.sFilter.c_str(), c.iAppend),
              c.iExpected);
    EXPECT_EQ(fake.Calls(kCallFindFirst), 0);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_FALSE(m_dir.Exists("list.txt"));
  }
}

// A read-only list file is neither truncated nor appended to, whoever walks (the tests may run
// as root), and nothing is walked.
TEST_F(Walk, AReadOnlyListFileIsLeftAlone) {
  m_dir.Write("list.txt", "keep\r\n");
  std::filesystem::permissions(List(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  for (int32_t iAppend : {0, 1}) {
    SCOPED_TRACE(iAppend);
    HostFake fake;
    EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "", iAppend), -3);
    EXPECT_EQ(fake.Calls(kCallFindFirst), 0);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(m_dir.Read("list.txt"), "keep\r\n");
  }
  std::filesystem::permissions(List(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

TEST_F(Walk, AppendWhoseListCannotBeMovedToItsEnd) {
  m_dir.Write("list.txt", "keep\r\n");
  HostFake fake;
  fake.FailNth(kCallSeek, 1);
  EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "", 1), -3);
  EXPECT_EQ(fake.Calls(kCallFindFirst), 0);
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(m_dir.Read("list.txt"), "keep\r\n");
}

TEST_F(Walk, FailuresAtTheStartLevel) {
  {
    HostFake fake;
    fake.FailNth(kCallWrite, 1);
    EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "", 0), -2);
    EXPECT_EQ(fake.Searches(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
    EXPECT_EQ(fake.OpenFiles(), 0);
  }
  {
    HostFake fake;
    fake.FailNth(kCallCommit, 1);  // the start level's find record
    EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "", 0), -2);
    EXPECT_EQ(fake.OpenFiles(), 0);
  }
  {
    HostFake fake;
    fake.FailNth(kCallWrite, 2);  // after one line: the count is the answer
    EXPECT_EQ(FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "", 0), 1);
    EXPECT_EQ(Lines().size(), 1u);
  }
}

TEST_F(Walk, EveryFailingCallGivesEverythingBack) {
  const HostCall aCalls[] = {kCallCommit, kCallWrite, kCallFindFirst, kCallFindNext};
  for (HostCall call : aCalls) {
    for (int n = 1; n <= 30; ++n) {
      SCOPED_TRACE(std::to_string(call) + " #" + std::to_string(n));
      HostFake fake;
      fake.FailNth(call, n);
      int32_t r = FL_iCallTraverse(Spec("*.*").c_str(), List().c_str(), "*.doc", 0);
      EXPECT_TRUE(r == -2 || (r >= 0 && r <= 7)) << r;
      EXPECT_EQ(static_cast<size_t>(std::max(r, 0)), Lines().size());
      EXPECT_EQ(fake.OpenFiles(), 0);
      EXPECT_EQ(fake.Blocks(), 0);
      EXPECT_EQ(fake.Searches(), 0);
    }
  }
}

}  // namespace
