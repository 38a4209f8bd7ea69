// The exported entry points: thin forwards into the subsystems. The library is built without
// exceptions, so none can cross this boundary.
#include "decrypt.h"
#include "engine.h"
#include "filelist.h"
#include "rawscan.h"
#include "sigdb.h"
#include "tul.h"
#include "zebmacro.h"

ZM_EXPORT(int32_t)
MACRO_Handler(int32_t iJob, const char* szDocPath, const char* szMacroList, char* szResult,
              const char* szReserved, char* szResultMacros) {
  return ENG_iHandler(iJob, szDocPath, szMacroList, szResult, szReserved, szResultMacros);
}

ZM_EXPORT(int32_t) MACRO_Signatures(void) { return SIG_iSignatures(); }

ZM_EXPORT(int32_t) MACRO_DecryptDef(const char* szSource, char* szDest) {
  return SIG_iDecryptDef(szSource, szDest);
}

ZM_EXPORT(int32_t) MACRO_ScanRaw(const char* szPath, const char* szName) {
  return RAW_iScanRaw(szPath, szName);
}

ZM_EXPORT(int32_t)
MACRO_CallTraverse(const char* szStartSpec, const char* szListFile, const char* szFilter,
                   int32_t iAppend) {
  return FL_iCallTraverse(szStartSpec, szListFile, szFilter, iAppend);
}

ZM_EXPORT(int32_t) MACRO_lDosPath(const char* szLongPath, char* szShortPath, int32_t cchBuffer) {
  return UTL_lDosPath(szLongPath, szShortPath, cchBuffer);
}

ZM_EXPORT(int32_t) TUL_iStrLen(const char* szText) { return UTL_iStrLen(szText); }

ZM_EXPORT(int32_t) TUL_iInStr(int32_t iStart, const char* szString, const char* szSearch) {
  return UTL_iInStr(iStart, szString, szSearch);
}

ZM_EXPORT(int32_t) TUL_szMakeSpec(const char* szPath, char* szSpec) {
  return UTL_iMakeSpec(szPath, szSpec);
}

ZM_EXPORT(char*) TUL_szGetCWD(char* szBuffer, int32_t iMaxLen, int32_t /*iReserved*/) {
  return UTL_pszGetCWD(szBuffer, iMaxLen);
}

ZM_EXPORT(int32_t) TUL_szGetWindowsDirectory(char* szBuffer) {
  return UTL_iGetWindowsDirectory(szBuffer);
}

ZM_EXPORT(int32_t) TUL_iChDrive(int32_t iDrive) { return UTL_iChDrive(iDrive); }

ZM_EXPORT(int32_t) TUL_iGetDrive(void) { return UTL_iGetDrive(); }

ZM_EXPORT(int32_t) TUL_iKindOfDrive(int32_t chDrive) { return UTL_iKindOfDrive(chDrive); }

ZM_EXPORT(int32_t) TUL_iCopyFile(const char* szSource, const char* szDest) {
  return UTL_iCopyFile(szSource, szDest);
}

ZM_EXPORT(int32_t)
TUL_iWinHelp(uint32_t hWnd, const char* szHelpFile, uint32_t uCommand, uint32_t dwData) {
  return UTL_iWinHelp(hWnd, szHelpFile, uCommand, dwData);
}

ZM_EXPORT(int32_t) TUL_lGetActiveWindow(void) { return UTL_lGetActiveWindow(); }
