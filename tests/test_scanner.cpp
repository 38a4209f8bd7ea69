// The scanner: the road of one document through the library's exports (the static core's here),
// on built documents, cut ones and damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "samples.h"
#include "scanner.h"
#include "tarball.h"
#include "tempdir.h"
#include "wordbasic.h"
#include "zmapi.h"

namespace {

using zm::FileResult;
using zm::Outcome;

constexpr int kSatanic = 17;  // database positions of definitions with signatures
constexpr int kWieder = 45;

ZmApi StaticApi() { return ZmCompiledInApi(); }

zmdoc::DocSpec Doc(const std::vector<std::string>& names, int iSignatureDef = -1,
                   const std::string& sCarrier = "") {
  zmdoc::DocSpec spec;
  for (const std::string& name : names) spec.macros.push_back(zmdoc::HarmlessMacro(name));
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
  // An infected document whose ObjectPool, listed before its own WordDocument stream, holds
  // another document's: the root's is judged.
  auto embedding = [](zmdoc::DocSpec spec, bool bWord97) {
    zmdoc::DocSpec other = Doc({"AutoOpen"});
    other.word97 = bWord97;
    spec.wordDocIndex = 4;
    spec.extraEntries = zmdoc::ObjectPoolEntries(1, {zmdoc::WordDocumentEntry(other)});
    return spec;
  };
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
      {"a clean Word 6 object listed first", embedding(Doc(concept), false), false, Outcome::kFound,
       "Macro.Word.Concept.a", "names", 1, false},
      {"a Word 97 object listed first", embedding(Doc(concept), true), false, Outcome::kFound,
       "Macro.Word.Concept.a", "names", 1, false},
      {"job 2 on the root, an object listed first", embedding(Doc({}, kWieder, "AutoOpen"), false),
       false, Outcome::kFound, "Macro.Word.Wieder", "signature", 1, false},
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
    EXPECT_EQ(zm::FoundByText(r.foundBy), c.sFoundBy);
    EXPECT_EQ(r.nCalls, c.nCalls);
    EXPECT_EQ(r.bFallback, c.bFallback);
  }
}

