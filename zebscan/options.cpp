// The options as clamscan users type them, where they mean the same.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>

#include "deflist.h"
#include "fsys.h"
#include "platform.h"
#include "textutil.h"
#include "zmapi.h"

namespace zebscan {
namespace {

// --file-timeout in seconds: from 10 ms, which a worker's start and a file's scan outlast, to a
// week, which the milliseconds of the pool's clock hold with room to spare.
constexpr double kMinTimeout = 0.01, kMaxTimeout = 7 * 24 * 3600;

std::string TimeoutError(std::string& s) {
  char* pEnd = nullptr;
  double d = std::strtod(s.c_str(), &pEnd);
  if (pEnd == s.c_str() || *pEnd != '\0' || !(d >= kMinTimeout && d <= kMaxTimeout))
    return "seconds from 0.01 to 604800 (a week), not " + s;
  return "";
}

zm::LinkPolicy Policy(const std::string& s) { return static_cast<zm::LinkPolicy>(s[0] - '0'); }

// The help of an option that this build takes but cannot act on says so: nobody relies on it.
std::string InThisBuild(const std::string& sHelp, bool bActs) {
  return bActs ? sHelp : sHelp + " (does nothing in this build)";
}

// What the report shows, and where.
void AddOutputOptions(CLI::App* pApp, Options* p, std::string* psSkipped) {
  CLI::App& app = *pApp;
  ReportOptions& report = p->report;
  app.add_flag("-i,--infected", report.bInfectedOnly,
               "Print only findings on the report (errors still go to stderr)");
  app.add_flag_callback(
      "-o,--suppress-ok-results", [&report] { report.bOk = false; }, "Leave OK lines out");
  app.add_option("--skipped", *psSkipped, "Print SKIPPED lines (yes or no)")
      ->check(CLI::IsMember({"yes", "no"}))
      ->capture_default_str();
  app.add_flag("--no-summary", p->bNoSummary, "Leave out the summary block");
  app.add_flag("--quiet", report.bQuiet,
               "Print nothing but errors (the exit status tells the outcome; the log keeps all)");
  app.add_flag("--stdout", p->bStdout, "Errors and messages to stdout, not stderr");
  app.add_flag("-v,--verbose", report.bVerbose,
               "'Scanning PATH' before the line of each file opened");
  app.add_option("-l,--log", p->sLog, "Append the report, errors and messages to this file")
      ->type_name("FILE");
  app.add_flag("--json", report.bJson,
               "One JSON object per file, then the summary; messages on stderr as JSON too");
  app.add_flag("--names", report.bNames, "Show the macro names read from each document");
  app.add_flag("--macros", report.bMacros,
               "Under each document with macros, a line a macro: name, size, key, SHA-256");
  app.add_flag("--source", report.bSource, "The same, and each macro's WordBasic source under it");
  app.add_option("--extract", p->sExtract,
                 "Write each document's macros below this directory: NAME.bin (the body in the "
                 "clear) and NAME.wbs (its source), a folder a document")
      ->type_name("DIR");
  CLI::Option* pCopy =
      app.add_option("--copy", p->sCopy, "Copy infected files below this directory, path kept")
          ->type_name("DIR");
  app.add_option("--move", p->sMove, "Move infected files below this directory, path kept")
      ->type_name("DIR")
      ->excludes(pCopy);
}

// Which files a walk looks at.
void AddWalkOptions(CLI::App* pApp, Options* p, std::string* psDirLinks, std::string* psFileLinks) {
  CLI::App& app = *pApp;
  // One pattern each time, as clamscan takes them: the paths after it are paths.
  auto glob = [&app](const char* szName, std::vector<std::string>* pv, const char* szHelp) {
    app.add_option(szName, *pv, szHelp)
        ->type_name("GLOB")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  glob("--include", &p->walk.include,
       "Look only at files of a walk whose name matches (repeatable)");
  glob("--exclude", &p->walk.exclude, "Skip files of a walk whose name matches (repeatable)");
  glob("--exclude-dir", &p->walk.excludeDir,
       "Skip directories of a walk whose name matches (repeatable)");
  app.add_option("--max-depth", p->walk.iMaxDepth, "Look no deeper than this below each directory")
      ->check(CLI::NonNegativeNumber);
  // Taken as text: a counting flag's variable is zeroed when CLI11 adds it, and "=0" counts as -1.
  app.add_flag("--follow-dir-symlinks{2}", *psDirLinks,
               "Directory links: 0 never, 1 named ones (default), 2 always (the bare flag)")
      ->check(CLI::IsMember({"0", "1", "2"}))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--follow-file-symlinks{2}", *psFileLinks,
               "File links: 0 never, 1 named ones (default), 2 always (the bare flag)")
      ->check(CLI::IsMember({"0", "1", "2"}))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("-r,--recursive", p->bRecursive,
               "Accepted for clamscan's sake: directories are always walked");
  app.add_option("--file-list", p->sFileList,
                 "Scan the paths listed in this file, one per line ('-': stdin)")
      ->type_name("FILE");
  app.add_flag("--null", p->bNull, "--file-list entries end with NUL, as find -print0 writes them");
  app.add_flag("--library-walk", p->bLibraryWalk,
               "Walk directories with the library's MACRO_CallTraverse and its rules");
  app.add_option("--filter", p->sFilter, "File-name filter of --library-walk")
      ->capture_default_str();
}

// A size as clamscan reads it (digits, then k, m or g), into a byte count.
CLI::Validator SizeValidator() {
  return CLI::Validator(
      [](std::string& s) {
        uint64_t cb;
        return zm::ParseSize(s, &cb) ? "" : "a size such as 400M (k, m or g may follow), not " + s;
      },
      "SIZE");
}

// How each file is scanned.
void AddScanOptions(CLI::App* pApp, Options* p, std::string* psScanSize, std::string* psFileSize) {
  CLI::App& app = *pApp;
  app.add_flag("--deep", p->scan.bDeep, "Also scan the macro bodies of every document with macros");
  app.add_flag("--alert-encrypted-doc", p->scan.bAlertEncrypted,
               "Report encrypted documents as Heuristics.Encrypted.Doc FOUND, not SKIPPED");
  // Containers, as clamscan has these: archives and mail opened, within its limits (0: none).
  // Where this build opens none, each is an ERROR, and only the switches act (=no: SKIPPED).
  container::Options& c = p->scan.containers;
  const bool bOpens = container::Supported(container::Kind::kZip);
  const char* szUnopened = bOpens ? "" : " (this build opens none: each is an ERROR)";
  app.add_flag(
      "--scan-archive", c.bScanArchive,
      std::string("Open archives and compressed files (=no: leave them SKIPPED)") + szUnopened);
  app.add_flag(
      "--scan-mail", c.bScanMail,
      std::string(
          "Open mail, mbox, TNEF and Outlook (.pst, .ost) files (=no: leave them SKIPPED)") +
          szUnopened);
  app.add_option("--max-recursion", c.limits.nMaxRecursion,
                 InThisBuild("Containers inside one another, the file itself the first", bOpens))
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--max-files", c.limits.nMaxFiles,
                 InThisBuild("Members looked at in one file, at every depth", bOpens))
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--max-scansize", *psScanSize,
                 InThisBuild("Bytes read out of one file's members", bOpens))
      ->check(SizeValidator())
      ->capture_default_str();
  app.add_option("--max-filesize", *psFileSize,
                 InThisBuild("Bytes of one member, and of a container file itself", bOpens))
      ->check(SizeValidator())
      ->capture_default_str();
  app.add_flag(
      "--alert-exceeds-max", c.bAlertExceedsMax,
      InThisBuild("A limit reached is Heuristics.Limits.Exceeded.<Limit> FOUND, not an ERROR",
                  bOpens));
  app.add_flag(
      "--alert-encrypted",
      [p](int64_t n) { p->scan.bAlertEncrypted = p->scan.containers.bAlertEncrypted = n > 0; },
      bOpens ? "Encrypted documents and archive members are Heuristics.Encrypted.* FOUND"
             : "Encrypted documents are Heuristics.Encrypted.Doc FOUND (no archive is opened in "
               "this build)");
  app.add_flag(
      "--alert-encrypted-archive", c.bAlertEncrypted,
      InThisBuild("Encrypted archive members are Heuristics.Encrypted.* FOUND, not an ERROR",
                  bOpens));
  app.add_option("--raw", p->scan.sRawName,
                 "Search every file's raw bytes for this signature instead")
      ->check(CLI::IsMember(RawScanNames()));
}

