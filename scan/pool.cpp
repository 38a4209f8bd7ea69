// The pool's threads (one per worker: send a file, wait for its result within the time limit,
// replace a worker that died or hung), the ordering of results, and the worker's loop.
#include "pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "proc.h"
#include "zmapi.h"

namespace zebscan {
namespace {

const char kWorkerFlag[] = "--zm-worker";
// A worker sends the results it has when this long has passed since it last sent some.
constexpr uint32_t kGroupMs = 50;
// Files handed to a worker at once, at most: enough that the hand-over costs little beside the
// scans, few enough that the files stay spread over the workers.
constexpr size_t kMaxBatch = 64;
// How long a new worker may take to reach its first file when the file limit is shorter.
constexpr uint32_t kStartupMs = 30000;
// How long a thread whose worker could not start leaves its files to the others.
constexpr auto kRetryStart = std::chrono::seconds(1);

// Little-endian fields and length-prefixed strings, appended to a string.
class Writer {
 public:
  explicit Writer(std::string* ps) : m_s(*ps) {}
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) m_s += static_cast<char>(v >> (8 * i));
  }
  // A field written before what it counts: Set gives it its value.
  size_t Reserve32() {
    m_s.append(4, '\0');
    return m_s.size() - 4;
  }
  void Set32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) m_s[at + i] = static_cast<char>(v >> (8 * i));
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    m_s += s;
  }

 private:
  std::string& m_s;
};

class Reader {
 public:
  explicit Reader(std::string_view s) : m_s(s) {}
  bool U32(uint32_t* pv) {
    if (m_s.size() - m_pos < 4) return false;
    *pv = 0;
    for (int i = 0; i < 4; ++i)
      *pv |= static_cast<uint32_t>(static_cast<unsigned char>(m_s[m_pos + i])) << (8 * i);
    m_pos += 4;
    return true;
  }
  bool U64(uint64_t* pv) {
    uint32_t lo, hi;
    if (!U32(&lo) || !U32(&hi)) return false;
    *pv = lo | static_cast<uint64_t>(hi) << 32;
    return true;
  }
  bool Size(size_t* pv) {
    uint64_t v;
    if (!U64(&v)) return false;
    *pv = static_cast<size_t>(v);
    return true;
  }
  bool View(std::string_view* pv) {
    uint32_t n;
    if (!U32(&n) || m_s.size() - m_pos < n) return false;
    *pv = m_s.substr(m_pos, n);
    m_pos += n;
    return true;
  }
  bool Str(std::string* ps) {
    std::string_view v;
    if (!View(&v)) return false;
    ps->assign(v);
    return true;
  }
  bool Done() const { return m_pos == m_s.size(); }

 private:
  std::string_view m_s;
  size_t m_pos = 0;
};

// Appends r in its compact form, length first.
void AppendResult(const FileResult& r, std::string* pOut) {
  Writer w(pOut);
  size_t at = w.Reserve32();
  const MacroTable& t = r.doc.table;
  w.U32(static_cast<uint32_t>(r.outcome) | static_cast<uint32_t>(r.doc.kind) << 8 |
        r.bFallback << 16 | r.bUnconfirmed << 17 | t.bNameSection << 18 | t.bCut << 19);
  for (const std::string* p : {&r.sVirus, &r.sFoundBy, &r.sResultMacros, &r.sReason, &r.doc.sError})
    w.Str(*p);
  for (size_t n : {r.nLeftOut, r.nCalls, t.nMacros, t.nUnnamed, t.names.size()}) w.U64(n);
  w.U64(r.id.uVolume);
  w.U64(r.id.uIndex);
  w.U32(r.nLinks);
  for (const std::string& s : t.names) w.Str(s);
  w.Set32(at, static_cast<uint32_t>(pOut->size() - at - 4));
}

}  // namespace

std::string EncodeResult(const FileResult& r) {
  std::string s;
  AppendResult(r, &s);
  return s.substr(4);
}