// The listing of a document's macros (--macros, --source, --extract), to the level asked: the
// records in table order with what the table says of each, the body's digest in the clear, its
// source, and the caps that bound it for any document.
TEST(Scanner, ListsTheMacrosWhenAsked) {
  using zm::BodyRead;
  using zm::MacroDetail;
  auto withBody = [](const std::string& name, std::vector<uint8_t> body, uint8_t key) {
    zmdoc::MacroSpec m = zmdoc::HarmlessMacro(name);
    m.body = std::move(body);
    m.key = key;
    return m;
  };
  const std::vector<uint8_t> kSpaces(40, 0x20);
  zmdoc::DocSpec described = Doc({"AutoOpen", "FileSaveAs"});
  described.macros[0].description = "Runs on opening";
  described.macros[1].key = 0;
  zmdoc::DocSpec dot = Doc({"ToolsMacro"});
  dot.patches = {{0x0A, {0x01}}};  // FIB fDot
  zmdoc::DocSpec beyond = Doc({"Cut"});
  beyond.macros[0].lengthField = 0x100000;  // past the stream's end
  // Two bodies of 600 KB: the second passes the listing's 1 MiB of bodies.
  zmdoc::DocSpec big;
  big.macros = {withBody("Big1", std::vector<uint8_t>(600000, 7), 0x11),
                withBody("Big2", std::vector<uint8_t>(600000, 7), 0x11)};
  // A body of space runs stands for 2.5 MB of source: the listing keeps its first MiB.
  std::vector<uint8_t> runs = {0x01, 0x00};
  for (int i = 0; i < 10000; ++i) runs.insert(runs.end(), {0x6E, 0xFF});
  zmdoc::DocSpec spaces;
  spaces.macros = {withBody("Spaces", runs, 0x42)};
  zmdoc::DocSpec many = Doc(Filler(zm::MacroBytes::kMaxMacros + 6));
  zmdoc::DocSpec unmarked = Doc({"Kept", "Gone"});
  unmarked.macros[1].mark = 0x00;
  // Bodies over many sectors, whatever order the stream's chain visits them in, and over
  // mini-sectors: the digest is of the bytes in stream order.
  auto pattern = [](size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
  };
  zmdoc::DocSpec reversed, interleaved, mini;
  reversed.macros = {withBody("Long", pattern(20000), 0x5A), withBody("Short", pattern(700), 0)};
  interleaved.macros = reversed.macros;
  reversed.streamOrder = zmdoc::ChainOrder::kReverse;
  interleaved.streamOrder = zmdoc::ChainOrder::kInterleaved;
  mini.macros = {withBody("Mini", pattern(1500), 0x33)};
  mini.miniReverse = true;
  const struct {
    const char* szWhat;
    zmdoc::DocSpec spec;
    MacroDetail detail;
    MacroDetail listed;
    size_t nRecords, nLeftOut;
    bool bTemplate;
    std::vector<BodyRead> bodies;  // of the first records
  } kCases[] = {
      {"not asked", described, MacroDetail::kNone, MacroDetail::kNone, 0, 0, false, {}},
      {"no macros", Doc({}), MacroDetail::kBodies, MacroDetail::kNone, 0, 0, false, {}},
      {"a document",
       described,
       MacroDetail::kList,
       MacroDetail::kList,
       2,
       0,
       false,
       {BodyRead::kWhole, BodyRead::kWhole}},
      {"a template", dot, MacroDetail::kSource, MacroDetail::kSource, 1, 0, true, {}},
      {"a body past the stream",
       beyond,
       MacroDetail::kList,
       MacroDetail::kList,
       1,
       0,
       false,
       {BodyRead::kCut}},
      {"bodies past the cap",
       big,
       MacroDetail::kBodies,
       MacroDetail::kBodies,
       2,
       0,
       false,
       {BodyRead::kWhole, BodyRead::kOverCap}},
      {"source past the cap", spaces, MacroDetail::kSource, MacroDetail::kSource, 1, 0, false, {}},
      {"more macros than listed",
       many,
       MacroDetail::kList,
       MacroDetail::kList,
       zm::MacroBytes::kMaxMacros,
       6,
       false,
       {}},
      {"an unmarked entry", unmarked, MacroDetail::kList, MacroDetail::kList, 1, 0, false, {}},
      {"a chain backwards",
       reversed,
       MacroDetail::kBodies,
       MacroDetail::kBodies,
       2,
       0,
       false,
       {BodyRead::kWhole, BodyRead::kWhole}},
      {"a chain with gaps",
       interleaved,
       MacroDetail::kBodies,
       MacroDetail::kBodies,
       2,
       0,
       false,
       {BodyRead::kWhole, BodyRead::kWhole}},
      {"the mini-stream",
       mini,
       MacroDetail::kBodies,
       MacroDetail::kBodies,
       1,
       0,
       false,
       {BodyRead::kWhole}},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zmdoc::BuildInfo info;
    std::vector<uint8_t> bytes = zmdoc::BuildWord6(c.spec, &info);
    ASSERT_FALSE(bytes.empty());
    std::string sPath = dir.Write("doc.doc", std::string(bytes.begin(), bytes.end()));
    zm::ScanOptions options;
    options.macros = c.detail;
    FileResult r = zm::Scanner(StaticApi(), options).ScanPath(sPath);
    const zm::MacroListing& l = r.listing;
    EXPECT_EQ(l.detail, c.listed);
    EXPECT_EQ(l.records.size(), c.nRecords);
    EXPECT_EQ(l.nLeftOut, c.nLeftOut);
    EXPECT_EQ(l.bTemplate, c.bTemplate);
    size_t cbBodies = 0, cchSource = 0;
    for (size_t i = 0; i < l.records.size(); ++i) {
      const zm::MacroRecord& m = l.records[i];
      const zmdoc::MacroSpec& spec = c.spec.macros[i];
      if (i < c.bodies.size()) {
        EXPECT_EQ(m.eBody, c.bodies[i]) << i;
      }
      EXPECT_EQ(m.sName, spec.name);
      EXPECT_EQ(m.sDescription, spec.description.value_or(""));
      EXPECT_EQ(m.bKey, spec.key);
      EXPECT_EQ(m.cbSize, spec.lengthField.value_or(spec.body.size()));
      EXPECT_EQ(m.lOffset, info.bodyOffsets[i]);
      EXPECT_EQ(m.eByteScan, m.cbSize >= 4000 ? wordbasic::ByteScan::kTooLong
                             : i >= 64        ? wordbasic::ByteScan::kBeyondCap
                                              : wordbasic::ByteScan::kTaken);
      // The digest of the body in the clear, only when it was read whole.
      std::string sHex;
      if (m.eBody == BodyRead::kWhole) {
        uint8_t ab[wordbasic::kSha256Bytes];
        char ach[2 * wordbasic::kSha256Bytes + 1];
        wordbasic::Sha256 sha;
        wordbasic::Sha256Init(&sha);
        wordbasic::Sha256Update(&sha, spec.body.data(), spec.body.size());
        wordbasic::Sha256Final(&sha, ab);
        wordbasic::Sha256Hex(ab, ach);
        sHex = ach;
      }
      EXPECT_EQ(zm::Sha256Text(m), sHex);
      EXPECT_EQ(m.cbRead == m.cbSize, m.eBody == BodyRead::kWhole);
      EXPECT_EQ(m.body.empty(), c.detail != MacroDetail::kBodies);
      if (c.detail == MacroDetail::kBodies) {
        EXPECT_EQ(m.body, std::string(spec.body.begin(), spec.body.begin() + m.cbRead));
      }
      EXPECT_TRUE(c.detail >= MacroDetail::kSource || m.sSource.empty());
      cbBodies += m.cbRead;
      cchSource += m.sSource.size();
    }
    EXPECT_LE(cbBodies, zm::MacroBytes::kMaxBodyBytes);
    EXPECT_LE(cchSource, zm::kMaxListedSourceBytes);
    if (c.spec.macros.size() == 1 && c.spec.macros[0].name == "Spaces") {
      EXPECT_TRUE(l.records[0].bSourceCut);
      EXPECT_EQ(cchSource, zm::kMaxListedSourceBytes);
    }
  }
}

