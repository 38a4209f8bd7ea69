// zebscan's platform calls on Windows: _isatty, GetTempFileNameA, and the on-disk spelling of a
// listed name (the file system ignores case, so the line names exactly one file).
#include <io.h>
#include <windows.h>

#include <cstring>

#include "platform.h"

namespace zebscan {
namespace {

char g_szInterruptPath[MAX_PATH];

BOOL WINAPI OnInterrupt(DWORD) {
  if (g_szInterruptPath[0] != '\0') DeleteFileA(g_szInterruptPath);
  return FALSE;  // the default handler then ends the process
}

}  // namespace

void RemoveOnInterrupt(const std::string& sPath) {
  static bool s_bInstalled = false;
  if (!s_bInstalled) s_bInstalled = SetConsoleCtrlHandler(OnInterrupt, TRUE) != 0;
  g_szInterruptPath[0] = '\0';
  if (sPath.empty() || sPath.size() >= sizeof g_szInterruptPath) return;
  memcpy(g_szInterruptPath, sPath.c_str(), sPath.size() + 1);
}

const char* PathSeparators() { return "\\/"; }

std::string ExecutableDirectory() {
  char sz[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, sz, sizeof sz);
  if (n == 0 || n >= sizeof sz) return {};
  std::string s(sz, n);
  return s.substr(0, s.find_last_of("\\/") + 1);
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string MakeTempFile() {
  char szDir[MAX_PATH + 1];
  DWORD cch = GetTempPathA(sizeof szDir, szDir);
  if (cch == 0 || cch > MAX_PATH) return {};
  // The handler is in place first and the name goes straight where it looks, so an interrupt
  // during the creation finds the file (or nothing yet).
  RemoveOnInterrupt("");
  if (GetTempFileNameA(szDir, "zsc", 0, g_szInterruptPath) == 0) {
    g_szInterruptPath[0] = '\0';
    return {};
  }
  return g_szInterruptPath;
}

std::vector<std::string> ResolveListedPath(const std::string& line) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(line.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return {};
  FindClose(h);
  if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {};
  size_t iSep = line.find_last_of("\\/");
  return {(iSep == std::string::npos ? std::string() : line.substr(0, iSep + 1)) + fd.cFileName};
}

}  // namespace zebscan
