// Property: for any job code and any argument texts, MACRO_Handler answers 0 or 1, leaves a
// NUL-terminated result within 256 bytes and never writes past byte 256 of either buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  if (cb < 1) return 0;
  // First byte: job code (-1..3); the rest: list text, then after a NUL the path text.
  int32_t iJob = static_cast<int32_t>(pb[0] % 5) - 1;
  std::string sRest(reinterpret_cast<const char*>(pb + 1), cb - 1);
  std::string sList = sRest.substr(0, sRest.find('\0'));
  std::string sPath = sRest.size() > sList.size() ? sRest.substr(sList.size() + 1) : "";
  sPath = sPath.substr(0, sPath.find('\0'));
  if (iJob != 0) sPath = "\x01no such document";  // jobs 1 and 2 must not read real files here

  unsigned char abResult[300], abMacros[300];
  std::memset(abResult, 0xA5, sizeof abResult);
  std::memset(abMacros, 0xA5, sizeof abMacros);
  int32_t r = ENG_iHandler(iJob, sPath.c_str(), sList.c_str(), reinterpret_cast<char*>(abResult),
                           "", reinterpret_cast<char*>(abMacros));
  if (r != 0 && r != 1) std::abort();
  if (memchr(abResult, 0, 256) == nullptr) std::abort();
  for (size_t i = 256; i < sizeof abResult; ++i)
    if (abResult[i] != 0xA5 || abMacros[i] != 0xA5) std::abort();
  return 0;
}
