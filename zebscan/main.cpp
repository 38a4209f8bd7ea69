// zebscan: the command-line front end of zebmacro. Walks files and directory trees with its own
// walk, tells Word 6/95 documents by their content, and scans them for WordBasic macro viruses
// through the library's exports, loaded at run time.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>

#include "deflist.h"
#include "librarywalk.h"
#include "listinput.h"
#include "platform.h"
#include "pool.h"
#include "quarantine.h"
#include "report.h"
#include "scanner.h"
#include "walk.h"
#include "zmapi.h"

namespace zebscan {
namespace {

// --file-timeout in seconds: from 10 ms, which a worker's start and a file's scan outlast, to a
// week, which the milliseconds of the pool's clock hold with room to spare.
constexpr double kMinTimeout = 0.01, kMaxTimeout = 7 * 24 * 3600;
// Workers beyond this many a core only wait for one another: measured on a warm tree, where a
// scan is short beside the hand-over, twice the cores cost some 10% over one a core, and 64
// workers on two cores 2 to 5 times the time; a cold tree may want more reads in flight, which
// more processes are not the way to.
constexpr unsigned kWorkersPerCore = 2;

std::string TimeoutError(std::string& s) {
  char* pEnd = nullptr;
  double d = std::strtod(s.c_str(), &pEnd);
  if (pEnd == s.c_str() || *pEnd != '\0' || !(d >= kMinTimeout && d <= kMaxTimeout))
    return "seconds from 0.01 to 604800 (a week), not " + s;
  return "";
}

LinkPolicy Policy(const std::string& s) { return static_cast<LinkPolicy>(s[0] - '0'); }

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
  bool bRecursive = false, bStdout = false;
  std::string sDirLinks = "1", sFileLinks = "1";
  unsigned nJobs = UsableCores();
  double dFileTimeout = 120;
  std::string sSkipped = "yes", sFileList, sFilter = "*.doc;*.dot", sLog, sCopy, sMove;
  std::string sLibrary = ZmLibraryName();
  app.add_option("PATH", paths, "Files to scan; directories are walked; '-' scans stdin")
      ->type_name("");
  app.add_flag("--deep", scan.bDeep, "Also scan the macro bodies of every document with macros");
  app.add_flag("--alert-encrypted-doc", scan.bAlertEncrypted,
               "Report encrypted documents as Heuristics.Encrypted.Doc FOUND, not SKIPPED");
  app.add_option("--raw", scan.sRawName, "Search every file's raw bytes for this signature instead")
      ->check(CLI::IsMember(RawScanNames()));
  app.add_flag("-i,--infected", report.bInfectedOnly,
               "Print only findings on the report (errors still go to stderr)");
  app.add_flag_callback(
      "-o,--suppress-ok-results", [&report] { report.bOk = false; }, "Leave OK lines out");
  app.add_option("--skipped", sSkipped, "Print SKIPPED lines (yes or no)")
      ->check(CLI::IsMember({"yes", "no"}))
      ->capture_default_str();
  app.add_flag("--no-summary", bNoSummary, "Leave out the summary block");
  app.add_flag("--quiet", report.bQuiet,
               "Print nothing but errors (the exit status tells the outcome; the log keeps all)");
  app.add_flag("--stdout", bStdout, "Errors and messages to stdout, not stderr");
  app.add_flag("-v,--verbose", report.bVerbose,
               "'Scanning PATH' before the line of each file opened");
  app.add_option("-l,--log", sLog, "Append the report, errors and messages to this file")
      ->type_name("FILE");
  app.add_flag("--json", report.bJson,
               "One JSON object per file, then the summary; messages on stderr as JSON too");
  app.add_flag("--names", report.bNames, "Show the macro names read from each document");
  CLI::Option* pCopy =
      app.add_option("--copy", sCopy, "Copy infected files below this directory, path kept")
          ->type_name("DIR");
  app.add_option("--move", sMove, "Move infected files below this directory, path kept")
      ->type_name("DIR")
      ->excludes(pCopy);
  // One pattern each time, as clamscan takes them: the paths after it are paths.
  auto glob = [&app](const char* szName, std::vector<std::string>* pv, const char* szHelp) {
    app.add_option(szName, *pv, szHelp)
        ->type_name("GLOB")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  glob("--include", &walk.include, "Look only at files of a walk whose name matches (repeatable)");
  glob("--exclude", &walk.exclude, "Skip files of a walk whose name matches (repeatable)");
  glob("--exclude-dir", &walk.excludeDir,
       "Skip directories of a walk whose name matches (repeatable)");
  app.add_option("--max-depth", walk.iMaxDepth, "Look no deeper than this below each directory")
      ->check(CLI::NonNegativeNumber);
  // Taken as text: a counting flag's variable is zeroed when CLI11 adds it, and "=0" counts as -1.
  app.add_flag("--follow-dir-symlinks{2}", sDirLinks,
               "Directory links: 0 never, 1 named ones (default), 2 always (the bare flag)")
      ->check(CLI::IsMember({"0", "1", "2"}))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--follow-file-symlinks{2}", sFileLinks,
               "File links: 0 never, 1 named ones (default), 2 always (the bare flag)")
      ->check(CLI::IsMember({"0", "1", "2"}))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
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
                 "Worker processes scanning side by side (default: one per core this process may "
                 "use; at most two per core are started; 1 scans in this process)")
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  app.add_option("--file-timeout", dFileTimeout,
                 "Seconds a worker may spend on one file before it is replaced (0.01 to 604800)")
      ->check(CLI::Validator(TimeoutError, "SECONDS"))
      ->capture_default_str();
  app.add_flag("--list-definitions", bList, "List the signature database and exit");
  app.add_flag("-V,--version", bVersion, "Print the versions of zebscan and the library and exit");
  CLI::Option* pLibrary =
      app.add_option("--library", sLibrary, "The zebmacro library to load")->capture_default_str();
  std::vector<std::string> args = ProgramArguments(argc, argv);
  // Usage errors come before --json is known; where it was asked for, they are JSON too.
  const bool bJsonAsked = std::find(args.begin(), args.end(), "--json") != args.end();
  app.failure_message([bJsonAsked](const CLI::App*, const CLI::Error& e) {
    return MessageLine(bJsonAsked, e.what()) +
           (bJsonAsked ? "" : "Run with --help for more information.\n");
  });
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
    app.parse(reversed);
    if (!bList && !bVersion && paths.empty() && sFileList.empty()) throw CLI::RequiredError("PATH");
    if (std::count(paths.begin(), paths.end(), "-") + (sFileList == "-") > 1)
      throw CLI::ValidationError("standard input is read once: '-' as a path or as the list");
  } catch (const CLI::ParseError& e) {
    int iExit = app.exit(e);
    return iExit == 0 ? 0 : 2;
  }
  report.bSummary = !bNoSummary;
  report.bSkipped = sSkipped == "yes";
  walk.dirLinks = Policy(sDirLinks);
  walk.fileLinks = Policy(sFileLinks);
  std::FILE* pErr = bStdout ? stdout : stderr;
  auto say = [&](const std::string& s) { std::fputs(MessageLine(report.bJson, s).c_str(), pErr); };

  if (bList) {
    ListDefinitions(stdout, report.bJson);
    return 0;
  }
  ZmApi api;
  if (!LoadScanLibrary(pLibrary->count() > 0, &sLibrary, &api)) {
    say("cannot load " + sLibrary);
    return 2;
  }
  EngineInfo engine{ZmLibraryVersion(api), api.MACRO_Signatures()};
  if (bVersion) {
    std::printf("zebscan %s\nlibrary zebmacro %s, %d definitions\n", ZEBSCAN_VERSION,
                engine.sVersion.c_str(), engine.nDefinitions);
    return 0;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> pLog(nullptr, std::fclose);
  if (!sLog.empty()) {
    std::string sError;
    pLog.reset(OpenAppend(sLog, &sError));
    if (!pLog) {
      say("cannot open the log " + sLog + " (" + sError + ")");
      return 2;
    }
  }
  std::unique_ptr<Quarantine> pQuarantine;
  if (!sCopy.empty() || !sMove.empty())
    pQuarantine = std::make_unique<Quarantine>(sMove.empty() ? sCopy : sMove, !sMove.empty());

  auto tStart = std::chrono::steady_clock::now();
  report.bProgress = IsTerminal(pErr) && !report.bJson && !report.bQuiet;
  // The library is called by one thread at a time: this one, or a pool thread that scans here
  // because no worker could start.
  std::mutex scanLock;
  Scanner scanner(api, scan);
  auto scanHere = [&](File* pOpen, const FileRef& ref, std::string sPath) {
    std::lock_guard<std::mutex> lock(scanLock);
    return pOpen ? scanner.Scan(*pOpen, std::move(sPath)) : scanner.ScanRef(ref, std::move(sPath));
  };
  Report out(stdout, pErr, pLog.get(), report, engine);
  // As many workers as help, and as the limits on open files and processes leave room for.
  WorkerFit fit;
  const unsigned nHelpful = kWorkersPerCore * UsableCores();
  if (nJobs > nHelpful) {
    out.Message("--jobs " + std::to_string(nJobs) + " cut to " + std::to_string(nHelpful) +
                ": more than " + std::to_string(kWorkersPerCore) + " workers a core (" +
                std::to_string(UsableCores()) + " here) only slow the scan");
    nJobs = nHelpful;
  }
  if (nJobs > 1) {
    ProcessRoom room = RoomToGrow();
    fit = FitWorkers(nJobs, room.nFileLimit, room.nFilesFree, room.nTaskLimit, room.nTasksFree);
    if (fit.nWorkers == 0)
      out.Message("no room for a worker within " + fit.sWhy + ": scanning in this process");
    else if (fit.nWorkers < nJobs)
      out.Message(std::to_string(fit.nWorkers) + (fit.nWorkers == 1 ? " worker" : " workers") +
                  " instead of " + std::to_string(nJobs) + ", within " + fit.sWhy);
    nJobs = std::max(1u, fit.nWorkers);
  }
  size_t nLibraryDirs = 0;
  // With workers, files go to the pool and their results come back in walk order; without, each
  // is scanned here as the walk meets it.
  std::unique_ptr<InterruptGuard> pGuard;
  std::unique_ptr<Pool> pPool;
  std::unique_ptr<OrderedResults> pOrdered;
  // Standard input as a file ("-"), held for the run: a copy of it in --copy is made from it.
  File stdinFile;
  // Set when the report can no longer be written: nothing more is looked at.
  bool bStopped = false;
  std::function<void()> stop;
  // Scanned files are reported in walk order; the same file met again is left out there.
  SeenFiles seen(walk, paths.size() > 1 || !sFileList.empty());
  auto emit = [&](const FileResult& r) {
    if (pPool)
      for (const std::string& s : pPool->Notes()) out.Message(s);
    if (bStopped || (r.nLinks != 0 && !seen.FirstTime(r.id, r.nLinks))) return;
    if (pQuarantine && r.outcome == Outcome::kFound) {
      bool bStdin = stdinFile.IsOpen() && r.sPath == "stdin" && r.id == stdinFile.id;
      Placement placed = pQuarantine->Place(r, bStdin ? &stdinFile : nullptr);
      out.Add(r, &placed);
    } else {
      out.Add(r);
    }
    if (out.WriteFailed()) stop();
  };
  // Workers start with a run's second file: a run of one file scans it here without starting
  // any. Until then, what the walk hands on after the first file waits here, in order.
  struct Held {
    File file;     // a file opened here, or
    FileRef ref;   // one to be opened by whoever scans it (with a path in r.sPath), or
    FileResult r;  // a result known already
    enum { kOpen, kRef, kResult } kind;
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
    pool.nMaxPassed = fit.nMaxPassed;
    pool.inProcess = scanHere;
    // Rounded: on x87 (i686) 0.3 * 1000 is a hair under 300 and would truncate to 299.
    pool.fileTimeout = std::chrono::milliseconds(std::llround(dFileTimeout * 1000));
    pPool = std::make_unique<Pool>(pool);
    // A window wide enough that every worker gets whole batches while the earliest result waits.
    pOrdered = std::make_unique<OrderedResults>(pPool.get(), 128 * nJobs + 256, emit);
    for (Held& h : held) {
      if (h.kind == Held::kOpen)
        pOrdered->AddFile(std::move(h.file), std::move(h.r.sPath));
      else if (h.kind == Held::kRef)
        pOrdered->AddRef(std::move(h.ref), std::move(h.r.sPath));
      else
        pOrdered->AddResult(std::move(h.r));
    }
    held.clear();
  };
  auto addResult = [&](FileResult&& r) {
    if (pOrdered) return pOrdered->AddResult(std::move(r));
    if (!held.empty()) return held.push_back({File(), FileRef(), std::move(r), Held::kResult});
    emit(r);
  };
  auto result = [&](const std::string& sPath, Outcome outcome, const std::string& sReason) {
    addResult(ResultOf(sPath, outcome, sReason));
  };
  // A path named by the user (not met in a directory) is opened here: it may name something of
  // this process's own (/dev/stdin, /proc/self/fd/N) that a worker would find to be its own.
  auto file = [&](FileRef&& ref, std::string sPath) {
    File opened;
    if (!ref.pDir && nJobs > 1) {
      std::string sWhy;
      if (!OpenRef(ref, &opened, &sWhy)) return addResult(NotOpened(sPath, sWhy));
    }
    // Files in flight hold descriptors (their own, or their directory's): within the room
    // there is for them, or the walk could not open the next directory.
    if (pOrdered && HeldDescriptors() > fit.nHeldBudget) pOrdered->Flush();
    if (pOrdered && opened.IsOpen()) return pOrdered->AddFile(std::move(opened), std::move(sPath));
    if (pOrdered) return pOrdered->AddRef(std::move(ref), std::move(sPath));
    if (nJobs == 1) return emit(scanner.ScanRef(ref, std::move(sPath)));
    // What is held begins with the first file, so anything held means this is the second.
    bool bSecond = !held.empty();
    auto kind = opened.IsOpen() ? Held::kOpen : Held::kRef;
    held.push_back({std::move(opened), std::move(ref), ResultOf(sPath, Outcome::kOk, ""), kind});
    if (bSecond) startPool();
  };
  auto flush = [&] {
    if (pOrdered) return pOrdered->Flush();
    std::vector<Held> now;
    now.swap(held);
    for (Held& h : now) {
      if (h.kind == Held::kOpen)
        emit(scanHere(&h.file, FileRef(), std::move(h.r.sPath)));
      else if (h.kind == Held::kRef)
        emit(scanHere(nullptr, h.ref, std::move(h.r.sPath)));
      else
        emit(h.r);
    }
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
  stop = [&] {
    bStopped = true;
    walker.Stop();
    if (pPool) pPool->Cancel("Not scanned: the report could not be written");
  };
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
  // "-": the bytes of standard input, scanned here and reported as clamscan does, as "stdin".
  auto takeStdin = [&] {
    std::string sError;
    if (!StdinFile(&stdinFile, &sError)) return result("stdin", Outcome::kError, sError);
    addResult(scanHere(&stdinFile, FileRef(), "stdin"));
  };
  for (const std::string& sPath : paths) {
    if (bStopped) break;
    if (sPath == "-")
      takeStdin();
    else
      take(sPath);
  }
  if (!sFileList.empty() && !bStopped) {
    const std::string sListName = sFileList == "-" ? "stdin" : sFileList;
    const std::string kUnreadable = "Cannot read the file list: ";
    ListInput list;
    std::string sError;
    if (!list.Open(sFileList, bNull, &sError))
      result(sListName, Outcome::kError, kUnreadable + sError);
    for (std::string s; sError.empty() && !bStopped;) {
      ListInput::Got got = list.Next(&s, false);
      if (got == ListInput::kIdle) {
        // Nothing has come yet: what is done is reported now, not when the next path comes.
        if (pOrdered) {
          pOrdered->SetIdleWake([&list] { list.Wake(); });
          pOrdered->EmitAvailable();
        } else {
          flush();
        }
        out.Flush();
        got = list.Next(&s, true);
        if (pOrdered) pOrdered->SetIdleWake(nullptr);
        if (got == ListInput::kIdle) continue;
      }
      if (got == ListInput::kEnd) {
        if (!list.Error().empty()) result(sListName, Outcome::kError, kUnreadable + list.Error());
        break;
      }
      // A line holding a NUL would name a file by its first part only.
      if (!bNull && s.find('\0') != std::string::npos)
        result(s, Outcome::kError, "Name holds a NUL byte (a NUL-separated list needs --null)");
      else
        take(s);
    }
  }
  flush();
  if (pPool)
    for (const std::string& s : pPool->Notes()) out.Message(s);
  pPool.reset();
  pGuard.reset();
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
