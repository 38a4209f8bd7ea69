// Numbered-macro heuristic: exactly three names of the form capital letter, digit 7-9, and at
// least two more digits anywhere after them identify "Macro.Word.Outlaw".
#include <string.h>

#include "engine.h"

namespace {

int IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

int IsNumberedName(const char* szName) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(szName);
  if (p[0] < 'A' || p[0] > 'X') return 0;
  if (p[1] < '7' || p[1] > '9') return 0;
  int nDigits = 0;
  for (p += 2; *p; ++p) nDigits += IsDigit(*p);
  return nDigits >= 2;
}

}  // namespace

int32_t ENG_iHeuristic(int32_t iLast, char* szName, char* szList) {
  int32_t nCount = 0;
  szName[0] = '\0';
  szList[0] = '\0';
  for (int32_t k = 0; k <= iLast; ++k) {
    if (!IsNumberedName(g_aszMacroNames[k])) continue;
    // Only three names are ever kept: at most 3 x 31 bytes of a 256-byte list.
    if (++nCount <= 3) {
      strcat(szList, g_aszMacroNames[k]);
      strcat(szList, "&");
    }
  }
  if (nCount != 3) return 0;
  strcpy(szName, ZM_TXT_OUTLAW);
  return 1;
}
