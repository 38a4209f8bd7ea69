// String and path utilities: text length, case-insensitive position, search spec from a directory
// list, short path form, current and Windows directories.
#include "strutil.h"

#include <string.h>

#include "host.h"
#include "tul.h"

char UTL_chFold(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch; }

void UTL_Fold(char* szText) {
  for (char* p = szText; *p; ++p) *p = UTL_chFold(*p);
}

int32_t UTL_iCopyText(char* szArea, const char* szText) {
  if (szText == nullptr) szText = "";
  for (int i = 0; i < ZM_TEXT_AREA; ++i) {
    szArea[i] = szText[i];
    if (szText[i] == '\0') return 1;
  }
  szArea[0] = '\0';
  return 0;
}

int32_t UTL_iStrLen(const char* szText) {
  return szText ? static_cast<int32_t>(strlen(szText)) : 0;
}

int32_t UTL_iInStr(int32_t iStart, const char* szString, const char* szSearch) {
  if (szString == nullptr) szString = "";
  if (szSearch == nullptr) szSearch = "";
  size_t n = strlen(szString), m = strlen(szSearch);
  // Widened first: iStart - 1 must not overflow for the most negative start.
  int64_t k = static_cast<int64_t>(iStart) - 1;
  if (k < 0) k = 0;
  if (static_cast<uint64_t>(k) > n || m > n) return 0;
  for (size_t d = static_cast<size_t>(k); d <= n - m; ++d) {
    size_t i = 0;
    while (i < m && UTL_chFold(szString[d + i]) == UTL_chFold(szSearch[i])) ++i;
    if (i == m) return static_cast<int32_t>(d + 1);
  }
  return 0;
}

int32_t UTL_iMakeSpec(const char* szPath, char* szSpec) {
  if (szSpec == nullptr) return 0;
  szSpec[0] = '\0';
  if (szPath == nullptr || szPath[0] == '\0') return 0;
  int32_t p = UTL_iInStr(1, szPath, ";");
  size_t cbBase = p ? static_cast<size_t>(p - 1) : strlen(szPath);
  // A separator anywhere in the base counts, not only at its end: 'C:\DOCS' gives 'C:\DOCS*.*'.
  int bSep = 0;
  for (size_t i = 0; i < cbBase; ++i) bSep |= iIsPathSep(szPath[i]);
  size_t cbSuffix = bSep ? 3 : 4;
  if (cbBase > ZM_TEXT_AREA - 1 - cbSuffix) return 0;
  char szWork[ZM_TEXT_AREA];
  memcpy(szWork, szPath, cbBase);
  char* pEnd = szWork + cbBase;
  if (!bSep) *pEnd++ = g_chPathSep;
  memcpy(pEnd, "*.*", 4);
  size_t cbSpec = cbBase + cbSuffix;
  memcpy(szSpec, szWork, cbSpec + 1);
  return static_cast<int32_t>(cbSpec + 1);
}

int32_t UTL_lDosPath(const char* szLongPath, char* szShortPath, int32_t cchBuffer) {
  if (szLongPath == nullptr || szShortPath == nullptr) return 0;
  char szWork[ZM_DOSPATH_AREA] = {0};
  uint32_t cch = cchBuffer < 0 ? 0u : static_cast<uint32_t>(cchBuffer);
  if (cch > ZM_DOSPATH_AREA) cch = ZM_DOSPATH_AREA;
  // The platform answers the length it wrote, or the size it needs (NUL included) without
  // writing; only a written short form is handed on.
  uint32_t r = g_zmHost.pfnGetShortPathName(szLongPath, szWork, cch);
  if (r == 0 || r >= cch) return 0;
  szWork[r] = '\0';
  memcpy(szShortPath, szWork, r + 1);
  return 1;
}

char* UTL_pszGetCWD(char* szBuffer, int32_t iMaxLen) {
  char szDir[ZM_MAX_PATH];
  uint32_t n = g_zmHost.pfnGetCurrentDirectory(ZM_MAX_PATH, szDir);
  if (n == 0 || n >= ZM_MAX_PATH || szBuffer == nullptr) return nullptr;
  if (iMaxLen < 0 || static_cast<uint32_t>(iMaxLen) < n + 1) return nullptr;
  memcpy(szBuffer, szDir, n + 1);
  return szBuffer;
}

int32_t UTL_iGetWindowsDirectory(char* szBuffer) {
  if (szBuffer == nullptr) return 0;
  char szDir[ZM_TEXT_AREA];
  uint32_t n = g_zmHost.pfnGetWindowsDirectory(szDir, ZM_TEXT_AREA);
  if (n == 0 || n >= ZM_TEXT_AREA) {
    szBuffer[0] = '\0';
    return 0;
  }
  memcpy(szBuffer, szDir, n + 1);
  return static_cast<int32_t>(n + 1);
}