bool DecodeResult(std::string_view s, FileResult* pR) {
  Reader rd(s);
  MacroTable& t = pR->doc.table;
  uint32_t flags;
  size_t nNames;
  if (!rd.U32(&flags) || (flags & 0xFF) > static_cast<uint32_t>(Outcome::kSkipped) ||
      ((flags >> 8) & 0xFF) > static_cast<uint32_t>(DocKind::kWord6))
    return false;
  pR->outcome = static_cast<Outcome>(flags & 0xFF);
  pR->doc.kind = static_cast<DocKind>((flags >> 8) & 0xFF);
  pR->bFallback = flags >> 16 & 1;
  pR->bUnconfirmed = flags >> 17 & 1;
  t.bNameSection = flags >> 18 & 1;
  t.bCut = flags >> 19 & 1;
  for (std::string* p :
       {&pR->sVirus, &pR->sFoundBy, &pR->sResultMacros, &pR->sReason, &pR->doc.sError})
    if (!rd.Str(p)) return false;
  if (!rd.Size(&pR->nLeftOut) || !rd.Size(&pR->nCalls) || !rd.Size(&t.nMacros) ||
      !rd.Size(&t.nUnnamed) || !rd.Size(&nNames) || nNames > s.size() || !rd.U64(&pR->id.uVolume) ||
      !rd.U64(&pR->id.uIndex) || !rd.U32(&pR->nLinks))
    return false;
  t.names.resize(nNames);
  for (std::string& name : t.names)
    if (!rd.Str(&name)) return false;
  return rd.Done();
}

bool DecodeReply(std::string_view s, size_t nMax, const std::function<void(FileResult&&)>& each) {
  Reader rd(s);
  uint32_t n = 0;
  if (!rd.U32(&n) || n > nMax) return false;
  for (uint32_t k = 0; k < n; ++k) {
    std::string_view one;
    FileResult r;
    if (!rd.View(&one) || !DecodeResult(one, &r)) return false;
    each(std::move(r));
  }
  return rd.Done();
}

// ---- The parent's side ----

namespace {

// Descriptors kept free in the parent beyond the workers': the walk's directories, a file scanned
// here and the library's own opens of it, the log, a quarantine copy under way.
constexpr size_t kParentReserve = 8;
// A worker's in the parent: its channel, and for a moment the three that starting it takes.
constexpr size_t kPerWorker = 4;
// A worker process's own beyond what a batch passes: the standard three, its channel, the file
// it opened, the library's opens of it, and a spare.
constexpr size_t kWorkerOwn = 10;

}  // namespace

WorkerFit FitWorkers(unsigned nWanted, size_t nFileLimit, size_t nFilesFree, size_t nTaskLimit,
                     size_t nTasksFree) {
  WorkerFit fit;
  size_t n = nWanted;
  if (nFileLimit != SIZE_MAX) {
    fit.nMaxPassed = nFileLimit > kWorkerOwn ? std::min(kMaxPassed, nFileLimit - kWorkerOwn) : 0;
    size_t nByFiles = nFilesFree > kParentReserve ? (nFilesFree - kParentReserve) / kPerWorker : 0;
    if (fit.nMaxPassed == 0) nByFiles = 0;
    if (nByFiles < n) {
      n = nByFiles;
      fit.sWhy = "the limit of " + std::to_string(nFileLimit) + " open files (ulimit -n)";
    }
  }
  // A thread here and a process each.
  size_t nByTasks = nTasksFree == SIZE_MAX ? SIZE_MAX : nTasksFree / 2;
  if (nByTasks < n) {
    n = nByTasks;
    fit.sWhy = "the limit of " + std::to_string(nTaskLimit) + " processes (ulimit -u)";
  }
  fit.nWorkers = static_cast<unsigned>(n);
  if (nFileLimit != SIZE_MAX)
    fit.nHeldBudget = nFilesFree > kParentReserve + kPerWorker * n
                          ? nFilesFree - kParentReserve - kPerWorker * n
                          : 0;
  return fit;
}

