// MACRO_CallTraverse: the ExtensionFilter, the pre-order directory walk and the list file.
#include "filelist.h"

#include <string.h>

#include "fileprim.h"
#include "host.h"
#include "strutil.h"

char g_szFilterText[ZM_TEXT_AREA];
char g_aszFilterSlots[ZM_FILTER_SLOTS][ZM_FILTER_SLOT];
int32_t g_iFilterLast = -1;
int32_t g_iFileCount = 0;
int32_t g_hListFile = ZM_HFILE_ERROR;

int32_t iSplitFilter(const char* szFilter) {
  int32_t iSlot = 0, iPos = 0;
  g_iFilterLast = -1;
  for (const char* p = szFilter; *p; ++p) {
    if (*p == '*') continue;
    if (*p == ';') {
      g_aszFilterSlots[iSlot][iPos] = '\0';
      if (++iSlot == ZM_FILTER_SLOTS) return -1;
      iPos = 0;
    } else if (iPos < ZM_FILTER_SLOT - 1) {
      // Always true for a filter from the 256-byte filter text; kept so no input can overrun.
      g_aszFilterSlots[iSlot][iPos++] = *p;
    }
  }
  g_aszFilterSlots[iSlot][iPos] = '\0';
  g_iFilterLast = iSlot;
  return iSlot;
}

int32_t iMatchFilter(char* szName) {
  for (int32_t k = 0; k <= g_iFilterLast; ++k) UTL_Fold(g_aszFilterSlots[k]);
  UTL_Fold(szName);
  for (int32_t k = 0; k <= g_iFilterLast; ++k)
    if (strstr(szName, g_aszFilterSlots[k]) != nullptr) return 1;
  return 0;
}

namespace {

// Length of the directory part of a spec: up to and including its last separator, 0 without one.
size_t DirPartLength(const char* szSpec) {
  size_t cb = 0;
  for (size_t i = 0; szSpec[i]; ++i)
    if (iIsPathSep(szSpec[i])) cb = i + 1;
  return cb;
}

// Set when the list file ends inside a line (a write stopped part-way): any line written after
// it would be fused to that part, so no further line is written in this call.
int32_t s_bLineCut;

// Writes the line directory part + name + CR LF and counts it when whole; a write that moves
// only part of it is followed by one for the rest. 1 when written or when no buffer could be had
// (the file is then skipped); 0 when the line cannot be written.
int32_t WriteLine(const char* szSpec, size_t cbDir, const char* szName) {
  if (s_bLineCut) return 0;
  char* pchLine = static_cast<char*>(pCommitBlock(ZM_WALK_LINE));
  if (pchLine == nullptr) return 1;
  size_t cbName = strlen(szName);
  memcpy(pchLine, szSpec, cbDir);
  memcpy(pchLine + cbDir, szName, cbName);
  memcpy(pchLine + cbDir + cbName, "\r\n", 2);
  uint32_t cbLine = static_cast<uint32_t>(cbDir + cbName + 2);
  uint32_t cbDone = 0;
  while (cbDone < cbLine) {
    uint32_t n = g_zmHost.pfnWrite(g_hListFile, pchLine + cbDone, cbLine - cbDone);
    if (n == 0 || n > cbLine - cbDone) break;  // nothing moved, or ZM_IO_ERROR
    cbDone += n;
  }
  int32_t iOk = cbDone == cbLine;
  if (iOk) ++g_iFileCount;
  if (!iOk && cbDone > 0) s_bLineCut = 1;
  iReleaseBlock(pchLine);
  return iOk;
}

// One level with its find record already committed.
int32_t WalkLevel(const char* szSpec, ZmFindData* pFind) {
  // The directory part is at most ZM_MAX_PATH and a found name shorter than that, so every path
  // built below fits ZM_WALK_LINE.
  if (strlen(szSpec) > ZM_MAX_PATH) return 0;
  size_t cbDir = DirPartLength(szSpec);

  int bDirSeen = 0;
  intptr_t hFind = g_zmHost.pfnFindFirst(szSpec, pFind);
  if (hFind != ZM_FIND_NONE) {
    do {
      pFind->szName[ZM_MAX_PATH - 1] = '\0';
      if (pFind->dwAttributes & ZM_ATTR_DIRECTORY) {
        bDirSeen = 1;
      } else if (iMatchFilter(pFind->szName) && !WriteLine(szSpec, cbDir, pFind->szName)) {
        g_zmHost.pfnFindClose(hFind);
        return 0;
      }
    } while (g_zmHost.pfnFindNext(hFind, pFind));
    g_zmHost.pfnFindClose(hFind);
  }
  if (!bDirSeen) return 1;

  // Subdirectories come from the same spec, so the start level's wildcard selects them too.
  hFind = g_zmHost.pfnFindFirst(szSpec, pFind);
  if (hFind == ZM_FIND_NONE) return 1;
  do {
    pFind->szName[ZM_MAX_PATH - 1] = '\0';
    if (!(pFind->dwAttributes & ZM_ATTR_DIRECTORY) || pFind->szName[0] == '.') continue;
    char* szNested = static_cast<char*>(pCommitBlock(ZM_WALK_LINE));
    if (szNested == nullptr) continue;
    size_t cbName = strlen(pFind->szName);
    memcpy(szNested, szSpec, cbDir);
    memcpy(szNested + cbDir, pFind->szName, cbName);
    szNested[cbDir + cbName] = g_chPathSep;
    memcpy(szNested + cbDir + cbName + 1, "*.*", 4);
    // A nested failure (spec too long, no record, a line not written) ends only that subtree.
    iWalkDirectory(szNested);
    iReleaseBlock(szNested);
  } while (g_zmHost.pfnFindNext(hFind, pFind));
  g_zmHost.pfnFindClose(hFind);
  return 1;
}

}  // namespace