// The workers, the library, and what to do instead of a scan.
void AddRunOptions(CLI::App* pApp, Options* p, CLI::Option** ppLibrary) {
  CLI::App& app = *pApp;
  app.add_option("-j,--jobs", p->nJobs,
                 "Worker processes scanning side by side (default: one per core this process may "
                 "use; at most two per core are started; 1 scans in this process)")
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  app.add_option("--file-timeout", p->dFileTimeout,
                 "Seconds a worker may spend on one file before it is replaced (0.01 to 604800)")
      ->check(CLI::Validator(TimeoutError, "SECONDS"))
      ->capture_default_str();
  app.add_option("--io-depth", p->nIoDepth,
                 InThisBuild("Files whose first bytes are asked of the disk ahead of their scan, "
                             "while the tree is not in the system's cache (0: none)",
                             zm::CanReadAhead()))
      ->check(CLI::Range(0u, 4096u))
      ->capture_default_str();
  app.add_flag("--list-definitions", p->bListDefinitions,
               "List the loaded library's signature database and exit");
  app.add_flag("-V,--version", p->bVersion,
               "Print the versions of zebscan and the library and exit");
  *ppLibrary = app.add_option("--library", p->sLibrary, "The zebmacro library to load")
                   ->capture_default_str();
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* pOptions, int* piExit) {
  Options& o = *pOptions;
  CLI::App app{
      "zebscan: finds WordBasic macro viruses in Word 6/95 documents.\n"
      "Every file of a walk is looked at; Word 6/95 documents are told by their content.\n"
      "Exit status: 0 nothing found, 1 a virus found, 2 errors and nothing found.",
      "zebscan"};
  if (!container::Supported(container::Kind::kZip))
    app.footer(
        "This build opens no archive or mail: each is an ERROR. Extract it and scan the folder, "
        "or use the Linux build.");
  // A path may begin with '/' on Windows too (from the current drive's root): no option does.
  app.allow_windows_style_options(false);
  o.nJobs = zm::UsableCores();
  o.sLibrary = ZmLibraryName();
  std::string sDirLinks = "1", sFileLinks = "1", sSkipped = "yes";
  std::string sScanSize = "400M", sFileSize = "100M";
  CLI::Option* pLibrary = nullptr;
  app.add_option("PATH", o.paths, "Files to scan; directories are walked; '-' scans stdin")
      ->type_name("");
  AddScanOptions(&app, &o, &sScanSize, &sFileSize);
  AddOutputOptions(&app, &o, &sSkipped);
  AddWalkOptions(&app, &o, &sDirLinks, &sFileLinks);
  AddRunOptions(&app, &o, &pLibrary);
  std::vector<std::string> args = zm::ProgramArguments(argc, argv);
  // Usage errors come before --json is known; where it was asked for, they are JSON too.
  const bool bJsonAsked = std::find(args.begin(), args.end(), "--json") != args.end();
  app.failure_message([bJsonAsked](const CLI::App*, const CLI::Error& e) {
    return MessageLine(bJsonAsked, e.what()) +
           (bJsonAsked ? "" : "Run with --help for more information.\n");
  });
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
    app.parse(reversed);
    if (!o.bListDefinitions && !o.bVersion && o.paths.empty() && o.sFileList.empty())
      throw CLI::RequiredError("PATH");
    if (std::count(o.paths.begin(), o.paths.end(), "-") + (o.sFileList == "-") > 1)
      throw CLI::ValidationError("standard input is read once: '-' as a path or as the list");
  } catch (const CLI::ParseError& e) {
    *piExit = app.exit(e) == 0 ? 0 : 2;
    return false;
  }
  // What the scan lists of each document's macros: the most that any option asks for.
  o.scan.macros = !o.sExtract.empty() ? zm::MacroDetail::kBodies
                  : o.report.bSource  ? zm::MacroDetail::kSource
                  : o.report.bMacros  ? zm::MacroDetail::kList
                                      : zm::MacroDetail::kNone;
  o.report.bSummary = !o.bNoSummary;
  o.report.bSkipped = sSkipped == "yes";
  o.walk.dirLinks = Policy(sDirLinks);
  o.walk.fileLinks = Policy(sFileLinks);
  zm::ParseSize(sScanSize, &o.scan.containers.limits.cbMaxScanSize);
  zm::ParseSize(sFileSize, &o.scan.containers.limits.cbMaxFileSize);
  o.bLibraryNamed = pLibrary->count() > 0;
  return true;
}

}  // namespace zebscan
