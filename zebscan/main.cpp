// zebscan: the command-line front end of zebmacro. Walks files and directory trees with its own
// walk, tells Word 6/95 documents by their content, and scans them for WordBasic macro viruses
// through the library's exports, loaded at run time: its options, then one scan session.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "deflist.h"
#include "extract.h"
#include "librarywalk.h"
#include "listinput.h"
#include "options.h"
#include "platform.h"
#include "quarantine.h"
#include "report.h"
#include "session.h"
#include "worker.h"
#include "zmapi.h"

namespace zebscan {

// The SHA-256 of the library built with this zebscan (library_digest.cpp, made by the build).
extern const char kLibraryDigest[];

namespace {

using zm::FileResult;
using zm::Outcome;

// Workers beyond this many a core only wait for one another: measured on a warm tree, where a
// scan is short beside the hand-over, twice the cores cost some 10% over one a core, and 64
// workers on two cores 2 to 5 times the time; a cold tree may want more reads in flight, which
// more processes are not the way to.
constexpr unsigned kWorkersPerCore = 2;

// As many workers as help, and as the limits on open files and processes leave room for; each
// cut said. 1: scan in this process.
unsigned FitJobs(unsigned nJobs, Report* pOut, zm::WorkerFit* pFit) {
  const unsigned nHelpful = kWorkersPerCore * zm::UsableCores();
  if (nJobs > nHelpful) {
    pOut->Message("--jobs " + std::to_string(nJobs) + " cut to " + std::to_string(nHelpful) +
                  ": more than " + std::to_string(kWorkersPerCore) + " workers a core (" +
                  std::to_string(zm::UsableCores()) + " here) only slow the scan");
    nJobs = nHelpful;
  }
  zm::ProcessRoom room = zm::RoomToGrow();
  if (nJobs <= 1) {
    // No worker; the room for the directories that files waiting for their heads hold open.
    *pFit = zm::FitWorkers(0, room.nFileLimit, room.nFilesFree, SIZE_MAX, SIZE_MAX);
    return 1;
  }
  *pFit = zm::FitWorkers(nJobs, room.nFileLimit, room.nFilesFree, room.nTaskLimit, room.nTasksFree);
  if (pFit->nWorkers == 0)
    pOut->Message("no room for a worker within " + pFit->sWhy + ": scanning in this process");
  else if (pFit->nWorkers < nJobs)
    pOut->Message(std::to_string(pFit->nWorkers) + (pFit->nWorkers == 1 ? " worker" : " workers") +
                  " instead of " + std::to_string(nJobs) + ", within " + pFit->sWhy);
  return std::max(1u, pFit->nWorkers);
}

// One run over the paths and the list the user gave: a session fed here, reported as it emits.
class Run {
 public:
  Run(const Options& o, const ZmApi& api, Report* pOut, const Quarantine* pQuarantine,
      Extractor* pExtractor)
      : m_o(o), m_api(api), m_out(*pOut), m_pQuarantine(pQuarantine), m_pExtractor(pExtractor) {}
  // Scans everything given and reports it; the number of directories walked.
  size_t ScanAll();

 private:
  zm::SessionOptions SessionOptionsFor();
  void Emit(const FileResult& r);
  void TakePath(const std::string& sPath);
  void TakeStdin();
  void TakeList();
  void Result(const std::string& sPath, Outcome outcome, const std::string& sReason) {
    m_pSession->AddResult(zm::ResultOf(sPath, outcome, sReason));
  }

