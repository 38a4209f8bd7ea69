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

std::string ZmLibraryVersion(const ZmApi& api) {
  HMODULE h = nullptr;
  if (api.MACRO_Handler == nullptr ||
      !GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(api.MACRO_Handler), &h))
    return "unknown";
  wchar_t szPath[32768];
  DWORD n = GetModuleFileNameW(h, szPath, 32768);
  if (n == 0 || n >= 32768) return "unknown";
  DWORD dwIgnored = 0;
  DWORD cb = GetFileVersionInfoSizeW(szPath, &dwIgnored);
  if (cb == 0) return "unknown";
  std::string ab(cb, '\0');
  VS_FIXEDFILEINFO* pInfo = nullptr;
  UINT cbInfo = 0;
  if (!GetFileVersionInfoW(szPath, 0, cb, ab.data()) ||
      !VerQueryValueW(ab.data(), L"\\", reinterpret_cast<void**>(&pInfo), &cbInfo) ||
      pInfo == nullptr || cbInfo < sizeof *pInfo)
    return "unknown";
  return std::to_string(HIWORD(pInfo->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(pInfo->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(pInfo->dwFileVersionLS));
}
