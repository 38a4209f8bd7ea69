// zebscan's road of one document and its directory walk, driving the library's exports (linked
// from the static core here) on built documents.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "docbuilder.h"
#include "librarywalk.h"
#include "listinput.h"
#include "pool.h"
#include "quarantine.h"
#include "samples.h"
#include "scanner.h"
#include "tempdir.h"
#include "walk.h"
#include "wire.h"
#include "zebmacro.h"

namespace {

using zm::FileResult;
using zm::Outcome;

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
    zm::ScanOptions options;
    options.bDeep = c.bDeep;
    zm::Scanner scanner(StaticApi(), options);
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
  zm::ScanOptions deep;
  deep.bDeep = true;
  zm::Scanner scanner(StaticApi(), deep);
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
  zm::Scanner scanner(StaticApi(), {});
  // The system's own words for a missing file and for a directory opened as a file.
  auto words = [](const std::string& sPath) {
    zm::File f;
    std::string sWhy;
    zm::OpenFile(nullptr, sPath, true, false, &f, &sWhy);
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
  zm::ScanOptions raw;
  raw.sRawName = "Wazzu";
  zm::Scanner rawScanner(StaticApi(), raw);
  EXPECT_EQ(rawScanner.ScanPath(dir.Path("text.doc")).outcome, Outcome::kOk);
  EXPECT_EQ(rawScanner.ScanPath(dir.Path("missing.doc")).outcome, Outcome::kError);
}

// Findings the front end makes itself, with and without --deep: the EICAR test file as its makers
// define it (and as other scanners find it), in raw mode too; and an encrypted document, skipped
// since nothing past its FIB's first bytes can be read, or found when that is asked for.
TEST(Scanner, FindsTheTestFileAndTellsEncryptedDocuments) {
  TempDir dir;
  const std::string eicar =
      std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  auto bytes = [](const zmdoc::DocSpec& spec) {
    std::vector<uint8_t> b = zmdoc::BuildWord6(spec);
    return std::string(b.begin(), b.end());
  };
  zmdoc::DocSpec concept = Doc({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"});
  concept.encrypted = true;  // names that identify, were they readable
  zmdoc::DocSpec wieder = Doc({}, kWieder, "AutoOpen");
  wieder.encrypted = true;
  wieder.minStreamSize = 8192;
  const std::string kNotWord6 = "Not a Word 6/95 document";
  const struct {
    const char* szWhat;
    std::string sBytes;
    bool bAlert;
    Outcome outcome;
    std::string sText;  // the virus, or the reason
  } kCases[] = {
      {"the EICAR test file", eicar, false, Outcome::kFound, "Eicar-Test-Signature"},
      {"with CR LF", eicar + "\r\n", false, Outcome::kFound, "Eicar-Test-Signature"},
      {"with whitespace to 128 bytes", eicar + std::string(56, ' ') + "\t\x1a\r\n", false,
       Outcome::kFound, "Eicar-Test-Signature"},
      {"129 bytes", eicar + std::string(61, ' '), false, Outcome::kSkipped, kNotWord6},
      {"followed by text", eicar + "\nx", false, Outcome::kSkipped, kNotWord6},
      {"followed by NUL", eicar + '\0', false, Outcome::kSkipped, kNotWord6},
      {"not at the start", " " + eicar, false, Outcome::kSkipped, kNotWord6},
      {"one byte short", eicar.substr(0, 67), false, Outcome::kSkipped, kNotWord6},
      {"an encrypted document", bytes(concept), false, Outcome::kSkipped, "Encrypted document"},
      {"alerted", bytes(concept), true, Outcome::kFound, "Heuristics.Encrypted.Doc"},
      {"an encrypted signature carrier", bytes(wieder), false, Outcome::kSkipped,
       "Encrypted document"},
      {"alerted", bytes(wieder), true, Outcome::kFound, "Heuristics.Encrypted.Doc"},
      {"a clean document, alerts on", bytes(Doc({"AutoOpen"})), true, Outcome::kOk, ""},
  };
  for (bool bDeep : {false, true})
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.szWhat) + (bDeep ? ", --deep" : ""));
      zm::ScanOptions options;
      options.bDeep = bDeep;
      options.bAlertEncrypted = c.bAlert;
      zm::Scanner scanner(StaticApi(), options);
      FileResult r = scanner.ScanPath(dir.Write("f", c.sBytes));
      EXPECT_EQ(r.outcome, c.outcome);
      EXPECT_EQ(r.outcome == Outcome::kFound ? r.sVirus : r.sReason, c.sText);
    }
  zm::ScanOptions raw;
  raw.sRawName = "Wazzu";
  EXPECT_EQ(zm::Scanner(StaticApi(), raw).ScanPath(dir.Write("f", eicar)).sVirus,
            "Eicar-Test-Signature");
}

