// zebscan's own pieces: the library's walk (--library-walk), a --file-list's entries, where
// --copy and --move put a file, and --list-definitions' confirmation of the database it lists.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "confirm.h"
#include "librarywalk.h"
#include "listinput.h"
#include "quarantine.h"
#include "sigdb.h"
#include "tempdir.h"
#include "zebmacro.h"
#include "zmapi.h"

namespace {

ZmApi StaticApi() { return ZmCompiledInApi(); }

// --library-walk: the library's own rules (a substring filter, upper-cased names found again on
// disk), in path order.
TEST(LibraryWalk, ListsADirectoryTreeInPathOrder) {
  TempDir dir;
  dir.Write("b.doc", "x");
  dir.Write("A.Doc", "x");
  dir.Write("notes.txt", "x");
  dir.Write("sub/c.dot", "x");
  std::vector<std::string> paths;
  std::string sError;
  ASSERT_TRUE(zebscan::LibraryWalk(StaticApi(), dir.Root(), "*.doc;*.dot", &paths, &sError))
      << sError;
  std::vector<std::string> expected = {dir.Path("A.Doc"), dir.Path("b.doc"), dir.Path("sub/c.dot")};
  EXPECT_EQ(paths, expected);
  paths.clear();
  ASSERT_TRUE(zebscan::LibraryWalk(StaticApi(), dir.Root() + "/", "*", &paths, &sError));
  EXPECT_EQ(paths.size(), 4u);
  paths.clear();
  EXPECT_FALSE(zebscan::LibraryWalk(StaticApi(), std::string(300, 'd'), "*", &paths, &sError));
  EXPECT_EQ(sError, "Path too long");
}

// A --file-list's entries: a line's CR dropped, empty entries none, the last one without its end
// kept, a NUL inside a line kept for the caller to refuse.
TEST(ListInput, SplitsLinesOrNulEntries) {
  TempDir dir;
  const struct {
    std::string sList;
    bool bNull;
    std::vector<std::string> entries;
  } kCases[] = {
      {"a.doc\r\n\nb c.doc\nlast", false, {"a.doc", "b c.doc", "last"}},
      {"a\n" + std::string("b\0c", 3) + "\n", false, {"a", std::string("b\0c", 3)}},
      {std::string("a\0\0b\nc\0", 7), true, {"a", "b\nc"}},
      {"", false, {}},
  };
  for (const auto& c : kCases) {
    zebscan::ListInput list;
    std::string sError;
    ASSERT_TRUE(list.Open(dir.Write("list", c.sList), c.bNull, &sError)) << sError;
    std::vector<std::string> got;
    for (std::string s; list.Next(&s, true) == zebscan::ListInput::kPath;) got.push_back(s);
    EXPECT_EQ(got, c.entries);
    EXPECT_EQ(list.Error(), "");
  }
  zebscan::ListInput missing;
  std::string sError;
  EXPECT_FALSE(missing.Open(dir.Path("none"), false, &sError));
  EXPECT_FALSE(sError.empty());
}

// --copy and --move put a file below their directory under its path as reported: no root, no
// drive, and no way above the directory.
TEST(Quarantine, KeepsThePathBelowItsDirectory) {
  const bool bWindows = zm::NamesIgnoreCase();
  const std::string q = "q";
  auto in = [&](std::vector<std::string> parts) {
    std::string s = q;
    for (const std::string& sPart : parts) s = zm::JoinPath(s, sPart);
    return s;
  };
  const struct {
    const char* szPath;
    std::string sWant;
  } kCases[] = {
      {"tree/sub/x.doc", in({"tree", "sub", "x.doc"})},
      {"/home/u/x.doc", in({"home", "u", "x.doc"})},
      {"./a//b/./x.doc", in({"a", "b", "x.doc"})},
      {"a/../b/x.doc", in({"b", "x.doc"})},
      {"../../../etc/x", in({"etc", "x"})},
      {"stdin", in({"stdin"})},
      {"..", in({"file"})},
      {"C:\\docs\\x.doc", bWindows ? in({"C", "docs", "x.doc"}) : in({"C:\\docs\\x.doc"})},
  };
  for (const auto& c : kCases) EXPECT_EQ(zebscan::QuarantinePath(q, c.szPath), c.sWant) << c.szPath;
}

// The questions of --list-definitions work: the database zebscan was built with, asked through
// the static core's own exports, answers every one as itself, and every whole signature is found
// in its probe document. Only the definition that earlier ones shadow in every answer is out of
// reach.
TEST(Confirm, TheBuiltDatabaseAnswersEveryQuestionAsItself) {
  const zebscan::Confirmation c = zebscan::ConfirmDatabase(StaticApi(), StaticApi(), "");
  EXPECT_TRUE(c.differences.empty()) << c.differences.front().sQuestion;
  EXPECT_GT(c.nAnswers, 300u);
  EXPECT_FALSE(c.bSameLibrary);  // the static core is no library file with that digest
  ASSERT_EQ(c.unreached.size(), 1u);
  EXPECT_NE(c.unreached[0].find("definition 56 (Macro.Word.Alliance)"), std::string::npos);
}

// A library that differs from the database in one place: the static core's table is changed while
// these exports answer, and changed back for the database's own answer.
std::function<void(bool bApply)> g_mutate;
template <typename F, typename... Args>
int32_t Mutated(F f, Args... args) {
  g_mutate(true);
  int32_t r = f(args...);
  g_mutate(false);
  return r;
}
int32_t ZM_CALL MutatedHandler(int32_t iJob, const char* szPath, const char* szList, char* szResult,
                               const char* szReserved, char* szMacros) {
  return Mutated(MACRO_Handler, iJob, szPath, szList, szResult, szReserved, szMacros);
}
int32_t ZM_CALL MutatedScanRaw(const char* szPath, const char* szName) {
  return Mutated(MACRO_ScanRaw, szPath, szName);
}

// Each change to a definition that an export can show makes some answer differ; a change to the
// shadowed definition makes none, which is why a library is listed only when it is the very one
// zebscan was built with.
TEST(Confirm, AnswersDifferForEveryChangeAnExportCanShow) {
  auto field = [](int32_t* p, int32_t v) {
    return [p, v, was = *p](bool bApply) mutable {
      if (bApply) was = *p;
      *p = bApply ? v : was;
    };
  };
  auto text = [](char* sz, const char* szNew) {
    return [sz, szNew, was = std::string()](bool bApply) mutable {
      if (bApply) was = sz;
      std::strcpy(sz, bApply ? szNew : was.c_str());
    };
  };
  const struct {
    const char* szWhat;
    std::function<void(bool)> mutate;
    bool bSeen;
  } kCases[] = {
      {"a threshold one higher", field(&g_aVirusDefs[2].iThreshold, 12), true},
      {"a definition renamed", text(g_aVirusDefs[21].szName, "Macro.Word.Concept.z"), true},
      {"a macro renamed", text(g_aVirusDefs[45].pMacros[0].szName, "AUTOSHUT"), true},
      {"confirmation asked for", field(&g_aVirusDefs[39].iVerify, 1), true},
      {"the shadowed definition's threshold", field(&g_aVirusDefs[55].iThreshold, 2), false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    g_mutate = c.mutate;
    ZmApi mutated = StaticApi();
    mutated.MACRO_Handler = MutatedHandler;
    mutated.MACRO_ScanRaw = MutatedScanRaw;
    const zebscan::Confirmation got = zebscan::ConfirmDatabase(mutated, StaticApi(), "");
    EXPECT_EQ(!got.differences.empty(), c.bSeen);
  }
  g_mutate = nullptr;
}

}  // namespace