Pool::Pool(PoolOptions options) : m_options(std::move(options)) {
  std::string sError;
  for (unsigned i = 0; i < m_options.nWorkers; ++i) {
    std::lock_guard<std::mutex> lock(m_mutex);  // the threads read m_nLive
    try {
      m_threads.emplace_back([this, i] { Drive(i); });
    } catch (const std::system_error& e) {  // out of memory or tasks: fewer workers
      sError = e.code().message();
      break;
    }
    ++m_nLive;
  }
  if (m_nLive == m_options.nWorkers) return;
  if (m_nLive > 0)
    Note("only " + std::to_string(m_nLive) + " of " + std::to_string(m_options.nWorkers) +
         " worker threads could be made (" + sError + ")");
  else
    Note("no worker thread could be made (" + sError + ")" +
         (m_options.inProcess ? ": scanning in this process" : ""));
}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bClosing = true;
  }
  m_cv.notify_all();
  for (std::thread& t : m_threads) t.join();
}

void Pool::Submit(File&& file, std::string sPath, Done done) {
  Enqueue({std::move(file), FileRef(), std::move(sPath), std::move(done)});
}

void Pool::Submit(FileRef ref, std::string sPath, Done done) {
  Enqueue({File(), std::move(ref), std::move(sPath), std::move(done)});
}

void Pool::Enqueue(Job&& job) {
  if (m_threads.empty()) {  // set once, by the constructor
    FileResult r = InProcess(job, "No worker thread");
    return job.done(std::move(r));
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobs.push_back(std::move(job));
  }
  m_cv.notify_one();
}

FileResult Pool::InProcess(Job& job, const std::string& sError) {
  if (!m_options.inProcess) return ResultOf(job.sPath, Outcome::kError, sError);
  std::lock_guard<std::mutex> lock(m_inProcess);
  FileResult r =
      m_options.inProcess(job.file.IsOpen() ? &job.file : nullptr, job.ref, std::move(job.sPath));
  job.file.Close();
  job.ref = FileRef();
  return r;
}

void Pool::Cancel(const std::string& sReason) {
  std::deque<Job> jobs;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    jobs.swap(m_jobs);
  }
  for (Job& job : jobs) job.done(ResultOf(job.sPath, Outcome::kError, sReason));
}

void Pool::Note(const std::string& s) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (std::find(m_noted.begin(), m_noted.end(), s) != m_noted.end()) return;
  m_noted.push_back(s);
  m_notes.push_back(s);
  m_bNotes = true;
}

std::vector<std::string> Pool::Notes() {
  if (!m_bNotes.load(std::memory_order_relaxed)) return {};  // asked once a result
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bNotes = false;
  std::vector<std::string> v;
  v.swap(m_notes);
  return v;
}

// How a worker reaches the file of a job.
enum JobKind : uint32_t {
  kPassedFile = 0,  // the descriptor in slot k
  kInDirectory,     // name, in the directory whose descriptor is in slot k
  kByPath,          // name is a path relative to the current directory
};

std::string Pool::EncodeBatch(uint32_t uBatch, const std::vector<Job>& batch,
                              std::vector<int>* pFds) {
  std::string s;
  Writer w(&s);
  w.U32(uBatch);
  w.U32(static_cast<uint32_t>(batch.size()));
  std::vector<std::pair<const Dir*, uint32_t>> dirs;  // each directory passed, and its slot
  for (const Job& job : batch) {
    uint32_t uKind = kByPath, uSlot = 0;
    const std::string* pName = &job.sPath;
    if (NativeFd(job.file) >= 0) {
      uKind = kPassedFile;
      uSlot = static_cast<uint32_t>(pFds->size());
      pFds->push_back(NativeFd(job.file));
    } else if (!job.file.IsOpen()) {
      pName = &job.ref.sName;
      const Dir* pDir = job.ref.pDir.get();
      if (pDir && NativeFd(*pDir) >= 0) {
        uKind = kInDirectory;
        auto it = std::find_if(dirs.begin(), dirs.end(),
                               [pDir](const auto& d) { return d.first == pDir; });
        if (it == dirs.end()) {
          it = dirs.insert(dirs.end(), {pDir, static_cast<uint32_t>(pFds->size())});
          pFds->push_back(NativeFd(*pDir));
        }
        uSlot = it->second;
      } else if (pDir) {
        pName = &job.sPath;  // no descriptors here: the worker opens the whole path
      }
    }
    w.U32(uKind);
    w.U32(uSlot);
    w.U32(job.ref.bFollow | job.ref.bKnownRegular << 1);
    w.Str(*pName);
    w.Str(job.sPath);
  }
  return s;
}

