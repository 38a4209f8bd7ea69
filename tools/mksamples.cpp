// mksamples: writes zebscan's bundled sample documents into a directory, built with the tests'
// Word 6 document builder (tests/support/samples.cpp). Usage: mksamples OUTDIR
#include <cstdio>
#include <filesystem>
#include <string>

#include "docbuilder.h"
#include "samples.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mksamples OUTDIR\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[1], ec);
  for (const zmdoc::SampleDocument& s : zmdoc::SampleDocuments()) {
    std::string sPath = std::string(argv[1]) + "/" + s.name;
    if (s.bytes.empty() || !zmdoc::WriteFile(sPath, s.bytes)) {
      std::fprintf(stderr, "mksamples: cannot write %s\n", sPath.c_str());
      return 1;
    }
  }
  return 0;
}
