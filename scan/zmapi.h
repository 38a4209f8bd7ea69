// zebmacro's exports as a front end reaches them: the library loaded at run time and every export
// looked up by its undecorated name, one pointer a name of the export list (zm_exports.h).
#pragma once
#include <cstdint>
#include <string>

#include "zm_abi.h"
#include "zm_exports.h"

struct ZmApi {
#define ZM_POINTER(ret, name, params) ret(ZM_CALL* name) params = nullptr;
  ZM_EXPORT_LIST(ZM_POINTER)
#undef ZM_POINTER
};

// The number of exports.
#define ZM_COUNT_ONE(ret, name, params) +1
constexpr int kZmExports = 0 ZM_EXPORT_LIST(ZM_COUNT_ONE);
#undef ZM_COUNT_ONE

// Loads the library at szPath and looks up every export; a missing one stays null. Returns the
// number found, or -1 when the library cannot be loaded. The library stays loaded for the process.
int ZmLoadApi(const char* szPath, ZmApi* pApi);

// The exports of the library core linked into this program (the static core), as a table of the
// same kind: the database zebscan was built with, and the tests' library.
ZmApi ZmCompiledInApi();

// The library's file name on this platform ("zebmacro.dll" or "libzebmacro.so").
std::string ZmLibraryName();

namespace zm {

// What a loaded library tells of itself, for --version, the summary and VERSION.
struct EngineFacts {
  std::string sVersion;  // "1.0.0"
  int nDefinitions = 0;  // MACRO_Signatures()
  std::string sDate;     // the library file's modification time in ctime's form, or "unknown"
};
// The facts of the library whose exports api holds, loaded from sLibrary.
EngineFacts ReadEngineFacts(const ZmApi& api, const std::string& sLibrary);

// Loads the library whose exports a scan needs into *pApi. Unless bNamed (the user named
// *psLibrary), the one beside the executable first, by its full path (a sanitizer's dlopen does
// not see the executable's RUNPATH), then *psLibrary by the platform's own search. On success
// *psLibrary is what was loaded, for the workers to load too.
bool LoadScanLibrary(bool bNamed, std::string* psLibrary, ZmApi* pApi);

}  // namespace zm
