// Property: for any file content and name, MACRO_ScanRaw answers 1 exactly when the signature of
// the one of its five names that equals the name occurs somewhere in the file's bytes (wherever
// its read blocks begin and end), 0 for any other name, and closes the file it opened.
//
// Input: byte 0 picks the name (0-4 the five, 5 one in the wrong case, 6 a prefix, 7 the empty
// name); bytes 1-4, when bit 7 of byte 0 is set, plant the picked signature at that offset and
// stretch the file to reach it, so block edges are met often; the rest is the file.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "fuzzsupport.h"
#include "rawscan.h"
#include "zebmacro.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  if (cb < 5) return 0;
  int iPick = pb[0] & 7;
  int iEntry = iPick < 5 ? iPick : pb[1] % ZM_RAW_SIGNATURES;
  std::string sName = g_aRawSignatures[iEntry].szName;
  if (iPick == 5) sName[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(sName[0])));
  if (iPick == 6) sName.pop_back();
  if (iPick == 7) sName.clear();
  std::vector<uint8_t> abSig = zmdoc::HexBytes(g_aRawSignatures[iEntry].szSignature);

  std::vector<uint8_t> abFile(pb + 5, pb + cb);
  if (pb[0] & 0x80) {
    // Within the first three read blocks: every edge the search has is met there.
    uint32_t lAt = (pb[1] | pb[2] << 8 | pb[3] << 16 | static_cast<uint32_t>(pb[4]) << 24) %
                   (2 * ZM_RAW_BLOCK + 64);
    if (abFile.size() < lAt + abSig.size()) abFile.resize(lAt + abSig.size() + pb[4] % 64);
    std::copy(abSig.begin(), abSig.end(), abFile.begin() + lAt);
  }
  bool bThere =
      std::search(abFile.begin(), abFile.end(), abSig.begin(), abSig.end()) != abFile.end();

  const char* szPath = FZ_szFile(0, abFile.data(), abFile.size());
  FZ_Begin();
  int32_t r = MACRO_ScanRaw(szPath, sName.c_str());
  FZ_CHECK(r == (iPick < 5 && bThere ? 1 : 0));
  FZ_CHECK(HFI_uCallsOf(HC_OPEN) == 1 && HFI_uCallsOf(HC_CLOSE) == 1);
  FZ_CheckGivenBack();
  return 0;
}
