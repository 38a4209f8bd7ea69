// The platform seam: every call the library makes into the operating system goes through the
// table g_zmHost, so one file per platform supplies it and tests can make any call fail.
#pragma once
#include <stdint.h>

#include "zm_limits.h"

// Handle-based file calls answer this on failure (HFILE_ERROR).
#define ZM_HFILE_ERROR (-1)
// Failure value of a read or write (the 16/32-bit HFILE_ERROR as unsigned).
#define ZM_IO_ERROR 0xFFFFFFFFu
// A positioned read whose position could not be set (as a failed _llseek).
#define ZM_SEEK_ERROR 0xFFFFFFFEu
// Directory search handle on failure (INVALID_HANDLE_VALUE).
#define ZM_FIND_NONE ((intptr_t)-1)
// Attribute bit of a directory in a find record.
#define ZM_ATTR_DIRECTORY 0x10u

// _lopen modes used by the library.
#define ZM_OF_READ 0x00
#define ZM_OF_WRITE 0x01
#define ZM_OF_SHARE_DENY_NONE 0x40

// GetDriveTypeA answers.
#define ZM_DRIVE_UNKNOWN 0u
#define ZM_DRIVE_NO_ROOT_DIR 1u
#define ZM_DRIVE_REMOVABLE 2u
#define ZM_DRIVE_FIXED 3u
#define ZM_DRIVE_REMOTE 4u
#define ZM_DRIVE_CDROM 5u

// What the library takes from a platform find record.
struct ZmFindData {
  uint32_t dwAttributes;
  char szName[ZM_MAX_PATH];
};

struct ZmHostCalls {
  // _lopen / _lcreat: a handle, or ZM_HFILE_ERROR. Neither opens anything but a regular file, nor
  // a read-only file for writing. hModel is ZM_HFILE_ERROR or, for a copy, its open source: where
  // files carry permission bits (POSIX) the created file gets the source's, never wider; Windows
  // gives _lcreat's attributes.
  int32_t (*pfnOpen)(const char* szPath, int32_t iMode);
  int32_t (*pfnCreate)(const char* szPath, int32_t iAttributes, int32_t hModel);
  // _lread / _lwrite: bytes moved, or ZM_IO_ERROR; a read answers 0 at end of file.
  uint32_t (*pfnRead)(int32_t hFile, void* pvBuffer, uint32_t cbCount);
  uint32_t (*pfnWrite)(int32_t hFile, const void* pvBuffer, uint32_t cbCount);
  // _llseek: the new position, or -1. Origin 0 start, 1 current, 2 end.
  int32_t (*pfnSeek)(int32_t hFile, int32_t lOffset, int32_t iOrigin);
  // _llseek to lOffset from the start, then _lread: one call where the platform has one (pread).
  // Bytes read, ZM_IO_ERROR when the read fails, ZM_SEEK_ERROR when the position can't be set.
  uint32_t (*pfnReadAt)(int32_t hFile, uint32_t lOffset, void* pvBuffer, uint32_t cbCount);
  // _lclose: 0, or ZM_HFILE_ERROR.
  int32_t (*pfnClose)(int32_t hFile);

  // VirtualAlloc(MEM_COMMIT, PAGE_READWRITE): zero-filled block or null. VirtualFree(MEM_RELEASE):
  // nonzero on success.
  void* (*pfnVirtualAlloc)(uint32_t cbSize);
  int32_t (*pfnVirtualFree)(void* pvBlock);
  // GlobalAlloc(GMEM_MOVEABLE) / GlobalLock / GlobalUnlock / GlobalFree (null on success).
  void* (*pfnGlobalAlloc)(uint32_t cbSize);
  void* (*pfnGlobalLock)(void* hMem);
  int32_t (*pfnGlobalUnlock)(void* hMem);
  void* (*pfnGlobalFree)(void* hMem);

  // GetCurrentDirectoryA: length written (without NUL), the size needed when cch is too small, or
  // 0 on failure. SetCurrentDirectoryA: nonzero on success.
  uint32_t (*pfnGetCurrentDirectory)(uint32_t cchBuffer, char* szBuffer);
  int32_t (*pfnSetCurrentDirectory)(const char* szPath);
  // Makes the drive with this letter current (SetCurrentDirectoryA("X:")); nonzero on success.
  // Platforms without drive letters always refuse.
  int32_t (*pfnSetDrive)(char chLetter);
  uint32_t (*pfnGetDriveType)(const char* szRoot);
  uint32_t (*pfnGetWindowsDirectory)(char* szBuffer, uint32_t cchBuffer);
  uint32_t (*pfnGetShortPathName)(const char* szLong, char* szShort, uint32_t cchBuffer);

  // FindFirstFileA / FindNextFileA (nonzero while entries come) / FindClose.
  intptr_t (*pfnFindFirst)(const char* szSpec, ZmFindData* pFind);
  int32_t (*pfnFindNext)(intptr_t hFind, ZmFindData* pFind);
  int32_t (*pfnFindClose)(intptr_t hFind);

  // 1 when two paths of at most 255 characters name one file by their spelling alone: on Windows
  // equal after CharUpperA (its file names ignore case), on POSIX equal byte for byte (names are
  // case-sensitive there, and a case-insensitive mount is left to pfnSameFile). Else 0.
  int32_t (*pfnSameName)(const char* szPathA, const char* szPathB);
  // 1 when both paths name one existing file (same volume and file index), else 0.
  int32_t (*pfnSameFile)(const char* szPathA, const char* szPathB);

  // WinHelpA and GetActiveWindow, passed through.
  int32_t (*pfnWinHelp)(uint32_t hWnd, const char* szHelpFile, uint32_t uCommand, uint32_t dwData);
  int32_t (*pfnGetActiveWindow)(void);
};

// The live table (tests may replace entries) and the platform's own, to restore it.
extern ZmHostCalls g_zmHost;
extern const ZmHostCalls g_zmHostPlatform;

// Path separators: '\' and '/' on Windows, '/' on POSIX. g_chPathSep is the one that built paths
// use.
extern const char g_chPathSep;
int iIsPathSep(char ch);
// 1 where a path can begin with a drive ("C:"), 0 where it cannot: on POSIX "c:" is an ordinary
// name, so "c:/docs/a.doc" is a relative path.
int iHasDriveLetters(void);
