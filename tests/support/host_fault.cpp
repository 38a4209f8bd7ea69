// Counting, failing wrappers around the platform's own calls (see host_fault.h).
#include "host_fault.h"

#include <string.h>

namespace {

struct FaultState {
  uint32_t uCalls;
  uint32_t auCalls[HC_COUNT];
  uint32_t auFailAt[HC_COUNT];    // fail exactly at this call of the kind (0 off)
  uint32_t auFailFrom[HC_COUNT];  // fail from this call of the kind on (0 off)
  uint32_t uFaultAt;              // global call number to hit (0 off)
  ZmFault eFault;
  int32_t cbReadCap;
  int32_t iFiles, iBlocks, iGlobal, iLocks, iSearches;
  uint8_t abTrace[HFI_TRACE];
};
FaultState s;
bool s_bInstalled;

const ZmHostCalls& P() { return g_zmHostPlatform; }

// Numbers one call of kind e; true when it is to fail. *peFault tells how, for the global fault.
bool Hit(ZmHostCall e, ZmFault* peFault = nullptr) {
  uint32_t n = ++s.uCalls;
  if (n <= HFI_TRACE) s.abTrace[n - 1] = static_cast<uint8_t>(e);
  uint32_t k = ++s.auCalls[e];
  bool bKind = (s.auFailAt[e] && k == s.auFailAt[e]) || (s.auFailFrom[e] && k >= s.auFailFrom[e]);
  if (peFault) *peFault = HFI_FAIL;
  if (n == s.uFaultAt) {
    if (peFault) *peFault = s.eFault;
    return s.eFault != HFI_SHORT || peFault != nullptr;
  }
  return bKind;
}
// Counts a further kind for a call already numbered (a positioned read is also a seek and a read).
bool Also(ZmHostCall e) {
  uint32_t k = ++s.auCalls[e];
  return (s.auFailAt[e] && k == s.auFailAt[e]) || (s.auFailFrom[e] && k >= s.auFailFrom[e]);
}
uint32_t Capped(uint32_t cb) {
  return s.cbReadCap >= 0 && cb > static_cast<uint32_t>(s.cbReadCap) ? s.cbReadCap : cb;
}

int32_t Open(const char* p, int32_t m) {
  if (Hit(HC_OPEN)) return ZM_HFILE_ERROR;
  int32_t h = P().pfnOpen(p, m);
  s.iFiles += h != ZM_HFILE_ERROR;
  return h;
}
int32_t Create(const char* p, int32_t a, int32_t m) {
  if (Hit(HC_CREATE)) return ZM_HFILE_ERROR;
  int32_t h = P().pfnCreate(p, a, m);
  s.iFiles += h != ZM_HFILE_ERROR;
  return h;
}
uint32_t Read(int32_t h, void* pv, uint32_t cb) {
  ZmFault e;
  if (Hit(HC_READ, &e) && e != HFI_SHORT) return ZM_IO_ERROR;
  return P().pfnRead(h, pv, e == HFI_SHORT ? cb / 2 : Capped(cb));
}
uint32_t Write(int32_t h, const void* pv, uint32_t cb) {
  ZmFault e;
  if (Hit(HC_WRITE, &e) && e != HFI_SHORT) return ZM_IO_ERROR;
  return P().pfnWrite(h, pv, e == HFI_SHORT ? cb / 2 : cb);
}
int32_t Seek(int32_t h, int32_t o, int32_t w) {
  if (Hit(HC_SEEK)) return -1;
  return P().pfnSeek(h, o, w);
}
uint32_t ReadAt(int32_t h, uint32_t o, void* pv, uint32_t cb) {
  ZmFault e;
  bool bHit = Hit(HC_READAT, &e);
  bool bSeek = Also(HC_SEEK);
  bool bRead = Also(HC_READ);
  if (bSeek || (bHit && e == HFI_SEEK)) return ZM_SEEK_ERROR;
  if (bRead || (bHit && e == HFI_FAIL)) return ZM_IO_ERROR;
  return P().pfnReadAt(h, o, pv, bHit ? cb / 2 : Capped(cb));
}
int32_t Close(int32_t h) {
  bool bFail = Hit(HC_CLOSE);
  int32_t r = P().pfnClose(h);
  s.iFiles -= r == 0;
  return bFail ? ZM_HFILE_ERROR : r;
}
void* Commit(uint32_t cb) {
  if (Hit(HC_COMMIT)) return nullptr;
  void* p = P().pfnVirtualAlloc(cb);
  s.iBlocks += p != nullptr;
  return p;
}
int32_t Release(void* p) {
  bool bFail = Hit(HC_RELEASE);
  int32_t r = P().pfnVirtualFree(p);
  s.iBlocks -= r != 0;
  return bFail ? 0 : r;
}
void* GAlloc(uint32_t cb) {
  if (Hit(HC_GALLOC)) return nullptr;
  void* h = P().pfnGlobalAlloc(cb);
  s.iGlobal += h != nullptr;
  return h;
}
void* GLock(void* h) {
  if (Hit(HC_GLOCK)) return nullptr;
  void* p = P().pfnGlobalLock(h);
  s.iLocks += p != nullptr;
  return p;
}
int32_t GUnlock(void* h) {
  bool bFail = Hit(HC_GUNLOCK);
  int32_t r = P().pfnGlobalUnlock(h);
  --s.iLocks;  // GlobalUnlock answers 0 also when the last lock went
  return bFail ? 0 : r;
}
void* GFree(void* h) {
  bool bFail = Hit(HC_GFREE);
  void* r = P().pfnGlobalFree(h);
  s.iGlobal -= r == nullptr;
  return bFail ? h : r;
}
uint32_t GetCwd(uint32_t cch, char* sz) {
  if (Hit(HC_GETCWD)) return 0;
  return P().pfnGetCurrentDirectory(cch, sz);
}
int32_t SetCwd(const char* sz) {
  if (Hit(HC_SETCWD)) return 0;
  return P().pfnSetCurrentDirectory(sz);
}
int32_t SetDrive(char ch) {
  if (Hit(HC_SETDRIVE)) return 0;
  return P().pfnSetDrive(ch);
}
uint32_t DriveType(const char* sz) {
  if (Hit(HC_DRIVETYPE)) return ZM_DRIVE_UNKNOWN;
  return P().pfnGetDriveType(sz);
}
uint32_t WinDir(char* sz, uint32_t cch) {
  if (Hit(HC_WINDIR)) return 0;
  return P().pfnGetWindowsDirectory(sz, cch);
}
uint32_t ShortPath(const char* szLong, char* szShort, uint32_t cch) {
  if (Hit(HC_SHORTPATH)) return 0;
  return P().pfnGetShortPathName(szLong, szShort, cch);
}
intptr_t FindFirst(const char* sp, ZmFindData* fd) {
  if (Hit(HC_FINDFIRST)) return ZM_FIND_NONE;
  intptr_t h = P().pfnFindFirst(sp, fd);
  s.iSearches += h != ZM_FIND_NONE;
  return h;
}
int32_t FindNext(intptr_t h, ZmFindData* fd) {
  if (Hit(HC_FINDNEXT)) return 0;
  return P().pfnFindNext(h, fd);
}
int32_t FindEnd(intptr_t h) {
  bool bFail = Hit(HC_FINDCLOSE);
  int32_t r = P().pfnFindClose(h);
  s.iSearches -= r != 0;
  return bFail ? 0 : r;
}
int32_t SameName(const char* a, const char* b) {
  if (Hit(HC_SAMENAME)) return 0;
  return P().pfnSameName(a, b);
}
int32_t SameFile(const char* a, const char* b) {
  if (Hit(HC_SAMEFILE)) return 0;
  return P().pfnSameFile(a, b);
}
int32_t WinHelp(uint32_t w, const char* f, uint32_t c, uint32_t d) {
  if (Hit(HC_WINHELP)) return 0;
  return P().pfnWinHelp(w, f, c, d);
}
int32_t ActiveWindow() {
  if (Hit(HC_ACTIVEWINDOW)) return 0;
  return P().pfnGetActiveWindow();
}

const char* const s_apszNames[HC_COUNT] = {
    "open",      "create",   "read",        "write",      "seek",         "readat",     "close",
    "commit",    "release",  "globalalloc", "globallock", "globalunlock", "globalfree", "getcwd",
    "setcwd",    "setdrive", "drivetype",   "windir",     "shortpath",    "findfirst",  "findnext",
    "findclose", "samename", "samefile",    "winhelp",    "activewindow"};

}  // namespace

