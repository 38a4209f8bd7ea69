// Shared libraries loaded at run time: dlopen and dlsym, or LoadLibraryA and GetProcAddress. One
// file per platform (loadlib_posix.cpp, loadlib_win32.cpp), picked by CMake.
#pragma once
#include <string>

namespace zm {

// The platform's file name of the shared library called sName ("zebmacro.dll", "libzebmacro.so").
std::string SharedLibraryName(const std::string& sName);
// Loads the library at sPath, which stays loaded for the process; null when it cannot be loaded.
void* LoadSharedLibrary(const std::string& sPath);
// The address of the symbol that the library exports by the undecorated name szName, or null.
void* SharedLibrarySymbol(void* hLibrary, const char* szName);
// The file of the loaded library holding the address pv (its path as the loader resolved it);
// empty when it cannot tell.
std::string SharedLibraryPath(const void* pv);
// The version of the loaded library holding the address pv, as "1.2.3": from the DLL's version
// resource, or the versioned file name that the .so resolves to. "unknown" when it cannot tell.
std::string SharedLibraryVersion(const void* pv);

}  // namespace zm
