// Property: for any texts and start position, TUL_iInStr answers what a plain search of the
// upper-cased (ASCII) texts from max(start, 1) does, 1-based, 0 when absent or when the start lies
// past the end of the text, and leaves both texts as they were.
//
// Input: 4 bytes of start position (little-endian, signed), the text, a NUL, the search text.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzzsupport.h"
#include "zebmacro.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  if (cb < 4) return 0;
  int32_t iStart =
      static_cast<int32_t>(pb[0] | pb[1] << 8 | pb[2] << 16 | static_cast<uint32_t>(pb[3]) << 24);
  // Small starts are the interesting ones; keep most of them near the text.
  if (!(pb[3] & 0x40)) iStart = static_cast<int8_t>(pb[0]);
  auto [sText, sSearch] = FZ_Texts(pb + 4, cb - 4);

  int64_t lFrom = iStart < 1 ? 1 : iStart;
  int32_t iExpected = 0;
  if (lFrom - 1 <= static_cast<int64_t>(sText.size())) {
    size_t at = FZ_Upper(sText).find(FZ_Upper(sSearch), static_cast<size_t>(lFrom - 1));
    iExpected = at == std::string::npos ? 0 : static_cast<int32_t>(at + 1);
  }
  std::string sTextCopy = sText, sSearchCopy = sSearch;
  FZ_CHECK(TUL_iInStr(iStart, sTextCopy.c_str(), sSearchCopy.c_str()) == iExpected);
  FZ_CHECK(sTextCopy == sText && sSearchCopy == sSearch);
  return 0;
}
