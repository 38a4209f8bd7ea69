// Test seam over g_zmHost: counts resources the library takes and gives back, and can make the
// N-th call of a kind fail or cut reads short. Restores the platform table when it goes away.
#pragma once
#include <cstdint>

#include "host.h"

enum HostCall {
  kCallOpen,
  kCallCreate,
  kCallRead,
  kCallWrite,
  kCallSeek,
  kCallClose,
  kCallCommit,
  kCallRelease,
  kCallGlobalAlloc,
  kCallFindFirst,
  kCallFindNext,
  kCallGetCwd,
  kCallSetCwd,
  kCallCount
};

class HostFake {
 public:
  HostFake();
  ~HostFake();
  HostFake(const HostFake&) = delete;
  HostFake& operator=(const HostFake&) = delete;

  // Calls of this kind made so far (failed ones included).
  int Calls(HostCall c) const;
  // Makes the n-th call (1-based, counted from now) of this kind fail; 0 disables.
  void FailNth(HostCall c, int n);
  // Makes every call of this kind from the n-th on fail.
  void FailFrom(HostCall c, int n);
  // Reads deliver at most this many bytes (negative: no cap).
  void CapReads(int cb);

  // Resources held right now: files opened/created minus closed, blocks committed minus released,
  // global blocks, open searches.
  int OpenFiles() const;
  int Blocks() const;
  int GlobalBlocks() const;
  int Searches() const;
};
