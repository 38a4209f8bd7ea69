// The window of results: a ring of the slots handed out, emitted in order on the report's thread.
#include "ordered.h"

namespace zm {

OrderedResults::OrderedResults(Pool* pPool, size_t nWindow, Emit emit)
    : m_pPool(pPool),
      m_nWindow(nWindow ? nWindow : 1),
      m_emit(std::move(emit)),
      m_ring(m_nWindow) {}

// A slot is emitted where it lies: no result is put in it again before m_nNext has passed it.
void OrderedResults::EmitReady(std::unique_lock<std::mutex>& lock) {
  while (m_nNext < m_nReady) {
    auto& slot = m_ring[m_nNext % m_nWindow];
    lock.unlock();
    m_emit(slot.second);
    slot = {false, FileResult()};
    lock.lock();
    ++m_nNext;
  }
}

// Waits until a quarter of the window (or, with bAll, everything) is in and emitted. The pool's
// threads wake this thread only then, not once a file: a wake costs more than a small scan; and
// not later, or the workers run out of files while the earliest result is awaited.
void OrderedResults::WaitForRoom(std::unique_lock<std::mutex>& lock, bool bAll) {
  for (;;) {
    EmitReady(lock);
    if (bAll ? m_nNext == m_nIssued : m_nIssued - m_nNext < m_nWindow) return;
    m_nWakeAt = bAll ? m_nIssued : std::min(m_nIssued, m_nNext + m_nWindow / 4 + 1);
    m_cv.wait(lock, [this] { return m_nReady >= m_nWakeAt; });
    m_nWakeAt = 0;
  }
}

void OrderedResults::Complete(uint64_t seq, FileResult&& r) {
  bool bWake = false;
  std::function<void()> idleWake;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto& slot = m_ring[seq % m_nWindow];
    slot.second = std::move(r);
    slot.first = true;
    uint64_t nWas = m_nReady;
    while (m_nReady < m_nIssued && m_ring[m_nReady % m_nWindow].first) ++m_nReady;
    bWake = m_nWakeAt != 0 && m_nReady >= m_nWakeAt;
    if (m_idleWake && m_nReady > nWas) idleWake = m_idleWake;
  }
  if (bWake) m_cv.notify_one();
  if (idleWake) idleWake();
}

void OrderedResults::EmitAvailable() {
  std::unique_lock<std::mutex> lock(m_mutex);
  EmitReady(lock);
}

void OrderedResults::SetIdleWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_idleWake = std::move(wake);
}

Pool::Done OrderedResults::Reserve() {
  std::unique_lock<std::mutex> lock(m_mutex);
  WaitForRoom(lock, false);
  uint64_t seq = m_nIssued++;
  return [this, seq](FileResult&& r) { Complete(seq, std::move(r)); };
}

void OrderedResults::AddFile(File&& file, std::string sPath) {
  m_pPool->Submit(std::move(file), std::move(sPath), Reserve());
}

void OrderedResults::AddRef(FileRef ref, std::string sPath) {
  m_pPool->Submit(std::move(ref), std::move(sPath), Reserve());
}

void OrderedResults::AddResult(FileResult&& r) { Reserve()(std::move(r)); }

void OrderedResults::Flush() {
  std::unique_lock<std::mutex> lock(m_mutex);
  WaitForRoom(lock, true);
}

}  // namespace zm
