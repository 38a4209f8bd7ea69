// zebscan's command line, read with CLI11 into one struct: what to scan, how, and how to report.
#pragma once
#include <string>
#include <vector>

#include "report.h"
#include "scanner.h"
#include "walk.h"

namespace zebscan {

struct Options {
  std::vector<std::string> paths;  // "-": standard input
  std::string sFileList;           // --file-list ("-": standard input)
  bool bNull = false;              // --null: the list's entries end with NUL
  zm::ScanOptions scan;
  ReportOptions report;
  zm::WalkOptions walk;
  bool bLibraryWalk = false;
  std::string sFilter = "*.doc;*.dot";
  unsigned nJobs = 1;
  double dFileTimeout = 120;  // seconds
  unsigned nIoDepth = 64;     // --io-depth: files whose heads are read ahead on a cold tree
  std::string sLog, sCopy, sMove;
  std::string sExtract;  // --extract: each document's macros written out below this directory
  bool bStdout = false;  // errors and messages to stdout
  bool bNoSummary = false;
  bool bRecursive = false;  // accepted, changes nothing
  bool bListDefinitions = false, bVersion = false;
  std::string sLibrary;
  bool bLibraryNamed = false;  // --library given: that one, not the one beside zebscan
};

// The command line into *pOptions; false with the exit status in *piExit when there is nothing
// more to do (--help: 0; a usage error, said on stderr: 2).
bool ParseOptions(int argc, char** argv, Options* pOptions, int* piExit);

}  // namespace zebscan
