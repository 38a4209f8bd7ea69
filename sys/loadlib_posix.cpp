// Shared libraries on POSIX: dlopen, dlsym, and the versioned name that the file resolves to.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>

#include "loadlib.h"

namespace zm {

std::string SharedLibraryName(const std::string& sName) { return "lib" + sName + ".so"; }

void* LoadSharedLibrary(const std::string& sPath) {
  return dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* SharedLibrarySymbol(void* hLibrary, const char* szName) { return dlsym(hLibrary, szName); }

std::string SharedLibraryPath(const void* pv) {
  Dl_info info;
  char szReal[PATH_MAX];
  if (pv == nullptr || dladdr(pv, &info) == 0 || info.dli_fname == nullptr ||
      realpath(info.dli_fname, szReal) == nullptr)
    return "";
  return szReal;
}

std::string SharedLibraryVersion(const void* pv) {
  // libzebmacro.so.1.2.3: the installed name's version part.
  const std::string sReal = SharedLibraryPath(pv);
  const size_t i = sReal.find(".so.");
  return i != std::string::npos && sReal.find('/', i) == std::string::npos ? sReal.substr(i + 4)
                                                                           : "unknown";
}

}  // namespace zm
