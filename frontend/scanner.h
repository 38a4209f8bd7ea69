// The road of one document as zebscan drives the library: names read by the front end, job 0,
// job 2 after "MACRO_CHECK_FALSE_ALARMS", job 1 when asked for or when names are missing; and the
// directory walk through MACRO_CallTraverse.
#pragma once
#include <string>
#include <vector>

#include "namereader.h"
#include "zmapi.h"

namespace zebscan {

struct ScanOptions {
  bool bDeep = false;    // job 1 on every document with macros
  std::string sRawName;  // not empty: MACRO_ScanRaw with this short name instead
  std::string sFilter = "*.doc;*.dot";
};

enum class Outcome { kOk, kFound, kError };

struct FileResult {
  std::string sPath;
  Outcome outcome = Outcome::kOk;
  std::string sVirus;         // kFound: the library's answer
  std::string sFoundBy;       // kFound: "names", "signature", "deep scan" or "raw scan"
  std::string sResultMacros;  // kFound: the macro list the library answered with, if any
  std::string sReason;        // kError: why the document could not be scanned
  DocNames doc;               // the names read (not in raw mode)
  size_t nLeftOut = 0;        // names that no MACRO_Handler call can carry
  size_t nCalls = 0;          // job-0 calls the names needed
  bool bFallback = false;     // names missing, left out or split: job 1 runs as well
  bool bUnconfirmed = false;  // job 0 asked for confirmation and job 2 found nothing
};

class Scanner {
 public:
  Scanner(const ZmApi& api, ScanOptions options) : m_api(api), m_options(std::move(options)) {}

  // Scans one file. Never fails: every way ends in a FileResult.
  FileResult ScanFile(const std::string& sPath);

  // Walks the tree under sDir with MACRO_CallTraverse into a temporary list file (removed on every
  // way out) and answers the listed files in byte order of their paths. False with a reason in
  // *psError when the walk cannot be made.
  bool ListDirectory(const std::string& sDir, std::vector<std::string>* pPaths,
                     std::string* psError);

 private:
  struct Answer {
    int32_t iReturn;
    std::string sResult, sMacros;
  };
  Answer Call(int32_t iJob, const std::string& sPath, const std::string& sList);
  void ScanNames(FileResult* pR);

  ZmApi m_api;
  ScanOptions m_options;
};

}  // namespace zebscan