// One worker's thread. The worker is started when the first files come (or with the pool) and
// again after one ends, so a run of one file starts one worker. Files go over in batches and their
// results come back in groups; the worker marks in shared memory which file it is on, so a worker
// that dies or passes the time limit on a file costs that file an ERROR, and the files of its batch
// that it finished without sending, or never reached, go back to the queue. The parent keeps every
// file open until its result is in.
void Pool::Drive(unsigned) {
  Child child;
  std::vector<std::string> args = {kWorkerFlag, "--zm-channel=3", "--zm-progress=4",
                                   "--zm-library=" + m_options.sLibrary};
  if (m_options.scan.bDeep) args.push_back("--zm-deep");
  if (m_options.scan.bAlertEncrypted) args.push_back("--zm-alert-encrypted");
  if (!m_options.scan.sRawName.empty()) args.push_back("--zm-raw=" + m_options.scan.sRawName);
  const uint32_t msTimeout = static_cast<uint32_t>(m_options.fileTimeout.count());
  std::vector<Job> batch;
  uint32_t uBatch = 0;
  std::string sStartError;  // a worker that fails to start now is tried again for its files
  if (m_options.bStartAtOnce) child.Start(m_options.sExecutable, args, &sStartError);
  bool bAnswered = false;  // the worker running has sent results
  const size_t nMaxPassed = std::clamp<size_t>(m_options.nMaxPassed, 1, kMaxPassed);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_cv.wait(lock, [this] { return m_bClosing || !m_jobs.empty(); });
      if (m_jobs.empty()) break;
      // A fair share of what waits, so no worker holds files that another could take; no more
      // descriptors than one message carries (an open file's each, a directory's once).
      size_t n = std::clamp<size_t>(m_jobs.size() / m_nLive, 1, kMaxBatch);
      std::vector<const Dir*> dirs;
      for (size_t i = 0, nFds = 0; i < n; ++i) {
        const Job& next = m_jobs.front();
        const Dir* pDir = next.file.IsOpen() ? nullptr : next.ref.pDir.get();
        bool bNewDir = pDir && std::find(dirs.begin(), dirs.end(), pDir) == dirs.end();
        size_t nMore = next.file.IsOpen() || bNewDir ? 1 : 0;
        if (i > 0 && nFds + nMore > nMaxPassed) break;
        nFds += nMore;
        if (bNewDir) dirs.push_back(pDir);
        batch.push_back(std::move(m_jobs.front()));
        m_jobs.pop_front();
      }
    }
    if (++uBatch == 0) uBatch = 1;
    std::vector<int> fds;
    std::string sRequest = EncodeBatch(uBatch, batch, &fds);
    std::string sError;
    bool bSent = false;
    // A worker that ended while idle is replaced once before the files are failed; one that never
    // answered anything and ends before it reaches the batch could not start.
    bool bNoWorker = false;
    for (int iTry = 0; iTry < 2 && !bSent && !bNoWorker; ++iTry) {
      if (!child.Running()) {
        bAnswered = false;
        bNoWorker = !child.Start(m_options.sExecutable, args, &sError);
        if (bNoWorker) break;
      }
      bSent = child.Send(sRequest, fds);
      if (!bSent) sError = "Worker " + child.Stop(true);
      bNoWorker = !bSent && !bAnswered;
    }
    const uint32_t tSent = MonotonicMs();
    size_t nDone = 0, iFailed = 0;
    while (bSent && nDone < batch.size()) {
      std::string sReply;
      int r = child.Receive(&sReply, static_cast<int>(std::min<uint32_t>(msTimeout, 1000)));
      // The results before a damaged one stand.
      if (r == 1 && DecodeReply(sReply, batch.size() - nDone, [&](FileResult&& result) {
            Job& job = batch[nDone++];
            result.sPath = std::move(job.sPath);  // answered: the job needs it no more
            job.file.Close();
            job.ref = FileRef();
            job.done(std::move(result));
          })) {
        bAnswered = true;
        continue;
      }
      // Which file the worker was on, and since when.
      const WorkerProgress& progress = child.Progress();
      bool bStarted = progress.uBatch.load(std::memory_order_acquire) == uBatch;
      iFailed =
          std::clamp<size_t>(bStarted ? progress.uIndex.load() : nDone, nDone, batch.size() - 1);
      uint32_t tStart = bStarted ? progress.uStartMs.load() : tSent;
      // The limit is a file's; a worker still starting (a loaded machine, a cold library) has
      // longer before its first file counts against it.
      uint32_t msLimit = bStarted ? msTimeout : std::max(msTimeout, kStartupMs);
      if (r == 0 && MonotonicMs() - tStart < msLimit) continue;  // still within its time
      std::string sHow = child.Stop(true);
      if (r == 0) {
        char sz[64];
        std::snprintf(sz, sizeof sz, "Scan timed out after %g s (worker stopped)",
                      msLimit / 1000.0);
        sError = sz;
      } else {
        sError = r == 1 ? "Worker sent a damaged reply" : "Worker " + sHow;
        // Ended before it reached the batch: no file of it is to blame.
        bNoWorker = r < 0 && !bStarted && !bAnswered;
      }
      break;
    }
    if (bNoWorker) {
      // Out of processes, descriptors or memory, most likely: the other workers take the files,
      // and the last one left scans them in this process, trying to start a worker again for
      // every batch.
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nLive > 1) {
          --m_nLive;
          for (size_t k = batch.size(); k-- > nDone;) m_jobs.push_front(std::move(batch[k]));
          batch.clear();
        }
      }
      if (batch.empty()) {
        Note("a worker could not start (" + sError + "): the others take its files");
        m_cv.notify_all();
        // It tries again a while later, since what was short may be free again by then: a
        // daemon does not lose its workers for good to a moment of want.
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_cv.wait_for(lock, kRetryStart, [this] { return m_bClosing; })) break;
        ++m_nLive;
        continue;
      }
      Note("no worker could start (" + sError + ")" +
           (m_options.inProcess ? ": scanning in this process" : ""));
      for (size_t k = nDone; k < batch.size(); ++k) {
        FileResult r = InProcess(batch[k], "Cannot start a worker: " + sError);
        batch[k].done(std::move(r));
      }
      batch.clear();
      continue;
    }
    if (nDone < batch.size()) {
      if (!bSent) iFailed = nDone;
      Job& job = batch[iFailed];
      job.file.Close();
      job.ref = FileRef();
      job.done(ResultOf(job.sPath, Outcome::kError, sError));
      // The rest were not answered: they wait again, in their order, for a worker.
      std::lock_guard<std::mutex> lock(m_mutex);
      for (size_t k = batch.size(); k-- > nDone;)
        if (k != iFailed) m_jobs.push_front(std::move(batch[k]));
    }
    batch.clear();
    m_cv.notify_all();
  }
  if (child.Running()) child.Stop(false);
}

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

