// What the fuzz targets share: inputs handed to the library as files, the counting seam that
// tells whether a call gave back every file, block and search it took, and a check that stops the
// run with the failed condition named.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "host_fault.h"

#define FZ_CHECK(cond)                                                                  \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "property broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// A file holding exactly pb[0..cb), replacing what slot iSlot (0-7) held before; its path stays
// the same for the run. In memory where the platform allows (memfd), otherwise a temporary file.
const char* FZ_szFile(int iSlot, const uint8_t* pb, size_t cb);

// Starts counting platform calls and resources for one input.
inline void FZ_Begin() { HFI_Install(); }
// Every file, block, global block and search taken since FZ_Begin was given back.
inline void FZ_CheckGivenBack() { FZ_CHECK(HFI_iAllGivenBack()); }

// ASCII upper-casing, the library's case folding.
inline std::string FZ_Upper(std::string s) {
  for (char& ch : s)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return s;
}

// The text before the first NUL of pb[0..cb), and the text between it and the next NUL.
inline std::pair<std::string, std::string> FZ_Texts(const uint8_t* pb, size_t cb) {
  std::string s(reinterpret_cast<const char*>(pb), cb);
  size_t at = s.find('\0');
  if (at == std::string::npos) return {s, ""};
  std::string sSecond = s.substr(at + 1);
  return {s.substr(0, at), sSecond.substr(0, sSecond.find('\0'))};
}
