// zebmacro's exports as a front end reaches them: the library loaded at run time and every export
// looked up by its undecorated name (LoadLibraryA/GetProcAddress on Windows, dlopen elsewhere).
#pragma once
#include <cstdint>
#include <string>

#include "zm_abi.h"

struct ZmApi {
  int32_t(ZM_CALL* MACRO_Handler)(int32_t, const char*, const char*, char*, const char*, char*);
  int32_t(ZM_CALL* MACRO_Signatures)();
  int32_t(ZM_CALL* MACRO_DecryptDef)(const char*, char*);
  int32_t(ZM_CALL* MACRO_ScanRaw)(const char*, const char*);
  int32_t(ZM_CALL* MACRO_CallTraverse)(const char*, const char*, const char*, int32_t);
  int32_t(ZM_CALL* MACRO_lDosPath)(const char*, char*, int32_t);
  int32_t(ZM_CALL* TUL_iStrLen)(const char*);
  int32_t(ZM_CALL* TUL_iInStr)(int32_t, const char*, const char*);
  int32_t(ZM_CALL* TUL_szMakeSpec)(const char*, char*);
  char*(ZM_CALL* TUL_szGetCWD)(char*, int32_t, int32_t);
  int32_t(ZM_CALL* TUL_szGetWindowsDirectory)(char*);
  int32_t(ZM_CALL* TUL_iChDrive)(int32_t);
  int32_t(ZM_CALL* TUL_iGetDrive)();
  int32_t(ZM_CALL* TUL_iKindOfDrive)(int32_t);
  int32_t(ZM_CALL* TUL_iCopyFile)(const char*, const char*);
  int32_t(ZM_CALL* TUL_iWinHelp)(uint32_t, const char*, uint32_t, uint32_t);
  int32_t(ZM_CALL* TUL_lGetActiveWindow)();
};

// Names of the exports, in the order of ZmApi's members.
extern const char* const g_apszZmExports[17];

// Loads the library at szPath and looks up every export; a missing one stays null. Returns the
// number found, or -1 when the library cannot be loaded. The library stays loaded for the process.
int ZmLoadApi(const char* szPath, ZmApi* pApi);

// The library's file name on this platform ("zebmacro.dll" or "libzebmacro.so").
const char* ZmLibraryName();

// The version of the loaded library whose exports pApi holds, as "1.2.3": from the DLL's version
// resource, or the versioned file name that the .so resolves to. "unknown" when it cannot tell.
std::string ZmLibraryVersion(const ZmApi& api);
