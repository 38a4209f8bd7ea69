// Loads libzebmacro.so with dlopen and resolves its exports with dlsym.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "zmapi.h"

int ZmLoadApi(const char* szPath, ZmApi* pApi) {
  std::memset(pApi, 0, sizeof *pApi);
  void* h = dlopen(szPath, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) return -1;
  void** apfn = reinterpret_cast<void**>(pApi);
  int n = 0;
  for (int i = 0; i < 17; ++i) n += (apfn[i] = dlsym(h, g_apszZmExports[i])) != nullptr;
  return n;
}

const char* ZmLibraryName() { return "libzebmacro.so"; }

std::string ZmLibraryVersion(const ZmApi& api) {
  Dl_info info;
  char szReal[PATH_MAX];
  if (api.MACRO_Handler == nullptr ||
      dladdr(reinterpret_cast<void*>(api.MACRO_Handler), &info) == 0 || info.dli_fname == nullptr ||
      realpath(info.dli_fname, szReal) == nullptr)
    return "unknown";
  // libzebmacro.so.1.2.3: the installed name's version part.
  const char* szSo = std::strstr(szReal, ".so.");
  return szSo && std::strchr(szSo + 4, '/') == nullptr ? szSo + 4 : "unknown";
}
