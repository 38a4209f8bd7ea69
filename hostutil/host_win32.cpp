// The platform seam on Windows: the real Win32 calls, one thin adapter each.
#include <string.h>
#include <windows.h>

#include "host.h"

namespace {

// Windows refuses to write to a read-only file whoever asks; Wine run as root does not, so the
// attribute is asked first.
bool ReadOnly(const char* szPath) {
  DWORD dw = GetFileAttributesA(szPath);
  return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_READONLY) != 0;
}
int32_t Open(const char* szPath, int32_t iMode) {
  if ((iMode & 3) != OF_READ && ReadOnly(szPath)) return HFILE_ERROR;
  return _lopen(szPath, iMode);
}
int32_t Create(const char* szPath, int32_t iAttributes, int32_t) {
  if (ReadOnly(szPath)) return HFILE_ERROR;
  return _lcreat(szPath, iAttributes);
}
uint32_t Read(int32_t hFile, void* pvBuffer, uint32_t cb) { return _lread(hFile, pvBuffer, cb); }
uint32_t Write(int32_t hFile, const void* pvBuffer, uint32_t cb) {
  return _lwrite(hFile, static_cast<LPCCH>(pvBuffer), cb);
}
int32_t Seek(int32_t hFile, int32_t lOffset, int32_t iOrigin) {
  return _llseek(hFile, lOffset, iOrigin);
}
uint32_t ReadAt(int32_t hFile, uint32_t lOffset, void* pvBuffer, uint32_t cb) {
  if (lOffset > 0x7FFFFFFFu || _llseek(hFile, static_cast<LONG>(lOffset), 0) == HFILE_ERROR)
    return ZM_SEEK_ERROR;
  return _lread(hFile, pvBuffer, cb);
}
int32_t Close(int32_t hFile) { return _lclose(hFile); }

void* Commit(uint32_t cb) { return VirtualAlloc(nullptr, cb, MEM_COMMIT, PAGE_READWRITE); }
int32_t Release(void* pv) { return VirtualFree(pv, 0, MEM_RELEASE) ? 1 : 0; }
void* GAlloc(uint32_t cb) { return GlobalAlloc(GMEM_MOVEABLE, cb); }
void* GLock(void* h) { return GlobalLock(h); }
int32_t GUnlock(void* h) { return GlobalUnlock(h); }
void* GFree(void* h) { return GlobalFree(h); }

uint32_t GetCwd(uint32_t cch, char* sz) { return GetCurrentDirectoryA(cch, sz); }
int32_t SetCwd(const char* sz) { return SetCurrentDirectoryA(sz) ? 1 : 0; }
int32_t SetDrive(char chLetter) {
  char szDrive[3] = {chLetter, ':', '\0'};
  return SetCurrentDirectoryA(szDrive) ? 1 : 0;
}
uint32_t DriveType(const char* szRoot) { return GetDriveTypeA(szRoot); }
uint32_t WinDir(char* sz, uint32_t cch) { return GetWindowsDirectoryA(sz, cch); }
uint32_t ShortPath(const char* szLong, char* szShort, uint32_t cch) {
  return GetShortPathNameA(szLong, szShort, cch);
}

void Take(const WIN32_FIND_DATAA& fd, ZmFindData* pFind) {
  pFind->dwAttributes = fd.dwFileAttributes;
  lstrcpynA(pFind->szName, fd.cFileName, ZM_MAX_PATH);
}
intptr_t FindFirst(const char* szSpec, ZmFindData* pFind) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(szSpec, &fd);
  if (h == INVALID_HANDLE_VALUE) return ZM_FIND_NONE;
  Take(fd, pFind);
  return reinterpret_cast<intptr_t>(h);
}
int32_t FindNext(intptr_t hFind, ZmFindData* pFind) {
  WIN32_FIND_DATAA fd;
  if (!FindNextFileA(reinterpret_cast<HANDLE>(hFind), &fd)) return 0;
  Take(fd, pFind);
  return 1;
}
int32_t FindEnd(intptr_t hFind) { return FindClose(reinterpret_cast<HANDLE>(hFind)) ? 1 : 0; }

int32_t SameName(const char* szA, const char* szB) {
  char szUpperA[ZM_TEXT_AREA], szUpperB[ZM_TEXT_AREA];
  lstrcpynA(szUpperA, szA, ZM_TEXT_AREA);
  lstrcpynA(szUpperB, szB, ZM_TEXT_AREA);
  CharUpperA(szUpperA);
  CharUpperA(szUpperB);
  return strcmp(szUpperA, szUpperB) == 0 ? 1 : 0;
}

// Opens a path for attribute queries only, so files in use by others can still be identified.
int Identify(const char* szPath, BY_HANDLE_FILE_INFORMATION* pInfo) {
  HANDLE h = CreateFileA(szPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BOOL ok = GetFileInformationByHandle(h, pInfo);
  CloseHandle(h);
  return ok ? 1 : 0;
}
int32_t SameFile(const char* szA, const char* szB) {
  BY_HANDLE_FILE_INFORMATION a, b;
  if (!Identify(szA, &a) || !Identify(szB, &b)) return 0;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

int32_t Help(uint32_t hWnd, const char* szFile, uint32_t uCommand, uint32_t dwData) {
  return WinHelpA(reinterpret_cast<HWND>(static_cast<uintptr_t>(hWnd)), szFile, uCommand, dwData);
}
int32_t ActiveWindow() {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(GetActiveWindow()));
}

// The table in the order of ZmHostCalls.
// clang-format off
constexpr ZmHostCalls kCalls = {
    Open,   Create,   Read,      Write,    Seek,      ReadAt,    Close,     Commit,    Release,
    GAlloc, GLock,    GUnlock,   GFree,    GetCwd,    SetCwd,    SetDrive,  DriveType,
    WinDir, ShortPath, FindFirst, FindNext, FindEnd,   SameName,  SameFile,  Help,
    ActiveWindow};
// clang-format on

}  // namespace

// Both copies are constant-initialised, so the seam is in place before any constructor runs.
const ZmHostCalls g_zmHostPlatform = kCalls;
ZmHostCalls g_zmHost = kCalls;

const char g_chPathSep = '\\';
int iIsPathSep(char ch) { return ch == '\\' || ch == '/'; }
int iHasDriveLetters(void) { return 1; }
