// Counting, failing wrappers around the platform's own calls.
#include "hostfake.h"

namespace {

struct State {
  int aCalls[kCallCount];
  int aFailAt[kCallCount];    // fail exactly at this call number (0 off)
  int aFailFrom[kCallCount];  // fail from this call number on (0 off)
  int cbReadCap;
  int nFiles, nBlocks, nGlobal, nSearches;
};
State s;

bool Fail(HostCall c) {
  int n = ++s.aCalls[c];
  return (s.aFailAt[c] && n == s.aFailAt[c]) || (s.aFailFrom[c] && n >= s.aFailFrom[c]);
}

const ZmHostCalls& P() { return g_zmHostPlatform; }

int32_t Open(const char* p, int32_t m) {
  if (Fail(kCallOpen)) return ZM_HFILE_ERROR;
  int32_t h = P().pfnOpen(p, m);
  if (h != ZM_HFILE_ERROR) ++s.nFiles;
  return h;
}
int32_t Create(const char* p, int32_t a) {
  if (Fail(kCallCreate)) return ZM_HFILE_ERROR;
  int32_t h = P().pfnCreate(p, a);
  if (h != ZM_HFILE_ERROR) ++s.nFiles;
  return h;
}
uint32_t Read(int32_t h, void* pv, uint32_t cb) {
  if (Fail(kCallRead)) return ZM_IO_ERROR;
  if (s.cbReadCap >= 0 && cb > static_cast<uint32_t>(s.cbReadCap)) cb = s.cbReadCap;
  return P().pfnRead(h, pv, cb);
}
uint32_t Write(int32_t h, const void* pv, uint32_t cb) {
  if (Fail(kCallWrite)) return ZM_IO_ERROR;
  return P().pfnWrite(h, pv, cb);
}
int32_t Seek(int32_t h, int32_t o, int32_t w) {
  if (Fail(kCallSeek)) return -1;
  return P().pfnSeek(h, o, w);
}
// A positioned read counts as the seek and the read it stands for, and fails as either.
uint32_t ReadAt(int32_t h, uint32_t o, void* pv, uint32_t cb) {
  if (Fail(kCallSeek)) return ZM_SEEK_ERROR;
  if (Fail(kCallRead)) return ZM_IO_ERROR;
  if (s.cbReadCap >= 0 && cb > static_cast<uint32_t>(s.cbReadCap)) cb = s.cbReadCap;
  return P().pfnReadAt(h, o, pv, cb);
}
int32_t Close(int32_t h) {
  Fail(kCallClose);
  int32_t r = P().pfnClose(h);
  if (r == 0) --s.nFiles;
  return r;
}
void* Commit(uint32_t cb) {
  if (Fail(kCallCommit)) return nullptr;
  void* p = P().pfnVirtualAlloc(cb);
  if (p) ++s.nBlocks;
  return p;
}
int32_t Release(void* p) {
  Fail(kCallRelease);
  int32_t r = P().pfnVirtualFree(p);
  if (r) --s.nBlocks;
  return r;
}
void* GAlloc(uint32_t cb) {
  if (Fail(kCallGlobalAlloc)) return nullptr;
  void* h = P().pfnGlobalAlloc(cb);
  if (h) ++s.nGlobal;
  return h;
}
void* GFree(void* h) {
  void* r = P().pfnGlobalFree(h);
  if (r == nullptr) --s.nGlobal;
  return r;
}
intptr_t FindFirst(const char* sp, ZmFindData* fd) {
  if (Fail(kCallFindFirst)) return ZM_FIND_NONE;
  intptr_t h = P().pfnFindFirst(sp, fd);
  if (h != ZM_FIND_NONE) ++s.nSearches;
  return h;
}
int32_t FindNext(intptr_t h, ZmFindData* fd) {
  if (Fail(kCallFindNext)) return 0;
  return P().pfnFindNext(h, fd);
}
int32_t FindEnd(intptr_t h) {
  int32_t r = P().pfnFindClose(h);
  if (r) --s.nSearches;
  return r;
}
uint32_t GetCwd(uint32_t cch, char* sz) {
  if (Fail(kCallGetCwd)) return 0;
  return P().pfnGetCurrentDirectory(cch, sz);
}
int32_t SetCwd(const char* sz) {
  if (Fail(kCallSetCwd)) return 0;
  return P().pfnSetCurrentDirectory(sz);
}

}  // namespace

HostFake::HostFake() {
  s = State{};
  s.cbReadCap = -1;
  g_zmHost = g_zmHostPlatform;
  g_zmHost.pfnOpen = Open;
  g_zmHost.pfnCreate = Create;
  g_zmHost.pfnRead = Read;
  g_zmHost.pfnWrite = Write;
  g_zmHost.pfnSeek = Seek;
  g_zmHost.pfnReadAt = ReadAt;
  g_zmHost.pfnClose = Close;
  g_zmHost.pfnVirtualAlloc = Commit;
  g_zmHost.pfnVirtualFree = Release;
  g_zmHost.pfnGlobalAlloc = GAlloc;
  g_zmHost.pfnGlobalFree = GFree;
  g_zmHost.pfnFindFirst = FindFirst;
  g_zmHost.pfnFindNext = FindNext;
  g_zmHost.pfnFindClose = FindEnd;
  g_zmHost.pfnGetCurrentDirectory = GetCwd;
  g_zmHost.pfnSetCurrentDirectory = SetCwd;
}

HostFake::~HostFake() { g_zmHost = g_zmHostPlatform; }

int HostFake::Calls(HostCall c) const { return s.aCalls[c]; }
void HostFake::FailNth(HostCall c, int n) { s.aFailAt[c] = n ? s.aCalls[c] + n : 0; }
void HostFake::FailFrom(HostCall c, int n) { s.aFailFrom[c] = n ? s.aCalls[c] + n : 0; }
void HostFake::CapReads(int cb) { s.cbReadCap = cb; }
int HostFake::OpenFiles() const { return s.nFiles; }
int HostFake::Blocks() const { return s.nBlocks; }
int HostFake::GlobalBlocks() const { return s.nGlobal; }
int HostFake::Searches() const { return s.nSearches; }
