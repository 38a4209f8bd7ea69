// Test seam over g_zmHost: the fault-injection layer (host_fault.h) as an RAII object that counts
// the resources the library takes and gives back and can make the N-th call of a kind fail or cut
// reads short. Restores the platform table when it goes away.
#pragma once
#include <cstdint>

#include "host_fault.h"

using HostCall = ZmHostCall;
constexpr HostCall kCallOpen = HC_OPEN, kCallCreate = HC_CREATE, kCallRead = HC_READ,
                   kCallWrite = HC_WRITE, kCallSeek = HC_SEEK, kCallClose = HC_CLOSE,
                   kCallCommit = HC_COMMIT, kCallRelease = HC_RELEASE, kCallGlobalAlloc = HC_GALLOC,
                   kCallFindFirst = HC_FINDFIRST, kCallFindNext = HC_FINDNEXT,
                   kCallGetCwd = HC_GETCWD, kCallSetCwd = HC_SETCWD;

class HostFake {
 public:
  HostFake() { HFI_Install(); }
  ~HostFake() { HFI_Remove(); }
  HostFake(const HostFake&) = delete;
  HostFake& operator=(const HostFake&) = delete;

  // Calls of this kind made so far (failed ones included); a positioned read counts as a seek
  // and a read.
  int Calls(HostCall c) const { return static_cast<int>(HFI_uCallsOf(c)); }
  // Makes the n-th call (1-based, counted from now) of this kind fail; 0 disables.
  void FailNth(HostCall c, int n) { HFI_FailNth(c, static_cast<uint32_t>(n)); }
  // Makes every call of this kind from the n-th on fail.
  void FailFrom(HostCall c, int n) { HFI_FailFrom(c, static_cast<uint32_t>(n)); }
  // Reads deliver at most this many bytes (negative: no cap).
  void CapReads(int cb) { HFI_CapReads(cb); }

  // Resources held right now.
  int OpenFiles() const { return HFI_iOpenFiles(); }
  int Blocks() const { return HFI_iBlocks(); }
  int GlobalBlocks() const { return HFI_iGlobalBlocks(); }
  int Searches() const { return HFI_iSearches(); }
};
