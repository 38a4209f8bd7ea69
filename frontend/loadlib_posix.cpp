// Loads libzebmacro.so with dlopen and resolves its exports with dlsym.
#include <dlfcn.h>

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
