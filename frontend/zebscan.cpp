// zebscan: the command-line front end of zebmacro. Walks files and directory trees with its own
// walk, tells Word 6/95 documents by their content, and scans them for WordBasic macro viruses
// through the library's exports, loaded at run time.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>

#include "deflist.h"
#include "librarywalk.h"
#include "platform.h"
#include "pool.h"
#include "report.h"
#include "scanner.h"
#include "walk.h"
#include "zmapi.h"

namespace zebscan {
namespace {

// Hands each path of a --file-list to pTake as it is read (a list fed slowly through a pipe is
// scanned as it comes): one per line, or NUL-separated with --null; empty entries are none.
// False when the list cannot be read.
bool ReadFileList(const std::string& sList, bool bNull,
                  const std::function<void(const std::string&)>& take) {
  std::ifstream file;
  if (sList != "-") {
    file.open(sList, std::ios::binary);
    if (!file) return false;
  }
  std::istream& in = sList == "-" ? std::cin : file;
  for (std::string s; std::getline(in, s, bNull ? '\0' : '\n');) {
    if (!bNull && !s.empty() && s.back() == '\r') s.pop_back();
    if (!s.empty()) take(s);
  }
  return !in.bad();
}

LinkPolicy Policy(int i) { return static_cast<LinkPolicy>(i); }

int Run(int argc, char** argv) {
  CLI::App app{
      "zebscan: finds WordBasic macro viruses in Word 6/95 documents.\n"
      "Every file of a walk is looked at; Word 6/95 documents are told by their content.\n"
      "Exit status: 0 nothing found, 1 a virus found, 2 errors and nothing found.",
      "zebscan"};
  std::vector<std::string> paths;
  ScanOptions scan;
  ReportOptions report;
  WalkOptions walk;
  bool bNoSummary = false, bList = false, bVersion = false, bLibraryWalk = false, bNull = false;
  bool bRecursive = false;
  int iDirLinks = 1, iFileLinks = 1;
  unsigned nJobs = UsableCores();
  double dFileTimeout = 120;
  std::string sSkipped = "yes", sFileList, sFilter = "*.doc;*.dot";
  std::string sLibrary = ZmLibraryName();
  app.add_option("PATH", paths, "Files to scan; directories are walked")->type_name("");
  app.add_flag("--deep", scan.bDeep, "Also scan the macro bodies of every document with macros");
  app.add_flag("--alert-encrypted-doc", scan.bAlertEncrypted,
               "Report encrypted documents as Heuristics.Encrypted.Doc FOUND, not SKIPPED");
  app.add_option("--raw", scan.sRawName, "Search every file's raw bytes for this signature instead")
      ->check(CLI::IsMember(RawScanNames()));
  app.add_flag("-i,--infected", report.bInfectedOnly,
               "Print only findings on the report (errors still go to stderr)");
  app.add_option("--skipped", sSkipped, "Print SKIPPED lines (yes or no)")
      ->check(CLI::IsMember({"yes", "no"}))
      ->capture_default_str();
  app.add_flag("--no-summary", bNoSummary, "Leave out the summary block");
  app.add_flag("--json", report.bJson, "One JSON object per file, then the summary");
  app.add_flag("--names", report.bNames, "Show the macro names read from each document");
  app.add_option("--include", walk.include, "Look only at files of a walk whose name matches")
      ->type_name("GLOB");
  app.add_option("--exclude", walk.exclude, "Skip files of a walk whose name matches")
      ->type_name("GLOB");
  app.add_option("--exclude-dir", walk.excludeDir, "Skip directories of a walk whose name matches")
      ->type_name("GLOB");
  app.add_option("--max-depth", walk.iMaxDepth, "Look no deeper than this below each directory")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--follow-dir-symlinks{2}", iDirLinks,
               "Directory links: 0 never, 1 named ones (default), 2 always (the bare flag)")
      ->check(CLI::Range(0, 2));
  app.add_flag("--follow-file-symlinks{2}", iFileLinks,
               "File links: 0 never, 1 named ones (default), 2 always (the bare flag)")
      ->check(CLI::Range(0, 2));
  app.add_flag("-r,--recursive", bRecursive,
               "Accepted for clamscan's sake: directories are always walked");
  app.add_option("--file-list", sFileList,
                 "Scan the paths listed in this file, one per line ('-': stdin)")
      ->type_name("FILE");
  app.add_flag("--null", bNull, "--file-list entries end with NUL, as find -print0 writes them");
  app.add_flag("--library-walk", bLibraryWalk,
               "Walk directories with the library's MACRO_CallTraverse and its rules");
  app.add_option("--filter", sFilter, "File-name filter of --library-walk")->capture_default_str();
  app.add_option("-j,--jobs", nJobs,
                 "Worker processes scanning side by side (default: the cores this process may use; "
                 "1 scans in this process)")
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  app.add_option("--file-timeout", dFileTimeout,
                 "Seconds a worker may spend on one file before it is replaced")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_flag("--list-definitions", bList, "List the signature database and exit");
  app.add_flag("--version", bVersion, "Print the versions of zebscan and the library and exit");
  CLI::Option* pLibrary =
      app.add_option("--library", sLibrary, "The zebmacro library to load")->capture_default_str();
  try {
    std::vector<std::string> args = ProgramArguments(argc, argv);
    std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
    app.parse(reversed);
    if (!bList && !bVersion && paths.empty() && sFileList.empty()) throw CLI::RequiredError("PATH");
  } catch (const CLI::ParseError& e) {
    int iExit = app.exit(e);
    return iExit == 0 ? 0 : 2;
  }
  report.bSummary = !bNoSummary;
  report.bSkipped = sSkipped == "yes";
  walk.dirLinks = Policy(iDirLinks);
  walk.fileLinks = Policy(iFileLinks);

