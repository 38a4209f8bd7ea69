// What the fuzz targets share: inputs handed to the library as files, the counting seam that
// tells whether a call gave back every file, block and search it took, and a check that stops the
// run with the failed condition named.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
