// One scan session: the same report whether the files are scanned in this process, by a pool of
// the session's own or by a shared one, with their heads read ahead or not; a file met twice
// reported once; workers started only when a run proves worth it; nothing emitted after a stop; a
// walk that is told to end says so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container.h"
#include "docbuilder.h"
#include "platform.h"
#include "session.h"
#include "tempdir.h"
#include "zmapi.h"

namespace {

using zm::FileResult;
using zm::Outcome;

// A tree of documents that every kind of result comes from, the files of a directory in name
// order: a virus found by names, by a signature, a clean document, no document, a cut one.
std::string Tree(TempDir* pDir) {
  auto doc = [](const std::vector<std::string>& names, int iSignatureDef = -1) {
    zmdoc::DocSpec spec;
    for (const std::string& name : names)
      spec.macros.push_back(zmdoc::MacroCarrying({0x20}, 0x21, name, 40, 0));
    if (iSignatureDef >= 0)
      spec.macros.push_back(
          zmdoc::MacroCarrying(zmdoc::DatabaseSignature(iSignatureDef, 1), 0x5A, "AutoOpen"));
    std::vector<uint8_t> b = zmdoc::BuildWord6(spec);
    return std::string(b.begin(), b.end());
  };
  const std::string concept = doc({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"});
  pDir->Write("tree/a-concept.doc", concept);
  pDir->Write("tree/b-clean.doc", doc({"Tidy"}));
  pDir->Write("tree/c-text.txt", "no document");
  pDir->Write("tree/d-cut.doc", concept.substr(0, 700));
  pDir->Write("tree/sub/e-wieder.doc", doc({}, 45));
  for (int i = 0; i < 20; ++i) pDir->Write("tree/sub/f" + std::to_string(10 + i) + ".doc", "x");
  return pDir->Path("tree");
}

// The program that runs as a worker, and the library it loads: the ones built beside the tests.
zm::PoolOptions Workers(unsigned nWorkers, const std::string& sExecutable = "") {
  zm::PoolOptions pool;
  pool.nWorkers = nWorkers;
  pool.sExecutable = !sExecutable.empty()    ? sExecutable
                     : zm::NamesIgnoreCase() ? zm::ExecutableDirectory() + "zebscan.exe"
                                             : zm::ExecutableDirectory() + "zebscan";
  pool.sLibrary = zm::ExecutableDirectory() + ZmLibraryName();
  return pool;
}

std::string Line(const FileResult& r) {
  static const char* const kOutcome[] = {"OK", "FOUND", "ERROR", "SKIPPED"};
  return r.sPath + ": " + r.sVirus + r.sReason + " " + kOutcome[static_cast<int>(r.outcome)];
}

// The lines of a session over paths, and the notes it gave.
struct Outcomes {
  std::vector<std::string> lines, notes;
};
Outcomes Scan(zm::SessionOptions options, const std::vector<std::string>& paths) {
  Outcomes run;
  options.note = [&run](const std::string& s) { run.notes.push_back(s); };
  options.bManyRoots = paths.size() > 1;
  zm::Session session(ZmCompiledInApi(), {}, options,
                      [&run](const FileResult& r) { run.lines.push_back(Line(r)); });
  for (const std::string& sPath : paths) session.AddPath(sPath);
  session.Flush();
  return run;
}

TEST(Session, GivesOneReportWhateverScansTheFiles) {
  TempDir dir;
  const std::string sTree = Tree(&dir);
  const std::vector<std::string> paths = {sTree, sTree + "/a-concept.doc"};  // met twice
  const Outcomes here = Scan({}, paths);
  ASSERT_EQ(here.lines.size(), 25u);
  EXPECT_NE(here.lines[0].find("a-concept.doc: Macro.Word.Concept.a FOUND"), std::string::npos);
  zm::SessionOptions own;
  own.pool = Workers(2);
  EXPECT_EQ(Scan(own, paths).lines, here.lines);
  zm::Pool shared(Workers(2));
  for (size_t nWindow : {1, 8}) {
    SCOPED_TRACE(nWindow);
    zm::SessionOptions options;
    options.pSharedPool = &shared;
    options.nWindow = nWindow;
    EXPECT_EQ(Scan(options, paths).lines, here.lines);
  }
}

// Listed, the bodies' digests are made many at once (a worker's group; here, the results held
// until then): each result carries its own bodies' digests, the one each has alone, in the
// walk's order, and a result held is emitted by Flush.
TEST(Session, ListsEachDocumentsDigests) {
  TempDir dir;
  for (int i = 0; i < 12; ++i) {
    zmdoc::DocSpec spec;
    for (int m = 0; m < 3; ++m) {
      zmdoc::MacroSpec macro;
      macro.name = "M" + std::to_string(i) + "x" + std::to_string(m);
      macro.body.resize(static_cast<size_t>(60 + 300 * m + 37 * i));
      for (size_t k = 0; k < macro.body.size(); ++k)
        macro.body[k] = static_cast<uint8_t>(k * 7 + static_cast<size_t>(i));
      macro.key = static_cast<uint8_t>(i * m);
      spec.macros.push_back(macro);
    }
    std::vector<uint8_t> b = zmdoc::BuildWord6(spec);
    dir.Write("docs/d" + std::to_string(10 + i) + ".doc", std::string(b.begin(), b.end()));
  }
  auto listed = [](const FileResult& r) {
    std::string s = r.sPath.substr(r.sPath.size() - 7);
    for (const zm::MacroRecord& m : r.listing.records) s += " " + m.sName + "=" + zm::Sha256Text(m);
    return s;
  };
  zm::ScanOptions scan;
  scan.macros = zm::MacroDetail::kList;
  std::vector<std::string> want;
  zm::Scanner alone(ZmCompiledInApi(), scan);
  for (int i = 0; i < 12; ++i)
    want.push_back(listed(alone.ScanPath(dir.Path("docs/d" + std::to_string(10 + i) + ".doc"))));
  for (unsigned nWorkers : {1, 2}) {
    SCOPED_TRACE(nWorkers);
    zm::SessionOptions options;
    options.pool = Workers(nWorkers);
    options.pool.scan = scan;
    std::vector<std::string> got;
    zm::Session session(ZmCompiledInApi(), scan, options,
                        [&](const FileResult& r) { got.push_back(listed(r)); });
    session.AddPath(dir.Path("docs"));
    session.Flush();
    EXPECT_EQ(got, want);
  }
}

// Files whose heads are read ahead wait in line, and what comes behind them (a walk's skipped
// entries, a result known without a scan, a named file) waits behind them: the report is the one
// without read-ahead, each file once, and what is in line goes out when the caller waits for its
// next path (EmitAvailable).
TEST(Session, KeepsItsOrderWhileHeadsAreReadAhead) {
  TempDir dir;
  const std::string sTree = Tree(&dir);
  auto run = [&sTree](size_t nAhead, unsigned nWorkers, size_t* pnAtWait) {
    zm::SessionOptions options;
    options.walk.exclude = {"f1*"};  // skipped entries among the files
    options.bManyRoots = true;
    options.nReadAhead = nAhead;
    options.pool = Workers(nWorkers);
    std::vector<std::string> lines;
    zm::Session session(ZmCompiledInApi(), {}, options,
                        [&lines](const FileResult& r) { lines.push_back(Line(r)); });
    session.AddNamedFile(sTree + "/b-clean.doc");  // and walked again: reported once
    session.AddNamedFile(sTree + "/missing.doc");  // with workers, opened here: fails
    session.AddResult(zm::ResultOf("list", Outcome::kError, "Unreadable"));
    session.AddPath(sTree);
    session.EmitAvailable();
    *pnAtWait = lines.size();
    session.AddNamedFile(sTree + "/a-concept.doc");  // met before: not reported again
    session.AddResult(zm::ResultOf("last", Outcome::kError, "Unreadable"));
    session.Flush();
    return lines;
  };
  size_t nAtWait = 0, nWant = 0;
  const std::vector<std::string> want = run(0, 1, &nWant);
  ASSERT_EQ(want.size(), 28u);
  EXPECT_EQ(nWant, 27u);
  EXPECT_EQ(want[3], zm::JoinPath(sTree, "a-concept.doc") + ": Macro.Word.Concept.a FOUND");
  for (size_t nAhead : {1, 3, 64}) {
    for (unsigned nWorkers : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(nAhead) + " ahead, " + std::to_string(nWorkers) + " workers");
      EXPECT_EQ(run(nAhead, nWorkers, &nAtWait), want);
      if (nWorkers == 1) {
        EXPECT_EQ(nAtWait, nWant);
      }
    }
  }
}

// A run of one file scans it here: no worker is started for it (were one started, it could not
// start, and would say so). A second file starts them, and so does one container (archives and
// mail are opened in a worker); the files of workers that cannot start are scanned here all the
// same.
TEST(Session, StartsItsWorkersWithTheSecondFile) {
  TempDir dir;
  const std::string sTree = Tree(&dir);
  zm::SessionOptions options;
  options.pool = Workers(2, dir.Path("no-such-program"));
  const Outcomes one = Scan(options, {sTree + "/a-concept.doc"});
  EXPECT_EQ(one.lines,
            std::vector<std::string>{sTree + "/a-concept.doc: Macro.Word.Concept.a FOUND"});
  EXPECT_TRUE(one.notes.empty());
  const Outcomes two = Scan(options, {sTree + "/a-concept.doc", sTree + "/b-clean.doc"});
  EXPECT_EQ(two.lines.size(), 2u);
  ASSERT_FALSE(two.notes.empty());
  EXPECT_NE(two.notes.back().find("scanning in this process"), std::string::npos);
  // An empty zip (its end record alone), where this build opens archives.
  const std::string sZip =
      dir.Write("empty.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  const Outcomes zip = Scan(options, {sZip});
  EXPECT_EQ(zip.lines.size(), 1u);
  EXPECT_EQ(zip.notes.empty(), !container::Supported(container::Kind::kZip));
  if (!zip.notes.empty()) {
    EXPECT_NE(zip.notes.back().find("scanning in this process"), std::string::npos);
  }
}

// After a stop nothing more is emitted, and the walk looks at no further entry; a walk told to end
// by its caller says it was interrupted.
TEST(Session, EndsWhenItIsTold) {
  TempDir dir;
  const std::string sTree = Tree(&dir);
  // Workers, and files read ahead (a stop drops those in line).
  const std::pair<unsigned, size_t> runs[] = {{1, 0}, {2, 0}, {1, 4}, {2, 4}};
  for (const auto& [nWorkers, nAhead] : runs) {
    SCOPED_TRACE(std::to_string(nWorkers) + " workers, " + std::to_string(nAhead) + " ahead");
    zm::SessionOptions options;
    options.pool = Workers(nWorkers);
    options.nReadAhead = nAhead;
    std::vector<std::string> lines;
    zm::Session* pSession = nullptr;
    zm::Session session(ZmCompiledInApi(), {}, options, [&](const FileResult& r) {
      lines.push_back(Line(r));
      pSession->Stop("Not scanned: stopped");
    });
    pSession = &session;
    session.AddPath(sTree);
    session.AddPath(sTree + "/sub");
    session.Flush();
    EXPECT_EQ(lines.size(), 1u);
    // In this process the stop comes with the first file: nothing more is walked.
    if (nWorkers == 1 && nAhead == 0) {
      EXPECT_EQ(session.DirectoriesWalked(), 1u);
    }
  }
  {
    // Listed, the results here wait for their digests: a stop on the first emits no other.
    zm::ScanOptions listed;
    listed.macros = zm::MacroDetail::kList;
    std::vector<std::string> lines;
    zm::Session* pSession = nullptr;
    zm::Session session(ZmCompiledInApi(), listed, {}, [&](const FileResult& r) {
      lines.push_back(Line(r));
      pSession->Stop("Not scanned: stopped");
    });
    pSession = &session;
    session.AddPath(sTree);
    session.Flush();
    EXPECT_EQ(lines.size(), 1u);
  }
  zm::SessionOptions options;
  size_t nAsked = 0;
  options.interrupted = [&nAsked] { return ++nAsked > 3; };
  zm::Session session(ZmCompiledInApi(), {}, options, [](const FileResult&) {});
  session.AddPath(sTree);
  session.Flush();
  EXPECT_TRUE(session.Interrupted());
  EXPECT_EQ(nAsked, 4u);
}

}  // namespace
