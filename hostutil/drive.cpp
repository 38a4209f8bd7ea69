// Drive numbers over the platform seam.
#include "drive.h"

#include "host.h"
#include "strutil.h"

int32_t iGetCurrentDrive(void) {
  char szDir[ZM_MAX_PATH];
  uint32_t n = g_zmHost.pfnGetCurrentDirectory(ZM_MAX_PATH, szDir);
  if (n == 0 || n >= ZM_MAX_PATH || szDir[1] != ':') return 0;
  return static_cast<unsigned char>(UTL_chFold(szDir[0])) - 64;
}

int32_t iSetCurrentDrive(int32_t iDrive) {
  if (iDrive < 1 || iDrive > 31) return 0;
  return g_zmHost.pfnSetDrive(static_cast<char>(64 + iDrive)) ? 1 : 0;
}