void HFI_Install(void) {
  HFI_Reset();
  if (s_bInstalled) return;
  ZmHostCalls t = g_zmHostPlatform;
  t.pfnOpen = Open;
  t.pfnCreate = Create;
  t.pfnRead = Read;
  t.pfnWrite = Write;
  t.pfnSeek = Seek;
  t.pfnReadAt = ReadAt;
  t.pfnClose = Close;
  t.pfnVirtualAlloc = Commit;
  t.pfnVirtualFree = Release;
  t.pfnGlobalAlloc = GAlloc;
  t.pfnGlobalLock = GLock;
  t.pfnGlobalUnlock = GUnlock;
  t.pfnGlobalFree = GFree;
  t.pfnGetCurrentDirectory = GetCwd;
  t.pfnSetCurrentDirectory = SetCwd;
  t.pfnSetDrive = SetDrive;
  t.pfnGetDriveType = DriveType;
  t.pfnGetWindowsDirectory = WinDir;
  t.pfnGetShortPathName = ShortPath;
  t.pfnFindFirst = FindFirst;
  t.pfnFindNext = FindNext;
  t.pfnFindClose = FindEnd;
  t.pfnSameName = SameName;
  t.pfnSameFile = SameFile;
  t.pfnWinHelp = WinHelp;
  t.pfnGetActiveWindow = ActiveWindow;
  g_zmHost = t;
  s_bInstalled = true;
}

