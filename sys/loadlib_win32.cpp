// Shared libraries on Windows: LoadLibraryA, GetProcAddress, and the DLL's version resource.
#include <windows.h>

#include "loadlib.h"
#include "utf16.h"

namespace zm {

std::string SharedLibraryName(const std::string& sName) { return sName + ".dll"; }

void* LoadSharedLibrary(const std::string& sPath) {
  return reinterpret_cast<void*>(LoadLibraryA(sPath.c_str()));
}

void* SharedLibrarySymbol(void* hLibrary, const char* szName) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(hLibrary), szName));
}

namespace {

// The file of the module holding pv, in UTF-16; empty when it cannot tell.
std::wstring ModuleFile(const void* pv) {
  HMODULE h = nullptr;
  if (pv == nullptr || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           static_cast<LPCWSTR>(pv), &h))
    return L"";
  std::wstring w(32768, L'\0');
  DWORD n = GetModuleFileNameW(h, &w[0], 32768);
  w.resize(n == 0 || n >= 32768 ? 0 : n);
  return w;
}

}  // namespace

std::string SharedLibraryPath(const void* pv) { return NarrowWtf8(ModuleFile(pv)); }

std::string SharedLibraryVersion(const void* pv) {
  const std::wstring wPath = ModuleFile(pv);
  if (wPath.empty()) return "unknown";
  const wchar_t* szPath = wPath.c_str();
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

}  // namespace zm
