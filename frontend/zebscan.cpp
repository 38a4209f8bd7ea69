// zebscan: the command-line front end of zebmacro. Scans files and directory trees for WordBasic
// macro viruses through the library's exports, loaded at run time.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "deflist.h"
#include "platform.h"
#include "report.h"
#include "scanner.h"
#include "zmapi.h"

namespace {

// Walks that list more files than this show a progress line on a terminal.
constexpr size_t kProgressAbove = 300;

int Run(int argc, char** argv) {
  CLI::App app{
      "zebscan: finds WordBasic macro viruses in Word 6/95 documents.\n"
      "Exit status: 0 nothing found, 1 a virus found, 2 errors and nothing found.",
      "zebscan"};
  app.set_version_flag("--version", std::string("zebscan ") + ZEBSCAN_VERSION);
  std::vector<std::string> paths;
  zebscan::ScanOptions scan;
  zebscan::ReportOptions report;
  bool bNoSummary = false, bList = false;
  std::string sLibrary = ZmLibraryName();
  app.add_option("PATH", paths, "Files to scan; directories are walked")->type_name("");
  app.add_option("--filter", scan.sFilter, "File-name filter of directory walks")
      ->capture_default_str();
  app.add_flag("--deep", scan.bDeep, "Also scan the macro bodies of every document with macros");
  app.add_option("--raw", scan.sRawName, "Search every file's raw bytes for this signature instead")
      ->check(CLI::IsMember(zebscan::RawScanNames()));
  app.add_flag("--infected", report.bInfectedOnly, "Print only findings");
  app.add_flag("--no-summary", bNoSummary, "Leave out the summary block");
  app.add_flag("--json", report.bJson, "One JSON object per file, then the summary");
  app.add_flag("--names", report.bNames, "Show the macro names read from each document");
  app.add_flag("--list-definitions", bList, "List the signature database and exit");
  CLI::Option* pLibrary =
      app.add_option("--library", sLibrary, "The zebmacro library to load")->capture_default_str();
  try {
    app.parse(argc, argv);
    if (!bList && paths.empty()) throw CLI::RequiredError("PATH");
  } catch (const CLI::ParseError& e) {
    int iExit = app.exit(e);
    return iExit == 0 ? 0 : 2;
  }
  report.bSummary = !bNoSummary;
  bool bLibraryGiven = pLibrary->count() > 0;

  if (bList) {
    zebscan::ListDefinitions(stdout, report.bJson);
    return 0;
  }
  // Without --library: the library beside zebscan by its full path (a sanitizer's dlopen does not
  // see zebscan's RUNPATH), then by its bare name (the platform's own search).
  ZmApi api;
  bool bLoaded = false;
  if (!bLibraryGiven && !zebscan::ExecutableDirectory().empty())
    bLoaded = ZmLoadApi((zebscan::ExecutableDirectory() + ZmLibraryName()).c_str(), &api) >= 0;
  if (!bLoaded) bLoaded = ZmLoadApi(sLibrary.c_str(), &api) >= 0;
  if (!bLoaded || !api.MACRO_Handler || !api.MACRO_ScanRaw || !api.MACRO_CallTraverse) {
    std::fprintf(stderr, "zebscan: cannot load %s\n", sLibrary.c_str());
    return 2;
  }

  auto tStart = std::chrono::steady_clock::now();
  zebscan::Scanner scanner(api, scan);
  zebscan::Report out(stdout, report);
  bool bProgress = zebscan::StderrIsTerminal();
  for (const std::string& sPath : paths) {
    std::error_code ec;
    if (!std::filesystem::is_directory(sPath, ec)) {
      out.Add(scanner.ScanFile(sPath));
      continue;
    }
    std::vector<std::string> files;
    std::string sError;
    if (!scanner.ListDirectory(sPath, &files, &sError)) {
      out.AddError(sPath, sError);
      continue;
    }
    bool bShow = bProgress && files.size() > kProgressAbove;
    for (size_t i = 0; i < files.size(); ++i) {
      if (bShow) std::fprintf(stderr, "\rzebscan: %zu/%zu", i + 1, files.size());
      zebscan::FileResult r = scanner.ScanFile(files[i]);
      if (bShow) std::fprintf(stderr, "\r%*s\r", 40, "");
      out.Add(r);
      if (bShow) std::fflush(stdout);  // keep the report's lines ahead of the progress line
    }
  }
  std::chrono::duration<double> dt = std::chrono::steady_clock::now() - tStart;
  out.Finish(dt.count());
  return out.ExitStatus();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zebscan: %s\n", e.what());
    return 2;
  }
}
