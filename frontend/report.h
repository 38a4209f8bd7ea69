// zebscan's output: one line (or one JSON object) per file in clamscan's form, a summary block
// with clamscan's field names where they mean the same, the progress line, the exit status.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>

#include "scanner.h"

namespace zebscan {

// The JSON output's version; it changes when a field changes meaning or type.
constexpr int kJsonSchema = 1;

struct ReportOptions {
  bool bJson = false;
  bool bInfectedOnly = false;  // only findings on the report (errors still go to stderr)
  bool bSkipped = true;        // SKIPPED lines (--skipped=no leaves them out)
  bool bNames = false;         // the macro names read, under each document
  bool bSummary = true;
  bool bProgress = false;  // a progress line on stderr (a terminal)
};

struct EngineInfo {
  std::string sVersion;  // the loaded library's version
  int nDefinitions = 0;  // MACRO_Signatures()
};

class Report {
 public:
  Report(std::FILE* pOut, std::FILE* pErr, ReportOptions options, EngineInfo engine);

  // One file's outcome, or a directory that could not be walked (an error) or was left out.
  void Add(const FileResult& r);
  // Prints the summary block, unless it was switched off, and flushes the report.
  void Finish(double seconds, size_t nDirectories);
  // 1 when something was found; else 2 when an error occurred or the report could not be
  // written; else 0.
  int ExitStatus() const;

 private:
  void Print(const FileResult& r);
  void Line(std::FILE* p, const std::string& s);
  void ClearProgress();
  void Progress();

  std::FILE* m_pOut;
  std::FILE* m_pErr;
  ReportOptions m_options;
  EngineInfo m_engine;
  bool m_bSameFile;  // stdout and stderr are one file (a terminal, or 2>&1)
  bool m_bProgressShown = false;
  std::chrono::steady_clock::time_point m_tLastProgress;
  size_t m_nScanned = 0, m_nSkipped = 0, m_nWithMacros = 0, m_nInfected = 0, m_nErrors = 0;
  bool m_bWriteFailed = false;
  std::string m_sLine;
};

}  // namespace zebscan
