// RunOnSmallStack on POSIX: a pthread created with exactly the stack size asked.
#include <pthread.h>

#include "stackthread.h"

namespace {

struct Job {
  size_t cbStack, cbHostFrames;
  void (*pfn)(void*);
  void* pv;
};

void* Entry(void* pvJob) {
  Job* pJob = static_cast<Job*>(pvJob);
  pthread_attr_t attr;
  void* pvLow = nullptr;
  size_t cb = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &pvLow, &cb);
    pthread_attr_destroy(&attr);
  }
  CallWithStackLeft(static_cast<const uint8_t*>(pvLow), pJob->cbStack, pJob->cbHostFrames,
                    pJob->pfn, pJob->pv);
  return nullptr;
}

}  // namespace

bool RunOnSmallStack(size_t cbStack, size_t cbHostFrames, void (*pfn)(void*), void* pv) {
  Job job = {cbStack, cbHostFrames, pfn, pv};
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  bool bStarted = pthread_attr_setstacksize(&attr, cbStack) == 0 &&
                  pthread_create(&thread, &attr, Entry, &job) == 0;
  pthread_attr_destroy(&attr);
  return bStarted && pthread_join(thread, nullptr) == 0;
}
