// RunOnSmallStack on Windows: a thread whose stack reservation is the size asked (Wine reserves
// at least 1 MiB whatever it is asked, which the measured start takes back).
#include <windows.h>

#include "stackthread.h"

namespace {

struct Job {
  size_t cbStack, cbHostFrames;
  void (*pfn)(void*);
  void* pv;
};

// Below the usable stack lie guard pages that no frame may touch.
constexpr size_t kGuard = 16 * 1024;

DWORD WINAPI Entry(void* pvJob) {
  Job* pJob = static_cast<Job*>(pvJob);
  MEMORY_BASIC_INFORMATION mbi = {};
  if (VirtualQuery(&pJob, &mbi, sizeof mbi) == 0) return 1;
  const uint8_t* pbLow = static_cast<const uint8_t*>(mbi.AllocationBase) + kGuard;
  CallWithStackLeft(pbLow, pJob->cbStack, pJob->cbHostFrames, pJob->pfn, pJob->pv);
  return 0;
}

}  // namespace

bool RunOnSmallStack(size_t cbStack, size_t cbHostFrames, void (*pfn)(void*), void* pv) {
  Job job = {cbStack, cbHostFrames, pfn, pv};
  HANDLE h =
      CreateThread(nullptr, cbStack, Entry, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == nullptr) return false;
  DWORD dwExit = 1;
  bool bDone = WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && GetExitCodeThread(h, &dwExit);
  CloseHandle(h);
  return bDone && dwExit == 0;
}
