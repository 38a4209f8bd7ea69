// The pool's threads (one per worker: send a batch, wait for its results within the time limit,
// replace a worker that died or hung) and the fit of the workers to the process's limits.
#include "pool.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "proc.h"
#include "wire.h"
#include "worker.h"

namespace zm {
namespace {

// How long a new worker may take to reach its first file when the file limit is shorter.
constexpr uint32_t kStartupMs = 30000;
// How long a thread whose worker could not start leaves its files to the others.
constexpr auto kRetryStart = std::chrono::seconds(1);

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
      m_threads.emplace_back([this] { Drive(); });
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
  ++m_nInFlight;
  if (m_threads.empty()) {  // set once, by the constructor
    FileResult r = InProcess(job, "No worker thread");
    return Answer(job, std::move(r));
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

void Pool::Answer(Job& job, FileResult&& r) {
  --m_nInFlight;
  job.done(std::move(r));
}

void Pool::Cancel(const std::string& sReason) {
  std::deque<Job> jobs;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    jobs.swap(m_jobs);
  }
  for (Job& job : jobs) Answer(job, ResultOf(job.sPath, Outcome::kError, sReason));
}

void Pool::Note(const std::string& s) {
  std::lock_guard<std::mutex> lock(m_mutex);
  NoteLocked(s);
}

void Pool::NoteLocked(const std::string& s) {
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

std::string Pool::Request(uint32_t uBatch, const std::vector<Job>& batch, std::vector<int>* pFds) {
  BatchWriter request(uBatch, batch.size());
  std::vector<std::pair<const Dir*, uint32_t>> dirs;  // each directory passed, and its slot
  for (const Job& job : batch) {
    Reach reach = Reach::kByPath;
    uint32_t uSlot = 0;
    const std::string* pName = &job.sPath;
    if (NativeFd(job.file) >= 0) {
      reach = Reach::kPassedFile;
      uSlot = static_cast<uint32_t>(pFds->size());
      pFds->push_back(NativeFd(job.file));
    } else if (!job.file.IsOpen()) {
      pName = &job.ref.sName;
      const Dir* pDir = job.ref.pDir.get();
      if (pDir && NativeFd(*pDir) >= 0) {
        reach = Reach::kInDirectory;
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
    request.Add(reach, uSlot, job.ref.bFollow, job.ref.bKnownRegular, *pName, job.sPath);
  }
  return request.Request();
}

bool Pool::TakeBatch(std::vector<Job>* pBatch, size_t nMaxPassed) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait(lock, [this] { return m_bClosing || !m_jobs.empty(); });
  if (m_jobs.empty()) return false;
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
    pBatch->push_back(std::move(m_jobs.front()));
    m_jobs.pop_front();
  }
  return true;
}

namespace {

// A worker seen from its thread: started when the first files come (or with the pool) and again
// after one ends, so a run of one file starts one worker. A batch goes over in one request and its
// results come back in groups; the worker marks in shared memory which file it is on, so the
// report of a worker that dies or passes the time limit says which file it was on.
class WorkerLink {
 public:
  using Take = std::function<void(size_t, FileResult&&)>;
  explicit WorkerLink(const PoolOptions& o)
      : m_sExecutable(o.sExecutable),
        m_args(WorkerArguments(o.sLibrary, o.scan)),
        m_msTimeout(static_cast<uint32_t>(o.fileTimeout.count())) {
    // A worker that fails to start now is tried again when files come, and says why then.
    if (o.bStartAtOnce) m_child.Start(m_sExecutable, m_args, nullptr);
  }
  ~WorkerLink() {
    if (m_child.Running()) m_child.Stop(false);
  }
  // Sends batch uBatch of nBatch files and gives each result to take, in order, until all are in
  // or an event ends the batch early.
  LinkReport Run(uint32_t uBatch, const std::string& sRequest, const std::vector<int>& fds,
                 size_t nBatch, const Take& take) {
    LinkReport report;
    if (!Send(sRequest, fds, &report.sError)) {
      report.event = LinkEvent::kNeverStarted;
    } else {
      Wait(uBatch, nBatch, take, &report);
    }
    report.bAnswered = m_bAnswered;
    return report;
  }

 private:
  // A worker that ended while idle is replaced once before the batch is given up.
  bool Send(const std::string& sRequest, const std::vector<int>& fds, std::string* psError) {
    for (int iTry = 0; iTry < 2; ++iTry) {
      if (!m_child.Running()) {
        m_bAnswered = false;
        if (!m_child.Start(m_sExecutable, m_args, psError)) return false;
      }
      if (m_child.Send(sRequest, fds)) return true;
      *psError = "Worker " + m_child.Stop(true);
      if (!m_bAnswered) return false;  // a new worker that cannot take a request
    }
    return false;
  }

  void Wait(uint32_t uBatch, size_t nBatch, const Take& take, LinkReport* pReport) {
    LinkReport& report = *pReport;
    const uint32_t tSent = MonotonicMs();
    while (report.nDone < nBatch) {
      std::string sReply;
      int r = m_child.Receive(&sReply, static_cast<int>(std::min<uint32_t>(m_msTimeout, 1000)));
      // The results before a damaged one stand.
      if (r == 1 && DecodeReply(sReply, nBatch - report.nDone, [&](FileResult&& result) {
            take(report.nDone++, std::move(result));
          })) {
        m_bAnswered = true;
        continue;
      }
      // Which file the worker was on, and since when.
      const WorkerProgress& progress = m_child.Progress();
      report.bMarked = progress.uBatch.load(std::memory_order_acquire) == uBatch;
      report.iMarked = report.bMarked ? progress.uIndex.load() : 0;
      uint32_t tStart = report.bMarked ? progress.uStartMs.load() : tSent;
      // The limit is a file's; a worker still starting (a loaded machine, a cold library) has
      // longer before its first file counts against it.
      uint32_t msLimit = report.bMarked ? m_msTimeout : std::max(m_msTimeout, kStartupMs);
      if (r == 0 && MonotonicMs() - tStart < msLimit) continue;  // still within its time
      std::string sHow = m_child.Stop(true);
      if (r == 0) {
        char sz[64];
        std::snprintf(sz, sizeof sz, "Scan timed out after %g s (worker stopped)",
                      msLimit / 1000.0);
        report.event = LinkEvent::kTimedOut;
        report.sError = sz;
      } else {
        report.event = r == 1 ? LinkEvent::kDamaged : LinkEvent::kDied;
        report.sError = r == 1 ? "Worker sent a damaged reply" : "Worker " + sHow;
      }
      return;
    }
  }

  Child m_child;
  const std::string m_sExecutable;
  const std::vector<std::string> m_args;
  const uint32_t m_msTimeout;
  bool m_bAnswered = false;  // the worker running has sent results
};

}  // namespace

// A file is charged only with what a worker did on it: the one it was on when it died, hung or
// sent damage, or else the first it had not answered. A worker that ended before it reached the
// batch and had answered nothing could not start; a batch never sent reached no worker at all.
BatchFate JudgeBatch(const LinkReport& report, size_t nBatch) {
  BatchFate fate;
  if (report.nDone >= nBatch) return fate;
  switch (report.event) {
    case LinkEvent::kReplied:
      break;
    case LinkEvent::kNeverStarted:
      fate.bNoWorker = true;
      break;
    case LinkEvent::kDied:
      if (!report.bMarked && !report.bAnswered) {
        fate.bNoWorker = true;
        break;
      }
      [[fallthrough]];
    case LinkEvent::kTimedOut:
    case LinkEvent::kDamaged:
      fate.iBlamed = std::clamp<size_t>(report.bMarked ? report.iMarked : report.nDone,
                                        report.nDone, nBatch - 1);
      break;
  }
  return fate;
}

// One worker's thread: a batch to its worker, and what became of each file. The parent keeps
// every file open until its result is in.
void Pool::Drive() {
  WorkerLink link(m_options);
  std::vector<Job> batch;
  uint32_t uBatch = 0;
  const size_t nMaxPassed = std::clamp<size_t>(m_options.nMaxPassed, 1, kMaxPassed);
  while (TakeBatch(&batch, nMaxPassed)) {
    if (++uBatch == 0) uBatch = 1;
    std::vector<int> fds;
    const std::string sRequest = Request(uBatch, batch, &fds);
    const LinkReport report =
        link.Run(uBatch, sRequest, fds, batch.size(), [&](size_t i, FileResult&& result) {
          Job& job = batch[i];
          result.sPath = std::move(job.sPath);  // answered: the job needs it no more
          job.file.Close();
          job.ref = FileRef();
          Answer(job, std::move(result));
        });
    const BatchFate fate = JudgeBatch(report, batch.size());
    if (fate.bNoWorker) {
      if (!NoWorker(&batch, report.nDone, report.sError)) break;
      continue;
    }
    Settle(&batch, report.nDone, fate, report.sError);
  }
}

bool Pool::NoWorker(std::vector<Job>* pBatch, size_t nDone, const std::string& sError) {
  std::vector<Job>& batch = *pBatch;
  // Out of processes, descriptors or memory, most likely: the other workers take the files, and
  // the last one left scans them in this process, trying to start a worker again for every batch.
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nLive > 1) {
      --m_nLive;
      for (size_t k = batch.size(); k-- > nDone;) m_jobs.push_front(std::move(batch[k]));
      batch.clear();
      // Noted under the same lock, so that it comes before what the last worker notes.
      NoteLocked("a worker could not start (" + sError + "): the others take its files");
    }
  }
  if (batch.empty()) {
    m_cv.notify_all();
    // It tries again a while later, since what was short may be free again by then: a daemon
    // does not lose its workers for good to a moment of want.
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_cv.wait_for(lock, kRetryStart, [this] { return m_bClosing; })) return false;
    ++m_nLive;
    return true;
  }
  Note("no worker could start (" + sError + ")" +
       (m_options.inProcess ? ": scanning in this process" : ""));
  for (size_t k = nDone; k < batch.size(); ++k) {
    FileResult r = InProcess(batch[k], "Cannot start a worker: " + sError);
    Answer(batch[k], std::move(r));
  }
  batch.clear();
  return true;
}

void Pool::Settle(std::vector<Job>* pBatch, size_t nDone, const BatchFate& fate,
                  const std::string& sError) {
  std::vector<Job>& batch = *pBatch;
  if (fate.iBlamed != BatchFate::kNoFile) {
    Job& job = batch[fate.iBlamed];
    job.file.Close();
    job.ref = FileRef();
    Answer(job, ResultOf(job.sPath, Outcome::kError, sError));
  }
  if (nDone < batch.size()) {
    // The rest were not answered: they wait again, in their order, for a worker.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t k = batch.size(); k-- > nDone;)
      if (k != fate.iBlamed) m_jobs.push_front(std::move(batch[k]));
  }
  batch.clear();
  m_cv.notify_all();
}

}  // namespace zm
