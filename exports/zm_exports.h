// The exported functions, once: return type, name and parameters, in the order of zebmacro.def.
// From this list come the run-time loader's table of pointers (scan/zmapi.h, whose types are
// checked against zebmacro.h as it is compiled), the number of exports, and the names that
// tools/check-exports compares with zebmacro.def and with the built library. zebmacro.h keeps the
// declarations, with their contracts, that a C caller reads.
#pragma once

// clang-format off
#define ZM_EXPORT_LIST(X)                                                                          \
  X(int32_t, MACRO_Handler, (int32_t iJob, const char* szDocPath, const char* szMacroList,         \
                             char* szResult, const char* szReserved, char* szResultMacros))        \
  X(int32_t, MACRO_Signatures, (void))                                                             \
  X(int32_t, MACRO_DecryptDef, (const char* szSource, char* szDest))                               \
  X(int32_t, MACRO_ScanRaw, (const char* szPath, const char* szName))                              \
  X(int32_t, MACRO_CallTraverse, (const char* szStartSpec, const char* szListFile,                 \
                                  const char* szFilter, int32_t iAppend))                          \
  X(int32_t, MACRO_lDosPath, (const char* szLongPath, char* szShortPath, int32_t cchBuffer))       \
  X(int32_t, TUL_iStrLen, (const char* szText))                                                    \
  X(int32_t, TUL_iInStr, (int32_t iStart, const char* szString, const char* szSearch))             \
  X(int32_t, TUL_szMakeSpec, (const char* szPath, char* szSpec))                                   \
  X(char*, TUL_szGetCWD, (char* szBuffer, int32_t iMaxLen, int32_t iReserved))                     \
  X(int32_t, TUL_szGetWindowsDirectory, (char* szBuffer))                                          \
  X(int32_t, TUL_iChDrive, (int32_t iDrive))                                                       \
  X(int32_t, TUL_iGetDrive, (void))                                                                \
  X(int32_t, TUL_iKindOfDrive, (int32_t chDrive))                                                  \
  X(int32_t, TUL_iCopyFile, (const char* szSource, const char* szDest))                            \
  X(int32_t, TUL_iWinHelp, (uint32_t hWnd, const char* szHelpFile, uint32_t uCommand,              \
                            uint32_t dwData))                                                      \
  X(int32_t, TUL_lGetActiveWindow, (void))
// clang-format on