  const Options& m_o;
  const ZmApi& m_api;
  Report& m_out;
  const Quarantine* m_pQuarantine;
  Extractor* m_pExtractor;  // --extract
  zm::Session* m_pSession = nullptr;
  // Standard input as a file ("-"), held for the run: a copy of it in --copy is made from it.
  zm::File m_stdin;
  bool m_bStopped = false;  // the report can no longer be written: nothing more is looked at
  size_t m_nLibraryDirs = 0;
};

zm::SessionOptions Run::SessionOptionsFor() {
  zm::WorkerFit fit;
  const unsigned nJobs = FitJobs(m_o.nJobs, &m_out, &fit);
  zm::SessionOptions so;
  so.walk = m_o.walk;
  so.bManyRoots = m_o.paths.size() > 1 || !m_o.sFileList.empty();
  so.pool.nWorkers = nJobs;
  so.pool.sExecutable = zm::ExecutablePath();
  so.pool.sLibrary = m_o.sLibrary;
  so.pool.scan = m_o.scan;
  so.pool.nMaxPassed = fit.nMaxPassed;
  // Rounded: on x87 (i686) 0.3 * 1000 is a hair under 300 and would truncate to 299.
  so.pool.fileTimeout = std::chrono::milliseconds(std::llround(m_o.dFileTimeout * 1000));
  so.nHeldBudget = fit.nHeldBudget;
  so.nReadAhead = m_o.nIoDepth;
  so.note = [this](const std::string& s) { m_out.Message(s); };
  return so;
}

void Run::Emit(const FileResult& r) {
  Extracted extracted;
  const bool bExtracted = m_pExtractor && m_pExtractor->Write(r, &extracted);
  const Extracted* pExtracted = bExtracted ? &extracted : nullptr;
  if (m_pQuarantine && r.outcome == Outcome::kFound) {
    bool bStdin = m_stdin.IsOpen() && r.sPath == "stdin" && r.id == m_stdin.id;
    Placement placed = m_pQuarantine->Place(r, bStdin ? &m_stdin : nullptr);
    m_out.Add(r, &placed, pExtracted);
  } else {
    m_out.Add(r, nullptr, pExtracted);
  }
  if (m_out.WriteFailed()) {
    m_bStopped = true;
    m_pSession->Stop("Not scanned: the report could not be written");
  }
}

// A path named by the user: walked by the session, or with --library-walk a directory walked by
// the library, its listed files then scanned as named.
void Run::TakePath(const std::string& sPath) {
  zm::EntryInfo info;
  std::string sError;
  if (!(m_o.bLibraryWalk && zm::StatEntry(nullptr, sPath, true, &info, &sError) &&
        info.type == zm::EntryType::kDirectory))
    return m_pSession->AddPath(sPath);
  std::vector<std::string> files;
  if (!LibraryWalk(m_api, sPath, m_o.sFilter, &files, &sError))
    return Result(sPath, Outcome::kError, sError);
  ++m_nLibraryDirs;
  for (const std::string& sFile : files) m_pSession->AddNamedFile(sFile);
}

// "-": the bytes of standard input, scanned here and reported as clamscan does, as "stdin".
void Run::TakeStdin() {
  std::string sError;
  if (!zm::StdinFile(&m_stdin, &sError)) return Result("stdin", Outcome::kError, sError);
  m_pSession->AddScannedHere(m_stdin, "stdin");
}

// --file-list: each path as it comes; while none has come, what is done is reported.
void Run::TakeList() {
  const std::string sListName = m_o.sFileList == "-" ? "stdin" : m_o.sFileList;
  const std::string kUnreadable = "Cannot read the file list: ";
  ListInput list;
  std::string sError;
  if (!list.Open(m_o.sFileList, m_o.bNull, &sError))
    Result(sListName, Outcome::kError, kUnreadable + sError);
  for (std::string s; sError.empty() && !m_bStopped;) {
    ListInput::Got got = list.Next(&s, false);
    if (got == ListInput::kIdle) {
      m_pSession->SetIdleWake([&list] { list.Wake(); });
      m_pSession->EmitAvailable();
      m_out.Flush();
      got = list.Next(&s, true);
      m_pSession->SetIdleWake(nullptr);
      if (got == ListInput::kIdle) continue;
    }
    if (got == ListInput::kEnd) {
      if (!list.Error().empty()) Result(sListName, Outcome::kError, kUnreadable + list.Error());
      break;
    }
    // A line holding a NUL would name a file by its first part only.
    if (!m_o.bNull && s.find('\0') != std::string::npos)
      Result(s, Outcome::kError, "Name holds a NUL byte (a NUL-separated list needs --null)");
    else
      TakePath(s);
  }
}

size_t Run::ScanAll() {
  size_t nDirectories = 0;
  {
    zm::Session session(m_api, m_o.scan, SessionOptionsFor(),
                        [this](const FileResult& r) { Emit(r); });
    m_pSession = &session;
    for (const std::string& sPath : m_o.paths) {
      if (m_bStopped) break;
      if (sPath == "-")
        TakeStdin();
      else
        TakePath(sPath);
    }
    if (!m_o.sFileList.empty() && !m_bStopped) TakeList();
    session.Flush();
    nDirectories = session.DirectoriesWalked() + m_nLibraryDirs;
  }  // the session's workers have ended
  return nDirectories;
}

int Main(int argc, char** argv) {
  zm::SetUpStandardOutput();
  Options o;
  int iExit = 0;
  if (!ParseOptions(argc, argv, &o, &iExit)) return iExit;
  std::FILE* pErr = o.bStdout ? stdout : stderr;
  auto say = [&](const std::string& s) { zm::WriteText(pErr, MessageLine(o.report.bJson, s)); };
  ZmApi api;
  if (!zm::LoadScanLibrary(o.bLibraryNamed, &o.sLibrary, &api)) {
    say("cannot load " + o.sLibrary);
    return 2;
  }
  if (o.bListDefinitions)
    return ListDefinitions(api, o.sLibrary, kLibraryDigest, o.report.bJson, stdout, say);
  const zm::EngineFacts engine = zm::ReadEngineFacts(api, o.sLibrary);
  if (o.bVersion) {
    std::printf("zebscan %s\nlibrary zebmacro %s, %d definitions\n", ZEBSCAN_VERSION,
                engine.sVersion.c_str(), engine.nDefinitions);
    return 0;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> pLog(nullptr, std::fclose);
  if (!o.sLog.empty()) {
    std::string sError;
    pLog.reset(zm::OpenAppend(o.sLog, &sError));
    if (!pLog) {
      say("cannot open the log " + o.sLog + " (" + sError + ")");
      return 2;
    }
  }
  std::unique_ptr<Quarantine> pQuarantine;
  if (!o.sCopy.empty() || !o.sMove.empty())
    pQuarantine =
        std::make_unique<Quarantine>(o.sMove.empty() ? o.sCopy : o.sMove, !o.sMove.empty());

  const auto tStart = std::chrono::steady_clock::now();
  o.report.bProgress = zm::IsTerminal(pErr) && !o.report.bJson && !o.report.bQuiet;
  Report out(stdout, pErr, pLog.get(), o.report, engine);
  std::unique_ptr<Extractor> pExtractor;
  if (!o.sExtract.empty()) pExtractor = std::make_unique<Extractor>(o.sExtract);
  const size_t nDirectories = Run(o, api, &out, pQuarantine.get(), pExtractor.get()).ScanAll();
  std::chrono::duration<double> dt = std::chrono::steady_clock::now() - tStart;
  out.Finish(dt.count(), nDirectories);
  return out.ExitStatus();
}

}  // namespace
}  // namespace zebscan

int main(int argc, char** argv) {
  int iExit = 0;
  if (zm::RunAsWorker(argc, argv, &iExit)) return iExit;
  try {
    return zebscan::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zebscan: %s\n", e.what());
    return 2;
  }
}