// Digests put off to a queue (a worker's, a session's) are the ones made as each body is read;
// past the queue's room, a body is hashed as it is read, so that a container of many documents
// holds no more than that of their bodies.
TEST(Scanner, QueuesDigestsWithinTheQueuesRoom) {
  zmdoc::DocSpec spec;
  spec.macros = {zmdoc::HarmlessMacro("Big")};
  spec.macros[0].body.assign(zm::DigestQueue::kMaxBytes * 3 / 4, 0x09);
  spec.macros[0].key = 0x21;
  std::vector<uint8_t> bytes = zmdoc::BuildWord6(spec);
  TempDir dir;
  const std::string sA = dir.Write("a.doc", std::string(bytes.begin(), bytes.end()));
  const std::string sB = dir.Write("b.doc", std::string(bytes.begin(), bytes.end()));
  zm::ScanOptions options;
  options.macros = zm::MacroDetail::kList;
  const FileResult alone = zm::Scanner(StaticApi(), options).ScanPath(sA);
  ASSERT_EQ(alone.listing.records.size(), 1u);
  const std::string sDigest = zm::Sha256Text(alone.listing.records[0]);
  zm::Scanner scanner(StaticApi(), options);
  zm::DigestQueue queue;
  scanner.QueueDigests(&queue);
  FileResult a = scanner.ScanPath(sA), b = scanner.ScanPath(sB);
  EXPECT_TRUE(zm::HasQueuedDigests(a));
  EXPECT_FALSE(zm::HasQueuedDigests(b));  // no room left for it
  zm::FillDigests(queue.Make(), &a);
  EXPECT_FALSE(zm::HasQueuedDigests(a));
  EXPECT_EQ(zm::Sha256Text(a.listing.records[0]), sDigest);
  EXPECT_EQ(zm::Sha256Text(b.listing.records[0]), sDigest);
  EXPECT_TRUE(queue.Empty());
}

