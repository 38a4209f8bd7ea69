// File and memory primitives over the platform seam.
#include "fileprim.h"

#include "host.h"

int32_t hOpenRead(const char* szPath) {
  return g_zmHost.pfnOpen(szPath, ZM_OF_SHARE_DENY_NONE | ZM_OF_READ);
}

uint32_t uReadBlock(int32_t hFile, void* pvBuffer, uint32_t cb) {
  return g_zmHost.pfnRead(hFile, pvBuffer, cb & 0xFFFFu);
}

int32_t lSeekFile(int32_t hFile, int32_t lOffset, int32_t iOrigin) {
  return g_zmHost.pfnSeek(hFile, lOffset, iOrigin & 0xFFFF);
}

uint32_t uReadBlockAt(int32_t hFile, uint32_t lOffset, void* pvBuffer, uint32_t cb) {
  return g_zmHost.pfnReadAt(hFile, lOffset, pvBuffer, cb & 0xFFFFu);
}

int16_t iCloseFile(int32_t hFile) { return g_zmHost.pfnClose(hFile) == ZM_HFILE_ERROR ? -1 : 0; }

void* pCommitBlock(uint32_t cb) { return g_zmHost.pfnVirtualAlloc(cb & 0xFFFFu); }

int16_t iReleaseBlock(void* pvBlock) { return g_zmHost.pfnVirtualFree(pvBlock) ? 0 : -1; }
