// zebscan's output: one line (or one JSON object) per file in clamscan's form, a summary block
// with clamscan's field names where they mean the same, the progress line, the exit status.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>

#include "extract.h"
#include "quarantine.h"
#include "scanner.h"
#include "zmapi.h"

namespace zebscan {

struct ReportOptions {
  bool bJson = false;
  bool bInfectedOnly = false;  // only findings on the report (errors still go to stderr)
  bool bSkipped = true;        // SKIPPED lines (--skipped=no leaves them out)
  bool bOk = true;             // OK lines (-o leaves them out)
  bool bQuiet = false;    // nothing on the report (errors still go to stderr; the log keeps it)
  bool bVerbose = false;  // "Scanning PATH" before each file that was opened
  bool bNames = false;    // the macro names read, under each document
  bool bMacros = false;   // --macros: a line a macro (and the document's flags) under each document
  bool bSource = false;   // --source: those lines, each macro's source under its own
  bool bSummary = true;
  bool bProgress = false;  // a progress line on stderr (a terminal)
};

// A message of zebscan's own for stderr: "zebscan: TEXT", or with --json a JSON object,
// {"schema": 1, "message": TEXT}; a line end included.
std::string MessageLine(bool bJson, const std::string& sText);

class Report {
 public:
  // pErr is where errors and messages go (stdout with --stdout); pLog, when not null, gets the
  // report as it would be printed without --quiet, and every error and message.
  Report(std::FILE* pOut, std::FILE* pErr, std::FILE* pLog, ReportOptions options,
         zm::EngineFacts engine);

  // One file's outcome, or a directory that could not be walked (an error) or was left out;
  // with what --copy or --move did with it, and what --extract did.
  void Add(const zm::FileResult& r, const Placement* pPlaced = nullptr,
           const Extracted* pExtracted = nullptr);
  // A message of zebscan's own (a warning, a note), to stderr and the log.
  void Message(const std::string& sText);
  // Hands what was written on to the report's and the log's files.
  void Flush();
  // Prints the summary block, unless it was switched off, and flushes the report.
  void Finish(double seconds, size_t nDirectories);
  // 1 when something was found; else 2 when an error occurred, the report or log could not be
  // written, or --extract could not write out a document's macros; else 0.
  int ExitStatus() const;
  // A write to the report failed (its reader has gone): nothing more is written there.
  bool WriteFailed() const { return m_iWriteError != 0; }

 private:
  void Print(const zm::FileResult& r, const Placement* pPlaced, const Extracted* pExtracted);
  // A container's member that has a line of its own (a document, or one not judged in full).
  // pListing: the member document's macros, listed under its line, and pExtracted what --extract
  // did with them; null when it has none.
  void PrintMember(const zm::FileResult& r, const container::Member& m,
                   const zm::MacroListing* pListing, const Extracted* pExtracted);
  void Write(std::FILE* p, const std::string& s);
  void ClearProgress();
  void Progress();

  std::FILE* m_pOut;
  std::FILE* m_pErr;
  std::FILE* m_pLog;
  ReportOptions m_options;
  zm::EngineFacts m_engine;
  bool m_bSameFile;  // stdout and stderr are one file (a terminal, or 2>&1)
  bool m_bProgressShown = false;
  std::chrono::steady_clock::time_point m_tLastProgress;
  size_t m_nScanned = 0, m_nSkipped = 0, m_nWithMacros = 0, m_nInfected = 0, m_nErrors = 0;
  // Containers: whether the run met one, and the members looked at in them.
  bool m_bContainers = false;
  uint64_t m_nMembers = 0;
  int m_iWriteError = 0;  // the cause of the report's first failed write (errno), or 0
  int m_iLogError = 0;    // the same for the log
  int m_iErrError = 0;    // and for stderr, whose failures are not reported anywhere
  std::string m_sLine, m_sErrLine;
  size_t m_nNotExtracted = 0;  // documents whose macros --extract could not write out whole
};

}  // namespace zebscan