// ---- The worker's side ----

bool RunAsWorker(int argc, char** argv, int* piExit) {
  if (argc < 2 || std::strcmp(argv[1], kWorkerFlag) != 0) return false;
  *piExit = 2;
  std::string sChannel, sProgress, sLibrary;
  ScanOptions scan;
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    auto value = [&s](const char* szKey, std::string* pOut) {
      size_t n = std::strlen(szKey);
      if (s.compare(0, n, szKey) != 0) return false;
      *pOut = s.substr(n);
      return true;
    };
    if (value("--zm-channel=", &sChannel) || value("--zm-progress=", &sProgress) ||
        value("--zm-library=", &sLibrary) || value("--zm-raw=", &scan.sRawName))
      continue;
    if (s == "--zm-deep") scan.bDeep = true;
    if (s == "--zm-alert-encrypted") scan.bAlertEncrypted = true;
  }
  ZmApi api;
  if (!OpenParentChannel(sChannel, sProgress) || ZmLoadApi(sLibrary.c_str(), &api) < 0 ||
      !api.MACRO_Handler || !api.MACRO_ScanRaw)
    return true;
  WorkerProgress* pProgress = ParentProgress();
  Scanner scanner(api, scan);
  std::string sRequest;
  std::vector<int> fds;
  while (ReceiveFromParent(&sRequest, &fds)) {
    Reader rd(sRequest);
    uint32_t uBatch = 0, n = 0;
    struct Item {
      uint32_t uKind, uSlot, uFlags;
      std::string sName, sPath;
    };
    std::vector<Item> items;
    bool bOk = rd.U32(&uBatch) && rd.U32(&n) && n <= kMaxBatch;
    for (uint32_t i = 0; bOk && i < n; ++i) {
      Item it;
      bOk = rd.U32(&it.uKind) && rd.U32(&it.uSlot) && rd.U32(&it.uFlags) && rd.Str(&it.sName) &&
            rd.Str(&it.sPath) && it.uKind <= kByPath &&
            (it.uKind == kByPath || it.uSlot < fds.size());
      items.push_back(std::move(it));
    }
    if (!bOk) {  // not from our parent
      for (int fd : fds) CloseNativeFd(fd);
      break;
    }
    // The directories passed, each taken over once; descriptors nobody takes are closed at the end.
    std::vector<std::shared_ptr<Dir>> dirs(fds.size());
    std::vector<bool> taken(fds.size());
    // Results go back in groups: when the batch is done, or when the last group left a while
    // ago, so the report keeps moving while a batch of slow files is scanned.
    std::string sGroup;
    Writer group(&sGroup);
    size_t atCount = group.Reserve32();
    uint32_t nPending = 0, tLastSent = MonotonicMs();
    bool bParentGone = false;
    for (uint32_t i = 0; i < n && !bParentGone; ++i) {
      const Item& it = items[i];
      pProgress->uStartMs.store(MonotonicMs());
      pProgress->uIndex.store(i);
      pProgress->uBatch.store(uBatch, std::memory_order_release);
      FileResult r;
      if (it.uKind == kPassedFile) {
        File f;
        std::string sError;
        bool bOpen = !taken[it.uSlot] && FileFromFd(fds[it.uSlot], &f, &sError);
        taken[it.uSlot] = true;
        r = bOpen ? scanner.Scan(f, std::move(it.sPath)) : NotOpened(it.sPath, sError);
      } else {
        FileRef ref;
        ref.sName = it.sName;
        ref.bFollow = it.uFlags & 1;
        ref.bKnownRegular = it.uFlags & 2;
        if (it.uKind == kInDirectory) {
          if (!dirs[it.uSlot] && !taken[it.uSlot]) {
            dirs[it.uSlot] = std::make_shared<Dir>();
            DirFromFd(fds[it.uSlot], dirs[it.uSlot].get());
            taken[it.uSlot] = true;
          }
          ref.pDir = dirs[it.uSlot];
        }
        r = scanner.ScanRef(ref, std::move(it.sPath));
      }
      AppendResult(r, &sGroup);
      ++nPending;
      if (i + 1 < n && MonotonicMs() - tLastSent < kGroupMs) continue;
      group.Set32(atCount, nPending);
      bParentGone = !SendToParent(sGroup);
      sGroup.resize(atCount + 4);
      nPending = 0;
      tLastSent = MonotonicMs();
    }
    for (size_t k = 0; k < fds.size(); ++k)
      if (!taken[k]) CloseNativeFd(fds[k]);
    if (bParentGone) break;
  }
  *piExit = 0;
  return true;
}

}  // namespace zebscan
