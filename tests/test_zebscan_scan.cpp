// zebscan's road of one document and its directory walk, driving the library's exports (linked
// from the static core here) on built documents.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "librarywalk.h"
#include "scanner.h"
#include "tempdir.h"
#include "zebmacro.h"

namespace {

using zebscan::FileResult;
using zebscan::Outcome;

constexpr int kSatanic = 17;  // database positions of definitions with signatures
constexpr int kWieder = 45;

ZmApi StaticApi() {
  ZmApi api{};
  api.MACRO_Handler = MACRO_Handler;
  api.MACRO_ScanRaw = MACRO_ScanRaw;
  api.MACRO_CallTraverse = MACRO_CallTraverse;
  return api;
}

zmdoc::MacroSpec Harmless(const std::string& name) {
  zmdoc::MacroSpec m;
  m.name = name;
  m.body.assign(40, 0x20);
  m.key = 0x21;
  return m;
}

zmdoc::DocSpec Doc(const std::vector<std::string>& names, int iSignatureDef = -1,
                   const std::string& sCarrier = "") {
  zmdoc::DocSpec spec;
  for (const std::string& name : names) spec.macros.push_back(Harmless(name));
  if (iSignatureDef >= 0)
    spec.macros.push_back(
        zmdoc::MacroCarrying(zmdoc::DatabaseSignature(iSignatureDef, 1), 0x5A, sCarrier));
  return spec;
}

std::vector<std::string> Filler(size_t n) {
  std::vector<std::string> v;
  for (size_t i = 0; i < n; ++i) v.push_back("Tidy" + std::to_string(i));
  return v;
}

struct ScanCase {
  const char* szWhat;
  zmdoc::DocSpec spec;
  bool bDeep;
  Outcome outcome;
  std::string sVirus, sFoundBy;
  size_t nCalls;
  bool bFallback;
};

std::vector<ScanCase> ScanCases() {
  std::vector<std::string> concept = {"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"};
  std::vector<std::string> late = Filler(25);
  late.insert(late.end(), concept.begin(), concept.end());
  zmdoc::DocSpec noNames = Doc({}, kSatanic, "ShowTip");
  noNames.nameSection = false;
  zmdoc::DocSpec noNamesClean = Doc({"AutoOpen"});
  noNamesClean.nameSection = false;
  return {
      {"names identify", Doc(concept), false, Outcome::kFound, "Macro.Word.Concept.a", "names", 1,
       false},
      {"job 2 confirms", Doc({}, kWieder, "AutoOpen"), false, Outcome::kFound, "Macro.Word.Wieder",
       "signature", 1, false},
      {"job 2 finds nothing", Doc({"AutoOpen"}), false, Outcome::kOk, "", "", 1, false},
      {"heuristic", Doc({"A712", "B813", "C914"}), false, Outcome::kFound, "Macro.Word.Outlaw",
       "names", 1, false},
      {"signature without --deep", Doc({}, kSatanic, "ShowTip"), false, Outcome::kOk, "", "", 1,
       false},
      {"signature with --deep", Doc({}, kSatanic, "ShowTip"), true, Outcome::kFound,
       "Macro.Word.Satanic", "deep scan", 1, false},
      {"no macros", Doc({}), true, Outcome::kOk, "", "", 0, false},
      // More names than one call carries: the names that identify come in the second call.
      {"30 names in two calls", Doc(late), false, Outcome::kFound, "Macro.Word.Concept.a", "names",
       2, true},
      {"30 names, none identifies", Doc(Filler(30), kSatanic, "ShowTip"), false, Outcome::kFound,
       "Macro.Word.Satanic", "deep scan", 2, true},
      // Names missing or left out: job 1 runs as well.
      {"a 31-character name", Doc({std::string(31, 'x')}, kSatanic, "ShowTip"), false,
       Outcome::kFound, "Macro.Word.Satanic", "deep scan", 1, true},
      {"no name section", noNames, false, Outcome::kFound, "Macro.Word.Satanic", "deep scan", 0,
       true},
      {"no name section, clean", noNamesClean, false, Outcome::kOk, "", "", 0, true},
  };
}

TEST(Scanner, DrivesTheJobsOfOneDocument) {
  TempDir dir;
  for (const ScanCase& c : ScanCases()) {
    SCOPED_TRACE(c.szWhat);
    std::vector<uint8_t> bytes = zmdoc::BuildWord6(c.spec);
    std::string sPath = dir.Write("doc.doc", std::string(bytes.begin(), bytes.end()));
    zebscan::ScanOptions options;
    options.bDeep = c.bDeep;
    zebscan::Scanner scanner(StaticApi(), options);
    FileResult r = scanner.ScanPath(sPath);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.sVirus, c.sVirus);
    EXPECT_EQ(r.sFoundBy, c.sFoundBy);
    EXPECT_EQ(r.nCalls, c.nCalls);
    EXPECT_EQ(r.bFallback, c.bFallback);
  }
}