int32_t iWalkDirectory(const char* szSpec) {
  ZmFindData* pFind = static_cast<ZmFindData*>(pCommitBlock(sizeof(ZmFindData)));
  if (pFind == nullptr) return 0;
  int32_t iOk = WalkLevel(szSpec, pFind);
  iReleaseBlock(pFind);
  return iOk;
}

int32_t FL_iCallTraverse(const char* szStartSpec, const char* szListFile, const char* szFilter,
                         int32_t iAppend) {
  char szList[ZM_TEXT_AREA], szSpec[ZM_TEXT_AREA];
  if (!UTL_iCopyText(g_szFilterText, szFilter) || iSplitFilter(g_szFilterText) < 0) return -1;
  if (!UTL_iCopyText(szList, szListFile) || !UTL_iCopyText(szSpec, szStartSpec)) return -1;
  if (szList[0] == '\0' || DirPartLength(szSpec) == 0) return -1;

  if (iAppend == 0) {
    g_hListFile = g_zmHost.pfnCreate(szList, 0, ZM_HFILE_ERROR);
    if (g_hListFile == ZM_HFILE_ERROR) return -3;
    g_iFileCount = 0;
  } else {
    g_hListFile = g_zmHost.pfnOpen(szList, ZM_OF_WRITE);
    if (g_hListFile == ZM_HFILE_ERROR) return -3;
    if (g_zmHost.pfnSeek(g_hListFile, 0, 2) == -1) {
      g_zmHost.pfnClose(g_hListFile);
      g_hListFile = ZM_HFILE_ERROR;
      return -3;
    }
  }
  s_bLineCut = 0;
  int32_t iOk = iWalkDirectory(szSpec);
  g_zmHost.pfnClose(g_hListFile);
  g_hListFile = ZM_HFILE_ERROR;
  if (!iOk && g_iFileCount <= 0) return -2;
  return g_iFileCount;
}
