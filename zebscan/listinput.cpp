// Reading a --file-list: inline from a regular file, through a thread from anything else; its
// encoding told by its first bytes, as Windows' editors and shells mark theirs.
#include "listinput.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform.h"
#include "textutil.h"

namespace zebscan {
namespace {

// Paths the reader thread keeps ahead of the scan at most: a list piped in from a walk of a
// whole disk waits in its pipe rather than in memory.
constexpr size_t kMaxAhead = 4096;

// The byte order marks a list may begin with: Notepad's and Out-File's UTF-8, PowerShell 5.1's
// UTF-16LE (its '>').
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr char kUtf16Mark[] = "\xFF\xFE";

// True when sHead begins with the mark, or (bWhole false) is the start of it.
bool Marked(const std::string& sHead, const char* szMark, bool bWhole) {
  const size_t cch = std::strlen(szMark);
  if (sHead.size() < cch && bWhole) return false;
  return sHead.compare(0, cch, szMark, std::min(cch, sHead.size())) == 0;
}

}  // namespace

struct ListInput::State {
  int fd = -1;
  char chEnd = '\n';
  // How the bytes read are text: unknown while the first of them may still be a mark; bytes
  // (UTF-8, or the platform's bytes) or UTF-16LE, converted to UTF-8 as they come.
  enum class Form { kUnknown, kBytes, kUtf16 } form = Form::kUnknown;
  std::string sHead;   // the first bytes, until they tell the form
  std::string sUnits;  // UTF-16LE bytes not yet a whole character
  std::string sCarry;  // an entry not ended yet
  std::mutex mutex;
  std::condition_variable cv;  // a path, the end, or a wake for the reader; room for the thread
  std::deque<std::string> paths;
  bool bEnd = false;
  bool bWoken = false;
  std::string sError;
  std::thread reader;

  // Takes what was read (bEnd: all of it has been), a mark at its start dropped, as text.
  template <typename F>
  void Feed(const char* p, size_t n, bool bEnd, F take) {
    if (form == Form::kUnknown) {
      sHead.append(p, n);
      // A head that may still grow into a mark waits for its next bytes (a path of its own
      // that begins with 0xEF or 0xFF waits with it).
      if (!bEnd && ((sHead.size() < 3 && Marked(sHead, kUtf8Mark, false)) ||
                    (sHead.size() < 2 && Marked(sHead, kUtf16Mark, false))))
        return;
      size_t cbMark = 0;
      form = Form::kBytes;
      if (Marked(sHead, kUtf8Mark, true)) {
        cbMark = 3;
      } else if (Marked(sHead, kUtf16Mark, true)) {
        form = Form::kUtf16;
        cbMark = 2;
      }
      std::string s = std::move(sHead);
      return Decode(s.data() + cbMark, s.size() - cbMark, bEnd, take);
    }
    Decode(p, n, bEnd, take);
  }
  template <typename F>
  void Decode(const char* p, size_t n, bool bEnd, F take) {
    if (form == Form::kBytes) return Split(p, n, take);
    sUnits.append(p, n);
    std::string s;
    sUnits.erase(0, zm::AppendUtf16Le(sUnits.data(), sUnits.size(), bEnd, &s));
    Split(s.data(), s.size(), take);
  }
  // Splits text into entries, handing each whole one to take.
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
      Feed(ab, static_cast<size_t>(n), false, take);
      return true;
    }
    Feed(ab, 0, true, take);
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