// Jobs 1 and 2 take a path of at most 255 characters: a document deeper than that is handed to
// them by a short path of its own, and scanned like any other.
TEST(Scanner, EveryJobReachesADocumentOver255Characters) {
  TempDir dir;
  std::string sSub = std::string(150, 's') + "/" +
                     std::string(300 - dir.Root().size() - 153 - std::string("d.doc").size(), 't');
  auto write = [&](const zmdoc::DocSpec& spec) {
    std::vector<uint8_t> b = zmdoc::BuildWord6(spec);
    return dir.Write(sSub + "/d.doc", std::string(b.begin(), b.end()));
  };
  zebscan::ScanOptions deep;
  deep.bDeep = true;
  zebscan::Scanner scanner(StaticApi(), deep);
  std::string sPath = write(Doc({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}));
  ASSERT_EQ(sPath.size(), 300u);
  EXPECT_EQ(scanner.ScanPath(sPath).sVirus, "Macro.Word.Concept.a");
  write(Doc({}, kWieder, "AutoOpen"));
  EXPECT_EQ(scanner.ScanPath(sPath).sFoundBy, "signature");
  write(Doc({}, kSatanic, "ShowTip"));
  EXPECT_EQ(scanner.ScanPath(sPath).sFoundBy, "deep scan");
}

TEST(Scanner, AnswersErrorsSkipsAndRawScans) {
  TempDir dir;
  zebscan::Scanner scanner(StaticApi(), {});
  // The system's own words for a missing file and for a directory opened as a file.
  auto words = [](const std::string& sPath) {
    zebscan::File f;
    std::string sWhy;
    zebscan::OpenFile(nullptr, sPath, true, false, &f, &sWhy);
    EXPECT_FALSE(sWhy.empty());
    return sWhy;
  };
  const struct {
    std::string sPath;
    Outcome outcome;
    std::string sReason;
  } kCases[] = {
      {dir.Write("text.doc", "just text"), Outcome::kSkipped, "Not a Word 6/95 document"},
      {dir.Write("empty.doc", ""), Outcome::kSkipped, "Not a Word 6/95 document"},
      {dir.Path("missing.doc"), Outcome::kError, words(dir.Path("missing.doc"))},
      {dir.Write("cut.doc", "\xD0\xCF\x11\xE0"), Outcome::kError, "Truncated document"},
      {dir.MakeDir("folder.doc"), Outcome::kError, words(dir.Path("folder.doc"))},
  };
  for (const auto& c : kCases) {
    FileResult r = scanner.ScanPath(c.sPath);
    EXPECT_EQ(r.outcome, c.outcome) << c.sPath;
    EXPECT_EQ(r.sReason, c.sReason) << c.sPath;
  }
  zebscan::ScanOptions raw;
  raw.sRawName = "Wazzu";
  zebscan::Scanner rawScanner(StaticApi(), raw);
  EXPECT_EQ(rawScanner.ScanPath(dir.Path("text.doc")).outcome, Outcome::kOk);
  EXPECT_EQ(rawScanner.ScanPath(dir.Path("missing.doc")).outcome, Outcome::kError);
}

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

// Damaged documents: random bytes of a built one changed, each read and scanned to its end with
// --deep (the sanitizer build checks every read). A fixed seed keeps failures repeatable.
TEST(Scanner, SurvivesDamagedDocuments) {
  TempDir dir;
  zmdoc::DocSpec spec = Doc({"AAAZAO", "AutoOpen", "PayLoad"}, kWieder, "FileSaveAs");
  std::vector<uint8_t> good = zmdoc::BuildWord6(spec);
  spec.minStreamSize = 8192;
  std::vector<uint8_t> goodRegular = zmdoc::BuildWord6(spec);
  zebscan::ScanOptions deep;
  deep.bDeep = true;
  zebscan::Scanner scanner(StaticApi(), deep);
  std::mt19937 rng(20260508);
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> bad = i % 2 ? good : goodRegular;
    for (int k = 0; k < 1 + i % 8; ++k) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    FileResult r = scanner.ScanPath(dir.Write("bad.doc", std::string(bad.begin(), bad.end())));
    EXPECT_TRUE(r.outcome != Outcome::kError || !r.sReason.empty()) << i;
  }
}

}  // namespace