// The flags an analyst reads first: auto macros and macros named like built-in commands, without
// regard to case; functions are no commands.
TEST(Scanner, TellsAutoMacrosAndCommandNames) {
  const struct {
    const char* szName;
    bool bAuto;
    const char* szCommand;
  } kNames[] = {
      {"AutoOpen", true, nullptr},
      {"AUTOCLOSE", true, nullptr},
      {"autonew", true, nullptr},
      {"AutoExec", true, nullptr},
      {"AutoExit", true, nullptr},
      {"AutoOpen2", false, nullptr},
      {"FileSaveAs", false, "FileSaveAs"},
      {"filesave", false, "FileSave"},
      {"ToolsMacro", false, "ToolsMacro"},
      {"FileOpen", false, "FileOpen"},
      {"Organizer", false, "Organizer"},
      {"MsgBox", false, nullptr},
      {"MacroCopy", false, nullptr},
      {"Payload", false, nullptr},
      {"", false, nullptr},
  };
  for (const auto& c : kNames) {
    SCOPED_TRACE(c.szName);
    EXPECT_EQ(zm::IsAutoMacro(c.szName), c.bAuto);
    const char* sz = zm::CommandNamed(c.szName);
    EXPECT_STREQ(sz ? sz : "", c.szCommand ? c.szCommand : "");
  }
  // Every statement of the tables is told by its name, in either case.
  size_t nRows = 0;
  const wordbasic::NameRow* pRows = wordbasic::CommandRows(&nRows);
  for (size_t i = 0; i < nRows; ++i) {
    if (pRows[i].wId >= 0x8000 && pRows[i].wId < 0xC000) continue;  // a function
    std::string s = pRows[i].szName;
    EXPECT_STRCASEEQ(zm::CommandNamed(s), pRows[i].szName);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_STRCASEEQ(zm::CommandNamed(s), pRows[i].szName);
  }
  // A name with a NUL inside is no command's, whatever comes before it.
  EXPECT_EQ(zm::CommandNamed(std::string("FileSave\0", 9)), nullptr);
  EXPECT_FALSE(zm::IsAutoMacro(std::string("AutoOpen\0", 9)));
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
  EXPECT_EQ(scanner.ScanPath(sPath).foundBy, zm::FoundBy::kSignature);
  write(Doc({}, kSatanic, "ShowTip"));
  EXPECT_EQ(scanner.ScanPath(sPath).foundBy, zm::FoundBy::kDeepScan);
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

// A container's documents go down the road of a file: names, jobs 0, 2 and 1, --deep, the test
// file, encryption and truncation judged alike; the container's verdict is the first virus, else
// the first problem; its member records name each document. Where archives are not opened, the
// tar is an ERROR that says so, never OK.
TEST(Scanner, ScansTheDocumentsOfAContainer) {
  TempDir dir;
  auto bytes = [](const zmdoc::DocSpec& spec) {
    std::vector<uint8_t> b = zmdoc::BuildWord6(spec);
    return std::string(b.begin(), b.end());
  };
  const std::string concept = bytes(Doc({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}));
  const std::string satanic = bytes(Doc({}, kSatanic, "ShowTip"));
  const std::string clean = bytes(Doc({"AutoOpen"}));
  zmdoc::DocSpec locked = Doc({"AutoOpen"});
  locked.encrypted = true;
  const std::string eicar =
      std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  const struct {
    const char* szWhat;
    std::vector<std::pair<std::string, std::string>> members;
    bool bDeep, bAlert;
    Outcome outcome;
    std::string sText, sFoundBy;
    std::vector<std::string> records;  // "name: outcome text" of each record
  } kCases[] = {
      {"names",
       {{"a.txt", "text"}, {"c.doc", concept}},
       false,
       false,
       Outcome::kFound,
       "Macro.Word.Concept.a",
       "names",
       {"c.doc: 1 Macro.Word.Concept.a"}},
      {"clean", {{"c.doc", clean}}, false, false, Outcome::kOk, "", "", {"c.doc: 0 "}},
      {"deep only", {{"s.doc", satanic}}, false, false, Outcome::kOk, "", "", {"s.doc: 0 "}},
      {"--deep",
       {{"s.doc", satanic}},
       true,
       false,
       Outcome::kFound,
       "Macro.Word.Satanic",
       "deep scan",
       {"s.doc: 1 Macro.Word.Satanic"}},
      {"the test file",
       {{"eicar.com", eicar}},
       false,
       false,
       Outcome::kFound,
       "Eicar-Test-Signature",
       "test file",
       {"eicar.com: 1 Eicar-Test-Signature"}},
      {"truncated, then a virus",
       {{"t.doc", concept.substr(0, 1000)}, {"c.doc", concept}},
       false,
       false,
       Outcome::kFound,
       "Macro.Word.Concept.a",
       "names",
       {"t.doc: 2 Truncated document", "c.doc: 1 Macro.Word.Concept.a"}},
      {"truncated",
       {{"t.doc", concept.substr(0, 1000)}},
       false,
       false,
       Outcome::kError,
       "Truncated document",
       "",
       {"t.doc: 2 Truncated document"}},
      {"encrypted",
       {{"l.doc", bytes(locked)}},
       false,
       false,
       Outcome::kOk,
       "",
       "",
       {"l.doc: 3 Encrypted document"}},
      {"encrypted, alerted",
       {{"l.doc", bytes(locked)}},
       false,
       true,
       Outcome::kFound,
       "Heuristics.Encrypted.Doc",
       "encryption",
       {"l.doc: 1 Heuristics.Encrypted.Doc"}},
  };
  const bool bOpened = container::Supported(container::Kind::kTar);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zm::ScanOptions options;
    options.bDeep = c.bDeep;
    options.bAlertEncrypted = c.bAlert;
    zm::Scanner scanner(StaticApi(), options);
    FileResult r = scanner.ScanPath(dir.Write("a.tar", Tar(c.members)));
    EXPECT_EQ(r.containerKind, container::Kind::kTar);
    if (!bOpened) {
      EXPECT_EQ(r.outcome, Outcome::kError);
      EXPECT_EQ(r.sReason,
                "Archive support not in this build (extract it and scan the folder, or use the "
                "Linux build)");
      continue;
    }
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.outcome == Outcome::kFound ? r.sVirus : r.sReason, c.sText);
    EXPECT_EQ(zm::FoundByText(r.foundBy), c.sFoundBy);
    EXPECT_EQ(r.nMembers, c.members.size());
    std::vector<std::string> records;
    for (const container::Member& m : r.members)
      records.push_back(m.sName + ": " + std::to_string(static_cast<int>(m.outcome)) + " " +
                        m.sVirus + m.sReason);
    EXPECT_EQ(records, c.records);
    // Asked for, a member document's listing is under its own record, as it is for the document
    // on its own.
    options.macros = zm::MacroDetail::kSource;
    auto listed = [](const zm::MacroListing& l) {
      std::string s;
      for (const zm::MacroRecord& m : l.records)
        s += " " + m.sName + " " + zm::Sha256Text(m) + m.sSource;
      return s;
    };
    r = zm::Scanner(StaticApi(), options).ScanPath(dir.Write("a.tar", Tar(c.members)));
    std::vector<std::string> got, want;
    for (const zm::MemberListing& l : r.memberListings) {
      ASSERT_LT(l.iMember, r.members.size());
      EXPECT_EQ(r.members[l.iMember].why, container::Why::kDocument);
      got.push_back(r.members[l.iMember].sName + ":" + listed(l.listing));
    }
    for (const auto& [name, content] : c.members) {
      FileResult alone = zm::Scanner(StaticApi(), options).ScanPath(dir.Write(name, content));
      if (alone.listing.detail != zm::MacroDetail::kNone)
        want.push_back(name + ":" + listed(alone.listing));
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(r.nMemberListingsLeftOut, 0u);
  }
  if (bOpened) {
    // Five documents of 1 MiB of source each: the listings that fit the container's 4 MiB are
    // kept, the others counted.
    std::vector<uint8_t> runs = {0x01, 0x00};
    for (int i = 0; i < 10000; ++i) runs.insert(runs.end(), {0x6E, 0xFF});
    zmdoc::DocSpec spaces = Doc({"Spaces"});
    spaces.macros[0].body = runs;
    std::vector<std::pair<std::string, std::string>> members;
    for (int i = 0; i < 5; ++i)
      members.push_back({"s" + std::to_string(i) + ".doc", bytes(spaces)});
    zm::ScanOptions options;
    options.macros = zm::MacroDetail::kSource;
    FileResult r = zm::Scanner(StaticApi(), options).ScanPath(dir.Write("a.tar", Tar(members)));
    ASSERT_EQ(r.memberListings.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(r.memberListings[i].iMember, i);
    EXPECT_EQ(r.nMemberListingsLeftOut, 2u);
  }
  // Turned off, a container is SKIPPED whatever the build; a document is never a container.
  zm::ScanOptions off;
  off.containers.bScanArchive = false;
  FileResult r = zm::Scanner(StaticApi(), off).ScanPath(dir.Write("a.tar", Tar({{"c", concept}})));
  EXPECT_EQ(r.outcome, Outcome::kSkipped);
  EXPECT_EQ(r.sReason, "Archive scanning turned off");
  r = zm::Scanner(StaticApi(), {}).ScanPath(dir.Write("c.doc", concept));
  EXPECT_EQ(r.containerKind, container::Kind::kNone);
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
