// zebscan's own pieces: the library's walk (--library-walk), a --file-list's entries, where
// --copy and --move put a file, --extract's names and files, and --list-definitions' confirmation
// of the database it lists.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "confirm.h"
#include "extract.h"
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
// kept, a NUL inside a line kept for the caller to refuse. A list as Windows writes it, behind a
// UTF-8 or UTF-16LE byte order mark, gives the same entries in UTF-8; a mark elsewhere is a name's.
TEST(ListInput, SplitsLinesOrNulEntries) {
  TempDir dir;
  auto utf16 = [](const std::string& sAscii) {
    std::string s = "\xFF\xFE";
    for (char ch : sAscii) s += std::string{ch, '\0'};
    return s;
  };
  const struct {
    std::string sList;
    bool bNull;
    std::vector<std::string> entries;
  } kCases[] = {
      {"a.doc\r\n\nb c.doc\nlast", false, {"a.doc", "b c.doc", "last"}},
      {"a\n" + std::string("b\0c", 3) + "\n", false, {"a", std::string("b\0c", 3)}},
      {std::string("a\0\0b\nc\0", 7), true, {"a", "b\nc"}},
      {"", false, {}},
      {"\xEF\xBB\xBFZ:\\d\\a.doc\r\nb.doc\r\n", false, {"Z:\\d\\a.doc", "b.doc"}},
      {"\xEF\xBB\xBF", false, {}},
      {"a\n\xEF\xBB\xBF"
       "b\n",
       false,
       {"a",
        "\xEF\xBB\xBF"
        "b"}},
      {"\xEFx\n\xFF", false, {"\xEFx", "\xFF"}},
      {utf16("Z:\\d\\a.doc\r\nb.doc\r\n"), false, {"Z:\\d\\a.doc", "b.doc"}},
      {utf16("caf") + std::string("\xE9\x00\x87\x65\x3D\xD8\x00\xDE\n\x00", 10),
       false,
       {"caf\xC3\xA9\xE6\x96\x87\xF0\x9F\x98\x80"}},
      {utf16(std::string("a\0b\nc\0", 6)), true, {"a", "b\nc"}},
      {utf16("a\n") + std::string("b\0\0\0c\0", 6), false, {"a", std::string("b\0c", 3)}},
      {"\xFF\xFE", false, {}},
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

// --extract's names: safe on any file system, whatever bytes a macro's name or a path holds.
TEST(Extract, MakesNamesSafeForAnyFileSystem) {
  const std::string a200(200, 'a'), e100 = [] {
    std::string s;
    for (int i = 0; i < 100; ++i) s += "\xC3\xA9";
    return s;
  }();
  std::string e20, e32, esc13, esc21;
  for (int i = 0; i < 20; ++i) e20 += "\xC3\xA9";
  for (int i = 0; i < 32; ++i) e32 += "\xC3\xA9";
  for (int i = 0; i < 13; ++i) esc13 += "%2F";
  for (int i = 0; i < 21; ++i) esc21 += "%2F";
  const struct {
    std::string sName, sSafe;
  } kNames[] = {
      {"AutoOpen", "AutoOpen"},
      {"", "(empty)"},
      {".", "%2E"},
      {"..", "%2E%2E"},
      {"../../etc/passwd", "%2E.%2F..%2Fetc%2Fpasswd"},
      {".hidden", "%2Ehidden"},
      {"a\\b", "a%5Cb"},
      {"a:b*c?d\"e<f>g|h", "a%3Ab%2Ac%3Fd%22e%3Cf%3Eg%7Ch"},
      {"100%", "100%25"},
      {std::string("x\ty\x01\x7F\0z", 7), "x%09y%01%7F%00z"},
      {"trail. .", "trail%2E%20%2E"},
      {" lead", " lead"},
      {"CON", "%43ON"},
      {"con.bin", "%63on.bin"},
      {"AUX.x.y", "%41UX.x.y"},
      {"NUL ", "NUL%20"},
      {"Prn .txt", "%50rn .txt"},
      {"COM1", "%43OM1"},
      {"lpt9.doc", "%6Cpt9.doc"},
      {"COM0", "%43OM0"},
      {"LPT\xC2\xB9", "%4CPT\xC2\xB9"},
      {"CONIN$", "%43ONIN$"},
      {"COM10", "COM10"},
      {"CONSOLE", "CONSOLE"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xE9t\xE9", "%E9t%E9"},
      {"a\xC2\x85"
       "b",
       "a%C2%85b"},
      {a200, std::string(40, 'a') + "~c2a908d9~" + std::string(64, 'a')},
      {e100, e20 + "~f42ec48e~" + e32},
      {std::string(100, '/'), esc13 + "~4aaecdd8~" + esc21},
  };
  for (const auto& c : kNames) EXPECT_EQ(zebscan::SafeName(c.sName), c.sSafe) << c.sName;
}

// --extract writes each document's macros into a folder of its own, made new: nothing that is
// there is replaced, names taken (by a run before, by another macro, in another case) get "~N",
// and only the owner may read what is written.
TEST(Extract, WritesEachMacroNewForItsOwnerAlone) {
  TempDir dir;
  auto record = [](bool bNamed, const std::string& sName, const std::string& sBody) {
    zm::MacroRecord m;
    m.bNamed = bNamed;
    m.sName = sName;
    m.body = sBody;
    m.sSource = "' " + sBody + "\n";
    return m;
  };
  zm::FileResult r;
  r.sPath = "docs/x.doc";
  r.listing.detail = zm::MacroDetail::kBodies;
  r.listing.records = {record(true, "AutoOpen", "1"),   record(true, "autoopen", "2"),
                       record(true, "AutoOpen~2", "3"), record(false, "", "4"),
                       record(false, "", "5"),          record(true, "CON", "6"),
                       record(true, "../../x", "7"),    record(true, "\xC9t\xE9", "8"),
                       record(true, "\xE9T\xC9", "9")};
  const std::string kFolder = "out/docs%2Fx.doc";
  const struct {
    const char* szFile;
    const char* szBody;
  } kFiles[] = {{"AutoOpen", "1"},      {"autoopen~2", "2"},        {"AutoOpen~2~2", "3"},
                {"(no name)", "4"},     {"(no name)~2", "5"},       {"%43ON", "6"},
                {"%2E.%2F..%2Fx", "7"}, {"\xC3\x89t\xC3\xA9", "8"}, {"\xC3\xA9T\xC3\x89~2", "9"}};
  zebscan::Extractor extractor(dir.Path("out"));
  zebscan::Extracted x;
  // The source as the platform's editors take it: CR LF on Windows, as zebscan's report has.
  const std::string kLineEnd = zm::NamesIgnoreCase() ? "\r\n" : "\n";
  // The names are UTF-8, as zebscan writes them on every platform (a narrow path on Windows would
  // be read in the ANSI code page).
  auto read = [&dir](const std::string& sRelative) {
    std::ifstream f(std::filesystem::u8path(dir.Path(sRelative)), std::ios::binary);
    std::ostringstream os;
    os << f.rdbuf();
    return f ? os.str() : std::string("<missing>");
  };
  for (const std::string sTry : {"", "~2"}) {
    ASSERT_TRUE(extractor.Write(r, &x));
    EXPECT_EQ(x.sError, "");
    EXPECT_EQ(x.sFolder, dir.Path(kFolder + sTry));
    EXPECT_EQ(x.nFiles, 2 * std::size(kFiles));
    for (const auto& f : kFiles) {
      const std::string sStem = kFolder + sTry + "/" + f.szFile;
      EXPECT_EQ(read(sStem + ".bin"), f.szBody) << sStem;
      EXPECT_EQ(read(sStem + ".wbs"), std::string("' ") + f.szBody + kLineEnd) << sStem;
    }
  }
  // The first run's files stay as they were; so does a file in the way of a folder.
  EXPECT_EQ(dir.Read(kFolder + "/AutoOpen.bin"), "1");
  dir.Write("out/docs%2Fy.doc", "mine");
  r.sPath = "docs/y.doc";
  ASSERT_TRUE(extractor.Write(r, &x));
  EXPECT_EQ(x.sFolder, dir.Path("out/docs%2Fy.doc~2"));
  EXPECT_EQ(dir.Read("out/docs%2Fy.doc"), "mine");
  if (!zm::NamesIgnoreCase()) {  // POSIX modes; Windows' DACL is checked end to end
    namespace fs = std::filesystem;
    const fs::perms kAll = fs::perms::all;
    EXPECT_EQ(fs::status(dir.Path(kFolder)).permissions() & kAll, fs::perms::owner_all);
    EXPECT_EQ(fs::status(dir.Path(kFolder + "/AutoOpen.bin")).permissions() & kAll,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  // Nothing to write: a listing without bodies, or no macros.
  r.listing.detail = zm::MacroDetail::kSource;
  EXPECT_FALSE(extractor.Write(r, &x));
  r.listing = zm::MacroListing();
  EXPECT_FALSE(extractor.Write(r, &x));
  // A directory that cannot be made: said, nothing written.
  dir.Write("file", "x");
  zebscan::Extractor blocked(dir.Path("file/out"));
  r.listing.detail = zm::MacroDetail::kBodies;
  r.listing.records = {record(true, "AutoOpen", "1")};
  ASSERT_TRUE(blocked.Write(r, &x));
  EXPECT_EQ(x.sFolder, "");
  EXPECT_NE(x.sError, "");
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
