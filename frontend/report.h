// zebscan's output: one line (or one JSON object) per file, a summary block, the exit status.
#pragma once
#include <cstdio>
#include <string>

#include "scanner.h"

namespace zebscan {

struct ReportOptions {
  bool bJson = false;
  bool bInfectedOnly = false;  // only findings
  bool bNames = false;         // the macro names read, under each document
  bool bSummary = true;
};

class Report {
 public:
  Report(std::FILE* pOut, ReportOptions options) : m_pOut(pOut), m_options(options) {}

  void Add(const FileResult& r);
  // A path that could not be scanned at all (a directory whose walk failed).
  void AddError(const std::string& sPath, const std::string& sReason);
  // Prints the summary block, unless it was switched off.
  void Finish(double seconds);
  // 1 when something was found, else 2 when an error occurred, else 0.
  int ExitStatus() const { return m_nInfected ? 1 : m_nErrors ? 2 : 0; }

 private:
  void Print(const FileResult& r);

  std::FILE* m_pOut;
  ReportOptions m_options;
  size_t m_nScanned = 0, m_nWithMacros = 0, m_nInfected = 0, m_nErrors = 0;
};

}  // namespace zebscan