// Every cut of every bundled sample that is a compound file, scanned with --deep: FOUND as the
// whole sample is, or a truncated document; never OK, and never SKIPPED once its first four bytes
// say it is a compound file, unless the whole is (a Word 97 document whose FIB is still read whole
// says what it is). Cuts between two sections of the macro table look like a whole table.
TEST(Scanner, NoCutOfASampleIsOk) {
  TempDir dir;
  zm::ScanOptions deep;
  deep.bDeep = true;
  zm::Scanner scanner(StaticApi(), deep);
  size_t nCuts = 0;
  for (const zmdoc::SampleDocument& s : zmdoc::SampleDocuments()) {
    ASSERT_FALSE(s.bytes.empty()) << s.name;
    if (s.bytes.size() < 4 || std::memcmp(s.bytes.data(), "\xD0\xCF\x11\xE0", 4) != 0) continue;
    const std::string sPath = dir.Write(s.name, std::string(s.bytes.begin(), s.bytes.end()));
    const FileResult whole = scanner.ScanPath(sPath);
    std::vector<std::string> wrong;
    // The file is cut in place from its end, kept open with its size told anew: one scan per
    // length, no process, no copy and no open (the slow part under Wine).
    zm::File f;
    std::string sWhy;
    ASSERT_TRUE(zm::OpenFile(nullptr, sPath, true, false, &f, &sWhy)) << sWhy;
    for (size_t n = s.bytes.size(); n-- > 0; ++nCuts) {
      std::filesystem::resize_file(std::filesystem::u8path(sPath), n);
      f.cbSize = n;
      FileResult r = scanner.Scan(f, sPath);
      bool bRight = n < 4
                        ? r.outcome == Outcome::kSkipped
                        : (r.outcome == Outcome::kFound && r.sVirus == whole.sVirus) ||
                              (r.outcome == Outcome::kError && r.sReason == "Truncated document") ||
                              (whole.outcome == Outcome::kSkipped && r.outcome == whole.outcome &&
                               r.sReason == whole.sReason);
      if (!bRight)
        wrong.push_back(std::to_string(n) + ": " + (r.outcome == Outcome::kOk ? "OK" : "") +
                        r.sVirus + r.sReason);
    }
    EXPECT_TRUE(wrong.empty()) << s.name << " (whole: " << whole.sVirus << whole.sReason << "), "
                               << wrong.size() << " cuts wrong, the first " << wrong.front();
  }
  EXPECT_GT(nCuts, 20000u);
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

// A worker's reply comes back whole, and a reply cut anywhere or lengthened is refused rather than
// read as another result.
TEST(Pool, ResultsCrossTheChannelWholeAndDamagedOnesAreRefused) {
  FileResult r;
  r.outcome = Outcome::kFound;
  r.sVirus = "Macro.Word.Concept.a";
  r.sFoundBy = "names";
  r.sResultMacros = "AAAZAO&AAAZFS&";
  r.doc.kind = zm::DocKind::kTruncated;
  r.doc.table.nMacros = 3;
  r.doc.table.names = {"AutoOpen", std::string("\x00\xFF&", 3)};
  r.doc.table.nUnnamed = 1;
  r.doc.table.bCut = true;
  r.nLeftOut = 2;
  r.nCalls = 5;
  r.bUnconfirmed = true;
  r.id = {0x1122334455667788ull, 42};
  r.nLinks = 3;
  std::string s = zm::EncodeResult(r);
  FileResult back;
  ASSERT_TRUE(zm::DecodeResult(s, &back));
  EXPECT_EQ(zm::EncodeResult(back), s);
  EXPECT_EQ(back.sVirus, r.sVirus);
  EXPECT_EQ(back.doc.table.names, r.doc.table.names);
  EXPECT_TRUE(back.id == r.id);
  for (size_t n = 0; n < s.size(); ++n) {
    FileResult cut;
    EXPECT_FALSE(zm::DecodeResult(s.substr(0, n), &cut)) << n;
  }
  EXPECT_FALSE(zm::DecodeResult(s + "x", &back));
  std::string sBadOutcome = s;
  sBadOutcome[0] = 9;
  EXPECT_FALSE(zm::DecodeResult(sBadOutcome, &back));

  // A reply: its count, then each result with its length. The results before a damaged one are
  // taken; the reply is whole only when it holds exactly what it counts, and no more than awaited.
  auto u32 = [](size_t n) {
    std::string b;
    for (int i = 0; i < 4; ++i) b += static_cast<char>(n >> (8 * i));
    return b;
  };
  const std::string one = u32(s.size()) + s;
  const struct {
    const char* szWhat;
    std::string sReply;
    size_t nMax;
    bool bWhole;
    size_t nTaken;
  } kReplies[] = {
      {"two of two", u32(2) + one + one, 2, true, 2},
      {"none", u32(0), 2, true, 0},
      {"counts three, holds two", u32(3) + one + one, 3, false, 2},
      {"more than awaited", u32(3) + one + one + one, 2, false, 0},
      {"a byte beyond", u32(1) + one + "x", 2, false, 1},
      {"the second damaged", u32(2) + one + u32(s.size()) + sBadOutcome, 2, false, 1},
      {"no count", "", 2, false, 0},
  };
  for (const auto& c : kReplies) {
    size_t nTaken = 0;
    EXPECT_EQ(zm::DecodeReply(c.sReply, c.nMax,
                              [&](FileResult&& got) {
                                EXPECT_EQ(got.sVirus, r.sVirus);
                                ++nTaken;
                              }),
              c.bWhole)
        << c.szWhat;
    EXPECT_EQ(nTaken, c.nTaken) << c.szWhat;
  }
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

// Workers fit the limits on open files and processes; what is left for the files in flight
// here is what the workers do not take.
TEST(Pool, FitsTheWorkersToTheLimits) {
  constexpr size_t kNone = SIZE_MAX;
  const struct {
    const char* szWhat;
    unsigned nWanted;
    size_t nFileLimit, nFilesFree, nTaskLimit, nTasksFree;
    unsigned nWorkers;
    size_t nMaxPassed, nHeldBudget;
    const char* szWhy;
  } kCases[] = {
      {"no limits", 8, kNone, kNone, kNone, kNone, 8, 64, kNone, ""},
      {"room for all", 8, 1024, 1000, kNone, kNone, 8, 64, 1000 - 8 - 32, ""},
      {"ulimit -n 40", 8, 40, 35, kNone, kNone, 6, 30, 3, "the limit of 40 open files (ulimit -n)"},
      {"ulimit -n 16", 8, 16, 11, kNone, kNone, 0, 6, 3, "the limit of 16 open files (ulimit -n)"},
      {"ulimit -n 10", 2, 10, 6, kNone, kNone, 0, 0, 0, "the limit of 10 open files (ulimit -n)"},
      {"ulimit -u 20", 50, kNone, kNone, 20, 19, 9, 64, kNone,
       "the limit of 20 processes (ulimit -u)"},
      {"ulimit -u, none free", 4, 1024, 1000, 20, 1, 0, 64, 992,
       "the limit of 20 processes (ulimit -u)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zm::WorkerFit fit =
        zm::FitWorkers(c.nWanted, c.nFileLimit, c.nFilesFree, c.nTaskLimit, c.nTasksFree);
    EXPECT_EQ(fit.nWorkers, c.nWorkers);
    EXPECT_EQ(fit.nMaxPassed, c.nMaxPassed);
    EXPECT_EQ(fit.nHeldBudget, c.nHeldBudget);
    EXPECT_EQ(fit.sWhy, c.szWhy);
  }
}

// A worker that cannot start, or ends before it answers anything, costs no file: its files go to
// the others, and the last one left scans them in this process, saying so once.
TEST(Pool, FilesOfWorkersThatNeverStartAreScannedAllTheSame) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> b = zmdoc::BuildWord6(
        i == 3 ? Doc({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}) : Doc({}));
    paths.push_back(dir.Write("d" + std::to_string(i) + ".doc", std::string(b.begin(), b.end())));
  }
  std::vector<std::pair<const char*, std::string>> programs = {
      {"no such program", dir.Path("no-such-program")}};
  if (zm::File f; zm::OpenFile(nullptr, "/bin/true", true, false, &f, nullptr))
    programs.push_back({"ends at once", "/bin/true"});
  for (const auto& program : programs) {
    SCOPED_TRACE(program.first);
    zm::Scanner here(StaticApi(), {});
    zm::PoolOptions options;
    options.nWorkers = 2;
    options.sExecutable = program.second;
    options.inProcess = [&](zm::File* pOpen, const zm::FileRef& ref, std::string sPath) {
      return pOpen ? here.Scan(*pOpen, std::move(sPath)) : here.ScanRef(ref, std::move(sPath));
    };
    std::vector<FileResult> results(paths.size());
    std::atomic<size_t> nDone{0};
    std::vector<std::string> notes;
    {
      zm::Pool pool(options);
      for (size_t i = 0; i < paths.size(); ++i) {
        zm::FileRef ref;
        ref.sName = paths[i];
        pool.Submit(ref, paths[i], [&, i](FileResult&& r) {
          results[i] = std::move(r);
          ++nDone;
        });
      }
      for (int i = 0; i < 6000 && nDone < paths.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      notes = pool.Notes();
    }
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.back().find(": scanning in this process"), std::string::npos) << notes.back();
    for (size_t i = 0; i < paths.size(); ++i) {
      EXPECT_EQ(results[i].sPath, paths[i]);
      EXPECT_EQ(results[i].outcome, i == 3 ? Outcome::kFound : Outcome::kOk) << results[i].sReason;
    }
  }
}

// Damaged documents: random bytes of a built one changed, each read and scanned to its end with
// --deep (the sanitizer build checks every read). A fixed seed keeps failures repeatable.
TEST(Scanner, SurvivesDamagedDocuments) {
  TempDir dir;
  zmdoc::DocSpec spec = Doc({"AAAZAO", "AutoOpen", "PayLoad"}, kWieder, "FileSaveAs");
  std::vector<uint8_t> good = zmdoc::BuildWord6(spec);
  spec.minStreamSize = 8192;
  std::vector<uint8_t> goodRegular = zmdoc::BuildWord6(spec);
  zm::ScanOptions deep;
  deep.bDeep = true;
  zm::Scanner scanner(StaticApi(), deep);
  std::mt19937 rng(20260508);
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> bad = i % 2 ? good : goodRegular;
    for (int k = 0; k < 1 + i % 8; ++k) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    FileResult r = scanner.ScanPath(dir.Write("bad.doc", std::string(bad.begin(), bad.end())));
    EXPECT_TRUE(r.outcome != Outcome::kError || !r.sReason.empty()) << i;
  }
}

}  // namespace