void HFI_Remove(void) {
  g_zmHost = g_zmHostPlatform;
  s_bInstalled = false;
}

void HFI_Reset(void) {
  memset(&s, 0, sizeof s);
  s.cbReadCap = -1;
}

void HFI_FaultAt(uint32_t uCall, ZmFault eFault) {
  s.uFaultAt = uCall;
  s.eFault = eFault;
}
void HFI_FailNth(ZmHostCall e, uint32_t n) { s.auFailAt[e] = n ? s.auCalls[e] + n : 0; }
void HFI_FailFrom(ZmHostCall e, uint32_t n) { s.auFailFrom[e] = n ? s.auCalls[e] + n : 0; }
void HFI_CapReads(int32_t cb) { s.cbReadCap = cb; }

uint32_t HFI_uCalls(void) { return s.uCalls; }
uint32_t HFI_uCallsOf(ZmHostCall e) { return s.auCalls[e]; }
ZmHostCall HFI_eKindOf(uint32_t uCall) {
  return uCall >= 1 && uCall <= HFI_TRACE && uCall <= s.uCalls
             ? static_cast<ZmHostCall>(s.abTrace[uCall - 1])
             : HC_COUNT;
}
const char* HFI_szKindName(ZmHostCall e) { return e < HC_COUNT ? s_apszNames[e] : "?"; }

int32_t HFI_iOpenFiles(void) { return s.iFiles; }
int32_t HFI_iBlocks(void) { return s.iBlocks; }
int32_t HFI_iGlobalBlocks(void) { return s.iGlobal; }
int32_t HFI_iGlobalLocks(void) { return s.iLocks; }
int32_t HFI_iSearches(void) { return s.iSearches; }
int32_t HFI_iAllGivenBack(void) {
  return s.iFiles == 0 && s.iBlocks == 0 && s.iGlobal == 0 && s.iLocks == 0 && s.iSearches == 0;
}
