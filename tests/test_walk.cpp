// The scan core's walk: its order, what its options leave out and why, the files it remembers,
// and the name patterns of --include, --exclude and --exclude-dir.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "glob.h"
#include "tempdir.h"
#include "walk.h"

namespace {

// The front end's walk: its order, and what its options leave out and why. Each entry is one line:
// its path below the root, then SKIPPED and the reason when it is not handed on to be scanned.
TEST(Walk, SelectsByNameDepthAndDirectoryInNameOrder) {
  TempDir dir;
  for (const char* sz : {"a.doc", "b.docx", "c.DOC", "notes.txt", ".hidden/h.doc", "sub/d.doc",
                         "sub/deeper/e.doc", "skip/f.doc"})
    dir.Write(sz, "x");
  auto walk = [&](const zm::WalkOptions& options) {
    std::vector<std::string> lines;
    zm::Walker walker(options, [&](zm::WalkItem&& item) {
      std::string s = item.sPath.substr(dir.Root().size() + 1);
      for (char& c : s)
        if (c == '\\') c = '/';
      if (item.kind != zm::WalkItem::kFile)
        s += (item.kind == zm::WalkItem::kSkipped ? " SKIPPED " : " ERROR ") + item.sReason;
      lines.push_back(s);
    });
    walker.Add(dir.Root());
    return lines;
  };
  // Windows' names ignore case, and so do the patterns there.
  const std::string sUpperDoc = zm::NamesIgnoreCase() ? "c.DOC" : "c.DOC SKIPPED Excluded";
  zm::WalkOptions all, include, exclude, depth1, depth2;
  include.include = {"*.doc"};
  exclude.exclude = {"*.doc", "notes.???"};
  exclude.excludeDir = {"s[!k]*"};
  depth1.iMaxDepth = 1;
  depth2.iMaxDepth = 2;
  const struct {
    const char* szWhat;
    const zm::WalkOptions& options;
    std::vector<std::string> lines;
  } kCases[] = {
      {"everything, hidden too, in byte order",
       all,
       {".hidden/h.doc", "a.doc", "b.docx", "c.DOC", "notes.txt", "skip/f.doc", "sub/d.doc",
        "sub/deeper/e.doc"}},
      {"--include *.doc",
       include,
       {".hidden/h.doc", "a.doc", "b.docx SKIPPED Excluded", sUpperDoc,
        "notes.txt SKIPPED Excluded", "skip/f.doc", "sub/d.doc", "sub/deeper/e.doc"}},
      {"--exclude, --exclude-dir",
       exclude,
       {".hidden/h.doc SKIPPED Excluded", "a.doc SKIPPED Excluded", "b.docx",
        zm::NamesIgnoreCase() ? "c.DOC SKIPPED Excluded" : "c.DOC", "notes.txt SKIPPED Excluded",
        "skip/f.doc SKIPPED Excluded", "sub SKIPPED Excluded"}},
      {"--max-depth 1",
       depth1,
       {".hidden SKIPPED Deeper than --max-depth", "a.doc", "b.docx", "c.DOC", "notes.txt",
        "skip SKIPPED Deeper than --max-depth", "sub SKIPPED Deeper than --max-depth"}},
      {"--max-depth 2",
       depth2,
       {".hidden/h.doc", "a.doc", "b.docx", "c.DOC", "notes.txt", "skip/f.doc", "sub/d.doc",
        "sub/deeper SKIPPED Deeper than --max-depth"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    EXPECT_EQ(walk(c.options), c.lines);
  }
}

// Byte order holds where names share their first eight bytes, where one begins another, and for
// bytes above 0x7F; the entries are made in the reverse order.
TEST(Walk, HandsOnNamesInByteOrder) {
  TempDir dir;
  const std::vector<std::string> kSorted = {
      "Zz", "_x", "abcdefg", "abcdefgh", "abcdefgh1", "abcdefghZ", "abcdefgi", "\xC3\xA9t\xC3\xA9"};
  for (auto it = kSorted.rbegin(); it != kSorted.rend(); ++it) dir.Write(*it, "x");
  std::vector<std::string> names;
  zm::Walker walker({}, [&](zm::WalkItem&& item) { names.push_back(item.ref.sName); });
  walker.Add(dir.Root());
  // Windows makes the names through its ANSI code page and gives them back as UTF-8, so there
  // the last one differs and the order is what is compared.
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  if (zm::NamesIgnoreCase())
    EXPECT_EQ(names.size(), kSorted.size());
  else
    EXPECT_EQ(names, kSorted);
}

// A file is reported once however often it is met, and remembered only when it can be met again.
TEST(Walk, RemembersOnlyFilesThatCanComeAgain) {
  zm::WalkOptions plain, links;
  links.fileLinks = zm::LinkPolicy::kAlways;
  const zm::FileId a{1, 7}, b{1, 8};
  const struct {
    const char* szWhat;
    const zm::WalkOptions& options;
    bool bManyRoots;
    uint32_t nLinks;
    bool bSecondTimeFirst;  // what FirstTime answers when the same file is met again
  } kCases[] = {
      {"one root, one name: never remembered", plain, false, 1, true},
      {"a hard link", plain, false, 2, false},
      {"several roots", plain, true, 1, false},
      {"links followed", links, false, 1, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zm::SeenFiles seen(c.options, c.bManyRoots);
    EXPECT_TRUE(seen.FirstTime(a, c.nLinks));
    EXPECT_TRUE(seen.FirstTime(b, c.nLinks));
    EXPECT_EQ(seen.FirstTime(a, c.nLinks), c.bSecondTimeFirst);
  }
}

// The walk's name patterns, fnmatch-style on one name.
TEST(Glob, MatchesWholeNames) {
  const struct {
    const char* szPattern;
    const char* szName;
    bool bMatch, bMatchFolded;
  } kCases[] = {
      {"*.doc", "f.doc", true, true},
      {"*.doc", "f.docx", false, false},
      {"*.doc", "x.doc.bak", false, false},
      {"*.doc", "F.DOC", false, true},
      {"?.doc", "a.doc", true, true},
      {"?.doc", "\xC3\xA9.doc", true, true},  // one character, two bytes
      {"?.doc", "ab.doc", false, false},
      {"[a-c]*", "bravo", true, true},
      {"[!a-c]*", "bravo", false, false},
      {"[^a-c]*", "delta", true, true},
      {"\\*", "*", true, true},
      {"\\*", "x", false, false},
      {"[", "[", true, true},  // an unclosed set is a literal '['
      {"*a*b*c*", "xxaxxbxxcxx", true, true},
      {"*a*b*c*", "xxaxxcxxbxx", false, false},
      {"", "", true, true},
      {"*", "", true, true},
      {"**.git", ".git", true, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.szPattern) + " / " + c.szName);
    EXPECT_EQ(zm::GlobMatch(c.szPattern, c.szName, false), c.bMatch);
    EXPECT_EQ(zm::GlobMatch(c.szPattern, c.szName, true), c.bMatchFolded);
  }
}

}  // namespace