  if (bList) {
    ListDefinitions(stdout, report.bJson);
    return 0;
  }
  ZmApi api;
  if (!LoadScanLibrary(pLibrary->count() > 0, &sLibrary, &api)) {
    std::fprintf(stderr, "zebscan: cannot load %s\n", sLibrary.c_str());
    return 2;
  }
  EngineInfo engine{ZmLibraryVersion(api), api.MACRO_Signatures()};
  if (bVersion) {
    std::printf("zebscan %s\nlibrary zebmacro %s, %d definitions\n", ZEBSCAN_VERSION,
                engine.sVersion.c_str(), engine.nDefinitions);
    return 0;
  }
  if (sFileList == "-") std::ios::sync_with_stdio(false);

  auto tStart = std::chrono::steady_clock::now();
  report.bProgress = IsTerminal(stderr);
  Scanner scanner(api, scan);
  Report out(stdout, stderr, report, engine);
  size_t nLibraryDirs = 0;
  // With workers, files go to the pool and their results come back in walk order; without, each
  // is scanned here as the walk meets it.
  std::unique_ptr<InterruptGuard> pGuard;
  std::unique_ptr<Pool> pPool;
  std::unique_ptr<OrderedResults> pOrdered;
  // Scanned files are reported in walk order; the same file met again is left out there.
  SeenFiles seen(walk, paths.size() > 1 || !sFileList.empty());
  auto emit = [&](const FileResult& r) {
    if (r.nLinks == 0 || seen.FirstTime(r.id, r.nLinks)) out.Add(r);
  };
  // Workers start with a run's second file: a run of one file scans it here without starting
  // any. Until then, what the walk hands on after the first file waits here, in order.
  struct Held {
    FileRef ref;  // a file (with a path in r.sPath), or
    FileResult r;
    bool bFile;
  };
  std::vector<Held> held;
  auto startPool = [&] {
    pGuard = std::make_unique<InterruptGuard>();
    PoolOptions pool;
    pool.nWorkers = nJobs;
    pool.bStartAtOnce = true;
    pool.sExecutable = ExecutablePath();
    pool.sLibrary = sLibrary;
    pool.scan = scan;
    // Rounded: on x87 (i686) 0.3 * 1000 is a hair under 300 and would truncate to 299.
    pool.fileTimeout = std::chrono::milliseconds(std::llround(dFileTimeout * 1000));
    pPool = std::make_unique<Pool>(pool);
    // A window wide enough that every worker gets whole batches while the earliest result waits.
    pOrdered = std::make_unique<OrderedResults>(pPool.get(), 128 * nJobs + 256, emit);
    for (Held& h : held) {
      if (h.bFile)
        pOrdered->AddRef(std::move(h.ref), std::move(h.r.sPath));
      else
        pOrdered->AddResult(std::move(h.r));
    }
    held.clear();
  };
  auto result = [&](const std::string& sPath, Outcome outcome, const std::string& sReason) {
    FileResult r = ResultOf(sPath, outcome, sReason);
    if (pOrdered) return pOrdered->AddResult(std::move(r));
    if (!held.empty()) return held.push_back({FileRef(), std::move(r), false});
    out.Add(r);
  };
  auto file = [&](FileRef&& ref, std::string sPath) {
    if (pOrdered) return pOrdered->AddRef(std::move(ref), std::move(sPath));
    if (nJobs == 1) return emit(scanner.ScanRef(ref, std::move(sPath)));
    // What is held begins with the first file, so anything held means this is the second.
    bool bSecond = !held.empty();
    held.push_back({std::move(ref), ResultOf(sPath, Outcome::kOk, ""), true});
    if (bSecond) startPool();
  };
  auto flush = [&] {
    if (pOrdered) return pOrdered->Flush();
    for (Held& h : held) {
      if (h.bFile)
        emit(scanner.ScanRef(h.ref, std::move(h.r.sPath)));
      else
        out.Add(h.r);
    }
    held.clear();
  };
  Walker walker(walk, [&](WalkItem&& item) {
    switch (item.kind) {
      case WalkItem::kFile:
        return file(std::move(item.ref), std::move(item.sPath));
      case WalkItem::kSkipped:
        return result(item.sPath, Outcome::kSkipped, item.sReason);
      case WalkItem::kError:
        return result(item.sPath, Outcome::kError, item.sReason);
    }
  });
  auto take = [&](const std::string& sPath) {
    EntryInfo info;
    std::string sError;
    // Looked at once: a directory is walked by the library when asked, and starts the workers.
    const bool bStartsPool = !pOrdered && nJobs > 1;
    const bool bDir = (bLibraryWalk || bStartsPool) &&
                      StatEntry(nullptr, sPath, true, &info, &sError) &&
                      info.type == EntryType::kDirectory;
    if (bLibraryWalk && bDir) {
      std::vector<std::string> files;
      if (!LibraryWalk(api, sPath, sFilter, &files, &sError))
        return result(sPath, Outcome::kError, sError);
      ++nLibraryDirs;
      for (const std::string& sFile : files) {
        FileRef ref;
        ref.sName = sFile;
        ref.bFollow = true;
        file(std::move(ref), sFile);
      }
      return;
    }
    // A directory will most likely hand on many files: the workers start now, and are ready by
    // the time the walk has read it.
    if (bStartsPool && bDir) startPool();
    walker.Add(sPath);
  };
  for (const std::string& sPath : paths) take(sPath);
  bool bListRead = sFileList.empty() || ReadFileList(sFileList, bNull, take);
  flush();
  pPool.reset();
  pGuard.reset();
  if (!bListRead) {
    std::fprintf(stderr, "zebscan: cannot read the file list %s\n", sFileList.c_str());
    out.Finish(0, walker.DirectoriesWalked() + nLibraryDirs);
    return 2;
  }
  std::chrono::duration<double> dt = std::chrono::steady_clock::now() - tStart;
  out.Finish(dt.count(), walker.DirectoriesWalked() + nLibraryDirs);
  return out.ExitStatus();
}

}  // namespace
}  // namespace zebscan

int main(int argc, char** argv) {
  int iExit = 0;
  if (zebscan::RunAsWorker(argc, argv, &iExit)) return iExit;
  try {
    return zebscan::Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zebscan: %s\n", e.what());
    return 2;
  }
}
