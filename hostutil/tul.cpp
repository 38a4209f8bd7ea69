// Drive, file-copy and help utilities.
#include "tul.h"

#include <string.h>

#include "drive.h"
#include "host.h"
#include "strutil.h"

int32_t UTL_iChDrive(int32_t iDrive) { return iSetCurrentDrive(iDrive) ? 0 : -1; }

int32_t UTL_iGetDrive(void) { return iGetCurrentDrive(); }

int32_t UTL_iKindOfDrive(int32_t chDrive) {
  char szRoot[4] = {UTL_chFold(static_cast<char>(chDrive & 0xFF)), ':', g_chPathSep, '\0'};
  switch (g_zmHost.pfnGetDriveType(szRoot)) {
    case ZM_DRIVE_UNKNOWN:
    case ZM_DRIVE_NO_ROOT_DIR:
      return 0;
    case ZM_DRIVE_REMOVABLE:
      return 5;
    case ZM_DRIVE_FIXED:
      return 4;
    case ZM_DRIVE_REMOTE:
      return 3;
    case ZM_DRIVE_CDROM:
      return 2;
    default:
      return 1;
  }
}

namespace {

// Moves every byte of hSource to hDest through pbBlock; 1 at the source's end, 0 when a read or
// a write fails (a short write counts as failed).
int32_t CopyBytes(int32_t hSource, int32_t hDest, uint8_t* pbBlock) {
  for (;;) {
    uint32_t c = g_zmHost.pfnRead(hSource, pbBlock, ZM_COPY_BLOCK);
    if (c > ZM_COPY_BLOCK) return 0;  // ZM_IO_ERROR
    if (c == 0) return 1;             // a short read is not the end: only an empty one is
    if (g_zmHost.pfnWrite(hDest, pbBlock, c) != c) return 0;
  }
}

}  // namespace

int32_t UTL_iCopyFile(const char* szSource, const char* szDest) {
  char szSrc[ZM_TEXT_AREA], szDst[ZM_TEXT_AREA];
  if (!UTL_iCopyText(szSrc, szSource) || !UTL_iCopyText(szDst, szDest)) return 0;
  if (g_zmHost.pfnSameName(szSrc, szDst)) return 0;
  // Two different names of one file (relative and absolute, short and long, links): creating the
  // destination would truncate the source, so identity is checked before anything is opened.
  if (g_zmHost.pfnSameFile(szSrc, szDst)) return 0;

  int32_t hSource = g_zmHost.pfnOpen(szSrc, ZM_OF_READ);
  if (hSource == ZM_HFILE_ERROR) return 0;
  int32_t hDest = g_zmHost.pfnCreate(szDst, 0, hSource);
  if (hDest == ZM_HFILE_ERROR) {
    g_zmHost.pfnClose(hSource);
    return 0;
  }
  int32_t iCopied = 0;
  void* hBlock = g_zmHost.pfnGlobalAlloc(ZM_COPY_BLOCK);
  if (hBlock != nullptr) {
    uint8_t* pbBlock = static_cast<uint8_t*>(g_zmHost.pfnGlobalLock(hBlock));
    if (pbBlock != nullptr) {
      iCopied = CopyBytes(hSource, hDest, pbBlock);
      g_zmHost.pfnGlobalUnlock(hBlock);
    }
    g_zmHost.pfnGlobalFree(hBlock);
  }
  // A destination that does not close cleanly may not hold what was written.
  if (g_zmHost.pfnClose(hDest) == ZM_HFILE_ERROR) iCopied = 0;
  g_zmHost.pfnClose(hSource);
  return iCopied;
}

int32_t UTL_iWinHelp(uint32_t hWnd, const char* szHelpFile, uint32_t uCommand, uint32_t dwData) {
  return g_zmHost.pfnWinHelp(hWnd, szHelpFile, uCommand, dwData);
}

int32_t UTL_lGetActiveWindow(void) { return g_zmHost.pfnGetActiveWindow(); }
