// Results in the order their files were handed on, whatever order the pool finishes them in.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pool.h"

namespace zm {

// Keeps results in the order their files were handed on, whatever order they finish in: the
// report of N workers is the report of one, line for line. Add and Flush run on one thread (the
// report's); results wait here until every earlier one is in.
class OrderedResults {
 public:
  using Emit = std::function<void(const FileResult&)>;
  OrderedResults(Pool* pPool, size_t nWindow, Emit emit);
  // A file to scan, or a result already known (a skipped entry, a directory that failed). Blocks
  // while nWindow results are outstanding, emitting those that are ready.
  void AddFile(File&& file, std::string sPath);
  void AddRef(FileRef ref, std::string sPath);
  void AddResult(FileResult&& r);
  // Emits everything, waiting for what is outstanding.
  void Flush();
  // Emits what is in, without waiting.
  void EmitAvailable();
  // While set, wake() is called (on a pool thread) whenever results become ready to emit, so that
  // the report's thread, waiting for something else (the next path of a slow list), can emit them.
  void SetIdleWake(std::function<void()> wake);

 private:
  void EmitReady(std::unique_lock<std::mutex>& lock);
  // Waits for room in the window and hands out the next place in the order, as the function
  // that fills it.
  Pool::Done Reserve();
  void WaitForRoom(std::unique_lock<std::mutex>& lock, bool bAll);
  void Complete(uint64_t seq, FileResult&& r);

  Pool* m_pPool;
  size_t m_nWindow;
  Emit m_emit;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::pair<bool, FileResult>> m_ring;  // slot seq % window: (ready, result)
  uint64_t m_nNext = 0;                             // the next to emit
  uint64_t m_nReady = 0;                            // results from m_nNext up to here are all in
  uint64_t m_nIssued = 0;                           // sequence numbers handed out
  uint64_t m_nWakeAt = 0;  // the report's thread waits until m_nReady reaches this (0: not waiting)
  std::function<void()> m_idleWake;
};

}  // namespace zm
