// Reading a --file-list: inline from a regular file, through a thread from anything else.
#include "listinput.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform.h"

namespace zebscan {
namespace {

// Paths the reader thread keeps ahead of the scan at most: a list piped in from a walk of a
// whole disk waits in its pipe rather than in memory.
constexpr size_t kMaxAhead = 4096;

}  // namespace

struct ListInput::State {
  int fd = -1;
  char chEnd = '\n';
  std::string sCarry;  // an entry not ended yet
  std::mutex mutex;
  std::condition_variable cv;  // a path, the end, or a wake for the reader; room for the thread
  std::deque<std::string> paths;
  bool bEnd = false;
  bool bWoken = false;
  std::string sError;
  std::thread reader;

  // Splits what was read into entries, handing each whole one to take.
  template <typename F>
  void Split(const char* p, size_t n, F take) {
    while (n > 0) {
      const char* pEnd = static_cast<const char*>(std::memchr(p, chEnd, n));
      if (pEnd == nullptr) return sCarry.append(p, n), void();
      sCarry.append(p, static_cast<size_t>(pEnd - p));
      Entry(take);
      n -= static_cast<size_t>(pEnd - p) + 1;
      p = pEnd + 1;
    }
  }
  template <typename F>
  void Entry(F take) {
    if (chEnd == '\n' && !sCarry.empty() && sCarry.back() == '\r') sCarry.pop_back();
    if (!sCarry.empty()) take(std::move(sCarry));
    sCarry.clear();
  }
  // One read: false at the end or on a failure (then in sErrorOut).
  template <typename F>
  bool ReadSome(F take, std::string* psErrorOut) {
    char ab[65536];
    long n = zm::ReadInput(fd, ab, sizeof ab, psErrorOut);
    if (n > 0) {
      Split(ab, static_cast<size_t>(n), take);
      return true;
    }
    Entry(take);
    return false;
  }

  void Run() {
    std::vector<std::string> got;
    auto take = [&got](std::string&& s) { got.push_back(std::move(s)); };
    for (;;) {
      std::string sFailure;
      bool bMore = ReadSome(take, &sFailure);
      std::unique_lock<std::mutex> lock(mutex);
      for (std::string& s : got) paths.push_back(std::move(s));
      got.clear();
      if (!bMore) {
        bEnd = true;
        sError = sFailure;
      }
      cv.notify_all();
      if (!bMore) return;
      cv.wait(lock, [this] { return paths.size() < kMaxAhead; });
    }
  }
};

ListInput::~ListInput() {
  if (!m_p) return;
  bool bDone;
  {
    std::lock_guard<std::mutex> lock(m_p->mutex);
    bDone = m_p->bEnd;
  }
  if (m_p->reader.joinable()) {
    if (!bDone) {
      m_p->reader.detach();  // blocked on its input, which it shares with nobody
      return;
    }
    m_p->reader.join();
  }
  zm::CloseInput(m_p->fd);
}

bool ListInput::Open(const std::string& sName, bool bNull, std::string* psError) {
  m_p = std::make_shared<State>();
  m_p->chEnd = bNull ? '\0' : '\n';
  m_p->fd = zm::OpenInput(sName, psError);
  if (m_p->fd < 0) return false;
  if (zm::IsRegularInput(m_p->fd)) return true;
  try {
    std::shared_ptr<State> p = m_p;  // the thread's own reference, should it be left running
    m_p->reader = std::thread([p] { p->Run(); });
  } catch (const std::system_error&) {
    // No thread to spare: read here, and report at each path rather than as results come.
  }
  return true;
}

ListInput::Got ListInput::Next(std::string* ps, bool bWait) {
  State& st = *m_p;
  if (!st.reader.joinable()) {  // read here
    std::unique_lock<std::mutex> lock(st.mutex);
    while (st.paths.empty() && !st.bEnd) {
      std::string sFailure;
      bool bMore =
          st.ReadSome([&](std::string&& s) { st.paths.push_back(std::move(s)); }, &sFailure);
      if (!bMore) {
        st.bEnd = true;
        st.sError = sFailure;
      }
    }
  }
  std::unique_lock<std::mutex> lock(st.mutex);
  if (bWait) st.cv.wait(lock, [&st] { return !st.paths.empty() || st.bEnd || st.bWoken; });
  st.bWoken = false;
  if (st.paths.empty()) return st.bEnd ? kEnd : kIdle;
  *ps = std::move(st.paths.front());
  st.paths.pop_front();
  if (st.paths.size() == kMaxAhead - 1) st.cv.notify_all();  // room for the reader again
  return kPath;
}

void ListInput::Wake() {
  {
    std::lock_guard<std::mutex> lock(m_p->mutex);
    m_p->bWoken = true;
  }
  m_p->cv.notify_all();
}

std::string ListInput::Error() const {
  std::lock_guard<std::mutex> lock(m_p->mutex);
  return m_p->sError;
}

}  // namespace zebscan
