// Loads zebmacro.dll with LoadLibraryA and resolves its exports with GetProcAddress.
#include <windows.h>

#include <cstring>

#include "zmapi.h"

int ZmLoadApi(const char* szPath, ZmApi* pApi) {
  std::memset(pApi, 0, sizeof *pApi);
  HMODULE h = LoadLibraryA(szPath);
  if (h == nullptr) return -1;
  FARPROC* apfn = reinterpret_cast<FARPROC*>(pApi);
  int n = 0;
  for (int i = 0; i < 17; ++i) n += (apfn[i] = GetProcAddress(h, g_apszZmExports[i])) != nullptr;
  return n;
}

const char* ZmLibraryName() { return "zebmacro.dll"; }
